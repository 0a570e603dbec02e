#include "support/bitmap.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

#include <immintrin.h>
#include <nmmintrin.h>
#include <roaring/roaring.h>

#include "absl/container/inlined_vector.h"
#include "support/internal_failure.hpp"
#include "support/memory.hpp"

namespace zarvex {

// Every operation that may allocate is an injection point (checked builds)
// before CRoaring is called, so an injected failure leaves the bitmap as it
// was. CRoaring itself reports some failed allocations (a null result, a
// false return): those become std::bad_alloc too.
//
// The bitmap's record (CRoaring's roaring_bitmap_t: the size of its
// container list and the list's one block) lives inside the Bitmap. An empty
// record points at nothing, so an empty bitmap owns no memory, and a moved
// Bitmap takes the record and leaves an empty one behind. CRoaring 0.2
// allocates with malloc and frees a record it made with free: adopt() takes
// such a record's contents and frees the shell alone.
static_assert(sizeof(roaring_bitmap_t) <= 40 && alignof(roaring_bitmap_t) <= 8,
              "Bitmap holds CRoaring's bitmap record in 40 bytes");
namespace {
[[noreturn]] void out_of_memory() { throw std::bad_alloc(); }
}  // namespace

// Replaces this (empty) bitmap's record with r's and frees r's shell.
void Bitmap::adopt(roaring_bitmap_s* r) {
  if (!r) out_of_memory();
  ra_clear(&raw()->high_low_container);
  std::memcpy(record_, r, sizeof(roaring_bitmap_t));
  std::free(r);
}

void Bitmap::reserve_empty(uint32_t containers) {
  if (!ra_init_with_capacity(&raw()->high_low_container, containers)) out_of_memory();
}

Bitmap::Bitmap() noexcept {
  static_assert(offsetof(roaring_bitmap_t, high_low_container) == 0 &&
                    offsetof(roaring_array_t, containers) == kContainersAt &&
                    offsetof(roaring_array_t, typecodes) == kTypecodesAt,
                "prefetch() reads the container list's pointers at these offsets");
  ra_init(&raw()->high_low_container);
}

Bitmap::Bitmap(std::initializer_list<uint32_t> ids) : Bitmap(std::span<const uint32_t>(ids.begin(), ids.size())) {}

// These two delegate to Bitmap(): once it has run, a failure in the body
// destroys the bitmap, which frees whatever the body had added.
Bitmap::Bitmap(std::span<const uint32_t> ids) : Bitmap() { add_many(ids); }

Bitmap::Bitmap(const Bitmap& other) : Bitmap() {
  memory::injection_point();
  if (!roaring_bitmap_overwrite(raw(), other.raw())) out_of_memory();
}

Bitmap::Bitmap(Bitmap&& other) noexcept {
  std::memcpy(record_, other.record_, sizeof(record_));
  ra_init(&other.raw()->high_low_container);
}

Bitmap& Bitmap::operator=(const Bitmap& other) {
  if (this != &other) {
    memory::injection_point();
    if (!roaring_bitmap_overwrite(raw(), other.raw())) out_of_memory();
  }
  return *this;
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
  if (this != &other) {
    ra_clear(&raw()->high_low_container);
    std::memcpy(record_, other.record_, sizeof(record_));
    ra_init(&other.raw()->high_low_container);
  }
  return *this;
}

Bitmap::~Bitmap() { ra_clear(&raw()->high_low_container); }

// Container shapes. CRoaring keeps a container of up to 4,096 ids as a
// sorted array, and adding or removing an id shifts the ids after it: for
// arrays of thousands of ids (a value held by a few percent of the objects)
// that shift is most of the cost of the change, and intersecting such arrays
// is a merge. So a container is made a bitset (8 KiB: at most twice the
// array) once it reaches kBitsetFrom ids, and stays one until it falls below
// kArrayBelow: one id going in and out at a boundary never converts back and
// forth. Changes of single ids follow this; CRoaring's own operations
// (unions, intersections, bulk adds) give containers its usual shapes, which
// every operation accepts either way.
// Bitmaps that are changed an id at a time far more often than they are
// read (the ordered trees' per-slot bitmaps: every write of a number changes
// two or four of them) take the bitset earlier, from kDenseBitsetFrom ids,
// where the array's shift and its binary search over several lines would
// cost more than the 8 KiB container's one line.
namespace {
constexpr int32_t kBitsetFrom = 2048;
constexpr int32_t kArrayBelow = 1024;
constexpr int32_t kDenseBitsetFrom = 512;
constexpr int32_t kDenseArrayBelow = 256;
}  // namespace

void Bitmap::add(uint32_t id) { add_shaped(id, kBitsetFrom); }
void Bitmap::add_dense(uint32_t id) { add_shaped(id, kDenseBitsetFrom); }
void Bitmap::remove(uint32_t id) { remove_shaped(id, kArrayBelow); }
void Bitmap::remove_dense(uint32_t id) { remove_shaped(id, kDenseArrayBelow); }

void Bitmap::add_shaped(uint32_t id, int32_t bitset_from) {
  memory::injection_point();
  roaring_array_t& ra = raw()->high_low_container;
  const uint16_t low = static_cast<uint16_t>(id);
  const int32_t i = ra_get_index(&ra, static_cast<uint16_t>(id >> 16));
  if (i >= 0 && ra.typecodes[i] == BITSET_CONTAINER_TYPE_CODE) {
    bitset_container_add(static_cast<bitset_container_t*>(ra.containers[i]), low);
    return;
  }
  if (i >= 0 && ra.typecodes[i] == ARRAY_CONTAINER_TYPE_CODE) {
    auto* a = static_cast<array_container_t*>(ra.containers[i]);
    if (a->cardinality + 1 < bitset_from) {
      array_container_add(a, low);
      return;
    }
    if (a->cardinality < 4096) {
      // Without memory for the bitset the container stays an array.
      if (bitset_container_t* b = bitset_container_from_array(a)) {
        ra_set_container_at_index(&ra, i, b, BITSET_CONTAINER_TYPE_CODE);
        array_container_free(a);
        bitset_container_add(b, low);
        return;
      }
    }
  }
  roaring_bitmap_add(raw(), id);
}
void Bitmap::add_many(std::span<const uint32_t> ids) {
  if (ids.empty()) return;
  memory::injection_point();
  roaring_bitmap_add_many(raw(), ids.size(), ids.data());
  // The containers the ids went to take the shape single adds give them.
  // Ids come in any order: the pass covers the keys between the first and
  // the last, which are the touched ones when the ids ascend (bulk filing).
  roaring_array_t& ra = raw()->high_low_container;
  uint16_t lo = static_cast<uint16_t>(ids.front() >> 16), hi = static_cast<uint16_t>(ids.back() >> 16);
  if (lo > hi) std::swap(lo, hi);
  for (int32_t i = ra_advance_until(&ra, lo, -1); i < ra.size && ra.keys[i] <= hi; ++i) {
    if (ra.typecodes[i] != ARRAY_CONTAINER_TYPE_CODE) continue;
    auto* a = static_cast<array_container_t*>(ra.containers[i]);
    if (a->cardinality < kBitsetFrom) continue;
    // Without memory for the bitset the container stays an array.
    if (bitset_container_t* b = bitset_container_from_array(a)) {
      ra_set_container_at_index(&ra, i, b, BITSET_CONTAINER_TYPE_CODE);
      array_container_free(a);
    }
  }
}
// from_sorted fills containers itself, through the container layer of the
// CRoaring 0.2 releases (Debian's libroaring): a library whose containers
// are laid out otherwise stops the build here.
static_assert(sizeof(array_container_t) == 16 && sizeof(bitset_container_t) == 16,
              "from_sorted expects the container layout of CRoaring 0.2");

Bitmap Bitmap::from_sorted(std::span<const uint32_t> ids) {
  Bitmap out;
  if (ids.empty()) return out;
  memory::injection_point();
  // Room for every container up front: appending never grows the arrays.
  out.reserve_empty((ids.back() >> 16) - (ids.front() >> 16) + 1);
  constexpr size_t kArrayMost = kBitsetFrom - 1;  // larger containers are bitsets
  roaring_array_t* ra = &out.raw()->high_low_container;
  for (size_t i = 0; i < ids.size();) {
    const uint32_t high = ids[i] >> 16;
    size_t end = i + 1;
    while (end < ids.size() && (ids[end] >> 16) == high) ++end;
    const size_t n = end - i;
    if (n <= kArrayMost) {
      array_container_t* c = array_container_create_given_capacity(static_cast<int32_t>(n));
      if (!c) out_of_memory();
      for (size_t k = 0; k < n; ++k) c->array[k] = static_cast<uint16_t>(ids[i + k]);
      c->cardinality = static_cast<int32_t>(n);
      ra_append(ra, static_cast<uint16_t>(high), c, ARRAY_CONTAINER_TYPE_CODE);
    } else {
      bitset_container_t* c = bitset_container_create();
      if (!c) out_of_memory();
      for (size_t k = i; k < end; ++k) c->array[(ids[k] & 0xFFFF) >> 6] |= uint64_t{1} << (ids[k] & 63);
      c->cardinality = static_cast<int32_t>(n);
      ra_append(ra, static_cast<uint16_t>(high), c, BITSET_CONTAINER_TYPE_CODE);
    }
    i = end;
  }
  return out;
}

void Bitmap::remove_shaped(uint32_t id, int32_t array_below) {
  memory::injection_point();
  roaring_array_t& ra = raw()->high_low_container;
  // The container list is one block (pointers, keys, type codes) that may
  // straddle two lines: both are requested before the search reads the keys.
  __builtin_prefetch(ra.typecodes);
  __builtin_prefetch(ra.containers);
  const int32_t i = ra_get_index(&ra, static_cast<uint16_t>(id >> 16));
  if (i < 0) return;
  if (ra.typecodes[i] == ARRAY_CONTAINER_TYPE_CODE) {
    // The container found above, without the library's second search.
    auto* a = static_cast<array_container_t*>(ra.containers[i]);
    if (array_container_remove(a, static_cast<uint16_t>(id)) && a->cardinality == 0)
      ra_remove_at_index_and_free(&ra, i);
    return;
  }
  if (ra.typecodes[i] != BITSET_CONTAINER_TYPE_CODE) {
    roaring_bitmap_remove(raw(), id);
    return;
  }
  auto* b = static_cast<bitset_container_t*>(ra.containers[i]);
  if (!bitset_container_remove(b, static_cast<uint16_t>(id))) return;
  if (b->cardinality == 0) {
    ra_remove_at_index_and_free(&ra, i);
  } else if (b->cardinality < array_below) {
    // Without memory for the array the container stays a bitset.
    if (array_container_t* a = array_container_from_bitset(b)) {
      ra_set_container_at_index(&ra, i, a, ARRAY_CONTAINER_TYPE_CODE);
      bitset_container_free(b);
    }
  }
}
namespace {
// Requests the line of container `c` (of type `type`) that holds or would
// hold the low half `low` of an id.
void prefetch_in_container(const void* c, uint8_t type, uint32_t low) {
  if (type == BITSET_CONTAINER_TYPE_CODE) {
    __builtin_prefetch(static_cast<const bitset_container_t*>(c)->array + (low >> 6));
  } else if (type == ARRAY_CONTAINER_TYPE_CODE) {
    const auto* a = static_cast<const array_container_t*>(c);
    __builtin_prefetch(a->array + (static_cast<uint64_t>(a->cardinality) * low >> 16));
  }
}
}  // namespace

void Bitmap::prefetch_id(uint32_t id) const {
  const roaring_array_t& ra = raw()->high_low_container;
  const int32_t i = ra_get_index(&ra, static_cast<uint16_t>(id >> 16));
  if (i >= 0) prefetch_in_container(ra.containers[i], ra.typecodes[i], id & 0xFFFF);
}
void Bitmap::prefetch_id_in(std::span<const Bitmap* const> bitmaps, uint32_t id) {
  constexpr size_t kMost = 32;
  const size_t n = std::min(bitmaps.size(), kMost);
  const uint16_t high = static_cast<uint16_t>(id >> 16);
  const uint32_t low = id & 0xFFFF;
  // Each stage reads what the one before requested, then requests the next
  // level of every bitmap before the following stage reads any of it.
  for (size_t k = 0; k < n; ++k)
    if (bitmaps[k]) __builtin_prefetch(bitmaps[k]->record_);
  for (size_t k = 0; k < n; ++k) {
    if (!bitmaps[k]) continue;
    const roaring_array_t& ra = bitmaps[k]->raw()->high_low_container;
    __builtin_prefetch(ra.keys);
    __builtin_prefetch(ra.typecodes);
    __builtin_prefetch(ra.containers);
  }
  const void* containers[kMost];
  uint8_t types[kMost];
  for (size_t k = 0; k < n; ++k) {
    containers[k] = nullptr;
    if (!bitmaps[k]) continue;
    const roaring_array_t& ra = bitmaps[k]->raw()->high_low_container;
    const int32_t i = ra_get_index(&ra, high);
    if (i < 0) continue;
    containers[k] = ra.containers[i];
    types[k] = ra.typecodes[i];
    __builtin_prefetch(containers[k]);
  }
  for (size_t k = 0; k < n; ++k)
    if (containers[k]) prefetch_in_container(containers[k], types[k], low);
}
bool Bitmap::contains(uint32_t id) const { return roaring_bitmap_contains(raw(), id); }
uint64_t Bitmap::cardinality() const { return roaring_bitmap_get_cardinality(raw()); }
bool Bitmap::is_empty() const { return roaring_bitmap_is_empty(raw()); }
uint32_t Bitmap::maximum() const { return roaring_bitmap_maximum(raw()); }
uint32_t Bitmap::minimum() const { return roaring_bitmap_minimum(raw()); }
bool Bitmap::spans_containers() const { return raw()->high_low_container.size > 1; }
bool Bitmap::is_contiguous() const {
  if (is_empty()) return false;
  return cardinality() == uint64_t{maximum()} - minimum() + 1;
}
void Bitmap::clear() { roaring_bitmap_clear(raw()); }

void Bitmap::or_inplace(const Bitmap& other) {
  memory::injection_point();
  roaring_bitmap_or_inplace(raw(), other.raw());
}
// In-place intersection for the shapes the query engine meets: both sets
// hold array and bitset containers (run containers are left to CRoaring).
// Array-with-array pairs of similar sizes go through a block intersection on
// SSE4.2 (the library's own is a scalar merge, several times slower on such
// pairs); skewed pairs use the library's galloping one; an array meets a
// bitset by probes; two bitsets are ANDed word by word. Only containers of
// `acc` change or go; the one allocation, a small bitset result's array, may
// fail and leave the bitset, so no failure can leave `acc` half done.
namespace {

// Shuffle controls that pack the 16-bit lanes named by an 8-bit mask to the
// front of a vector, in lane order.
constexpr std::array<std::array<uint8_t, 16>, 256> make_pack_table() {
  std::array<std::array<uint8_t, 16>, 256> t{};
  for (int m = 0; m < 256; ++m) {
    int out = 0;
    for (int lane = 0; lane < 8; ++lane) {
      if (m & (1 << lane)) {
        t[m][out++] = static_cast<uint8_t>(2 * lane);
        t[m][out++] = static_cast<uint8_t>(2 * lane + 1);
      }
    }
    while (out < 16) t[m][out++] = 0x80;
  }
  return t;
}
constexpr auto kPack = make_pack_table();

// Ascending, distinct A and B; writes A ∩ B to `out` (room for min(na, nb)
// values plus 8) and returns its size. Blocks of 8 are compared all against
// all; the block with the smaller last value is replaced, as in a merge, so
// each value of A meets every block of B that could hold it. The tails go
// through a plain merge.
__attribute__((target("sse4.2"))) size_t intersect_blocks(const uint16_t* a, size_t na, const uint16_t* b, size_t nb,
                                                          uint16_t* out) {
  size_t i = 0, j = 0, k = 0;
  const size_t na8 = na & ~size_t{7}, nb8 = nb & ~size_t{7};
  if (na8 && nb8) {
    __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a));
    __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
    for (;;) {
      const __m128i hits = _mm_cmpestrm(vb, 8, va, 8, _SIDD_UWORD_OPS | _SIDD_CMP_EQUAL_ANY | _SIDD_BIT_MASK);
      const int m = _mm_cvtsi128_si32(hits) & 0xFF;
      if (m) {
        const __m128i ctl = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPack[m].data()));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm_shuffle_epi8(va, ctl));
        k += static_cast<size_t>(std::popcount(static_cast<unsigned>(m)));
      }
      const uint16_t amax = a[i + 7], bmax = b[j + 7];
      if (amax <= bmax) {
        i += 8;
        if (i == na8) break;
        va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
      }
      if (bmax <= amax) {
        j += 8;
        if (j == nb8) break;
        vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + j));
      }
    }
  }
  while (i < na && j < nb) {
    const uint16_t x = a[i], y = b[j];
    out[k] = x;
    k += x == y;
    i += x <= y;
    j += y <= x;
  }
  return k;
}

