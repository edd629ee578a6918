// PyInit__loader: game-table decoding and the loader's position window. Arrow buffers come in
// through the buffer protocol (no copy); position rows go out into NumPy arrays the caller made.
// All decoding and shuffling happens in src/games, with the interpreter lock released.
#include <Python.h>

#include "../../core/position_queries.h"
#include "../../core/tensors.h"
#include "../../games/pgn_data.h"
#include "../../games/position_pool.h"
#include "../../games/token_replay.h"
#include "../../python/binding.h"
#include "../../python/errors.h"
#include "../../python/module_once.h"
#include "../data.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace quarn_chess::data_loader {

namespace {

    using data::InUse;
    using data::without_gil;
    using py::guard;
    using py::OwnedRef;

    // The buffers of one call, released when the holder goes.
    class Views {
    public:
        Views() { views_.reserve(64); }
        ~Views() {
            for (Py_buffer& view : views_)
                PyBuffer_Release(&view);
        }
        Views(const Views&) = delete;
        Views& operator=(const Views&) = delete;

        // The buffer of `object` (None: none), its byte size in `bytes`; false with an exception.
        bool take(PyObject* object, bool writable, const void*& data, Py_ssize_t& bytes) {
            data = nullptr;
            bytes = 0;
            if (object == Py_None)
                return true;
            views_.emplace_back();
            if (PyObject_GetBuffer(object, &views_.back(),
                    writable ? PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS : PyBUF_C_CONTIGUOUS)
                < 0) {
                views_.pop_back();
                return false;
            }
            data = views_.back().buf;
            bytes = views_.back().len;
            return true;
        }

    private:
        std::vector<Py_buffer> views_; // reserved up front: the views never move
    };

    bool fail(const char* column, const char* what) {
        PyErr_Format(PyExc_ValueError, "column %s: %s", column, what);
        return false;
    }

    bool index_value(PyObject* object, std::int64_t& value) {
        value = PyLong_AsLongLong(object);
        return !(value == -1 && PyErr_Occurred());
    }

    // A validity bitmap (None: all valid) covering bits [offset, offset + count).
    bool take_validity(Views& views, PyObject* object, std::int64_t offset, std::int64_t count,
        const char* column, Validity& out) {
        const void* data = nullptr;
        Py_ssize_t bytes = 0;
        if (!views.take(object, false, data, bytes))
            return false;
        if (data != nullptr && bytes * 8 < offset + count)
            return fail(column, "the validity bitmap is too short");
        out.bits = static_cast<const std::uint8_t*>(data);
        out.offset = offset;
        return true;
    }

    // (validity, offset, values) for `rows` items of T.
    template <class T>
    bool take_values(Views& views, PyObject* layout, std::int64_t rows, const char* column,
        ArrowValues<T>& out) {
        if (layout == Py_None)
            return true;
        if (!PyTuple_Check(layout) || PyTuple_GET_SIZE(layout) != 3) {
            PyErr_Format(PyExc_TypeError, "column %s: expected (validity, offset, values)", column);
            return false;
        }
        std::int64_t offset = 0;
        if (!index_value(PyTuple_GET_ITEM(layout, 1), offset))
            return false;
        if (offset < 0)
            return fail(column, "negative offset");
        const void* data = nullptr;
        Py_ssize_t bytes = 0;
        if (!views.take(PyTuple_GET_ITEM(layout, 2), false, data, bytes))
            return false;
        if (rows > 0
            && (data == nullptr || bytes / static_cast<Py_ssize_t>(sizeof(T)) < offset + rows))
            return fail(column, "the values buffer is too short");
        out.values = static_cast<const T*>(data);
        out.offset = offset;
        return take_validity(
            views, PyTuple_GET_ITEM(layout, 0), offset, rows, column, out.validity);
    }

