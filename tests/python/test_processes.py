"""Across processes: a Python device and viewer, the C++ tool on either side,
Ctrl-C during a wait, and an interpreter that exits with objects open."""

import os
import re
import select
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
from conftest import DEADLINE, EXAMPLES, PYTHON, TOOL, Pump, child_env, free_port, gray_image, rgb_image, wait_until

import travik

sys.path.insert(0, str(EXAMPLES))
from test_pattern_device import pattern  # noqa: E402


def spawn(args, **kw):
    return subprocess.Popen(args, env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def read_until(fd, pattern, timeout=DEADLINE):
    """Bytes read from `fd` until `pattern` (a bytes regex) matches them; fails
    at EOF or after `timeout`. The library's own lines share the child's
    stdout, so a match may sit inside a line."""
    data, end = b"", time.monotonic() + timeout
    while not (m := re.search(pattern, data)):
        left = end - time.monotonic()
        if left <= 0 or not select.select([fd], [], [], left)[0]:
            pytest.fail(f"no {pattern!r} within {timeout} s: {data[-500:]!r}")
        chunk = os.read(fd, 4096)
        if not chunk:
            pytest.fail(f"no {pattern!r} before EOF: {data[-500:]!r}")
        data += chunk
    return m


def finish(proc, timeout=DEADLINE):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        pytest.fail(f"{proc.args} did not end in {timeout} s; stderr: {err[-2000:]}")
    return proc.returncode, out, err


def test_python_viewer_reads_the_example_device_in_another_process():
    proc = spawn([PYTHON, str(EXAMPLES / "test_pattern_device.py"), "--port", "0", "--fps", "100",
                  "--size", "64x48", "--duration", str(2 * DEADLINE)])
    try:
        port = int(read_until(proc.stdout.fileno(), rb"listening on port (\d+)\n").group(1))
        with travik.Viewer("127.0.0.1", port, interval_ms=1) as viewer:
            got = {}
            for image in viewer.images(timeout=DEADLINE):
                got[image.channel] = image
                if len(got) == 4:
                    break
            assert sorted(got) == [0, 1, 2, 3]
            for c, image in got.items():
                expected = pattern(48, 64, rgb=c % 2 == 1)
                assert image.data.shape == expected.shape
                assert np.array_equal(image.data - image.data.flat[0], expected)
            assert viewer.get_log(DEADLINE).startswith("test pattern: frame ")
    finally:
        proc.terminate()
        finish(proc)


def test_cpp_view_tool_reads_a_python_device(device, tmp_path):
    gray, rgb = gray_image(), rgb_image()
    pump = Pump(device, {0: ("array", gray, None), 1: ("array", rgb, None), 2: ("bytes", b"opaque", None)})
    try:
        proc = spawn([TOOL, "view", f"127.0.0.1:{device.port}", "--channels", "0,1,2", "--interval", "1",
                      "--logs", "--count", "12", "--out", str(tmp_path)])
        rc, out, err = finish(proc)
    finally:
        pump.stop()
    assert rc == 0, err
    assert "round " in out  # log text reached the C++ viewer
    pgm = sorted(tmp_path.glob("ch0_*.pgm"))[0].read_bytes()
    ppm = sorted(tmp_path.glob("ch1_*.ppm"))[0].read_bytes()
    assert pgm == b"P5\n64 48\n255\n" + gray.tobytes()
    assert ppm == b"P6\n40 30\n255\n" + rgb.tobytes()
    assert sorted(tmp_path.glob("ch2_*.bin"))[0].read_bytes() == b"opaque"


def connect_when_up(proc, port, **kw):
    """A viewer once the device process listens; None when it exited first."""

    def attempt():
        try:
            return travik.Viewer("127.0.0.1", port, **kw)
        except ConnectionError:
            return "exited" if proc.poll() is not None else None

    viewer = wait_until(attempt)
    return viewer if isinstance(viewer, travik.Viewer) else None


def test_python_viewer_reads_the_cpp_device_tool():
    for _ in range(5):  # a free port may be taken by someone else meanwhile
        port = free_port()
        proc = spawn([TOOL, "device", "--port", str(port), "--fps", "50", "--channels", "1,3", "--size", "32x24",
                      "--format", "rgb", "--duration", str(2 * DEADLINE)])
        try:
            viewer = connect_when_up(proc, port, channels=(1, 3), interval_ms=1)
            if viewer is None:
                continue
            with viewer:
                seen = {viewer.get_image(DEADLINE).channel for _ in range(6)}
                image = viewer.get_image(DEADLINE)
                assert seen == {1, 3}
                assert image.data.shape == (24, 32, 3) and image.format == travik.RGB
                assert image.attrs[2:4] == (32, 24)
                assert viewer.get_log(DEADLINE).startswith("device log line ")
            return
        finally:
            proc.terminate()
            finish(proc)
    pytest.fail("the C++ device could not listen on a free port")


CHILD_WAITS = """
import os, signal, sys, travik
signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started with SIGINT ignored
device = travik.Device(0)
viewer = travik.Viewer("127.0.0.1", device.port, channels=())
os.write(int(sys.argv[1]), b"waiting")
viewer.get_image()  # nothing is ever sent: only Ctrl-C ends this
"""


def test_ctrl_c_interrupts_a_wait():
    ready_r, ready_w = os.pipe()
    proc = spawn([PYTHON, "-c", CHILD_WAITS, str(ready_w)], pass_fds=(ready_w,))
    os.close(ready_w)
    try:
        read_until(ready_r, rb"waiting")
    except BaseException:
        proc.kill()
        proc.wait()
        raise
    finally:
        os.close(ready_r)
    proc.send_signal(signal.SIGINT)
    rc, _, err = finish(proc)
    # An uncaught KeyboardInterrupt ends the interpreter by SIGINT.
    assert rc == -signal.SIGINT, err


CHILD_EXITS = """
import threading, numpy, travik
device = travik.Device(0)
viewer = travik.Viewer("127.0.0.1", device.port, interval_ms=1)
pump = threading.Thread(target=lambda: [device.send_image(0, numpy.zeros((480, 640), numpy.uint8))
                                        for _ in range(100000) if not device.closed], daemon=True)
pump.start()
assert viewer.get_image(20) is not None
other = travik.Viewer("127.0.0.1", device.port)
# A daemon thread that keeps waiting with the GIL released while the interpreter finalizes.
threading.Thread(target=lambda: [other.get_log(0.001) for _ in iter(int, 1)], daemon=True).start()
"""


def test_interpreter_exits_cleanly_with_objects_open():
    rc, _, err = finish(spawn([PYTHON, "-c", CHILD_EXITS]))
    assert rc == 0, err


def test_opencv_example_says_when_cv2_is_missing():
    try:
        import cv2  # noqa: F401
        pytest.skip("cv2 is installed here")
    except ImportError:
        pass
    rc, _, err = finish(spawn([PYTHON, str(EXAMPLES / "opencv_viewer.py")]))
    assert rc == 1 and "OpenCV" in err


def test_installed_package_works_from_its_prefix(tmp_path):
    build, cmake = os.environ.get("TRAVIK_BUILD_DIR"), os.environ.get("TRAVIK_CMAKE")
    if not build or not cmake:
        pytest.skip("run by ctest, which names the build tree")
    subprocess.run([cmake, "--install", build, "--prefix", str(tmp_path), "--component", "python"],
                   check=True, stdout=subprocess.DEVNULL)
    site = next(tmp_path.glob("lib/python3*/*-packages"))
    env = dict(os.environ, PYTHONPATH=str(site))
    code = "import travik; d = travik.Device(0); assert d.port > 0; d.close(); print(travik.__file__)"
    out = subprocess.run([PYTHON, "-c", code], env=env, cwd=tmp_path, capture_output=True, text=True, timeout=DEADLINE)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip().splitlines()[-1] == str(site / "travik" / "__init__.py")
