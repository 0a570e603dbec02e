#include "index/core/query/query.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "index/core/query/query_ops.hpp"

namespace zarvex {

QueryMap::QueryMap(const std::weak_ptr<IndexAPI>& owner_index, uint32_t attr)
    : exact(ExactMap::with_shard_count(16)), owner(owner_index), attr_id(attr) {
  std::shared_ptr<IndexAPI> strong = owner.lock();
  owner_items = strong ? strong->items : std::make_shared<RwLocked<ItemVec>>();
  nested = strong ? strong->nested_level() : IndexAPI::create(owner);
}

void QueryMap::insert(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case Kind::Int:
    case Kind::Float:
      insert_num_ordered(num_key_of(value), id);
      return;
    case Kind::Str:
    case Kind::Bool:
    case Kind::Unknown:
      insert_exact(value, id);
      return;
    case Kind::Ind:
      insert_exact(value, id);
      insert_indexable(value, id);
      return;
    case Kind::Iterable:
      for (const PyValue& element : *value.as_iterable().elements) insert(element, id);
      return;
  }
}

void QueryMap::insert_num_ordered(NumKey key, uint32_t id) {
  // The map files each (number, id) pair at most once, like the exact sets:
  // filing stays idempotent (a list holding one number twice, or a value
  // filed again by a racing registration, leaves one pair, which one
  // removal takes out).
  auto tree = num_ordered.write();
  if (tree->insert_once(key, id) && key.is_float && std::isnan(key.f))
    nan_entries.fetch_add(1, std::memory_order_relaxed);
}

void QueryMap::remove_num_ordered(NumIndex& tree, NumKey key, uint32_t id) {
  if (tree.remove(key, id) && key.is_float && std::isnan(key.f)) nan_entries.fetch_sub(1, std::memory_order_relaxed);
}

void QueryMap::insert_exact(const PyValue& value, uint32_t id) {
  auto shard = exact.get_shard(value);
  auto it = shard->find(value);
  if (it != shard->end()) {
    it->second.add(id);
  } else {
    shard->emplace(value, HybridSet::single(id));
  }
}

void QueryMap::insert_indexable(const PyValue& value, uint32_t holder) {
  IndexableRecord* rec = value.as_ind();
  // Nesting deeper than the limit is refused before anything changes
  // (check_nesting_depth); this guard only stops a racing writer that deepens
  // a structure meanwhile from exhausting the stack.
  if (nested->level > kMaxNestingDepth) return;
  // The child is taken a level down when some path from a top-level object to
  // the holder avoids it above the holder; when every path passes through it,
  // taking it would close a cycle (the walk would never end), so the holder
  // is marked and filed again if a new holder opens such a path.
  if (auto strong = owner.lock(); strong && !strong->reaches_root_avoiding(holder, rec->id)) {
    strong->mark_blocked(holder);
    return;
  }
  add_index_meta(*rec, nested);
  if (nested->store_nested(value.handle(), holder, attr_id)) queue_nesting(NestingOp::File, nested, value.handle());
}

void QueryMap::remove_id(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case Kind::Int:
    case Kind::Float: {
      auto tree = num_ordered.write();
      remove_num_ordered(*tree, num_key_of(value), id);
      return;
    }
    case Kind::Str:
    case Kind::Bool:
    case Kind::Unknown:
      remove_exact(value, id);
      return;
    case Kind::Ind:
      remove_exact(value, id);
      nested->remove(*value.as_ind(), id, attr_id);
      return;
    case Kind::Iterable:
      for (const PyValue& element : *value.as_iterable().elements) remove_id(element, id);
      return;
  }
}

void QueryMap::remove_exact(const PyValue& value, uint32_t id) {
  auto shard = exact.get_shard(value);
  auto it = shard->find(value);
  if (it != shard->end()) it->second.remove(id);
}

bool QueryMap::check_prune(const PyValue& value) {
  if (value.is_number() || value.kind() == Kind::Iterable) return false;  // never keys of `exact`
  auto shard = exact.get_shard(value);
  auto it = shard->find(value);
  if (it != shard->end() && it->second.is_empty()) {
    shard->erase(it);
    return true;
  }
  return false;
}