    // (validity, offset, offsets, item validity, item offset, items) for `rows` lists of T.
    template <class T>
    bool take_list(Views& views, PyObject* layout, std::int64_t rows, const char* column,
        ArrowList<T>& out, std::int64_t& items) {
        if (layout == Py_None)
            return true;
        if (!PyTuple_Check(layout) || PyTuple_GET_SIZE(layout) != 6) {
            PyErr_Format(PyExc_TypeError,
                "column %s: expected (validity, offset, offsets, item validity, item offset, "
                "items)",
                column);
            return false;
        }
        std::int64_t offset = 0;
        std::int64_t item_offset = 0;
        if (!index_value(PyTuple_GET_ITEM(layout, 1), offset)
            || !index_value(PyTuple_GET_ITEM(layout, 4), item_offset))
            return false;
        if (offset < 0 || item_offset < 0)
            return fail(column, "negative offset");
        const void* offsets = nullptr;
        Py_ssize_t offset_bytes = 0;
        if (!views.take(PyTuple_GET_ITEM(layout, 2), false, offsets, offset_bytes))
            return false;
        if (offsets == nullptr
            || offset_bytes / static_cast<Py_ssize_t>(sizeof(std::int32_t)) < offset + rows + 1)
            return fail(column, "the offsets buffer is too short");
        const void* values = nullptr;
        Py_ssize_t value_bytes = 0;
        if (!views.take(PyTuple_GET_ITEM(layout, 5), false, values, value_bytes))
            return false;
        items = std::max<std::int64_t>(
            0, value_bytes / static_cast<Py_ssize_t>(sizeof(T)) - item_offset);
        out.offsets = static_cast<const std::int32_t*>(offsets);
        out.offset = offset;
        out.items.values = static_cast<const T*>(values);
        out.items.offset = item_offset;
        return take_validity(views, PyTuple_GET_ITEM(layout, 0), offset, rows, column, out.validity)
            && take_validity(
                views, PyTuple_GET_ITEM(layout, 3), item_offset, items, column, out.items.validity);
    }