// Read while the module loads, possibly before the runtime's own CPU probe
// has run: probe first.
const bool kHaveSse42 = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2") != 0;
}();

size_t intersect_arrays(const uint16_t* a, size_t na, const uint16_t* b, size_t nb, uint16_t* out) {
  if (na * 64 < nb) return static_cast<size_t>(intersect_skewed_uint16(a, na, b, nb, out));
  if (nb * 64 < na) return static_cast<size_t>(intersect_skewed_uint16(b, nb, a, na, out));
  if (kHaveSse42) return intersect_blocks(a, na, b, nb, out);
  return static_cast<size_t>(intersect_uint16(a, na, b, nb, out));
}

bool arrays_and_bitsets(const roaring_array_t& ra) {
  for (int32_t i = 0; i < ra.size; ++i)
    if (ra.typecodes[i] != ARRAY_CONTAINER_TYPE_CODE && ra.typecodes[i] != BITSET_CONTAINER_TYPE_CODE) return false;
  return true;
}

// dst = a & b over a bitset container; returns the ids in it. While they
// are fewer than kBitsetFrom they are also written to `out` (room for
// kBitsetFrom + 512), ascending.
__attribute__((always_inline)) inline int32_t and_words_body(uint64_t* dst, const uint64_t* a, const uint64_t* b,
                                                             uint16_t* out) {
  // Results are mostly sparse (a word holds zero, one or two ids): two
  // positions are written whatever the word holds, and only a word with
  // more takes a loop, so the pass does not mispredict a branch per word.
  // Positions past the count are overwritten by the next word's.
  int32_t card = 0;
  for (int32_t w = 0; w < BITSET_CONTAINER_SIZE_IN_WORDS; ++w) {
    uint64_t bits = a[w] & b[w];
    dst[w] = bits;
    const int32_t count = std::popcount(bits);
    if (card < kBitsetFrom) {
      const int32_t base = w * 64;
      out[card] = static_cast<uint16_t>(base + std::countr_zero(bits));
      bits &= bits - 1;
      out[card + 1] = static_cast<uint16_t>(base + std::countr_zero(bits));
      if (count > 2) {
        bits &= bits - 1;
        for (int32_t n = card + 2; bits != 0; bits &= bits - 1)
          out[n++] = static_cast<uint16_t>(base + std::countr_zero(bits));
      }
    }
    card += count;
  }
  return card;
}

