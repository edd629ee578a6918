// PyInit_quarn_chess: interpreter identity, the module object made once, and its classes.
#include <Python.h>

#include "binding.h"
#include "errors.h"
#include "module_once.h"

namespace quarn_chess::py {

namespace {

    ModuleOnce once { .refusal = "quarn_chess does not support sub-interpreters" };

    PyModuleDef module_def = module_definition("quarn_chess", "", nullptr);

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

    PyObject* build_module() {
        OwnedRef module(PyModule_Create2(&module_def, MODULE_API_VERSION));
        if (!module)
            return nullptr;
        if (!add_class(module.get(), "Board", board_type()))
            return nullptr;
        if (!add_class(module.get(), "MoveGenerator", move_generator_type()))
            return nullptr;
        return module.release();
    }

} // namespace

} // namespace quarn_chess::py

// Declared before its definition: g++ 12 warns about an exported function without a prior
// declaration.
PyMODINIT_FUNC PyInit_quarn_chess(void);

PyMODINIT_FUNC PyInit_quarn_chess(void) {
    return quarn_chess::py::init_once(quarn_chess::py::once, quarn_chess::py::build_module);
}
