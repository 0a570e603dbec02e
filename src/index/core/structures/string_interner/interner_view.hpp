// StrInternerView: a reader's handle on one snapshot of a StrInterner, for a
// sequence of lookups and resolutions that must all see the same strings.
// Releasing the view releases the snapshot.
//
// get() and resolve() never block and allocate nothing. get_or_intern()
// interns a string the snapshot lacks (taking the interner's mutex) and then
// replaces the held snapshot by the current one, so later lookups through the
// view find it.
// (The module itself resolves through views and interns through
// StrInterner::intern; get_or_intern is the view's documented way to add a
// string and is reached by the C++ tests.)
//
// Thread-safety: the const members may run concurrently; get_or_intern()
// changes the view and needs the caller to own it (views are per-thread
// handles). A view must not outlive its interner (the process-wide one lives
// forever). Resolving an id the held snapshot does not have is an internal
// failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "index/core/structures/string_interner/immutable_interner.hpp"

namespace zarvex {

class StrInterner;

class StrInternerView {
 public:
  StrInternerView(const StrInterner& owner, std::shared_ptr<const ImmutableInterner> snapshot);

  std::optional<uint32_t> get(std::string_view s) const { return snapshot_->get(s); }
  uint32_t get_or_intern(std::string_view s);
  // The bytes stay valid while the view or the interner lives.
  std::string_view resolve(uint32_t id) const { return snapshot_->resolve(id); }
  // Number of strings in the held snapshot.
  size_t size() const { return snapshot_->size(); }
  const ImmutableInterner& snapshot() const { return *snapshot_; }

 private:
  const StrInterner* owner_;
  std::shared_ptr<const ImmutableInterner> snapshot_;
};

}  // namespace zarvex
