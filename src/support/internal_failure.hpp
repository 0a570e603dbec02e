// InternalFailure: the one C++ exception type for broken invariants, poisoned
// locks and the fixed failure messages of the core ("CenteredArray full",
// "not yet implemented", ...). It never carries a Python error: Python errors
// are raised at the boundary before native work starts. Every Python entry
// point turns it into the module's internal-failure exception (a
// BaseException subclass) with the same message.
//
// Python-free; safe to throw from any thread, attached or not.
#pragma once

#include <stdexcept>
#include <string>

namespace zarvex {

class InternalFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A comparison the engine cannot order: an ordering query (gt, ge, lt, le,
// bt) whose bound is of a kind that has no order here. It is a caller's
// mistake rather than a broken invariant, so it unwinds no lock (it is
// thrown before any is taken) and reaches Python as a subclass of the
// internal-failure exception that is also a TypeError.
class UnorderableBound : public InternalFailure {
 public:
  using InternalFailure::InternalFailure;
};

[[noreturn]] inline void fail(const char* message) { throw InternalFailure(message); }
[[noreturn]] inline void fail(const std::string& message) { throw InternalFailure(message); }

}  // namespace zarvex

// Checks an invariant in every build type; a violation ends the current call
// with an internal failure carrying `message`.
#define ZX_CHECK(cond, message)            \
  do {                                     \
    if (!(cond)) ::zarvex::fail(message);  \
  } while (0)
