// The Python class Board: constructor, methods, deallocation and the type's slots.
#include <Python.h>

#include "../core/types.h"
#include "args.h"
#include "binding.h"
#include "errors.h"

#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quarn_chess::py {

namespace detail {
    PyTypeObject* board_type_object = nullptr;
}

namespace {

    // The memory of a few recently freed boards, reused for the next ones: most boards are
    // short-lived copies, and the allocator's round trip is a large share of what copy() costs.
    // Only the thread holding the interpreter lock touches it; free-threaded builds keep none, and
    // sanitizer builds neither, so that a use after free stays visible.
#if defined(Py_GIL_DISABLED) || defined(__SANITIZE_ADDRESS__)
    constexpr int SPARE_BOARDS = 0;
#else
    constexpr int SPARE_BOARDS = 16;
#endif
    void* spare_boards[SPARE_BOARDS > 0 ? SPARE_BOARDS : 1];
    int spare_count = 0;

    void* spare_board_memory(PyTypeObject* type) {
        if (SPARE_BOARDS == 0 || spare_count == 0 || type != detail::board_type_object)
            return nullptr;
        return spare_boards[--spare_count];
    }

    Parameter new_parameter_list[] = { { "fen" } };
    Parameters new_parameters { "Board.__new__()", new_parameter_list, 0 };
    Parameter bitboard_from_fen_parameter_list[] = { { "fen" } };
    Parameters bitboard_from_fen_parameters { "Board.bitboard_from_fen()",
        bitboard_from_fen_parameter_list, 1 };
    Parameter push_parameter_list[] = { { "chess_move" } };
    Parameters push_parameters { "Board.push()", push_parameter_list, 1 };

    // The receiver of a method. Calls from Python always bring a Board (the method descriptor
    // checks); the test guards direct C-level calls.
    BoardObject* receiver(PyObject* self) {
        if (!PyObject_TypeCheck(self, board_type())) [[unlikely]] {
            receiver_type_error(self, "Board");
            return nullptr;
        }
        return reinterpret_cast<BoardObject*>(self);
    }

    // Runs `operation` on the receiver's board under a borrow of kind Borrow, inside the guard
    // that maps every failure to a Python exception.
    template <class Borrow, class Operation>
    PyObject* with_board(PyObject* self, Operation&& operation) {
        return guard([&]() -> PyObject* {
            BoardObject* board = receiver(self);
            if (board == nullptr)
                return nullptr;
            const Borrow borrow(board->borrow);
            if (!borrow.ok())
                return nullptr;
            return operation(board->board);
        });
    }

