"""Type stub of the native driver base module."""

import re as re
import sys as sys
from abc import ABC as ABC, abstractmethod as abstractmethod
from copy import deepcopy as deepcopy
from types import TracebackType
from typing import Any, Literal, Self

import numpy as np
import numpy.typing as npt

from .quantity import Quantity as Quantity, newcfg as newcfg

PATTERN: str
__codec_kernel__: str  # the codec kernel set in use: "portable", "sse2" or "avx2"

def compress(value: Any) -> Any:
    """(values, lengths) for a numpy array; any other object is returned unchanged."""

def decompress(values: npt.ArrayLike, lengths: npt.ArrayLike) -> np.ndarray: ...

class Plinth(ABC):
    segment: tuple[str, str]
    CHs: list[int | str]
    quants: list[Quantity]

    addr: str
    host: Any
    port: Any
    timeout: Any
    model: Any
    srate: Any
    config: dict[str, dict[int | str, dict[str, Any]]]
    quantities: dict[str, Quantity]

    def __init__(self, addr: str = "192.168.1.42", **kw: Any) -> None: ...
    def __repr__(self) -> str: ...
    def __del__(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exception_type: type[BaseException] | None,
        exception_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> None: ...
    def info(self) -> str: ...
    def dict_from_quantity(self) -> dict[str, dict[str, Any]]: ...
    @abstractmethod
    def open(self, **kw: Any) -> None: ...
    @abstractmethod
    def close(self, **kw: Any) -> None: ...
    @abstractmethod
    def write(self, name: str, value: Any, **kw: Any) -> Any: ...
    @abstractmethod
    def read(self, name: str, **kw: Any) -> Any: ...
    def cancel(self) -> None: ...
    def check(self, name: str, channel: int | str) -> None: ...
    def update(self, name: str, value: Any, channel: int | str = 1) -> None: ...
    def setValue(
        self, name: str, value: Any, *, ch: int | str = 1, mode: Literal["run", "debug"] | str = "run",
        target: Any = "", **kw: Any,
    ) -> None: ...
    def getValue(
        self, name: str, *, ch: int | str = 1, mode: Literal["run", "debug"] | str = "run",
        target: Any = "", **kw: Any,
    ) -> Any: ...
