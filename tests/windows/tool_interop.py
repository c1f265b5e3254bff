"""The travik tool across systems: travik.exe under wine and a Linux build of
the same tool talking over loopback.

  tool_interop.py cli    WINE TRAVIK_EXE [LEFT_OUT,...]
  tool_interop.py device WINE TRAVIK_EXE LINUX_TRAVIK WORKDIR   (Windows device, Linux view)
  tool_interop.py view   WINE TRAVIK_EXE LINUX_TRAVIK WORKDIR   (Linux device, Windows view)
  tool_interop.py device-tls WINE TRAVIK_EXE LINUX_TRAVIK WORKDIR
      (Windows device over TLS serving only viewers its CA signed, Linux view;
       certificates made with the Linux openssl command)

The device streams a few distinct image files in turn; every image the
viewer saves must equal one of them byte for byte, and all of them must
arrive. Paths given to travik.exe are Windows paths (drive letter,
backslashes). Exit 0: passed, 77: skipped (reason printed), else failed.
"""
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

SKIP = 77
SCALE = float(os.environ.get("TRAVIK_TEST_TIME_SCALE", "1"))
TIMEOUT = 120 * SCALE


def fail(why):
    raise SystemExit("tool_interop: " + why)


def windows_path(path):
    # wine maps the Linux root to drive Z:.
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(cmd):
    p = subprocess.run(cmd, capture_output=True, timeout=TIMEOUT)
    return p.returncode, p.stdout.decode(errors="replace"), p.stderr.decode(errors="replace")


def check_cli(wine, exe, left_out):
    """The subcommands this build has answer --help; those it leaves out
    (LEFT_OUT, from the build's configuration) say so."""
    rc, out, _ = run([wine, exe, "--help"])
    if rc != 0 or "device" not in out or "view" not in out:
        fail("--help: exit %d, output %r" % (rc, out[:200]))
    for args, what in ((["device", "--fps", "0"], "usage"), (["nonsense"], "unknown subcommand")):
        rc, _, err = run([wine, exe] + args)
        if rc != 2 or what not in err:
            fail("%s: exit %d (expected 2), stderr %r" % (" ".join(args), rc, err[:300]))
    for name in ("web", "record", "replay", "export", "info", "bridge", "list"):
        rc, out, err = run([wine, exe, name, "--help"])
        if name in left_out:
            if rc != 2 or "not available in this build" not in err:
                fail("%s (left out): exit %d (expected 2), stderr %r" % (name, rc, err[:300]))
        elif rc != 0 or ("travik " + name) not in out:
            fail("%s --help: exit %d, output %r" % (name, rc, (out + err)[:300]))
    if "web" in left_out:
        rc, _, err = run([wine, exe, "demo", "--web"])
        if rc != 2 or "not available in this build" not in err:
            fail("demo --web (left out): exit %d (expected 2), stderr %r" % (rc, err[:300]))


def write_images(folder):
    """Three gray 64x48 PGM files that differ in every pixel."""
    os.makedirs(folder)
    images = []
    for k in range(3):
        pixels = bytes((i * (k + 3) + 17 * k) % 256 for i in range(64 * 48))
        data = b"P5\n64 48\n255\n" + pixels
        with open(os.path.join(folder, "img%d.pgm" % k), "wb") as f:
            f.write(data)
        images.append(data)
    return images


def check_saved(out_dir, images, count):
    saved = sorted(n for n in os.listdir(out_dir) if n.startswith("ch0_"))
    if len(saved) < count:
        fail("%d images saved, expected %d: %s" % (len(saved), count, saved))
    seen = set()
    for name in saved:
        with open(os.path.join(out_dir, name), "rb") as f:
            data = f.read()
        if data not in images:
            fail("%s differs from every image the device sent" % name)
        seen.add(images.index(data))
    if len(seen) != len(images):
        fail("only images %s of %d arrived" % (sorted(seen), len(images)))
    with open(os.path.join(out_dir, "index.csv"), "rb") as f:
        rows = f.read().splitlines()
    if len(rows) != len(saved) + 1 or b"\r" in b"".join(rows):
        fail("index.csv has %d rows for %d images" % (len(rows) - 1, len(saved)))


