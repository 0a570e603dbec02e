// The classes the module registers, in registration order. Each entry's
// get_type builds the type object once per process on first need and returns
// a borrowed reference (nullptr with an error set on failure).
#pragma once

#include <Python.h>

#include <span>

namespace zarvex::registry {

struct ClassEntry {
  const char* name;
  PyObject* (*get_type)();
};

std::span<const ClassEntry> classes();

}  // namespace zarvex::registry
