// CenteredArray<T, N>: a sorted set of at most N values kept in a fixed block
// of N slots. The values form one contiguous, strictly ascending run
// (slots start .. start + len - 1); slots outside the run hold stale values
// that are never read. The run is kept away from both walls of the block so
// that an insertion or removal moves only the shorter side of the run.
//
// Used as CenteredArray<uint32_t, 4> by the Small and Medium forms of
// HybridSet; the layout (N slots, then start, then len, both machine words)
// is the same in both forms.
//
// Cost: no allocation, ever. Search is a branch-light binary search over the
// run; insert/remove move at most about half of the run; union_with and
// intersect_with are linear merges into a local block.
//
// Thread-safety: none of its own; it is guarded as the set that holds it.
//
// Failures (InternalFailure): insert into a full array ("CenteredArray full");
// a union whose merged run would exceed N values ("index out of range").
// Callers size-check first, so neither happens in normal operation.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <type_traits>

#include "support/internal_failure.hpp"

namespace zarvex {

template <class T, size_t N>
class CenteredArray {
  static_assert(N >= 2, "a centered run needs room on both sides");
  static_assert(std::is_trivially_copyable_v<T>, "slots are moved with plain copies");

 public:
  static constexpr size_t kCapacity = N;

  // All fields zero: start 0, len 0.
  constexpr CenteredArray() = default;

  // Adds value if absent. Re-centres the run first when it touches the left
  // wall or leaves no free slot on the right, even if value is present.
  void insert(T value) {
    if (len_ > N - 1) fail("CenteredArray full");
    if (start_ == 0 || start_ + len_ > N - 1) recentre();
    const Found f = search(value);
    if (f.found) return;
    const size_t p = f.pos;
    T* run = data_ + start_;
    if (start_ != 0 && p < len_ / 2) {
      // Shift the p smaller values one slot left.
      std::copy(run, run + p, run - 1);
      --start_;
    } else {
      // After re-centring start + len <= N - 1, so the right shift fits.
      std::copy_backward(run + p, run + len_, run + len_ + 1);
    }
    data_[start_ + p] = value;
    ++len_;
  }

  // Removes value; true when it was present.
  bool remove(T value) {
    if (len_ == 0) return false;
    const Found f = search(value);
    if (!f.found) return false;
    const size_t p = f.pos;
    T* run = data_ + start_;
    // The side to close is chosen by the slot index of the hole compared with
    // half the length (not by its position in the run).
    if (start_ + p < len_ / 2) {
      std::copy_backward(run, run + p, run + p + 1);
      ++start_;
    } else {
      std::copy(run + p + 1, run + len_, run + p);
    }
    --len_;
    return true;
  }

  bool contains(T value) const { return len_ != 0 && search(value).found; }

  // self becomes self ∪ other, re-centred (0 values at N/2, ...). The caller
  // guarantees the union fits; a value past the N-th is an internal failure.
  void union_with(const CenteredArray& other) {
    T out[N];
    size_t w = 0;
    const T* a = begin();
    const T* const ae = end();
    const T* b = other.begin();
    const T* const be = other.end();
    while (a != ae && b != be) {
      const T x = *a, y = *b;
      put(out, w, x < y ? x : y);
      if (x <= y) ++a;
      if (y <= x) ++b;
    }
    for (; a != ae; ++a) put(out, w, *a);
    for (; b != be; ++b) put(out, w, *b);
    place(out, w);
  }

  // self becomes self ∩ other (two-cursor merge), re-centred like a union.
  void intersect_with(const CenteredArray& other) {
    T out[N];
    size_t m = 0;
    const T* a = begin();
    const T* const ae = end();
    const T* b = other.begin();
    const T* const be = other.end();
    while (a != ae && b != be) {
      if (*a > *b) {
        ++b;
      } else if (*a < *b) {
        ++a;
      } else {
        out[m++] = *a;
        ++a;
        ++b;
      }
    }
    place(out, m);
  }

  size_t start() const { return start_; }
  size_t len() const { return len_; }
  bool empty() const { return len_ == 0; }
  // The run, ascending.
  const T* begin() const { return data_ + start_; }
  const T* end() const { return data_ + start_ + len_; }
  std::span<const T> values() const { return {begin(), len_}; }
  // Raw slot i of the block (stale outside the run); for inspection.
  T slot(size_t i) const {
    ZX_CHECK(i < N, "CenteredArray slot index out of range");
    return data_[i];
  }

  // Checks: start + len within the block, len <= N, run strictly ascending.
  void validate() const {
    if (len_ > N) fail("CenteredArray invariant broken: len " + std::to_string(len_) + " exceeds capacity");
    if (start_ > N - len_)
      fail("CenteredArray invariant broken: start + len = " + std::to_string(start_ + len_) + " leaves the block of " +
           std::to_string(N));
    for (size_t i = 1; i < len_; ++i)
      if (!(data_[start_ + i - 1] < data_[start_ + i]))
        fail("CenteredArray invariant broken: run not strictly ascending at position " + std::to_string(i));
  }

 private:
  struct Found {
    bool found;
    size_t pos;  // position of value, or the number of run values below it
  };

  // Binary search over a non-empty run (an empty run answers pos 0).
  Found search(T value) const {
    if (len_ == 0) return {false, 0};
    const T* r = data_ + start_;
    size_t base = 0, size = len_;
    while (size > 1) {
      const size_t half = size / 2;
      const size_t mid = base + half;
      base = r[mid] <= value ? mid : base;
      size -= half;
    }
    if (r[base] == value) return {true, base};
    return {false, r[base] < value ? base + 1 : base};
  }

  static size_t centred_start(size_t len) { return (N - len) / 2; }

  void recentre() {
    const size_t target = centred_start(len_);
    if (target < start_)
      std::copy(data_ + start_, data_ + start_ + len_, data_ + target);
    else if (target > start_)
      std::copy_backward(data_ + start_, data_ + start_ + len_, data_ + target + len_);
    start_ = target;
  }

  static void put(T (&out)[N], size_t& w, T v) {
    if (w == N) fail("index out of range: CenteredArray union exceeds its capacity");
    out[w++] = v;
  }

  // Stores the n merged values of out as the new run at its centred start.
  void place(const T (&out)[N], size_t n) {
    const size_t target = centred_start(n);
    std::copy(out, out + n, data_ + target);
    start_ = target;
    len_ = n;
  }

  T data_[N]{};
  size_t start_ = 0;
  size_t len_ = 0;
};

}  // namespace zarvex