def stream(device_cmd, view_cmd, out_dir, images, count, then):
    """Runs the device, then the viewer until it has `count` images, then
    `then()` while the device still runs; the device is stopped with Ctrl-C
    (SIGINT) and must exit 0 as on Linux."""
    device = subprocess.Popen(device_cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        # --reconnect: the viewer retries until the device listens.
        rc, out, err = run(view_cmd)
        if rc != 0:
            fail("viewer exit %d: %s" % (rc, err[-2000:]))
        if "device log line" not in out:
            fail("no log text reached the viewer: %r" % out[:500])
        check_saved(out_dir, images, count)
        then()
    finally:
        interrupt(device, "the device")


def interrupt(proc, what):
    """Stops `proc` with Ctrl-C (SIGINT); it must exit 0 as on Linux."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGINT)
    try:
        _, err = proc.communicate(timeout=30 * SCALE)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        fail("%s did not stop after Ctrl-C" % what)
    if proc.returncode != 0:
        fail("%s exit %d after Ctrl-C: %s" % (what, proc.returncode, (err or b"").decode(errors="replace")[-2000:]))


def need_linux_tool(linux_travik):
    if not os.access(linux_travik, os.X_OK):
        print("tool_interop: skipped: no Linux travik at %s (build it: cmake --build --preset default "
              "--target travik_tool, or set TRAVIK_LINUX_TOOL)" % linux_travik)
        sys.exit(SKIP)


def make_certs(work):
    """The test certificates (tests/support/make_test_certs.sh) in WORK/certs."""
    if shutil.which("openssl") is None:
        print("tool_interop: skipped: no openssl command to make test certificates with")
        sys.exit(SKIP)
    certs = os.path.join(work, "certs")
    os.makedirs(certs)
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "make_test_certs.sh")
    p = subprocess.run(["/bin/sh", script, certs], capture_output=True, timeout=TIMEOUT)
    if p.returncode != 0:
        fail("make_test_certs.sh: exit %d: %s" % (p.returncode, p.stderr.decode(errors="replace")[-2000:]))
    return lambda name: os.path.join(certs, name)


def check_tls_refused(linux_travik, target, work):
    """A viewer without a client certificate gets nothing and exits 1."""
    out_dir = os.path.join(work, "refused")
    rc, _, err = run([linux_travik, "view", target, "--tls-ca", os.path.join(work, "certs", "ca.pem"), "--count",
                      "1", "--duration", str(int(30 * SCALE)), "--out", out_dir])
    if rc != 1:
        fail("a viewer without a client certificate: exit %d (expected 1): %s" % (rc, err[-2000:]))
    index = os.path.join(out_dir, "index.csv")
    if os.path.exists(index) and len(open(index, "rb").read().splitlines()) > 1:
        fail("a viewer without a client certificate saved images")


def check_stream(direction, wine, exe, linux_travik, work):
    need_linux_tool(linux_travik)
    shutil.rmtree(work, ignore_errors=True)
    tls = direction == "device-tls"
    cert = make_certs(work) if tls else None
    images = write_images(os.path.join(work, "images"))
    out_dir = os.path.join(work, "out")
    port = str(free_port())
    count = 8
    device_args = ["device", "--port", port, "--fps", "10", "--channels", "0", "--log-rate", "10",
                   "--duration", str(int(TIMEOUT))]
    target = ("tls://127.0.0.1:" if tls else "127.0.0.1:") + port
    view_args = ["view", target, "--logs", "--channels", "0", "--interval", "1", "--count",
                 str(count), "--reconnect"]
    if tls:
        device_args += ["--tls-cert", windows_path(cert("device.pem")), "--tls-key", windows_path(cert("device.key")),
                        "--tls-client-ca", windows_path(cert("ca.pem"))]
        view_args += ["--tls-ca", cert("ca.pem"), "--tls-cert", cert("viewer.pem"), "--tls-key", cert("viewer.key")]
    if direction in ("device", "device-tls"):
        device_cmd = [wine, exe] + device_args + ["--images", windows_path(os.path.join(work, "images"))]
        view_cmd = [linux_travik] + view_args + ["--out", out_dir]
    else:
        # A folder that does not exist yet: the Windows view makes it.
        out_dir = os.path.join(out_dir, "nested")
        device_cmd = [linux_travik] + device_args + ["--images", os.path.join(work, "images")]
        view_cmd = [wine, exe] + view_args + ["--out", windows_path(out_dir)]
    if tls:
        then = lambda: check_tls_refused(linux_travik, target, work)  # noqa: E731
    else:
        then = lambda: None  # noqa: E731
    stream(device_cmd, view_cmd, out_dir, images, count, then)


def main():
    mode, wine, exe = sys.argv[1:4]
    if mode == "cli":
        check_cli(wine, exe, sys.argv[4].split(",") if len(sys.argv) > 4 else [])
    else:
        check_stream(mode, wine, exe, sys.argv[4], sys.argv[5])
    print("tool_interop %s: passed" % mode)


if __name__ == "__main__":
    main()
