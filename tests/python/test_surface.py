"""The Python surface of quarn_chess: module, classes, signatures and every argument error."""

import gc
import importlib
import inspect
import os
import subprocess
import sys
import weakref

import pytest

import quarn_chess
from quarn_chess import Board, MoveGenerator

START = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -"
BOARD = Board()
GENERATOR = MoveGenerator()


class Outer:
    class Inner:
        pass


class Text(str):
    pass


def test_module_exports_exactly_the_two_classes():
    assert quarn_chess.__all__ == ["Board", "MoveGenerator"]
    assert quarn_chess.__doc__ == ""
    public = [name for name in dir(quarn_chess) if not name.startswith("__")]
    assert public == ["Board", "MoveGenerator"]
    assert not hasattr(quarn_chess, "PanicException")


def test_reimport_gives_the_same_module_object():
    first = sys.modules.pop("quarn_chess")
    try:
        assert importlib.import_module("quarn_chess") is first
    finally:
        sys.modules["quarn_chess"] = first


def test_board_calls_honour_new_and_init_assigned_from_python():
    # Board(...) has a fast call path; a class whose __new__ or __init__ was replaced must still
    # be called through them, as the interpreter calls any class. Run apart: the class is global.
    code = """
import sys
from quarn_chess import Board
made = []
Board.__init__ = lambda self, *args, **kwargs: made.append((args, kwargs))
board = Board("8/8/8/8/8/8/8/K6k w - -", )
Board(fen="8/8/8/8/8/8/8/K6k b - -")
print(board.fen(), made)
Board.__new__ = lambda cls, *args, **kwargs: ("new", args, kwargs)
print(Board("x"), Board(fen="y"))
"""
    result = subprocess.run(
        [sys.executable, "-P", "-c", code], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "8/8/8/8/8/8/8/K6k w - - [(('8/8/8/8/8/8/8/K6k w - -',), {}), ((), {'fen': "
        "'8/8/8/8/8/8/8/K6k b - -'})]",
        "('new', ('x',), {}) ('new', (), {'fen': 'y'})",
    ]


def test_import_in_a_sub_interpreter_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no _testcapi.run_in_subinterp")
    read_end, write_end = os.pipe()
    code = f"""
import os, sys
sys.path[:] = {sys.path!r}
try:
    import quarn_chess
    os.write({write_end}, b"imported")
except ImportError as error:
    os.write({write_end}, ("ImportError: " + str(error)).encode())
"""
    try:
        testcapi.run_in_subinterp(code)
        os.close(write_end)
        outcome = os.read(read_end, 1000).decode()
    finally:
        os.close(read_end)
    assert outcome == "ImportError: quarn_chess does not support sub-interpreters"


@pytest.mark.parametrize("cls, name", [(Board, "Board"), (MoveGenerator, "MoveGenerator")])
def test_class_identity(cls, name):
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "builtins"
    assert cls.__bases__ == (object,)
    assert getattr(quarn_chess, name) is cls


@pytest.mark.parametrize("cls", [Board, MoveGenerator])
def test_classes_are_sealed(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Derived", (cls,), {})
    instance = cls()
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError, match="cannot create weak reference"):
        weakref.ref(instance)
    assert not gc.is_tracked(instance)
    assert not hasattr(instance, "__dict__")


def test_class_text_signatures():
    assert Board.__text_signature__ == f'(fen="{START}")'
    assert str(inspect.signature(Board)) == f"(fen='{START}')"
    assert inspect.signature(Board).parameters["fen"].default == START
    assert MoveGenerator.__text_signature__ == "()"
    assert str(inspect.signature(MoveGenerator)) == "()"
    assert Board.__doc__ == "" and MoveGenerator.__doc__ == ""


