// PyInit_quarn_chess: interpreter identity, the module object made once, and its classes.
#include <Python.h>

#include "binding.h"
#include "errors.h"

#include <atomic>
#include <cstdint>

namespace quarn_chess::py {

namespace {

    // The interpreter that first initialised the module; -1 until then. Objects of this module are
    // shared process-wide, so every other interpreter is turned away.
    std::atomic<std::int64_t> interpreter_id { -1 };

    // Made on the first initialisation and handed out again on every later one.
    PyObject* module_object = nullptr;

    PyModuleDef module_def = {
        .m_base = PyModuleDef_HEAD_INIT,
        .m_name = "quarn_chess",
        .m_doc = "",
        .m_size = 0,
        .m_methods = nullptr,
        .m_slots = nullptr,
        .m_traverse = nullptr,
        .m_clear = nullptr,
        .m_free = nullptr,
    };

    constexpr int MODULE_API_VERSION = 1013;

    // Appends `name` to __all__ (creating the list when the module has none) and sets the class as
    // the attribute `name`.
    bool add_class(PyObject* module, const char* name, PyTypeObject* type) {
        PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");
        if (all == nullptr) {
            OwnedRef list(PyList_New(0));
            if (!list || PyModule_AddObjectRef(module, "__all__", list.get()) < 0)
                return false;
            all = list.get();
        }
        OwnedRef text(PyUnicode_FromString(name));
        if (!text || PyList_Append(all, text.get()) < 0)
            return false;
        return PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) == 0;
    }

    PyObject* init_module() {
        const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (id == -1) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
            return nullptr;
        }
        std::int64_t expected = -1;
        if (!interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
            PyErr_SetString(PyExc_ImportError, "quarn_chess does not support sub-interpreters");
            return nullptr;
        }
        if (module_object != nullptr)
            return Py_NewRef(module_object);

        OwnedRef module(PyModule_Create2(&module_def, MODULE_API_VERSION));
        if (!module)
            return nullptr;
        if (!add_class(module.get(), "Board", board_type()))
            return nullptr;
        if (!add_class(module.get(), "MoveGenerator", move_generator_type()))
            return nullptr;
        module_object = Py_NewRef(module.get());
        return module.release();
    }

} // namespace

} // namespace quarn_chess::py

// Declared before its definition: g++ 12 warns about an exported function without a prior
// declaration.
PyMODINIT_FUNC PyInit_quarn_chess(void);

PyMODINIT_FUNC PyInit_quarn_chess(void) {
    return quarn_chess::py::guard(quarn_chess::py::init_module);
}
