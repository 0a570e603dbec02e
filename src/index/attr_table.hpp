// AttrMap: the attribute table of one Indexable object, and AttrSlot, the
// 8-byte record of one attribute value.
//
// A slot is one word: a strong reference to the Python object that reading
// the attribute returns, with the value's kind in the low 3 bits (objects are
// at least 8-byte aligned). A list, tuple or set value of an object that is
// in an index is a pointer to an ElementBlock instead, which holds the
// container and the leaf elements it held when they were captured (flattened,
// each container once, dicts contributing nothing), each one a slot of its
// own. The elements are captured when the value is assigned to an object in
// an index, or when the object is filed (capture_containers); until then the
// slot holds the container alone (Container), as it does for a dict. Any other value (numpy
// scalars, subclasses of the built-in types, dates, exact numbers, bytes,
// None, enum members) points to a record with the object a read returns and
// the value the value model built for it at assignment.
// The native form the indexes file (PyValue) is rebuilt from the slot when
// the object is filed or unfiled (to_value): numbers, booleans and texts are
// read from the immutable built-in object; Ind, Unknown and container values
// get a new handle to their object (a pending reference when detached, see
// py/pending_ref.hpp); an Unknown value's identity is its (object id,
// attribute id) place, so it is rebuilt equal to the value that was filed.
//
// The map lives inside the object record, so that reading or writing one of
// an object's first attributes touches only the object's own memory. A map
// of at most kUnspilled slots holds them all: kInline in `inline_` and the
// last in `tail_`. A larger map is spilled: its slots past the first kInline
// are in an overflow array that `tail_` points to, allocated when needed and
// sized exactly by the constructor (later growth by half), which keeps its
// capacity in a word before its first slot. Which of the two `tail_` holds
// is the low bit of the key-list word (lists are at least 8-byte aligned).
// The map does not keep its object's id: the calls that build values are
// given it (`owner`, the record's id). The attribute ids, in insertion
// order, are a KeyList the map points to (null until the first attribute),
// searched linearly: usually a list shared by every object of the class
// given the same attributes in the same order (like a class's key-sharing
// dicts), so that an object pays only for its slots; ids of the object's
// own past the bounds of the shared lists.
// Shared lists never change once published: a new attribute moves the map to
// another list. Overflow arrays, key lists and element blocks come from the
// interpreter's object allocator (like the objects themselves, so freed
// objects give their memory back the same way), which is why they are only
// allocated and freed attached.
//
// Locking (the owner's ObjectLock, bit kAttributes, and the interpreter lock):
//   * every change of the table (a slot stored or replaced, an id appended,
//     a container's elements captured, growth, the table dropped) holds BOTH
//     the interpreter lock and kAttributes;
//   * a thread holding the interpreter lock may read it without kAttributes
//     (attribute reads, tp_traverse): no change can run meanwhile;
//   * a detached thread reads it only under kAttributes.
// Releasing a slot (its Python references) needs the interpreter lock and
// applies pending references first. Allocation failures throw bad_alloc.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <utility>

#include "index/value.hpp"
#include "py/gil.hpp"

namespace zarvex {

// Booleans are stored under Int (True and False are told apart by address).
// Container: a list, tuple or set whose elements are not captured (the
// owner was in no index when it was assigned), or any dict (which
// contributes no elements).
enum class SlotKind : uintptr_t {
  Int = 0,
  Float = 1,
  Str = 2,
  Container = 3,
  Ind = 4,
  Unknown = 5,
  Iterable = 6,
  Other = 7
};

class AttrSlot {
 public:
  AttrSlot() = default;
  // Builds the slot of a Python value (attached). A list, tuple or set has
  // its elements captured only when `capture` is set; otherwise it is stored
  // as a Container, its elements checked but not kept. Throws py::PyErrorSet
  // for an int outside the signed 64-bit range or a str that is not UTF-8
  // (as a value or an element).
  static AttrSlot from_object(PyObject* value, bool capture = true);