// The word loops are built for the baseline and, for CPUs with POPCNT and
// BMI, a second time with them (the library's own are built for the
// baseline, with a software count). The CPU is checked once at load, not
// by a resolver, which would run before the sanitizers' runtimes.
const bool kHavePopcnt = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
}();
__attribute__((target("popcnt,bmi"))) int32_t and_words_popcnt(uint64_t* dst, const uint64_t* a, const uint64_t* b,
                                                               uint16_t* out) {
  return and_words_body(dst, a, b, out);
}
// With AVX-512: eight words per step, and only the words that hold ids are
// visited to write them out.
const bool kHaveAvx512Popcnt = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq") &&
         __builtin_cpu_supports("bmi");
}();
__attribute__((target("avx512f,avx512vpopcntdq,popcnt,bmi"))) int32_t and_words_avx512(uint64_t* dst, const uint64_t* a,
                                                                                       const uint64_t* b,
                                                                                       uint16_t* out) {
  int32_t card = 0;
  int32_t w = 0;
  for (; w < BITSET_CONTAINER_SIZE_IN_WORDS && card < kBitsetFrom; w += 8) {
    const __m512i v = _mm512_and_si512(_mm512_loadu_si512(a + w), _mm512_loadu_si512(b + w));
    _mm512_storeu_si512(dst + w, v);
    for (unsigned nonzero = _mm512_test_epi64_mask(v, v); nonzero != 0; nonzero &= nonzero - 1) {
      const int32_t word = w + std::countr_zero(nonzero);
      for (uint64_t bits = dst[word]; bits != 0; bits &= bits - 1)
        out[card++] = static_cast<uint16_t>(word * 64 + std::countr_zero(bits));
    }
  }
  __m512i counts = _mm512_setzero_si512();
  for (; w < BITSET_CONTAINER_SIZE_IN_WORDS; w += 8) {
    const __m512i v = _mm512_and_si512(_mm512_loadu_si512(a + w), _mm512_loadu_si512(b + w));
    _mm512_storeu_si512(dst + w, v);
    counts = _mm512_add_epi64(counts, _mm512_popcnt_epi64(v));
  }
  alignas(64) uint64_t lanes[8];
  _mm512_store_si512(lanes, counts);
  for (uint64_t n : lanes) card += static_cast<int32_t>(n);
  return card;
}

