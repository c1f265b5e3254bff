"""Live log text and images from a travik device, as Python strings and numpy arrays.

A *device* program streams log text and camera-style images; *viewers* connect
to it over TCP, receive both and steer the device with a small command (log
stream on/off, image stream on/off, four image channels on/off, the minimum
interval between two images of a channel).

    import travik

    with travik.Viewer("127.0.0.1", 7000, channels=(0, 2)) as viewer:
        for image in viewer.images(timeout=5):
            print(image.channel, image.data.shape, image.tag)

    with travik.Device(7000) as device:
        device.send_image(0, numpy.zeros((480, 640), numpy.uint8))

Threads: the library delivers images and log text on its own network thread,
which never takes the interpreter lock; each viewer keeps them in a bounded
queue (the newest image per channel wins, at most 10,000 log lines) that the
waiting methods read with the lock released. Ctrl-C interrupts a wait within
about 50 ms. ``close()`` may be called from any thread; objects still open when
the interpreter exits are closed then.

Each Viewer and Device has its own connection and threads, so one process may
hold several viewers and devices at once. The library writes short diagnostic
lines (``connect done``, ``accept connect fd = 5`` ...) to the process's
standard output.

Image attributes follow the convention of the ``travik`` tool: ``attr1`` and
``attr5`` choose the channel ((1, 1) -> 0, (1, 3) -> 1, (2, 1) -> 2,
(2, 3) -> 3), ``attr2`` is the pixel format (1 = 8-bit gray, 3 = 8-bit RGB,
anything else = opaque bytes), ``attr3`` x ``attr4`` the width and height, and
the tag the capture time in microseconds since 1970.
"""

import atexit
import socket
import threading
import time
import weakref

import numpy as np

from . import _travik

__all__ = ["Viewer", "Device", "Image", "GRAY", "RGB", "OPAQUE", "CHANNELS"]

GRAY = 1
RGB = 3
OPAQUE = 2
CHANNELS = (0, 1, 2, 3)
DEFAULT_PORT = 7000
# A device refuses to stage more than this many bytes in one image: a frame
# larger than 100,000,000 bytes would be refused by every viewer.
MAX_IMAGE_BYTES = 99_000_000

# Objects still open at interpreter exit are closed by _close_all (the
# library's threads must stop before the interpreter goes away).
_open_objects = weakref.WeakSet()
_open_lock = threading.Lock()


def _track(obj):
    with _open_lock:
        _open_objects.add(obj)


def _untrack(obj):
    with _open_lock:
        _open_objects.discard(obj)


@atexit.register
def _close_all():
    with _open_lock:
        objects = list(_open_objects)
    for obj in objects:
        obj.close()


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
    chosen = tuple(sorted({int(c) for c in channels}))
    for c in chosen:
        if c not in CHANNELS:
            raise ValueError(f"channel must be 0 to 3, got {c}")
    return chosen


def _interval_arg(interval_ms):
    if interval_ms is None:
        return 0
    interval_ms = int(interval_ms)
    if not 1 <= interval_ms <= 2_147_483_647:
        raise ValueError(f"interval_ms must be at least 1, got {interval_ms}")
    return interval_ms


def _now_us():
    return time.time_ns() // 1000


class Image:
    """One image as it arrived at a viewer.

    ``data`` is a numpy ``uint8`` array over the received buffer (no copy):
    shaped (height, width) for gray, (height, width, 3) for RGB, 1-D for
    anything else (or when the byte count does not match the size).
    """

    __slots__ = ("channel", "data", "attrs", "tag", "arrival_us")

    def __init__(self, channel, data, attrs, tag, arrival_us):
        self.channel = channel  #: image channel 0..3
        self.data = data  #: numpy uint8 array
        self.attrs = attrs  #: the five attributes (attr1, ..., attr5)
        self.tag = tag  #: the device's 64-bit tag (capture time in µs by convention)
        self.arrival_us = arrival_us  #: wall-clock arrival time, µs since 1970

    attr1 = property(lambda self: self.attrs[0], doc="First attribute (channel selector).")
    attr2 = property(lambda self: self.attrs[1], doc="Second attribute: the pixel format.")
    attr3 = property(lambda self: self.attrs[2], doc="Third attribute: the width in pixels.")
    attr4 = property(lambda self: self.attrs[3], doc="Fourth attribute: the height in pixels.")
    attr5 = property(lambda self: self.attrs[4], doc="Fifth attribute (channel selector).")
    format = property(lambda self: self.attrs[1], doc="Pixel format: GRAY (1), RGB (3) or another value (opaque).")
    width = property(lambda self: self.attrs[2], doc="Width in pixels (0 for opaque bytes).")
    height = property(lambda self: self.attrs[3], doc="Height in pixels (0 for opaque bytes).")

    def __repr__(self):
        return (
            f"Image(channel={self.channel}, shape={self.data.shape}, attrs={self.attrs}, "
            f"tag={self.tag}, arrival_us={self.arrival_us})"
        )


