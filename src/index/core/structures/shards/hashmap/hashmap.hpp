// ShardedHashMap<K, V>: a hash map split into a power-of-two number of
// shards, each an absl::flat_hash_map under its own PoisonRwLock, so that
// writers of different keys rarely contend. The exact-value index of an
// attribute is a ShardedHashMap<PyValue, HybridSet> with 16 shards.
//
// Keys: K provides `uint64_t hash64() const` (the key's cached hash, never
// recomputed here) and operator==. That one 64-bit value feeds two
// independent hashers:
//   - shard choice: the multiplicative hasher over (low half, high half),
//     rotated, AND mask;
//   - inside the shard: SipHash-1-3 of its 8 little-endian bytes under the
//     shard map's own key pair (SipKeys::fresh(), so no two maps share keys).
//
// Layout and guards:
//   member        | guarded by            | changes after construction
//   shards_[i].map| shards_[i].lock       | yes (entries)
//   shards_[i]    | atomic                | null until the first write access
//                 |                       | to shard i, then set once (CAS)
//   shards_       | -                     | no (one block of pointers)
//   count_, mask_ | -                     | no
// A shard that was never written to is not allocated: readers treat it as
// an empty map. A map with few keys (the index of a rare attribute) thus
// costs a block of pointers and the shards its keys fall in, not all of them.
//
// Locking: get() holds the key's shard read lock for the lookup and the copy
// of the value, visit() for the lookup and the caller's reading of it; get_shard() hands out the shard's write lock
// with its map; with_two() holds the write locks of two keys' shards, but only tries the second; is_empty() and the
// shard walks take one shard lock at a time, in shard order, and never hold two. A
// walk therefore sees each shard at one moment, not the whole map at one moment. Locks wait detached from the
// interpreter (see poison_lock.hpp).
//
// Failures (InternalFailure): a shard count that is not a power of two; any
// lock poisoned by an earlier failure while it was held.
//
// Movable, not copyable. A moved-from map may only be destroyed or assigned.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "absl/container/flat_hash_map.h"
#include "index/core/structures/shards/hashmap/siphash.hpp"
#include "support/hasher.hpp"
#include "support/internal_failure.hpp"
#include "support/memory.hpp"
#include "support/object_lock.hpp"
#include "support/poison_lock.hpp"

namespace zarvex {

// In-shard hasher: SipHash-1-3 of key.hash64() under a per-map key pair. A
// default-constructed hasher (one per new map) draws a fresh pair.
// Transparent, as KeyEq is: a map may be searched with any key type that
// compares with K and hashes as the K it equals (a borrowed form of a key,
// which saves building one for a look-up).
template <class K>
struct SipKeyHash {
  using is_transparent = void;
  SipKeys keys = SipKeys::fresh();

  // Keys may refine the in-shard hash with `bucket_hash64()` (consistent with
  // their equality) while shard choice keeps using `hash64()`.
  template <class Q>
  size_t operator()(const Q& key) const noexcept {
    if constexpr (requires { key.bucket_hash64(); }) {
      return static_cast<size_t>(siphash13_u64(keys.k0, keys.k1, key.bucket_hash64()));
    } else {
      return static_cast<size_t>(siphash13_u64(keys.k0, keys.k1, key.hash64()));
    }
  }
};

template <class K>
struct KeyEq {
  using is_transparent = void;
  template <class A, class B>
  bool operator()(const A& a, const B& b) const {
    return a == b;
  }
};

template <class K, class V>
class ShardedHashMap {
 public:
  // Tables grow through the reserve (support/memory.hpp): a half-grown
  // table cannot be repaired.
  using Map = absl::flat_hash_map<K, V, SipKeyHash<K>, KeyEq<K>, memory::UnfailingAllocator<std::pair<const K, V>>>;

  static constexpr size_t kDefaultShardCount = 16;
  static_assert((kDefaultShardCount & (kDefaultShardCount - 1)) == 0);

  // Write access to one shard's map; holds the shard's write lock until it
  // is destroyed or released.
  class ShardAccess {
   public:
    Map& operator*() const { return *map_; }
    Map* operator->() const { return map_; }
    void release() ABSL_NO_THREAD_SAFETY_ANALYSIS {
      guard_.release();
      map_ = nullptr;
    }

   private:
    friend class ShardedHashMap;
    // The guard is a member: the analysis does not follow it.
    ShardAccess(PoisonRwLock& lock, Map& map) ABSL_NO_THREAD_SAFETY_ANALYSIS : guard_(lock), map_(&map) {}
    WriteGuard guard_;
    Map* map_;
  };

  explicit ShardedHashMap(size_t shard_count = kDefaultShardCount)
      : shards_(checked_alloc(shard_count)), count_(shard_count), mask_(shard_count - 1) {}
  ~ShardedHashMap() { free_shards(); }

