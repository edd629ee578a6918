// The Python class MoveGenerator: constructor, the call that lists legal moves, the type's slots.
#include <Python.h>

#include "args.h"
#include "binding.h"
#include "errors.h"

#include <array>
#include <cstddef>

namespace quarn_chess::py {

namespace detail {
    PyTypeObject* move_generator_type_object = nullptr;
}

namespace {

    Parameters new_parameters { "MoveGenerator.__new__()", {}, 0 };
    Parameter call_parameter_list[] = { { "board" } };
    Parameters call_parameters { "MoveGenerator.__call__()", call_parameter_list, 1 };

    // One str per 16-bit move value, made from the move's own text on first use and then kept for
    // the life of the process, so that a move list costs one reference increment per move.
    std::array<PyObject*, 1 << 16> move_texts {};

    PyObject* move_text(ChessMove chess_move) {
        PyObject*& text = move_texts[chess_move.data];
        if (text == nullptr) [[unlikely]] {
            char buffer[8];
            const std::size_t length = chess_move.write(buffer);
            text = created(PyUnicode_FromStringAndSize(buffer, static_cast<Py_ssize_t>(length)),
                "failed to create str");
        }
        return Py_NewRef(text);
    }

    PyObject* move_generator_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guard([&]() -> PyObject* {
            if (!match_arguments(new_parameters, args, kwargs, nullptr))
                return nullptr;
            return new_instance<MoveGeneratorObject>(
                type, [](MoveGeneratorObject* self) { new (&self->generator) MoveGenerator(); });
        });
    }

    void move_generator_dealloc(PyObject* self) {
        PyTypeObject* type = Py_TYPE(self);
        guard_unraisable(type,
            [&] { reinterpret_cast<MoveGeneratorObject*>(self)->generator.~MoveGenerator(); });
        type->tp_free(self);
        Py_DECREF(type);
    }

    // generator(board): the legal moves of `board` as coordinate texts, in generation order:
    // exactly the moves that making each candidate would show to be legal. The board is held
    // exclusively because some candidates (en-passant captures, and every candidate of an odd
    // position) are made and taken back on it; it is unchanged when the call returns.
    PyObject* move_generator_call(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guard([&]() -> PyObject* {
            PyObject* values[1] = {};
            if (!match_arguments(call_parameters, args, kwargs, values))
                return nullptr;
            if (!PyObject_TypeCheck(self, move_generator_type())) [[unlikely]]
                return receiver_type_error(self, "MoveGenerator");
            auto* generator = reinterpret_cast<MoveGeneratorObject*>(self);
            const SharedBorrow generator_borrow(generator->borrow);
            if (!generator_borrow.ok())
                return nullptr;
            if (!PyObject_TypeCheck(values[0], board_type())) [[unlikely]]
                return argument_type_error("board", values[0], "Board");
            auto* board = reinterpret_cast<BoardObject*>(values[0]);
            const ExclusiveBorrow board_borrow(board->borrow);
            if (!board_borrow.ok())
                return nullptr;

            MoveList moves;
            generator->generator.moves(board->board, moves);
            OwnedRef list(created(
                PyList_New(static_cast<Py_ssize_t>(moves.size())), "failed to create list"));
            for (std::size_t i = 0; i < moves.size(); ++i)
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), move_text(moves[i]));
            return list.release();
        });
    }

    constexpr const char* MOVE_GENERATOR_DOC = "MoveGenerator()\n--\n\n";

    PyType_Slot move_generator_slots[] = {
        { Py_tp_new, reinterpret_cast<void*>(move_generator_new) },
        { Py_tp_dealloc, reinterpret_cast<void*>(move_generator_dealloc) },
        { Py_tp_call, reinterpret_cast<void*>(move_generator_call) },
        { Py_tp_doc, const_cast<char*>(MOVE_GENERATOR_DOC) },
        { 0, nullptr },
    };

    // No base-type flag (the class cannot be subclassed), no GC, no __dict__, no weak references.
    PyType_Spec move_generator_spec = {
        .name = "builtins.MoveGenerator",
        .basicsize = sizeof(MoveGeneratorObject),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = move_generator_slots,
    };

} // namespace

PyTypeObject* detail::create_move_generator_type() {
    PyObject* type = PyType_FromSpec(&move_generator_spec);
    if (type == nullptr)
        fault("failed to create type object for MoveGenerator");
    move_generator_type_object = reinterpret_cast<PyTypeObject*>(type);
    return move_generator_type_object;
}

} // namespace quarn_chess::py
