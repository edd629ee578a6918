// Shared pieces of quarn_data's native module: the Board class of quarn_chess, board arguments,
// releasing the interpreter lock, one caller at a time per object, and the NumPy arrays the
// encoders fill.
#pragma once

#include <Python.h>

#include "../python/args.h"
#include "../python/binding.h"

#include <atomic>
#include <cstddef>
#include <exception>
#include <vector>

namespace quarn_chess::data {

using py::BoardObject;

// quarn_chess.Board, fetched from the imported quarn_chess module by module initialisation and
// kept for the life of the process.
extern PyTypeObject* board_class;

// Sets board_class from the quarn_chess module unless done before; false with the exception set
// (ImportError when quarn_chess cannot be imported or its Board is not a class).
inline bool import_board_class() {
    if (board_class != nullptr)
        return true;
    py::OwnedRef chess(PyImport_ImportModule("quarn_chess"));
    if (!chess)
        return false;
    py::OwnedRef board(PyObject_GetAttrString(chess.get(), "Board"));
    if (!board)
        return false;
    if (!PyType_Check(board.get())) {
        PyErr_SetString(PyExc_ImportError, "quarn_chess.Board is not a class");
        return false;
    }
    board_class = reinterpret_cast<PyTypeObject*>(board.release());
    return true;
}

// The argument `name` as a Board, or nullptr with TypeError set.
inline BoardObject* board_argument(const char* name, PyObject* value) {
    if (!Py_IS_TYPE(value, board_class)) [[unlikely]] {
        py::argument_type_error(name, value, "Board");
        return nullptr;
    }
    return reinterpret_cast<BoardObject*>(value);
}

// Marks an object busy (its flag set) for the life of the holder, as its native calls work with
// the interpreter lock released; a second caller (another thread) is refused with RuntimeError
// and the given text, and must check ok().
class InUse {
public:
    InUse(std::atomic<bool>& flag, const char* refusal)
        : flag_(flag)
        , ok_(!flag.exchange(true)) {
        if (!ok_)
            PyErr_SetString(PyExc_RuntimeError, refusal);
    }
    ~InUse() {
        if (ok_)
            flag_.store(false);
    }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;
    bool ok() const { return ok_; }

private:
    std::atomic<bool>& flag_;
    bool ok_;
};

// Runs work() with the interpreter lock released. An exception thrown by work travels on once
// the lock is held again.
template <class Work> void without_gil(Work&& work) {
    std::exception_ptr failure;
    Py_BEGIN_ALLOW_THREADS try { work(); } catch (...) {
        failure = std::current_exception();
    }
    Py_END_ALLOW_THREADS if (failure) std::rethrow_exception(failure);
}

// The boards of a sequence, each checked, kept alive and borrowed shared until the holder goes:
// the batch encoders read them with the interpreter lock released.
class BorrowedBoards {
public:
    BorrowedBoards() = default;
    ~BorrowedBoards();
    BorrowedBoards(const BorrowedBoards&) = delete;
    BorrowedBoards& operator=(const BorrowedBoards&) = delete;

    // Fills the list from `boards` (any sequence); false with TypeError (not a sequence, an item
    // that is no Board) or RuntimeError (a board borrowed exclusively elsewhere) set.
    bool take(const char* name, PyObject* boards);

    const Board* const* data() const { return boards_.data(); }
    std::size_t size() const { return boards_.size(); }

private:
    std::vector<const Board*> boards_;
    std::vector<BoardObject*> objects_;
};

enum class Dtype { BOOL, UINT64, INT8, INT64, FLOAT32 };

// A NumPy array of the given dtype and shape, new and C-contiguous, with its data pointer; or
// nullptr with the exception set (NumPy missing raises ImportError).
PyObject* new_array(Dtype dtype, std::initializer_list<Py_ssize_t> shape, void** data);

// Holds the buffer of an `out=` argument after checking it the way NumPy checks outputs: dtype
// (TypeError), shape, C-contiguity and writability (ValueError), in that order.
class OutBuffer {
public:
    OutBuffer() = default;
    ~OutBuffer();
    OutBuffer(const OutBuffer&) = delete;
    OutBuffer& operator=(const OutBuffer&) = delete;

    bool take(PyObject* out, Dtype dtype, std::initializer_list<Py_ssize_t> shape);
    void* data() const { return view_.buf; }

private:
    Py_buffer view_ {};
    bool held_ = false;
};

} // namespace quarn_chess::data
