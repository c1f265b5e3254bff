"""Device and viewer in one process: what is sent arrives intact, commands
steer the device, bad arguments are refused clearly."""

import threading
import weakref

import numpy as np
import pytest
from conftest import DEADLINE, Pump, gray_image, rgb_image, settle, wait_until

import travik


def collect(viewer, want, timeout=DEADLINE):
    """Images by channel until every channel in `want` has one."""
    got = {}
    for image in viewer.images(timeout=timeout):
        got[image.channel] = image
        if want <= got.keys():
            break
    assert want <= got.keys(), f"only channels {sorted(got)} arrived"
    return got


def test_gray_rgb_opaque_and_strided_images_arrive_as_sent(device):
    gray, rgb = gray_image(), rgb_image()
    strided = rgb_image(60, 80, seed=3)[::2, ::2]  # not contiguous: copied once by the binding
    opaque = bytes(range(256)) * 3 + b"\0tail"
    sent = {
        0: ("array", gray, 11),
        1: ("array", rgb, 1 << 63),
        2: ("bytes", opaque, 0),
        3: ("array", strided, 12345),
    }
    with travik.Viewer("127.0.0.1", device.port, interval_ms=1) as viewer:
        pump = Pump(device, sent)
        try:
            got = collect(viewer, {0, 1, 2, 3})
        finally:
            pump.stop()
    # The arrays outlive the viewer: they own the received buffers.
    g, r, o, s = (got[c] for c in range(4))
    assert g.data.dtype == np.uint8 and g.data.shape == (48, 64) and np.array_equal(g.data, gray)
    assert g.attrs == (1, 1, 64, 48, 1) and g.tag == 11
    assert r.data.shape == (30, 40, 3) and np.array_equal(r.data, rgb)
    assert r.attrs == (1, 3, 40, 30, 3) and r.tag == 1 << 63
    assert o.data.shape == (len(opaque),) and o.data.tobytes() == opaque and o.attrs == (2, 2, 0, 0, 1)
    assert s.data.shape == (30, 40, 3) and np.array_equal(s.data, strided) and s.attrs == (2, 3, 40, 30, 3)
    assert not g.data.flags.owndata  # a view on the library's buffer, not a copy
    assert g.arrival_us > 0 and g.width == 64 and g.height == 48 and g.format == travik.GRAY


def test_default_tag_is_the_capture_time(device):
    with travik.Viewer("127.0.0.1", device.port, channels=(0,), interval_ms=1) as viewer:
        pump = Pump(device, {0: ("array", gray_image(), None)})
        try:
            image = viewer.get_image(DEADLINE)
        finally:
            pump.stop()
    assert image is not None
    assert 0 <= image.arrival_us - image.tag < DEADLINE * 1e6


def test_channel_selection_and_commands(device):
    images = {c: ("array", gray_image(8, 8, seed=c), None) for c in range(4)}
    with travik.Viewer("127.0.0.1", device.port, logs=False, channels=(1,), interval_ms=1) as viewer:
        pump = Pump(device, images)
        try:
            first = [viewer.get_image(DEADLINE) for _ in range(5)]
            assert [i.channel for i in first] == [1] * 5
            assert not device.log("refused while the log stream is closed")

            viewer.command(channels=[2], logs=True)
            image = viewer.get_image(DEADLINE)
            while image is not None and image.channel == 1:  # sent before the switch
                image = viewer.get_image(DEADLINE)
            assert image is not None and image.channel == 2
            assert [viewer.get_image(DEADLINE).channel for _ in range(5)] == [2] * 5
            assert viewer.get_log(DEADLINE) is not None  # log stream opened by the command
            lines = [viewer.get_log(DEADLINE) for _ in range(4)]
            assert "second line" in lines and any(line.startswith("round ") for line in lines)

            viewer.command(images=False)
            assert wait_until(lambda: not device.send_image(0, gray_image()))
        finally:
            pump.stop()


def test_newest_image_per_channel_wins(device):
    with travik.Viewer("127.0.0.1", device.port, channels=(0,), interval_ms=1) as viewer:
        pump = Pump(device, {0: ("array", gray_image(), None)}, period=0.001)
        try:
            assert wait_until(lambda: viewer.dropped_images > 20)  # nobody takes them
        finally:
            pump.stop()
        # Images the device had already sent still arrive, each replacing the
        # waiting one: the stream is drained once the device sends no more
        # (the viewer switched images off) and the dropped count has settled.
        viewer.command(images=False)
        assert wait_until(lambda: not device.send_image(0, gray_image()))
        assert settle(lambda: viewer.dropped_images)
        taken = 0
        while viewer.get_image(0) is not None:
            taken += 1
        assert taken == 1


