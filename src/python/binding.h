// Object layouts, class accessors and small reference helpers shared by the binding files.
#pragma once

#include <Python.h>

#include "../core/board.h"
#include "../core/fault.h"
#include "../core/move_generator.h"
#include "borrow.h"

#include <new>

namespace quarn_chess::py {

// Instances: the interpreter's header (what PyObject_HEAD declares), the native record inline,
// then the borrow word. The record is constructed in place by the constructor slot and destroyed
// by the dealloc slot.
struct BoardObject {
    PyObject ob_base;
    Board board;
    BorrowWord borrow;
};

struct MoveGeneratorObject {
    PyObject ob_base;
    MoveGenerator generator;
    BorrowWord borrow;
};

namespace detail {
    // Set once by the create functions and kept (with one reference) for the life of the process.
    extern PyTypeObject* board_type_object;
    extern PyTypeObject* move_generator_type_object;
    PyTypeObject* create_board_type();
    PyTypeObject* create_move_generator_type();
}

// The class objects, created on first use. A failure to create one is a Fault.
inline PyTypeObject* board_type() {
    PyTypeObject* type = detail::board_type_object;
    return type ? type : detail::create_board_type();
}

inline PyTypeObject* move_generator_type() {
    PyTypeObject* type = detail::move_generator_type_object;
    return type ? type : detail::create_move_generator_type();
}

// An owned reference, released when the holder goes out of scope (also while a Fault unwinds).
class OwnedRef {
public:
    explicit OwnedRef(PyObject* object = nullptr) noexcept
        : object_(object) { }
    ~OwnedRef() { Py_XDECREF(object_); }
    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept
        : object_(other.release()) { }
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        PyObject* old = object_;
        object_ = other.release();
        Py_XDECREF(old);
        return *this;
    }

    PyObject* get() const noexcept { return object_; }
    PyObject* release() noexcept {
        PyObject* object = object_;
        object_ = nullptr;
        return object;
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    PyObject* object_;
};

// A result object the interpreter failed to create is an internal fault; the interpreter's own
// exception becomes the cause of the PanicException.
inline PyObject* created(PyObject* object, const char* what,
    std::source_location where = std::source_location::current()) {
    if (object == nullptr) [[unlikely]]
        throw Fault(what, where);
    return object;
}

// Method tables hold every function as PyCFunction; the cast goes through void (*)(void) so
// that g++ does not warn about the differing parameter lists.
template <class Function> PyCFunction as_pycfunction(Function* function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function));
}

// Allocates an instance of `type` with the object allocator and lets construct(object) build the
// record in place; the borrow word starts at 0. Returns a new reference, or nullptr with the
// interpreter's exception set when allocation fails. If construct throws, the memory is handed
// back without running the record's destructor and the exception travels on.
// The memory is not zeroed first (the classes are not GC-tracked and have no items): every
// field is constructed before the instance is handed out.
// `memory`, when given, is a block of the object allocator of at least the type's size to use
// instead of a new one.
template <class Object, class Construct>
PyObject* new_instance(PyTypeObject* type, Construct&& construct, void* memory = nullptr) {
    if (memory == nullptr)
        memory = PyObject_Malloc(static_cast<std::size_t>(type->tp_basicsize));
    if (memory == nullptr)
        return PyErr_NoMemory();
    PyObject* self = PyObject_Init(static_cast<PyObject*>(memory), type);
    auto* object = reinterpret_cast<Object*>(self);
    try {
        construct(object);
    } catch (...) {
        type->tp_free(self);
        Py_DECREF(type);
        throw;
    }
    new (&object->borrow) BorrowWord(0);
    return self;
}

} // namespace quarn_chess::py
