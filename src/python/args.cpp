// The argument matcher and the argument conversions, with their TypeError texts.
#include <Python.h>

#include "args.h"

#include <iterator>
#include <string>

namespace quarn_chess::py {

namespace {

    constexpr const char* UNKNOWN_TYPE_NAME = "<failed to extract type name>";
    constexpr Py_ssize_t NOT_A_PARAMETER = -1;
    constexpr Py_ssize_t LOOKUP_FAILED = -2;

    void raise_too_many_positional(const Parameters& parameters, Py_ssize_t given) {
        const Py_ssize_t count = std::ssize(parameters.list);
        const char* verb = given == 1 ? "was" : "were";
        if (parameters.required != count)
            PyErr_Format(PyExc_TypeError,
                "%s takes from %zd to %zd positional arguments but %zd %s given",
                parameters.full_name, parameters.required, count, given, verb);
        else
            PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given",
                parameters.full_name, count, given, verb);
    }

    // Index of the parameter that `key` names: interned names are compared by identity first (the
    // common case, as the compiler interns keyword names), then by string equality.
    Py_ssize_t parameter_index(Parameters& parameters, PyObject* key) {
        const Py_ssize_t count = std::ssize(parameters.list);
        for (Py_ssize_t i = 0; i < count; ++i) {
            Parameter& parameter = parameters.list[i];
            if (parameter.interned == nullptr) {
                parameter.interned = PyUnicode_InternFromString(parameter.name);
                if (parameter.interned == nullptr)
                    return LOOKUP_FAILED;
            }
            if (parameter.interned == key)
                return i;
        }
        if (!PyUnicode_Check(key))
            return NOT_A_PARAMETER;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (PyUnicode_Compare(key, parameters.list[i].interned) == 0)
                return i;
        }
        return NOT_A_PARAMETER;
    }

    bool place_keyword(Parameters& parameters, PyObject* key, PyObject* value, PyObject** values) {
        const Py_ssize_t index = parameter_index(parameters, key);
        if (index == LOOKUP_FAILED)
            return false;
        if (index == NOT_A_PARAMETER) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                parameters.full_name, key);
            return false;
        }
        if (values[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                parameters.full_name, parameters.list[index].name);
            return false;
        }
        values[index] = value;
        return true;
    }

    // "{full} missing 1 required positional argument: 'a'", or for several
    // "... missing 3 required positional arguments: 'a', 'b' and 'c'".
    bool check_required(const Parameters& parameters, PyObject* const* values) {
        std::string names;
        Py_ssize_t missing = 0;
        for (Py_ssize_t i = 0; i < parameters.required; ++i) {
            if (values[i] != nullptr) [[likely]]
                continue;
            ++missing;
            names += names.empty() ? "'" : "', '";
            names += parameters.list[i].name;
        }
        if (missing == 0) [[likely]]
            return true;
        names += "'";
        if (missing > 1)
            names.replace(names.rfind("', '"), 4, "' and '");
        PyErr_Format(PyExc_TypeError, "%s missing %zd required positional argument%s: %s",
            parameters.full_name, missing, missing == 1 ? "" : "s", names.c_str());
        return false;
    }

    // Raises the unprefixed conversion error "'{type}' object cannot be converted to '{target}'".
    void raise_downcast_error(PyObject* value, const char* target) {
        PyObject* type_name = PyType_GetQualName(Py_TYPE(value));
        if (type_name == nullptr) {
            PyErr_Clear();
            type_name = PyUnicode_FromString(UNKNOWN_TYPE_NAME);
            if (type_name == nullptr)
                return;
        }
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", type_name, target);
        Py_DECREF(type_name);
    }

    // A pending error of exactly TypeError, raised while converting the argument `name`, becomes
    // "argument '{name}': {message}" with the original as its cause; anything else stays as it is.
    void prefix_argument_error(const char* name) {
        PyObject* original = PyErr_GetRaisedException();
        if (!Py_IS_TYPE(original, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
            PyErr_SetRaisedException(original);
            return;
        }
        PyObject* message = PyUnicode_FromFormat("argument '%s': %S", name, original);
        if (message == nullptr) {
            Py_DECREF(original);
            return;
        }
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
        PyObject* prefixed = PyErr_GetRaisedException();
        PyException_SetCause(prefixed, original);
        PyErr_SetRaisedException(prefixed);
    }

} // namespace

bool match_arguments(Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
    PyObject* kwnames, PyObject** values) {
    if (nargs > std::ssize(parameters.list)) [[unlikely]] {
        raise_too_many_positional(parameters, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        values[i] = args[i];
    if (kwnames != nullptr) {
        const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            if (!place_keyword(parameters, PyTuple_GET_ITEM(kwnames, k), args[nargs + k], values))
                return false;
        }
    }
    return check_required(parameters, values);
}

bool match_arguments(Parameters& parameters, PyObject* args, PyObject* kwargs, PyObject** values) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > std::ssize(parameters.list)) [[unlikely]] {
        raise_too_many_positional(parameters, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        values[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            if (!place_keyword(parameters, key, value, values))
                return false;
        }
    }
    return check_required(parameters, values);
}

bool str_argument(const char* name, PyObject* value, std::string_view& text) {
    if (!PyUnicode_Check(value)) [[unlikely]] {
        argument_type_error(name, value, "PyString");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) [[unlikely]] {
        prefix_argument_error(name);
        return false;
    }
    text = std::string_view(data, static_cast<std::size_t>(size));
    return true;
}

PyObject* argument_type_error(const char* name, PyObject* value, const char* target) {
    raise_downcast_error(value, target);
    prefix_argument_error(name);
    return nullptr;
}

PyObject* receiver_type_error(PyObject* value, const char* target) {
    raise_downcast_error(value, target);
    return nullptr;
}

} // namespace quarn_chess::py
