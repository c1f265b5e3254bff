"""travik.exe web under wine, watched from Linux: a Linux `travik device`
streams known gray images; `travik.exe web --lossless --foxglove` serves
the page and the Foxglove endpoint on ports it picks. A Linux client gets
the page and its script over HTTP, then reads the page's WebSocket until
every image has arrived as a PNG whose pixels equal the file's, and opens
the Foxglove endpoint, which must greet with serverInfo and advertise the
channel's topics. Ctrl-C then stops travik.exe with exit 0.

  tool_web_interop.py WINE TRAVIK_EXE LINUX_TRAVIK WORKDIR
Exit 0: passed, 77: skipped (reason printed), else failed.
"""
import json
import os
import selectors
import shutil
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import tool_interop as ti  # noqa: E402
import web_client  # noqa: E402


def first_lines(proc, count, deadline):
    """The first `count` lines proc writes to stdout, read until the deadline."""
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    buf = b""
    while buf.count(b"\n") < count:
        left = deadline - time.monotonic()
        if left <= 0 or proc.poll() is not None:
            ti.fail("travik.exe web printed %r before %s" % (buf, "exiting" if left > 0 else "the deadline"))
        if sel.select(timeout=min(left, 1.0)):
            data = os.read(proc.stdout.fileno(), 4096)
            if not data:
                ti.fail("travik.exe web closed its output after %r" % buf)
            buf += data
    return [line.strip().decode() for line in buf.split(b"\n")[:count]]


def check_page(url, deadline):
    status, body = web_client.http_get(url, ti.TIMEOUT)
    if status != 200 or b"<html" not in body.lower() or b"app.js" not in body:
        ti.fail("GET %s: %d %r" % (url, status, body[:200]))
    status, body = web_client.http_get(url + "app.js", ti.TIMEOUT)
    if status != 200 or len(body) < 1000:
        ti.fail("GET %sapp.js: %d, %d bytes" % (url, status, len(body)))
    if time.monotonic() > deadline:
        ti.fail("the page took past the deadline")


def check_images(url, pixels, deadline):
    """Reads the page's WebSocket until every image arrived exactly once or more."""
    ws = web_client.WebSocket(url.replace("http://", "ws://") + "ws", ti.TIMEOUT)
    seen = set()
    try:
        while len(seen) < len(pixels):
            if time.monotonic() > deadline:
                ti.fail("images %s of %d arrived before the deadline" % (sorted(seen), len(pixels)))
            opcode, msg = ws.receive()
            if opcode != 2 or msg[0] != 1 or msg[2] == 0:
                continue  # JSON state, or a placeholder
            channel, encoding = msg[1], msg[2]
            width, height, attr2, raw_len = struct.unpack_from("<IIiI", msg, 8)
            if channel != 0 or encoding != 2:
                ti.fail("image on channel %d with encoding %d (expected 0, PNG)" % (channel, encoding))
            w, h, channels, data = web_client.decode_png(msg[40:])
            if (w, h, channels, width, height, attr2, raw_len) != (64, 48, 1, 64, 48, 1, 64 * 48):
                ti.fail("image %dx%d/%d, header %dx%d attr2 %d raw %d" % (w, h, channels, width, height, attr2,
                                                                         raw_len))
            if data not in pixels:
                ti.fail("an image's pixels differ from every file the device sent")
            seen.add(pixels.index(data))
    finally:
        ws.close()


def check_foxglove(url, deadline):
    ws = web_client.WebSocket(url, ti.TIMEOUT, protocol="foxglove.websocket.v1")
    topics = set()
    try:
        opcode, msg = ws.receive()
        hello = json.loads(msg)
        if opcode != 1 or hello.get("op") != "serverInfo":
            ti.fail("Foxglove endpoint's first message: %r" % msg[:200])
        while "/travik/channel/0" not in topics:
            if time.monotonic() > deadline:
                ti.fail("Foxglove endpoint advertised only %s" % sorted(topics))
            opcode, msg = ws.receive()
            if opcode == 1:
                m = json.loads(msg)
                if m.get("op") == "advertise":
                    topics.update(c.get("topic") for c in m.get("channels", []))
    finally:
        ws.close()


def main():
    wine, exe, linux_travik, work = sys.argv[1:5]
    ti.need_linux_tool(linux_travik)
    shutil.rmtree(work, ignore_errors=True)
    images = ti.write_images(os.path.join(work, "images"))
    pixels = [img[len(b"P5\n64 48\n255\n"):] for img in images]
    port = str(ti.free_port())
    device = subprocess.Popen([linux_travik, "device", "--port", port, "--fps", "10", "--channels", "0",
                               "--images", os.path.join(work, "images"), "--duration", str(int(ti.TIMEOUT))],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    web = None
    try:
        web = subprocess.Popen([wine, exe, "web", "127.0.0.1:" + port, "--channels", "0", "--lossless",
                                "--http", "127.0.0.1:0", "--foxglove", "127.0.0.1:0"],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + ti.TIMEOUT
        page_url, foxglove_url = first_lines(web, 2, deadline)
        if not page_url.startswith("http://127.0.0.1:") or not foxglove_url.startswith("ws://127.0.0.1:"):
            ti.fail("travik.exe web printed %r and %r" % (page_url, foxglove_url))
        check_page(page_url, deadline)
        check_images(page_url, pixels, deadline)
        check_foxglove(foxglove_url, deadline)
    finally:
        if web is not None:
            ti.interrupt(web, "travik.exe web")
        ti.interrupt(device, "the Linux device")
    print("tool_web_interop: passed")


if __name__ == "__main__":
    main()
