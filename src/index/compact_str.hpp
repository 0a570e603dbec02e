// CompactStr: an immutable UTF-8 text. Up to 23 bytes live inside the object;
// longer texts live in one shared, reference-counted heap buffer, so copies
// never copy characters. Used for `Str` values and attribute paths.
//
// Cost: 32 bytes; a long text costs one allocation when first built.
// Thread-safety: immutable; copies may be made and dropped on any thread
// (the buffer count is atomic). Python-free.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace zarvex {

// Whether two texts hold the same bytes: inline word compares, since the
// texts compared (attribute values, keys) are mostly short and a call to
// memcmp costs more than the compare itself.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
  const size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  auto word = [](const char* at) {
    uint64_t w;
    std::memcpy(&w, at, 8);
    return w;
  };
  auto half = [](const char* at) {
    uint32_t w;
    std::memcpy(&w, at, 4);
    return w;
  };
  if (n >= 8) {
    // Whole words, the last one ending at the last byte (it may overlap).
    for (size_t i = 0; i + 8 < n; i += 8)
      if (word(p + i) != word(q + i)) return false;
    return word(p + n - 8) == word(q + n - 8);
  }
  if (n >= 4) return half(p) == half(q) && half(p + n - 4) == half(q + n - 4);
  for (size_t i = 0; i < n; ++i)
    if (p[i] != q[i]) return false;
  return true;
}

class CompactStr {
 public:
  static constexpr size_t kInline = 23;

  CompactStr() noexcept { inline_[0] = 0; }
  explicit CompactStr(std::string_view s) {
    len_ = static_cast<uint32_t>(s.size());
    if (s.size() <= kInline) {
      std::memcpy(inline_, s.data(), s.size());
    } else {
      void* mem = std::malloc(sizeof(Buf) + s.size());
      if (!mem) throw std::bad_alloc();
      buf_ = new (mem) Buf{};
      buf_->rc.store(1, std::memory_order_relaxed);
      std::memcpy(buf_->data, s.data(), s.size());
    }
  }
  CompactStr(const CompactStr& o) noexcept : len_(o.len_) {
    if (o.is_inline()) {
      std::memcpy(inline_, o.inline_, kInline);
    } else {
      buf_ = o.buf_;
      buf_->rc.fetch_add(1, std::memory_order_relaxed);
    }
  }
  CompactStr(CompactStr&& o) noexcept : len_(o.len_) {
    if (o.is_inline()) {
      std::memcpy(inline_, o.inline_, kInline);
    } else {
      buf_ = o.buf_;
      o.len_ = 0;
    }
  }
  CompactStr& operator=(const CompactStr& o) noexcept {
    if (this != &o) {
      CompactStr tmp(o);
      swap(tmp);
    }
    return *this;
  }
  CompactStr& operator=(CompactStr&& o) noexcept {
    if (this != &o) {
      CompactStr tmp(std::move(o));
      swap(tmp);
    }
    return *this;
  }
  ~CompactStr() {
    if (!is_inline() && buf_->rc.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      buf_->~Buf();
      std::free(buf_);
    }
  }

  std::string_view view() const noexcept {
    return is_inline() ? std::string_view(inline_, len_) : std::string_view(buf_->data, len_);
  }
  size_t size() const noexcept { return len_; }
  bool is_inline() const noexcept { return len_ <= kInline; }
  bool operator==(const CompactStr& o) const noexcept { return same_text(view(), o.view()); }

 private:
  struct Buf {
    std::atomic<uint32_t> rc;
    char data[1];
  };
  void swap(CompactStr& o) noexcept {
    char tmp[sizeof(inline_)];
    std::memcpy(tmp, inline_, sizeof(inline_));
    std::memcpy(inline_, o.inline_, sizeof(inline_));
    std::memcpy(o.inline_, tmp, sizeof(inline_));
    std::swap(len_, o.len_);
  }
  union {
    char inline_[kInline + 1];
    Buf* buf_;
  };
  uint32_t len_ = 0;
};

static_assert(sizeof(CompactStr) <= 32);

}  // namespace zarvex
