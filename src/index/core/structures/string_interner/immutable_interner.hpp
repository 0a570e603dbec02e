// ImmutableInterner: one published snapshot of the string interner: the
// interner's shared PublishedTable and the number of strings it held when
// the snapshot was taken. Ids at or past that count are invisible through
// it, so it never changes after construction and any number of threads may
// read it at once without locks; holders keep it (and the table) alive
// through a shared pointer.
//
// Cost: get() is one hash_str and one probe sequence of the shared table,
// with a byte comparison for equal hashes; it allocates nothing and an
// unknown string costs no more than a known one. Building a snapshot is
// O(1): the table is shared, not copied.
//
// Failures: resolving an id at or past size() is an internal failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "index/core/structures/string_interner/published_table.hpp"
#include "support/hasher.hpp"

namespace zarvex {

class ImmutableInterner {
 public:
  // The empty snapshot every interner publishes first.
  ImmutableInterner() = default;
  ImmutableInterner(std::shared_ptr<const PublishedTable> table, size_t size);
  ImmutableInterner(const ImmutableInterner&) = delete;
  ImmutableInterner& operator=(const ImmutableInterner&) = delete;

  // The interner's string hash: a 32-bit value widened to 64 bits.
  static uint64_t hash_str(std::string_view s) { return zarvex::hash_str(s); }

  std::optional<uint32_t> get(std::string_view s) const;
  // The bytes live as long as any holder of the string (this snapshot, the
  // writable side, or a later snapshot).
  std::string_view resolve(uint32_t id) const;
  size_t size() const { return size_; }
  void validate() const;

 private:
  const std::shared_ptr<const PublishedTable> table_;
  const size_t size_ = 0;
};

}  // namespace zarvex
