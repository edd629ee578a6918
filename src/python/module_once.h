// Single-phase module initialisation shared by the extension modules: one interpreter, one module.
#pragma once

#include <Python.h>

#include "errors.h"

#include <atomic>
#include <cstdint>

namespace quarn_chess::py {

// What a module made once per process keeps between imports. The module's objects are shared
// process-wide, so only the interpreter that first initialised it may import it.
struct ModuleOnce {
    const char* refusal; // the ImportError text for any other interpreter
    std::atomic<std::int64_t> interpreter_id { -1 };
    PyObject* module = nullptr;
};

// The definition of a module without per-module state or slots.
inline PyModuleDef module_definition(const char* name, const char* doc, PyMethodDef* methods) {
    return {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = name,
        .m_doc = doc,
        .m_size = 0,
        .m_methods = methods,
        .m_slots = nullptr,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };
}

// The whole of a PyInit function, under the guard: a new reference to the module made before, or
// the one build() returns (a new reference, kept for later imports); nullptr with an exception set
// when the calling interpreter is not the first one (ImportError with once.refusal) or build()
// fails.
template <class Build> PyObject* init_once(ModuleOnce& once, Build&& build) noexcept {
    return guard([&]() -> PyObject* {
        const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            return nullptr;
        }
        std::int64_t expected = -1;
        if (!once.interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
            PyErr_SetString(PyExc_ImportError, once.refusal);
            return nullptr;
        }
        if (once.module != nullptr)
            return Py_NewRef(once.module);
        PyObject* module = build();
        if (module != nullptr)
            once.module = Py_NewRef(module);
        return module;
    });
}

} // namespace quarn_chess::py
