"""Constants and argument checks shared by Viewer and Device."""

import operator
import os
import time

from . import _travik

GRAY = 1
RGB = 3
OPAQUE = 2
CHANNELS = (0, 1, 2, 3)
DEFAULT_PORT = 7000
# A device refuses to stage more than this many bytes in one image: a frame
# larger than 100,000,000 bytes would be refused by every viewer.
MAX_IMAGE_BYTES = _travik.MAX_IMAGE_BYTES


def _int_arg(name, value):
    """An integer argument; a bool is refused, since True would pass as 1."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, not bool")
    return int(value)


def _channel_arg(channel):
    if isinstance(channel, bool):
        raise TypeError("channel must be an integer 0 to 3, not bool")
    try:
        channel = operator.index(channel)
    except TypeError:
        raise TypeError(f"channel must be an integer 0 to 3, got {type(channel).__name__}") from None
    if channel not in CHANNELS:
        raise ValueError(f"channel must be 0 to 3, got {channel!r}")
    return channel


def _timeout_arg(timeout):
    if timeout is None:
        return -1.0
    timeout = float(timeout)
    if timeout < 0:
        raise ValueError(f"timeout must be None or >= 0, got {timeout}")
    return timeout


def _channels_arg(channels):
    if channels is None:
        return None
    return tuple(sorted({_channel_arg(c) for c in channels}))


def _interval_arg(interval_ms):
    if interval_ms is None:
        return 0
    interval_ms = _int_arg("interval_ms", interval_ms)
    if not 1 <= interval_ms <= 2_147_483_647:
        raise ValueError(f"interval_ms must be at least 1, got {interval_ms}")
    return interval_ms


def _now_us():
    return time.time_ns() // 1000


def _path_arg(path):
    """A file argument: "" for None, FileNotFoundError when it is not a file."""
    if path is None:
        return ""
    path = os.fspath(path)
    if not os.path.isfile(path):
        raise FileNotFoundError(f"no such file: {path}")
    return path


def _tls_target(host, port):
    """``"tls://HOST[:PORT]"`` -> (HOST, PORT), the port defaulting to ``port``; None for any other host."""
    if not isinstance(host, str) or not host.startswith("tls://"):
        return None
    rest = host[len("tls://") :]
    name, colon, digits = rest.rpartition(":")
    if not colon:
        name, digits = rest, str(port)
    if not name or "/" in name or ":" in name or not digits.isdigit() or not 1 <= int(digits) <= 65535:
        raise ValueError(f"expected tls://HOST[:PORT] with a port 1 to 65535, got {host!r}")
    return name, int(digits)
