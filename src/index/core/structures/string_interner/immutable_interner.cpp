#include "index/core/structures/string_interner/immutable_interner.hpp"

#include <string>
#include <utility>

#include "support/internal_failure.hpp"

namespace zarvex {

ImmutableInterner::ImmutableInterner(std::shared_ptr<const PublishedTable> table, size_t size)
    : table_(std::move(table)), size_(size) {}

std::optional<uint32_t> ImmutableInterner::get(std::string_view s) const {
  if (size_ == 0) return std::nullopt;
  return table_->find(s, hash_str(s), size_);
}

std::string_view ImmutableInterner::resolve(uint32_t id) const {
  if (id >= size_) fail("interner: unknown string id " + std::to_string(id));
  return table_->entry(id).view();
}

void ImmutableInterner::validate() const {
  if (table_) table_->validate(size_, false);
}

}  // namespace zarvex
