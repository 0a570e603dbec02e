#include "index/core/structures/string_interner/published_table.hpp"

#include <bit>
#include <limits>
#include <string>

#include "support/hasher.hpp"
#include "support/internal_failure.hpp"

namespace zarvex {

PublishedTable::Slots::Slots(size_t n) : mask(n - 1), slot(new std::atomic<uint64_t>[n]) {
  for (size_t i = 0; i < n; ++i) slot[i].store(0, std::memory_order_relaxed);
}

PublishedTable::PublishedTable() {
  tables_.push_back(std::make_unique<Slots>(2 * kFirstSegment));
  slots_.store(tables_.back().get(), std::memory_order_release);
}

PublishedTable::~PublishedTable() {
  for (auto& seg : segments_) delete[] seg.load(std::memory_order_relaxed);
}

size_t PublishedTable::segment_of(uint32_t id, size_t& offset) {
  // Segment k holds ids [kFirstSegment * (2^k - 1), kFirstSegment * (2^(k+1) - 1)).
  const uint64_t scaled = uint64_t{id} / kFirstSegment + 1;
  const size_t k = static_cast<size_t>(std::bit_width(scaled)) - 1;
  offset = static_cast<size_t>(uint64_t{id} - kFirstSegment * ((uint64_t{1} << k) - 1));
  return k;
}

const PublishedTable::Entry& PublishedTable::entry(uint32_t id) const {
  size_t offset = 0;
  const size_t k = segment_of(id, offset);
  const Entry* seg = segments_[k].load(std::memory_order_acquire);
  ZX_CHECK(seg != nullptr, "interner: an id past the published strings");
  return seg[offset];
}

void PublishedTable::insert_slot(Slots& s, uint32_t hash, uint32_t id) {
  size_t i = hash & s.mask;
  while (s.slot[i].load(std::memory_order_relaxed) != 0) i = (i + 1) & s.mask;
  s.slot[i].store((uint64_t{hash} << 32) | (uint64_t{id} + 1), std::memory_order_release);
}

uint32_t PublishedTable::append(std::shared_ptr<const char[]> bytes, uint32_t len, uint64_t hash) {
  const size_t n = count_.load(std::memory_order_relaxed);
  ZX_CHECK(n < std::numeric_limits<uint32_t>::max(), "interner: string ids exhausted");
  const auto id = static_cast<uint32_t>(n);
  const auto h = static_cast<uint32_t>(hash);
  size_t offset = 0;
  const size_t k = segment_of(id, offset);
  Entry* seg = segments_[k].load(std::memory_order_relaxed);
  if (!seg) {
    seg = new Entry[kFirstSegment << k];
    segments_[k].store(seg, std::memory_order_release);
  }
  seg[offset] = Entry{std::move(bytes), len, h};

  Slots* cur = tables_.back().get();
  if (2 * (n + 1) > cur->mask + 1) {
    // Reserve first so that a failed allocation leaves the table as it was.
    tables_.reserve(tables_.size() + 1);
    auto bigger = std::make_unique<Slots>(2 * (cur->mask + 1));
    for (uint32_t j = 0; j < id; ++j) insert_slot(*bigger, entry(j).hash, j);
    cur = bigger.get();
    tables_.push_back(std::move(bigger));
    slots_.store(cur, std::memory_order_release);
  }
  insert_slot(*cur, h, id);
  count_.store(n + 1, std::memory_order_release);
  return id;
}

std::optional<uint32_t> PublishedTable::find(std::string_view s, uint64_t hash, size_t limit) const {
  const Slots* t = slots_.load(std::memory_order_acquire);
  const auto h = static_cast<uint32_t>(hash);
  for (size_t i = h & t->mask;; i = (i + 1) & t->mask) {
    const uint64_t v = t->slot[i].load(std::memory_order_acquire);
    if (v == 0) return std::nullopt;
    if (static_cast<uint32_t>(v >> 32) != h) continue;
    const auto id = static_cast<uint32_t>((v & 0xFFFFFFFFu) - 1);
    if (id >= limit) continue;
    if (entry(id).view() == s) return id;
  }
}

void PublishedTable::validate(size_t limit, bool writer_locked) const {
  const size_t n = count();
  ZX_CHECK(limit <= n, "interner table: a snapshot counts more strings than were published");
  for (uint32_t id = 0; id < limit; ++id) {
    const Entry& e = entry(id);
    ZX_CHECK(e.bytes != nullptr, "interner table: an entry has no bytes");
    ZX_CHECK(e.hash == hash_str(e.view()), "interner table: entry " + std::to_string(id) + " has a stale hash");
    ZX_CHECK(find(e.view(), e.hash, limit) == id, "interner table: entry " + std::to_string(id) + " is not found");
  }
  if (!writer_locked) return;
  const Slots* t = slots_.load(std::memory_order_acquire);
  ZX_CHECK(t == tables_.back().get(), "interner table: the published slot table is not the newest");
  ZX_CHECK(2 * n <= t->mask + 1, "interner table: slot table more than half full");
  size_t used = 0;
  for (size_t i = 0; i <= t->mask; ++i) {
    const uint64_t v = t->slot[i].load(std::memory_order_acquire);
    if (v == 0) continue;
    ++used;
    const uint64_t id = (v & 0xFFFFFFFFu) - 1;
    ZX_CHECK(id < n, "interner table: a slot names an id past the published strings");
    ZX_CHECK(entry(static_cast<uint32_t>(id)).hash == v >> 32, "interner table: a slot's hash is not its entry's");
  }
  ZX_CHECK(used == n, "interner table: the slots do not list every id exactly once");
}

}  // namespace zarvex
