// Shared pieces of quarn_data's native module: the Board class of quarn_chess, board arguments,
// releasing the interpreter lock, and the NumPy arrays the encoders fill.
#pragma once

#include <Python.h>

#include "../python/binding.h"

#include <cstddef>
#include <exception>
#include <vector>

namespace quarn_chess::data {

using py::BoardObject;

// quarn_chess.Board, fetched from the imported quarn_chess module by module initialisation and
// kept for the life of the process.
extern PyTypeObject* board_class;

// The argument `name` as a Board, or nullptr with TypeError set.
inline BoardObject* board_argument(const char* name, PyObject* value) {
    if (!Py_IS_TYPE(value, board_class)) [[unlikely]] {
        py::argument_type_error(name, value, "Board");
        return nullptr;
    }
    return reinterpret_cast<BoardObject*>(value);
}

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
