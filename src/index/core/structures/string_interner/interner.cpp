#include "index/core/structures/string_interner/interner.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "support/internal_failure.hpp"

namespace zarvex {

namespace {

std::atomic<uint64_t> next_uid{1};

// The last snapshot this thread loaded, and the interner and generation it
// belongs to. uid 0 matches no interner.
struct SnapshotCache {
  uint64_t uid = 0;
  uint64_t generation = 0;
  std::shared_ptr<const ImmutableInterner> snapshot;
};
thread_local SnapshotCache tls_snapshot;

}  // namespace

StrInterner::StrInterner(size_t /*capacity*/)
    : uid_(next_uid.fetch_add(1, std::memory_order_relaxed)),
      table_(std::make_shared<PublishedTable>()),
      published_(std::make_shared<const ImmutableInterner>()) {}

std::unique_ptr<StrInterner> StrInterner::with_capacity(size_t capacity) {
  return std::make_unique<StrInterner>(capacity);
}

const ImmutableInterner& StrInterner::current() const {
  SnapshotCache& cache = tls_snapshot;
  const uint64_t generation = generation_.load(std::memory_order_acquire);
  if (cache.uid == uid_ && cache.generation == generation) [[likely]]
    return *cache.snapshot;
  cache.snapshot = std::atomic_load(&published_);
  cache.uid = uid_;
  cache.generation = generation;
  return *cache.snapshot;
}

std::optional<uint32_t> StrInterner::get(std::string_view s) const { return current().get(s); }

std::string_view StrInterner::resolve(uint32_t id) const { return current().resolve(id); }

size_t StrInterner::size() const { return current().size(); }

std::shared_ptr<const ImmutableInterner> StrInterner::snapshot() const {
  current();
  return tls_snapshot.snapshot;
}

StrInternerView StrInterner::view() const { return StrInternerView(*this, snapshot()); }

uint32_t StrInterner::add(std::string_view s) const {
  if (auto id = current().get(s)) return *id;
  ZX_CHECK(s.size() <= std::numeric_limits<uint32_t>::max(), "interner: string longer than 2^32 - 1 bytes");
  const uint64_t hash = hash_str(s);
  MutexGuard guard(write_mutex_);
  try {
    // Another thread may have added `s` after this thread's snapshot was
    // taken; it published before unlocking, so the table's count covers it.
    if (auto id = table_->find(s, hash, table_->count())) return *id;
    // At least one byte, so that every interned string (the empty one too)
    // owns a non-null allocation.
    std::shared_ptr<char[]> bytes = std::make_shared_for_overwrite<char[]>(s.empty() ? 1 : s.size());
    if (!s.empty()) std::memcpy(bytes.get(), s.data(), s.size());
    auto next = std::make_shared<const ImmutableInterner>(table_, table_->count() + 1);
    const uint32_t id = table_->append(std::move(bytes), static_cast<uint32_t>(s.size()), hash);
    std::atomic_store(&published_, std::shared_ptr<const ImmutableInterner>(std::move(next)));
    generation_.fetch_add(1, std::memory_order_release);
    return id;
  } catch (const std::bad_alloc&) {
    // Nothing was published: the interner is unchanged, and the mutex is
    // released without being poisoned.
    guard.release();
    throw;
  }
}

void StrInterner::validate() const {
  MutexGuard guard(write_mutex_);
  table_->validate(table_->count(), true);
  const std::shared_ptr<const ImmutableInterner> snap = std::atomic_load(&published_);
  snap->validate();
  ZX_CHECK(snap->size() == table_->count(), "interner: published snapshot does not hold every interned string");
}

StrInterner& interner() {
  // Never destroyed: other process-wide state may still intern or resolve
  // names while static destructors run.
  static StrInterner* const instance = new StrInterner(StrInterner::kDefaultCapacity);
  return *instance;
}

}  // namespace zarvex