def test_bad_arguments_are_refused_clearly(device):
    with pytest.raises(TypeError, match="uint8"):
        device.send_image(0, np.zeros((4, 4), np.float32))
    with pytest.raises(TypeError, match="numpy"):
        device.send_image(0, [[1, 2], [3, 4]])
    with pytest.raises(ValueError, match="shape"):
        device.send_image(0, np.zeros((4, 4, 4), np.uint8))
    with pytest.raises(ValueError, match="shape"):
        device.send_image(0, np.zeros(16, np.uint8))
    with pytest.raises(ValueError, match="channel"):
        device.send_image(4, np.zeros((4, 4), np.uint8))
    port = device.port
    with pytest.raises(OSError, match=f"port {port}"):
        travik.Device(port)  # in use
    device.close()
    assert device.log("after close") is False and device.send_image(0, gray_image()) is False
    with pytest.raises(ConnectionError, match=f"127.0.0.1:{port}"):
        travik.Viewer("127.0.0.1", port)


def test_hostile_channels_and_sizes_are_refused_by_both_layers(device):
    frame = gray_image(4, 4)
    # True would pass for channel 1, or port 1.
    with pytest.raises(TypeError, match="bool"):
        device.send_image(True, frame)
    with pytest.raises(TypeError, match="bool"):
        device.send_bytes(False, b"abc")
    with pytest.raises(TypeError, match="bool"):
        travik.Viewer("127.0.0.1", True)
    with pytest.raises(TypeError, match="bool"):
        travik.Viewer("127.0.0.1", device.port, channels=(True,))
    # The compiled core checks its own inputs: its callers need not be the package.
    core = travik._travik.ViewerCore("127.0.0.1", device.port, False)
    for bad in (9, -1, 4, 1 << 70):
        with pytest.raises(ValueError, match="channel"):
            core.open(True, [bad], 200)
        with pytest.raises(ValueError, match="channel"):
            core.command(True, True, [0, bad], 200)
        with pytest.raises(ValueError, match="channel"):
            device._core.send_image(bad, 1, 4, 4, frame, 0)
    with pytest.raises(TypeError, match="channel"):
        core.open(True, [True], 200)
    core.close()
    # A size over the int range is refused before anything is copied, not cut.
    huge = np.broadcast_to(np.zeros(1, np.uint8), ((1 << 32) + 16,))
    with pytest.raises(ValueError, match="over the limit"):
        device._core.send_image(0, 2, 0, 0, huge, 0)
    with pytest.raises(ValueError, match="negative"):
        device._core.send_image(0, 1, -4, 4, frame, 0)


def test_close_from_another_thread_with_images_in_flight(device):
    frame = rgb_image(240, 320)
    images = {c: ("array", frame, None) for c in range(4)}
    pump = Pump(device, images, period=0)
    kept = []
    try:
        for _ in range(3):
            viewer = travik.Viewer("127.0.0.1", device.port, interval_ms=1)
            for image in viewer.images(timeout=DEADLINE):
                kept.append(image.data)
                if len(kept) % 5 == 0:
                    # The iteration in this thread ends once close returns.
                    closer = threading.Thread(target=viewer.close)
                    closer.start()
                    closer.join()
            assert viewer.closed and viewer.get_image(0) is None
    finally:
        pump.stop()
    assert len(kept) >= 15
    assert all(np.array_equal(a, frame) for a in kept)
    ref = weakref.ref(kept[0])
    del kept[:]
    assert ref() is None  # the received buffer went with the array


def test_log_lines_are_bounded_with_a_dropped_count(device):
    with travik.Viewer("127.0.0.1", device.port, channels=()) as viewer:
        sent = 0
        assert wait_until(lambda: device.log("first\n"))  # once the viewer's command opened the stream
        sent += 1
        for _ in range(12):
            assert wait_until(lambda: device.log("line\n" * 1000))
            sent += 1000
        assert wait_until(lambda: viewer.dropped_logs == sent - 10000), f"dropped {viewer.dropped_logs} of {sent}"
        kept = list(viewer.logs(timeout=0))
        assert len(kept) == 10000 and set(kept) == {"line"}  # the oldest went first
