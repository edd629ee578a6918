// PyInit__env: quarn_data.env's native half, the action encoding on quarn_chess.Board objects and
// the Engine type (a batch of self-play games) with the interpreter lock released around steps.
#include <Python.h>

#include "../../core/chess_move.h"
#include "../../core/position_queries.h"
#include "../../core/san.h"
#include "../../games/actions.h"
#include "../../games/self_play.h"
#include "../../python/args.h"
#include "../../python/errors.h"
#include "../../python/module_once.h"
#include "../data.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

namespace quarn_chess::data {

PyTypeObject* board_class = nullptr;

namespace {

    using py::guard;
    using py::OwnedRef;
    using py::Parameter;
    using py::Parameters;

    py::ModuleOnce once { .refusal = "quarn_data._env does not support sub-interpreters" };
    PyTypeObject* engine_type = nullptr;

#define QUARN_PARAMETERS(function, required, ...)                                                  \
    Parameter function##_parameter_list[] = { __VA_ARGS__ };                                       \
    Parameters function##_parameters { #function "()", function##_parameter_list, required }

    QUARN_PARAMETERS(action_of, 2, { "board" }, { "move" });
    QUARN_PARAMETERS(move_of, 2, { "board" }, { "action" });
    QUARN_PARAMETERS(legal_action_mask, 1, { "board" });
    QUARN_PARAMETERS(legal_action_mask_batch, 1, { "boards" }, { "out" });
    QUARN_PARAMETERS(action_of_batch, 2, { "boards" }, { "moves" }, { "out" });
    QUARN_PARAMETERS(engine_new, 6, { "num_envs" }, { "seed" }, { "observation" }, { "draw_rules" },
        { "max_plies" }, { "threads" });
    QUARN_PARAMETERS(engine_set_start_positions, 1, { "fens" });
    QUARN_PARAMETERS(engine_reset, 0, { "seed" });
    QUARN_PARAMETERS(engine_step, 2, { "actions" }, { "raise_illegal" });
    QUARN_PARAMETERS(engine_sample_legal, 1, { "out" }, { "seed" });
    QUARN_PARAMETERS(engine_board, 1, { "index" });
    QUARN_PARAMETERS(engine_observe, 2, { "index" }, { "white" });
    QUARN_PARAMETERS(engine_game_state, 1, { "index" });

#undef QUARN_PARAMETERS