    PyObject* new_str(std::string_view text) {
        return created(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())),
            "failed to create str");
    }

    // The plane export as a list of 12 lists of 64 bools, each list made at its final length.
    // Each entry is picked from the pair by its 0 / 1 value rather than by a branch, which the
    // irregular bit patterns would mispredict.
    PyObject* planes_to_list(const Planes& planes) {
        PyObject* const bools[2] = { Py_False, Py_True };
        OwnedRef outer(created(PyList_New(PIECE_COUNT), "failed to create list"));
        for (PieceIndex piece = 0; piece < PIECE_COUNT; ++piece) {
            PyObject* plane = created(PyList_New(64), "failed to create list");
            PyList_SET_ITEM(outer.get(), piece, plane);
            const std::uint8_t* bits = planes.data() + piece * 64;
            for (Py_ssize_t square = 0; square < 64; ++square)
                PyList_SET_ITEM(plane, square, Py_NewRef(bools[bits[square] & 1]));
        }
        return outer.release();
    }

    // A board read from the FEN argument (the start position when it is absent), straight into
    // the new instance; on an error the instance is dropped again.
    PyObject* new_board(PyTypeObject* type, PyObject* fen_argument) {
        std::string_view fen = START_FEN;
        if (fen_argument != nullptr && !str_argument("fen", fen_argument, fen))
            return nullptr;
        std::optional<Error> error;
        OwnedRef self(new_instance<BoardObject>(
            type,
            [&](BoardObject* object) {
                new (&object->board) Board();
                try {
                    error = Board::read_fen(fen, object->board);
                } catch (...) {
                    object->board.~Board();
                    throw;
                }
            },
            spare_board_memory(type)));
        if (!self)
            return nullptr;
        if (error)
            return value_error(INVALID_FEN, *error);
        return self.release();
    }

    PyObject* board_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guard([&]() -> PyObject* {
            PyObject* values[1] = {};
            if (!match_arguments(new_parameters, args, kwargs, values))
                return nullptr;
            return new_board(type, values[0]);
        });
    }

    // Board(...) itself: the same as the constructor slot (object.__init__ adds nothing), without
    // the argument tuple and dict the slot needs.
    // The interpreter's own call of a class (tp_new, then tp_init) with the arguments as a tuple
    // and a dict. A class whose __new__ or __init__ was assigned from Python is called this way.
    PyObject* call_through_slots(
        PyObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        OwnedRef positional(PyTuple_New(nargs));
        if (!positional)
            return nullptr;
        for (Py_ssize_t i = 0; i < nargs; ++i)
            PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
        const bool named = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0;
        OwnedRef keywords(named ? PyDict_New() : nullptr);
        if (named) {
            if (!keywords)
                return nullptr;
            for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i)
                if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i])
                    < 0)
                    return nullptr;
        }
        return PyType_Type.tp_call(type, positional.get(), keywords.get());
    }

    PyObject* board_vectorcall(
        PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
        auto* board_type = reinterpret_cast<PyTypeObject*>(type);
        if (board_type->tp_new != board_new || board_type->tp_init != PyBaseObject_Type.tp_init)
            [[unlikely]]
            return call_through_slots(type, args, PyVectorcall_NARGS(nargsf), kwnames);
        return guard([&]() -> PyObject* {
            const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
            PyObject* values[1] = {};
            // Board(fen), the common call, needs no matching.
            if (nargs == 1 && kwnames == nullptr)
                values[0] = args[0];
            else if (!match_arguments(new_parameters, args, nargs, kwnames, values))
                return nullptr;
            return new_board(reinterpret_cast<PyTypeObject*>(type), values[0]);
        });
    }

    void board_dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        guard_unraisable(type, [&] { reinterpret_cast<BoardObject*>(self)->board.~Board(); });
        if (spare_count < SPARE_BOARDS && type == detail::board_type_object)
            spare_boards[spare_count++] = self;
        else
            type->tp_free(self);
        Py_DECREF(type);
    }

    PyObject* board_bitboard_from_fen(PyObject* /* static: no receiver */, PyObject* const* args,
        Py_ssize_t nargs, PyObject* kwnames) {
        return guard([&]() -> PyObject* {
            PyObject* values[1] = {};
            if (!match_arguments(bitboard_from_fen_parameters, args, nargs, kwnames, values))
                return nullptr;
            std::string_view fen;
            if (!str_argument("fen", values[0], fen))
                return nullptr;
            return planes_to_list(Board::bitboard_from_fen(fen));
        });
    }

    // The text is ASCII: written once into a stack buffer, then copied into a str made at its
    // final length and kind.
    PyObject* board_fen(PyObject* self, PyObject*) {
        return with_board<SharedBorrow>(self, [](const Board& board) {
            char text[FEN_MAX_LENGTH];
            const std::size_t length = board.write_fen(text);
            PyObject* str = created(
                PyUnicode_New(static_cast<Py_ssize_t>(length), 127), "failed to create str");
            std::memcpy(PyUnicode_1BYTE_DATA(str), text, length);
            return str;
        });
    }

    PyObject* board_push(
        PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        return guard([&]() -> PyObject* {
            PyObject* values[1] = {};
            if (!match_arguments(push_parameters, args, nargs, kwnames, values))
                return nullptr;
            BoardObject* board = receiver(self);
            if (board == nullptr)
                return nullptr;
            const ExclusiveBorrow borrow(board->borrow);
            if (!borrow.ok())
                return nullptr;
            std::string_view text;
            if (!str_argument("chess_move", values[0], text))
                return nullptr;
            const Result<ChessMove> chess_move = ChessMove::from_str(text);
            if (!chess_move.ok())
                return value_error(INVALID_CHESS_MOVE, chess_move.error());
            if (const std::optional<Error> error = board->board.push_move(chess_move.value()))
                return value_error(INVALID_CHESS_MOVE, *error);
            Py_RETURN_NONE;
        });
    }

    PyObject* board_pop(PyObject* self, PyObject*) {
        return with_board<ExclusiveBorrow>(self, [](Board& board) -> PyObject* {
            board.pop_move();
            Py_RETURN_NONE;
        });
    }

    PyObject* board_bitboard(PyObject* self, PyObject*) {
        return with_board<SharedBorrow>(
            self, [](const Board& board) { return planes_to_list(board.bitboard()); });
    }

    PyObject* board_turn(PyObject* self, PyObject*) {
        return with_board<SharedBorrow>(
            self, [](const Board& board) { return new_str(board.to_move() ? "white" : "black"); });
    }

    PyObject* board_reflect(PyObject* self, PyObject*) {
        return with_board<ExclusiveBorrow>(self, [](Board& board) -> PyObject* {
            board.reflect();
            Py_RETURN_NONE;
        });
    }

    PyObject* board_copy(PyObject* self, PyObject*) {
        return with_board<SharedBorrow>(self, [&](const Board& board) {
            return new_instance<BoardObject>(
                Py_TYPE(self), [&](BoardObject* copy) { new (&copy->board) Board(board); },
                spare_board_memory(Py_TYPE(self)));
        });
    }

    // Registration order is part of the surface: it is the order dir() and help() show.
    PyMethodDef board_methods[] = {
        { "bitboard_from_fen", as_pycfunction(board_bitboard_from_fen),
            METH_FASTCALL | METH_KEYWORDS | METH_STATIC, "bitboard_from_fen(fen)\n--\n\n" },
        { "fen", board_fen, METH_NOARGS, "fen($self)\n--\n\n" },
        { "push", as_pycfunction(board_push), METH_FASTCALL | METH_KEYWORDS,
            "push($self, chess_move)\n--\n\n" },
        { "pop", board_pop, METH_NOARGS, "pop($self)\n--\n\n" },
        { "bitboard", board_bitboard, METH_NOARGS, "bitboard($self)\n--\n\n" },
        { "turn", board_turn, METH_NOARGS, "turn($self)\n--\n\n" },
        { "reflect", board_reflect, METH_NOARGS, "reflect($self)\n--\n\n" },
        { "copy", board_copy, METH_NOARGS, "copy($self)\n--\n\n" },
        { nullptr, nullptr, 0, nullptr },
    };

    constexpr const char* BOARD_DOC
        = "Board(fen=\"rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq -\")\n--\n\n";

    PyType_Slot board_slots[] = {
        { Py_tp_new, reinterpret_cast<void*>(board_new) },
        { Py_tp_dealloc, reinterpret_cast<void*>(board_dealloc) },
        { Py_tp_doc, const_cast<char*>(BOARD_DOC) },
        { Py_tp_methods, board_methods },
        { 0, nullptr },
    };

    // No base-type flag (the class cannot be subclassed), no GC, no __dict__, no weak references.
    PyType_Spec board_spec = {
        .name = "builtins.Board",
        .basicsize = sizeof(BoardObject),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = board_slots,
    };

} // namespace

PyTypeObject* detail::create_board_type() {
    PyObject* type = PyType_FromSpec(&board_spec);
    if (type == nullptr)
        fault("failed to create type object for Board");
    board_type_object = reinterpret_cast<PyTypeObject*>(type);
    board_type_object->tp_vectorcall = board_vectorcall;
    return board_type_object;
}

} // namespace quarn_chess::py
