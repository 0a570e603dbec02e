#include "registry.hpp"

namespace zarvex::registry {

std::span<const ClassEntry> classes() {
  static const ClassEntry entries[] = {
      {"", nullptr},
  };
  return std::span<const ClassEntry>(entries, 0);
}

}  // namespace zarvex::registry