bool QueryMap::remove_value(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case Kind::Int:
    case Kind::Float: {
      auto tree = num_ordered.write();
      remove_num_ordered(*tree, num_key_of(value), id);
      return tree->is_empty();
    }
    case Kind::Iterable: {
      // Each element is unfiled as a value of its own, so entries left empty
      // (and the references their keys hold) go with the container.
      bool may_be_empty = false;
      for (const PyValue& element : *value.as_iterable().elements) may_be_empty |= remove_value(element, id);
      return may_be_empty;
    }
    default:
      remove_id(value, id);
      return check_prune(value);
  }
}

bool QueryMap::unfile(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case Kind::Str:
    case Kind::Bool:
    case Kind::Unknown:
    case Kind::Ind: {
      bool pruned = false;
      {
        auto shard = exact.get_shard(value);
        auto it = shard->find(value);
        if (it != shard->end()) {
          it->second.remove(id);
          if (it->second.is_empty()) {
            shard->erase(it);
            pruned = true;
          }
        }
      }
      if (value.kind() == Kind::Ind) nested->remove(*value.as_ind(), id, attr_id);
      return pruned;
    }
    case Kind::Iterable: {
      bool pruned = false;
      for (const PyValue& element : *value.as_iterable().elements) pruned |= unfile(element, id);
      return pruned;
    }
    default:
      return remove_value(value, id);
  }
}

bool QueryMap::is_empty() const {
  {
    auto tree = num_ordered.read();
    if (!tree->is_empty()) return false;
  }
  return exact.is_empty();
}

void QueryMap::remove(const Bitmap& keep, std::vector<PyValue>& pruned) {
  HybridSet k = HybridSet::from_bitmap(keep);
  exact.for_each_shard_write([&](ExactMap::Map& m) {
    for (auto it = m.begin(); it != m.end();) {
      it->second.and_inplace(k);
      if (it->second.is_empty()) {
        pruned.push_back(it->first);
        m.erase(it++);
      } else {
        ++it;
      }
    }
  });
}

std::vector<std::pair<PyValue, HybridSet>> QueryMap::exact_entries() const {
  std::vector<std::pair<PyValue, HybridSet>> out;
  exact.for_each_shard_read([&](const ExactMap::Map& m) {
    for (const auto& [key, ids] : m) out.emplace_back(key, ids);
  });
  return out;
}

std::optional<Groups> QueryMap::group_by(std::string_view path) const {
  auto [head, tail] = attr_parts(path);
  (void)head;
  Groups out;
  if (tail) {
    std::optional<Groups> inner = nested->group_by(*tail);
    if (!inner) return std::nullopt;
    out.reserve(inner->size());
    for (Group& g : *inner) {
      // The nested level holds the values of every attribute of this index:
      // only holders through this attribute count.
      Bitmap holders = nested->get_direct_parents(g.ids.take_bitmap(), attr_id);
      if (holders.is_empty()) continue;
      out.push_back(Group{std::move(g.value), HybridSet::from_bitmap(std::move(holders))});
    }
    return out;
  }
  for (auto& [key, ids] : exact_entries()) {
    // An entry a holder left may linger empty until it is pruned.
    if (ids.tag() == HybridSet::Tag::Empty || ids.is_empty()) continue;
    out.push_back(Group{std::move(key), std::move(ids)});
  }
  auto tree = num_ordered.read();
  // Consecutive entries with equal numbers (equal key codes: 3 and 3.0 are
  // equal, 2^53 and 2^53 + 1 are not) form one group. Its key is a float
  // where a double holds the number exactly (any float of the run, or an
  // integer within a double's precision), otherwise the integer itself, so
  // that distinct numbers never share a key. Every NaN, whatever its sign
  // or payload, goes to one NaN group.
  bool have = false;
  bool has_float = false;
  Entry current_key = 0;  // first entry of the current group
  std::vector<uint32_t> run, nans;
  auto flush = [&] {
    if (!have) return;
    const KeyCode code = entry_key(current_key);
    PyValue key = has_float || key_code_exact_as_double(code) ? PyValue::from_primitave(key_code_to_double(code))
                                                              : PyValue::from_primitave(key_code_to_int(code));
    out.push_back(Group{std::move(key), HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(run)))});
    run.clear();
  };
  tree->for_each([&](Entry e) {
    if (std::isnan(key_to_double(e))) {
      nans.push_back(entry_id(e));
      return;
    }
    if (!have || entry_key(e) != entry_key(current_key)) {
      flush();
      have = true;
      has_float = false;
      current_key = e;
    }
    has_float |= entry_is_float(e);
    run.push_back(entry_id(e));
  });
  flush();
  if (!nans.empty()) {
    std::sort(nans.begin(), nans.end());
    nans.erase(std::unique(nans.begin(), nans.end()), nans.end());
    out.push_back(Group{PyValue::from_primitave(std::numeric_limits<double>::quiet_NaN()),
                        HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(nans)))});
  }
  return out;
}

