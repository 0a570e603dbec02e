// The exception boundary of every Python entry point.
//
// Inside an entry point, C++ code signals failure by throwing:
//  * PyErrorSet: a Python error is already set (raised before any native lock
//    is taken, so nothing is poisoned);
//  * InternalFailure (or any other std::exception): becomes the module's
//    internal-failure exception, a BaseException subclass created on first
//    use, with the failure text as message;
//  * UnorderableBound (an InternalFailure): becomes the internal-failure
//    exception's subclass that also derives from TypeError;
//  * std::bad_alloc: becomes MemoryError.
// Raising never fails in a way that hides the error: if a class cannot be
// created, the error of that attempt (MemoryError) is what stays set.
// `call` returns the entry point's result, or the given error value with the
// Python error set. The unwinding by which a finalising interpreter ends a
// thread is let through: it must reach the thread's start, and `call` is
// therefore not noexcept.
#pragma once

#include <Python.h>

#include <new>

#include "py/gil.hpp"
#include "support/internal_failure.hpp"

namespace zarvex::py {

struct PyErrorSet {};

// The module's internal-failure exception class (borrowed; created once).
PyObject* internal_error_type();

// Subclass of the internal-failure class and of TypeError, raised for a
// comparison the engine cannot order (borrowed; created once).
PyObject* unorderable_error_type();

// Sets the internal-failure exception with `message`.
void raise_internal(const char* message);
// Sets the unorderable-comparison exception with `message`.
void raise_unorderable(const char* message);

template <class R, class F>
R call(R on_error, F&& f) {
  try {
    return f();
  } catch (const PyErrorSet&) {
  } catch (const UnorderableBound& e) {
    raise_unorderable(e.what());
  } catch (const InternalFailure& e) {
    raise_internal(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_internal(e.what());
  } catch (...) {
    // The unwinding that ends a thread goes on (abi::__forced_unwind; it
    // carries no object, so it is recognised by thread_ending(), not caught
    // by type).
    if (thread_ending()) throw;
    raise_internal("unknown internal failure");
  }
  return on_error;
}

}  // namespace zarvex::py
