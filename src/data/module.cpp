// PyInit__native: quarn_data's functions on quarn_chess.Board objects (queries, SAN, tensors,
// perft). Each converts its arguments, borrows the boards and calls one core operation.
#include <Python.h>

#include "../core/position_queries.h"
#include "../core/san.h"
#include "../core/tensors.h"
#include "../python/args.h"
#include "../python/errors.h"
#include "../python/module_once.h"
#include "data.h"

#include <cstdint>
#include <string>

namespace quarn_chess::data {

PyTypeObject* board_class = nullptr;

namespace {

    using py::guard;
    using py::OwnedRef;
    using py::Parameter;
    using py::Parameters;

    // --- module-wide state, made once per process ---

    py::ModuleOnce once { .refusal = "quarn_data._native does not support sub-interpreters" };
    PyTypeObject* outcome_type = nullptr;
    // Indexed by Termination, then by winner + 1 for checkmate.
    PyObject* checkmate_outcomes[2] = {};
    PyObject* stalemate_outcome = nullptr;
    PyObject* insufficient_outcome = nullptr;

    PyStructSequence_Field outcome_fields[] = {
        { "termination", "\"CHECKMATE\", \"STALEMATE\" or \"INSUFFICIENT_MATERIAL\"" },
        { "winner", "\"white\", \"black\", or None for a draw" },
        { nullptr, nullptr },
    };
    PyStructSequence_Desc outcome_desc = {
        "quarn_data.Outcome",
        "How a finished position ended: termination name and winner.",
        outcome_fields,
        2,
    };

    PyObject* new_outcome(const char* termination, const char* winner) {
        OwnedRef outcome(PyStructSequence_New(outcome_type));
        if (!outcome)
            return nullptr;
        PyObject* name = PyUnicode_InternFromString(termination);
        if (name == nullptr)
            return nullptr;
        PyStructSequence_SetItem(outcome.get(), 0, name);
        PyObject* side = winner ? PyUnicode_InternFromString(winner) : Py_NewRef(Py_None);
        if (side == nullptr)
            return nullptr;
        PyStructSequence_SetItem(outcome.get(), 1, side);
        return outcome.release();
    }

    // --- argument helpers ---

