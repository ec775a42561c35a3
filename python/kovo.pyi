# Type stubs of the kovo module: a crate of power-supply modules from Python.
from types import TracebackType
from typing import Any, Literal, Optional, Sequence, Union, overload

Value = Union[int, float, str, None]

class KovoError(RuntimeError):
    """A failed exchange with a crate."""
    host: str
    object: str   # the instance it was about, e.g. "outputVoltage.4"; "" for none
    reason: str
    kind: Literal["refused", "timeout", "send failed", "error status", "other object", "wrong type",
                  "no such instance"]

class Channel:
    """One channel: 100 x slot + channel in slot. Every channel object of the MIB
    is an attribute too (channel.outputVoltageRiseRate)."""
    index: int
    name: str
    status: int
    switch: int
    voltage: float
    current: float
    sense_voltage: float
    terminal_voltage: float
    measured_current: float
    temperature: int
    rise_rate: float
    fall_rate: float
    def get(self, object: str) -> Value: ...
    def set(self, object: str, value: Union[int, float, str]) -> Value: ...
    def __getattr__(self, name: str) -> Value: ...

class _Channels:
    def __getitem__(self, index: int) -> Channel: ...
    def __len__(self) -> int: ...

class Crate:
    """A session to one crate, named by its address ("host:port")."""
    def __init__(self, address: str, *, read_community: Optional[str] = None,
                 write_community: Optional[str] = None, timeout: Optional[float] = None,
                 retries: Optional[int] = None) -> None: ...
    @property
    def address(self) -> str: ...
    main_switch: int
    @property
    def channels(self) -> _Channels: ...
    def get(self, object: str, row: int = 0) -> Value: ...
    def set(self, object: str, value: Union[int, float, str], row: int = 0) -> Value: ...
    def scalars(self) -> dict[str, Value]: ...
    @overload
    def table(self, objects: Sequence[str]) -> list[dict[str, Value]]: ...
    @overload
    def table(self, objects: Sequence[str], *, numpy: Literal[False]) -> list[dict[str, Value]]: ...
    @overload
    def table(self, objects: Sequence[str], *, numpy: Literal[True]) -> Any: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Crate": ...
    def __exit__(self, kind: Optional[type], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None: ...
