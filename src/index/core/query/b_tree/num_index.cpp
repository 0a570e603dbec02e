#include "index/core/query/b_tree/num_index.hpp"

#include <algorithm>
#include <cmath>

#include "absl/container/inlined_vector.h"
#include "support/internal_failure.hpp"

namespace zarvex {

NumKey key_of_entry(Entry e) {
  const KeyCode k = entry_key(e);
  return entry_is_float(e) ? NumKey::of_float(key_code_to_double(k)) : NumKey::of_int(key_code_to_int(k));
}

bool NumIndex::is_empty() const {
  switch (form_) {
    case Form::Tree: return tree_->is_empty();
    case Form::Keyed: return keyed_.empty();
    case Form::Run: return run_.empty();
  }
  return true;
}

bool NumIndex::insert_once(NumKey key, uint32_t id) {
  if (form_ == Form::Tree) return tree_->insert_once(key, id);
  if (form_ == Form::Keyed) return keyed_insert(key, id);
  const Entry e = make_entry(key, id);
  auto at = std::lower_bound(run_.begin(), run_.end(), e);
  if (at != run_.end() && *at == e) return false;
  if (run_.size() < kRunMax) {
    run_.insert(at, e);
    return true;
  }
  // The run is full: its pairs and the new one are grouped by number aside,
  // so a failure leaves the run as it was.
  KeyedVec keyed;
  auto add = [&keyed](Entry held) {
    const Entry head = head_of(held);
    if (keyed.empty() || keyed.back().head != head) {
      keyed.push_back(KeyedIds{head, HybridSet::single(entry_id(held))});
    } else {
      keyed.back().ids.add(entry_id(held));
    }
  };
  for (auto it = run_.begin(); it != at; ++it) add(*it);
  add(e);
  for (auto it = at; it != run_.end(); ++it) add(*it);
  if (keyed.size() > keyed_max_) {
    become_tree(key, id);
    return true;
  }
  keyed_ = std::move(keyed);
  form_ = Form::Keyed;
  std::vector<Entry>().swap(run_);
  return true;
}

size_t NumIndex::insert_sorted_once(std::span<const Entry> entries) {
  size_t added = 0;
  size_t i = 0;
  for (; i < entries.size() && form_ == Form::Run; ++i)
    added += insert_once(key_of_entry(entries[i]), entry_id(entries[i]));
  std::vector<uint32_t> ids;
  while (i < entries.size() && form_ == Form::Keyed) {
    // One number's ids at a time; a number that is not held yet is filed
    // by its first pair (which may turn the form into the tree).
    const Entry head = head_of(entries[i]);
    size_t end = i + 1;
    while (end < entries.size() && head_of(entries[end]) == head) ++end;
    auto at = lower_head(head);
    if (at == keyed_.end() || at->head != head) {
      added += insert_once(key_of_entry(entries[i]), entry_id(entries[i]));
      ++i;
      continue;
    }
    ids.clear();
    for (size_t k = i; k < end; ++k) ids.push_back(entry_id(entries[k]));
    const uint64_t before = at->ids.cardinality();
    at->ids.add_many(ids);
    added += at->ids.cardinality() - before;
    i = end;
  }
  if (i < entries.size()) added += tree_->insert_sorted_once(entries.subspan(i));
  return added;
}

NumIndex::KeyedVec::iterator NumIndex::lower_head(Entry head) {
  return std::lower_bound(keyed_.begin(), keyed_.end(), head, [](const KeyedIds& k, Entry h) { return k.head < h; });
}

NumIndex::KeyedVec::const_iterator NumIndex::first_code_at(KeyCode code) const {
  return std::lower_bound(keyed_.begin(), keyed_.end(), code,
                          [](const KeyedIds& k, KeyCode c) { return entry_key(k.head) < c; });
}

bool NumIndex::keyed_insert(NumKey key, uint32_t id) {
  const Entry head = make_entry(key, 0);
  auto at = lower_head(head);
  if (at != keyed_.end() && at->head == head) {
    if (at->ids.contains(id)) return false;
    at->ids.add(id);
    return true;
  }
  if (keyed_.size() >= keyed_max_) {
    become_tree(key, id);
    return true;
  }
  keyed_.insert(at, KeyedIds{head, HybridSet::single(id)});
  return true;
}

void NumIndex::become_tree(NumKey key, uint32_t id) {
  std::vector<Entry> all;
  for_each([&all](Entry held) { all.push_back(held); });
  const Entry fresh = make_entry(key, id);
  all.insert(std::lower_bound(all.begin(), all.end(), fresh), fresh);
  auto tree = std::make_unique<BitMapBTree>();
  tree->insert_sorted_once(all);
  tree_ = std::move(tree);
  form_ = Form::Tree;
  std::vector<Entry>().swap(run_);
  KeyedVec().swap(keyed_);
}

BitMapBTree::Moved NumIndex::move(NumKey from, NumKey to, uint32_t id) {
  if (form_ == Form::Tree) return tree_->move(from, to, id);
  const bool removed = remove(from, id);
  return {removed, insert_once(to, id)};
}

bool NumIndex::remove(NumKey key, uint32_t id) {
  if (form_ == Form::Tree) return tree_->remove(key, id);
  if (form_ == Form::Keyed) {
    const Entry head = make_entry(key, 0);
    auto at = lower_head(head);
    if (at == keyed_.end() || at->head != head || !at->ids.contains(id)) return false;
    at->ids.remove(id);
    if (at->ids.is_empty()) keyed_.erase(at);
    return true;
  }
  const Entry e = make_entry(key, id);
  auto at = std::lower_bound(run_.begin(), run_.end(), e);
  if (at == run_.end() || *at != e) return false;
  run_.erase(at);
  return true;
}

void NumIndex::remove_ids(const IdSieve& dead, uint64_t& nans) {
  if (dead.empty()) return;
  switch (form_) {
    case Form::Tree: tree_->remove_ids(dead, nans); return;
    case Form::Keyed:
      for (auto it = keyed_.begin(); it != keyed_.end();) {
        const uint64_t gone = it->ids.remove_ids(dead);
        if (gone && std::isnan(key_to_double(it->head))) nans += gone;
        it = it->ids.is_empty() ? keyed_.erase(it) : it + 1;
      }
      return;
    case Form::Run:
      std::erase_if(run_, [&](Entry e) {
        if (!dead.has(entry_id(e))) return false;
        if (std::isnan(key_to_double(e))) ++nans;
        return true;
      });
      return;
  }
}

Bitmap NumIndex::query_range(const Bound& lower, const Bound& upper, const Bitmap& mask) const {
  if (form_ == Form::Tree) return tree_->query_range(lower, upper, mask);
  if (form_ == Form::Keyed) return keyed_query(lower, upper, &mask);
  return run_query(lower, upper, &mask);
}

Bitmap NumIndex::query_range_all(const Bound& lower, const Bound& upper) const {
  if (form_ == Form::Tree) return tree_->query_range_all(lower, upper);
  if (form_ == Form::Keyed) return keyed_query(lower, upper, nullptr);
  return run_query(lower, upper, nullptr);
}

uint64_t NumIndex::equal_count(NumKey key) const {
  if (form_ == Form::Tree) return tree_->size();
  const KeyCode code = key_code(key);
  uint64_t n = 0;
  if (form_ == Form::Keyed) {
    for (auto it = first_code_at(code); it != keyed_.end() && entry_key(it->head) == code; ++it)
      n += it->ids.cardinality();
    return n;
  }
  for (Entry e : run_) n += entry_key(e) == code;
  return n;
}

void NumIndex::and_equal_into(NumKey key, Bitmap& acc) const {
  if (form_ == Form::Keyed) {
    const KeyCode code = key_code(key);
    auto it = first_code_at(code);
    auto end = it;
    while (end != keyed_.end() && entry_key(end->head) == code) ++end;
    if (end - it == 1) {
      // The usual case: one kind holds the number; its set is read in place.
      it->ids.and_into(acc);
      return;
    }
    if (it == end) {
      acc.clear();
      return;
    }
  }
  const Bound k = Bound::included(key);
  acc.and_inplace(query_range_all(k, k));
}

Bitmap NumIndex::run_query(const Bound& lower, const Bound& upper, const Bitmap* mask) const {
  const KeyBound lo = KeyBound::of(lower), hi = KeyBound::of(upper);
  std::vector<uint32_t> ids;
  for (Entry e : run_) {
    const KeyCode k = entry_key(e);
    if (!lo.admits_as_lower(k)) continue;
    if (!hi.admits_as_upper(k)) break;  // keys ascend
    if (!mask || mask->contains(entry_id(e))) ids.push_back(entry_id(e));
  }
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  return Bitmap(std::span<const uint32_t>(ids));
}

Bitmap NumIndex::keyed_query(const Bound& lower, const Bound& upper, const Bitmap* mask) const {
  const KeyBound lo = KeyBound::of(lower), hi = KeyBound::of(upper);
  auto it =
      lo.unbounded() ? keyed_.begin() : std::partition_point(keyed_.begin(), keyed_.end(), [&lo](const KeyedIds& k) {
        return !lo.admits_as_lower(entry_key(k.head));
      });
  absl::InlinedVector<const Bitmap*, 8> sets;
  std::vector<uint32_t> loose;  // ids of the numbers whose sets are arrays
  for (; it != keyed_.end() && hi.admits_as_upper(entry_key(it->head)); ++it) {
    if (const Bitmap* b = it->ids.bitmap()) {
      sets.push_back(b);
    } else {
      it->ids.for_each([&loose](uint32_t id) { loose.push_back(id); });
    }
  }
  if (sets.size() == 1 && loose.empty()) return mask ? Bitmap::and_(*sets[0], *mask) : *sets[0];
  Bitmap out = sets.empty() ? Bitmap() : Bitmap::or_many(sets);
  if (!loose.empty()) {
    std::sort(loose.begin(), loose.end());
    loose.erase(std::unique(loose.begin(), loose.end()), loose.end());
    out.or_inplace(Bitmap::from_sorted(loose));
  }
  if (mask) out.and_inplace(*mask);
  return out;
}

void NumIndex::validate() const {
  switch (form_) {
    case Form::Tree:
      ZX_CHECK(tree_ && run_.empty() && keyed_.empty(), "NumIndex invariant broken: storage beside the tree");
      tree_->validate();
      return;
    case Form::Keyed:
      ZX_CHECK(!tree_ && run_.empty(), "NumIndex invariant broken: storage beside the keyed numbers");
      ZX_CHECK(keyed_.size() <= keyed_max_, "NumIndex invariant broken: more keyed numbers than the limit");
      for (size_t i = 0; i < keyed_.size(); ++i) {
        const KeyedIds& k = keyed_[i];
        ZX_CHECK(i == 0 || keyed_[i - 1].head < k.head, "NumIndex invariant broken: numbers not strictly ascending");
        ZX_CHECK(entry_id(k.head) == 0 && entry_reserved_bits_clear(k.head),
                 "NumIndex invariant broken: malformed number");
        ZX_CHECK(k.ids.tag() != HybridSet::Tag::Empty && !k.ids.is_empty(),
                 "NumIndex invariant broken: a number without ids");
        k.ids.validate();
      }
      return;
    case Form::Run:
      ZX_CHECK(!tree_ && keyed_.empty(), "NumIndex invariant broken: storage beside the run");
      ZX_CHECK(run_.size() <= kRunMax, "NumIndex invariant broken: run longer than kRunMax");
      for (size_t i = 1; i < run_.size(); ++i)
        ZX_CHECK(run_[i - 1] < run_[i], "NumIndex invariant broken: run not strictly ascending");
      for (Entry e : run_) ZX_CHECK(entry_reserved_bits_clear(e), "NumIndex invariant broken: malformed entry");
      return;
  }
}

}  // namespace zarvex
