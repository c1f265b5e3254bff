"""A device on one address and over TLS: viewers with the right files receive,
any other is refused; TLS arguments that cannot work are refused at once."""

import os
import shutil
import subprocess

import pytest
from conftest import DEADLINE, ROOT, Pump, gray_image

import travik

MAKE_CERTS = ROOT / "tests" / "support" / "make_test_certs.sh"


@pytest.fixture
def certs(tmp_path):
    if not travik._travik.HAS_TLS:
        pytest.skip("this build of travik has no TLS")
    openssl = shutil.which("openssl")
    if openssl is None:
        pytest.skip("no openssl command to make test certificates with")
    env = dict(os.environ, OPENSSL=openssl)
    subprocess.run(["/bin/sh", str(MAKE_CERTS), str(tmp_path)], env=env, check=True, capture_output=True, timeout=60)
    return lambda name: str(tmp_path / name)


def receives(viewer):
    image = viewer.get_image(DEADLINE)
    return image is not None and image.channel == 0


def test_bind_address_and_tls_with_client_certificates(certs):
    with travik.Device(0, bind="127.0.0.2") as device:
        pump = Pump(device, {0: ("array", gray_image(), None)})
        try:
            with travik.Viewer("127.0.0.2", device.port, channels=(0,), interval_ms=1) as viewer:
                assert receives(viewer)
            with pytest.raises(ConnectionError, match=f"127.0.0.1:{device.port}"):
                travik.Viewer("127.0.0.1", device.port)
        finally:
            pump.stop()

    client = {"tls_cert": certs("viewer.pem"), "tls_key": certs("viewer.key")}
    with travik.Device(
        0, tls_cert=certs("device.pem"), tls_key=certs("device.key"), tls_client_ca=certs("ca.pem")
    ) as device:
        pump = Pump(device, {0: ("array", gray_image(), None)})
        try:
            # A name is resolved and checked against the device's certificate.
            address = f"tls://localhost:{device.port}"
            with travik.Viewer(address, channels=(0,), interval_ms=1, tls_ca=certs("ca.pem"), **client) as viewer:
                assert viewer.address == address
                assert receives(viewer)
                assert viewer.get_log(DEADLINE).startswith("round ")
            # The client certificate is passed on: without it the device refuses
            # the viewer (which peers the library refuses is the library's test).
            with pytest.raises(ConnectionError, match=address):
                with travik.Viewer(address, channels=(0,), interval_ms=1, tls_ca=certs("ca.pem")) as viewer:
                    viewer.get_image(DEADLINE)
            with pytest.raises(ConnectionError):
                with travik.Viewer("127.0.0.1", device.port, channels=(0,), interval_ms=1) as viewer:
                    viewer.get_image(DEADLINE)
        finally:
            pump.stop()


def test_tls_arguments_that_cannot_work_are_refused(tmp_path):
    pem = tmp_path / "some.pem"
    pem.write_text("not used")
    with pytest.raises(ValueError, match="needs tls_ca"):
        travik.Viewer("tls://127.0.0.1:1")
    with pytest.raises(ValueError, match="go with a tls:// address"):
        travik.Viewer("127.0.0.1", 1, tls_ca=pem)
    with pytest.raises(ValueError, match="go together"):
        travik.Viewer("tls://127.0.0.1:1", tls_ca=pem, tls_cert=pem)
    with pytest.raises(ValueError, match="needs tls_cert"):
        travik.Device(0, tls_client_ca=pem)
    with pytest.raises(OSError, match="192.0.2.1"):
        travik.Device(0, bind="192.0.2.1")  # no local interface has it