  AttrSlot(AttrSlot&& o) noexcept : word_(std::exchange(o.word_, 0)) {}
  AttrSlot& operator=(AttrSlot&& o) noexcept {
    std::swap(word_, o.word_);
    return *this;
  }
  AttrSlot(const AttrSlot&) = delete;
  AttrSlot& operator=(const AttrSlot&) = delete;
  ~AttrSlot() { release_word(word_); }

  explicit operator bool() const { return word_ != 0; }
  uintptr_t word() const { return word_; }
  uintptr_t release() { return std::exchange(word_, 0); }
  static AttrSlot adopt(uintptr_t w) {
    AttrSlot s;
    s.word_ = w;
    return s;
  }

  // --- on raw words (the table stores words) ---
  static SlotKind kind_of(uintptr_t w) { return static_cast<SlotKind>(w & 7); }
  // The object a read returns (borrowed): the slot's own pointer, except for
  // element blocks and Other records, which hold it.
  static PyObject* object_of(uintptr_t w) {
    if ((w & 6) == 6) return held_object_of(w);  // Iterable or Other
    return reinterpret_cast<PyObject*>(w & ~uintptr_t{7});
  }
  static PyObject* held_object_of(uintptr_t w);
  // Element i's word of an Iterable slot.
  static uintptr_t element_at(uintptr_t w, uint32_t i);
  static_assert(static_cast<uintptr_t>(SlotKind::Iterable) == 6 && static_cast<uintptr_t>(SlotKind::Other) == 7);
  // The indexes' form of the value stored at (owner, attr).
  static PyValue to_value(uintptr_t w, uint32_t owner, uint32_t attr);
  // What the indexes file for a value: a container's captured elements one by
  // one (a container is filed element by element), any other value itself.
  // leaf_at(w, i, ...) equals the i-th element of to_value(w, ...) for a
  // container and to_value(w, ...) itself otherwise, without building the
  // container's value.
  static uint32_t leaf_count(uintptr_t w);
  // Whether every leaf of the value is plain (see is_plain). An uncaptured
  // container's leaves are not known: not plain.
  static bool leaves_plain(uintptr_t w);
  // The same, Indexable objects also admitted.
  static bool leaves_plain_or_indexable(uintptr_t w);
  static PyValue leaf_at(uintptr_t w, uint32_t i, uint32_t owner, uint32_t attr);
  // The ordered key of leaf i when it is an int (not a bool) or a float kept
  // as itself, the key num_key_of gives leaf_at's value; else nothing.
  static std::optional<NumKey> number_at(uintptr_t w, uint32_t i);
  // The leaves of `w` (of attribute `attr` of object `owner`) as filing sees
  // them: number(NumKey) for each int or float kept as itself, value(PyValue)
  // for every other leaf. The empty word and a container with no leaves have
  // none (filing the container's value files nothing either).
  template <class N, class V>
  static void for_each_leaf(uintptr_t w, uint32_t owner, uint32_t attr, N&& number, V&& value) {
    if (w == 0) return;
    for (uint32_t j = 0, m = leaf_count(w); j < m; ++j) {
      if (std::optional<NumKey> k = number_at(w, j))
        number(*k);
      else
        value(leaf_at(w, j, owner, attr));
    }
  }
  // The str object of leaf i when it is a text kept as itself (borrowed:
  // the slot holds it), else null; text_value(s) is then leaf_at's value.
  static PyObject* text_at(uintptr_t w, uint32_t i) {
    if (kind_of(w) == SlotKind::Iterable) w = element_at(w, i);
    return kind_of(w) == SlotKind::Str ? object_of(w) : nullptr;
  }
  static PyValue text_value(PyObject* s);
  // The same text as an exact map looks it up (its bytes borrowed from `s`).
  static TextKey text_key(PyObject* s);
  static bool holds_objects(uintptr_t w) {
    SlotKind k = kind_of(w);
    return k == SlotKind::Ind || k == SlotKind::Iterable || k == SlotKind::Container;
  }
  // A list, tuple or set stored without its elements.
  static bool uncaptured(uintptr_t w) {
    return kind_of(w) == SlotKind::Container && Py_TYPE(reinterpret_cast<PyObject*>(w & ~uintptr_t{7})) != &PyDict_Type;
  }
  // Numbers, booleans and texts (and the empty word): their indexed form
  // holds no Python reference, so building and dropping it never touches a
  // reference count.
  static bool is_plain(uintptr_t w) { return kind_of(w) <= SlotKind::Str; }
  // An int (not a bool) or a float: number_at(w, 0) is its key.
  static bool is_single_number(uintptr_t w) {
    const SlotKind k = kind_of(w);
    if (k == SlotKind::Float) return true;
    const PyObject* o = reinterpret_cast<PyObject*>(w & ~uintptr_t{7});
    return k == SlotKind::Int && w != 0 && o != Py_True && o != Py_False;
  }
  static int traverse(uintptr_t w, visitproc visit, void* arg);
  // Drops the slot's references (a pointer slot's through py::release_ref,
  // which applies pending increments first); element blocks and Other
  // records out of line.
  static void release_word(uintptr_t w) noexcept {
    if ((w & 6) != 6) return py::release_ref(reinterpret_cast<PyObject*>(w & ~uintptr_t{7}));
    release_held(w);
  }
  static void release_held(uintptr_t w) noexcept;