int32_t and_words(uint64_t* dst, const uint64_t* a, const uint64_t* b, uint16_t* out) {
  if (kHaveAvx512Popcnt) return and_words_avx512(dst, a, b, out);
  return kHavePopcnt ? and_words_popcnt(dst, a, b, out) : and_words_body(dst, a, b, out);
}

// The ids of `vals` (ascending) that bitset `words` holds, into `out`, which
// may be `vals` itself (each id is read before any write can reach it).
size_t probe_plain(const uint16_t* vals, size_t count, const uint64_t* words, uint16_t* out) {
  size_t n = 0, k = 0;
  // Four ids a step, whose bits are tested together first: in a narrowing
  // intersection most ids are not held, and a step that holds none stores
  // nothing (the test mispredicts about as often as a step holds one).
  for (; k + 4 <= count; k += 4) {
    const uint16_t a = vals[k], b = vals[k + 1], c = vals[k + 2], d = vals[k + 3];
    const uint64_t ha = words[a >> 6] >> (a & 63), hb = words[b >> 6] >> (b & 63);
    const uint64_t hc = words[c >> 6] >> (c & 63), hd = words[d >> 6] >> (d & 63);
    if (((ha | hb | hc | hd) & 1) == 0) continue;
    out[n] = a;
    n += ha & 1;
    out[n] = b;
    n += hb & 1;
    out[n] = c;
    n += hc & 1;
    out[n] = d;
    n += hd & 1;
  }
  for (; k < count; ++k) {
    const uint16_t v = vals[k];
    out[n] = v;
    n += (words[v >> 6] >> (v & 63)) & 1;
  }
  return n;
}
// With AVX-512: sixteen ids a step, their words gathered and the held ids
// packed out.
const bool kHaveAvx512Gather = [] {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi2");
}();
#define ZX_AVX512_PROBE __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,popcnt")))
ZX_AVX512_PROBE size_t probe_avx512(const uint16_t* vals, size_t count, const uint64_t* words, uint16_t* out) {
  // Sixteen ids a step: the bitset read as 32-bit words (little-endian, so
  // bit v of the set is bit v & 31 of word v >> 5), one gather each.
  size_t n = 0, k = 0;
  const __m512i low5 = _mm512_set1_epi32(31);
  const __m512i one = _mm512_set1_epi32(1);
  for (; k + 16 <= count; k += 16) {
    const __m256i v16 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(vals + k));
    // The zero-masked forms: the plain ones start from an undefined vector,
    // which this compiler's headers make a warning.
    const __m512i v32 = _mm512_maskz_cvtepu16_epi32(0xFFFF, v16);
    const __m512i w =
        _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xFFFF, _mm512_maskz_srli_epi32(0xFFFF, v32, 5), words, 4);
    const __m512i bits = _mm512_maskz_srlv_epi32(0xFFFF, w, _mm512_maskz_and_epi32(0xFFFF, v32, low5));
    const __mmask16 held = _mm512_test_epi32_mask(bits, one);
    // Packed in a register, then stored whole: the compressing store to
    // memory is microcoded on some processors (on this machine's AMD EPYC
    // the 4-attribute query took 76 instead of 17 us). The sixteen lanes
    // written end at most at out + k + 16: within the buffer, and where
    // `out` is `vals`, over ids read already.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n), _mm256_maskz_compress_epi16(held, v16));
    n += static_cast<size_t>(std::popcount(static_cast<unsigned>(held)));
  }
  return n + probe_plain(vals + k, count - k, words, out + n);
}