def test_methods_in_registration_order_with_text_signatures():
    methods = [name for name in Board.__dict__ if not name.startswith("__")]
    assert methods == [
        "bitboard_from_fen", "fen", "push", "pop", "bitboard", "turn", "reflect", "copy",
    ]
    for name in methods[1:]:
        expected = "($self, chess_move)" if name == "push" else "($self)"
        assert getattr(Board, name).__text_signature__ == expected
        assert getattr(Board, name).__doc__ is None
    assert Board.bitboard_from_fen.__text_signature__ == "(fen)"
    assert str(inspect.signature(Board.push)) == "(self, /, chess_move)"
    assert str(inspect.signature(Board().push)) == "(chess_move)"
    assert str(inspect.signature(Board.bitboard_from_fen)) == "(fen)"
    assert [name for name in MoveGenerator.__dict__ if not name.startswith("__")] == []


def test_bitboard_from_fen_is_static():
    assert isinstance(Board.__dict__["bitboard_from_fen"], staticmethod)
    by_class = Board.bitboard_from_fen(START)
    assert Board().bitboard_from_fen(START) == by_class
    assert Board.bitboard_from_fen(fen=START) == by_class


def test_keywords_are_matched_by_value_as_well_as_by_identity():
    # Names built at run time are not interned: they fail the identity test and must still match.
    fen_key = "".join(["f", "en"])
    move_key = "".join(["chess_", "move"])
    board = Board(**{fen_key: START})
    board.push(**{move_key: "e2e4"})
    assert board.turn() == "black"
    assert len(GENERATOR(**{"".join(["bo", "ard"]): Board()})) == 20
    assert len(Board.bitboard_from_fen(**{fen_key: START})) == 12


def test_str_subclasses_are_accepted_as_text():
    board = Board(Text(START))
    board.push(Text("e2e4"))
    assert board.fen() == "rnbqkbnr/pppppppp/8/8/4P3/8/PPPP1PPP/RNBQKBNR b KQkq e3"


