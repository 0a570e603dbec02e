#include "index/core/query/query_ops.hpp"

#include <algorithm>
#include <cctype>
#include <optional>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/container/inlined_vector.h"
#include "index/core/query/query.hpp"
#include "index/core/structures/string_interner/interner.hpp"
#include "py/boundary.hpp"
#include "support/internal_failure.hpp"
#include "support/memory.hpp"

namespace zarvex {

namespace {

const char* op_name(QueryExpr::Op op) {
  static const char* names[] = {"Eq", "Ne", "Gt", "Ge", "Lt", "Le", "Bt", "In", "Not", "And", "Or"};
  return names[static_cast<int>(op)];
}

std::string quote_path(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

QueryExpr leaf(QueryExpr::Op op, std::string_view attr, std::vector<PyValue> values) {
  return QueryExpr(op, CompactStr(attr), std::move(values), {});
}

Bitmap nested_eval(const QueryMap& map, const QueryExpr& sub) {
  return map.nested->get_direct_parents(map.nested->reduced_query(sub), map.attr_id);
}

// A combinator reachable along more than one path (held by another node or
// a Python handle as well) may be met again in the same walk; walks visit it
// once. Shared leaves are simply visited again: only shared combinators can
// make the expansion of a tree exponential. The count is only a hint: a
// wrong guess costs a repeated visit, never a wrong answer.
bool maybe_shared(const ExprPtr& p) { return p->is_combinator() && p.use_count() > 1; }

const char* bound_type_name(const PyValue& v) {
  if (PyObject* o = v.obj()) return Py_TYPE(o)->tp_name;
  switch (v.kind()) {
    case Kind::Int: return "int";
    case Kind::Float: return "float";
    case Kind::Str: return "str";
    case Kind::Bool: return "bool";
    default: return "object";
  }
}

[[noreturn]] void unorderable(const QueryExpr& e, const PyValue& bound) {
  std::string msg = op_name(e.op);
  for (char& c : msg) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  msg += " on attribute '";
  msg += e.attr.view();
  msg += "': a bound of type '";
  msg += bound_type_name(bound);
  msg += "' cannot be ordered";
  throw UnorderableBound(msg);
}

// Kinds that Python orders against something (numbers, texts, bytes, dates
// and times). Of the others, Indexable objects, None and plain enum members
// never have an order; containers and unknown objects are rejected by bt
// only (gt..le with them match nothing).
bool orderable(Kind k) {
  switch (k) {
    case Kind::Int:
    case Kind::Float:
    case Kind::Ratio:
    case Kind::Str:
    case Kind::Bytes:
    case Kind::Temporal: return true;
    default: return false;
  }
}

void validate_leaf(const QueryExpr& e) {
  switch (e.op) {
    case QueryExpr::Op::Gt:
    case QueryExpr::Op::Ge:
    case QueryExpr::Op::Lt:
    case QueryExpr::Op::Le:
      if (e.values[0].kind() == Kind::Ind || e.values[0].kind() == Kind::Identity) unorderable(e, e.values[0]);
      break;
    case QueryExpr::Op::Bt:
      for (const PyValue& bound : e.values)
        if (!orderable(bound.kind())) unorderable(e, bound);
      break;
    default: break;
  }
}

Bitmap evaluate_leaf(const QueryMapVec& maps, const Bitmap& universe, const QueryExpr& e) {
  using Op = QueryExpr::Op;
  if (e.op == Op::Ne) {
    Bitmap eq = evaluate_leaf(maps, universe, leaf(Op::Eq, e.attr.view(), {e.values[0]}));
    return Bitmap::andnot(universe, eq);
  }
  auto [head, tail] = attr_parts(e.attr.view());
  if (e.op == Op::In && !tail) {
    // One union of the values' sets (looked up unmasked where they can be),
    // then one intersection with the universe.
    std::optional<uint32_t> known = interner().get(head);
    const QueryMap* map = known && *known < maps.size() ? maps[*known].get() : nullptr;
    absl::InlinedVector<Bitmap, 4> found;
    absl::InlinedVector<const Bitmap*, 4> ptrs;
    found.reserve(e.values.size());
    for (const PyValue& v : e.values) {
      found.push_back(map && map->eq_by_lookup(v) ? map->lookup(v)
                                                  : evaluate_leaf(maps, universe, leaf(Op::Eq, e.attr.view(), {v})));
      ptrs.push_back(&found.back());
    }
    Bitmap acc = Bitmap::or_many(ptrs);
    acc.and_inplace(universe);
    return acc;
  }
  // A name that was never stored has no map in any index.
  std::optional<uint32_t> id = interner().get(head);
  if (!id || *id >= maps.size() || !maps[*id]) return Bitmap();
  const QueryMap& map = *maps[*id];
  if (tail) return nested_eval(map, leaf(e.op, *tail, e.values));
  switch (e.op) {
    case Op::Eq: return map.eq(e.values[0], universe);
    case Op::Gt: return map.gt(e.values[0], universe);
    case Op::Ge: return map.ge(e.values[0], universe);
    case Op::Lt: return map.lt(e.values[0], universe);
    case Op::Le: return map.le(e.values[0], universe);
    case Op::Bt: return map.bt(e.values[0], e.values[1], universe);
    default: fail("unexpected query expression");
  }
}

using Parts = absl::InlinedVector<Bitmap, 4>;

// An equality child of an And answered by look-up (an exact value, or a
// number filed by distinct value). Its set is not copied when the child is
// met: the And intersects it in place, where it lies, once every other child
// has answered (only the smallest set of the And is ever copied, to start
// the intersection).
struct ExactLookup {
  const QueryMap* map;  // null: the attribute has no map, nothing matches
  const PyValue* value;
};
using Lookups = absl::InlinedVector<ExactLookup, 4>;

// The lookup when `c` (a child of an And, not shared) is an equality that
// the map of a top-level attribute answers by look-up.
std::optional<ExactLookup> as_exact_lookup(const QueryMapVec& maps, const QueryExpr& c) {
  if (c.is_combinator() || c.op != QueryExpr::Op::Eq) return std::nullopt;
  const PyValue& v = c.values[0];
  if (!QueryMap::eq_is_exact(v) && !v.is_number()) return std::nullopt;
  auto [head, tail] = attr_parts(c.attr.view());
  if (tail) return std::nullopt;
  std::optional<uint32_t> id = interner().get(head);
  const QueryMap* map = id && *id < maps.size() ? maps[*id].get() : nullptr;
  if (map && !map->eq_by_lookup(v)) return std::nullopt;
  return ExactLookup{map, &v};
}

// Intersection of the children's answers `parts` and the deferred exact
// lookups, smallest first and in place.
Bitmap intersect(Parts& parts, const Lookups& lookups) {
  const size_t n = parts.size() + lookups.size();
  if (n == 0) return Bitmap();
  absl::InlinedVector<std::pair<uint64_t, size_t>, 8> order;  // (size, part index or parts.size() + lookup index)
  for (size_t i = 0; i < parts.size(); ++i) order.emplace_back(parts[i].cardinality(), i);
  for (size_t i = 0; i < lookups.size(); ++i) {
    const uint64_t size = lookups[i].map ? lookups[i].map->lookup_count(*lookups[i].value) : 0;
    if (size == 0) return Bitmap();
    order.emplace_back(size, parts.size() + i);
  }
  std::stable_sort(order.begin(), order.end());
  auto lookup = [&](size_t k) -> const ExactLookup& { return lookups[k - parts.size()]; };
  if (n >= 3) {
    // Every set where it lies, each look-up's under its read lock, all held
    // together for one intersection that makes only the answer's containers.
    absl::InlinedVector<const Bitmap*, 8> sets;
    Bitmap acc;
    auto gather = [&](auto& self, size_t i) -> bool {
      if (i == order.size()) {
        acc = Bitmap::and_many(sets);
        return true;
      }
      const size_t k = order[i].second;
      if (k < parts.size()) {
        sets.push_back(&parts[k]);
        return self(self, i + 1);
      }
      bool done = false;
      lookup(k).map->with_lookup_bitmap(*lookup(k).value, [&](const Bitmap& ids) {
        sets.push_back(&ids);
        done = self(self, i + 1);
      });
      return done;
    };
    if (gather(gather, 0)) return acc;
  }
  const size_t first = order[0].second;
  Bitmap acc;
  size_t next = 1;
  if (first < parts.size()) {
    acc = std::move(parts[first]);
  } else if (order.size() == 1) {
    acc = lookup(first).map->lookup(*lookup(first).value);
  } else {
    // The smallest set is a look-up: it is intersected with the second where
    // it lies (its ids are not copied first).
    const size_t second = order[1].second;
    const ExactLookup& one = lookup(first);
    next = 2;
    if (second < parts.size()) {
      acc = one.map->lookup_and(*one.value, parts[second]);
    } else if (!one.map->with_lookup_bitmap(*one.value, [&](const Bitmap& ids) {
                 acc = lookup(second).map->lookup_and(*lookup(second).value, ids);
               })) {
      acc = one.map->lookup(*one.value);
      next = 1;
    }
  }
  for (size_t i = next; i < order.size() && !acc.is_empty(); ++i) {
    const size_t k = order[i].second;
    if (k < parts.size()) {
      acc.and_inplace(parts[k]);
    } else {
      lookup(k).map->lookup_and_into(*lookup(k).value, acc);
    }
  }
  return acc;
}

Bitmap combine(const QueryExpr& e, const Bitmap& universe, Parts& parts, const Lookups& lookups) {
  using Op = QueryExpr::Op;
  switch (e.op) {
    case Op::And: return intersect(parts, lookups);
    case Op::Not: return Bitmap::andnot(universe, parts[0]);
    case Op::Or: {
      Bitmap acc;
      for (Bitmap& p : parts) acc.or_inplace(p);
      return acc;
    }
    default: fail("unexpected query expression");
  }
}

}  // namespace

QueryExpr::~QueryExpr() {
  if (children.empty()) return;
  std::vector<ExprPtr> pending = std::move(children);
  while (!pending.empty()) {
    ExprPtr node = std::move(pending.back());
    pending.pop_back();
    // The last holder takes the node's children before dropping it, so its
    // own destructor finds none. Another holder may drop its reference
    // meanwhile; that destructor then runs this loop for the subtree.
    if (node.use_count() == 1) {
      auto& kids = const_cast<std::vector<ExprPtr>&>(node->children);
      for (ExprPtr& k : kids) pending.push_back(std::move(k));
      kids.clear();
    }
  }
}

std::string QueryExpr::render() const {
  // Iterative pre-order walk: each stack entry is either a node to open or a
  // piece of text to emit once the entries above it are done.
  struct Step {
    const QueryExpr* node;
    const char* text;
  };
  std::string out;
  std::vector<Step> stack{{this, nullptr}};
  while (!stack.empty()) {
    Step step = stack.back();
    stack.pop_back();
    if (!step.node) {
      out += step.text;
      continue;
    }
    const QueryExpr& e = *step.node;
    out += op_name(e.op);
    out += "(";
    switch (e.op) {
      case Op::Not:
        stack.push_back({nullptr, ")"});
        stack.push_back({e.children[0].get(), nullptr});
        continue;
      case Op::And:
      case Op::Or: {
        out += "[";
        stack.push_back({nullptr, "])"});
        for (size_t i = e.children.size(); i-- > 0;) {
          stack.push_back({e.children[i].get(), nullptr});
          if (i) stack.push_back({nullptr, ", "});
        }
        continue;
      }
      case Op::In: {
        out += quote_path(e.attr.view()) + ", [";
        for (size_t i = 0; i < e.values.size(); ++i) {
          if (i) out += ", ";
          out += e.values[i].render();
        }
        out += "]";
        break;
      }
      default:
        out += quote_path(e.attr.view());
        for (const PyValue& v : e.values) out += ", " + v.render();
    }
    out += ")";
  }
  return out;
}

std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view path) {
  size_t k = path.find('.');
  if (k == std::string_view::npos) return {path, std::nullopt};
  return {path.substr(0, k), path.substr(k + 1)};
}

void validate_expr(const QueryExpr& root) {
  if (!root.is_combinator()) return validate_leaf(root);
  // Depth-first, left to right (the first offending leaf in reading order is
  // reported); shared nodes are checked once.
  absl::flat_hash_set<const QueryExpr*, absl::Hash<const QueryExpr*>, std::equal_to<const QueryExpr*>,
                      memory::UnfailingAllocator<const QueryExpr*>>
      seen;  // (grows through the reserve: support/memory.hpp)
  absl::InlinedVector<const QueryExpr*, 16> stack{&root};
  while (!stack.empty()) {
    const QueryExpr* e = stack.back();
    stack.pop_back();
    if (!e->is_combinator()) {
      validate_leaf(*e);
      continue;
    }
    for (size_t i = e->children.size(); i-- > 0;) {
      const ExprPtr& c = e->children[i];
      if (maybe_shared(c) && !seen.insert(c.get()).second) continue;
      stack.push_back(c.get());
    }
  }
}

Bitmap evaluate_query(const QueryMapVec& maps, const Bitmap& universe, const QueryExpr& root) {
  if (!root.is_combinator()) return evaluate_leaf(maps, universe, root);
  // Post-order over a heap stack: a frame collects its children's results
  // in `parts` and is combined once the last child is done. Results of
  // shared nodes are kept so that each is evaluated once.
  struct Frame {
    const QueryExpr* node;
    bool shared;
    size_t next = 0;
    Parts parts{};
    Lookups lookups{};
  };
  absl::flat_hash_map<const QueryExpr*, Bitmap, absl::Hash<const QueryExpr*>, std::equal_to<const QueryExpr*>,
                      memory::UnfailingAllocator<std::pair<const QueryExpr* const, Bitmap>>>
      memo;  // (grows through the reserve: support/memory.hpp)
  absl::InlinedVector<Frame, 4> stack;
  stack.push_back(Frame{&root, false});
  Bitmap result;
  bool returning = false;  // `result` holds the value of the frame just popped
  while (!stack.empty()) {
    Frame& f = stack.back();
    if (returning) {
      f.parts.push_back(std::move(result));
      returning = false;
    }
    const QueryExpr& e = *f.node;
    if (e.is_combinator() && f.next < e.children.size()) {
      const ExprPtr& c = e.children[f.next++];
      const bool shared = maybe_shared(c);
      if (shared) {
        if (auto it = memo.find(c.get()); it != memo.end()) {
          f.parts.push_back(it->second);
          continue;
        }
      }
      if (!c->is_combinator()) {
        if (e.op == QueryExpr::Op::And && !shared) {
          if (std::optional<ExactLookup> l = as_exact_lookup(maps, *c)) {
            f.lookups.push_back(*l);
            continue;
          }
        }
        f.parts.push_back(evaluate_leaf(maps, universe, *c));
        continue;
      }
      stack.push_back(Frame{c.get(), shared});  // `f` is not used past this point
      continue;
    }
    result = e.is_combinator() ? combine(e, universe, f.parts, f.lookups) : evaluate_leaf(maps, universe, e);
    if (f.shared) memo.emplace(f.node, result);
    stack.pop_back();
    returning = true;
  }
  return result;
}

void HashQuery::add(CompactStr name, std::vector<PyValue> values) {
  for (auto& entry : entries_) {
    if (entry.first == name) {
      entry.second = std::move(values);
      return;
    }
  }
  entries_.emplace_back(std::move(name), std::move(values));
}

namespace {
Bitmap hash_lookup(const QueryMapVec& maps, std::string_view name, const std::vector<PyValue>& values, bool& stop) {
  auto [head, tail] = attr_parts(name);
  // A name that was never stored has no map: nothing can match.
  std::optional<uint32_t> known = interner().get(head);
  if (!known || *known >= maps.size()) {
    stop = true;
    return Bitmap();
  }
  const QueryMap* map = maps[*known].get();
  if (!map) return Bitmap();
  if (tail) {
    HashQuery sub;
    sub.add(CompactStr(*tail), values);
    Bitmap inner;
    {
      MapsRead nested_maps(*map->nested->query_maps);
      inner = filter_index_by_hashes(*nested_maps, sub);
    }
    return map->nested->get_direct_parents(inner, map->attr_id);
  }
  std::optional<Bitmap> acc;
  for (const PyValue& v : values) {
    // Keyword queries never match numbers (exact fractions included).
    if (v.is_number() || v.kind() == Kind::Ratio) continue;
    Bitmap b = v.kind() == Kind::Temporal ? map->temporal_lookup(v) : map->exact_lookup(v);
    if (acc) {
      acc->or_inplace(b);
    } else {
      acc.emplace(std::move(b));
    }
  }
  return acc ? std::move(*acc) : Bitmap();
}
}  // namespace

Bitmap filter_index_by_hashes(const QueryMapVec& maps, const HashQuery& q) {
  if (q.empty()) return Bitmap();
  std::optional<Bitmap> acc;
  for (const auto& [name, values] : q.entries()) {
    if (acc && acc->is_empty()) return Bitmap();
    bool stop = false;
    Bitmap b = hash_lookup(maps, name.view(), values, stop);
    if (stop) return Bitmap();
    if (!acc) {
      acc = std::move(b);
    } else {
      acc->and_inplace(b);
    }
  }
  return std::move(*acc);
}

}  // namespace zarvex