 private:
  // Whether `admits` holds for every leaf (an uncaptured container: false).
  template <class Admits>
  static bool every_leaf(uintptr_t w, Admits admits);
  uintptr_t word_ = 0;
};
static_assert(sizeof(AttrSlot) == 8);

// An ordered list of attribute ids. A shared list is a node of its class's
// tree of lists: the class's root is empty, and each list's extensions by one
// id are lists of their own, built once and kept for the life of the process
// (their ids never change after publishing; at most kMaxSharedLists exist in
// all, each at most kMaxSharedKeys long). A private list belongs to one
// table, has room for the table's capacity, and is freed with it. Lists are
// built, linked and looked up only with the interpreter lock held.
struct KeyList {
  KeyList* next;  // shared: the first extension built, this list + next_key
  uint32_t next_key;
  uint32_t len;  // ids held: the table's size
  uint32_t shared;
  uint32_t* ids() { return reinterpret_cast<uint32_t*>(this + 1); }
  const uint32_t* ids() const { return reinterpret_cast<const uint32_t*>(this + 1); }
};
static_assert(sizeof(KeyList) == 24);
static_assert(alignof(KeyList) >= 2, "the map keeps a flag in the low bit of its key-list word");

class AttrMap {
 public:
  // Slots always kept in the map itself, and the most it holds with no
  // overflow array: an object with at most kUnspilled attributes needs no
  // allocation beyond its key list.
  static constexpr uint32_t kInline = 4;
  static constexpr uint32_t kUnspilled = kInline + 1;
  // Bounds of the shared lists (see KeyList): an object whose next list
  // would pass them keeps ids of its own.
  static constexpr uint32_t kMaxSharedKeys = 64;
  static constexpr uint32_t kMaxSharedLists = 1u << 14;

  AttrMap() = default;
  AttrMap(AttrMap&& o) noexcept { swap(o); }
  AttrMap& operator=(AttrMap&& o) noexcept {
    swap(o);
    return *this;
  }
  AttrMap(const AttrMap&) = delete;
  AttrMap& operator=(const AttrMap&) = delete;
  ~AttrMap() { clear(); }

  size_t size() const { return keys() ? keys()->len : 0; }
  bool empty() const { return size() == 0; }

  // Requests the line of the last inline slot and of the tail word, which
  // may lie beyond the line of the map's start: a writer about to do other
  // work first overlaps that miss with it. Reads nothing, so it needs no
  // lock.
  void prefetch_slots() const {
    __builtin_prefetch(&inline_[kInline - 1]);
    __builtin_prefetch(&tail_);
  }

