"""How failures reach Python: ValueError for bad input, PanicException for internal faults, and
objects that stay usable (their borrows released) after every kind of failure."""

import re

import pytest

import quarn_chess
from quarn_chess import Board, MoveGenerator

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
AFTER_E2E4 = "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"
# The placement wraps past h8 and puts a black rook onto the black pawn on b1: the generator
# offers the rook's moves, but making them moves the pawn (the lower piece index) onto the first
# rank without a promotion, which the core refuses, so listing moves is an internal fault.
OVERLAPPING = "7r/8/8/8/8/8/8/k7/1p b - -"
REPORT = re.compile(r"^quarn_chess: internal fault at src/\S+\.(cpp|h):\d+: (.*)$", re.MULTILINE)


def panic_of(call):
    """Runs a call that must fault; returns the exception."""
    with pytest.raises(BaseException) as raised:
        call()
    assert type(raised.value).__name__ == "PanicException"
    return raised.value


def test_panic_exception_class():
    panic = type(panic_of(lambda: Board().pop()))
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__module__ == "quarn_chess"
    assert panic.__qualname__ == "PanicException"
    assert "BaseException" in panic.__doc__ and "SystemExit" in panic.__doc__
    assert not hasattr(quarn_chess, "PanicException")
    # Created once: every fault raises the same class.
    assert type(panic_of(lambda: Board.bitboard_from_fen("x"))) is panic


def test_panic_is_not_caught_by_except_exception():
    caught = None
    try:
        try:
            Board().pop()
        except Exception:  # noqa: BLE001 - the point of the test
            caught = "Exception"
    except BaseException as error:  # noqa: BLE001
        caught = error
    assert type(caught).__name__ == "PanicException"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: Board().pop(), "missing value"),
        (lambda: Board().push("e3e4"), "missing value"),
        (lambda: Board().push("E2E4"), "assertion failed: from_file <= 7"),
        (lambda: Board("8/8/8/8/8/8/8/8"), "missing value"),
        (lambda: Board.bitboard_from_fen("8/8/x7/8/8/8/8/8"), "Invalid piece type"),
        (lambda: MoveGenerator()(Board(OVERLAPPING)),
         "generated move b1a1 refused: Missing promotion type for b1a1"),
    ],
)
def test_faults_become_panic_with_a_report_on_stderr(call, message, capfd):
    error = panic_of(call)
    assert str(error) == message
    assert error.args == (message,)
    reports = REPORT.findall(capfd.readouterr().err)
    assert [text for _, text in reports] == [message]


@pytest.mark.parametrize(
    "fen, message",
    [
        ("8/8/8/8/8/8/8/8 x - -", "Invalid fen: Invalid side-to-move"),
        ("8/8/8/8/8/8/8/8 w KX -", "Invalid fen: Invalid castling specifier"),
    ],
)
def test_bad_fen_is_a_value_error(fen, message):
    with pytest.raises(ValueError) as raised:
        Board(fen)
    assert type(raised.value) is ValueError
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "fen, text, message",
    [
        (START, "e2e",
         "Invalid chess move: Unsupported move notation. Must be 4 or 5 (promotion) characters. "
         "Found: e2e"),
        (START, " e2e4xy\n",
         "Invalid chess move: Unsupported move notation. Must be 4 or 5 (promotion) characters. "
         "Found: e2e4xy"),
        (START, "e7e8k", "Invalid chess move: Unsupported promotion type for e7e8k"),
        # The text parses; making the move is what refuses it.
        ("4k3/P7/8/8/8/8/8/4K3 w - -", "a7a8", "Invalid chess move: Missing promotion type for a7a8"),
    ],
)
def test_bad_move_is_a_value_error_and_changes_nothing(fen, text, message):
    board = Board(fen)
    with pytest.raises(ValueError) as raised:
        board.push(text)
    assert type(raised.value) is ValueError
    assert str(raised.value) == message
    assert board.fen() == fen
    panic_of(board.pop)


def test_value_error_text_keeps_the_users_characters():
    with pytest.raises(ValueError) as raised:
        Board().push("é\x00")
    assert str(raised.value).endswith("Found: é\x00")


def failing_calls():
    """Calls that fail in every way a call can fail, each on the given board and generator."""
    return [
        pytest.param(lambda board, generator: board.pop(), id="fault-pop"),
        pytest.param(lambda board, generator: board.push("e2e9"), id="fault-push"),
        pytest.param(lambda board, generator: board.push("e2"), id="value-error-push"),
        pytest.param(lambda board, generator: board.push(None), id="type-error-push"),
        pytest.param(lambda board, generator: board.push(), id="missing-push"),
        pytest.param(lambda board, generator: board.fen(1), id="interpreter-fen"),
        pytest.param(lambda board, generator: generator(board, 1), id="too-many-call"),
        pytest.param(lambda board, generator: generator(1), id="type-error-call"),
        pytest.param(
            lambda board, generator: generator(Board(OVERLAPPING)), id="fault-inside-call"
        ),
    ]


@pytest.mark.parametrize("call", failing_calls())
def test_objects_stay_usable_after_a_failed_call(call):
    board = Board()
    generator = MoveGenerator()
    with pytest.raises(BaseException):
        call(board, generator)
    # Every borrow is free again: shared and exclusive uses of both objects succeed.
    assert board.fen() == START
    board.push("e2e4")
    assert board.copy().fen() == AFTER_E2E4
    assert len(generator(board)) == 20
    board.reflect()
    board.reflect()
    assert board.bitboard() == Board.bitboard_from_fen(AFTER_E2E4)
    panic_of(board.pop)


def test_a_board_that_faulted_inside_the_generator_stays_usable():
    board = Board(OVERLAPPING)
    generator = MoveGenerator()
    for _ in range(3):
        panic_of(lambda: generator(board))
    assert board.fen() == "8/8/8/8/8/8/8/1pk5 b - -"
    board.push("c1d2")
    board.pop()
    panic_of(board.pop)