    PyObject* raise_value_error(const std::string& message) {
        const OwnedRef text(PyUnicode_DecodeUTF8(
            message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
        if (text)
            PyErr_SetObject(PyExc_ValueError, text.get());
        return nullptr;
    }

    // An int argument (no bool) in [low, high], or false with TypeError / ValueError set.
    bool int_argument(
        const char* name, PyObject* value, long long low, long long high, long long& result) {
        if (!PyLong_Check(value) || PyBool_Check(value)) {
            py::argument_type_error(name, value, "int");
            return false;
        }
        int overflow = 0;
        result = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (result == -1 && PyErr_Occurred())
            return false;
        if (overflow != 0 || result < low || result > high) {
            PyErr_Format(PyExc_ValueError, "%s must be between %lld and %lld, not %S", name, low,
                high, value);
            return false;
        }
        return true;
    }

    // Coordinate text of a move ("e2e4", "e7e8q"), as a ChessMove, or nullopt with ValueError or
    // TypeError set.
    std::optional<ChessMove> move_argument(const char* name, PyObject* value) {
        std::string_view text;
        if (!py::str_argument(name, value, text))
            return std::nullopt;
        const std::optional<ChessMove> move = parse_uci(text);
        if (!move)
            raise_value_error("invalid move text: '" + std::string(text) + "'");
        return move;
    }

    PyObject* uci_text(ChessMove move) {
        char text[5];
        const std::size_t size = move.write(text);
        return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(size));
    }

    // The action of a legal move of `board`, or nullopt with ValueError set.
    std::optional<std::uint16_t> legal_action(Board& board, ChessMove move, const char* text_for) {
        const std::optional<ChessMove> legal = find_legal_move(shared_generator(), board, move);
        if (!legal) {
            raise_value_error(std::string("illegal move in this position: '") + text_for + "'");
            return std::nullopt;
        }
        return action_of(board, *legal);
    }

    void write_mask(Board& board, std::uint8_t* mask) {
        MoveList legal;
        shared_generator().moves(board, legal);
        std::memset(mask, 0, ACTION_COUNT);
        for (const ChessMove move : legal)
            if (const std::optional<std::uint16_t> action = action_of(board, move))
                mask[*action] = 1;
    }

    // --- functions on boards ---

    PyObject* env_action_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[2] = {};
            if (!py::match_arguments(action_of_parameters, args, nargs, kw, values))
                return nullptr;
            BoardObject* object = board_argument("board", values[0]);
            if (object == nullptr)
                return nullptr;
            const std::optional<ChessMove> move = move_argument("move", values[1]);
            if (!move)
                return nullptr;
            const py::ExclusiveBorrow borrow(object->borrow);
            if (!borrow.ok())
                return nullptr;
            const std::string text = move->to_string();
            const std::optional<std::uint16_t> action
                = legal_action(object->board, *move, text.c_str());
            return action ? PyLong_FromLong(*action) : nullptr;
        });
    }

    PyObject* env_move_of(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[2] = {};
            if (!py::match_arguments(move_of_parameters, args, nargs, kw, values))
                return nullptr;
            BoardObject* object = board_argument("board", values[0]);
            if (object == nullptr)
                return nullptr;
            long long action = 0;
            if (!int_argument("action", values[1], 0, ACTION_COUNT - 1, action))
                return nullptr;
            const py::ExclusiveBorrow borrow(object->borrow);
            if (!borrow.ok())
                return nullptr;
            Board& board = object->board;
            const std::optional<ChessMove> decoded
                = decode_action(board, static_cast<std::uint32_t>(action));
            const std::optional<ChessMove> legal
                = decoded ? find_legal_move(shared_generator(), board, *decoded) : std::nullopt;
            if (!legal || action_of(board, *legal) != action) {
                PyErr_Format(
                    PyExc_ValueError, "action %lld is not a legal move in this position", action);
                return nullptr;
            }
            return uci_text(*legal);
        });
    }

    PyObject* env_legal_action_mask(
        PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[1] = {};
            if (!py::match_arguments(legal_action_mask_parameters, args, nargs, kw, values))
                return nullptr;
            BoardObject* object = board_argument("board", values[0]);
            if (object == nullptr)
                return nullptr;
            const py::ExclusiveBorrow borrow(object->borrow);
            if (!borrow.ok())
                return nullptr;
            void* data = nullptr;
            PyObject* array = new_array(Dtype::BOOL, { ACTION_COUNT }, &data);
            if (array != nullptr)
                write_mask(object->board, static_cast<std::uint8_t*>(data));
            return array;
        });
    }

    // The `out` argument or a new array of the shape, with its data pointer; nullptr on error.
    PyObject* output_array(PyObject* out, Dtype dtype, std::initializer_list<Py_ssize_t> shape,
        OutBuffer& buffer, void** data) {
        if (out != nullptr && out != Py_None) {
            if (!buffer.take(out, dtype, shape))
                return nullptr;
            *data = buffer.data();
            return Py_NewRef(out);
        }
        return new_array(dtype, shape, data);
    }

    PyObject* env_legal_action_mask_batch(
        PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[2] = {};
            if (!py::match_arguments(legal_action_mask_batch_parameters, args, nargs, kw, values))
                return nullptr;
            BorrowedBoards boards;
            if (!boards.take("boards", values[0]))
                return nullptr;
            const auto count = static_cast<Py_ssize_t>(boards.size());
            OutBuffer buffer;
            void* data = nullptr;
            OwnedRef result(output_array(values[1], Dtype::BOOL,
                { count, static_cast<Py_ssize_t>(ACTION_COUNT) }, buffer, &data));
            if (!result)
                return nullptr;
            without_gil([&] {
                auto* out = static_cast<std::uint8_t*>(data);
                for (std::size_t i = 0; i < boards.size(); ++i) {
                    // The generator makes and takes back moves on a board; a copy keeps the
                    // shared borrow honest.
                    Board board = *boards.data()[i];
                    write_mask(board, out + i * ACTION_COUNT);
                }
            });
            return result.release();
        });
    }

    PyObject* env_action_of_batch(
        PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[3] = {};
            if (!py::match_arguments(action_of_batch_parameters, args, nargs, kw, values))
                return nullptr;
            BorrowedBoards boards;
            if (!boards.take("boards", values[0]))
                return nullptr;
            OwnedRef sequence(PySequence_Fast(values[1], ""));
            if (!sequence) {
                PyErr_Clear();
                return py::argument_type_error("moves", values[1], "Sequence[str]");
            }
            const auto count = static_cast<Py_ssize_t>(boards.size());
            if (PySequence_Fast_GET_SIZE(sequence.get()) != count) {
                PyErr_Format(PyExc_ValueError, "moves must have one move per board (%zd), not %zd",
                    count, PySequence_Fast_GET_SIZE(sequence.get()));
                return nullptr;
            }
            std::vector<ChessMove> moves(static_cast<std::size_t>(count));
            for (Py_ssize_t i = 0; i < count; ++i) {
                const std::optional<ChessMove> move
                    = move_argument("moves", PySequence_Fast_GET_ITEM(sequence.get(), i));
                if (!move)
                    return nullptr;
                moves[static_cast<std::size_t>(i)] = *move;
            }
            OutBuffer buffer;
            void* data = nullptr;
            OwnedRef result(output_array(values[2], Dtype::INT64, { count }, buffer, &data));
            if (!result)
                return nullptr;
            // Every move is checked before the first entry is written.
            std::vector<std::int64_t> actions(static_cast<std::size_t>(count));
            std::size_t bad = moves.size();
            without_gil([&] {
                for (std::size_t i = 0; i < moves.size() && bad == moves.size(); ++i) {
                    Board board = *boards.data()[i];
                    const std::optional<ChessMove> legal
                        = find_legal_move(shared_generator(), board, moves[i]);
                    if (!legal) {
                        bad = i;
                        break;
                    }
                    actions[i] = *action_of(board, *legal);
                }
            });
            if (bad != moves.size())
                return raise_value_error("moves[" + std::to_string(bad) + "]: illegal move '"
                    + moves[bad].to_string() + "' on boards[" + std::to_string(bad) + "]");
            std::memcpy(data, actions.data(), actions.size() * sizeof(std::int64_t));
            return result.release();
        });
    }

    // --- Engine ---

    struct EngineObject {
        PyObject ob_base;
        SelfPlayEngine* engine;
        PyObject* observation;
        PyObject* action_mask;
        PyObject* reward;
        PyObject* terminated;
        PyObject* truncated;
        PyObject* ending;
        // Set while a call works on the games with the lock released.
        std::atomic<bool> busy;
    };

    // Refuses a second user of an engine (another thread stepping it) with RuntimeError.
    constexpr const char* ENGINE_IN_USE = "the environment is in use by another thread";

    EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

    PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guard([&]() -> PyObject* {
            PyObject* values[6] = {};
            if (!py::match_arguments(engine_new_parameters, args, kwargs, values))
                return nullptr;
            long long count = 0;
            long long seed = 0;
            long long max_plies = 0;
            long long threads = 0;
            if (!int_argument("num_envs", values[0], 1, 1 << 24, count)
                || !int_argument("seed", values[1], 0, INT64_MAX, seed)
                || !int_argument("max_plies", values[4], 0, UINT32_MAX, max_plies)
                || !int_argument("threads", values[5], 1, 256, threads))
                return nullptr;
            std::string_view observation;
            std::string_view draw_rules;
            if (!py::str_argument("observation", values[2], observation)
                || !py::str_argument("draw_rules", values[3], draw_rules))
                return nullptr;
            EngineOptions options;
            if (observation == "pettingzoo")
                options.observation = ObservationKind::PETTINGZOO;
            else if (observation == "packed")
                options.observation = ObservationKind::PACKED;
            else
                return raise_value_error("observation must be 'pettingzoo' or 'packed', not '"
                    + std::string(observation) + "'");
            if (draw_rules == "claim")
                options.draw_rules = DrawRules::CLAIM;
            else if (draw_rules == "automatic")
                options.draw_rules = DrawRules::AUTOMATIC;
            else
                return raise_value_error("draw_rules must be 'claim' or 'automatic', not '"
                    + std::string(draw_rules) + "'");
            options.max_plies = static_cast<std::uint32_t>(max_plies);
            options.threads = static_cast<unsigned>(threads);

            const bool zoo = options.observation == ObservationKind::PETTINGZOO;
            void* observation_data = nullptr;
            void* mask_data = nullptr;
            void* reward_data = nullptr;
            void* terminated_data = nullptr;
            void* truncated_data = nullptr;
            void* ending_data = nullptr;
            OwnedRef observation_array(zoo
                    ? new_array(
                        Dtype::BOOL, { count, 8, 8, PETTINGZOO_CHANNELS }, &observation_data)
                    : new_array(
                        Dtype::UINT64, { count, PACKED_OBSERVATION_WORDS }, &observation_data));
            if (!observation_array)
                return nullptr;
            OwnedRef mask_array(zoo
                    ? new_array(Dtype::BOOL, { count, ACTION_COUNT }, &mask_data)
                    : new_array(Dtype::UINT64, { count, PACKED_MASK_WORDS }, &mask_data));
            if (!mask_array)
                return nullptr;
            OwnedRef reward_array(new_array(Dtype::FLOAT32, { count }, &reward_data));
            OwnedRef terminated_array(
                reward_array ? new_array(Dtype::BOOL, { count }, &terminated_data) : nullptr);
            OwnedRef truncated_array(
                terminated_array ? new_array(Dtype::BOOL, { count }, &truncated_data) : nullptr);
            OwnedRef ending_array(
                truncated_array ? new_array(Dtype::INT8, { count }, &ending_data) : nullptr);
            if (!ending_array)
                return nullptr;
            EngineOutputs outputs {
                .observation = observation_data,
                .action_mask = mask_data,
                .reward = static_cast<float*>(reward_data),
                .terminated = static_cast<std::uint8_t*>(terminated_data),
                .truncated = static_cast<std::uint8_t*>(truncated_data),
                .ending = static_cast<std::uint8_t*>(ending_data),
            };
            auto engine = std::make_unique<SelfPlayEngine>(
                static_cast<std::size_t>(count), options, outputs);
            engine->reset(static_cast<std::uint64_t>(seed));
            PyObject* self = type->tp_alloc(type, 0);
            if (self == nullptr)
                return nullptr;
            EngineObject* object = as_engine(self);
            object->engine = engine.release();
            object->observation = observation_array.release();
            object->action_mask = mask_array.release();
            object->reward = reward_array.release();
            object->terminated = terminated_array.release();
            object->truncated = truncated_array.release();
            object->ending = ending_array.release();
            new (&object->busy) std::atomic<bool>(false);
            return self;
        });
    }

    void engine_dealloc(PyObject* self) {
        EngineObject* object = as_engine(self);
        PyTypeObject* type = Py_TYPE(self);
        delete object->engine;
        Py_XDECREF(object->observation);
        Py_XDECREF(object->action_mask);
        Py_XDECREF(object->reward);
        Py_XDECREF(object->terminated);
        Py_XDECREF(object->truncated);
        Py_XDECREF(object->ending);
        type->tp_free(self);
        Py_DECREF(type);
    }

    PyObject* engine_set_start_positions(
        PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[1] = {};
            if (!py::match_arguments(
                    engine_set_start_positions_parameters, args, nargs, kw, values))
                return nullptr;
            OwnedRef sequence(PySequence_Fast(values[0], ""));
            if (!sequence) {
                PyErr_Clear();
                return py::argument_type_error("fens", values[0], "Sequence[str]");
            }
            SelfPlayEngine& engine = *as_engine(self)->engine;
            const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
            if (static_cast<std::size_t>(count) != engine.size()) {
                PyErr_Format(PyExc_ValueError, "fens must hold one FEN per game (%zu), not %zd",
                    engine.size(), count);
                return nullptr;
            }
            std::vector<std::string> fens;
            fens.reserve(static_cast<std::size_t>(count));
            for (Py_ssize_t i = 0; i < count; ++i) {
                std::string_view text;
                if (!py::str_argument("fens", PySequence_Fast_GET_ITEM(sequence.get(), i), text))
                    return nullptr;
                fens.emplace_back(text);
            }
            const InUse busy(as_engine(self)->busy, ENGINE_IN_USE);
            if (!busy.ok())
                return nullptr;
            if (std::optional<Error> error = engine.set_start_positions(fens))
                return raise_value_error(error->message);
            Py_RETURN_NONE;
        });
    }

    PyObject* engine_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[1] = {};
            if (!py::match_arguments(engine_reset_parameters, args, nargs, kw, values))
                return nullptr;
            std::optional<std::uint64_t> seed;
            if (values[0] != nullptr && values[0] != Py_None) {
                long long value = 0;
                if (!int_argument("seed", values[0], 0, INT64_MAX, value))
                    return nullptr;
                seed = static_cast<std::uint64_t>(value);
            }
            const InUse busy(as_engine(self)->busy, ENGINE_IN_USE);
            if (!busy.ok())
                return nullptr;
            SelfPlayEngine& engine = *as_engine(self)->engine;
            without_gil([&] { engine.reset(seed); });
            Py_RETURN_NONE;
        });
    }

    // The actions must be an int64 array of shape (N,), C-contiguous; checked NumPy-style.
    PyObject* engine_step(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[2] = {};
            if (!py::match_arguments(engine_step_parameters, args, nargs, kw, values))
                return nullptr;
            SelfPlayEngine& engine = *as_engine(self)->engine;
            const int raise_illegal = PyObject_IsTrue(values[1]);
            if (raise_illegal < 0)
                return nullptr;
            Py_buffer view {};
            if (PyObject_GetBuffer(values[0], &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0)
                return nullptr;
            struct Release {
                Py_buffer* view;
                ~Release() { PyBuffer_Release(view); }
            } release { &view };
            const std::string_view format = view.format ? view.format : "B";
            if (view.itemsize != 8
                || (format != "l" && format != "q" && format != "<l" && format != "<q"
                    && format != "=q" && format != "=l" && format != "@l" && format != "@q")) {
                PyErr_SetString(PyExc_TypeError, "actions must have dtype int64");
                return nullptr;
            }
            if (view.ndim != 1 || static_cast<std::size_t>(view.shape[0]) != engine.size()) {
                PyErr_Format(PyExc_ValueError, "actions must have shape (%zu,)", engine.size());
                return nullptr;
            }
            const auto* actions = static_cast<const std::int64_t*>(view.buf);
            const InUse busy(as_engine(self)->busy, ENGINE_IN_USE);
            if (!busy.ok())
                return nullptr;
            if (const std::optional<std::size_t> bad
                = engine.first_bad_action(actions, raise_illegal != 0)) {
                const std::int64_t action = actions[*bad];
                if (action < 0 || action >= static_cast<std::int64_t>(ACTION_COUNT))
                    PyErr_Format(PyExc_ValueError,
                        "env %zu: action %lld is out of range (0 to %d); nothing was stepped", *bad,
                        static_cast<long long>(action), static_cast<int>(ACTION_COUNT) - 1);
                else
                    PyErr_Format(PyExc_ValueError,
                        "env %zu: action %lld is not a legal move; nothing was stepped", *bad,
                        static_cast<long long>(action));
                return nullptr;
            }
            without_gil([&] { engine.step(actions); });
            Py_RETURN_NONE;
        });
    }

    PyObject* engine_sample_legal(
        PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[2] = {};
            if (!py::match_arguments(engine_sample_legal_parameters, args, nargs, kw, values))
                return nullptr;
            SelfPlayEngine& engine = *as_engine(self)->engine;
            std::optional<std::uint64_t> seed;
            if (values[1] != nullptr && values[1] != Py_None) {
                long long value = 0;
                if (!int_argument("seed", values[1], 0, INT64_MAX, value))
                    return nullptr;
                seed = static_cast<std::uint64_t>(value);
            }
            OutBuffer out;
            if (!out.take(values[0], Dtype::INT64, { static_cast<Py_ssize_t>(engine.size()) }))
                return nullptr;
            const InUse busy(as_engine(self)->busy, ENGINE_IN_USE);
            if (!busy.ok())
                return nullptr;
            without_gil([&] {
                if (seed)
                    engine.seed(*seed);
                engine.sample_legal(static_cast<std::int64_t*>(out.data()));
            });
            Py_RETURN_NONE;
        });
    }

    bool index_argument(SelfPlayEngine& engine, PyObject* value, std::size_t& index) {
        long long i = 0;
        if (!PyLong_Check(value) || PyBool_Check(value)) {
            py::argument_type_error("index", value, "int");
            return false;
        }
        i = PyLong_AsLongLong(value);
        if (i == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            i = -1 - static_cast<long long>(engine.size());
        }
        const auto size = static_cast<long long>(engine.size());
        if (i < 0)
            i += size;
        if (i < 0 || i >= size) {
            PyErr_Format(PyExc_IndexError, "env index out of range (%lld games)", size);
            return false;
        }
        index = static_cast<std::size_t>(i);
        return true;
    }

    PyObject* engine_board(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[1] = {};
            if (!py::match_arguments(engine_board_parameters, args, nargs, kw, values))
                return nullptr;
            SelfPlayEngine& engine = *as_engine(self)->engine;
            std::size_t index = 0;
            if (!index_argument(engine, values[0], index))
                return nullptr;
            const InUse busy(as_engine(self)->busy, ENGINE_IN_USE);
            if (!busy.ok())
                return nullptr;
            const Board& board = engine.state(index).board;
            return py::new_instance<BoardObject>(
                board_class, [&](BoardObject* copy) { new (&copy->board) Board(board); });
        });
    }

    PyObject* engine_observe(
        PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[2] = {};
            if (!py::match_arguments(engine_observe_parameters, args, nargs, kw, values))
                return nullptr;
            SelfPlayEngine& engine = *as_engine(self)->engine;
            std::size_t index = 0;
            if (!index_argument(engine, values[0], index))
                return nullptr;
            const int white = PyObject_IsTrue(values[1]);
            if (white < 0)
                return nullptr;
            const InUse busy(as_engine(self)->busy, ENGINE_IN_USE);
            if (!busy.ok())
                return nullptr;
            void* observation = nullptr;
            void* mask = nullptr;
            OwnedRef observation_array(
                new_array(Dtype::BOOL, { 8, 8, PETTINGZOO_CHANNELS }, &observation));
            if (!observation_array)
                return nullptr;
            OwnedRef mask_array(new_array(Dtype::BOOL, { ACTION_COUNT }, &mask));
            if (!mask_array)
                return nullptr;
            engine.observe(index, white != 0, static_cast<std::uint8_t*>(observation),
                static_cast<std::uint8_t*>(mask));
            return PyTuple_Pack(2, observation_array.get(), mask_array.get());
        });
    }

    // (halfmove_clock, fullmove_number, plies, repetitions, ending under automatic rules, ending
    // under claim rules, can claim fifty, can claim threefold) of game i.
    PyObject* engine_game_state(
        PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
        return guard([&]() -> PyObject* {
            PyObject* values[1] = {};
            if (!py::match_arguments(engine_game_state_parameters, args, nargs, kw, values))
                return nullptr;
            SelfPlayEngine& engine = *as_engine(self)->engine;
            std::size_t index = 0;
            if (!index_argument(engine, values[0], index))
                return nullptr;
            const InUse busy(as_engine(self)->busy, ENGINE_IN_USE);
            if (!busy.ok())
                return nullptr;
            GameState state = engine.state(index);
            const Ending automatic = state.ending(DrawRules::AUTOMATIC);
            const Ending claim = state.ending(DrawRules::CLAIM);
            const bool fifty = state.can_claim_fifty_moves();
            const bool threefold = state.can_claim_threefold_repetition();
            return Py_BuildValue("(IIIIiiOO)", state.halfmove_clock, state.fullmove_number,
                state.plies, state.repetitions, static_cast<int>(automatic),
                static_cast<int>(claim), fifty ? Py_True : Py_False,
                threefold ? Py_True : Py_False);
        });
    }

    PyObject* engine_get(PyObject* self, void* closure) {
        const auto offset = reinterpret_cast<std::uintptr_t>(closure);
        PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
        return Py_NewRef(value);
    }

    PyObject* engine_get_size(PyObject* self, void*) {
        return PyLong_FromSize_t(as_engine(self)->engine->size());
    }

    constexpr int FASTCALL = METH_FASTCALL | METH_KEYWORDS;

    PyMethodDef engine_methods[] = {
        { "set_start_positions", py::as_pycfunction(engine_set_start_positions), FASTCALL,
            "set_start_positions($self, fens)\n--\n\nEvery game starts from its FEN from now on." },
        { "reset", py::as_pycfunction(engine_reset), FASTCALL,
            "reset($self, seed=None)\n--\n\nRestarts every game and writes the observations." },
        { "step", py::as_pycfunction(engine_step), FASTCALL,
            "step($self, actions, raise_illegal)\n--\n\nOne step of every game." },
        { "sample_legal", py::as_pycfunction(engine_sample_legal), FASTCALL,
            "sample_legal($self, out, seed=None)\n--\n\nA random legal action per game into out "
            "(int64)." },
        { "board", py::as_pycfunction(engine_board), FASTCALL,
            "board($self, index)\n--\n\nA quarn_chess.Board copy of game index." },
        { "observe", py::as_pycfunction(engine_observe), FASTCALL,
            "observe($self, index, white)\n--\n\n(observation, action_mask) of game index seen "
            "by the given side." },
        { "game_state", py::as_pycfunction(engine_game_state), FASTCALL,
            "game_state($self, index)\n--\n\nCounters and endings of game index." },
        { nullptr, nullptr, 0, nullptr },
    };