# Each row: the call, then the exact TypeError text.
ARGUMENT_ERRORS = [
    (lambda: Board(START, START),
     "Board.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: Board(START, START, START),
     "Board.__new__() takes from 0 to 1 positional arguments but 3 were given"),
    (lambda: Board(START, fen=START), "Board.__new__() got multiple values for argument 'fen'"),
    (lambda: Board(position=START), "Board.__new__() got an unexpected keyword argument 'position'"),
    (lambda: Board(None), "argument 'fen': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: Board(fen=b"8/8/8/8/8/8/8/8 w - -"),
     "argument 'fen': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: Board(Outer.Inner()),
     "argument 'fen': 'Outer.Inner' object cannot be converted to 'PyString'"),
    (lambda: BOARD.push(), "Board.push() missing 1 required positional argument: 'chess_move'"),
    (lambda: BOARD.push("e2e4", "e7e5"),
     "Board.push() takes 1 positional arguments but 2 were given"),
    (lambda: BOARD.push("e2e4", chess_move="e2e4"),
     "Board.push() got multiple values for argument 'chess_move'"),
    (lambda: BOARD.push(move="e2e4"), "Board.push() got an unexpected keyword argument 'move'"),
    (lambda: BOARD.push(chess_move="e2e4", move="e2e4"),
     "Board.push() got an unexpected keyword argument 'move'"),
    (lambda: BOARD.push(12), "argument 'chess_move': 'int' object cannot be converted to 'PyString'"),
    (lambda: BOARD.push(chess_move=None),
     "argument 'chess_move': 'NoneType' object cannot be converted to 'PyString'"),
    (lambda: Board.bitboard_from_fen(),
     "Board.bitboard_from_fen() missing 1 required positional argument: 'fen'"),
    (lambda: Board.bitboard_from_fen(START, START),
     "Board.bitboard_from_fen() takes 1 positional arguments but 2 were given"),
    (lambda: Board.bitboard_from_fen(placement=START),
     "Board.bitboard_from_fen() got an unexpected keyword argument 'placement'"),
    (lambda: BOARD.bitboard_from_fen(fen=[START]),
     "argument 'fen': 'list' object cannot be converted to 'PyString'"),
    (lambda: MoveGenerator(1), "MoveGenerator.__new__() takes 0 positional arguments but 1 was given"),
    (lambda: MoveGenerator(1, 2),
     "MoveGenerator.__new__() takes 0 positional arguments but 2 were given"),
    (lambda: MoveGenerator(board=BOARD),
     "MoveGenerator.__new__() got an unexpected keyword argument 'board'"),
    (lambda: GENERATOR(), "MoveGenerator.__call__() missing 1 required positional argument: 'board'"),
    (lambda: GENERATOR(BOARD, BOARD),
     "MoveGenerator.__call__() takes 1 positional arguments but 2 were given"),
    (lambda: GENERATOR(BOARD, board=BOARD),
     "MoveGenerator.__call__() got multiple values for argument 'board'"),
    (lambda: GENERATOR(position=BOARD),
     "MoveGenerator.__call__() got an unexpected keyword argument 'position'"),
    (lambda: GENERATOR(1), "argument 'board': 'int' object cannot be converted to 'Board'"),
    (lambda: GENERATOR(board=START), "argument 'board': 'str' object cannot be converted to 'Board'"),
    (lambda: GENERATOR(GENERATOR),
     "argument 'board': 'MoveGenerator' object cannot be converted to 'Board'"),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert type(raised.value) is TypeError
    assert str(raised.value) == message
    assert BOARD.fen() == START


@pytest.mark.parametrize(
    "call, name, target",
    [
        (lambda: Board(None), "fen", "PyString"),
        (lambda: BOARD.push(1.5), "chess_move", "PyString"),
        (lambda: Board.bitboard_from_fen(fen=()), "fen", "PyString"),
        (lambda: GENERATOR(None), "board", "Board"),
    ],
)
def test_conversion_errors_carry_the_unprefixed_error_as_cause(call, name, target):
    with pytest.raises(TypeError) as raised:
        call()
    cause = raised.value.__cause__
    assert type(cause) is TypeError
    assert str(raised.value) == f"argument '{name}': {cause}"
    assert str(cause).endswith(f"object cannot be converted to '{target}'")


@pytest.mark.parametrize(
    "call",
    [
        lambda: Board("8/8/8/8/8/8/8/8 w - -\ud800"),
        lambda: BOARD.push("e2e4\udfff"),
        lambda: Board.bitboard_from_fen(fen="\ud83d"),
    ],
)
def test_unencodable_text_raises_the_interpreters_error_unchanged(call):
    with pytest.raises(UnicodeEncodeError) as raised:
        call()
    assert "argument" not in str(raised.value)
    assert raised.value.__cause__ is None
    assert BOARD.fen() == START


@pytest.mark.parametrize("name", ["fen", "pop", "bitboard", "turn", "reflect", "copy"])
def test_parameterless_methods_reject_arguments_in_the_interpreter(name):
    board = Board()
    with pytest.raises(TypeError, match=rf"^Board\.{name}\(\) takes no arguments \(1 given\)$"):
        getattr(board, name)(1)
    with pytest.raises(TypeError, match="takes no keyword arguments"):
        getattr(board, name)(x=1)
    assert board.fen() == START


def test_methods_reject_a_foreign_receiver_in_the_interpreter():
    with pytest.raises(TypeError, match="doesn't apply to a 'int' object"):
        Board.fen(1)
    with pytest.raises(TypeError, match="doesn't apply to a 'builtins.MoveGenerator' object"):
        Board.push(GENERATOR, "e2e4")
    with pytest.raises(TypeError):
        MoveGenerator.__call__(BOARD, BOARD)


def test_results_are_fresh_objects_of_the_documented_types():
    board = Board()
    assert type(board.fen()) is str
    assert type(board.turn()) is str
    assert board.push("e2e4") is None
    assert board.pop() is None
    assert board.reflect() is None
    copy = board.copy()
    assert type(copy) is Board and copy is not board
    moves = GENERATOR(board)
    assert type(moves) is list and all(type(move) is str for move in moves)
    assert GENERATOR(board) is not moves
    planes = board.bitboard()
    assert len(planes) == 12 and {len(plane) for plane in planes} == {64}
    assert {type(entry) for plane in planes for entry in plane} == {bool}
    assert planes[0] is not board.bitboard()[0]
