#include "registry.hpp"

#include "index/indexable.hpp"
#include "index/interfaces/interfaces.hpp"

namespace zarvex::registry {

std::span<const ClassEntry> classes() {
  static const ClassEntry entries[] = {
      {"Index", &index_type_object},
      {"Indexable", &indexable_type_object},
      {"FilteredIndex", &filtered_index_type_object},
      {"PyQueryExpr", &query_expr_type_object},
  };
  return entries;
}

}  // namespace zarvex::registry
