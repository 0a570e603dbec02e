// MutableInterner: the writable side of the string interner, and the tables
// it shares in layout with every published snapshot (ImmutableInterner).
//
// InternerTables holds, in this order:
//   strings  id -> InternedStr; ids are dense from 0 and never removed.
//   by_hash  (hash_str of the bytes, byte length) -> the ids with that key,
//            ascending, one inline (a second id only on a 32-bit collision).
// Invariants (checked by validate()): every id i sits in exactly one list,
// the one keyed by (hash_str(strings[i]), strings[i].len); lists are non-empty
// and ascending; no two ids hold equal bytes.
//
// Cost: a lookup hashes the string once (hash_str), probes by_hash once and
// compares bytes only for ids whose hash and length both match. Adding a
// string allocates its shared bytes and appends to both tables.
//
// Thread-safety: none of its own. StrInterner keeps the one MutableInterner
// behind its mutex; snapshots copy the tables and are then never changed.
// Failures: an id in a by_hash list past the end of strings, resolving an
// unknown id, a string longer than 2^32 - 1 bytes and id exhaustion are
// internal failures.
#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/inlined_vector.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "support/hasher.hpp"
#include "support/memory.hpp"

namespace zarvex {

// One interned string. The bytes are allocated once, when the string is
// first interned, and are shared (never copied) by the writable side and every
// snapshot that holds the string; they never change.
struct InternedStr {
  std::shared_ptr<const char[]> bytes;
  uint32_t len = 0;

  std::string_view view() const { return {bytes.get(), len}; }
};
static_assert(sizeof(InternedStr) == 24, "an interned string is a shared pointer and a 32-bit length");

// Key of by_hash: the 64-bit hash_str value (high half always 0) and the
// byte length. Two strings are compared byte by byte only when both agree.
struct StrKey {
  uint64_t hash = 0;
  uint32_t len = 0;

  friend bool operator==(const StrKey&, const StrKey&) = default;
};

// by_hash's hasher: the multiplicative hasher over (hash as 64 bits, length).
struct StrKeyHash {
  size_t operator()(const StrKey& k) const {
    MulHasher h;
    h.add64(k.hash);
    h.add32(k.len);
    return h.finish();
  }
};

using InternIdList = absl::InlinedVector<uint32_t, 1>;
// Tables grow through the reserve (support/memory.hpp).
using InternByHash = absl::flat_hash_map<StrKey, InternIdList, StrKeyHash, std::equal_to<StrKey>,
                                         memory::UnfailingAllocator<std::pair<const StrKey, InternIdList>>>;

struct InternerTables {
  std::vector<InternedStr> strings;
  InternByHash by_hash;

  // The id holding exactly the bytes of `s`, whose hash_str is `hash`.
  std::optional<uint32_t> find(std::string_view s, uint64_t hash) const;
  // Bytes of `id`; an id at or past strings.size() is an internal failure.
  std::string_view resolve(uint32_t id) const;
  // Checks the invariants listed above; `who` prefixes the failure message.
  void validate(const char* who) const;
};

// The id of `s` among `ids` (a by_hash list), comparing bytes.
std::optional<uint32_t> match_interned(const std::vector<InternedStr>& strings, const InternIdList& ids,
                                       std::string_view s);

class MutableInterner {
 public:
  // Pre-sizes strings and by_hash for `capacity` strings.
  explicit MutableInterner(size_t capacity);

  struct Interned {
    uint32_t id;
    bool added;  // false: the string was already present
  };
  // The id of `s`, appending it (next dense id) when absent.
  Interned intern(std::string_view s);
  std::optional<uint32_t> get(std::string_view s) const;
  std::string_view resolve(uint32_t id) const { return tables_.resolve(id); }
  size_t size() const { return tables_.strings.size(); }
  const InternerTables& tables() const { return tables_; }
  void validate() const { tables_.validate("mutable interner"); }

 private:
  InternerTables tables_;
};

}  // namespace zarvex
