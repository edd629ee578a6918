// PanicException, the standard-error report of a fault, and the mapping of failures to Python.
#include <Python.h>

#include "errors.h"

#include "../core/fault.h"

#include <cstdio>
#include <exception>
#include <new>
#include <source_location>
#include <string>
#include <string_view>

namespace quarn_chess::py {

namespace {

    constexpr const char* PANIC_EXCEPTION_NAME = "quarn_chess.PanicException";
    constexpr const char* PANIC_EXCEPTION_DOC
        = "Raised when native code called from Python fails an internal check.\n\n"
          "Like SystemExit, it derives from BaseException rather than Exception, so that it is not "
          "caught by 'except Exception' and normally propagates to the top level and ends the "
          "interpreter.";
    constexpr std::string_view UNKNOWN_FAULT = "internal fault without a message";

    PyObject* panic_exception = nullptr;

    // Created on the first fault and kept for the life of the process. It is deliberately not an
    // attribute of the module: code is not meant to catch it.
    PyObject* panic_exception_type() noexcept {
        if (panic_exception == nullptr) {
            panic_exception = PyErr_NewExceptionWithDoc(
                PANIC_EXCEPTION_NAME, PANIC_EXCEPTION_DOC, PyExc_BaseException, nullptr);
            if (panic_exception == nullptr)
                Py_FatalError("quarn_chess: cannot create PanicException while reporting a fault");
        }
        return panic_exception;
    }

    // Source paths can be absolute, depending on how the build invoked the compiler; the report
    // shows them from the project's "src/" on.
    std::string_view project_path(const char* file) noexcept {
        std::string_view path(file);
        const std::size_t at = path.rfind("/src/");
        if (at != std::string_view::npos)
            path.remove_prefix(at + 1);
        return path;
    }

    void report(std::string_view message, const std::source_location* where) noexcept {
        const int length = static_cast<int>(message.size());
        if (where != nullptr) {
            const std::string_view file = project_path(where->file_name());
            std::fprintf(stderr, "quarn_chess: internal fault at %.*s:%u: %.*s\n",
                static_cast<int>(file.size()), file.data(), static_cast<unsigned>(where->line()),
                length, message.data());
        } else {
            std::fprintf(stderr, "quarn_chess: internal fault: %.*s\n", length, message.data());
        }
        std::fflush(stderr);
    }

    // Reports the fault and raises PanicException(message). An exception the interpreter already
    // had pending (a result object it failed to create, a class it failed to build) becomes the
    // cause. Failing here is a second fault while handling the first, which ends the process.
    void raise_panic(std::string_view message, const std::source_location* where) noexcept {
        if (message.empty())
            message = UNKNOWN_FAULT;
        report(message, where);

        PyObject* pending = PyErr_GetRaisedException();
        PyObject* type = panic_exception_type();
        PyObject* text = PyUnicode_DecodeUTF8(
            message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
        PyObject* exception = text ? PyObject_CallOneArg(type, text) : nullptr;
        Py_XDECREF(text);
        if (exception == nullptr)
            Py_FatalError("quarn_chess: cannot raise PanicException while reporting a fault");
        if (pending != nullptr)
            PyException_SetCause(exception, pending);
        PyErr_SetObject(type, exception);
        Py_DECREF(exception);
    }

} // namespace

PyObject* value_error(const char* prefix, const Error& error) {
    const std::string text = prefix + error.message;
    PyObject* message
        = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (message != nullptr) {
        PyErr_SetObject(PyExc_ValueError, message);
        Py_DECREF(message);
    }
    return nullptr;
}

void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        Py_FatalError("quarn_chess: out of memory");
    } catch (const Fault& fault) {
        raise_panic(fault.what(), &fault.where());
    } catch (const std::exception& exception) {
        raise_panic(exception.what(), nullptr);
    } catch (...) {
        raise_panic({}, nullptr);
    }
}

} // namespace quarn_chess::py
