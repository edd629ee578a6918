// How failures cross into Python: error values become ValueError, C++ exceptions PanicException.
#pragma once

#include <Python.h>

#include "../core/result.h"

namespace quarn_chess::py {

constexpr const char* INVALID_FEN = "Invalid fen: ";
constexpr const char* INVALID_CHESS_MOVE = "Invalid chess move: ";

// Raises ValueError with the text prefix + the error's message; returns nullptr.
PyObject* value_error(const char* prefix, const Error& error);

// Maps the C++ exception being handled to a Python exception: a Fault or any other
// std::exception becomes PanicException after a report on standard error; running out of
// memory ends the process. Call only from inside a catch block.
void raise_current_exception() noexcept;

// The one guard around every entry point: runs body and makes sure no C++ exception reaches the
// interpreter. Borrows and references held by RAII objects inside body are released while the
// exception unwinds, before it is mapped.
template <class Body> PyObject* guard(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        raise_current_exception();
        return nullptr;
    }
}

// The guard for deallocation, where nothing may be raised: a fault goes to the interpreter's
// unraisable-exception hook, named after the class (the dying object itself must not be handed
// out again). An exception already in flight when the object died is kept.
template <class Body> void guard_unraisable(PyTypeObject* type, Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        PyObject* in_flight = PyErr_GetRaisedException();
        raise_current_exception();
        PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
        PyErr_SetRaisedException(in_flight);
    }
}

} // namespace quarn_chess::py
