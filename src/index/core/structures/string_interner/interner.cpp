#include "index/core/structures/string_interner/interner.hpp"

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

StrInterner::StrInterner(size_t capacity)
    : uid_(next_uid.fetch_add(1, std::memory_order_relaxed)),
      writable_(capacity),
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
  auto w = writable_.lock();
  const MutableInterner::Interned r = w->intern(s);
  // Already present: another thread added it and published before unlocking,
  // so the current snapshot has it and there is nothing to republish.
  if (r.added) {
    std::atomic_store(&published_, std::make_shared<const ImmutableInterner>(*w));
    generation_.fetch_add(1, std::memory_order_release);
  }
  return r.id;
}

void StrInterner::validate() const {
  auto w = writable_.lock();
  w->validate();
  const std::shared_ptr<const ImmutableInterner> snap = std::atomic_load(&published_);
  snap->validate();
  const auto& mine = w->tables().strings;
  const auto& theirs = snap->tables().strings;
  ZX_CHECK(mine.size() == theirs.size(), "interner: published snapshot does not hold every interned string");
  for (size_t i = 0; i < mine.size(); ++i)
    ZX_CHECK(mine[i].bytes == theirs[i].bytes && mine[i].len == theirs[i].len,
             "interner: published snapshot does not share the writable side's bytes");
}

StrInterner& interner() {
  // Never destroyed: other process-wide state may still intern or resolve
  // names while static destructors run.
  static StrInterner* const instance = new StrInterner(StrInterner::kDefaultCapacity);
  return *instance;
}

}  // namespace zarvex