  // Borrowed object stored under `key`, or nullptr.
  PyObject* find_object(uint32_t key) const {
    const KeyList* k = keys();
    if (!k) return nullptr;
    const uint32_t* ids = k->ids();
    for (uint32_t i = 0, n = k->len; i < n; ++i)
      if (ids[i] == key) return AttrSlot::object_of(word(i));
    return nullptr;
  }
  // Whether every value's leaves are plain: filing and unfiling the object
  // then builds no value that holds a Python reference.
  bool leaves_plain() const {
    for (uint32_t i = 0, n = static_cast<uint32_t>(size()); i < n; ++i)
      if (!AttrSlot::leaves_plain(word(i))) return false;
    return true;
  }
  // Whether every value's leaves are plain or Indexable objects: the values
  // unfiling builds then hold references only to objects the table holds.
  bool leaves_plain_or_indexable() const {
    for (uint32_t i = 0, n = static_cast<uint32_t>(size()); i < n; ++i)
      if (!AttrSlot::leaves_plain_or_indexable(word(i))) return false;
    return true;
  }
  // Requests the cache line of each value's object (a container's block),
  // which unfiling reads next.
  void prefetch_values() const {
    for (uint32_t i = 0, n = static_cast<uint32_t>(size()); i < n; ++i)
      __builtin_prefetch(reinterpret_cast<const void*>(word(i) & ~uintptr_t{7}));
  }
  // The word stored under `key`, or 0.
  uintptr_t find_word(uint32_t key) const {
    const KeyList* k = keys();
    if (!k) return 0;
    const uint32_t* ids = k->ids();
    for (uint32_t i = 0, n = k->len; i < n; ++i)
      if (ids[i] == key) return word(i);
    return 0;
  }
  // The indexes' form of the value under `key` (object `owner`).
  std::optional<PyValue> get(uint32_t owner, uint32_t key) const {
    if (uintptr_t w = find_word(key)) return AttrSlot::to_value(w, owner, key);
    return std::nullopt;
  }
  // f(const uint32_t& key, const PyValue& value) for every attribute, in
  // insertion order.
  template <class F>
  void for_each(uint32_t owner, F&& f) const {
    for (uint32_t i = 0, n = static_cast<uint32_t>(size()); i < n; ++i) {
      const uint32_t key = keys()->ids()[i];
      f(key, AttrSlot::to_value(word(i), owner, key));
    }
  }
  // f(const uint32_t& key, const PyValue& leaf) for every value the indexes
  // file, non-empty containers element by element (see AttrSlot::leaf_at).
  template <class F>
  void for_each_leaf(uint32_t owner, F&& f) const {
    walk_leaves([&](uint32_t key, uintptr_t w, uint32_t j) { f(key, leaf_value(owner, key, w, j)); });
  }
  // The same walk, with the leaves that are plain ints and floats passed as
  // their ordered keys, number(key, NumKey), and every other leaf as its
  // value, value(key, PyValue): a number is only ever filed in the ordered
  // tree, so its value (and hash) need not be built.
  template <class N, class V>
  void for_each_leaf_split(uint32_t owner, N&& number, V&& value) const {
    walk_leaves([&](uint32_t key, uintptr_t w, uint32_t j) {
      if (j != kWhole)
        if (std::optional<NumKey> k = AttrSlot::number_at(w, j)) return number(key, *k);
      value(key, leaf_value(owner, key, w, j));
    });
  }
  // The same, with the leaves that are texts kept as themselves passed as
  // their str objects, text(key, PyObject*) (see AttrSlot::text_at).
  template <class N, class T, class V>
  void for_each_leaf_split(uint32_t owner, N&& number, T&& text, V&& value) const {
    walk_leaves([&](uint32_t key, uintptr_t w, uint32_t j) {
      if (j != kWhole) {
        if (std::optional<NumKey> k = AttrSlot::number_at(w, j)) return number(key, *k);
        if (PyObject* s = AttrSlot::text_at(w, j)) return text(key, s);
      }
      value(key, leaf_value(owner, key, w, j));
    });
  }
  // The same, restricted to values that can hold objects: Ind values, and
  // containers unless every leaf is plain (a list of numbers and texts holds
  // no object).
  template <class F>
  void for_each_holding_objects(uint32_t owner, F&& f) const {
    for (uint32_t i = 0, n = static_cast<uint32_t>(size()); i < n; ++i)
      if (AttrSlot::holds_objects(word(i)) && !AttrSlot::leaves_plain(word(i))) {
        const uint32_t key = keys()->ids()[i];
        f(key, AttrSlot::to_value(word(i), owner, key));
      }
  }
  template <class F>
  void for_each_key(F&& f) const {
    for (uint32_t i = 0, n = static_cast<uint32_t>(size()); i < n; ++i) f(keys()->ids()[i]);
  }