  static ShardedHashMap with_shard_count(size_t n) { return ShardedHashMap(n); }

  ShardedHashMap(ShardedHashMap&&) noexcept = default;
  ShardedHashMap& operator=(ShardedHashMap&& other) noexcept {
    if (this != &other) {
      free_shards();
      shards_ = std::move(other.shards_);
      count_ = other.count_;
      mask_ = other.mask_;
    }
    return *this;
  }
  ShardedHashMap(const ShardedHashMap&) = delete;
  ShardedHashMap& operator=(const ShardedHashMap&) = delete;

  size_t shard_count() const { return count_; }
  size_t mask() const { return mask_; }

  size_t shard_index(uint64_t key_hash) const { return mul_hash_u64(key_hash) & mask_; }

  // A copy of the value under key, or nothing.
  std::optional<V> get(const K& key) const {
    const Shard* sp = shard_if_any(shard_index(key.hash64()));
    if (!sp) return std::nullopt;
    const Shard& s = *sp;
    ReadGuard g(s.lock);
    if (s.map.empty()) return std::nullopt;
    auto it = s.map.find(key);
    if (it == s.map.end()) return std::nullopt;
    return std::optional<V>(std::in_place, it->second);
  }

  // f(const V&) on the value under key, in place, under the shard's read
  // lock; returns false (without calling f) when the key is absent. f must
  // not take this map's locks.
  template <class F>
  bool visit(const K& key, F&& f) const {
    const Shard* sp = shard_if_any(shard_index(key.hash64()));
    if (!sp) return false;
    const Shard& s = *sp;
    ReadGuard g(s.lock);
    if (s.map.empty()) return false;
    auto it = s.map.find(key);
    if (it == s.map.end()) return false;
    f(static_cast<const V&>(it->second));
    return true;
  }

  // Allocates the key's shard if it has none yet (std::bad_alloc leaves the
  // map unchanged).
  ShardAccess get_shard(const K& key) {
    Shard& s = shard_for_write(shard_index(key.hash64()));
    return ShardAccess(s.lock, s.map);
  }

  // f(Map& of_a, Map& of_b) under the write locks of the shards of keys a
  // and b (one lock when they share a shard: f then gets that map twice).
  // The second lock is only tried: when another thread holds it, nothing is
  // done and the answer is false. So no thread waits while it holds a shard
  // lock in write mode, and readers that hold several shard locks at once
  // cannot close a cycle with it. Allocates the shards that have none yet
  // (std::bad_alloc leaves the map unchanged).
  template <class A, class B, class F>
  bool with_two(const A& a, const B& b, F&& f) ABSL_NO_THREAD_SAFETY_ANALYSIS {
    const size_t ia = shard_index(a.hash64()), ib = shard_index(b.hash64());
    Shard& sa = shard_for_write(ia);
    Shard& sb = shard_for_write(ib);
    WriteGuard first(sa.lock);
    if (ia == ib) {
      f(sa.map, sa.map);
      return true;
    }
    if (!sb.lock.try_lock()) return false;
    WriteGuard second(sb.lock, std::adopt_lock);
    f(sa.map, sb.map);
    return true;
  }

  // with_two() for up to kMostKeys keys: f(Map* const* maps), maps[k] the
  // map of keys[k]'s shard, with the write locks of all their shards held
  // (each once). The first key's shard is waited for, the others only tried:
  // false, with nothing held and f not run, when one of them is taken.
  static constexpr size_t kMostKeys = 16;
  template <class Q, class F>
  bool with_many(std::span<const Q* const> keys, F&& f) ABSL_NO_THREAD_SAFETY_ANALYSIS {
    ZX_CHECK(!keys.empty() && keys.size() <= kMostKeys, "sharded map: with_many takes 1 to 16 keys");
    Shard* shards[kMostKeys];
    Map* maps[kMostKeys];
    for (size_t k = 0; k < keys.size(); ++k) {
      shards[k] = &shard_for_write(shard_index(keys[k]->hash64()));
      maps[k] = &shards[k]->map;
    }
    WriteGuard first(shards[0]->lock);
    std::optional<WriteGuard> others[kMostKeys];
    for (size_t k = 1; k < keys.size(); ++k) {
      if (std::find(shards, shards + k, shards[k]) != shards + k) continue;  // held already
      if (!shards[k]->lock.try_lock()) return false;
      others[k].emplace(shards[k]->lock, std::adopt_lock);
    }
    f(static_cast<Map* const*>(maps));
    return true;
  }

  // True when every shard's map is empty; stops at the first non-empty one.
  bool is_empty() const {
    for (size_t i = 0; i < count_; ++i) {
      const Shard* s = shard_if_any(i);
      if (!s) continue;
      ReadGuard g(s->lock);
      if (!s->map.empty()) return false;
    }
    return true;
  }

