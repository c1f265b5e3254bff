"""Connections that come and go: reconnecting to a restarted device, a lost
connection without reconnect, and many open/close cycles without leaks."""

import gc
import os

import pytest
from conftest import DEADLINE, Pump, gray_image, wait_until

import travik


def restart(port):
    """A new device on the port the old one used (its socket is reusable at once)."""
    return wait_until(lambda: _try_listen(port))


def _try_listen(port):
    try:
        return travik.Device(port)
    except OSError:
        return None


def test_lost_connection_ends_images_with_connection_error():
    device = travik.Device(0)
    viewer = travik.Viewer("127.0.0.1", device.port, interval_ms=1)
    pump = Pump(device, {0: ("array", gray_image(), None)})
    assert viewer.get_image(DEADLINE) is not None
    pump.stop()
    device.close()
    with pytest.raises(ConnectionError, match=f"127.0.0.1:{device.port}"):
        for _ in viewer.images(timeout=DEADLINE):
            pass
    assert not viewer.connected
    viewer.close()


def test_reconnect_after_the_device_restarts():
    device = travik.Device(0)
    port = device.port
    with travik.Viewer("127.0.0.1", port, interval_ms=1, reconnect=True) as viewer:
        pump = Pump(device, {2: ("array", gray_image(), None)})
        assert viewer.get_image(DEADLINE).channel == 2
        pump.stop()
        device.close()
        assert wait_until(lambda: not viewer.connected)
        device = restart(port)
        assert device is not None, f"port {port} could not be bound again"
        with device:
            assert wait_until(lambda: viewer.connected)
            pump = Pump(device, {2: ("array", gray_image(), None)})
            try:
                image = viewer.get_image(DEADLINE)
                # The viewer repeated its commands: the new device opened its log
                # stream and uses the 1 ms interval (its default is 200 ms).
                assert image is not None and image.channel == 2
                assert wait_until(lambda: viewer.get_log(0) == "second line")
            finally:
                pump.stop()


def counts():
    gc.collect()
    threads = len(os.listdir("/proc/self/task"))
    fds = len(os.listdir("/proc/self/fd"))
    with open("/proc/self/statm") as f:
        rss = int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    return threads, fds, rss


def test_open_close_cycles_leave_no_threads_descriptors_or_memory():
    device = travik.Device(0)
    pump = Pump(device, {0: ("array", gray_image(120, 160), None)}, log=True)

    def cycle():
        with travik.Viewer("127.0.0.1", device.port, interval_ms=1) as viewer:
            viewer.get_image(0)  # sometimes one has arrived already
        with travik.Device(0):
            pass

    try:
        for _ in range(50):  # warm up allocator pools and lazy initialisation
            cycle()
        threads, fds, rss = counts()
        for _ in range(1000):
            cycle()
        assert wait_until(lambda: counts()[0] <= threads), f"threads {counts()[0]} > {threads}"
        assert wait_until(lambda: counts()[1] <= fds + 2), f"descriptors {counts()[1]} > {fds} + 2"
        grown = counts()[2] - rss
        assert grown < 32 << 20, f"RSS grew by {grown / 2**20:.1f} MiB over 1000 cycles"
    finally:
        pump.stop()
        device.close()
