#include "index/core/structures/string_interner/immutable_interner.hpp"

namespace zarvex {

ImmutableInterner::ImmutableInterner(const MutableInterner& source) : tables_(source.tables()) {}

std::optional<uint32_t> ImmutableInterner::get(std::string_view s) const { return tables_.find(s, hash_str(s)); }

std::string_view ImmutableInterner::resolve(uint32_t id) const { return tables_.resolve(id); }

void ImmutableInterner::validate() const { tables_.validate("interner snapshot"); }

}  // namespace zarvex
