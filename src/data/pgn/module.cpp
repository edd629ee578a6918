// PyInit__pgn: quarn_data's PGN readers. Bytes go in (read with the interpreter lock released);
// game records or training columns come out. All reading and replay happens in the core.
#include <Python.h>

#include "../../core/position_queries.h"
#include "../../games/game_table.h"
#include "../../games/pgn.h"
#include "../../games/pgn_data.h"
#include "../../python/args.h"
#include "../../python/binding.h"
#include "../../python/errors.h"
#include "../../python/module_once.h"
#include "../data.h"

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quarn_chess::data_pgn {

namespace {

    using data::InUse;
    using data::without_gil;
    using py::guard;
    using py::OwnedRef;
    using py::Parameter;
    using py::Parameters;

    // One call at a time per reader: a second thread gets RuntimeError instead of a data race.
    constexpr const char* READER_IN_USE = "the reader is in use by another thread";

    // The bytes of a buffer-protocol argument, released when the holder goes.
    class Bytes {
    public:
        ~Bytes() {
            if (held_)
                PyBuffer_Release(&view_);
        }
        bool take(PyObject* object) {
            if (PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) < 0)
                return false;
            held_ = true;
            return true;
        }
        std::string_view text() const {
            return { static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len) };
        }

    private:
        Py_buffer view_ {};
        bool held_ = false;
    };

    PyObject* new_str(std::string_view text) {
        // Tag values are whatever bytes the file holds: undecodable bytes are replaced.
        return py::created(
            PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"),
            "failed to create str");
    }

    PyObject* error_tuple(const PgnError& error) {
        OwnedRef kind(new_str(pgn_error_name(error.kind)));
        OwnedRef message(new_str(error.message));
        return py::created(
            Py_BuildValue("(OKKO)", kind.get(), static_cast<unsigned long long>(error.game),
                static_cast<unsigned long long>(error.offset), message.get()),
            "failed to create an error tuple");
    }

    bool flag_value(PyObject* value, bool fallback, bool& flag) {
        if (value == nullptr) {
            flag = fallback;
            return true;
        }
        const int truth = PyObject_IsTrue(value);
        if (truth < 0)
            return false;
        flag = truth != 0;
        return true;
    }

    // --- GameReader ------------------------------------------------------------------------------

    // The strings that repeat from game to game, made once per reader and shared by its games:
    // tag names (interned; looked for first at the place they held in the previous game), the
    // last value of each name (Event, Date, Result, TimeControl... are often the same in game
    // after game) and the four results. Touched only with the interpreter lock held.
    class TextCache {
    public:
        static constexpr std::size_t MAX_NAMES = 64;
        static constexpr std::size_t MAX_VALUE = 64;
        static constexpr std::size_t NONE = ~std::size_t { 0 };

        TextCache() = default;
        TextCache(const TextCache&) = delete;
        TextCache& operator=(const TextCache&) = delete;
        ~TextCache() {
            for (Entry& entry : entries_) {
                Py_XDECREF(entry.name_object);
                Py_XDECREF(entry.value_object);
            }
            for (PyObject* text : results_)
                Py_XDECREF(text);
            Py_XDECREF(template_);
            for (PyObject* value : template_values_)
                Py_DECREF(value);
        }

        // The tag name as a new reference; `slot` receives its entry (NONE when not cached).
        PyObject* name(std::size_t position, std::string_view text, std::size_t& slot) {
            slot = NONE;
            if (position < entries_.size() && entries_[position].name == text)
                slot = position;
            else
                for (std::size_t i = 0; i < entries_.size() && slot == NONE; ++i)
                    if (entries_[i].name == text)
                        slot = i;
            if (slot != NONE)
                return Py_NewRef(entries_[slot].name_object);
            PyObject* object = new_str(text);
            if (entries_.size() == MAX_NAMES)
                return object;
            PyUnicode_InternInPlace(&object);
            slot = entries_.size();
            entries_.push_back(Entry { std::string(text), Py_NewRef(object), {}, nullptr });
            return object;
        }

        // A value of the name in `slot`, as a new reference.
        PyObject* value(std::size_t slot, std::string_view text) {
            if (slot == NONE || text.size() > MAX_VALUE)
                return new_str(text);
            Entry& entry = entries_[slot];
            if (entry.value_object == nullptr || entry.value != text) {
                PyObject* object = new_str(text);
                Py_XSETREF(entry.value_object, object);
                entry.value = text;
            }
            return Py_NewRef(entry.value_object);
        }

        PyObject* result(std::string_view text) {
            constexpr std::string_view RESULTS[] = { "1-0", "0-1", "1/2-1/2", "*" };
            for (std::size_t i = 0; i < 4; ++i)
                if (text == RESULTS[i]) {
                    if (results_[i] == nullptr)
                        results_[i] = new_str(text);
                    return Py_NewRef(results_[i]);
                }
            return new_str(text);
        }

        // The tags of a game as a new dict. A game with the tag names of the last one, in the same
        // order (most files write the same tags in every game), starts from a copy of a private
        // dict with those keys and only replaces the values that are not the very objects the
        // copy holds already: no insertion, no resizing, and no store for a value that repeats.
        PyObject* tags(const GameRecord& game) {
            keys_.clear();
            values_.clear();
            slots_.clear();
            const auto release = [&] {
                for (PyObject* object : keys_)
                    Py_DECREF(object);
                for (PyObject* object : values_)
                    Py_DECREF(object);
                keys_.clear();
                values_.clear();
            };
            bool cached = true;
            try {
                for (const auto& [name, value] : game.tags) {
                    std::size_t slot = NONE;
                    keys_.push_back(this->name(slots_.size(), name, slot));
                    slots_.push_back(slot);
                    cached = cached && slot != NONE;
                    values_.push_back(this->value(slot, value));
                }
            } catch (...) {
                release();
                throw;
            }
            const bool same = template_ != nullptr && cached && slots_ == template_slots_
                && template_values_.size() == values_.size();
            PyObject* dict = same ? PyDict_Copy(template_) : PyDict_New();
            bool ok = dict != nullptr;
            for (std::size_t i = 0; ok && i < keys_.size(); ++i)
                if (!same || values_[i] != template_values_[i])
                    ok = PyDict_SetItem(dict, keys_[i], values_[i]) == 0;
            if (ok && !same && cached && !keys_.empty()) {
                PyObject* copy = PyDict_Copy(dict);
                ok = copy != nullptr;
                if (ok) {
                    // The old template is dropped first: should the copies below fail, no
                    // template is left to disagree with its slots or values.
                    Py_CLEAR(template_);
                    for (PyObject* value : template_values_)
                        Py_DECREF(value);
                    template_values_.clear();
                    try {
                        template_slots_ = slots_;
                        template_values_.assign(values_.begin(), values_.end());
                    } catch (...) {
                        template_values_.clear();
                        Py_DECREF(copy);
                        Py_DECREF(dict);
                        release();
                        throw;
                    }
                    for (PyObject* value : template_values_)
                        Py_INCREF(value);
                    template_ = copy;
                }
            }
            release();
            if (!ok)
                Py_CLEAR(dict);
            return dict;
        }

    private:
        struct Entry {
            std::string name;
            PyObject* name_object;
            std::string value;
            PyObject* value_object;
        };
        std::vector<Entry> entries_;
        PyObject* results_[4] = {};
        PyObject* template_ = nullptr;
        std::vector<std::size_t> template_slots_;
        // The value objects template_ holds, in tag order (references kept, so that an address
        // is never reused by another object while it is compared).
        std::vector<PyObject*> template_values_;
        std::vector<PyObject*> keys_;
        std::vector<PyObject*> values_;
        std::vector<std::size_t> slots_;
    };

    struct GameState {
        GameState(bool strict)
            : collector(shared_generator(), strict)
            , reader(collector) { }
        GameCollector collector;
        PgnReader reader;
        TextCache texts;
    };

    // The fields of a game, in the order of the tuples and of the game class's fields.
    constexpr const char* GAME_FIELDS[]
        = { "index", "offset", "headers", "moves", "result", "fen", "error" };
    constexpr std::size_t GAME_FIELD_COUNT = std::size(GAME_FIELDS);

    struct GameReaderObject {
        PyObject_HEAD GameState* state;
        std::atomic<bool> busy;
        std::size_t taken; // records of collector.games() already handed out
        // Given `game`: the class whose instances are handed out, and the slot descriptors of
        // its fields; given `error`: what makes the error objects. Tuples otherwise.
        PyObject* game_type;
        PyObject* fields[GAME_FIELD_COUNT];
        PyObject* error_type;
    };

    // The slot descriptors of a game class's fields (a dataclass with slots=True): setting them
    // is what its __init__ does, without running Python code per game.
    bool game_fields(PyObject* type, PyObject** fields) {
        if (!PyType_Check(type)) {
            PyErr_SetString(PyExc_TypeError, "game must be a class");
            return false;
        }
        for (std::size_t i = 0; i < GAME_FIELD_COUNT; ++i) {
            fields[i] = PyObject_GetAttrString(type, GAME_FIELDS[i]);
            if (fields[i] == nullptr || Py_TYPE(fields[i])->tp_descr_set == nullptr) {
                if (fields[i] != nullptr)
                    PyErr_Format(
                        PyExc_TypeError, "game class field %s is not a slot", GAME_FIELDS[i]);
                for (std::size_t j = 0; j <= i; ++j)
                    Py_CLEAR(fields[j]);
                return false;
            }
        }
        return true;
    }

    Parameter game_reader_parameter_list[] = { { "strict" }, { "game" }, { "error" } };
    Parameters game_reader_parameters { "GameReader()", game_reader_parameter_list, 0 };

    PyObject* game_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guard([&]() -> PyObject* {
            PyObject* values[3] = {};
            if (!py::match_arguments(game_reader_parameters, args, kwargs, values))
                return nullptr;
            bool strict = false;
            if (!flag_value(values[0], false, strict))
                return nullptr;
            PyObject* game = values[1] == Py_None ? nullptr : values[1];
            PyObject* error = values[2] == Py_None ? nullptr : values[2];
            if (error != nullptr && !PyCallable_Check(error)) {
                PyErr_SetString(PyExc_TypeError, "error must be callable");
                return nullptr;
            }
            PyObject* fields[GAME_FIELD_COUNT] = {};
            if (game != nullptr && !game_fields(game, fields))
                return nullptr;
            // tp_alloc zeroes the record: a failure below leaves nothing for dealloc to free.
            OwnedRef self(type->tp_alloc(type, 0));
            if (!self) {
                for (PyObject*& field : fields)
                    Py_CLEAR(field);
                return nullptr;
            }
            auto* object = reinterpret_cast<GameReaderObject*>(self.get());
            new (&object->busy) std::atomic<bool>(false);
            object->taken = 0;
            object->game_type = Py_XNewRef(game);
            std::copy(std::begin(fields), std::end(fields), object->fields);
            object->error_type = Py_XNewRef(error);
            object->state = new GameState(strict);
            return self.release();
        });
    }

    void game_reader_dealloc(PyObject* self) {
        auto* object = reinterpret_cast<GameReaderObject*>(self);
        delete object->state;
        Py_XDECREF(object->game_type);
        for (PyObject* field : object->fields)
            Py_XDECREF(field);
        Py_XDECREF(object->error_type);
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    }

    // The UCI text of every move value, made once and shared: a game list holds references to
    // these instead of a new str per move. Entry: from | to << 6 | promotion (0 none, 1..4 n b r
    // q) << 12.
    PyObject* uci_cache[64 * 64 * 5] = {};

    PyObject* uci_text(ChessMove move) {
        const unsigned special = move.special();
        const unsigned promotion = special >= 4 && special <= 7 ? special - 3 : 0;
        const unsigned key = move.from() | move.to() << 6 | promotion << 12;
        PyObject*& entry = uci_cache[key];
        if (entry == nullptr) {
            char uci[5];
            const ChessMove plain
                = ChessMove::packed(move.from(), move.to(), promotion ? promotion + 3 : 0);
            entry = new_str(std::string_view(uci, plain.write(uci)));
            PyUnicode_InternInPlace(&entry);
        }
        return Py_NewRef(entry);
    }

    PyObject* error_object(const GameReaderObject& reader, const PgnError& error) {
        OwnedRef tuple(error_tuple(error));
        if (reader.error_type == nullptr)
            return tuple.release();
        return py::created(PyObject_Call(reader.error_type, tuple.get(), nullptr),
            "failed to create an error object");
    }

    // One game record as an instance of the reader's game class, or as a tuple (index, offset,
    // tags, moves, result, start_fen, error).
    PyObject* game_object(GameReaderObject& reader, const GameRecord& game) {
        TextCache& texts = reader.state->texts;
        OwnedRef values[GAME_FIELD_COUNT];
        values[2] = OwnedRef(texts.tags(game));
        if (!values[2])
            return nullptr;
        values[3] = OwnedRef(py::created(
            PyList_New(static_cast<Py_ssize_t>(game.moves.size())), "failed to create list"));
        Py_ssize_t m = 0;
        for (const ChessMove move : game.moves)
            PyList_SET_ITEM(values[3].get(), m++, uci_text(move));
        values[0] = OwnedRef(
            py::created(PyLong_FromUnsignedLongLong(game.index), "failed to create int"));
        values[1] = OwnedRef(
            py::created(PyLong_FromUnsignedLongLong(game.offset), "failed to create int"));
        values[4] = OwnedRef(py::created(texts.result(game.result), "failed to create str"));
        values[5] = OwnedRef(game.start_fen.empty() ? Py_NewRef(Py_None) : new_str(game.start_fen));
        values[6]
            = OwnedRef(game.has_error ? error_object(reader, game.error) : Py_NewRef(Py_None));
        if (reader.game_type == nullptr) {
            OwnedRef item(py::created(PyTuple_New(GAME_FIELD_COUNT), "failed to create a tuple"));
            for (std::size_t i = 0; i < GAME_FIELD_COUNT; ++i)
                PyTuple_SET_ITEM(item.get(), static_cast<Py_ssize_t>(i), values[i].release());
            return item.release();
        }
        auto* type = reinterpret_cast<PyTypeObject*>(reader.game_type);
        OwnedRef no_arguments(py::created(PyTuple_New(0), "failed to create a tuple"));
        OwnedRef item(type->tp_new(type, no_arguments.get(), nullptr));
        if (!item)
            return nullptr;
        for (std::size_t i = 0; i < GAME_FIELD_COUNT; ++i) {
            PyObject* field = reader.fields[i];
            if (Py_TYPE(field)->tp_descr_set(field, item.get(), values[i].get()) < 0)
                return nullptr;
        }
        return item.release();
    }

    // Drops the records already handed out, before the reader adds more.
    void drop_taken(GameReaderObject& object) {
        object.state->collector.recycle(object.taken);
        object.taken = 0;
    }

    // feed() and finish() return the reader itself, an iterator over the games finished and not
    // yet taken. Each game's objects are made when it is taken: a caller that drops a game
    // before taking the next keeps one game's objects alive at a time, so the cyclic garbage
    // collector (which counts container allocations) rarely runs, and freed objects are reused
    // while they are still in cache.
    PyObject* game_reader_feed(PyObject* self, PyObject* data) {
        return guard([&]() -> PyObject* {
            auto* object = reinterpret_cast<GameReaderObject*>(self);
            const InUse in_use(object->busy, READER_IN_USE);
            if (!in_use.ok())
                return nullptr;
            Bytes bytes;
            if (!bytes.take(data))
                return nullptr;
            drop_taken(*object);
            GameState& state = *object->state;
            without_gil([&] { state.reader.feed(bytes.text()); });
            return Py_NewRef(self);
        });
    }

    PyObject* game_reader_finish(PyObject* self, PyObject*) {
        return guard([&]() -> PyObject* {
            auto* object = reinterpret_cast<GameReaderObject*>(self);
            const InUse in_use(object->busy, READER_IN_USE);
            if (!in_use.ok())
                return nullptr;
            drop_taken(*object);
            GameState& state = *object->state;
            without_gil([&] { state.reader.finish(); });
            return Py_NewRef(self);
        });
    }

    PyObject* game_reader_next(PyObject* self) {
        return guard([&]() -> PyObject* {
            auto* object = reinterpret_cast<GameReaderObject*>(self);
            const InUse in_use(object->busy, READER_IN_USE);
            if (!in_use.ok())
                return nullptr;
            std::vector<GameRecord>& games = object->state->collector.games();
            if (object->taken == games.size()) {
                drop_taken(*object);
                return nullptr;
            }
            PyObject* item = game_object(*object, games[object->taken]);
            if (item != nullptr)
                ++object->taken;
            return item;
        });
    }

    PyObject* game_reader_offset(PyObject* self, void*) {
        return PyLong_FromUnsignedLongLong(
            reinterpret_cast<GameReaderObject*>(self)->state->reader.offset());
    }

    PyObject* game_reader_variant_games(PyObject* self, void*) {
        return PyLong_FromUnsignedLongLong(
            reinterpret_cast<GameReaderObject*>(self)->state->collector.variant_games());
    }

    PyMethodDef game_reader_methods[] = {
        { "feed", game_reader_feed, METH_O,
            "feed($self, data, /)\n--\n\nReads a chunk of PGN bytes; returns the reader, "
            "an iterator over the games completed and not yet taken." },
        { "finish", game_reader_finish, METH_NOARGS,
            "finish($self, /)\n--\n\nEnds the input; returns the reader, an iterator over "
            "the last games." },
        { nullptr, nullptr, 0, nullptr },
    };

    PyGetSetDef game_reader_getset[] = {
        { "offset", game_reader_offset, nullptr, "Bytes consumed so far.", nullptr },
        { "variant_games", game_reader_variant_games, nullptr,
            "Games of another variant than standard chess.", nullptr },
        { nullptr, nullptr, nullptr, nullptr, nullptr },
    };

    PyType_Slot game_reader_slots[] = {
        { Py_tp_new, reinterpret_cast<void*>(game_reader_new) },
        { Py_tp_dealloc, reinterpret_cast<void*>(game_reader_dealloc) },
        { Py_tp_methods, game_reader_methods },
        { Py_tp_getset, game_reader_getset },
        { Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter) },
        { Py_tp_iternext, reinterpret_cast<void*>(game_reader_next) },
        { Py_tp_doc,
            const_cast<char*>("GameReader(strict=False, game=None, error=None)\n--\n\nPGN bytes "
                              "to game records: instances of the slotted class `game` (fields "
                              "index, offset, headers, moves, result, fen, error), or tuples "
                              "in that order; `error` makes the error objects from (kind, "
                              "game, offset, message).") },
        { 0, nullptr },
    };

    PyType_Spec game_reader_spec = {
        .name = "quarn_data._pgn.GameReader",
        .basicsize = sizeof(GameReaderObject),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        .slots = game_reader_slots,
    };

    // --- Column: a finished column handed over without a copy ------------------------------------

    struct ColumnObject {
        PyObject_HEAD std::shared_ptr<void> owner;
        void* data;
        Py_ssize_t bytes;
        Py_ssize_t itemsize;
        Py_ssize_t items;
        const char* format;
    };

    PyTypeObject* column_type = nullptr;

    // A plain request sees bytes; a request for the format sees items of the column's type.
    int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
        auto* object = reinterpret_cast<ColumnObject*>(self);
        // Even an empty column hands out a valid pointer.
        static char empty = 0;
        void* data = object->data ? object->data : &empty;
        if (PyBuffer_FillInfo(view, self, data, object->bytes, 0, flags) < 0)
            return -1;
        if (flags & PyBUF_FORMAT) {
            view->format = const_cast<char*>(object->format);
            view->itemsize = object->itemsize;
            if (flags & PyBUF_ND)
                view->shape = &object->items;
        }
        return 0;
    }

    void column_dealloc(PyObject* self) {
        auto* object = reinterpret_cast<ColumnObject*>(self);
        using Owner = std::shared_ptr<void>;
        object->owner.~Owner();
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    }

    PyType_Slot column_slots[] = {
        { Py_bf_getbuffer, reinterpret_cast<void*>(column_getbuffer) },
        { Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc) },
        { Py_tp_doc, const_cast<char*>("A column of training rows, readable as a buffer.") },
        { 0, nullptr },
    };

    PyType_Spec column_spec = {
        .name = "quarn_data._pgn.Column",
        .basicsize = sizeof(ColumnObject),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        .slots = column_slots,
    };

    // A buffer of `count` values at `data`, kept alive by `owner`.
    template <class T>
    PyObject* new_buffer(
        const std::shared_ptr<void>& owner, const T* data, std::size_t count, const char* format) {
        auto* object = PyObject_New(ColumnObject, column_type);
        if (object == nullptr)
            return nullptr;
        new (&object->owner) std::shared_ptr<void>(owner);
        object->data = const_cast<T*>(data);
        object->bytes = static_cast<Py_ssize_t>(count * sizeof(T));
        object->itemsize = static_cast<Py_ssize_t>(sizeof(T));
        object->items = static_cast<Py_ssize_t>(count);
        object->format = format;
        return reinterpret_cast<PyObject*>(object);
    }

    template <class T>
    PyObject* new_column(
        const std::shared_ptr<PositionColumns>& owner, Column<T>& values, const char* format) {
        return new_buffer(owner, values.data(), values.size(), format);
    }

    // --- ArrayReader -----------------------------------------------------------------------------

    struct ArrayState {
        ArrayState(GameFilter filter, bool planes, bool strict)
            : builder(shared_generator(), std::move(filter), planes, strict)
            , reader(builder) { }
        ArrayBuilder builder;
        PgnReader reader;
        bool finished = false;
    };

    struct ArrayReaderObject {
        PyObject_HEAD ArrayState* state;
        std::atomic<bool> busy;
    };

    Parameter array_reader_parameter_list[] = { { "planes" }, { "strict" }, { "min_elo" },
        { "min_time_control" }, { "max_time_control" }, { "events" }, { "terminations" },
        { "finished_only" }, { "size_hint" } };
    Parameters array_reader_parameters { "ArrayReader()", array_reader_parameter_list, 0 };

    bool string_set(const char* name, PyObject* value, std::vector<std::string>& out) {
        if (value == nullptr || value == Py_None)
            return true;
        OwnedRef items(PySequence_Fast(value, "a sequence of str"));
        if (!items) {
            py::argument_type_error(name, value, "Sequence[str]");
            return false;
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
        for (Py_ssize_t i = 0; i < n; ++i) {
            std::string_view text;
            if (!py::str_argument(name, PySequence_Fast_GET_ITEM(items.get(), i), text))
                return false;
            out.emplace_back(text);
        }
        // An empty set given on purpose admits nothing; the filter treats empty as "all", so a
        // value no tag can hold stands in.
        if (n == 0)
            out.emplace_back("\n");
        return true;
    }

    bool number_value(const char* name, PyObject* value, double& out) {
        if (value == nullptr || value == Py_None)
            return true;
        out = PyFloat_AsDouble(value);
        if (out == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            py::argument_type_error(name, value, "float");
            return false;
        }
        if (!(out >= 0)) {
            PyErr_Format(PyExc_ValueError, "%s must be a number of seconds >= 0", name);
            return false;
        }
        return true;
    }

    // The filter from the arguments min_elo, min_time_control, max_time_control, events and
    // terminations, in that order.
    bool filter_values(PyObject* const* values, GameFilter& filter) {
        if (values[0] != nullptr && values[0] != Py_None) {
            const long elo = PyLong_AsLong(values[0]);
            if (elo == -1 && PyErr_Occurred())
                return false;
            if (elo < 0 || elo > 32767) {
                PyErr_SetString(PyExc_ValueError, "min_elo must be in 0..32767");
                return false;
            }
            filter.min_elo = static_cast<int>(elo);
        }
        return number_value("min_time_control", values[1], filter.min_time_control)
            && number_value("max_time_control", values[2], filter.max_time_control)
            && string_set("events", values[3], filter.events)
            && string_set("terminations", values[4], filter.terminations);
    }

    // A size_hint argument: the expected input bytes (0 when not given).
    bool size_hint_value(PyObject* value, std::size_t& hint) {
        hint = 0;
        if (value == nullptr || value == Py_None)
            return true;
        const long long given = PyLong_AsLongLong(value);
        if (given == -1 && PyErr_Occurred())
            return false;
        hint = given > 0 ? static_cast<std::size_t>(std::min<long long>(given, 1LL << 34)) : 0;
        return true;
    }

    PyObject* array_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guard([&]() -> PyObject* {
            PyObject* values[9] = {};
            if (!py::match_arguments(array_reader_parameters, args, kwargs, values))
                return nullptr;
            bool planes = false;
            bool strict = false;
            bool finished_only = true;
            GameFilter filter;
            if (!flag_value(values[0], false, planes) || !flag_value(values[1], false, strict)
                || !flag_value(values[7], true, finished_only))
                return nullptr;
            filter.finished_only = finished_only;
            if (!filter_values(values + 2, filter))
                return nullptr;
            OwnedRef self(type->tp_alloc(type, 0));
            if (!self)
                return nullptr;
            auto* object = reinterpret_cast<ArrayReaderObject*>(self.get());
            new (&object->busy) std::atomic<bool>(false);
            object->state = new ArrayState(std::move(filter), planes, strict);
            // The expected input size reserves the columns up front (they grow without copying
            // anyway, but fewer times): Lichess games take about 8 bytes a ply without
            // annotations, more with them.
            if (values[8] != nullptr && values[8] != Py_None) {
                const long long hint = PyLong_AsLongLong(values[8]);
                if (hint == -1 && PyErr_Occurred())
                    return nullptr;
                if (hint > 0)
                    object->state->builder.reserve(
                        static_cast<std::size_t>(std::min<long long>(hint, 1LL << 34) / 8));
            }
            return self.release();
        });
    }

    void array_reader_dealloc(PyObject* self) {
        auto* object = reinterpret_cast<ArrayReaderObject*>(self);
        delete object->state;
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    }

    PyObject* counts_dict(const PgnCounts& c) {
        return py::created(
            Py_BuildValue("{sKsKsKsKsKsKsK}", "games", static_cast<unsigned long long>(c.games),
                "good", static_cast<unsigned long long>(c.good), "bad",
                static_cast<unsigned long long>(c.bad), "filtered",
                static_cast<unsigned long long>(c.filtered), "variant",
                static_cast<unsigned long long>(c.variant), "unfinished",
                static_cast<unsigned long long>(c.unfinished), "positions",
                static_cast<unsigned long long>(c.positions)),
            "failed to create counts");
    }

    PyObject* errors_list(const std::vector<PgnError>& errors) {
        OwnedRef list(py::created(
            PyList_New(static_cast<Py_ssize_t>(errors.size())), "failed to create list"));
        for (std::size_t i = 0; i < errors.size(); ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), error_tuple(errors[i]));
        return list.release();
    }

    bool usable(ArrayState& state) {
        if (state.finished) {
            PyErr_SetString(PyExc_ValueError, "the reader has finished");
            return false;
        }
        return true;
    }

    PyObject* array_reader_feed(PyObject* self, PyObject* data) {
        return guard([&]() -> PyObject* {
            auto* object = reinterpret_cast<ArrayReaderObject*>(self);
            const InUse in_use(object->busy, READER_IN_USE);
            if (!in_use.ok() || !usable(*object->state))
                return nullptr;
            Bytes bytes;
            if (!bytes.take(data))
                return nullptr;
            ArrayState& state = *object->state;
            bool going = true;
            without_gil([&] { going = state.reader.feed(bytes.text()); });
            return PyBool_FromLong(going);
        });
    }

    PyObject* array_reader_counts(PyObject* self, PyObject*) {
        return guard([&]() -> PyObject* {
            auto* object = reinterpret_cast<ArrayReaderObject*>(self);
            const InUse in_use(object->busy, READER_IN_USE);
            if (!in_use.ok())
                return nullptr;
            return counts_dict(object->state->builder.counts());
        });
    }

    // Ends the input and hands the columns over: (columns, counts, errors), columns a dict of
    // name -> Column (a buffer of the column's type; the pieces column is "packed" or "planes").
    PyObject* array_reader_finish(PyObject* self, PyObject*) {
        return guard([&]() -> PyObject* {
            auto* object = reinterpret_cast<ArrayReaderObject*>(self);
            const InUse in_use(object->busy, READER_IN_USE);
            if (!in_use.ok() || !usable(*object->state))
                return nullptr;
            ArrayState& state = *object->state;
            without_gil([&] {
                state.reader.finish();
                state.builder.finish();
            });
            state.finished = true;
            const std::shared_ptr<PositionColumns> owner = state.builder.shared_columns();
            PositionColumns& c = *owner;
            OwnedRef columns(py::created(PyDict_New(), "failed to create dict"));
            const auto add = [&](const char* name, PyObject* column) {
                OwnedRef held(column);
                return held && PyDict_SetItemString(columns.get(), name, held.get()) == 0;
            };
            const bool ok
                = (state.builder.planes_layout() ? add("planes", new_column(owner, c.planes, "B"))
                                                 : add("packed", new_column(owner, c.packed, "Q")))
                && add("turn", new_column(owner, c.turn, "B"))
                && add("castling", new_column(owner, c.castling, "B"))
                && add("ep_file", new_column(owner, c.ep_file, "b"))
                && add("halfmove", new_column(owner, c.halfmove, "H"))
                && add("move", new_column(owner, c.move, "H"))
                && add("promotion", new_column(owner, c.promotion, "B"))
                && add("game", new_column(owner, c.game, "q"))
                && add("ply", new_column(owner, c.ply, "H"))
                && add("result", new_column(owner, c.result, "b"))
                && add("white_elo", new_column(owner, c.white_elo, "h"))
                && add("black_elo", new_column(owner, c.black_elo, "h"))
                && add("eval", new_column(owner, c.eval, "f"))
                && add("mate", new_column(owner, c.mate, "h"))
                && add("clock", new_column(owner, c.clock, "f"));
            if (!ok)
                return nullptr;
            OwnedRef counts(counts_dict(state.builder.counts()));
            OwnedRef errors(errors_list(state.builder.errors()));
            return py::created(
                PyTuple_Pack(3, columns.get(), counts.get(), errors.get()), "failed to pack");
        });
    }

    PyObject* array_reader_offset(PyObject* self, void*) {
        return PyLong_FromUnsignedLongLong(
            reinterpret_cast<ArrayReaderObject*>(self)->state->reader.offset());
    }

    PyMethodDef array_reader_methods[] = {
        { "feed", array_reader_feed, METH_O,
            "feed($self, data, /)\n--\n\nReads a chunk of PGN bytes; False once a strict reader "
            "stopped." },
        { "counts", array_reader_counts, METH_NOARGS,
            "counts($self, /)\n--\n\nThe counts so far." },
        { "finish", array_reader_finish, METH_NOARGS,
            "finish($self, /)\n--\n\nEnds the input; returns (columns, counts, errors)." },
        { nullptr, nullptr, 0, nullptr },
    };

    PyGetSetDef array_reader_getset[] = {
        { "offset", array_reader_offset, nullptr, "Bytes consumed so far.", nullptr },
        { nullptr, nullptr, nullptr, nullptr, nullptr },
    };

    PyType_Slot array_reader_slots[] = {
        { Py_tp_new, reinterpret_cast<void*>(array_reader_new) },
        { Py_tp_dealloc, reinterpret_cast<void*>(array_reader_dealloc) },
        { Py_tp_methods, array_reader_methods },
        { Py_tp_getset, array_reader_getset },
        { Py_tp_doc,
            const_cast<char*>(
                "ArrayReader(planes=False, strict=False, min_elo=None, "
                "min_time_control=None, max_time_control=None, events=None, "
                "terminations=None, finished_only=True, size_hint=None)\n--\n\nPGN bytes to "
                "training columns, one row per position.") },
        { 0, nullptr },
    };

    PyType_Spec array_reader_spec = {
        .name = "quarn_data._pgn.ArrayReader",
        .basicsize = sizeof(ArrayReaderObject),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        .slots = array_reader_slots,
    };

    // --- TableReader -----------------------------------------------------------------------------

    struct TableState {
        TableState(GameFilter filter, bool strict)
            : builder(shared_generator(), std::move(filter), strict)
            , reader(builder) { }
        GameTableBuilder builder;
        PgnReader reader;
        bool finished = false;
    };

    struct TableReaderObject {
        PyObject_HEAD TableState* state;
        std::atomic<bool> busy;
    };

    Parameter table_reader_parameter_list[]
        = { { "strict" }, { "min_elo" }, { "min_time_control" }, { "max_time_control" },
              { "events" }, { "terminations" }, { "finished_only" }, { "size_hint" } };
    Parameters table_reader_parameters { "TableReader()", table_reader_parameter_list, 0 };

    PyObject* table_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guard([&]() -> PyObject* {
            PyObject* values[8] = {};
            if (!py::match_arguments(table_reader_parameters, args, kwargs, values))
                return nullptr;
            bool strict = false;
            bool finished_only = true;
            GameFilter filter;
            std::size_t hint = 0;
            if (!flag_value(values[0], false, strict) || !flag_value(values[6], true, finished_only)
                || !filter_values(values + 1, filter) || !size_hint_value(values[7], hint))
                return nullptr;
            filter.finished_only = finished_only;
            OwnedRef self(type->tp_alloc(type, 0));
            if (!self)
                return nullptr;
            auto* object = reinterpret_cast<TableReaderObject*>(self.get());
            new (&object->busy) std::atomic<bool>(false);
            object->state = new TableState(std::move(filter), strict);
            // Plain movetext takes about 6 bytes a ply, a Lichess game about 400 bytes of tags.
            if (hint > 0)
                object->state->builder.columns()->reserve(hint / 1000 + 16, hint / 8);
            return self.release();
        });
    }

    void table_reader_dealloc(PyObject* self) {
        auto* object = reinterpret_cast<TableReaderObject*>(self);
        delete object->state;
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    }

    bool table_usable(TableState& state) {
        if (state.finished) {
            PyErr_SetString(PyExc_ValueError, "the reader has finished");
            return false;
        }
        return true;
    }

    PyObject* table_reader_feed(PyObject* self, PyObject* data) {
        return guard([&]() -> PyObject* {
            auto* object = reinterpret_cast<TableReaderObject*>(self);
            const InUse in_use(object->busy, READER_IN_USE);
            if (!in_use.ok() || !table_usable(*object->state))
                return nullptr;
            Bytes bytes;
            if (!bytes.take(data))
                return nullptr;
            TableState& state = *object->state;
            bool going = true;
            without_gil([&] { going = state.reader.feed(bytes.text()); });
            return PyBool_FromLong(going);
        });
    }

    // Ends the input and hands the buffers over: (buffers, counts, errors), buffers a dict of
    // "<column>.<part>" -> Column (see the names below), tag columns under their tag's name.
    PyObject* table_reader_finish(PyObject* self, PyObject*) {
        return guard([&]() -> PyObject* {
            auto* object = reinterpret_cast<TableReaderObject*>(self);
            const InUse in_use(object->busy, READER_IN_USE);
            if (!in_use.ok() || !table_usable(*object->state))
                return nullptr;
            TableState& state = *object->state;
            without_gil([&] { state.reader.finish(); });
            state.finished = true;
            if (state.builder.too_large()) {
                PyErr_SetString(PyExc_ValueError,
                    "the input is too large for one table (over 2**31 moves or bytes of a tag "
                    "column): convert it into shards");
                return nullptr;
            }
            const std::shared_ptr<TableColumns>& shared = state.builder.columns();
            const std::shared_ptr<void> owner = shared;
            const TableColumns& c = *shared;
            OwnedRef buffers(py::created(PyDict_New(), "failed to create dict"));
            const auto add = [&](const std::string& name, PyObject* column) {
                OwnedRef held(column);
                return held && PyDict_SetItemString(buffers.get(), name.c_str(), held.get()) == 0;
            };
            const auto vec = [&](const std::string& name, const auto& values, const char* format) {
                return add(name, new_buffer(owner, values.data(), values.size(), format));
            };
            const auto text = [&](const std::string& name, const StringColumn& column) {
                return vec(name + ".offsets", column.offsets, "i")
                    && add(name + ".data",
                        new_buffer(owner, reinterpret_cast<const std::uint8_t*>(column.data.data()),
                            column.data.size(), "B"))
                    && vec(name + ".valid", column.valid, "B");
            };
            bool ok = vec("moves.offsets", c.moves.offsets, "i")
                && vec("moves.values", c.moves.values, "H") && text("fen", c.fen)
                && vec("result", c.result, "b") && vec("result.valid", c.result_valid, "B")
                && vec("white_elo", c.white_elo, "h")
                && vec("white_elo.valid", c.white_elo_valid, "B")
                && vec("black_elo", c.black_elo, "h")
                && vec("black_elo.valid", c.black_elo_valid, "B")
                && vec("time_base", c.time_base, "i")
                && vec("time_increment", c.time_increment, "i")
                && vec("time.valid", c.time_valid, "B") && vec("eval.offsets", c.eval.offsets, "i")
                && vec("eval.valid", c.eval.valid, "B") && vec("eval.values", c.eval.values, "h")
                && vec("eval.value_valid", c.eval.value_valid, "B")
                && vec("mate.values", c.mate, "h") && vec("mate.value_valid", c.mate_valid, "B")
                && vec("clock.offsets", c.clock.offsets, "i")
                && vec("clock.valid", c.clock.valid, "B")
                && vec("clock.values", c.clock.values, "i")
                && vec("clock.value_valid", c.clock.value_valid, "B") && vec("game", c.game, "q")
                && vec("offset", c.offset, "q") && vec("headers.offsets", c.header_offsets, "i")
                && text("headers.keys", c.header_keys) && text("headers.values", c.header_values);
            for (unsigned i = 0; ok && i < TABLE_TAG_COUNT; ++i)
                ok = text(std::string(TABLE_TAG_NAMES[i]), c.tags[i]);
            if (!ok)
                return nullptr;
            OwnedRef counts(counts_dict(state.builder.counts()));
            OwnedRef errors(errors_list(state.builder.errors()));
            return py::created(
                PyTuple_Pack(3, buffers.get(), counts.get(), errors.get()), "failed to pack");
        });
    }

    PyObject* table_reader_offset(PyObject* self, void*) {
        return PyLong_FromUnsignedLongLong(
            reinterpret_cast<TableReaderObject*>(self)->state->reader.offset());
    }

    PyMethodDef table_reader_methods[] = {
        { "feed", table_reader_feed, METH_O,
            "feed($self, data, /)\n--\n\nReads a chunk of PGN bytes; False once a strict reader "
            "stopped." },
        { "finish", table_reader_finish, METH_NOARGS,
            "finish($self, /)\n--\n\nEnds the input; returns (buffers, counts, errors)." },
        { nullptr, nullptr, 0, nullptr },
    };

    PyGetSetDef table_reader_getset[] = {
        { "offset", table_reader_offset, nullptr, "Bytes consumed so far.", nullptr },
        { nullptr, nullptr, nullptr, nullptr, nullptr },
    };

    PyType_Slot table_reader_slots[] = {
        { Py_tp_new, reinterpret_cast<void*>(table_reader_new) },
        { Py_tp_dealloc, reinterpret_cast<void*>(table_reader_dealloc) },
        { Py_tp_methods, table_reader_methods },
        { Py_tp_getset, table_reader_getset },
        { Py_tp_doc,
            const_cast<char*>("TableReader(strict=False, min_elo=None, min_time_control=None, "
                              "max_time_control=None, events=None, terminations=None, "
                              "finished_only=True, size_hint=None)\n--\n\nPGN bytes to the "
                              "column buffers of a game table, one row per kept game.") },
        { 0, nullptr },
    };

    PyType_Spec table_reader_spec = {
        .name = "quarn_data._pgn.TableReader",
        .basicsize = sizeof(TableReaderObject),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        .slots = table_reader_slots,
    };

    // --- the module ---

    PyMethodDef module_methods[] = {
        { nullptr, nullptr, 0, nullptr },
    };

    PyModuleDef module_def = py::module_definition(
        "quarn_data._pgn", "The native PGN readers of quarn_data.", module_methods);

    py::ModuleOnce once { .refusal = "quarn_data._pgn does not support sub-interpreters" };

    PyObject* build_module() {
        OwnedRef module(PyModule_Create(&module_def));
        if (!module)
            return nullptr;
        OwnedRef game_reader(PyType_FromSpec(&game_reader_spec));
        OwnedRef array_reader(PyType_FromSpec(&array_reader_spec));
        OwnedRef table_reader(PyType_FromSpec(&table_reader_spec));
        OwnedRef column(PyType_FromSpec(&column_spec));
        if (!game_reader || !array_reader || !table_reader || !column)
            return nullptr;
        if (PyModule_AddObjectRef(module.get(), "GameReader", game_reader.get()) < 0
            || PyModule_AddObjectRef(module.get(), "ArrayReader", array_reader.get()) < 0
            || PyModule_AddObjectRef(module.get(), "TableReader", table_reader.get()) < 0
            || PyModule_AddObjectRef(module.get(), "Column", column.get()) < 0)
            return nullptr;
        column_type = reinterpret_cast<PyTypeObject*>(column.release());
        (void)shared_generator();
        return module.release();
    }

} // namespace

} // namespace quarn_chess::data_pgn

PyMODINIT_FUNC PyInit__pgn(void);

PyMODINIT_FUNC PyInit__pgn(void) {
    return quarn_chess::py::init_once(
        quarn_chess::data_pgn::once, quarn_chess::data_pgn::build_module);
}
