from typing import Tuple

import numpy as np
import numpy.typing as npt

class Image:
    channel: int
    data: npt.NDArray[np.uint8]
    attrs: Tuple[int, int, int, int, int]
    tag: int
    arrival_us: int
    def __init__(
        self,
        channel: int,
        data: npt.NDArray[np.uint8],
        attrs: Tuple[int, int, int, int, int],
        tag: int,
        arrival_us: int,
    ) -> None: ...
    @property
    def attr1(self) -> int: ...
    @property
    def attr2(self) -> int: ...
    @property
    def attr3(self) -> int: ...
    @property
    def attr4(self) -> int: ...
    @property
    def attr5(self) -> int: ...
    @property
    def format(self) -> int: ...
    @property
    def width(self) -> int: ...
    @property
    def height(self) -> int: ...
