#include "index/core/query/b_tree/num_index.hpp"

#include <algorithm>

#include "support/internal_failure.hpp"

namespace zarvex {

NumKey key_of_entry(Entry e) {
  const KeyCode k = entry_key(e);
  return entry_is_float(e) ? NumKey::of_float(key_code_to_double(k)) : NumKey::of_int(key_code_to_int(k));
}

bool NumIndex::insert_once(NumKey key, uint32_t id) {
  if (tree_) {
    return tree_->insert_once(key, id);
  }
  const Entry e = make_entry(key, id);
  auto at = std::lower_bound(run_.begin(), run_.end(), e);
  if (at != run_.end() && *at == e) return false;
  if (run_.size() < kRunMax) {
    run_.insert(at, e);
    return true;
  }
  // The run is full: every pair moves into a tree built aside, so a failure
  // while building it leaves the run as it was.
  auto tree = std::make_unique<BitMapBTree>();
  for (Entry held : run_) tree->insert(key_of_entry(held), entry_id(held));
  tree->insert(key, id);
  tree_ = std::move(tree);
  std::vector<Entry>().swap(run_);
  return true;
}

bool NumIndex::remove(NumKey key, uint32_t id) {
  if (tree_) return tree_->remove(key, id);
  const Entry e = make_entry(key, id);
  auto at = std::lower_bound(run_.begin(), run_.end(), e);
  if (at == run_.end() || *at != e) return false;
  run_.erase(at);
  return true;
}

Bitmap NumIndex::query_range(const Bound& lower, const Bound& upper, const Bitmap& mask) const {
  if (tree_) return tree_->query_range(lower, upper, mask);
  return run_query(lower, upper, &mask);
}

Bitmap NumIndex::query_range_all(const Bound& lower, const Bound& upper) const {
  if (tree_) return tree_->query_range_all(lower, upper);
  return run_query(lower, upper, nullptr);
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

void NumIndex::validate() const {
  if (tree_) {
    ZX_CHECK(run_.empty(), "NumIndex invariant broken: entries left in the run beside the tree");
    tree_->validate();
    return;
  }
  ZX_CHECK(run_.size() <= kRunMax, "NumIndex invariant broken: run longer than kRunMax");
  for (size_t i = 1; i < run_.size(); ++i)
    ZX_CHECK(run_[i - 1] < run_[i], "NumIndex invariant broken: run not strictly ascending");
  for (Entry e : run_) ZX_CHECK(entry_reserved_bits_clear(e), "NumIndex invariant broken: malformed entry");
}

}  // namespace zarvex