  // Room for `n` attributes in all (construction: exact size).
  void reserve(uint32_t n, PyTypeObject* cls);
  // Stores `slot` under `key`; returns the slot it replaced (empty for a new
  // key), for the caller to drop once its locks are released. A new key moves
  // the map from the empty root list of class `cls`, or from its shared ids,
  // to their extension by `key` (built on first use), or to ids of its own
  // past the bounds. `slot` is taken only when the store succeeds: after a
  // failure (bad_alloc, a new key only) the caller still holds it. Needs the
  // interpreter lock and the owner's kAttributes lock (see above).
  AttrSlot exchange(uint32_t key, AttrSlot&& slot, PyTypeObject* cls);
  // Captures the elements of every uncaptured container (the owner is being
  // filed). Needs the owner's kAttributes lock; a detached caller is
  // re-attached for the change without releasing anything. A container whose
  // elements can no longer be converted (changed since it was assigned) stays
  // uncaptured and is filed without elements. Throws bad_alloc.
  void capture_containers();
  // Visits every Python reference of every slot.
  int traverse(visitproc visit, void* arg) const;
  // Drops every slot (attached).
  void clear() noexcept;

 private:
  static constexpr uint32_t kWhole = UINT32_MAX;
  // f(key, word, j) for every leaf: j is the element's position in a
  // non-empty container, or kWhole for an empty container, which is passed
  // whole (filing it installs the attribute's map as filing any other value
  // does).
  template <class F>
  void walk_leaves(F&& f) const {
    for (uint32_t i = 0, n = static_cast<uint32_t>(size()); i < n; ++i) {
      const uint32_t key = keys()->ids()[i];
      const uintptr_t w = word(i);
      const uint32_t m = AttrSlot::leaf_count(w);
      if (m == 0) f(key, w, kWhole);
      for (uint32_t j = 0; j < m; ++j) f(key, w, j);
    }
  }
  static PyValue leaf_value(uint32_t owner, uint32_t key, uintptr_t w, uint32_t j) {
    return j == kWhole ? AttrSlot::to_value(w, owner, key) : AttrSlot::leaf_at(w, j, owner, key);
  }
  KeyList* keys() const { return reinterpret_cast<KeyList*>(keys_ & ~kSpilled); }
  // Keeps whether the map is spilled.
  void set_keys(KeyList* k) { keys_ = reinterpret_cast<uintptr_t>(k) | (keys_ & kSpilled); }
  bool spilled() const { return (keys_ & kSpilled) != 0; }
  uintptr_t* more() const { return reinterpret_cast<uintptr_t*>(tail_); }
  // Slot i (< size()): in the map, or in the overflow array.
  uintptr_t word(uint32_t i) const {
    if (i < kInline) return inline_[i];
    return spilled() ? more()[i - kInline] : tail_;
  }
  uintptr_t& word(uint32_t i) {
    if (i < kInline) return inline_[i];
    return spilled() ? more()[i - kInline] : tail_;
  }
  uint32_t capacity() const { return spilled() ? kInline + static_cast<uint32_t>(more()[-1]) : kUnspilled; }
  void swap(AttrMap& o) noexcept;
  // Frees an overflow array (null: nothing), from the word before its slots.
  static void free_more(uintptr_t* more);
  void grow(uint32_t cap, PyTypeObject* cls);
  void append_key(uint32_t key);

  // A read touches the ids and then a slot: they come first. The map starts
  // 32 bytes into the object, after its header and the record's lock, id and
  // membership list (see IndexableRecord).
  static constexpr uintptr_t kSpilled = 1;
  // The key list (null until the first attribute; `len` slots), with
  // kSpilled set once the slots past kInline are in an overflow array.
  uintptr_t keys_ = 0;
  uintptr_t inline_[kInline] = {};
  // Spilled: the overflow array (slots kInline.., after a word holding their
  // room). Otherwise slot kInline's word.
  uintptr_t tail_ = 0;
};
static_assert(sizeof(AttrMap) == 48);

}  // namespace zarvex
