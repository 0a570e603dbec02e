#include "index/core/query/query.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "absl/container/inlined_vector.h"
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
    case Kind::Float: insert_num_ordered(num_key_of(value), id); return;
    case Kind::Str:
    case Kind::Bool:
    case Kind::Unknown:
    case Kind::Bytes:
    case Kind::Identity: insert_exact(value, id); return;
    case Kind::Ratio:
      if (!has_ratios.load(std::memory_order_relaxed)) has_ratios.store(true, std::memory_order_release);
      insert_exact(value, id);
      return;
    case Kind::Temporal: {
      const TemporalValue& t = value.as_temporal();
      (*temporal.write())[static_cast<size_t>(t.tag)].insert_once(t.key, id);
      return;
    }
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
  NumWrite tree(num_ordered);
  insert_num_ordered(*tree, key, id);
}

void QueryMap::count_nan(NumKey key, bool changed, bool added) {
  if (!changed || !key.is_float || !std::isnan(key.f)) return;
  if (added) {
    nan_entries.fetch_add(1, std::memory_order_relaxed);
  } else {
    nan_entries.fetch_sub(1, std::memory_order_relaxed);
  }
}

void QueryMap::insert_num_ordered(NumIndex& tree, NumKey key, uint32_t id) {
  count_nan(key, tree.insert_once(key, id), true);
}