class _Endpoint:
    """What Viewer and Device share: a core closed once, by close(), by a
    with-block or when the object is collected."""

    _core = None

    def _close_core(self):
        if self._core is not None:
            self._core.close()
            _untrack(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_core", None) is not None:
            self._core.close()


class Viewer(_Endpoint):
    """A connection to a device that receives its images and log text.

    ``Viewer(host, port=7000, *, logs=True, channels=(0, 1, 2, 3),
    interval_ms=200, reconnect=False)`` connects (``host`` is a name or a
    dotted IPv4 address) and sends one command: the log stream on or off,
    the image stream on, the listed channels on and the others off, and the
    minimum interval between two images of a channel. Raises
    ``ConnectionError`` naming the address when the connection cannot be made.

    A lost connection ends ``images()`` and ``logs()`` (and makes the
    ``get_*`` methods raise) with ``ConnectionError``, once what had arrived
    has been taken. With ``reconnect=True`` the viewer instead connects again
    (every half second) and repeats its commands, so a restarted device
    streams to it again.
    """

    def __init__(self, host, port=DEFAULT_PORT, *, logs=True, channels=CHANNELS, interval_ms=200, reconnect=False):
        self._core = None
        self._closed = True
        port = int(port)
        if not 1 <= port <= 65535:
            raise ValueError(f"port must be 1 to 65535, got {port}")
        chosen = _channels_arg(channels)
        interval = _interval_arg(interval_ms)
        self.address = f"{host}:{port}"
        try:
            ip = socket.gethostbyname(host)
        except OSError as e:
            raise ConnectionError(f"cannot connect to {self.address}: {e}") from None
        core = _travik.ViewerCore(ip, port, bool(reconnect))
        if not core.open(bool(logs), chosen, interval):
            raise ConnectionError(f"cannot connect to {self.address}")
        self._core = core
        self._closed = False
        _track(self)

    # -- receiving -------------------------------------------------------

    def get_image(self, timeout=None):
        """The next image, or None when ``timeout`` seconds pass first or the viewer is closed.

        Images come oldest first; of the images of one channel that arrived
        since the last take only the newest is kept. Raises ConnectionError
        when the connection is lost (without ``reconnect``).
        """
        r = self._core.get_image(_timeout_arg(timeout))
        if type(r) is tuple:
            return Image(*r)
        if r == _travik.STATUS_LOST:
            raise ConnectionError(f"connection to {self.address} lost")
        return None

    def images(self, timeout=None):
        """Iterate over arriving images; ends when ``timeout`` seconds pass without one, or on close."""
        t = _timeout_arg(timeout)
        core = self._core
        while True:
            r = core.get_image(t)
            if type(r) is not tuple:
                if r == _travik.STATUS_LOST:
                    raise ConnectionError(f"connection to {self.address} lost")
                return
            yield Image(*r)

    def get_log(self, timeout=None):
        """The next log line (without its line end), or None on timeout or close.

        At most 10,000 lines (8 MiB) wait; older ones are dropped first and
        counted in ``dropped_logs``.
        """
        r = self._core.get_log(_timeout_arg(timeout))
        if type(r) is str:
            return r
        if r == _travik.STATUS_LOST:
            raise ConnectionError(f"connection to {self.address} lost")
        return None

    def logs(self, timeout=None):
        """Iterate over arriving log lines; ends when ``timeout`` seconds pass without one, or on close."""
        while True:
            line = self.get_log(timeout)
            if line is None:
                return
            yield line

    # -- steering --------------------------------------------------------

    def command(self, logs=None, images=None, channels=None, interval_ms=None):
        """Steer the device: None leaves a setting as it is.

        ``logs`` and ``images`` switch the log and image streams on or off;
        ``channels`` lists the channels to switch on (the others go off);
        ``interval_ms`` is the minimum time between two images of a channel.
        """
        if self._closed:
            raise ValueError("viewer is closed")
        self._core.command(
            None if logs is None else bool(logs),
            None if images is None else bool(images),
            _channels_arg(channels),
            _interval_arg(interval_ms),
        )

    # -- state -----------------------------------------------------------

    @property
    def connected(self):
        """True while the connection is up."""
        return not self._closed and self._core.connected

    @property
    def dropped_images(self):
        """Images replaced by a newer one of their channel before they were taken."""
        return self._core.dropped_images if self._core else 0

    @property
    def dropped_logs(self):
        """Log lines dropped because the queue was full."""
        return self._core.dropped_logs if self._core else 0

    @property
    def closed(self):
        return self._closed

    def close(self):
        """Disconnect and stop the viewer's threads; any thread may call it, more than once.

        A wait in another thread returns (None, or the end of iteration).
        Arrays already taken stay valid.
        """
        self._closed = True
        self._close_core()

    def __repr__(self):
        state = "closed" if self._closed else ("connected" if self.connected else "disconnected")
        return f"<travik.Viewer {self.address} {state}>"


class Device(_Endpoint):
    """A device endpoint that viewers connect to.

    ``Device(port=7000)`` listens on all IPv4 addresses (``port=0``: any free
    port, see ``port``); raises OSError when the port cannot be bound. Until
    a viewer asks for them, log text is refused and images are sent at most
    every 200 ms per channel; the first image of each channel only starts
    that channel's timer.
    """

    def __init__(self, port=DEFAULT_PORT):
        self._core = None
        self._closed = True
        port = int(port)
        if not 0 <= port <= 65535:
            raise ValueError(f"port must be 0 to 65535, got {port}")
        core = _travik.DeviceCore()
        if not core.open(port):
            raise OSError(f"cannot listen on port {port} (in use, or not allowed)")
        self._core = core
        self._closed = False
        self._port = core.port
        _track(self)

    @property
    def port(self):
        """The TCP port the device listens on."""
        return self._port

    @property
    def viewers(self):
        """Number of viewers connected now."""
        return 0 if self._closed else self._core.viewers

    @property
    def closed(self):
        return self._closed

    def send_image(self, channel, array, tag=None):
        """Offer an image on ``channel`` (0..3): a 2-D (height, width) gray or (height, width, 3) RGB uint8 array.

        ``tag`` defaults to the current time in microseconds. The bytes are
        copied (once, also for a non-contiguous array), so the array may be
        reused at once. Returns False when the viewers switched the image
        stream off or the device is closed (also by another thread), True
        otherwise (the image may still be dropped by the interval, a channel
        switch, or when nobody is connected).
        """
        if not isinstance(array, np.ndarray):
            raise TypeError(f"image must be a numpy uint8 array, got {type(array).__name__}")
        if array.dtype != np.uint8:
            raise TypeError(f"image must be a uint8 array, got dtype {array.dtype}")
        if array.ndim == 2 and array.shape[0] > 0 and array.shape[1] > 0:
            fmt, height, width = GRAY, array.shape[0], array.shape[1]
        elif array.ndim == 3 and array.shape[2] == 3 and array.shape[0] > 0 and array.shape[1] > 0:
            fmt, height, width = RGB, array.shape[0], array.shape[1]
        else:
            raise ValueError(
                f"image must be 2-D (height, width) gray or (height, width, 3) RGB, got shape {array.shape}"
            )
        return self._send(channel, fmt, width, height, array, tag)

    def send_bytes(self, channel, data, tag=None, *, format=OPAQUE):
        """Offer opaque bytes (any bytes-like object) as an image on ``channel``.

        ``format`` (attr2) must not be GRAY or RGB; width and height are 0.
        Returns as ``send_image``.
        """
        if format in (GRAY, RGB, 0):
            raise ValueError("format of opaque bytes must not be 0, GRAY (1) or RGB (3)")
        view = memoryview(data)
        if not view.c_contiguous:
            view = memoryview(view.tobytes())
        array = np.frombuffer(view.cast("B"), dtype=np.uint8)
        return self._send(channel, int(format), 0, 0, array, tag)

    def _send(self, channel, fmt, width, height, array, tag):
        if channel not in CHANNELS:
            raise ValueError(f"channel must be 0 to 3, got {channel!r}")
        if array.nbytes > MAX_IMAGE_BYTES:
            raise ValueError(f"image of {array.nbytes} bytes is over the limit of {MAX_IMAGE_BYTES}")
        if self._closed:
            return False
        tag = _now_us() if tag is None else int(tag)
        if not 0 <= tag < 1 << 64:
            raise ValueError("tag must fit in 64 unsigned bits")
        return self._core.send_image(channel, fmt, width, height, array, tag)

    def log(self, text):
        """Stage log text for the viewers; returns whether it was staged.

        Refused (False) while no viewer has opened the log stream, while
        nobody is connected, while every viewer is too far behind, or once the
        device is closed. Text after a NUL character is not sent.
        """
        if self._closed:
            return False
        return self._core.log(str(text))

    def close(self):
        """Stop listening, disconnect the viewers and stop the threads; any thread, more than once."""
        self._closed = True
        self._close_core()

    def __repr__(self):
        return f"<travik.Device port {self._port if self._core else '-'} {'closed' if self._closed else 'open'}>"
