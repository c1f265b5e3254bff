#!/usr/bin/env python3
"""Python viewer vs `travik view` on one device in the same run.

Starts `travik device` (four 640x480 gray channels, offered far faster than
the device can compress), connects `travik view` and a Python travik.Viewer
to it at the same time (interval 1 ms, all channels) for the same window, and
prints a markdown section: images/s of each, their ratio, and the CPU the
Python thread spends per image (waking from the wait, building the numpy
array over the received buffer and the Image object).

usage: viewer_rate.py TOOL [--seconds 10]   (PYTHONPATH must hold the travik package)
"""

import argparse
import os
import re
import socket
import subprocess
import sys
import time

# The library prints diagnostic lines on standard output; the section goes to
# a copy of the original stdout and the rest to /dev/null.
section = os.fdopen(os.dup(1), "w")
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)

import travik  # noqa: E402


def progress(text):
    print(f"[python bench] {text}", file=sys.stderr, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_device(tool):
    for _ in range(5):
        port = free_port()
        dev = subprocess.Popen(
            [tool, "device", "--port", str(port), "--fps", "200", "--channels", "0,1,2,3", "--size", "640x480",
             "--log-rate", "0", "--duration", "300"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end = time.monotonic() + 10
        while dev.poll() is None and time.monotonic() < end:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                return dev, port
            except OSError:
                time.sleep(0.05)
        dev.kill()
        dev.wait()
    sys.exit("viewer_rate: the device did not start")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("tool")
    p.add_argument("--seconds", type=float, default=10.0)
    args = p.parse_args()
    dev, port = start_device(args.tool)
    try:
        viewer = travik.Viewer("127.0.0.1", port, logs=False, interval_ms=1)
        view = subprocess.Popen(
            [args.tool, "view", f"127.0.0.1:{port}", "--channels", "0,1,2,3", "--interval", "1",
             "--duration", str(args.seconds)],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        progress(f"measuring for {args.seconds:.0f} s")
        images = 0
        cpu0, start = time.thread_time(), time.monotonic()
        end = start + args.seconds
        with viewer:
            while True:
                left = end - time.monotonic()
                if left <= 0:
                    break
                image = viewer.get_image(left)
                if image is not None:
                    images += 1
            elapsed = time.monotonic() - start
            cpu = time.thread_time() - cpu0
            dropped = viewer.dropped_images
        _, err = view.communicate(timeout=args.seconds + 30)
    finally:
        dev.terminate()
        dev.wait()
    m = re.search(r"travik view: (\d+) images .* in ([0-9.]+) s", err)
    if not m:
        sys.exit(f"viewer_rate: no summary from travik view: {err[-500:]}")
    view_rate = int(m.group(1)) / float(m.group(2))
    py_rate = images / elapsed
    per_image_us = cpu / images * 1e6 if images else float("nan")
    print("### Python binding: viewer throughput and cost per image\n", file=section)
    print("| viewer | images/s (4 x 640x480 gray) | vs travik view |", file=section)
    print("|---|---:|---:|", file=section)
    print(f"| `travik view` (C++) | {view_rate:,.1f} | 1.00 |", file=section)
    print(f"| `travik.Viewer` (Python, get_image loop) | {py_rate:,.1f} | {py_rate / view_rate:.2f} |", file=section)
    print("", file=section)
    print(
        f"Both viewers were connected to one `travik device` (4 channels offered at 200 fps each, interval 1 ms) "
        f"for the same {args.seconds:.0f} s window, so they were sent the same frames; the device's compressor "
        f"sets the rate. Python thread CPU per image: **{per_image_us:.1f} µs** (waking from the wait, the "
        f"numpy array over the received buffer, the Image object); images replaced in the Python viewer's "
        f"queue before it took them: {dropped}. Measured on a shared 2-core machine: figures are noisy.",
        file=section)
    section.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
