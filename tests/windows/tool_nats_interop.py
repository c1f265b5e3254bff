"""travik.exe's NATS commands against a Linux nats-server: `travik.exe bridge`
of a Linux `travik device` publishes into the server, the Linux `travik view
nats://...` saves the device's images (each equal to one the device sent,
byte for byte) and receives its log text, and `travik.exe list` shows the
bridge. The bridge stops on Ctrl-C with exit 0.

  tool_nats_interop.py WINE TRAVIK_EXE LINUX_TRAVIK NATS_SERVER WORKDIR

Exit 0: passed, 77: skipped (reason printed), else failed.
"""
import os
import shutil
import socket
import subprocess
import sys
import time

import tool_interop as common

SKIP = 77


def wait_listening(port, proc, what):
    """Until `port` takes connections (bounded by the scaled timeout)."""
    deadline = time.monotonic() + common.TIMEOUT
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            common.fail("%s exited with %d before listening" % (what, proc.returncode))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    common.fail("%s never listened on %d" % (what, port))


def list_shows(wine, exe, url, name):
    """`travik.exe list` until it names the bridge (bounded)."""
    out = err = ""
    for _ in range(10):
        rc, out, err = common.run([wine, exe, "list", url, "--wait", "3"])
        if rc != 0:
            common.fail("travik.exe list: exit %d: %s" % (rc, err[-2000:]))
        for line in out.splitlines():
            fields = line.split()
            if fields and fields[0] == name:
                return line
    common.fail("travik.exe list never showed %s: %r %r" % (name, out[-1000:], err[-1000:]))


def main():
    wine, exe, linux_travik, nats_server, work = sys.argv[1:6]
    common.need_linux_tool(linux_travik)
    if not os.access(nats_server, os.X_OK):
        print("tool_nats_interop: skipped: no nats-server at %r" % nats_server)
        sys.exit(SKIP)
    shutil.rmtree(work, ignore_errors=True)
    images = common.write_images(os.path.join(work, "images"))
    out_dir = os.path.join(work, "out")
    nats_port, device_port = common.free_port(), common.free_port()
    url = "nats://127.0.0.1:%d" % nats_port
    procs = []
    try:
        server = subprocess.Popen([nats_server, "-a", "127.0.0.1", "-p", str(nats_port)],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        procs.append(server)
        wait_listening(nats_port, server, "nats-server")
        device = subprocess.Popen(
            [linux_travik, "device", "--port", str(device_port), "--fps", "10", "--channels", "0", "--log-rate",
             "10", "--duration", str(int(common.TIMEOUT)), "--images", os.path.join(work, "images")],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        procs.append(device)
        wait_listening(device_port, device, "the device")
        bridge = subprocess.Popen([wine, exe, "bridge", "127.0.0.1:%d" % device_port, "--nats", url, "--name",
                                   "wincam", "--logs"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        procs.append(bridge)
        line = list_shows(wine, exe, url, "wincam")
        count = 8
        rc, out, err = common.run([linux_travik, "view", url + "/wincam", "--logs", "--channels", "0", "--interval",
                                   "1", "--count", str(count), "--duration", str(int(common.TIMEOUT)), "--out",
                                   out_dir])
        if rc != 0:
            common.fail("Linux view of the bridge: exit %d: %s" % (rc, err[-2000:]))
        if "device log line" not in out:
            common.fail("no log text came through the bridge: %r" % out[:500])
        common.check_saved(out_dir, images, count)
        common.interrupt(bridge, "travik.exe bridge")
        procs.remove(bridge)
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.kill()
            p.communicate()
    print("tool_nats_interop: passed (list: %s)" % line.strip())


if __name__ == "__main__":
    main()
