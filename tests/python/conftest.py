"""Helpers for the Python package's tests: a device that keeps offering
images, polling with a deadline, and the paths of the built programs."""

import os
import pathlib
import socket
import sys
import threading
import time

import numpy as np
import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = ROOT / "build" / "default"
TOOL = os.environ.get("TRAVIK_TOOL", str(BUILD / "tools" / "travik"))
EXAMPLES = pathlib.Path(os.environ.get("TRAVIK_EXAMPLES", str(ROOT / "examples" / "python")))
PYTHON = sys.executable
DEADLINE = 20.0  # seconds; generous, for a loaded 2-core machine

import travik  # noqa: E402  (PYTHONPATH is set by ctest)


def wait_until(cond, timeout=DEADLINE, period=0.005):
    """Polls cond() until it is true or the deadline passes; returns its last value."""
    end = time.monotonic() + timeout
    while True:
        value = cond()
        if value or time.monotonic() > end:
            return value
        time.sleep(period)


def settle(read, quiet=0.5, timeout=DEADLINE, period=0.01):
    """Waits until the counter read() has not moved for `quiet` seconds of
    polling; True once it has, False when it still moves at the deadline.
    For draining what was in flight: nothing tells when the last of it
    arrived except that the counters stop."""
    end = time.monotonic() + timeout
    value, since = read(), time.monotonic()
    while time.monotonic() < end:
        time.sleep(period)
        now_value = read()
        if now_value != value:
            value, since = now_value, time.monotonic()
        elif time.monotonic() - since >= quiet:
            return True
    return False


def child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def gray_image(h=48, w=64, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (h, w), dtype=np.uint8)


def rgb_image(h=30, w=40, seed=1):
    return np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8)


class Pump:
    """Offers the same images on their channels every few ms from a thread,
    with one log line per round, until stopped (or the deadline passes)."""

    def __init__(self, device, images, period=0.002, log=True):
        self.device, self.images, self.period, self.log = device, images, period, log
        self.rounds = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        end = time.monotonic() + 4 * DEADLINE
        while not self._stop.is_set() and time.monotonic() < end:
            for channel, (kind, payload, tag) in self.images.items():
                if kind == "bytes":
                    self.device.send_bytes(channel, payload, tag)
                else:
                    self.device.send_image(channel, payload, tag)
            if self.log:
                self.device.log(f"round {self.rounds}\nsecond line")
            self.rounds += 1
            self._stop.wait(self.period)

    def stop(self):
        self._stop.set()
        self._thread.join()


@pytest.fixture
def device():
    with travik.Device(0) as d:
        yield d
