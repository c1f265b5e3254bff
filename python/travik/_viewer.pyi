import os
from typing import Iterable, Iterator, Optional, Union

from ._image import Image

class Viewer:
    address: str
    def __init__(
        self,
        host: str,
        port: int = 7000,
        *,
        logs: bool = True,
        channels: Iterable[int] = (0, 1, 2, 3),
        interval_ms: int = 200,
        reconnect: bool = False,
        nats_creds: Optional[Union[str, "os.PathLike[str]"]] = None,
        nats_tls_ca: Optional[Union[str, "os.PathLike[str]"]] = None,
        tls_ca: Optional[Union[str, "os.PathLike[str]"]] = None,
        tls_cert: Optional[Union[str, "os.PathLike[str]"]] = None,
        tls_key: Optional[Union[str, "os.PathLike[str]"]] = None,
    ) -> None: ...
    def get_image(self, timeout: Optional[float] = None) -> Optional[Image]: ...
    def images(self, timeout: Optional[float] = None) -> Iterator[Image]: ...
    def get_log(self, timeout: Optional[float] = None) -> Optional[str]: ...
    def logs(self, timeout: Optional[float] = None) -> Iterator[str]: ...
    def command(
        self,
        logs: Optional[bool] = None,
        images: Optional[bool] = None,
        channels: Optional[Iterable[int]] = None,
        interval_ms: Optional[int] = None,
    ) -> None: ...
    @property
    def connected(self) -> bool: ...
    @property
    def dropped_images(self) -> int: ...
    @property
    def dropped_logs(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Viewer": ...
    def __exit__(self, *exc: object) -> None: ...
