"""What Viewer and Device share: closing once, and closing what is still
open when the interpreter exits (the library's threads must stop before the
interpreter goes away)."""

import atexit
import threading
import weakref

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