    PyObject* new_str(std::string_view text) {
        return py::created(
            PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())),
            "failed to create str");
    }

    PyObject* value_error(const Error& error) {
        const OwnedRef message(PyUnicode_DecodeUTF8(
            error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
        if (message)
            PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }

    // Matches the arguments, borrows the board (values[0]) with a Borrow guard and runs
    // operation(board, values) inside the guard that maps every failure.
    template <class Borrow, std::size_t N, class Operation>
    PyObject* with_board(Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
        PyObject* kwnames, Operation&& operation) {
        return guard([&]() -> PyObject* {
            PyObject* values[N] = {};
            if (!py::match_arguments(parameters, args, nargs, kwnames, values))
                return nullptr;
            BoardObject* object = board_argument("board", values[0]);
            if (object == nullptr)
                return nullptr;
            const Borrow borrow(object->borrow);
            if (!borrow.ok())
                return nullptr;
            return operation(object->board, values);
        });
    }

    bool flag_argument(PyObject* value, bool& flag) {
        if (value == nullptr) {
            flag = false;
            return true;
        }
        const int truth = PyObject_IsTrue(value);
        if (truth < 0)
            return false;
        flag = truth != 0;
        return true;
    }

#define QUARN_PARAMETERS(function, required, ...)                                                  \
    Parameter function##_parameter_list[] = { __VA_ARGS__ };                                       \
    Parameters function##_parameters { #function "()", function##_parameter_list, required }

    QUARN_PARAMETERS(is_check, 1, { "board" });
    QUARN_PARAMETERS(is_checkmate, 1, { "board" });
    QUARN_PARAMETERS(is_stalemate, 1, { "board" });
    QUARN_PARAMETERS(is_insufficient_material, 1, { "board" });
    QUARN_PARAMETERS(legal_move_count, 1, { "board" });
    QUARN_PARAMETERS(outcome, 1, { "board" });
    QUARN_PARAMETERS(san, 2, { "board" }, { "move" });
    QUARN_PARAMETERS(legal_san, 1, { "board" });
    QUARN_PARAMETERS(parse_san, 2, { "board" }, { "san" });
    QUARN_PARAMETERS(perft, 2, { "board" }, { "depth" });
    QUARN_PARAMETERS(planes, 1, { "board" }, { "flip" });
    QUARN_PARAMETERS(packed, 1, { "board" }, { "flip" });
    QUARN_PARAMETERS(scalars, 1, { "board" }, { "flip" });
    QUARN_PARAMETERS(planes_batch, 1, { "boards" }, { "out" }, { "flip" });
    QUARN_PARAMETERS(packed_batch, 1, { "boards" }, { "out" }, { "flip" });
    QUARN_PARAMETERS(scalars_batch, 1, { "boards" }, { "out" }, { "flip" });

#undef QUARN_PARAMETERS

    // --- queries ---

    PyObject* data_is_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return with_board<py::SharedBorrow, 1>(
            is_check_parameters, args, nargs, kw, [](Board& board, PyObject**) {
                return PyBool_FromLong(is_check(shared_generator(), board));
            });
    }

    PyObject* data_is_checkmate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return with_board<py::ExclusiveBorrow, 1>(
            is_checkmate_parameters, args, nargs, kw, [](Board& board, PyObject**) {
                return PyBool_FromLong(is_checkmate(shared_generator(), board));
            });
    }

    PyObject* data_is_stalemate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return with_board<py::ExclusiveBorrow, 1>(
            is_stalemate_parameters, args, nargs, kw, [](Board& board, PyObject**) {
                return PyBool_FromLong(is_stalemate(shared_generator(), board));
            });
    }

    PyObject* data_is_insufficient_material(
        PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return with_board<py::SharedBorrow, 1>(
            is_insufficient_material_parameters, args, nargs, kw, [](Board& board, PyObject**) {
                return PyBool_FromLong(is_insufficient_material(board));
            });
    }

    PyObject* data_legal_move_count(
        PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return with_board<py::ExclusiveBorrow, 1>(
            legal_move_count_parameters, args, nargs, kw, [](Board& board, PyObject**) {
                return PyLong_FromSize_t(legal_move_count(shared_generator(), board));
            });
    }

    PyObject* data_outcome(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return with_board<py::ExclusiveBorrow, 1>(
            outcome_parameters, args, nargs, kw, [](Board& board, PyObject**) -> PyObject* {
                const std::optional<Outcome> result = outcome(shared_generator(), board);
                if (!result)
                    Py_RETURN_NONE;
                switch (result->termination) {
                case Termination::CHECKMATE:
                    return Py_NewRef(checkmate_outcomes[result->winner == 1 ? 0 : 1]);
                case Termination::STALEMATE: return Py_NewRef(stalemate_outcome);
                case Termination::INSUFFICIENT_MATERIAL: return Py_NewRef(insufficient_outcome);
                }
                fault("unknown termination");
            });
    }

    // --- SAN ---

    PyObject* data_san(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return with_board<py::ExclusiveBorrow, 2>(
            san_parameters, args, nargs, kw, [](Board& board, PyObject** values) -> PyObject* {
                std::string_view text;
                if (!py::str_argument("move", values[1], text))
                    return nullptr;
                const std::optional<ChessMove> move = parse_uci(text);
                if (!move)
                    return value_error(Error { "invalid move text: '" + std::string(text) + "'" });
                const Result<std::string> result = san(shared_generator(), board, *move);
                if (!result.ok())
                    return value_error(result.error());
                return new_str(result.value());
            });
    }

    PyObject* data_legal_san(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return with_board<py::ExclusiveBorrow, 1>(
            legal_san_parameters, args, nargs, kw, [](Board& board, PyObject**) -> PyObject* {
                SanWriter writer(shared_generator(), board);
                const MoveList& moves = writer.moves();
                OwnedRef list(py::created(
                    PyList_New(static_cast<Py_ssize_t>(moves.size())), "failed to create list"));
                Py_ssize_t i = 0;
                for (const ChessMove move : moves) {
                    char text[MAX_SAN_LENGTH];
                    const std::size_t size = writer.write(move, text);
                    PyList_SET_ITEM(list.get(), i++, new_str(std::string_view(text, size)));
                }
                return list.release();
            });
    }

    PyObject* data_parse_san(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return with_board<py::ExclusiveBorrow, 2>(parse_san_parameters, args, nargs, kw,
            [](Board& board, PyObject** values) -> PyObject* {
                std::string_view text;
                if (!py::str_argument("san", values[1], text))
                    return nullptr;
                const Result<ChessMove> move = parse_san(shared_generator(), board, text);
                if (!move.ok())
                    return value_error(move.error());
                char uci[5];
                return new_str(std::string_view(uci, move.value().write(uci)));
            });
    }

    // --- perft ---

    constexpr int MAX_PERFT_DEPTH = 64;

    PyObject* data_perft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return with_board<py::ExclusiveBorrow, 2>(
            perft_parameters, args, nargs, kw, [](Board& board, PyObject** values) -> PyObject* {
                if (!PyLong_Check(values[1]) || PyBool_Check(values[1]))
                    return py::argument_type_error("depth", values[1], "int");
                int overflow = 0;
                const long long depth = PyLong_AsLongLongAndOverflow(values[1], &overflow);
                if (depth == -1 && PyErr_Occurred())
                    return nullptr;
                // Far beyond anything that finishes; the bound keeps the count and the depth in
                // range.
                if (overflow != 0 || depth < 0 || depth > MAX_PERFT_DEPTH) {
                    PyErr_Format(PyExc_ValueError, "depth must be between 0 and %d, not %S",
                        MAX_PERFT_DEPTH, values[1]);
                    return nullptr;
                }
                std::uint64_t nodes = 0;
                const MoveGenerator& generator = shared_generator();
                without_gil(
                    [&] { nodes = perft(generator, board, static_cast<unsigned>(depth), true); });
                return PyLong_FromUnsignedLongLong(nodes);
            });
    }

    // --- tensors ---

    template <Dtype D, class Element, class Encode>
    PyObject* encode_one(Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
        PyObject* kw, std::initializer_list<Py_ssize_t> shape, Encode encode) {
        return with_board<py::SharedBorrow, 2>(
            parameters, args, nargs, kw, [&](Board& board, PyObject** values) -> PyObject* {
                bool flip = false;
                if (!flag_argument(values[1], flip))
                    return nullptr;
                void* data = nullptr;
                PyObject* array = new_array(D, shape, &data);
                if (array != nullptr)
                    encode(board, flip, static_cast<Element*>(data));
                return array;
            });
    }

    PyObject* data_planes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return encode_one<Dtype::BOOL, std::uint8_t>(
            planes_parameters, args, nargs, kw, { PIECE_COUNT, 64 }, encode_planes);
    }

    PyObject* data_packed(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return encode_one<Dtype::UINT64, std::uint64_t>(
            packed_parameters, args, nargs, kw, { PIECE_COUNT }, encode_packed);
    }

    PyObject* data_scalars(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return encode_one<Dtype::INT8, std::int8_t>(
            scalars_parameters, args, nargs, kw, { SCALARS_SIZE }, encode_scalars);
    }

    // Checks the boards and `out` (or makes the array) before anything is written, then encodes
    // every board with the interpreter lock released.
    template <Dtype D, class Element, class Encode>
    PyObject* encode_batch(Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
        PyObject* kw, std::initializer_list<Py_ssize_t> inner, Encode encode) {
        return guard([&]() -> PyObject* {
            PyObject* values[3] = {};
            if (!py::match_arguments(parameters, args, nargs, kw, values))
                return nullptr;
            BorrowedBoards boards;
            if (!boards.take("boards", values[0]))
                return nullptr;
            bool flip = false;
            if (!flag_argument(values[2], flip))
                return nullptr;
            const auto count = static_cast<Py_ssize_t>(boards.size());
            const Py_ssize_t d1 = *inner.begin();
            const Py_ssize_t d2 = inner.size() > 1 ? *(inner.begin() + 1) : 0;
            OutBuffer out;
            void* data = nullptr;
            PyObject* result = nullptr;
            if (values[1] != nullptr && values[1] != Py_None) {
                const bool ok = inner.size() > 1 ? out.take(values[1], D, { count, d1, d2 })
                                                 : out.take(values[1], D, { count, d1 });
                if (!ok)
                    return nullptr;
                data = out.data();
                result = Py_NewRef(values[1]);
            } else {
                result = inner.size() > 1 ? new_array(D, { count, d1, d2 }, &data)
                                          : new_array(D, { count, d1 }, &data);
                if (result == nullptr)
                    return nullptr;
            }
            OwnedRef owned(result);
            without_gil(
                [&] { encode(boards.data(), boards.size(), flip, static_cast<Element*>(data)); });
            return owned.release();
        });
    }

    PyObject* data_planes_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return encode_batch<Dtype::BOOL, std::uint8_t>(
            planes_batch_parameters, args, nargs, kw, { PIECE_COUNT, 64 }, encode_planes_batch);
    }

    PyObject* data_packed_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return encode_batch<Dtype::UINT64, std::uint64_t>(
            packed_batch_parameters, args, nargs, kw, { PIECE_COUNT }, encode_packed_batch);
    }

    PyObject* data_scalars_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return encode_batch<Dtype::INT8, std::int8_t>(
            scalars_batch_parameters, args, nargs, kw, { SCALARS_SIZE }, encode_scalars_batch);
    }

    // --- the module ---

    constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

    PyMethodDef methods[] = {
        { "is_check", py::as_pycfunction(data_is_check), FASTCALL,
            "is_check(board)\n--\n\nWhether the side to move is in check." },
        { "is_checkmate", py::as_pycfunction(data_is_checkmate), FASTCALL,
            "is_checkmate(board)\n--\n\nWhether the side to move is in check and has no legal "
            "move." },
        { "is_stalemate", py::as_pycfunction(data_is_stalemate), FASTCALL,
            "is_stalemate(board)\n--\n\nWhether the side to move is not in check and has no legal "
            "move." },
        { "is_insufficient_material", py::as_pycfunction(data_is_insufficient_material), FASTCALL,
            "is_insufficient_material(board)\n--\n\nWhether neither side has material that could "
            "ever mate (python-chess's rule)." },
        { "legal_move_count", py::as_pycfunction(data_legal_move_count), FASTCALL,
            "legal_move_count(board)\n--\n\nThe number of legal moves." },
        { "outcome", py::as_pycfunction(data_outcome), FASTCALL,
            "outcome(board)\n--\n\nOutcome(termination, winner) of a finished position "
            "(checkmate, insufficient material, stalemate), or None." },
        { "san", py::as_pycfunction(data_san), FASTCALL,
            "san(board, move)\n--\n\nThe SAN of a legal move given as UCI text." },
        { "legal_san", py::as_pycfunction(data_legal_san), FASTCALL,
            "legal_san(board)\n--\n\nThe SAN of every legal move, in MoveGenerator order." },
        { "parse_san", py::as_pycfunction(data_parse_san), FASTCALL,
            "parse_san(board, san)\n--\n\nThe legal move that SAN text names, as UCI text." },
        { "perft", py::as_pycfunction(data_perft), FASTCALL,
            "perft(board, depth)\n--\n\nLeaf nodes depth plies below the position (bulk "
            "counting)." },
        { "planes", py::as_pycfunction(data_planes), FASTCALL,
            "planes(board, flip=False)\n--\n\nA new bool array (12, 64): the layout of "
            "Board.bitboard()." },
        { "packed", py::as_pycfunction(data_packed), FASTCALL,
            "packed(board, flip=False)\n--\n\nA new uint64 array (12,): bit s is square s." },
        { "scalars", py::as_pycfunction(data_scalars), FASTCALL,
            "scalars(board, flip=False)\n--\n\nA new int8 array (6,): side to move, K, Q, k, q, "
            "en-passant file or -1." },
        { "planes_batch", py::as_pycfunction(data_planes_batch), FASTCALL,
            "planes_batch(boards, out=None, flip=False)\n--\n\nbool (N, 12, 64)." },
        { "packed_batch", py::as_pycfunction(data_packed_batch), FASTCALL,
            "packed_batch(boards, out=None, flip=False)\n--\n\nuint64 (N, 12)." },
        { "scalars_batch", py::as_pycfunction(data_scalars_batch), FASTCALL,
            "scalars_batch(boards, out=None, flip=False)\n--\n\nint8 (N, 6)." },
        { nullptr, nullptr, 0, nullptr },
    };

    PyModuleDef module_def
        = py::module_definition("quarn_data._native", "The native half of quarn_data.", methods);

    PyObject* build_module() {
        if (!import_board_class())
            return nullptr;
        if (outcome_type == nullptr) {
            outcome_type = PyStructSequence_NewType(&outcome_desc);
            if (outcome_type == nullptr)
                return nullptr;
            checkmate_outcomes[0] = new_outcome("CHECKMATE", "white");
            checkmate_outcomes[1] = new_outcome("CHECKMATE", "black");
            stalemate_outcome = new_outcome("STALEMATE", nullptr);
            insufficient_outcome = new_outcome("INSUFFICIENT_MATERIAL", nullptr);
            if (!checkmate_outcomes[0] || !checkmate_outcomes[1] || !stalemate_outcome
                || !insufficient_outcome)
                return nullptr;
        }
        OwnedRef module(PyModule_Create(&module_def));
        if (!module)
            return nullptr;
        if (PyModule_AddObjectRef(
                module.get(), "Outcome", reinterpret_cast<PyObject*>(outcome_type))
            < 0)
            return nullptr;
        // The tables are built here rather than inside the first query.
        (void)shared_generator();
        return module.release();
    }

} // namespace

} // namespace quarn_chess::data

PyMODINIT_FUNC PyInit__native(void);

PyMODINIT_FUNC PyInit__native(void) {
    return quarn_chess::py::init_once(quarn_chess::data::once, quarn_chess::data::build_module);
}