void QueryMap::remove_num_ordered(NumIndex& tree, NumKey key, uint32_t id) {
  count_nan(key, tree.remove(key, id), false);
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

void QueryMap::insert_entries(std::span<const Entry> entries) {
  // NaNs sort beyond the infinities, so they lie at the two ends: they are
  // filed one by one (keeping their count), the rest in one batch.
  auto is_nan_entry = [](Entry e) { return std::isnan(key_to_double(e)); };
  size_t lo = 0, hi = entries.size();
  while (lo < hi && is_nan_entry(entries[lo])) ++lo;
  while (hi > lo && is_nan_entry(entries[hi - 1])) --hi;
  NumWrite tree(num_ordered);
  for (size_t k = 0; k < lo; ++k) insert_num_ordered(*tree, key_of_entry(entries[k]), entry_id(entries[k]));
  tree->insert_sorted_once(entries.subspan(lo, hi - lo));
  for (size_t k = hi; k < entries.size(); ++k)
    insert_num_ordered(*tree, key_of_entry(entries[k]), entry_id(entries[k]));
}

void QueryMap::insert_exact_many(const PyValue& value, std::span<const uint32_t> ids) {
  if (ids.empty()) return;
  auto shard = exact.get_shard(value);
  auto it = shard->find(value);
  if (it != shard->end()) {
    it->second.add_many(ids);
    return;
  }
  HybridSet set;
  if (ids.size() < 4) {
    for (uint32_t id : ids) set.add(id);
  } else {
    set = HybridSet::from_bitmap(Bitmap::from_sorted(ids));
  }
  shard->emplace(value, std::move(set));
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
  add_index_meta(*rec, nested->solo_members());
  NestingTicket ticket;
  if (nested->store_nested(value.handle(), holder, attr_id)) ticket.fill(NestingOp::File, nested, value.handle());
}

void QueryMap::remove_id(const PyValue& value, uint32_t id) {
  switch (value.kind()) {
    case Kind::Int:
    case Kind::Float: {
      NumWrite tree(num_ordered);
      remove_num_ordered(*tree, num_key_of(value), id);
      return;
    }
    case Kind::Str:
    case Kind::Bool:
    case Kind::Unknown:
    case Kind::Bytes:
    case Kind::Identity:
    case Kind::Ratio: remove_exact(value, id); return;
    case Kind::Temporal: {
      const TemporalValue& t = value.as_temporal();
      (*temporal.write())[static_cast<size_t>(t.tag)].remove(t.key, id);
      return;
    }
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
  if (value.is_number() || value.kind() == Kind::Iterable || value.kind() == Kind::Temporal)
    return false;  // never keys of `exact`
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
    case Kind::Float: return unfile_number(num_key_of(value), id);
    case Kind::Temporal: {
      const TemporalValue& t = value.as_temporal();
      TemporalWrite trees(temporal);
      NumIndex& tree = (*trees)[static_cast<size_t>(t.tag)];
      tree.remove(t.key, id);
      return tree.is_empty();
    }
    case Kind::Iterable: {
      // Each element is unfiled as a value of its own, so entries left empty
      // (and the references their keys hold) go with the container.
      bool may_be_empty = false;
      for (const PyValue& element : *value.as_iterable().elements) may_be_empty |= remove_value(element, id);
      return may_be_empty;
    }
    default: remove_id(value, id); return check_prune(value);
  }
}

namespace {
// Values whose filing is their exact-map entry alone.
bool is_text_or_bool(const PyValue& v) { return v.kind() == Kind::Str || v.kind() == Kind::Bool; }
}  // namespace

void QueryMap::move_number(NumKey from, NumKey to, uint32_t id) {
  NumWrite tree(num_ordered);
  // A failure between the move's removal and its insertion leaves the NaN
  // count high, never low: a high count only closes open range ends at
  // the infinities, which NaNs lie beyond anyway.
  const auto [removed, added] = tree->move(from, to, id);
  count_nan(from, removed, false);
  count_nan(to, added, true);
  if (!tree->is_settled() && !num_owed.load(std::memory_order_relaxed)) num_owed.store(true, std::memory_order_relaxed);
}

void QueryMap::settle_numbers() const {
  if (!num_owed.load(std::memory_order_relaxed)) return;
  // The bitmaps change, not what the tree answers: a settle is a reader's
  // to make. Only when the lock is free, so a reader never waits for it
  // while holding other locks.
  auto& tree = const_cast<RwLocked<NumIndex>&>(num_ordered);
  std::atomic<bool>& owed = num_owed;
  tree.try_write([&owed](NumIndex& t) {
    try {
      t.settle();
    } catch (const std::bad_alloc&) {
      return;  // still owed; the query answers the owed ids from their entries
    }
    owed.store(false, std::memory_order_relaxed);
  });
}

void QueryMap::replace(const PyValue& old, const PyValue& value, uint32_t id) {
  if (old.is_number() && value.is_number()) return move_number(num_key_of(old), num_key_of(value), id);
  if (is_text_or_bool(old) && is_text_or_bool(value) && replace_exact(old, value, id)) return;
  unfile(old, id);
  insert(value, id);
}

namespace {
const PyValue& key_value(const PyValue& v) { return v; }
PyValue key_value(const TextKey& t) { return t.value(); }
}  // namespace

bool QueryMap::replace_exact(const PyValue& old, const PyValue& value, uint32_t id) {
  return replace_keys(old, value, id);
}

bool QueryMap::replace_text(const TextKey& old, const TextKey& value, uint32_t id) {
  return replace_keys(old, value, id);
}

template <class Old, class New>
bool QueryMap::replace_keys(const Old& old, const New& value, uint32_t id) {
  return exact.with_two(old, value, [&](ExactMap::Map& from, ExactMap::Map& to) {
    auto it = from.find(old);
    auto jt = to.find(value);
    if (&from == &to && it == jt && it != from.end()) return;  // the same value again: nothing changes
    // Both sets' chains are walked together before either changes.
    const Bitmap* changing[2] = {it != from.end() ? it->second.bitmap() : nullptr,
                                 jt != to.end() ? jt->second.bitmap() : nullptr};
    Bitmap::prefetch_id_in(changing, id);
    // A value without a set is built before anything changes (a long text
    // allocates).
    std::optional<PyValue> fresh;
    if (jt == to.end()) fresh.emplace(key_value(value));
    if (it != from.end()) {
      it->second.remove(id);
      // Erasing leaves every other position of the map where it was.
      if (it->second.is_empty()) from.erase(it);
    }
    if (jt != to.end()) {
      jt->second.add(id);
    } else {
      to.emplace(std::move(*fresh), HybridSet::single(id));
    }
  });
}

bool QueryMap::replace_exact_many(std::span<const PyValue> olds, std::span<const PyValue> news, uint32_t id) {
  return replace_many_keys(olds, news, id);
}

bool QueryMap::replace_texts(std::span<const TextKey> olds, std::span<const TextKey> news, uint32_t id) {
  return replace_many_keys(olds, news, id);
}

template <class Key>
bool QueryMap::replace_many_keys(std::span<const Key> olds, std::span<const Key> news, uint32_t id) {
  // Each distinct value once, with its change: -1 loses the id, +1 gains it,
  // 0 (held by both containers) keeps it.
  constexpr size_t kMost = ExactMap::kMostKeys;
  const Key* keys[kMost];
  int change[kMost];
  size_t n = 0;
  auto note = [&](const Key& v, int c) {
    for (size_t k = 0; k < n; ++k) {
      if (keys[k]->hash64() == v.hash64() && *keys[k] == v) {
        if (change[k] != c) change[k] = 0;
        return true;
      }
    }
    if (n == kMost) return false;
    keys[n] = &v;
    change[n++] = c;
    return true;
  };
  for (const Key& v : olds)
    if (!note(v, -1)) return false;
  for (const Key& v : news)
    if (!note(v, +1)) return false;
  size_t m = 0;
  for (size_t k = 0; k < n; ++k) {
    if (change[k] == 0) continue;
    keys[m] = keys[k];
    change[m++] = change[k];
  }
  if (m == 0) return true;
  return exact.with_many(std::span<const Key* const>(keys, m), [&](ExactMap::Map* const* maps) {
    // Whether each value has an entry is noted before anything changes: a
    // new entry may move a map's every position, and its iterators (even
    // compared) are then no longer valid.
    ExactMap::Map::iterator found[kMost];
    bool present[kMost];
    const Bitmap* changing[kMost];
    for (size_t k = 0; k < m; ++k) {
      found[k] = maps[k]->find(*keys[k]);
      present[k] = found[k] != maps[k]->end();
      changing[k] = present[k] ? found[k]->second.bitmap() : nullptr;
    }
    Bitmap::prefetch_id_in(std::span<const Bitmap* const>(changing, m), id);
    // The values without a set are built before anything changes (a long
    // text allocates).
    absl::InlinedVector<PyValue, 2> fresh;
    for (size_t k = 0; k < m; ++k)
      if (change[k] > 0 && !present[k]) fresh.push_back(key_value(*keys[k]));
    // Removals first: erasing leaves every other position of a map where it
    // was, whereas a new entry may move them all, so new entries come last.
    for (size_t k = 0; k < m; ++k) {
      if (change[k] > 0 || !present[k]) continue;
      found[k]->second.remove(id);
      if (found[k]->second.is_empty()) maps[k]->erase(found[k]);
    }
    for (size_t k = 0; k < m; ++k)
      if (change[k] > 0 && present[k]) found[k]->second.add(id);
    for (size_t k = 0, f = 0; k < m; ++k)
      if (change[k] > 0 && !present[k]) maps[k]->emplace(std::move(fresh[f++]), HybridSet::single(id));
  });
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
    default: return remove_value(value, id);
  }
}

