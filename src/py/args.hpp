// Argument parsing and argument errors in the interpreter's own form.
//
// parse_fast() handles the fast calling convention with keywords for methods
// whose parameters may be given positionally or by name; it raises the
// interpreter's usual TypeErrors ("f() missing 1 required positional
// argument: 'b'", "f() got an unexpected keyword argument 'x'", ...).
// arg_error() rewrites the pending exception as "argument 'x': <message>",
// keeping its type.
#pragma once

#include <Python.h>

#include <initializer_list>
#include <string_view>

namespace zarvex::py {

// Fills out[i] (borrowed) for each of `names`; every parameter is required.
// Returns false with a TypeError set on failure.
bool parse_fast(const char* func, std::initializer_list<const char*> names, PyObject* const* args, Py_ssize_t nargs,
                PyObject* kwnames, PyObject** out);

// Prefixes the pending exception's message with "argument 'name': ".
void arg_error(const char* name);

// Sets `type` with "argument 'name': message".
void arg_error(const char* name, PyObject* type, const char* message);

// "'<type name>' object cannot be converted to '<target>'" as a TypeError for
// argument `name`.
void arg_type_error(const char* name, PyObject* obj, const char* target);

// UTF-8 text of argument `name`, which must be a str: a TypeError ("...
// cannot be converted to 'PyString'") or the encoding error, reported for the
// argument, is raised as py::PyErrorSet. The view lives as long as `obj`.
std::string_view str_arg(const char* name, PyObject* obj);

}  // namespace zarvex::py
