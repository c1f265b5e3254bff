"""A device endpoint: offers images and log text to its viewers."""

import numpy as np

from . import _travik
from ._common import DEFAULT_PORT, GRAY, MAX_IMAGE_BYTES, OPAQUE, RGB, _channel_arg, _int_arg, _now_us, _path_arg
from ._endpoint import _Endpoint, _track


class Device(_Endpoint):
    """A device endpoint that viewers connect to.

    ``Device(port=7000)`` listens on all IPv4 addresses (``port=0``: any free
    port, see ``port``); raises OSError when the port cannot be bound. Until
    a viewer asks for them, log text is refused and images are sent at most
    every 200 ms per channel; the first image of each channel only starts
    that channel's timer.

    ``bind`` listens on one local address instead: a dotted IPv4 address or
    an IPv6 literal (``"127.0.0.1"`` keeps the device to this host).
    ``tls_cert`` and ``tls_key`` (PEM files, together) serve the viewers over
    TLS; ``tls_client_ca`` (with them) serves only viewers whose certificate
    that CA signed. ``ValueError`` for a bad combination, ``RuntimeError``
    when this build of travik has no TLS, ``OSError`` when the address cannot
    be bound or the library refuses a TLS file (it prints why).
    """

    def __init__(self, port=DEFAULT_PORT, bind=None, tls_cert=None, tls_key=None, tls_client_ca=None):
        self._core = None
        self._closed = True
        port = _int_arg("port", port)
        if not 0 <= port <= 65535:
            raise ValueError(f"port must be 0 to 65535, got {port}")
        if bind is not None and (not isinstance(bind, str) or not bind):
            raise ValueError(f"bind must be an address such as '127.0.0.1', got {bind!r}")
        if (tls_cert is None) != (tls_key is None):
            raise ValueError("tls_cert and tls_key go together")
        if tls_client_ca is not None and tls_cert is None:
            raise ValueError("tls_client_ca needs tls_cert and tls_key")
        if tls_cert is not None and not _travik.HAS_TLS:
            raise RuntimeError("cannot serve TLS: this build of travik has no TLS support")
        tls = (_path_arg(tls_cert), _path_arg(tls_key), _path_arg(tls_client_ca))
        where = f"port {port}" + (f" at {bind}" if bind else "")
        core = _travik.DeviceCore()
        if not core.open(port, bind or "", *tls):
            why = "in use, not a local address, or a TLS file refused" if tls_cert else "in use, or not allowed"
            raise OSError(f"cannot listen on {where} ({why})")
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
        format = _int_arg("format", format)
        if format in (GRAY, RGB, 0):
            raise ValueError("format of opaque bytes must not be 0, GRAY (1) or RGB (3)")
        view = memoryview(data)
        if not view.c_contiguous:
            view = memoryview(view.tobytes())
        array = np.frombuffer(view.cast("B"), dtype=np.uint8)
        return self._send(channel, format, 0, 0, array, tag)

    def _send(self, channel, fmt, width, height, array, tag):
        channel = _channel_arg(channel)
        if array.nbytes > MAX_IMAGE_BYTES:
            raise ValueError(f"image of {array.nbytes} bytes is over the limit of {MAX_IMAGE_BYTES}")
        if self._closed:
            return False
        tag = _now_us() if tag is None else _int_arg("tag", tag)
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
