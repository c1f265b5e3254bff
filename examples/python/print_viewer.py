#!/usr/bin/env python3
"""A viewer that prints every log line and one line per image as they arrive.

    PYTHONPATH=build/default/python python3 examples/python/print_viewer.py 127.0.0.1:7000 --count 20
"""

import argparse
import sys
import threading

import travik


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("target", nargs="?", default="127.0.0.1:7000", help="device address HOST[:PORT]")
    p.add_argument("--channels", default="0,1,2,3", help="channels to receive, e.g. 0,2")
    p.add_argument("--interval", type=int, default=200, help="minimum ms between two images of a channel")
    p.add_argument("--no-logs", action="store_true", help="leave the log stream off")
    p.add_argument("--count", type=int, default=0, help="exit after this many images (0: until Ctrl-C)")
    p.add_argument("--reconnect", action="store_true", help="connect again when the connection is lost")
    args = p.parse_args()
    host, _, port = args.target.partition(":")
    try:
        viewer = travik.Viewer(
            host,
            int(port or 7000),
            logs=not args.no_logs,
            channels=[int(c) for c in args.channels.split(",")],
            interval_ms=args.interval,
            reconnect=args.reconnect,
        )
    except (ConnectionError, ValueError) as e:
        print(f"print_viewer: {e}", file=sys.stderr)
        return 1

    def print_logs():
        for line in viewer.logs():  # ends when the viewer is closed
            print(f"log: {line}", flush=True)

    log_thread = threading.Thread(target=print_logs, daemon=True)
    log_thread.start()
    seen = 0
    try:
        with viewer:
            for image in viewer.images():
                latency_ms = (image.arrival_us - image.tag) / 1000
                print(
                    f"image channel {image.channel} {image.data.shape} attrs {image.attrs} "
                    f"latency {latency_ms:.1f} ms",
                    flush=True,
                )
                seen += 1
                if seen == args.count:
                    break
    except KeyboardInterrupt:
        pass
    except ConnectionError as e:
        print(f"print_viewer: {e}", file=sys.stderr)
        return 1
    log_thread.join(timeout=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
