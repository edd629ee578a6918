"""The native PGN readers of quarn_data (use quarn_data.read_games / pgn_to_arrays)."""

from collections.abc import Buffer, Callable, Sequence
from typing import Any, final

_ErrorTuple = tuple[str, int, int, str]
_GameTuple = tuple[int, int, dict[str, str], list[str], str, str | None, _ErrorTuple | None]

@final
class GameReader:
    def __new__(
        cls, strict: bool = False, game: type | None = None, error: Callable[..., Any] | None = None
    ) -> GameReader: ...
    def feed(self, data: Buffer, /) -> GameReader: ...
    def finish(self) -> GameReader: ...
    def __iter__(self) -> GameReader: ...
    # A tuple, or an instance of the `game` class given to the constructor.
    def __next__(self) -> Any: ...
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
class TableReader:
    def __new__(
        cls,
        strict: bool = False,
        min_elo: int | None = None,
        min_time_control: float | None = None,
        max_time_control: float | None = None,
        events: Sequence[str] | None = None,
        terminations: Sequence[str] | None = None,
        finished_only: bool = True,
        size_hint: int | None = None,
    ) -> TableReader: ...
    def feed(self, data: Buffer, /) -> bool: ...
    def finish(self) -> tuple[dict[str, Column], dict[str, int], list[_ErrorTuple]]: ...
    @property
    def offset(self) -> int: ...

@final
class Column:
    def __buffer__(self, flags: int, /) -> memoryview: ...

