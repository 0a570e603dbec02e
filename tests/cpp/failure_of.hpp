// The message of the InternalFailure that `f()` throws, or "<no failure>"
// when it returns normally. Other exceptions propagate and fail the test.
#pragma once

#include <string>
#include <utility>

#include "support/internal_failure.hpp"

namespace zarvex::testing {

template <class F>
std::string failure_of(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const InternalFailure& e) {
    return e.what();
  }
  return "<no failure>";
}

}  // namespace zarvex::testing
