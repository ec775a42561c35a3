# Type stubs of the kovo module: a crate of power-supply modules from Python.
import enum
from types import TracebackType
from typing import Any, Iterator, Literal, Optional, Sequence, Union, overload

Value = Union[int, float, str, None]
# Channels: a selection ("0-7,12", "slot 1", "all", "on", "off", "tripped", combined
# with commas) or channel indices (100 x slot + channel in slot).
Rows = Union[str, Sequence[int]]

class OutputStatus(enum.IntFlag):
    """The bits of a channel's outputStatus; the failure bits latch until the
    channel is switched on again."""
    on = 1
    rampingUp = 2
    rampingDown = 4
    failureMinSenseVoltage = 8
    failureMaxSenseVoltage = 16
    failureMaxTerminalVoltage = 32
    failureMaxCurrent = 64
    failureMaxPower = 128
    failureMaxTemperature = 256
    currentLimited = 512

class SysStatus(enum.IntFlag):
    """The bits of the crate's sysStatus."""
    mainOn = 1

class KovoError(RuntimeError):
    """A failed exchange with a crate, a refused value, or a ramp stopped."""
    host: str
    object: str   # the SNMP instance it was about, e.g. "outputVoltage.4"; "" for none
    reason: str
    kind: Literal["refused", "timeout", "send failed", "error status", "other object", "wrong type",
                  "no such instance", "interrupted", "tripped", "switched off", "not reached"]
    channels: list[int]      # the channels it names
    written: list[int]       # set_many: the channels written (a request the crate refused
    not_written: list[int]   # leaves all its channels unwritten, the other requests written)

class Channel:
    """One channel: 100 x slot + channel in slot. Every channel object of the MIB
    is an attribute too (channel.outputVoltageRiseRate)."""
    index: int
    name: str
    status: OutputStatus
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

class Channels:
    """The present channels: iterating and len() read the crate in one bulk read;
    channels[i] is channel index i, a KovoError when the crate does not have it."""
    def __getitem__(self, index: int) -> Channel: ...
    def __iter__(self) -> Iterator[Channel]: ...
    def __len__(self) -> int: ...
    def __contains__(self, index: int) -> bool: ...

class Crate:
    """A session to one crate, named by its address ("host:port")."""
    def __init__(self, address: str, *, read_community: Optional[str] = None,
                 write_community: Optional[str] = None, timeout: Optional[float] = None,
                 retries: Optional[int] = None) -> None: ...
    @property
    def address(self) -> str: ...
    main_switch: int
    @property
    def channels(self) -> Channels: ...
    def get(self, object: str, row: int = 0) -> Value: ...
    def set(self, object: str, value: Union[int, float, str], row: int = 0) -> Value: ...
    def select(self, rows: Rows) -> list[int]: ...
    def set_many(self, object: str, rows: Rows, value: Union[int, float, str]) -> dict[int, Value]: ...
    def ramp(self, rows: Rows, voltage: float, *, tolerance: float = 0.1, timeout: float = 300.0,
             step: Optional[float] = None) -> dict[int, float]: ...
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