Bitmap QueryMap::exact_lookup(const PyValue& v) const {
  std::optional<Bitmap> out;
  exact.visit(v, [&out](const HybridSet& ids) {
    if (ids.tag() != HybridSet::Tag::Empty) out.emplace(ids.as_bitmap());
  });
  return out ? std::move(*out) : Bitmap();
}

Bitmap QueryMap::tree_query(const Bound* lo, const Bound* hi, const Bitmap& mask) const {
  auto tree = num_ordered.read();
  // An open end stops at the infinity while the tree holds a NaN (NaNs sort
  // beyond the infinities and compare false with every bound, as in
  // Python); otherwise it stays open, which lets the tree take whole edge
  // subtrees. Decided under the tree lock, with the count it guards.
  const bool finite = nan_entries.load(std::memory_order_relaxed) != 0;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const Bound low = lo ? *lo : finite ? Bound::included(NumKey::of_float(-kInf)) : Bound::unbounded();
  const Bound high = hi ? *hi : finite ? Bound::included(NumKey::of_float(kInf)) : Bound::unbounded();
  return tree->query_range(low, high, mask);
}

namespace {
bool is_nan(const PyValue& v) { return v.kind() == Kind::Float && std::isnan(v.as_float()); }
}  // namespace

Bitmap QueryMap::eq(const PyValue& v, const Bitmap& mask) const {
  if (v.is_number()) {
    if (is_nan(v)) return Bitmap();
    const Bound k = Bound::included(num_key_of(v));
    return tree_query(&k, &k, mask);
  }
  return exact_lookup(v);
}

Bitmap QueryMap::gt(const PyValue& v, const Bitmap& mask) const {
  if (!v.is_number() || is_nan(v)) return Bitmap();
  const Bound b = Bound::excluded(num_key_of(v));
  return tree_query(&b, nullptr, mask);
}
Bitmap QueryMap::ge(const PyValue& v, const Bitmap& mask) const {
  if (!v.is_number() || is_nan(v)) return Bitmap();
  const Bound b = Bound::included(num_key_of(v));
  return tree_query(&b, nullptr, mask);
}
Bitmap QueryMap::lt(const PyValue& v, const Bitmap& mask) const {
  if (!v.is_number() || is_nan(v)) return Bitmap();
  const Bound b = Bound::excluded(num_key_of(v));
  return tree_query(nullptr, &b, mask);
}
Bitmap QueryMap::le(const PyValue& v, const Bitmap& mask) const {
  if (!v.is_number() || is_nan(v)) return Bitmap();
  const Bound b = Bound::included(num_key_of(v));
  return tree_query(nullptr, &b, mask);
}
Bitmap QueryMap::bt(const PyValue& lo, const PyValue& hi, const Bitmap& mask) const {
  if (is_nan(lo) || is_nan(hi)) return Bitmap();
  const Bound low = Bound::included(num_key_of(lo)), high = Bound::included(num_key_of(hi));
  return tree_query(&low, &high, mask);
}

}  // namespace zarvex
