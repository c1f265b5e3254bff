"""A viewer: receives a device's images and log text, and steers it."""

import socket

from . import _travik
from ._common import (
    CHANNELS,
    DEFAULT_PORT,
    _channels_arg,
    _int_arg,
    _interval_arg,
    _path_arg,
    _timeout_arg,
    _tls_target,
)
from ._endpoint import _Endpoint, _track
from ._image import Image


def _direct_core(address, host, port, reconnect):
    """The core of a direct connection; ``host`` is resolved once, here."""
    try:
        ip = socket.gethostbyname(host)
    except OSError as e:
        raise ConnectionError(f"cannot connect to {address}: {e}") from None
    return _travik.ViewerCore(ip, port, bool(reconnect))


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

    ``host`` may also be ``"nats://HOST[:PORT]/NAME"``: the device that a
    ``travik bridge`` publishes as NAME on that NATS server (port 4222 when
    left out; ``port`` is then ignored). It behaves as a direct connection,
    with what it asks for shared with the device's other viewers; it
    reconnects to the NATS server by itself. ``nats_creds`` and
    ``nats_tls_ca`` name a credentials file and a CA file for it. Raises
    ``RuntimeError`` when this build of travik has no NATS support.

    ``host`` may be ``"tls://HOST[:PORT]"`` (``port`` when PORT is left
    out): the connection is TLS, and ``tls_ca`` (required) names the CA file
    that signed the device's certificate, which must name HOST. ``tls_cert``
    and ``tls_key`` give a client certificate for a device that checks its
    viewers. The TLS files go with a ``tls://`` address only (``ValueError``
    otherwise); ``RuntimeError`` when this build of travik has no TLS.
    """

    def __init__(
        self,
        host,
        port=DEFAULT_PORT,
        *,
        logs=True,
        channels=CHANNELS,
        interval_ms=200,
        reconnect=False,
        nats_creds=None,
        nats_tls_ca=None,
        tls_ca=None,
        tls_cert=None,
        tls_key=None,
    ):
        self._core = None
        self._closed = True
        port = _int_arg("port", port)
        if not 1 <= port <= 65535:
            raise ValueError(f"port must be 1 to 65535, got {port}")
        chosen = _channels_arg(channels)
        interval = _interval_arg(interval_ms)
        tls = _tls_target(host, port)
        nats = isinstance(host, str) and host.startswith("nats://")
        if tls is None and (tls_ca is not None or tls_cert is not None or tls_key is not None):
            raise ValueError("tls_ca, tls_cert and tls_key go with a tls:// address")
        if not nats and (nats_creds is not None or nats_tls_ca is not None):
            raise ValueError("nats_creds and nats_tls_ca go with a nats:// address")
        if tls is not None:
            if tls_ca is None:
                raise ValueError("a tls:// address needs tls_ca, the CA file that signed the device's certificate")
            if (tls_cert is None) != (tls_key is None):
                raise ValueError("tls_cert and tls_key go together")
            if not _travik.HAS_TLS:
                raise RuntimeError(f"cannot open {host}: this build of travik has no TLS support")
            files = (_path_arg(tls_ca), _path_arg(tls_cert), _path_arg(tls_key))
            name, port = tls
            self.address = f"tls://{name}:{port}"
            core = _direct_core(self.address, name, port, reconnect)
            core.set_tls(*files, name)  # the name, not the address, is checked against the certificate
        elif nats:
            if not _travik.HAS_NATS:
                raise RuntimeError(
                    f"cannot open {host}: this build of travik has no NATS support (libnats was missing when it was built)"
                )
            self.address = host
            core = _travik.ViewerCore.nats(host, _path_arg(nats_creds), _path_arg(nats_tls_ca))
        else:
            self.address = f"{host}:{port}"
            core = _direct_core(self.address, host, port, reconnect)
        if not core.open(bool(logs), chosen, interval):
            why = " (the library printed the TLS reason on standard output)" if tls is not None else ""
            raise ConnectionError(f"cannot connect to {self.address}{why}")
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