// Which of eight ids `v` (one per 64-bit lane) have their bit set in `w`,
// the word of each.
__attribute__((always_inline)) ZX_AVX512_PROBE inline __mmask8 held_in_words(__m512i w, __m512i v) {
  const __m512i bits = _mm512_maskz_srlv_epi64(0xFF, w, _mm512_maskz_and_epi64(0xFF, v, _mm512_set1_epi64(63)));
  return _mm512_test_epi64_mask(bits, _mm512_set1_epi64(1));
}

// Ids closer together than a gather needs: ascending ids whose words all
// lie in the 32 words from `base` (2,048 bits, four loads) pick their words
// out of those registers by permutation, with no gather. These test eight
// ids `v8` against the window l0..l3 = words[base, base + 32).
constexpr uint32_t kWindowWords = 32;
__attribute__((always_inline)) ZX_AVX512_PROBE inline __mmask8 probe_window8(__m128i v8, uint32_t base, __m512i l0,
                                                                             __m512i l1, __m512i l2, __m512i l3) {
  const __m512i v = _mm512_maskz_cvtepu16_epi64(0xFF, v8);
  const __m512i at = _mm512_maskz_sub_epi64(0xFF, _mm512_maskz_srli_epi64(0xFF, v, 6), _mm512_set1_epi64(base));
  // Bits 0-3 of `at` pick one of sixteen words of a pair, bit 4 the pair.
  const __m512i low = _mm512_permutex2var_epi64(l0, at, l1);
  const __m512i high = _mm512_permutex2var_epi64(l2, at, l3);
  const __m512i w = _mm512_mask_blend_epi64(_mm512_test_epi64_mask(at, _mm512_set1_epi64(16)), low, high);
  return held_in_words(w, v);
}
// The window that starts at the word of `first` (moved back so that it ends
// within the bitset), or none when `last`'s word lies beyond it.
__attribute__((always_inline)) inline std::optional<uint32_t> window_of(uint16_t first, uint16_t last) {
  const uint32_t base = std::min<uint32_t>(first >> 6, BITSET_CONTAINER_SIZE_IN_WORDS - kWindowWords);
  if ((last >> 6) - base >= kWindowWords) return std::nullopt;
  return base;
}
__attribute__((always_inline)) ZX_AVX512_PROBE inline __mmask8 probe8(const uint16_t* vals, const uint64_t* words) {
  const __m128i v8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(vals));
  if (const std::optional<uint32_t> base = window_of(vals[0], vals[7])) {
    const uint64_t* w = words + *base;
    return probe_window8(v8, *base, _mm512_loadu_si512(w), _mm512_loadu_si512(w + 8), _mm512_loadu_si512(w + 16),
                         _mm512_loadu_si512(w + 24));
  }
  const __m512i v = _mm512_maskz_cvtepu16_epi64(0xFF, v8);
  const __m256i at = _mm256_maskz_cvtepu16_epi32(0xFF, _mm_srli_epi16(v8, 6));
  const __m512i w = _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), 0xFF, at, words, 8);
  return held_in_words(w, v);
}
// Sixteen ids a step: one window when they fit in it, else a window or a
// gather for each eight. On the 4-attribute query of 2,000,000 objects
// (about 680 ids per container probed, 16 ids fitting one window nine times
// in ten) this took the query from 12.8 to 10.2 us against gathers alone.
ZX_AVX512_PROBE size_t probe_windows(const uint16_t* vals, size_t count, const uint64_t* words, uint16_t* out) {
  size_t n = 0, k = 0;
  for (; k + 16 <= count; k += 16) {
    const __m256i v16 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(vals + k));
    __mmask8 low, high;
    if (const std::optional<uint32_t> base = window_of(vals[k], vals[k + 15])) {
      const uint64_t* w = words + *base;
      const __m512i l0 = _mm512_loadu_si512(w), l1 = _mm512_loadu_si512(w + 8);
      const __m512i l2 = _mm512_loadu_si512(w + 16), l3 = _mm512_loadu_si512(w + 24);
      low = probe_window8(_mm256_castsi256_si128(v16), *base, l0, l1, l2, l3);
      high = probe_window8(_mm256_extracti128_si256(v16, 1), *base, l0, l1, l2, l3);
    } else {
      low = probe8(vals + k, words);
      high = probe8(vals + k + 8, words);
    }
    const auto held = static_cast<__mmask16>(low | (static_cast<unsigned>(high) << 8));
    // Stored whole, as in probe_avx512 (and within the buffer the same way).
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n), _mm256_maskz_compress_epi16(held, v16));
    n += static_cast<size_t>(std::popcount(static_cast<unsigned>(held)));
  }
  return n + probe_plain(vals + k, count - k, words, out + n);
}
#undef ZX_AVX512_PROBE

size_t probe(const uint16_t* vals, size_t count, const uint64_t* words, uint16_t* out) {
  if (!kHaveAvx512Gather) return probe_plain(vals, count, words, out);
  // Windows pay when sixteen ids mostly span at most 32 words: ids at most
  // about 128 apart on average. Sparser ids are gathered.
  const bool close = count >= 16 && static_cast<size_t>(vals[count - 1] - vals[0]) < count * 128;
  return close ? probe_windows(vals, count, words, out) : probe_avx512(vals, count, words, out);
}

// The ids of array container `o` that bitset `words` holds, into `out`.
size_t probe_array(const array_container_t& o, const uint64_t* words, uint16_t* out) {
  return probe(o.array, static_cast<size_t>(o.cardinality), words, out);
}

