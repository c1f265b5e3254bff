from typing import Tuple

from ._device import Device as Device
from ._image import Image as Image
from ._viewer import Viewer as Viewer

GRAY: int
RGB: int
OPAQUE: int
CHANNELS: Tuple[int, int, int, int]
DEFAULT_PORT: int
MAX_IMAGE_BYTES: int