    // The batch layout the Python side builds from a record batch (quarn_data/loader.py):
    // (rows, first_game, moves, fen, result, white_elo, black_elo, game, eval, mate, clock).
    bool take_batch(Views& views, PyObject* layout, GameBatch& batch) {
        if (!PyTuple_Check(layout) || PyTuple_GET_SIZE(layout) != 11) {
            PyErr_SetString(PyExc_TypeError, "batch: expected a tuple of 11 entries");
            return false;
        }
        const auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(layout, i); };
        if (!index_value(item(0), batch.rows) || !index_value(item(1), batch.first_game))
            return false;
        if (batch.rows < 0)
            return fail("rows", "negative count");
        if (item(2) == Py_None)
            return fail("moves", "missing");
        const std::int64_t rows = batch.rows;
        return take_list(views, item(2), rows, "moves", batch.moves, batch.moves_items)
            && take_list(views, item(3), rows, "fen", batch.fen, batch.fen_items)
            && take_values(views, item(4), rows, "result", batch.result)
            && take_values(views, item(5), rows, "white_elo", batch.white_elo)
            && take_values(views, item(6), rows, "black_elo", batch.black_elo)
            && take_values(views, item(7), rows, "game", batch.game)
            && take_list(views, item(8), rows, "eval", batch.eval, batch.eval_items)
            && take_list(views, item(9), rows, "mate", batch.mate, batch.mate_items)
            && take_list(views, item(10), rows, "clock", batch.clock, batch.clock_items);
    }

    // The output columns, a tuple of 16 writable buffers or None in the order of
    // PositionColumnsOut, each with room for `rows` rows.
    bool take_out(Views& views, PyObject* layout, std::size_t rows, PositionColumnsOut& out) {
        if (!PyTuple_Check(layout) || PyTuple_GET_SIZE(layout) != 16) {
            PyErr_SetString(PyExc_TypeError, "out: expected a tuple of 16 arrays or None");
            return false;
        }
        void** slots[16]
            = { reinterpret_cast<void**>(&out.packed), reinterpret_cast<void**>(&out.planes),
                  reinterpret_cast<void**>(&out.turn), reinterpret_cast<void**>(&out.castling),
                  reinterpret_cast<void**>(&out.ep_file), reinterpret_cast<void**>(&out.halfmove),
                  reinterpret_cast<void**>(&out.move), reinterpret_cast<void**>(&out.promotion),
                  reinterpret_cast<void**>(&out.game), reinterpret_cast<void**>(&out.ply),
                  reinterpret_cast<void**>(&out.result), reinterpret_cast<void**>(&out.white_elo),
                  reinterpret_cast<void**>(&out.black_elo), reinterpret_cast<void**>(&out.eval),
                  reinterpret_cast<void**>(&out.mate), reinterpret_cast<void**>(&out.clock) };
        constexpr std::size_t BYTES[16]
            = { 8 * PACKED_SIZE, PLANES_SIZE, 1, 1, 1, 2, 2, 1, 8, 2, 1, 2, 2, 4, 2, 4 };
        for (Py_ssize_t i = 0; i < 16; ++i) {
            const void* data = nullptr;
            Py_ssize_t bytes = 0;
            if (!views.take(PyTuple_GET_ITEM(layout, i), true, data, bytes))
                return false;
            if (data != nullptr && static_cast<std::size_t>(bytes) < rows * BYTES[i]) {
                PyErr_Format(
                    PyExc_ValueError, "out: column %zd has room for fewer than %zu rows", i, rows);
                return false;
            }
            *slots[i] = const_cast<void*>(data);
        }
        if ((out.packed == nullptr) == (out.planes == nullptr)) {
            PyErr_SetString(PyExc_ValueError, "out: exactly one of packed and planes is needed");
            return false;
        }
        return true;
    }

    std::int64_t total_plies(const std::vector<std::int64_t>& plies) {
        std::int64_t total = 0;
        for (const std::int64_t n : plies)
            total += n;
        return total;
    }

    bool flag(PyObject* value, bool& out) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0)
            return false;
        out = truth != 0;
        return true;
    }

    // plies(batch) -> (total, longest): the positions of the batch and the longest game's plies.
    PyObject* module_plies(PyObject*, PyObject* layout) {
        return guard([&]() -> PyObject* {
            Views views;
            GameBatch batch;
            if (!take_batch(views, layout, batch))
                return nullptr;
            std::vector<std::int64_t> plies(static_cast<std::size_t>(batch.rows));
            std::optional<std::string> message;
            without_gil([&] { message = check_batch(batch, plies.data()); });
            if (message) {
                PyErr_SetString(PyExc_ValueError, message->c_str());
                return nullptr;
            }
            std::int64_t longest = 0;
            for (const std::int64_t n : plies)
                longest = std::max(longest, n);
            return Py_BuildValue("(LL)", static_cast<long long>(total_plies(plies)),
                static_cast<long long>(longest));
        });
    }

    // decode(batch, out, row, flip): every position of the batch's games as rows row.. of out.
    // A bad game raises ValueError naming it; rows written before it stay written.
    PyObject* module_decode(PyObject*, PyObject* const* args, Py_ssize_t count) {
        return guard([&]() -> PyObject* {
            if (count != 4) {
                PyErr_SetString(PyExc_TypeError, "decode() takes batch, out, row and flip");
                return nullptr;
            }
            Views views;
            GameBatch batch;
            std::int64_t row = 0;
            bool flip = false;
            if (!take_batch(views, args[0], batch) || !index_value(args[2], row)
                || !flag(args[3], flip))
                return nullptr;
            if (row < 0) {
                PyErr_SetString(PyExc_ValueError, "row must be >= 0");
                return nullptr;
            }
            std::vector<std::int64_t> plies(static_cast<std::size_t>(batch.rows));
            if (std::optional<std::string> message = check_batch(batch, plies.data())) {
                PyErr_SetString(PyExc_ValueError, message->c_str());
                return nullptr;
            }
            const std::int64_t total = total_plies(plies);
            PositionColumnsOut out;
            if (!take_out(views, args[1], static_cast<std::size_t>(row + total), out))
                return nullptr;
            std::optional<GameFault> fault;
            without_gil([&] {
                TokenReplay replay(shared_generator());
                std::size_t at = static_cast<std::size_t>(row);
                for (std::int64_t game = 0; game < batch.rows && !fault; ++game) {
                    const auto n = static_cast<std::size_t>(plies[static_cast<std::size_t>(game)]);
                    if (n == 0 && !(batch.fen.present() && batch.fen.validity.valid(game)))
                        continue;
                    fault = decode_game(replay, batch, game, flip, out, at);
                    at += n;
                }
            });
            if (fault) {
                PyErr_SetString(PyExc_ValueError, fault->message.c_str());
                return nullptr;
            }
            Py_RETURN_NONE;
        });
    }

    // --- Column: memory from the column cache of pgn_data.h ------------------------------------

    struct ColumnObject {
        PyObject_HEAD ColumnBlock* block;
        Py_ssize_t bytes;
    };

    int column_getbuffer(PyObject* self, Py_buffer* view, int flags) {
        auto* object = reinterpret_cast<ColumnObject*>(self);
        static char empty = 0;
        void* data = object->block->data() ? object->block->data() : &empty;
        return PyBuffer_FillInfo(view, self, data, object->bytes, 0, flags);
    }

    void column_dealloc(PyObject* self) {
        auto* object = reinterpret_cast<ColumnObject*>(self);
        delete object->block; // back to the cache
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    }

    PyType_Slot column_slots[] = {
        { Py_bf_getbuffer, reinterpret_cast<void*>(column_getbuffer) },
        { Py_tp_dealloc, reinterpret_cast<void*>(column_dealloc) },
        { Py_tp_doc, const_cast<char*>("Writable column memory, readable as a buffer.") },
        { 0, nullptr },
    };

    PyType_Spec column_spec = {
        .name = "quarn_data._loader.Column",
        .basicsize = sizeof(ColumnObject),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
        .slots = column_slots,
    };

    PyTypeObject* column_type = nullptr;

    // column(slot, bytes): `bytes` of column memory of the kind `slot` (the order of
    // PositionColumns: 0 packed, 1 planes, 2 turn ... 15 clock), recycled from freed columns of
    // that kind where the cache has some.
    PyObject* module_column(PyObject*, PyObject* const* args, Py_ssize_t count) {
        return guard([&]() -> PyObject* {
            if (count != 2) {
                PyErr_SetString(PyExc_TypeError, "column() takes slot and bytes");
                return nullptr;
            }
            std::int64_t slot = 0;
            std::int64_t bytes = 0;
            if (!index_value(args[0], slot) || !index_value(args[1], bytes))
                return nullptr;
            if (slot < 0 || slot > 15 || bytes < 0) {
                PyErr_SetString(PyExc_ValueError, "column(): slot in 0..15, bytes >= 0");
                return nullptr;
            }
            auto block = std::make_unique<ColumnBlock>(static_cast<unsigned>(slot));
            block->reserve(static_cast<std::size_t>(bytes));
            block->note_used(static_cast<std::size_t>(bytes));
            auto* object = PyObject_New(ColumnObject, column_type);
            if (object == nullptr)
                return nullptr;
            object->block = block.release();
            object->bytes = static_cast<Py_ssize_t>(bytes);
            return reinterpret_cast<PyObject*>(object);
        });
    }

    // --- Pool ------------------------------------------------------------------------------------

    struct PoolObject {
        PyObject_HEAD PositionPool* pool;
        std::atomic<bool> busy;
    };

    // One call at a time per pool: a second thread gets RuntimeError instead of a data race.
    constexpr const char* POOL_IN_USE = "the pool is in use by another thread";

    PyObject* pool_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guard([&]() -> PyObject* {
            int threads = 1;
            Py_ssize_t capacity = 0;
            static const char* names[] = { "threads", "capacity", nullptr };
            if (!PyArg_ParseTupleAndKeywords(
                    args, kwargs, "|in:Pool", const_cast<char**>(names), &threads, &capacity))
                return nullptr;
            if (threads < 1 || threads > 256) {
                PyErr_SetString(PyExc_ValueError, "threads must be in 1..256");
                return nullptr;
            }
            if (capacity < 0 || capacity > (Py_ssize_t { 1 } << 32)) {
                PyErr_SetString(PyExc_ValueError, "capacity must be in 0..2**32");
                return nullptr;
            }
            OwnedRef self(type->tp_alloc(type, 0));
            if (!self)
                return nullptr;
            auto* object = reinterpret_cast<PoolObject*>(self.get());
            new (&object->busy) std::atomic<bool>(false);
            object->pool = new PositionPool(shared_generator(), static_cast<unsigned>(threads),
                static_cast<std::size_t>(capacity));
            return self.release();
        });
    }

    void pool_dealloc(PyObject* self) {
        auto* object = reinterpret_cast<PoolObject*>(self);
        delete object->pool;
        PyTypeObject* type = Py_TYPE(self);
        type->tp_free(self);
        Py_DECREF(type);
    }

    PositionPool* usable(PyObject* self) { return reinterpret_cast<PoolObject*>(self)->pool; }

    // add(batch, strict) -> [(row, game, message), ...]: the bad games, skipped.
    PyObject* pool_add(PyObject* self, PyObject* const* args, Py_ssize_t count) {
        return guard([&]() -> PyObject* {
            if (count != 2) {
                PyErr_SetString(PyExc_TypeError, "add() takes batch and strict");
                return nullptr;
            }
            const InUse in_use(reinterpret_cast<PoolObject*>(self)->busy, POOL_IN_USE);
            if (!in_use.ok())
                return nullptr;
            Views views;
            GameBatch batch;
            bool strict = false;
            if (!take_batch(views, args[0], batch) || !flag(args[1], strict))
                return nullptr;
            std::vector<GameFault> faults;
            std::optional<std::string> message;
            PositionPool& pool = *usable(self);
            without_gil([&] { message = pool.add(batch, strict, faults); });
            if (message) {
                PyErr_SetString(PyExc_ValueError, message->c_str());
                return nullptr;
            }
            OwnedRef list(py::created(
                PyList_New(static_cast<Py_ssize_t>(faults.size())), "failed to create list"));
            for (std::size_t i = 0; i < faults.size(); ++i) {
                PyObject* entry = Py_BuildValue("(LLs)", static_cast<long long>(faults[i].row),
                    static_cast<long long>(faults[i].game), faults[i].message.c_str());
                if (entry == nullptr)
                    return nullptr;
                PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), entry);
            }
            return list.release();
        });
    }

    PyObject* pool_shuffle(PyObject* self, PyObject* seed) {
        return guard([&]() -> PyObject* {
            const InUse in_use(reinterpret_cast<PoolObject*>(self)->busy, POOL_IN_USE);
            if (!in_use.ok())
                return nullptr;
            const unsigned long long value = PyLong_AsUnsignedLongLongMask(seed);
            if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
                return nullptr;
            PositionPool& pool = *usable(self);
            without_gil([&] { pool.shuffle(value); });
            Py_RETURN_NONE;
        });
    }

    // take(start, count, flip, out, row)
    PyObject* pool_take(PyObject* self, PyObject* const* args, Py_ssize_t count) {
        return guard([&]() -> PyObject* {
            if (count != 5) {
                PyErr_SetString(PyExc_TypeError, "take() takes start, count, flip, out and row");
                return nullptr;
            }
            const InUse in_use(reinterpret_cast<PoolObject*>(self)->busy, POOL_IN_USE);
            if (!in_use.ok())
                return nullptr;
            std::int64_t start = 0;
            std::int64_t n = 0;
            std::int64_t row = 0;
            bool flip = false;
            if (!index_value(args[0], start) || !index_value(args[1], n) || !flag(args[2], flip)
                || !index_value(args[4], row))
                return nullptr;
            PositionPool& pool = *usable(self);
            if (start < 0 || n < 0 || row < 0
                || static_cast<std::size_t>(start + n) > pool.size()) {
                PyErr_SetString(PyExc_ValueError, "take(): rows outside the pool");
                return nullptr;
            }
            Views views;
            PositionColumnsOut out;
            if (!take_out(views, args[3], static_cast<std::size_t>(row + n), out))
                return nullptr;
            without_gil([&] {
                pool.take(static_cast<std::size_t>(start), static_cast<std::size_t>(n), flip, out,
                    static_cast<std::size_t>(row));
            });
            Py_RETURN_NONE;
        });
    }

    PyObject* pool_retain(PyObject* self, PyObject* start) {
        return guard([&]() -> PyObject* {
            const InUse in_use(reinterpret_cast<PoolObject*>(self)->busy, POOL_IN_USE);
            if (!in_use.ok())
                return nullptr;
            const Py_ssize_t value = PyLong_AsSsize_t(start);
            if (value == -1 && PyErr_Occurred())
                return nullptr;
            if (value < 0) {
                PyErr_SetString(PyExc_ValueError, "start must be >= 0");
                return nullptr;
            }
            PositionPool& pool = *usable(self);
            without_gil([&] { pool.retain(static_cast<std::size_t>(value)); });
            Py_RETURN_NONE;
        });
    }

    PyObject* pool_clear(PyObject* self, PyObject*) {
        return guard([&]() -> PyObject* {
            const InUse in_use(reinterpret_cast<PoolObject*>(self)->busy, POOL_IN_USE);
            if (!in_use.ok())
                return nullptr;
            usable(self)->clear();
            Py_RETURN_NONE;
        });
    }

    PyObject* pool_size(PyObject* self, void*) { return PyLong_FromSize_t(usable(self)->size()); }

    PyMethodDef pool_methods[] = {
        { "add", py::as_pycfunction(pool_add), METH_FASTCALL,
            "add($self, batch, strict, /)\n--\n\nDecodes the games of a batch into the window; "
            "returns the bad games as (row, game, message)." },
        { "shuffle", pool_shuffle, METH_O,
            "shuffle($self, seed, /)\n--\n\nOrders the window by a permutation drawn from seed." },
        { "take", py::as_pycfunction(pool_take), METH_FASTCALL,
            "take($self, start, count, flip, out, row, /)\n--\n\nWrites positions start.. of the "
            "order as rows row.. of out." },
        { "retain", pool_retain, METH_O,
            "retain($self, start, /)\n--\n\nKeeps only the positions from start on." },
        { "clear", pool_clear, METH_NOARGS, "clear($self, /)\n--\n\nEmpties the window." },
        { nullptr, nullptr, 0, nullptr },
    };

    PyGetSetDef pool_getset[] = {
        { "size", pool_size, nullptr, "Positions in the window.", nullptr },
        { nullptr, nullptr, nullptr, nullptr, nullptr },
    };

    PyType_Slot pool_slots[] = {
        { Py_tp_new, reinterpret_cast<void*>(pool_new) },
        { Py_tp_dealloc, reinterpret_cast<void*>(pool_dealloc) },
        { Py_tp_methods, pool_methods },
        { Py_tp_getset, pool_getset },
        { Py_tp_doc,
            const_cast<char*>(
                "Pool(threads=1, capacity=0)\n--\n\nA window of decoded positions, shuffled by a "
                "seed and taken in batches.") },
        { 0, nullptr },
    };

    PyType_Spec pool_spec = {
        .name = "quarn_data._loader.Pool",
        .basicsize = sizeof(PoolObject),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        .slots = pool_slots,
    };

    PyMethodDef module_methods[] = {
        { "column", py::as_pycfunction(module_column), METH_FASTCALL,
            "column(slot, bytes, /)\n--\n\nWritable column memory of a kind, recycled from "
            "freed columns." },
        { "plies", module_plies, METH_O,
            "plies(batch, /)\n--\n\n(positions, longest game) of a batch; checks its offsets." },
        { "decode", py::as_pycfunction(module_decode), METH_FASTCALL,
            "decode(batch, out, row, flip, /)\n--\n\nEvery position of the batch's games as rows "
            "row.. of out." },
        { nullptr, nullptr, 0, nullptr },
    };

    PyModuleDef module_def = py::module_definition("quarn_data._loader",
        "Game-table decoding and the loader's position window.", module_methods);

    py::ModuleOnce once { .refusal = "quarn_data._loader does not support sub-interpreters" };

    PyObject* build_module() {
        OwnedRef module(PyModule_Create(&module_def));
        if (!module)
            return nullptr;
        OwnedRef pool(PyType_FromSpec(&pool_spec));
        OwnedRef column(PyType_FromSpec(&column_spec));
        if (!pool || !column || PyModule_AddObjectRef(module.get(), "Pool", pool.get()) < 0
            || PyModule_AddObjectRef(module.get(), "Column", column.get()) < 0)
            return nullptr;
        column_type = reinterpret_cast<PyTypeObject*>(column.release());
        (void)shared_generator();
        return module.release();
    }

} // namespace

} // namespace quarn_chess::data_loader

PyMODINIT_FUNC PyInit__loader(void);

PyMODINIT_FUNC PyInit__loader(void) {
    return quarn_chess::py::init_once(
        quarn_chess::data_loader::once, quarn_chess::data_loader::build_module);
}