// acc := acc ∩ other, where both hold array and bitset containers only. A
// bitset result below kBitsetFrom ids becomes an array when memory for it
// is at hand (else it stays a valid bitset), so nothing can fail half way.
void and_containers_inplace(roaring_array_t& acc, const roaring_array_t& other) {
  alignas(16) uint16_t buf[4096 + 8];
  int32_t kept = 0, j = 0;
  for (int32_t i = 0; i < acc.size; ++i) {
    const uint16_t key = acc.keys[i];
    void* c = acc.containers[i];
    uint8_t type = acc.typecodes[i];
    while (j < other.size && other.keys[j] < key) ++j;
    int32_t n = 0;
    if (j < other.size && other.keys[j] == key) {
      const bool other_array = other.typecodes[j] == ARRAY_CONTAINER_TYPE_CODE;
      if (!other_array && static_cast<const bitset_container_t*>(other.containers[j])->cardinality == 1 << 16) {
        // A full container (a universe of every id) keeps acc's as it is.
        n = type == ARRAY_CONTAINER_TYPE_CODE ? static_cast<array_container_t*>(c)->cardinality
                                              : static_cast<bitset_container_t*>(c)->cardinality;
      } else if (type == ARRAY_CONTAINER_TYPE_CODE) {
        auto* a = static_cast<array_container_t*>(c);
        if (other_array) {
          const auto* o = static_cast<const array_container_t*>(other.containers[j]);
          n = static_cast<int32_t>(intersect_arrays(a->array, static_cast<size_t>(a->cardinality), o->array,
                                                    static_cast<size_t>(o->cardinality), buf));
          std::copy(buf, buf + n, a->array);
        } else {
          const uint64_t* words = static_cast<const bitset_container_t*>(other.containers[j])->array;
          n = static_cast<int32_t>(probe(a->array, static_cast<size_t>(a->cardinality), words, a->array));
        }
        a->cardinality = n;
      } else {
        auto* b = static_cast<bitset_container_t*>(c);
        if (other_array) {
          // The hits are other's ids the bitset holds: they become its contents.
          n = static_cast<int32_t>(
              probe_array(*static_cast<const array_container_t*>(other.containers[j]), b->array, buf));
          std::fill(b->array, b->array + BITSET_CONTAINER_SIZE_IN_WORDS, uint64_t{0});
          for (int32_t k = 0; k < n; ++k) b->array[buf[k] >> 6] |= uint64_t{1} << (buf[k] & 63);
        } else {
          n = and_words(b->array, b->array, static_cast<const bitset_container_t*>(other.containers[j])->array, buf);
        }
        b->cardinality = n;
        if (n > 0 && n < kBitsetFrom) {
          if (array_container_t* a = array_container_create_given_capacity(n)) {
            std::copy(buf, buf + n, a->array);
            a->cardinality = n;
            bitset_container_free(b);
            c = a;
            type = ARRAY_CONTAINER_TYPE_CODE;
          }
        }
      }
    }
    if (n == 0) {
      container_free(c, type);
      continue;
    }
    acc.keys[kept] = key;
    acc.containers[kept] = c;
    acc.typecodes[kept] = type;
    ++kept;
  }
  acc.size = kept;
}

}  // namespace

void Bitmap::and_inplace(const Bitmap& other) {
  roaring_array_t& acc = raw()->high_low_container;
  const roaring_array_t& o = other.raw()->high_low_container;
  if (this != &other && arrays_and_bitsets(acc) && arrays_and_bitsets(o)) return and_containers_inplace(acc, o);
  memory::injection_point();
  roaring_bitmap_and_inplace(raw(), other.raw());
}
void Bitmap::andnot_inplace(const Bitmap& other) {
  memory::injection_point();
  roaring_bitmap_andnot_inplace(raw(), other.raw());
}

// a ∩ b for sets of array and bitset containers, built container by
// container without copying either side (the shapes as in and_inplace).
namespace {
// Appends a container of the n > 0 ids to `out`, which has room for it.
void append_array(roaring_array_t& out, uint16_t key, const uint16_t* ids, int32_t n) {
  array_container_t* r = array_container_create_given_capacity(n);
  if (!r) out_of_memory();
  std::copy(ids, ids + n, r->array);
  r->cardinality = n;
  ra_append(&out, key, r, ARRAY_CONTAINER_TYPE_CODE);
}
void append_bitset(roaring_array_t& out, uint16_t key, const uint64_t* words, int32_t n) {
  bitset_container_t* r = bitset_container_create();
  if (!r) out_of_memory();
  std::copy(words, words + BITSET_CONTAINER_SIZE_IN_WORDS, r->array);
  r->cardinality = n;
  ra_append(&out, key, r, BITSET_CONTAINER_TYPE_CODE);
}

void and_containers_into(const roaring_array_t& a, const roaring_array_t& b, roaring_array_t& out) {
  alignas(16) uint16_t buf[4096 + 8];
  alignas(64) uint64_t words[BITSET_CONTAINER_SIZE_IN_WORDS];
  for (int32_t i = 0, j = 0; i < a.size && j < b.size;) {
    if (a.keys[i] != b.keys[j]) {
      a.keys[i] < b.keys[j] ? ++i : ++j;
      continue;
    }
    const bool a_array = a.typecodes[i] == ARRAY_CONTAINER_TYPE_CODE;
    const bool b_array = b.typecodes[j] == ARRAY_CONTAINER_TYPE_CODE;
    const void* ca = a.containers[i];
    const void* cb = b.containers[j];
    int32_t n;
    bool bitset_result = false;
    if (a_array && b_array) {
      const auto* x = static_cast<const array_container_t*>(ca);
      const auto* y = static_cast<const array_container_t*>(cb);
      n = static_cast<int32_t>(intersect_arrays(x->array, static_cast<size_t>(x->cardinality), y->array,
                                                static_cast<size_t>(y->cardinality), buf));
    } else if (a_array || b_array) {
      const auto* x = static_cast<const array_container_t*>(a_array ? ca : cb);
      n = static_cast<int32_t>(probe_array(*x, static_cast<const bitset_container_t*>(a_array ? cb : ca)->array, buf));
    } else {
      n = and_words(words, static_cast<const bitset_container_t*>(ca)->array,
                    static_cast<const bitset_container_t*>(cb)->array, buf);
      bitset_result = n >= kBitsetFrom;
    }
    const uint16_t key = a.keys[i];
    ++i;
    ++j;
    if (n == 0) continue;
    if (bitset_result) {
      append_bitset(out, key, words, n);
    } else {
      append_array(out, key, buf, n);
    }
  }
}

// The intersection of every set in `sets` (at least two, each of array and
// bitset containers), key by key: the ids of the first set's container are
// narrowed by each other set's container of the same key in turn, in a
// scratch array (or, while two bitsets meet, a scratch bitset), and a
// container is made only for a key whose ids survive every set. A set
// without the key ends the key's work at once, so smallest first is
// fastest. `out` has room for the first set's keys.
void and_many_into(std::span<const roaring_array_t* const> sets, roaring_array_t& out) {
  alignas(16) uint16_t bufs[2][4096 + 8];
  alignas(64) uint64_t words[BITSET_CONTAINER_SIZE_IN_WORDS];
  absl::InlinedVector<int32_t, 8> at(sets.size(), 0);  // each set's first key not yet passed
  const roaring_array_t& first = *sets[0];
  for (int32_t i = 0; i < first.size; ++i) {
    const uint16_t key = first.keys[i];
    // The ids so far: `ids` (ascending) when not null, else the bitset `bits`.
    const uint16_t* ids = nullptr;
    const uint64_t* bits = nullptr;
    int32_t n;
    if (first.typecodes[i] == ARRAY_CONTAINER_TYPE_CODE) {
      const auto* c = static_cast<const array_container_t*>(first.containers[i]);
      ids = c->array;
      n = c->cardinality;
    } else {
      const auto* c = static_cast<const bitset_container_t*>(first.containers[i]);
      bits = c->array;
      n = c->cardinality;
    }
    int flip = 0;  // the scratch array the next step writes
    for (size_t s = 1; s < sets.size() && n > 0; ++s) {
      const roaring_array_t& o = *sets[s];
      int32_t& j = at[s];
      while (j < o.size && o.keys[j] < key) ++j;
      if (j == o.size || o.keys[j] != key) {
        n = 0;
        break;
      }
      uint16_t* dst = bufs[flip];
      if (o.typecodes[j] == ARRAY_CONTAINER_TYPE_CODE) {
        const auto* c = static_cast<const array_container_t*>(o.containers[j]);
        const auto count = static_cast<size_t>(c->cardinality);
        n = static_cast<int32_t>(ids ? intersect_arrays(ids, static_cast<size_t>(n), c->array, count, dst)
                                     : probe(c->array, count, bits, dst));
      } else {
        const auto* c = static_cast<const bitset_container_t*>(o.containers[j]);
        if (c->cardinality == 1 << 16) continue;  // a full container changes nothing
        if (ids) {
          n = static_cast<int32_t>(probe(ids, static_cast<size_t>(n), c->array, dst));
        } else {
          n = and_words(words, bits, c->array, dst);
          bits = words;
          if (n >= kBitsetFrom) continue;  // still a bitset; dst is not complete
        }
      }
      ids = dst;
      bits = nullptr;
      flip ^= 1;
    }
    if (n == 0) continue;
    if (ids) {
      append_array(out, key, ids, n);
    } else {
      append_bitset(out, key, bits, n);
    }
  }
}
}  // namespace

