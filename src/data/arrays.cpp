// NumPy arrays through the buffer protocol, the checks on `out=` arrays, and borrowed board lists.
#include <Python.h>

#include "../python/args.h"
#include "data.h"

#include <cstring>
#include <iterator>
#include <string>
#include <string_view>

namespace quarn_chess::data {

namespace {

    struct DtypeInfo {
        const char* name; // NumPy's name
        Py_ssize_t itemsize;
        std::string_view formats; // buffer format characters that mean this dtype on this machine
    };

    // uint64 shows as 'L' where long is 64 bits (NumPy's choice) and as 'Q' elsewhere.
    constexpr DtypeInfo DTYPES[] = {
        { "bool", 1, "?" },
        { "uint64", 8, "LQ" },
        { "int8", 1, "b" },
        { "int64", 8, "lq" },
        { "float32", 4, "f" },
    };
    constexpr int DTYPE_COUNT = static_cast<int>(std::size(DTYPES));

    const DtypeInfo& info(Dtype dtype) { return DTYPES[static_cast<int>(dtype)]; }

    // numpy.empty and the three dtype objects, fetched on first use and kept for the process.
    PyObject* numpy_empty = nullptr;
    PyObject* dtype_objects[DTYPE_COUNT] = {};
    PyTypeObject* ndarray_type = nullptr;
    // Whether an ndarray's data pointer may be read straight from the object: NumPy keeps it as
    // the first field after the object header (PyArrayObject_fields, part of its stable ABI).
    // Checked once against the buffer protocol; without it every array goes through
    // PyObject_GetBuffer, which costs as much again as making the array.
    bool direct_data = false;

    void* header_data(PyObject* array) {
        void* data = nullptr;
        std::memcpy(&data, reinterpret_cast<const char*>(array) + sizeof(PyObject), sizeof(data));
        return data;
    }

    // The data pointer of a new C-contiguous ndarray, or nullptr with the exception set.
    void* array_data(PyObject* array) {
        if (direct_data && Py_IS_TYPE(array, ndarray_type))
            return header_data(array);
        Py_buffer view;
        if (PyObject_GetBuffer(array, &view, PyBUF_WRITABLE) < 0)
            return nullptr;
        void* data = view.buf;
        PyBuffer_Release(&view);
        return data;
    }

    bool load_numpy() {
        if (numpy_empty != nullptr)
            return true;
        py::OwnedRef numpy(PyImport_ImportModule("numpy"));
        if (!numpy)
            return false;
        py::OwnedRef dtype(PyObject_GetAttrString(numpy.get(), "dtype"));
        if (!dtype)
            return false;
        PyObject* objects[DTYPE_COUNT] = {};
        for (int i = 0; i < DTYPE_COUNT; ++i) {
            objects[i] = PyObject_CallFunction(dtype.get(), "s", DTYPES[i].name);
            if (objects[i] == nullptr) {
                for (int j = 0; j < i; ++j)
                    Py_DECREF(objects[j]);
                return false;
            }
        }
        PyObject* empty = PyObject_GetAttrString(numpy.get(), "empty");
        if (empty == nullptr) {
            for (PyObject* object : objects)
                Py_DECREF(object);
            return false;
        }
        for (int i = 0; i < DTYPE_COUNT; ++i)
            dtype_objects[i] = objects[i];
        numpy_empty = empty;

        PyObject* args[2] = { Py_None, dtype_objects[0] };
        py::OwnedRef size(PyLong_FromLong(64));
        if (!size)
            return false;
        args[0] = size.get();
        py::OwnedRef probe(PyObject_Vectorcall(numpy_empty, args, 2, nullptr));
        if (!probe)
            return false;
        ndarray_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(Py_TYPE(probe.get())));
        void* through_buffer = array_data(probe.get());
        if (through_buffer == nullptr)
            return false;
        direct_data = header_data(probe.get()) == through_buffer;
        return true;
    }

    std::string shape_text(const Py_ssize_t* shape, int ndim) {
        std::string text = "(";
        for (int i = 0; i < ndim; ++i) {
            if (i > 0)
                text += ", ";
            text += std::to_string(shape[i]);
        }
        if (ndim == 1)
            text += ",";
        return text + ")";
    }

    // The format of a buffer without its byte-order prefix, when that prefix means this machine's
    // order; empty otherwise.
    std::string_view native_format(const char* format) {
        std::string_view text = format ? format : "B";
        if (!text.empty() && (text[0] == '@' || text[0] == '=' || text[0] == '<'))
            text.remove_prefix(1);
        return text;
    }

} // namespace

