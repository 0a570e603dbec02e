#include "index/core/query/query.hpp"

#include <optional>

#include "index/core/query/query_ops.hpp"

namespace zarvex {

QueryMap::QueryMap(const std::weak_ptr<IndexAPI>& owner_index, uint32_t attr)
    : exact(ExactMap::with_shard_count(16)), owner(owner_index), attr_id(attr) {
  std::shared_ptr<IndexAPI> strong = owner.lock();
  owner_items = strong ? strong->items : std::make_shared<RwLocked<ItemVec>>();
}

std::shared_ptr<IndexAPI> QueryMap::nested_index() {
  if (IndexAPI* n = nested_if_any()) return n->shared_from_this();
  // Few maps ever get a nested index, so a small set of striped locks
  // serialises their creation instead of a lock per map.
  static PoisonMutex stripes[16];
  MutexGuard guard(stripes[(reinterpret_cast<uintptr_t>(this) >> 6) & 15]);
  if (IndexAPI* n = nested_if_any()) return n->shared_from_this();
  nested_ = IndexAPI::create(owner);
  nested_raw_.store(nested_.get(), std::memory_order_release);
  return nested_;
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
  if (!*tree) *tree = std::make_unique<BitMapBTree>();
  if ((*tree)->multiplicity(key, id) == 0) (*tree)->insert(key, id);
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
  Bitmap path;
  if (auto strong = owner.lock()) path = strong->get_parents_from_stored_item(holder);
  // A child that is already on the holder's path to root would close a cycle.
  if (path.contains(rec->id)) return;
  // Nesting deeper than the limit is refused before anything changes
  // (check_nesting_depth); this guard only stops a racing writer that deepens
  // a structure meanwhile from exhausting the stack.
  std::shared_ptr<IndexAPI> nested = nested_index();
  if (nested->level > kMaxNestingDepth) return;
  add_index_meta(*rec, nested);
  if (nested->store_nested(value.handle(), holder, path)) queue_nesting(NestingOp::File, nested, value.handle());
}

void QueryMap::remove_id(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case Kind::Int:
    case Kind::Float: {
      auto tree = num_ordered.write();
      if (*tree) (*tree)->remove(num_key_of(value), id);
      return;
    }
    case Kind::Str:
    case Kind::Bool:
    case Kind::Unknown:
      remove_exact(value, id);
      return;
    case Kind::Ind:
      remove_exact(value, id);
      if (IndexAPI* nested = nested_if_any()) nested->remove(*value.as_ind(), id);
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
  if (value.is_number()) {
    auto tree = num_ordered.write();
    if (!*tree) return true;
    (*tree)->remove(num_key_of(value), id);
    return (*tree)->is_empty();
  }
  remove_id(value, id);
  bool pruned = check_prune(value);
  return pruned || value.kind() == Kind::Iterable;
}

bool QueryMap::is_empty() const {
  {
    auto tree = num_ordered.read();
    if (*tree && !(*tree)->is_empty()) return false;
  }
  return exact.is_empty();
}

void QueryMap::remove(const Bitmap& keep) {
  HybridSet k = HybridSet::from_bitmap(keep);
  exact.for_each_shard_write([&](ExactMap::Map& m) {
    for (auto& [key, ids] : m) ids.and_inplace(k);
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
    IndexAPI* nested = nested_if_any();
    if (!nested) return out;
    std::optional<Groups> inner = nested->group_by(*tail);
    if (!inner) return std::nullopt;
    out.reserve(inner->size());
    for (Group& g : *inner) {
      Bitmap holders = nested->get_direct_parents(g.ids.take_bitmap());
      out.push_back(Group{std::move(g.value), HybridSet::from_bitmap(std::move(holders))});
    }
    return out;
  }
  for (auto& [key, ids] : exact_entries()) out.push_back(Group{std::move(key), std::move(ids)});
  auto tree = num_ordered.read();
  // Consecutive entries with equal numbers (equal key codes: 3 and 3.0 are
  // equal, 2^53 and 2^53 + 1 are not) form one group keyed by the number as a
  // double.
  bool have = false;
  Entry current_key = 0;  // first entry of the current group
  std::vector<uint32_t> run;
  auto flush = [&] {
    if (!have) return;
    out.push_back(Group{PyValue::from_primitave(key_to_double(current_key)),
                        HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(run)))});
    run.clear();
  };
  if (!*tree) return out;
  (*tree)->for_each([&](Entry e) {
    if (!have || entry_key(e) != entry_key(current_key)) {
      flush();
      have = true;
      current_key = e;
    }
    run.push_back(entry_id(e));
  });
  flush();
  return out;
}

Bitmap QueryMap::exact_lookup(const PyValue& v) const {
  std::optional<Bitmap> out;
  exact.visit(v, [&out](const HybridSet& ids) {
    if (ids.tag() != HybridSet::Tag::Empty) out.emplace(ids.as_bitmap());
  });
  return out ? std::move(*out) : Bitmap();
}

Bitmap QueryMap::tree_query(const Bound& lo, const Bound& hi, const Bitmap& mask) const {
  auto tree = num_ordered.read();
  if (!*tree) return Bitmap();
  return (*tree)->query_range(lo, hi, mask);
}

Bitmap QueryMap::eq(const PyValue& v, const Bitmap& mask) const {
  if (v.is_number()) {
    NumKey k = num_key_of(v);
    return tree_query(Bound::included(k), Bound::included(k), mask);
  }
  return exact_lookup(v);
}

Bitmap QueryMap::gt(const PyValue& v, const Bitmap& mask) const {
  if (!v.is_number()) return Bitmap();
  return tree_query(Bound::excluded(num_key_of(v)), Bound::unbounded(), mask);
}
Bitmap QueryMap::ge(const PyValue& v, const Bitmap& mask) const {
  if (!v.is_number()) return Bitmap();
  return tree_query(Bound::included(num_key_of(v)), Bound::unbounded(), mask);
}
Bitmap QueryMap::lt(const PyValue& v, const Bitmap& mask) const {
  if (!v.is_number()) return Bitmap();
  return tree_query(Bound::unbounded(), Bound::excluded(num_key_of(v)), mask);
}
Bitmap QueryMap::le(const PyValue& v, const Bitmap& mask) const {
  if (!v.is_number()) return Bitmap();
  return tree_query(Bound::unbounded(), Bound::included(num_key_of(v)), mask);
}
Bitmap QueryMap::bt(const PyValue& lo, const PyValue& hi, const Bitmap& mask) const {
  return tree_query(Bound::included(num_key_of(lo)), Bound::included(num_key_of(hi)), mask);
}

}  // namespace zarvex
