// Parameter tables and the argument matcher; every TypeError text of the binding comes from here.
#pragma once

#include <Python.h>

#include <span>
#include <string_view>

namespace quarn_chess::py {

// One parameter, positional-or-keyword. `interned` is the name as an interned str, made on the
// first call that passes keywords, so that keyword lookup can compare by identity first.
struct Parameter {
    const char* name;
    PyObject* interned = nullptr;
};

// What a method accepts: `full_name` as used in messages ("Board.push()"), the parameters in
// order, and how many of the leading ones are required.
struct Parameters {
    const char* full_name;
    std::span<Parameter> list;
    Py_ssize_t required;
};

// Matches a vector call against `parameters`, filling values[i] with a borrowed reference to the
// argument of parameter i (left untouched when not given). The checks run in this order: too
// many positional arguments; each keyword in turn (one that names no parameter, or a parameter
// already given); a missing required parameter. Returns false with TypeError set.
bool match_arguments(Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
    PyObject* kwnames, PyObject** values);

// The same for an argument tuple and an optional keyword dict (constructors and the call slot).
bool match_arguments(Parameters& parameters, PyObject* args, PyObject* kwargs, PyObject** values);

// The UTF-8 text of a str argument; it stays valid while the argument lives. A value that is no
// str raises "argument '{name}': '{type}' object cannot be converted to 'PyString'"; a str that
// cannot be encoded (a lone surrogate) raises the interpreter's UnicodeEncodeError unchanged.
// Returns false when it raised.
bool str_argument(const char* name, PyObject* value, std::string_view& text);

// Raises "argument '{name}': '{type}' object cannot be converted to '{target}'", with the
// unprefixed error as its cause; returns nullptr.
PyObject* argument_type_error(const char* name, PyObject* value, const char* target);

// Raises "'{type}' object cannot be converted to '{target}'" (a receiver of the wrong type);
// returns nullptr.
PyObject* receiver_type_error(PyObject* value, const char* target);

} // namespace quarn_chess::py