#define QUARN_FIELD(name) reinterpret_cast<void*>(offsetof(EngineObject, name))
    PyGetSetDef engine_getset[] = {
        { "observation", engine_get, nullptr, "The observations of the last step.",
            QUARN_FIELD(observation) },
        { "action_mask", engine_get, nullptr, "The action masks of the last step.",
            QUARN_FIELD(action_mask) },
        { "reward", engine_get, nullptr, "float32 (N,)", QUARN_FIELD(reward) },
        { "terminated", engine_get, nullptr, "bool (N,)", QUARN_FIELD(terminated) },
        { "truncated", engine_get, nullptr, "bool (N,)", QUARN_FIELD(truncated) },
        { "ending", engine_get, nullptr, "int8 (N,)", QUARN_FIELD(ending) },
        { "num_envs", engine_get_size, nullptr, "The number of games.", nullptr },
        { nullptr, nullptr, nullptr, nullptr, nullptr },
    };
#undef QUARN_FIELD

    PyType_Slot engine_slots[] = {
        { Py_tp_new, reinterpret_cast<void*>(engine_new) },
        { Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc) },
        { Py_tp_methods, engine_methods },
        { Py_tp_getset, engine_getset },
        { Py_tp_doc,
            const_cast<char*>("Engine(num_envs, seed, observation, draw_rules, max_plies, "
                              "threads)\n--\n\nA batch of self-play games.") },
        { 0, nullptr },
    };

    PyType_Spec engine_spec = {
        .name = "quarn_data._env.Engine",
        .basicsize = sizeof(EngineObject),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT,
        .slots = engine_slots,
    };

    PyMethodDef methods[] = {
        { "action_of", py::as_pycfunction(env_action_of), FASTCALL,
            "action_of(board, move)\n--\n\nThe action index of a legal move given as UCI text." },
        { "move_of", py::as_pycfunction(env_move_of), FASTCALL,
            "move_of(board, action)\n--\n\nThe legal move (UCI text) an action names." },
        { "legal_action_mask", py::as_pycfunction(env_legal_action_mask), FASTCALL,
            "legal_action_mask(board)\n--\n\nbool (4672,): the actions of the legal moves." },
        { "legal_action_mask_batch", py::as_pycfunction(env_legal_action_mask_batch), FASTCALL,
            "legal_action_mask_batch(boards, out=None)\n--\n\nbool (N, 4672)." },
        { "action_of_batch", py::as_pycfunction(env_action_of_batch), FASTCALL,
            "action_of_batch(boards, moves, out=None)\n--\n\nint64 (N,)." },
        { nullptr, nullptr, 0, nullptr },
    };

    PyModuleDef module_def
        = py::module_definition("quarn_data._env", "The native half of quarn_data.env.", methods);

    PyObject* build_module() {
        if (!import_board_class())
            return nullptr;
        if (engine_type == nullptr) {
            engine_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&engine_spec));
            if (engine_type == nullptr)
                return nullptr;
        }
        OwnedRef module(PyModule_Create(&module_def));
        if (!module)
            return nullptr;
        if (PyModule_AddObjectRef(module.get(), "Engine", reinterpret_cast<PyObject*>(engine_type))
            < 0)
            return nullptr;
        if (PyModule_AddIntConstant(module.get(), "ACTION_COUNT", ACTION_COUNT) < 0)
            return nullptr;
        (void)shared_generator();
        return module.release();
    }

} // namespace

} // namespace quarn_chess::data

PyMODINIT_FUNC PyInit__env(void);

PyMODINIT_FUNC PyInit__env(void) {
    return quarn_chess::py::init_once(quarn_chess::data::once, quarn_chess::data::build_module);
}
