"""The native PGN readers of quarn_data (use quarn_data.read_games / pgn_to_arrays)."""

from collections.abc import Buffer, Sequence
from typing import final

_ErrorTuple = tuple[str, int, int, str]
_GameTuple = tuple[int, int, dict[str, str], list[str], str, str | None, _ErrorTuple | None]

def crc32(data: Buffer, value: int = 0, /) -> int: ...

@final
class GameReader:
    def __new__(cls, strict: bool = False) -> GameReader: ...
    def feed(self, data: Buffer, /) -> list[_GameTuple]: ...
    def finish(self) -> list[_GameTuple]: ...
    @property
    def offset(self) -> int: ...
    @property
    def variant_games(self) -> int: ...

@final
class ArrayReader:
    def __new__(
        cls,
        planes: bool = False,
        strict: bool = False,
        min_elo: int | None = None,
        min_time_control: float | None = None,
        max_time_control: float | None = None,
        events: Sequence[str] | None = None,
        terminations: Sequence[str] | None = None,
        finished_only: bool = True,
        size_hint: int | None = None,
    ) -> ArrayReader: ...
    def feed(self, data: Buffer, /) -> bool: ...
    def counts(self) -> dict[str, int]: ...
    def finish(self) -> tuple[dict[str, Column], dict[str, int], list[_ErrorTuple]]: ...
    @property
    def offset(self) -> int: ...

@final
class Column:
    def __buffer__(self, flags: int, /) -> memoryview: ...

