#include "index/core/structures/string_interner/interner_view.hpp"

#include <utility>

#include "index/core/structures/string_interner/interner.hpp"

namespace zarvex {

StrInternerView::StrInternerView(const StrInterner& owner, std::shared_ptr<const ImmutableInterner> snapshot)
    : owner_(&owner), snapshot_(std::move(snapshot)) {}

uint32_t StrInternerView::get_or_intern(std::string_view s) {
  if (auto id = snapshot_->get(s)) return *id;
  const uint32_t id = owner_->add(s);
  // intern publishes before it returns, so the current snapshot holds `id`.
  snapshot_ = owner_->snapshot();
  return id;
}

}  // namespace zarvex
