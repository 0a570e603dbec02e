// Bitmap: an owning RAII wrapper around one 32-bit Roaring bitmap (CRoaring).
// This header and bitmap.cpp are the only files that know the CRoaring API;
// every other part of Zarvex uses this class, so moving to a newer CRoaring
// is a change to bitmap.cpp alone.
//
// Cost: as CRoaring, less one block: the bitmap's record (CRoaring's header:
// the size of its container list and the pointer to it) is held inside the
// Bitmap, so an operation starts at the container list instead of first
// loading a header of its own. An empty Bitmap owns no memory. Copying
// deep-copies. Moving leaves the source empty but valid. Allocation failure
// throws std::bad_alloc (see support/memory.hpp).
//
// No locking of its own: the owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <span>
#include <type_traits>
#include <vector>

struct roaring_bitmap_s;

namespace zarvex {

class Bitmap {
 public:
  Bitmap() noexcept;
  Bitmap(std::initializer_list<uint32_t> ids);
  explicit Bitmap(std::span<const uint32_t> ids);
  Bitmap(const Bitmap& other);
  Bitmap(Bitmap&& other) noexcept;
  Bitmap& operator=(const Bitmap& other);
  Bitmap& operator=(Bitmap&& other) noexcept;
  ~Bitmap();

  void add(uint32_t id);
  void add_many(std::span<const uint32_t> ids);
  // A bitmap of `ids`, which must be strictly ascending: built container by
  // container, with no search per id.
  static Bitmap from_sorted(std::span<const uint32_t> ids);
  void remove(uint32_t id);
  // add and remove for a bitmap changed an id at a time far more often than
  // it is read: its containers become bitsets sooner (see bitmap.cpp).
  void add_dense(uint32_t id);
  void remove_dense(uint32_t id);
  // Requests the line of the bitmap's container list, which add, remove and
  // contains read first; a caller about to do other work first overlaps
  // that miss with it.
  void prefetch() const {
    // The list is one block; its pointers and type codes may lie on two lines.
    __builtin_prefetch(field_at(kContainersAt));
    __builtin_prefetch(field_at(kTypecodesAt));
  }
  // Requests the line that holds (or would hold) `id`: in a bitset, its
  // word; in an array, the place a uniform spread of its ids puts it.
  // Reads the bitmap's container list (cheap when cached).
  void prefetch_id(uint32_t id) const;
  // prefetch_id for several bitmaps (null ones skipped), level by level:
  // every bitmap's next block is requested before any is read, so the
  // misses of their chains (the Bitmap's own line, container list,
  // container, data) overlap instead of following one another. For a caller
  // about to change `id` in all of them.
  static void prefetch_id_in(std::span<const Bitmap* const> bitmaps, uint32_t id);
  bool contains(uint32_t id) const;
  uint64_t cardinality() const;
  bool is_empty() const;
  // Largest id; only meaningful when !is_empty().
  uint32_t maximum() const;
  // Smallest id; only meaningful when !is_empty().
  uint32_t minimum() const;
  // True when the bitmap holds every id from its smallest to its largest
  // (false when empty). Costs a pass over its containers, not its ids.
  bool is_contiguous() const;
  // True when the ids lie in more than one block of 65,536 (constant time).
  bool spans_containers() const;
  void clear();

  void or_inplace(const Bitmap& other);
  void and_inplace(const Bitmap& other);
  void andnot_inplace(const Bitmap& other);
  static Bitmap and_(const Bitmap& a, const Bitmap& b);
  static Bitmap andnot(const Bitmap& a, const Bitmap& b);
  // The ids every set holds (at least one set), made without copying any
  // set first; fastest with the smallest set first.
  static Bitmap and_many(std::span<const Bitmap* const> sets);
  static Bitmap or_many(std::span<const Bitmap* const> parts);

  bool operator==(const Bitmap& other) const;

  std::vector<uint32_t> to_vector() const;

  // Calls f(id) for every id in ascending order; f returns void.
  template <class F>
  void for_each(F&& f) const {
    iterate(
        [](uint32_t v, void* ctx) -> bool {
          (*static_cast<std::remove_reference_t<F>*>(ctx))(v);
          return true;
        },
        &f);
  }

  // Ascending forward cursor (valid while the bitmap is unchanged).
  class Cursor {
   public:
    explicit Cursor(const Bitmap& b);
    ~Cursor();
    Cursor(const Cursor&) = delete;
    Cursor& operator=(const Cursor&) = delete;
    bool has_value() const;
    uint32_t value() const;
    void advance();

   private:
    void* it_;
  };

  // Calls f(std::span<const uint32_t>) with every id in ascending order, in
  // consecutive chunks of at most kChunk ids (for callers that look ahead,
  // e.g. to prefetch what the next ids refer to).
  static constexpr size_t kChunk = 256;
  template <class F>
  void for_each_chunk(F&& f) const {
    iterate_chunks(
        [](std::span<const uint32_t> chunk, void* ctx) { (*static_cast<std::remove_reference_t<F>*>(ctx))(chunk); },
        &f);
  }

 private:
  void add_shaped(uint32_t id, int32_t bitset_from);
  void remove_shaped(uint32_t id, int32_t array_below);
  void iterate(bool (*cb)(uint32_t, void*), void* ctx) const;
  void iterate_chunks(void (*cb)(std::span<const uint32_t>, void*), void* ctx) const;
  // Inline, so that calls within bitmap.cpp are not calls through the
  // module's symbol table.
  roaring_bitmap_s* raw() { return reinterpret_cast<roaring_bitmap_s*>(record_); }
  const roaring_bitmap_s* raw() const { return reinterpret_cast<const roaring_bitmap_s*>(record_); }
  // The pointer stored at byte `at` of the record.
  const void* field_at(size_t at) const {
    const void* p;
    std::memcpy(&p, record_ + at, sizeof p);
    return p;
  }
  // Takes the contents of a record CRoaring allocated (null: out of
  // memory) into this empty bitmap and frees the record's shell.
  void adopt(roaring_bitmap_s* r);
  // Gives this empty bitmap a container list with room for `containers`
  // (appending that many never grows it).
  void reserve_empty(uint32_t containers);
  // Where the record keeps the container list's pointer and its type codes
  // (bitmap.cpp checks both, and that the record fits).
  static constexpr size_t kContainersAt = 8;
  static constexpr size_t kTypecodesAt = 24;
  // CRoaring's roaring_bitmap_t, in place.
  alignas(8) unsigned char record_[40];
};

}  // namespace zarvex
