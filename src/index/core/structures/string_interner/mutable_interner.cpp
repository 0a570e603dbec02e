#include "index/core/structures/string_interner/mutable_interner.hpp"

#include <cstring>
#include <limits>
#include <string>

#include "support/internal_failure.hpp"

namespace zarvex {

std::optional<uint32_t> match_interned(const std::vector<InternedStr>& strings, const InternIdList& ids,
                                       std::string_view s) {
  for (uint32_t id : ids) {
    ZX_CHECK(id < strings.size(), "interner: an id in by_hash is past the end of strings");
    if (strings[id].view() == s) return id;
  }
  return std::nullopt;
}

std::optional<uint32_t> InternerTables::find(std::string_view s, uint64_t hash) const {
  if (by_hash.empty()) return std::nullopt;
  auto it = by_hash.find(StrKey{hash, static_cast<uint32_t>(s.size())});
  if (it == by_hash.end()) return std::nullopt;
  return match_interned(strings, it->second, s);
}

std::string_view InternerTables::resolve(uint32_t id) const {
  if (id >= strings.size()) fail("interner: unknown string id " + std::to_string(id));
  return strings[id].view();
}

void InternerTables::validate(const char* who) const {
  const std::string w(who);
  ZX_CHECK(strings.size() <= size_t{std::numeric_limits<uint32_t>::max()} + 1,
           w + ": more strings than 32-bit ids");
  for (const InternedStr& s : strings)
    ZX_CHECK(s.bytes != nullptr, w + ": an interned string has no bytes");
  size_t listed = 0;
  for (const auto& [key, ids] : by_hash) {
    ZX_CHECK(!ids.empty(), w + ": empty id list in by_hash");
    ZX_CHECK(key.hash >> 32 == 0, w + ": by_hash key with a non-zero high hash half");
    for (size_t i = 0; i < ids.size(); ++i) {
      const uint32_t id = ids[i];
      ZX_CHECK(id < strings.size(), w + ": an id in by_hash is past the end of strings");
      ZX_CHECK(i == 0 || ids[i - 1] < id, w + ": by_hash id list not strictly ascending");
      const std::string_view bytes = strings[id].view();
      ZX_CHECK(bytes.size() == key.len && hash_str(bytes) == key.hash,
               w + ": id " + std::to_string(id) + " filed under another string's (hash, length)");
      for (size_t j = 0; j < i; ++j)
        ZX_CHECK(strings[ids[j]].view() != bytes, w + ": two ids hold equal strings");
    }
    listed += ids.size();
  }
  // Each id can only be in the list of its own key and lists hold no repeats,
  // so equal counts mean every id is listed exactly once.
  ZX_CHECK(listed == strings.size(), w + ": by_hash does not list every id exactly once");
}

MutableInterner::MutableInterner(size_t capacity) {
  tables_.strings.reserve(capacity);
  tables_.by_hash.reserve(capacity);
}

std::optional<uint32_t> MutableInterner::get(std::string_view s) const {
  return tables_.find(s, hash_str(s));
}

MutableInterner::Interned MutableInterner::intern(std::string_view s) {
  ZX_CHECK(s.size() <= std::numeric_limits<uint32_t>::max(), "interner: string longer than 2^32 - 1 bytes");
  const auto len = static_cast<uint32_t>(s.size());
  auto [it, fresh] = tables_.by_hash.try_emplace(StrKey{hash_str(s), len});
  if (!fresh)
    if (auto id = match_interned(tables_.strings, it->second, s)) return {*id, false};

  ZX_CHECK(tables_.strings.size() <= std::numeric_limits<uint32_t>::max(), "interner: string ids exhausted");
  const auto id = static_cast<uint32_t>(tables_.strings.size());
  // At least one byte, so that every interned string (the empty one too)
  // owns a non-null allocation.
  std::shared_ptr<char[]> bytes = std::make_shared_for_overwrite<char[]>(s.empty() ? 1 : s.size());
  if (!s.empty()) std::memcpy(bytes.get(), s.data(), s.size());
  tables_.strings.push_back(InternedStr{std::move(bytes), len});
  it->second.push_back(id);
  return {id, true};
}

}  // namespace zarvex
