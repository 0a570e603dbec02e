// Query evaluation: expression trees (QueryExpr) evaluated over the attribute
// maps of one index within a universe of ids, and keyword ("hash") queries
// answered from the exact-value maps alone.
//
// A QueryExpr node never changes once built, so combinators share their
// operands' nodes instead of copying them: building and_, or_ or not_ costs
// the number of operands, and copying a node copies its own fields only
// (values share their Python objects). Trees may be arbitrarily deep (a fold
// of 100,000 not_ is one chain) and, through sharing, may be DAGs whose
// expansion is exponential. Every walk over a tree is therefore iterative
// (evaluation, validation, rendering and destruction use a heap stack, never
// the C stack), and evaluation and validation visit a shared node once.
//
// Dotted paths (a.b.c) descend one nested level per dot and map matches back
// to their holders through the nested slots' holders under that attribute;
// that descent recurses once per level of real nesting, which indexing
// bounds (kMaxNestingDepth). Both kinds of query follow dotted paths.
//
// Evaluation only reads; callers hold their index's query_maps for reading
// (and the universe's lock) for the whole evaluation. Ordering comparisons
// that cannot be evaluated are rejected by validate_expr before any lock is
// taken.
#pragma once

#include <Python.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/compact_str.hpp"
#include "index/core/index.hpp"
#include "index/value.hpp"
#include "support/bitmap.hpp"

namespace zarvex {

struct QueryExpr;
using ExprPtr = std::shared_ptr<const QueryExpr>;

struct QueryExpr {
  enum class Op : uint8_t { Eq, Ne, Gt, Ge, Lt, Le, Bt, In, Not, And, Or };
  Op op;
  CompactStr attr;                // leaf variants
  std::vector<PyValue> values;    // Eq..Le: 1, Bt: lower and upper, In: the values
  std::vector<ExprPtr> children;  // Not: 1, And/Or: any; shared, never null

  QueryExpr(Op o, CompactStr a, std::vector<PyValue> v, std::vector<ExprPtr> c)
      : op(o), attr(std::move(a)), values(std::move(v)), children(std::move(c)) {}
  QueryExpr(const QueryExpr&) = default;
  QueryExpr(QueryExpr&&) noexcept = default;
  QueryExpr& operator=(const QueryExpr&) = delete;
  QueryExpr& operator=(QueryExpr&&) = delete;
  // Releases the children without recursion: nodes this one held last are
  // taken apart one at a time from a heap stack.
  ~QueryExpr();

  bool is_combinator() const { return op == Op::Not || op == Op::And || op == Op::Or; }
  std::string render() const;
};

// (head, tail): split at the first '.'; no dot gives no tail.
std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view path);

// Throws UnorderableBound for ordering comparisons whose bound has no order
// here: gt/ge/lt/le with an Indexable value, None or a plain enum member, bt
// with a bound that is not a number, text, bytes, date or time (lower bound
// checked first). The message names the comparison, the
// attribute and the bound's type. Reads only type names of the bounds, so it
// may run detached.
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

Bitmap filter_index_by_hashes(const QueryMapVec& maps, const HashQuery& q);

}  // namespace zarvex
