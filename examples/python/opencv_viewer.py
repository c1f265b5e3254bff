#!/usr/bin/env python3
"""A viewer that shows each channel in an OpenCV window; press q in a window to quit.

Needs OpenCV for Python (Debian: python3-opencv), which travik itself does not use.

    PYTHONPATH=build/default/python python3 examples/python/opencv_viewer.py 127.0.0.1:7000
"""

import argparse
import sys

try:
    import cv2
except ImportError:
    cv2 = None

import travik


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("target", nargs="?", default="127.0.0.1:7000", help="device address HOST[:PORT]")
    p.add_argument("--interval", type=int, default=40, help="minimum ms between two images of a channel")
    args = p.parse_args()
    if cv2 is None:
        print("opencv_viewer: OpenCV for Python (cv2) is not installed; install python3-opencv to run this example",
              file=sys.stderr)
        return 1
    host, _, port = args.target.partition(":")
    try:
        viewer = travik.Viewer(host, int(port or 7000), logs=False, interval_ms=args.interval, reconnect=True)
    except ConnectionError as e:
        print(f"opencv_viewer: {e}", file=sys.stderr)
        return 1
    try:
        with viewer:
            while True:
                image = viewer.get_image(timeout=0.05)
                if image is not None and image.data.ndim >= 2:
                    frame = image.data
                    if frame.ndim == 3:
                        frame = cv2.cvtColor(frame, cv2.COLOR_RGB2BGR)  # OpenCV wants BGR
                    cv2.imshow(f"travik channel {image.channel}", frame)
                if cv2.waitKey(1) & 0xFF == ord("q"):
                    break
    except KeyboardInterrupt:
        pass
    finally:
        cv2.destroyAllWindows()
    return 0


if __name__ == "__main__":
    sys.exit(main())
