// InternalFailure: the one C++ exception type for broken invariants, poisoned
// locks and the fixed failure messages of the core ("CenteredArray full",
// "not yet implemented", ...). It never carries a Python error: Python errors
// are raised at the boundary before native work starts. Every Python entry
// point turns it into the module's internal-failure exception (a
// BaseException subclass) with the same message.
//
// Every InternalFailure object is counted on the thread that holds it while
// it lives (thrown, unwinding or being handled), so that a lock guard being
// unwound can tell a broken invariant (poison the lock) from an allocation
// failure or a Python error (release the lock and leave it healthy).
//
// Python-free; safe to throw from any thread, attached or not.
#pragma once

#include <stdexcept>
#include <string>

namespace zarvex {

namespace detail {
inline thread_local int t_live_failures = 0;
}

class InternalFailure : public std::runtime_error {
 public:
  explicit InternalFailure(const char* message) : std::runtime_error(message) { ++detail::t_live_failures; }
  explicit InternalFailure(const std::string& message) : std::runtime_error(message) { ++detail::t_live_failures; }
  InternalFailure(const InternalFailure& other) noexcept : std::runtime_error(other) { ++detail::t_live_failures; }
  InternalFailure& operator=(const InternalFailure&) noexcept = default;
  ~InternalFailure() override { --detail::t_live_failures; }
};

// InternalFailure objects alive on the calling thread.
inline int live_internal_failures() noexcept { return detail::t_live_failures; }

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
#define ZX_CHECK(cond, message)           \
  do {                                    \
    if (!(cond)) ::zarvex::fail(message); \
  } while (0)
