// StrInterner: maps strings (attribute names and other often-compared texts)
// to dense 32-bit ids, for the whole process. Ids are never reused and strings
// are never removed. interner() is the process-wide instance, created on
// first use with room for 1024 strings and never destroyed.
//
// Layout and guards:
//   write_mutex_ a PoisonMutex; only intern() of a string missing from the
//                caller's snapshot takes it. Serialises appends to table_.
//   table_       the PublishedTable (entries and hash slots), shared with
//                every snapshot; appended to under write_mutex_, read
//                without locks (see published_table.hpp).
//   published_   the current ImmutableInterner (table_ and a string count);
//                replaced, under the mutex, each time a string is added;
//                read and written only through std::atomic_load /
//                std::atomic_store.
//   generation_  bumped (release) after each replacement of published_.
//   uid_         never changes; unique per interner in the process.
//
// Publication. Readers never take the mutex and never block on a writer.
// Each thread caches a shared pointer to the last snapshot it loaded, tagged
// with (uid_, generation_); a lookup whose tag still matches costs one
// acquire load of generation_ and no reference-count traffic or lock. When
// the tag is stale the thread reloads published_ with std::atomic_load,
// which in libstdc++ holds a pooled internal lock for the duration of one
// shared_ptr copy; that happens once per thread per published snapshot. The
// free-function overloads are used instead of std::atomic<std::shared_ptr>,
// which g++ 12 implements with a lock bit in the pointer that
// ThreadSanitizer cannot see (false race reports); the pooled lock is a
// plain pthread mutex that it understands. Ordering: a writer stores
// published_ before bumping generation_, a reader loads generation_ before
// published_, so a cached tag never claims a newer generation than its
// snapshot (it may claim an older one, which only costs a reload).
//
// Cost: a hit (string already interned) is one hash_str, one probe sequence
// and a byte comparison; no lock, no allocation. A lookup of a string never
// interned costs the same (the probe stops at an empty slot). A miss in
// intern() takes the mutex, appends the string (amortised O(1)) and
// publishes a new snapshot, which is O(1): snapshots share the table.
//
// Thread-safety: every member may be called from any thread at once. The
// snapshot cache is thread-local, so a thread keeps the last snapshot it used
// alive until it next touches an interner or exits.
// Failures (InternalFailure): resolving an id the current snapshot does not
// hold; intern() on a mutex poisoned by an earlier failure while it was held.
// Running out of memory while adding a string throws std::bad_alloc and
// leaves the interner as it was (the mutex is not poisoned).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "index/core/structures/string_interner/immutable_interner.hpp"
#include "index/core/structures/string_interner/interner_view.hpp"
#include "index/core/structures/string_interner/published_table.hpp"
#include "support/object_lock.hpp"
#include "support/poison_lock.hpp"

namespace zarvex {

class StrInterner {
 public:
  static constexpr size_t kDefaultCapacity = 1024;

  // Publishes the first (empty) snapshot before returning. The table grows
  // on demand; `capacity` is accepted for callers that size it up front.
  explicit StrInterner(size_t capacity);
  static std::unique_ptr<StrInterner> with_capacity(size_t capacity);
  StrInterner(const StrInterner&) = delete;
  StrInterner& operator=(const StrInterner&) = delete;

  // The existing id of `s`, or the next id after adding it. Adding re-checks
  // under the mutex: a concurrent intern may have added `s` meanwhile.
  uint32_t intern(std::string_view s) { return add(s); }
  // Lookup in the current snapshot; never locks.
  std::optional<uint32_t> get(std::string_view s) const;
  // The bytes of `id`; valid while the interner lives (the writable side
  // holds every string for good).
  std::string_view resolve(uint32_t id) const;
  // A handle on the current snapshot.
  StrInternerView view() const;
  // Number of strings in the current snapshot.
  size_t size() const;
  // The current snapshot, shared.
  std::shared_ptr<const ImmutableInterner> snapshot() const;
  // Checks the table's invariants and that the published snapshot holds
  // every appended string (true whenever the mutex is free).
  void validate() const;

 private:
  friend class StrInternerView;

  uint32_t add(std::string_view s) const;
  // The calling thread's cached snapshot, refreshed if stale. The reference
  // stays valid until this thread's next call of current() on any interner.
  const ImmutableInterner& current() const;

  const uint64_t uid_;
  // The interner is internally synchronized, so adding a string is allowed
  // through const references (views hold one); hence `mutable`.
  // A leaf: no object lock is taken while it is held.
  mutable PoisonMutex write_mutex_ ABSL_ACQUIRED_AFTER(ObjectLock::membership);
  const std::shared_ptr<PublishedTable> table_;
  mutable std::shared_ptr<const ImmutableInterner> published_;
  mutable std::atomic<uint64_t> generation_{1};
};

// The process-wide interner (INTERNER), created on first use.
StrInterner& interner();

}  // namespace zarvex