PyObject* new_array(Dtype dtype, std::initializer_list<Py_ssize_t> shape, void** data) {
    if (!load_numpy())
        return nullptr;
    // The shape tuple of the last array of each dtype is kept: single-board calls ask for the
    // same shape every time.
    static PyObject* last_shape[DTYPE_COUNT] = {};
    PyObject*& cached = last_shape[static_cast<int>(dtype)];
    bool same = cached != nullptr && PyTuple_GET_SIZE(cached) == std::ssize(shape);
    Py_ssize_t i = 0;
    for (const Py_ssize_t n : shape)
        same = same && PyLong_AsSsize_t(PyTuple_GET_ITEM(cached, i++)) == n;
    if (!same) {
        py::OwnedRef dims(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
        if (!dims)
            return nullptr;
        i = 0;
        for (const Py_ssize_t n : shape) {
            PyObject* number = PyLong_FromSsize_t(n);
            if (number == nullptr)
                return nullptr;
            PyTuple_SET_ITEM(dims.get(), i++, number);
        }
        Py_XSETREF(cached, dims.release());
    }
    PyObject* args[2] = { cached, dtype_objects[static_cast<int>(dtype)] };
    py::OwnedRef array(PyObject_Vectorcall(numpy_empty, args, 2, nullptr));
    if (!array)
        return nullptr;
    *data = array_data(array.get());
    if (*data == nullptr)
        return nullptr;
    return array.release();
}

OutBuffer::~OutBuffer() {
    if (held_)
        PyBuffer_Release(&view_);
}

bool OutBuffer::take(PyObject* out, Dtype dtype, std::initializer_list<Py_ssize_t> shape) {
    const DtypeInfo& wanted = info(dtype);
    if (PyObject_GetBuffer(out, &view_, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
        PyErr_Clear();
        py::OwnedRef type_name(PyType_GetQualName(Py_TYPE(out)));
        PyErr_Format(PyExc_TypeError, "out must be a NumPy array of dtype %s, not '%S'",
            wanted.name, type_name.get());
        return false;
    }
    held_ = true;
    const std::string_view format = native_format(view_.format);
    if (format.size() != 1 || wanted.formats.find(format[0]) == std::string_view::npos
        || view_.itemsize != wanted.itemsize) {
        py::OwnedRef actual(PyObject_GetAttrString(out, "dtype"));
        if (!actual) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "out must have dtype %s, not buffer format '%s'",
                wanted.name, view_.format ? view_.format : "B");
        } else {
            PyErr_Format(
                PyExc_TypeError, "out must have dtype %s, not %S", wanted.name, actual.get());
        }
        return false;
    }
    bool shape_ok = view_.ndim == static_cast<int>(shape.size());
    Py_ssize_t i = 0;
    for (const Py_ssize_t n : shape)
        shape_ok = shape_ok && view_.shape[i++] == n;
    if (!shape_ok) {
        PyErr_Format(PyExc_ValueError, "out must have shape %s, not %s",
            shape_text(std::data(shape), static_cast<int>(shape.size())).c_str(),
            shape_text(view_.shape, view_.ndim).c_str());
        return false;
    }
    if (!PyBuffer_IsContiguous(&view_, 'C')) {
        PyErr_SetString(PyExc_ValueError, "out must be C-contiguous");
        return false;
    }
    if (view_.readonly) {
        PyErr_SetString(PyExc_ValueError, "out is read-only");
        return false;
    }
    return true;
}

BorrowedBoards::~BorrowedBoards() {
    for (BoardObject* object : objects_) {
        object->borrow.fetch_sub(1, std::memory_order_release);
        Py_DECREF(reinterpret_cast<PyObject*>(object));
    }
}

bool BorrowedBoards::take(const char* name, PyObject* boards) {
    py::OwnedRef sequence(PySequence_Fast(boards, ""));
    if (!sequence) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError))
            return false;
        PyErr_Clear();
        py::argument_type_error(name, boards, "Sequence[Board]");
        return false;
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    boards_.reserve(static_cast<std::size_t>(count));
    objects_.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = items[i];
        if (!Py_IS_TYPE(item, board_class)) {
            py::OwnedRef type_name(PyType_GetQualName(Py_TYPE(item)));
            PyErr_Format(PyExc_TypeError,
                "argument '%s': item %zd is a '%S' object, not a quarn_chess.Board", name, i,
                type_name.get());
            return false;
        }
        auto* object = reinterpret_cast<BoardObject*>(item);
        // The same steps as SharedBorrow, kept open until the destructor.
        std::uintptr_t current = object->borrow.load(std::memory_order_relaxed);
        do {
            if (current == py::EXCLUSIVELY_BORROWED) {
                PyErr_SetString(PyExc_RuntimeError, py::ALREADY_MUTABLY_BORROWED);
                return false;
            }
        } while (!object->borrow.compare_exchange_weak(
            current, current + 1, std::memory_order_acquire, std::memory_order_relaxed));
        Py_INCREF(item);
        objects_.push_back(object);
        boards_.push_back(&object->board);
    }
    return true;
}

} // namespace quarn_chess::data
