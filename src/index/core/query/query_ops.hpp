// Query evaluation: expression trees (QueryExpr) evaluated over the attribute
// maps of one index within a universe of ids, and keyword ("hash") queries
// answered from the exact-value maps alone.
//
// QueryExpr is an owned tree; copying copies every node (values share their
// Python objects). Dotted paths (a.b.c) descend one nested level per dot and
// map matches back to their holders through the nested slots' holders under
// that attribute.
// Both kinds of query follow dotted paths.
//
// Evaluation only reads; callers hold their index's query_maps for reading
// (and the universe's lock) for the whole evaluation. Expressions that cannot
// be evaluated ("not yet implemented") are rejected by validate_expr before
// any lock is taken.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/compact_str.hpp"
#include "index/core/index.hpp"
#include "index/value.hpp"
#include "support/bitmap.hpp"

namespace zarvex {

struct QueryExpr {
  enum class Op : uint8_t { Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or };
  Op op;
  CompactStr attr;                  // leaf variants
  std::vector<PyValue> values;      // Eq..Le: 1, Bt: lower and upper, In: the values
  std::vector<QueryExpr> children;  // Not: 1, And/Or: any

  std::string render() const;
};

// (head, tail): split at the first '.'; no dot gives no tail.
std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view path);

// Throws InternalFailure("not yet implemented") for comparisons the engine
// does not support: gt/ge/lt/le with an Indexable value, bt with a bound that
// is not a number (lower bound checked first).
void validate_expr(const QueryExpr& e);

Bitmap evaluate_query(const QueryMapVec& maps, const Bitmap& universe, const QueryExpr& e);

class HashQuery {
 public:
  void add(CompactStr name, std::vector<PyValue> values);
  bool empty() const { return entries_.empty(); }
  const std::vector<std::pair<CompactStr, std::vector<PyValue>>>& entries() const { return entries_; }

 private:
  std::vector<std::pair<CompactStr, std::vector<PyValue>>> entries_;
};

// Attached. A str value asks for that text; another iterable asks for any of
// its items (equal values collapse); anything else asks for itself. Value
// conversion errors propagate as Python errors (py::PyErrorSet); an error
// raised while stepping an iterator is an internal failure. `kwargs` may be
// null.
HashQuery kwargs_to_hash_query(PyObject* kwargs);

Bitmap filter_index_by_hashes(const QueryMapVec& maps, const HashQuery& q);

}  // namespace zarvex
