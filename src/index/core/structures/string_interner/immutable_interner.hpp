// ImmutableInterner: one published snapshot of the string interner: a copy of
// the writable side's tables (the string handles are copied, sharing the
// bytes; by_hash is copied whole, lists included) taken when a string was
// added. It never changes after construction, so any number of threads may
// read it at once without locks; holders keep it alive through a shared
// pointer.
//
// Cost: get() is one hash_str, one probe of by_hash and a byte comparison;
// it allocates nothing. Building a snapshot is linear in the number of
// strings (one reference-count increment per string plus the map copy).
//
// Failures: resolving an id at or past size() is an internal failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "index/core/structures/string_interner/mutable_interner.hpp"
#include "support/hasher.hpp"

namespace zarvex {

class ImmutableInterner {
 public:
  // The empty snapshot every interner publishes first.
  ImmutableInterner() = default;
  explicit ImmutableInterner(const MutableInterner& source);
  ImmutableInterner(const ImmutableInterner&) = delete;
  ImmutableInterner& operator=(const ImmutableInterner&) = delete;

  // The interner's string hash: a 32-bit value widened to 64 bits.
  static uint64_t hash_str(std::string_view s) { return zarvex::hash_str(s); }

  std::optional<uint32_t> get(std::string_view s) const;
  // The bytes live as long as any holder of the string (this snapshot, the
  // writable side, or a later snapshot).
  std::string_view resolve(uint32_t id) const;
  size_t size() const { return tables_.strings.size(); }
  const InternerTables& tables() const { return tables_; }
  void validate() const;

 private:
  const InternerTables tables_;
};

}  // namespace zarvex
