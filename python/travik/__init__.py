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

from ._common import CHANNELS, DEFAULT_PORT, GRAY, MAX_IMAGE_BYTES, OPAQUE, RGB
from ._device import Device
from ._image import Image
from ._viewer import Viewer

__all__ = ["Viewer", "Device", "Image", "GRAY", "RGB", "OPAQUE", "CHANNELS"]

# The classes show as travik.Viewer etc., wherever they are defined.
for _cls in (Viewer, Device, Image):
    _cls.__module__ = __name__
del _cls