void QueryMap::prefetch_exact(const PyValue& value, uint32_t id) const {
  exact.visit(value, [&](const HybridSet& ids) {
    if (const Bitmap* b = ids.bitmap()) b->prefetch_id(id);
  });
}

void QueryMap::prefetch_number(uint32_t id) const {
  NumRead tree(num_ordered);
  tree->prefetch_id(id);
}

bool QueryMap::unfile_number(NumKey key, uint32_t id) {
  NumWrite tree(num_ordered);
  remove_num_ordered(*tree, key, id);
  return tree->is_empty();
}

bool QueryMap::is_empty() const {
  {
    NumRead tree(num_ordered);
    if (!tree->is_empty()) return false;
  }
  {
    TemporalRead trees(temporal);
    for (const NumIndex& t : *trees)
      if (!t.is_empty()) return false;
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

void QueryMap::remove_ids(const IdSieve& dead, std::vector<PyValue>& pruned) {
  exact.for_each_shard_write([&](ExactMap::Map& m) {
    for (auto it = m.begin(); it != m.end();) {
      if (it->second.tag() != HybridSet::Tag::Empty) it->second.remove_ids(dead);
      if (it->second.tag() == HybridSet::Tag::Empty || it->second.is_empty()) {
        pruned.push_back(it->first);
        m.erase(it++);
      } else {
        ++it;
      }
    }
  });
  uint64_t nans = 0;
  {
    // The NaN count follows what went, also when a failure cuts the pass short.
    struct Settle {
      std::atomic<uint64_t>& count;
      const uint64_t& gone;
      ~Settle() { count.fetch_sub(gone, std::memory_order_relaxed); }
    } settle{nan_entries, nans};
    NumWrite tree(num_ordered);
    tree->remove_ids(dead, nans);
  }
  TemporalWrite trees(temporal);
  uint64_t ignored = 0;
  for (NumIndex& t : *trees) t.remove_ids(dead, ignored);
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
  NumRead tree(num_ordered);
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
  tree.release();
  // Dates and times: one group per distinct key of each tag, keyed by a value
  // of that tag (an aware datetime comes back in UTC, the same instant).
  TemporalRead trees(temporal);
  for (size_t tag = 0; tag < kTimeKinds; ++tag) {
    std::optional<Entry> first;
    auto close = [&] {
      if (!first) return;
      PyValue key = PyValue::from_primitave(TemporalValue{static_cast<TimeKind>(tag), key_of_entry(*first)});
      out.push_back(Group{std::move(key), HybridSet::from_bitmap(Bitmap(std::span<const uint32_t>(run)))});
      run.clear();
    };
    (*trees)[tag].for_each([&](Entry e) {
      if (!first || entry_key(e) != entry_key(*first)) {
        close();
        first = e;
      }
      run.push_back(entry_id(e));
    });
    close();
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

uint64_t QueryMap::exact_count(const PyValue& v) const {
  uint64_t n = 0;
  exact.visit(v, [&n](const HybridSet& ids) {
    if (ids.tag() != HybridSet::Tag::Empty) n = ids.cardinality();
  });
  return n;
}

void QueryMap::exact_and_into(const PyValue& v, Bitmap& acc) const {
  if (!exact.visit(v, [&acc](const HybridSet& ids) { ids.and_into(acc); })) acc.clear();
}

bool QueryMap::eq_by_lookup(const PyValue& v) const {
  if (eq_is_exact(v)) return true;
  if (!v.is_number() || (v.kind() == Kind::Float && std::isnan(v.as_float()))) return false;
  NumRead tree(num_ordered);
  return tree->form() != NumIndex::Form::Tree;
}

uint64_t QueryMap::lookup_count(const PyValue& v) const {
  if (!v.is_number()) return exact_count(v);
  NumRead tree(num_ordered);
  return tree->equal_count(num_key_of(v));
}

Bitmap QueryMap::lookup(const PyValue& v) const {
  if (!v.is_number()) return exact_lookup(v);
  const Bound k = Bound::included(num_key_of(v));
  NumRead tree(num_ordered);
  return tree->query_range_all(k, k);
}

void QueryMap::lookup_and_into(const PyValue& v, Bitmap& acc) const {
  if (!v.is_number()) return exact_and_into(v, acc);
  NumRead tree(num_ordered);
  tree->and_equal_into(num_key_of(v), acc);
}

Bitmap QueryMap::lookup_and(const PyValue& v, const Bitmap& other) const {
  Bitmap out;
  if (with_lookup_bitmap(v, [&](const Bitmap& ids) { out = Bitmap::and_(ids, other); })) return out;
  out = other;
  lookup_and_into(v, out);
  return out;
}

Bitmap QueryMap::tree_query(const Bound* lo, const Bound* hi, const Bitmap& mask) const {
  // Equality reads the leaves (BitMapBTree::ids_of_key), a range the
  // bitmaps: settled first when that costs no wait.
  settle_numbers();
  NumRead tree(num_ordered);
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
int sign128(__int128 a, __int128 b) { return a < b ? -1 : a > b ? 1 : 0; }
constexpr int kUnordered = 2;

// Exact comparison of a Ratio with an Int or Float (-1, 0, 1, or
// kUnordered against NaN). Rounding to the nearest double is monotone, so
// where the two key codes differ they decide; at equal codes the side of
// the rounding does. Integers beyond 2^53 are not all doubles: there the
// floor (or the 64-bit fraction) decides.
int compare_ratio(const RatioData& r, NumKey e) {
  if (e.is_float && std::isnan(e.f)) return kUnordered;
  if (!e.is_float && r.has_floor) return e.i <= r.floor ? 1 : -1;
  if (!e.is_float && r.fits) return sign128(r.num, static_cast<__int128>(e.i) * r.den);
  const KeyCode kd = key_code(NumKey::of_float(r.nearest)), ke = key_code(e);
  if (kd != ke) return kd < ke ? -1 : 1;
  return r.side;
}

// Two Ratios: exact when both fractions fit 64 bits; otherwise by their
// doubles and rounding sides, and unordered when those agree too.
int compare_ratios(const RatioData& a, const RatioData& b) {
  if (a.text == b.text) return 0;
  if (a.fits && b.fits) return sign128(static_cast<__int128>(a.num) * b.den, static_cast<__int128>(b.num) * a.den);
  if (a.nearest != b.nearest) return a.nearest < b.nearest ? -1 : 1;
  if (a.side != b.side) return a.side < b.side ? -1 : 1;
  return kUnordered;
}

int compare_to_bound(const RatioData& r, const PyValue& bound) {
  if (bound.kind() == Kind::Ratio) return compare_ratios(r, bound.as_ratio());
  return compare_ratio(r, num_key_of(bound));
}

// The tree bound that selects exactly the Int and Float entries lying on the
// wanted side of `v` (a lower bound when `lower`). A Ratio is never equal to
// an entry, so inclusion does not matter for it.
Bound number_bound(const PyValue& v, bool incl, bool lower) {
  if (v.kind() != Kind::Ratio) return incl ? Bound::included(num_key_of(v)) : Bound::excluded(num_key_of(v));
  const RatioData& r = v.as_ratio();
  if (r.has_floor) return lower ? Bound::excluded(NumKey::of_int(r.floor)) : Bound::included(NumKey::of_int(r.floor));
  const NumKey d = NumKey::of_float(r.nearest);
  // Below the nearest double (side < 0) the double itself lies above the value.
  const bool double_above = r.side < 0;
  if (lower) return double_above ? Bound::included(d) : Bound::excluded(d);
  return double_above ? Bound::excluded(d) : Bound::included(d);
}

enum class Family : uint8_t { None, Number, Text, Bytes, Time };
Family family_of(const PyValue& v) {
  switch (v.kind()) {
    case Kind::Int:
    case Kind::Float:
    case Kind::Ratio: return Family::Number;
    case Kind::Str: return Family::Text;
    case Kind::Bytes: return Family::Bytes;
    case Kind::Temporal: return Family::Time;
    default: return Family::None;
  }
}

std::string_view text_of(const PyValue& v) { return v.kind() == Kind::Str ? v.as_str() : v.as_bytes(); }
}  // namespace

Bitmap QueryMap::ordered_keys(Kind kind, const PyValue* lo, bool lo_incl, const PyValue* hi, bool hi_incl,
                              const Bitmap& mask) const {
  // A pass over the distinct keys of one kind in `exact` (never over the
  // objects): texts and bytes by their bytes (UTF-8 order is code point
  // order), Ratios exactly against number bounds.
  std::vector<Bitmap> parts;
  auto admits = [&](const PyValue& key) {
    if (kind == Kind::Ratio) {
      const RatioData& r = key.as_ratio();
      if (lo) {
        int c = compare_to_bound(r, *lo);
        if (!(c == 1 || (c == 0 && lo_incl))) return false;
      }
      if (hi) {
        int c = compare_to_bound(r, *hi);
        if (!(c == -1 || (c == 0 && hi_incl))) return false;
      }
      return true;
    }
    const std::string_view t = text_of(key);
    if (lo) {
      int c = t.compare(text_of(*lo));
      if (c < 0 || (c == 0 && !lo_incl)) return false;
    }
    if (hi) {
      int c = t.compare(text_of(*hi));
      if (c > 0 || (c == 0 && !hi_incl)) return false;
    }
    return true;
  };
  exact.for_each_shard_read([&](const ExactMap::Map& m) {
    for (const auto& [key, ids] : m) {
      if (key.kind() != kind || ids.tag() == HybridSet::Tag::Empty || ids.is_empty() || !admits(key)) continue;
      parts.push_back(Bitmap::and_(ids.as_bitmap(), mask));
    }
  });
  std::vector<const Bitmap*> ptrs;
  ptrs.reserve(parts.size());
  for (const Bitmap& b : parts) ptrs.push_back(&b);
  return Bitmap::or_many(ptrs);
}

Bitmap QueryMap::ordered(const PyValue* lo, bool lo_incl, const PyValue* hi, bool hi_incl, const Bitmap& mask) const {
  const Family fam = family_of(lo ? *lo : *hi);
  if (lo && hi && family_of(*hi) != fam) return Bitmap();
  switch (fam) {
    case Family::Number: {
      if ((lo && is_nan(*lo)) || (hi && is_nan(*hi))) return Bitmap();
      std::optional<Bound> low, high;
      if (lo) low = number_bound(*lo, lo_incl, true);
      if (hi) high = number_bound(*hi, hi_incl, false);
      Bitmap out = tree_query(low ? &*low : nullptr, high ? &*high : nullptr, mask);
      if (has_ratios.load(std::memory_order_acquire))
        out.or_inplace(ordered_keys(Kind::Ratio, lo, lo_incl, hi, hi_incl, mask));
      return out;
    }
    case Family::Text: return ordered_keys(Kind::Str, lo, lo_incl, hi, hi_incl, mask);
    case Family::Bytes: return ordered_keys(Kind::Bytes, lo, lo_incl, hi, hi_incl, mask);
    case Family::Time: {
      const TimeKind tag = (lo ? *lo : *hi).as_temporal().tag;
      if (lo && hi && hi->as_temporal().tag != tag) return Bitmap();
      auto bound = [](const PyValue* v, bool incl) {
        if (!v) return Bound::unbounded();
        return incl ? Bound::included(v->as_temporal().key) : Bound::excluded(v->as_temporal().key);
      };
      TemporalRead trees(temporal);
      return (*trees)[static_cast<size_t>(tag)].query_range(bound(lo, lo_incl), bound(hi, hi_incl), mask);
    }
    case Family::None: return Bitmap();
  }
  return Bitmap();
}

Bitmap QueryMap::eq(const PyValue& v, const Bitmap& mask) const {
  if (v.is_number()) {
    if (is_nan(v)) return Bitmap();
    const Bound k = Bound::included(num_key_of(v));
    return tree_query(&k, &k, mask);
  }
  if (!eq_is_exact(v)) return ordered(&v, true, &v, true, mask);
  return exact_lookup(v);
}

Bitmap QueryMap::temporal_lookup(const PyValue& v) const {
  const TemporalValue& t = v.as_temporal();
  const Bound k = Bound::included(t.key);
  TemporalRead trees(temporal);
  return (*trees)[static_cast<size_t>(t.tag)].query_range_all(k, k);
}

Bitmap QueryMap::gt(const PyValue& v, const Bitmap& mask) const { return ordered(&v, false, nullptr, false, mask); }
Bitmap QueryMap::ge(const PyValue& v, const Bitmap& mask) const { return ordered(&v, true, nullptr, false, mask); }
Bitmap QueryMap::lt(const PyValue& v, const Bitmap& mask) const { return ordered(nullptr, false, &v, false, mask); }
Bitmap QueryMap::le(const PyValue& v, const Bitmap& mask) const { return ordered(nullptr, false, &v, true, mask); }
Bitmap QueryMap::bt(const PyValue& lo, const PyValue& hi, const Bitmap& mask) const {
  return ordered(&lo, true, &hi, true, mask);
}

}  // namespace zarvex
