#!/usr/bin/env python3
"""A device that streams a moving numpy test pattern and a log line twice a second.

Even channels are gray, odd channels RGB. Every image is a fixed pattern plus
one offset per frame (mod 256), so a viewer can check what it got:
``(image - image[0, 0]) % 256`` equals ``pattern(height, width)``.

    PYTHONPATH=build/default/python python3 examples/python/test_pattern_device.py --port 7000
"""

import argparse
import sys
import time

import numpy as np

import travik


def pattern(height, width, rgb=False):
    """The frame-independent part of every image: a diagonal gradient (and colour bands)."""
    y, x = np.mgrid[0:height, 0:width]
    gray = ((x + 2 * y) % 256).astype(np.uint8)
    if not rgb:
        return gray
    return np.stack([gray, (gray + 85) % 256, (gray + 170) % 256], axis=2).astype(np.uint8)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--port", type=int, default=7000, help="TCP port (0: any free port; the port is printed)")
    p.add_argument("--fps", type=float, default=25.0, help="frames per second per channel")
    p.add_argument("--channels", default="0,1,2,3", help="channels to stream, e.g. 0,2")
    p.add_argument("--size", default="640x480", help="image size WIDTHxHEIGHT")
    p.add_argument("--duration", type=float, default=0, help="stop after this many seconds (0: until Ctrl-C)")
    args = p.parse_args()
    try:
        width, height = (int(v) for v in args.size.lower().split("x"))
        channels = [int(c) for c in args.channels.split(",")]
    except ValueError:
        p.error("--size must be WIDTHxHEIGHT and --channels a list like 0,2")
    if args.fps <= 0 or width <= 0 or height <= 0 or any(c not in travik.CHANNELS for c in channels):
        p.error("--fps, --size must be positive and channels 0 to 3")

    try:
        device = travik.Device(args.port)
    except OSError as e:
        print(f"test_pattern_device: {e}", file=sys.stderr)
        return 1
    base = {c: pattern(height, width, rgb=c % 2 == 1) for c in channels}
    print(f"travik device listening on port {device.port}", flush=True)
    period = 1.0 / args.fps
    start = next_frame = time.monotonic()
    frame = 0
    try:
        with device:
            while not args.duration or time.monotonic() - start < args.duration:
                for c in channels:
                    # The device copies the bytes: the array may be dropped at once.
                    device.send_image(c, base[c] + np.uint8((frame * 3 + c * 50) % 256))
                if frame % max(1, round(args.fps / 2)) == 0:
                    device.log(f"test pattern: frame {frame}, {device.viewers} viewer(s)")
                frame += 1
                next_frame += period
                time.sleep(max(0.0, next_frame - time.monotonic()))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