Bitmap Bitmap::and_(const Bitmap& a, const Bitmap& b) {
  Bitmap out;
  memory::injection_point();
  const roaring_array_t& x = a.raw()->high_low_container;
  const roaring_array_t& y = b.raw()->high_low_container;
  if (arrays_and_bitsets(x) && arrays_and_bitsets(y)) {
    // Room for every key up front: appending never grows the arrays. A
    // failure leaves `out` owning the containers made so far.
    out.reserve_empty(static_cast<uint32_t>(std::min(x.size, y.size)));
    and_containers_into(x, y, out.raw()->high_low_container);
    return out;
  }
  out.adopt(roaring_bitmap_and(a.raw(), b.raw()));
  return out;
}

Bitmap Bitmap::and_many(std::span<const Bitmap* const> sets) {
  ZX_CHECK(!sets.empty(), "Bitmap::and_many of no sets");
  if (sets.size() == 1) return *sets[0];
  if (sets.size() == 2) return and_(*sets[0], *sets[1]);
  Bitmap out;
  absl::InlinedVector<const roaring_array_t*, 8> arrays;
  bool plain = true;
  for (const Bitmap* b : sets) {
    arrays.push_back(&b->raw()->high_low_container);
    plain = plain && arrays_and_bitsets(*arrays.back());
  }
  memory::injection_point();
  if (!plain) {
    out = *sets[0];
    for (const Bitmap* b : sets.subspan(1)) out.and_inplace(*b);
    return out;
  }
  out.reserve_empty(static_cast<uint32_t>(arrays[0]->size));
  and_many_into(arrays, out.raw()->high_low_container);
  return out;
}

Bitmap Bitmap::andnot(const Bitmap& a, const Bitmap& b) {
  Bitmap out(a);
  out.andnot_inplace(b);
  return out;
}

namespace {
// Ids of an or_many group: sorted into an array while few (two counting
// passes over the ids cost far below a bitset's 1,024 words for small
// groups), else set in a bitset container.
constexpr int32_t kMergedUnionMost = 1024;

__attribute__((always_inline)) inline int32_t count_words_body(const uint64_t* a) {
  int32_t card = 0;
  for (int32_t w = 0; w < BITSET_CONTAINER_SIZE_IN_WORDS; ++w) card += std::popcount(a[w]);
  return card;
}
__attribute__((target("popcnt,bmi"))) int32_t count_words_popcnt(const uint64_t* a) { return count_words_body(a); }
int32_t count_words(const uint64_t* a) { return kHavePopcnt ? count_words_popcnt(a) : count_words_body(a); }

// The union of the containers `group` (one key, arrays and bitsets), as a
// new container in the shapes single adds give; nullptr without memory.
void* union_of(std::span<const std::pair<void*, uint8_t>> group, uint8_t* type) {
  int64_t total = 0;
  bool any_bitset = false;
  for (const auto& [c, t] : group) {
    if (t == BITSET_CONTAINER_TYPE_CODE) any_bitset = true;
    total += t == BITSET_CONTAINER_TYPE_CODE ? static_cast<const bitset_container_t*>(c)->cardinality
                                             : static_cast<const array_container_t*>(c)->cardinality;
  }
  if (!any_bitset && total <= kMergedUnionMost) {
    // Few ids: gathered, then sorted by their two bytes (two counting
    // passes, no comparisons) and the repeats dropped.
    uint16_t bufs[2][kMergedUnionMost];
    int32_t n = 0;
    uint32_t low[257] = {}, high[257] = {};
    for (const auto& [c, t] : group) {
      const auto* a = static_cast<const array_container_t*>(c);
      for (int32_t k = 0; k < a->cardinality; ++k) {
        const uint16_t v = a->array[k];
        bufs[0][n++] = v;
        ++low[(v & 0xFF) + 1];
        ++high[(v >> 8) + 1];
      }
    }
    for (int d = 1; d <= 256; ++d) {
      low[d] += low[d - 1];
      high[d] += high[d - 1];
    }
    for (int32_t k = 0; k < n; ++k) bufs[1][low[bufs[0][k] & 0xFF]++] = bufs[0][k];
    for (int32_t k = 0; k < n; ++k) bufs[0][high[bufs[1][k] >> 8]++] = bufs[1][k];
    n = static_cast<int32_t>(std::unique(bufs[0], bufs[0] + n) - bufs[0]);
    array_container_t* out = array_container_create_given_capacity(n);
    if (!out) return nullptr;
    std::copy(bufs[0], bufs[0] + n, out->array);
    out->cardinality = n;
    *type = ARRAY_CONTAINER_TYPE_CODE;
    return out;
  }
  bitset_container_t* b = bitset_container_create();
  if (!b) return nullptr;
  for (const auto& [c, t] : group) {
    if (t == BITSET_CONTAINER_TYPE_CODE) {
      const uint64_t* words = static_cast<const bitset_container_t*>(c)->array;
      for (int32_t w = 0; w < BITSET_CONTAINER_SIZE_IN_WORDS; ++w) b->array[w] |= words[w];
    } else {
      const auto* a = static_cast<const array_container_t*>(c);
      for (int32_t k = 0; k < a->cardinality; ++k) b->array[a->array[k] >> 6] |= uint64_t{1} << (a->array[k] & 63);
    }
  }
  b->cardinality = count_words(b->array);
  *type = BITSET_CONTAINER_TYPE_CODE;
  if (b->cardinality >= kBitsetFrom) return b;
  // Without memory for the array the union stays a bitset.
  array_container_t* a = array_container_create_given_capacity(b->cardinality);
  if (!a) return b;
  int32_t n = 0;
  for (int32_t w = 0; w < BITSET_CONTAINER_SIZE_IN_WORDS; ++w) {
    for (uint64_t bits = b->array[w]; bits != 0; bits &= bits - 1)
      a->array[n++] = static_cast<uint16_t>(w * 64 + std::countr_zero(bits));
  }
  a->cardinality = n;
  bitset_container_free(b);
  *type = ARRAY_CONTAINER_TYPE_CODE;
  return a;
}
}  // namespace

