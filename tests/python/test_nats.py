"""A Python viewer of a device through NATS: device -> travik bridge ->
nats-server (started here, on loopback, on a port the kernel picks) ->
travik.Viewer("nats://...")."""

import json
import shutil
import subprocess

import numpy as np
import pytest
from conftest import DEADLINE, TOOL, Pump, gray_image, wait_until

import travik

NATS_SERVER = shutil.which("nats-server") or shutil.which("nats-server", path="/usr/sbin:/usr/local/sbin")

pytestmark = [
    pytest.mark.skipif(not travik._travik.HAS_NATS, reason="built without NATS"),
    pytest.mark.skipif(NATS_SERVER is None, reason="nats-server not installed"),
]


def stop(proc):
    proc.kill()
    proc.wait(timeout=DEADLINE)


@pytest.fixture
def nats_url(tmp_path):
    conf = tmp_path / "server.conf"
    conf.write_text(f'listen: "127.0.0.1:-1"\nports_file_dir: "{tmp_path}"\n')
    with open(tmp_path / "server.log", "wb") as log:
        server = subprocess.Popen([NATS_SERVER, "-c", str(conf)], stdout=log, stderr=log)
    try:
        ports = tmp_path / f"nats-server_{server.pid}.ports"

        def url():
            try:
                return json.loads(ports.read_text())["nats"][0]
            except (OSError, ValueError, KeyError, IndexError):
                return None

        assert wait_until(url), "nats-server wrote no ports file"
        yield url()
    finally:
        stop(server)


def test_viewer_through_a_bridge_gets_images_byte_exact_and_log_lines(device, nats_url, tmp_path):
    with pytest.raises(ValueError):
        travik.Viewer("nats://127.0.0.1:4222/bad.name")
    with open(tmp_path / "bridge.log", "wb") as log:
        bridge = subprocess.Popen(
            [TOOL, "bridge", f"127.0.0.1:{device.port}", "--nats", nats_url, "--name", "cam", "--logs"],
            stdout=log,
            stderr=log,
        )
    sent = gray_image(120, 160, seed=7)
    pump = Pump(device, {0: ("array", sent, 77), 1: ("array", gray_image(seed=8), 1)}, period=0.01)
    try:
        with travik.Viewer(nats_url + "/cam", logs=True, channels=(0,), interval_ms=1) as viewer:
            image = viewer.get_image(DEADLINE)
            assert image is not None, "no image through NATS"
            assert image.channel == 0 and image.tag == 77 and image.attrs == (1, 1, 160, 120, 1)
            assert image.data.shape == (120, 160) and np.array_equal(image.data, sent)
            assert wait_until(lambda: (viewer.get_log(0.1) or "").startswith("round "))
            # Channel 1 was not asked for: the bridge never forwards it here.
            more = [viewer.get_image(DEADLINE) for _ in range(5)]
            assert all(i is not None and i.channel == 0 for i in more)
            assert viewer.connected
    finally:
        pump.stop()
        stop(bridge)
