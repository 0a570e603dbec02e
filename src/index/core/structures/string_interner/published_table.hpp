// PublishedTable: the append-only, lock-free readable side of the string
// interner. One writer (the interner, under its mutex) appends strings with
// dense ids; any number of readers look strings up and resolve ids at the
// same time without locks. A snapshot of the interner is this table plus a
// string count: readers ignore ids at or past their count, so a snapshot is
// O(1) to take and every snapshot shares the one table.
//
// Layout:
//   segments_  entries by id in segments of doubling size (kFirstSegment,
//              then twice as many each); a segment never moves once
//              allocated, so an entry's address is stable. Entry i is
//              written before any slot or count that names it is published.
//   slots_     open addressing with linear probing: each slot is 0 (empty) or
//              (hash << 32 | id + 1). The table is at most half full; when an
//              append would pass that, the writer builds one of twice the
//              size, publishes it (release) and keeps the old one alive until
//              the table dies (a reader may still be probing it; old tables
//              add up to less than the current one).
// Memory order: the writer stores an entry, then its slot (release); a
// reader loads the slot table and slots with acquire, so an id it finds has
// its entry in place.
//
// Cost: find() is one hash probe sequence (expected O(1) at half load) plus
// byte comparisons for equal hashes; it never allocates or locks, and a miss
// stops at the first empty slot, so an unknown string costs no more than a
// known one. append() is amortised O(1) (growth copies each slot once per
// doubling).
//
// Failures (InternalFailure): appending past 2^32 - 1 strings; resolving an
// id at or past the count the caller holds (checked by the caller).
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace zarvex {

class PublishedTable {
 public:
  struct Entry {
    std::shared_ptr<const char[]> bytes;  // shared with the writable side
    uint32_t len = 0;
    uint32_t hash = 0;
    std::string_view view() const { return {bytes.get(), len}; }
  };

  PublishedTable();
  ~PublishedTable();
  PublishedTable(const PublishedTable&) = delete;
  PublishedTable& operator=(const PublishedTable&) = delete;

  // Writer only (one at a time): appends `bytes` (whose hash_str is `hash`)
  // as id `count()`. The caller has checked that the string is absent.
  uint32_t append(std::shared_ptr<const char[]> bytes, uint32_t len, uint64_t hash);
  // Strings appended so far (writer's view; readers use their own count).
  size_t count() const { return count_.load(std::memory_order_acquire); }

  // The id below `limit` holding exactly `s` (hash_str `hash`).
  std::optional<uint32_t> find(std::string_view s, uint64_t hash, size_t limit) const;
  // Entry of an id below a count the caller obtained from this table.
  const Entry& entry(uint32_t id) const;

  // Checks, for the first `limit` ids, that each entry's hash is its bytes'
  // hash_str and that find() returns the id. With `writer_locked` (the
  // caller excludes appends) also that the slot table is the newest, at most
  // half full and lists every appended id exactly once.
  void validate(size_t limit, bool writer_locked) const;

 private:
  static constexpr size_t kFirstSegment = 64;
  static constexpr size_t kSegments = 27;  // 64 * (2^27 - 1) > 2^32 ids

  struct Slots {
    explicit Slots(size_t n);
    size_t mask;
    std::unique_ptr<std::atomic<uint64_t>[]> slot;
  };

  static size_t segment_of(uint32_t id, size_t& offset);
  void insert_slot(Slots& s, uint32_t hash, uint32_t id);

  std::array<std::atomic<Entry*>, kSegments> segments_{};
  std::atomic<Slots*> slots_;
  std::vector<std::unique_ptr<Slots>> tables_;  // writer only; the last is current
  std::atomic<size_t> count_{0};
};

}  // namespace zarvex