// Unions of many sets (a range over many numbers, a subtree's bitmaps) merge
// container by container: each key's containers are united at once into a
// bitset (or, for few ids, a sorted array) instead of pairwise merges that
// grow an array at every step. Sets with run containers go to CRoaring.
Bitmap Bitmap::or_many(std::span<const Bitmap* const> parts) {
  Bitmap out;
  if (parts.empty()) return out;
  absl::InlinedVector<const roaring_bitmap_t*, 16> sources;
  sources.reserve(parts.size());
  bool plain = true;
  size_t containers = 0;
  for (const Bitmap* p : parts) {
    if (!p || p->is_empty()) continue;
    sources.push_back(p->raw());
    plain = plain && arrays_and_bitsets(p->raw()->high_low_container);
    containers += static_cast<size_t>(p->raw()->high_low_container.size);
  }
  if (sources.empty()) return out;
  memory::injection_point();
  if (!plain || sources.size() == 1) {
    out.adopt(roaring_bitmap_or_many(sources.size(), sources.data()));
    return out;
  }
  struct Held {
    uint16_t key;
    uint8_t type;
    void* c;
  };
  absl::InlinedVector<Held, 32> all;
  all.reserve(containers);
  for (const roaring_bitmap_t* r : sources) {
    const roaring_array_t& ra = r->high_low_container;
    for (int32_t i = 0; i < ra.size; ++i) all.push_back(Held{ra.keys[i], ra.typecodes[i], ra.containers[i]});
  }
  std::stable_sort(all.begin(), all.end(), [](const Held& a, const Held& b) { return a.key < b.key; });
  int32_t keys = 0;
  for (size_t i = 0; i < all.size(); ++i) keys += i == 0 || all[i].key != all[i - 1].key;
  out.reserve_empty(static_cast<uint32_t>(keys));
  roaring_array_t& merged = out.raw()->high_low_container;
  absl::InlinedVector<std::pair<void*, uint8_t>, 16> group;
  for (size_t i = 0; i < all.size();) {
    size_t end = i + 1;
    while (end < all.size() && all[end].key == all[i].key) ++end;
    uint8_t type = all[i].type;
    void* c;
    if (end - i == 1) {
      c = container_clone(all[i].c, type);
    } else {
      group.clear();
      for (size_t k = i; k < end; ++k) group.emplace_back(all[k].c, all[k].type);
      c = union_of(group, &type);
    }
    if (!c) out_of_memory();  // `out` frees the containers made so far
    ra_append(&merged, all[i].key, c, type);
    i = end;
  }
  return out;
}

bool Bitmap::operator==(const Bitmap& other) const {
  if (is_empty() || other.is_empty()) return is_empty() == other.is_empty();
  return roaring_bitmap_equals(raw(), other.raw());
}

std::vector<uint32_t> Bitmap::to_vector() const {
  std::vector<uint32_t> out(cardinality());
  if (!out.empty()) roaring_bitmap_to_uint32_array(raw(), out.data());
  return out;
}

void Bitmap::iterate(bool (*cb)(uint32_t, void*), void* ctx) const { roaring_iterate(raw(), cb, ctx); }

Bitmap::Cursor::Cursor(const Bitmap& b) {
  memory::injection_point();
  auto* it = roaring_create_iterator(b.raw());
  if (!it) out_of_memory();
  it_ = it;
}
Bitmap::Cursor::~Cursor() { roaring_free_uint32_iterator(static_cast<roaring_uint32_iterator_t*>(it_)); }
bool Bitmap::Cursor::has_value() const { return static_cast<roaring_uint32_iterator_t*>(it_)->has_value; }
uint32_t Bitmap::Cursor::value() const { return static_cast<roaring_uint32_iterator_t*>(it_)->current_value; }
void Bitmap::Cursor::advance() { roaring_advance_uint32_iterator(static_cast<roaring_uint32_iterator_t*>(it_)); }
void Bitmap::iterate_chunks(void (*cb)(std::span<const uint32_t>, void*), void* ctx) const {
  // The iterator lives on the stack: listing a small set costs no allocation.
  roaring_uint32_iterator_t it;
  roaring_init_iterator(raw(), &it);
  uint32_t buf[kChunk];
  while (uint32_t n = roaring_read_uint32_iterator(&it, buf, kChunk)) cb(std::span<const uint32_t>(buf, n), ctx);
}

}  // namespace zarvex