  // f(const Map&) for each allocated shard in order, under that shard's read
  // lock only (a shard never written to holds nothing and is skipped).
  template <class F>
  void for_each_shard_read(F&& f) const {
    for (size_t i = 0; i < count_; ++i) {
      const Shard* s = shard_if_any(i);
      if (!s) continue;
      ReadGuard g(s->lock);
      f(static_cast<const Map&>(s->map));
    }
  }

  // f(Map&) for each allocated shard in order, under that shard's write lock
  // only; f may change or remove entries. If f throws, that shard stays
  // poisoned.
  template <class F>
  void for_each_shard_write(F&& f) {
    for (size_t i = 0; i < count_; ++i) {
      Shard* s = shard_if_any(i);
      if (!s) continue;
      WriteGuard g(s->lock);
      f(s->map);
    }
  }

  // f(const Map&) for each allocated shard, without the shard locks: only for
  // a reader that knows no writer can run (see RwLocked::unguarded).
  template <class F>
  void for_each_shard_unguarded(F&& f) const ABSL_NO_THREAD_SAFETY_ANALYSIS {
    for (size_t i = 0; i < count_; ++i)
      if (const Shard* s = shard_if_any(i)) f(static_cast<const Map&>(s->map));
  }

  // Diagnostic: true when no thread holds shard i's lock at this instant
  // (tries the write lock without blocking and releases it at once). Must
  // not be called by a thread that holds that lock. A poisoned shard fails
  // as any other lock attempt does.
  bool probe_shard_unlocked(size_t i) const {
    ZX_CHECK(i < count_, "shard index out of range");
    const Shard* s = shard_if_any(i);
    if (!s) return true;
    PoisonRwLock& l = s->lock;
    if (!l.try_lock()) return false;
    l.unlock();
    return true;
  }

  // Checks the shard geometry and that every key lives in the shard its
  // hash chooses; values with a validate() of their own are checked too.
  // Takes each shard's read lock in turn.
  void validate() const {
    ZX_CHECK(shards_ != nullptr, "ShardedHashMap invariant broken: no shard block (moved-from map)");
    ZX_CHECK(count_ != 0 && (count_ & (count_ - 1)) == 0,
             "ShardedHashMap invariant broken: shard count not a power of two");
    ZX_CHECK(mask_ == count_ - 1, "ShardedHashMap invariant broken: mask != shard_count - 1");
    for (size_t i = 0; i < count_; ++i) {
      const Shard* s = shard_if_any(i);
      if (!s) continue;
      ReadGuard g(s->lock);
      for (const auto& kv : s->map) {
        if (shard_index(kv.first.hash64()) != i)
          fail("ShardedHashMap invariant broken: key in shard " + std::to_string(i) + " belongs to shard " +
               std::to_string(shard_index(kv.first.hash64())));
        if constexpr (requires { kv.second.validate(); }) kv.second.validate();
      }
    }
  }

 private:
  // Cache-line aligned so that the locks of neighbouring shards do not share
  // a line.
  // Order: taken after the locks of the object being filed (its attributes
  // lock, hence its writer lock) and never held while an object's
  // membership lock is taken.
  struct alignas(64) Shard {
    mutable PoisonRwLock lock ABSL_ACQUIRED_AFTER(ObjectLock::attributes) ABSL_ACQUIRED_BEFORE(ObjectLock::membership);
    Map map ABSL_GUARDED_BY(lock);  // default-constructed: a new map with fresh hasher keys
  };

  using ShardSlot = std::atomic<Shard*>;

  static std::unique_ptr<ShardSlot[]> checked_alloc(size_t n) {
    if (n == 0 || (n & (n - 1)) != 0) fail("assertion failed: shard_count.is_power_of_two()");
    auto slots = std::unique_ptr<ShardSlot[]>(new ShardSlot[n]);
    for (size_t i = 0; i < n; ++i) slots[i].store(nullptr, std::memory_order_relaxed);
    return slots;
  }

  void free_shards() noexcept {
    if (shards_)
      for (size_t i = 0; i < count_; ++i) delete shards_[i].load(std::memory_order_relaxed);
  }

  Shard* shard_if_any(size_t i) const { return shards_[i].load(std::memory_order_acquire); }

  Shard& shard_for_write(size_t i) {
    if (Shard* s = shard_if_any(i)) return *s;
    // Racing writers each build a shard; the first to install it wins and
    // the others drop theirs.
    auto fresh = std::make_unique<Shard>();
    Shard* expected = nullptr;
    if (shards_[i].compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel)) return *fresh.release();
    return *expected;
  }

  std::unique_ptr<ShardSlot[]> shards_;
  size_t count_;
  size_t mask_;
};

}  // namespace zarvex
