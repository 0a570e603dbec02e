#include "index/attr_table.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "absl/container/flat_hash_set.h"
#include "absl/container/inlined_vector.h"
#include "index/object_record.hpp"
#include "index/types.hpp"
#include "py/boundary.hpp"
#include "py/gil.hpp"
#include "py/pending_ref.hpp"

namespace zarvex {

namespace {

// A container value: the container and its flattened leaf elements, each a
// slot word of a non-container kind.
struct ElementBlock {
  PyObject* container;
  uint32_t count;
  IterKind kind;
  uintptr_t* elems() { return reinterpret_cast<uintptr_t*>(this + 1); }
  static size_t bytes(size_t n) { return sizeof(ElementBlock) + n * sizeof(uintptr_t); }
};
static_assert(sizeof(ElementBlock) % alignof(uintptr_t) == 0);

// Any other value (numpy scalars, subclasses of the built-in types, dates
// and times, exact numbers, bytes, None and enum members): the object a
// read returns (the stored object, or the built-in one a numpy scalar reads
// back as) and the value the indexes file, built once at assignment. The
// value's own handle is shared with the indexes' copies, so only `read` is
// visited by the collector.
struct OtherValue {
  PyObject* read;
  PyValue value;
};
OtherValue* other_of(uintptr_t w) { return reinterpret_cast<OtherValue*>(w & ~uintptr_t{7}); }

ElementBlock* block_of(uintptr_t w) { return reinterpret_cast<ElementBlock*>(w & ~uintptr_t{7}); }
PyObject* pointer_of(uintptr_t w) { return reinterpret_cast<PyObject*>(w & ~uintptr_t{7}); }

uintptr_t tag(PyObject* owned, SlotKind k) {
  auto p = reinterpret_cast<uintptr_t>(owned);
  if (p & 7) {
    Py_DECREF(owned);
    fail("attribute value at an address that is not 8-byte aligned");
  }
  return p | static_cast<uintptr_t>(k);
}

[[noreturn]] void raise_overflow() {
  PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to a signed 64-bit integer");
  throw py::PyErrorSet{};
}

// A new reference to the exact int equal to `obj` (an int or numpy.int64).
PyObject* exact_int(PyObject* obj) {
  // An int of one internal digit (30 bits) is in range: no conversion.
#if PY_VERSION_HEX >= 0x030C0000
  if (Py_TYPE(obj) == &PyLong_Type && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(obj))) {
#else
  if (Py_TYPE(obj) == &PyLong_Type && Py_SIZE(obj) >= -1 && Py_SIZE(obj) <= 1) {
#endif
    Py_INCREF(obj);
    return obj;
  }
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (overflow) raise_overflow();
  if (v == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      raise_overflow();
    }
    throw py::PyErrorSet{};
  }
  if (Py_TYPE(obj) == &PyLong_Type) {
    Py_INCREF(obj);
    return obj;
  }
  PyObject* r = PyLong_FromLongLong(v);
  if (!r) throw py::PyErrorSet{};
  return r;
}

// A new reference to an exact str whose UTF-8 form is materialised (so that
// detached threads can read it).
PyObject* exact_str(PyObject* obj) {
  // An ASCII str is its own UTF-8 form.
  if (Py_TYPE(obj) == &PyUnicode_Type && PyUnicode_IS_READY(obj) && PyUnicode_IS_ASCII(obj)) {
    Py_INCREF(obj);
    return obj;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!s) throw py::PyErrorSet{};
  if (Py_TYPE(obj) == &PyUnicode_Type) {
    Py_INCREF(obj);
    return obj;
  }
  PyObject* r = PyUnicode_FromStringAndSize(s, n);
  if (!r) throw py::PyErrorSet{};
  if (!PyUnicode_AsUTF8AndSize(r, &n)) {
    Py_DECREF(r);
    throw py::PyErrorSet{};
  }
  return r;
}

// Slot word of a value that is not a list, tuple, set or dict; 0 when `obj`
// is one of those.
uintptr_t leaf_word(PyObject* obj) {
  PyTypeObject* t = Py_TYPE(obj);
  // The built-in types first, without the registry (each is in exactly one
  // of its lists); then the registry's other types, in its order.
  if (t == &PyLong_Type) return tag(exact_int(obj), SlotKind::Int);
  if (t == &PyUnicode_Type) return tag(exact_str(obj), SlotKind::Str);
  if (t == &PyFloat_Type || t == &PyBool_Type) {
    Py_INCREF(obj);
    return tag(obj, t == &PyFloat_Type ? SlotKind::Float : SlotKind::Int);
  }
  if (t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type || t == &PySet_Type) return 0;
  if (is_indexable(obj)) {
    Py_INCREF(obj);
    return tag(obj, SlotKind::Ind);
  }
  // Everything else is classified by the value model.
  PyValue v = PyValue::for_attribute(obj);
  if (v.kind() == Kind::Unknown) {
    Py_INCREF(obj);
    return tag(obj, SlotKind::Unknown);
  }
  PyObject* read = v.obj() ? v.handle().new_ref() : v.get_obj();
  if (!read) throw py::PyErrorSet{};
  void* mem = PyObject_Malloc(sizeof(OtherValue));
  if (!mem) {
    Py_DECREF(read);
    throw std::bad_alloc();
  }
  auto* o = new (mem) OtherValue{read, std::move(v)};
  return reinterpret_cast<uintptr_t>(o) | static_cast<uintptr_t>(SlotKind::Other);
}

// Leaf words of a list/tuple/set (elements as for_each_leaf walks them),
// released with the owner unless taken.
struct WordsOwner {
  std::vector<uintptr_t> words;
  ~WordsOwner() {
    for (uintptr_t w : words) AttrSlot::release_word(w);
  }
};

void flatten(PyObject* root, WordsOwner& out) {
  if (PyList_CheckExact(root)) out.words.reserve(static_cast<size_t>(PyList_GET_SIZE(root)));
  if (PyTuple_CheckExact(root)) out.words.reserve(static_cast<size_t>(PyTuple_GET_SIZE(root)));
  for_each_leaf(root, [&](PyObject* item) {
    out.words.push_back(0);
    out.words.back() = leaf_word(item);
  });
}

uint64_t place_token(uint32_t owner, uint32_t attr) {
  return (uint64_t{owner} << 32) | uint64_t{attr} | (uint64_t{1} << 31);
}

// UTF-8 text of an exact str whose UTF-8 form was materialised when the slot
// was built: plain field reads of an immutable object, valid detached while
// the slot holds it.
std::string_view utf8_of(PyObject* s) {
  if (PyUnicode_IS_ASCII(s))
    return {static_cast<const char*>(PyUnicode_DATA(s)), static_cast<size_t>(PyUnicode_GET_LENGTH(s))};
  auto* c = reinterpret_cast<PyCompactUnicodeObject*>(s);
  return {c->utf8, static_cast<size_t>(c->utf8_length)};
}

PyValue leaf_value(uintptr_t w, uint64_t token) {
  PyObject* o = pointer_of(w);
  switch (AttrSlot::kind_of(w)) {
    case SlotKind::Int: {
      if (o == Py_True || o == Py_False) return PyValue::from_primitave(o == Py_True);
      int overflow = 0;  // checked when the slot was built
      return PyValue::from_primitave(static_cast<int64_t>(PyLong_AsLongLongAndOverflow(o, &overflow)));
    }
    case SlotKind::Float: return PyValue::from_primitave(PyFloat_AS_DOUBLE(o));
    case SlotKind::Str: return PyValue::of_text(utf8_of(o));
    case SlotKind::Ind: return PyValue::from_handle(py::SharedPy::borrow_anywhere(o), StoredIndexable{record_of(o)});
    case SlotKind::Other: return other_of(w)->value;
    default: return PyValue::from_handle(py::SharedPy::borrow_anywhere(o), UnknownValue{token});
  }
}

IterKind iter_kind_of(PyTypeObject* t) {
  return t == &PyList_Type    ? IterKind::List
         : t == &PyDict_Type  ? IterKind::Dict
         : t == &PyTuple_Type ? IterKind::Tuple
                              : IterKind::Set;
}

// Raises what capturing the elements of `value` (a list, tuple or set) would
// raise, keeping nothing: an uncaptured container refuses the same elements
// as a captured one. Flat sequences of the common kinds are checked in place.
void check_elements(PyObject* value) {
  if (Py_TYPE(value) != &PySet_Type) {
    PyObject** items = PyList_CheckExact(value) ? PySequence_Fast_ITEMS(value) : &PyTuple_GET_ITEM(value, 0);
    bool simple = true;
    for (Py_ssize_t i = 0, n = Py_SIZE(value); i < n && simple; ++i) {
      PyObject* e = items[i];
      PyTypeObject* et = Py_TYPE(e);
      if (et == &PyLong_Type) {
        Py_DECREF(exact_int(e));
      } else if (et == &PyUnicode_Type) {
        Py_DECREF(exact_str(e));
      } else {
        simple = et == &PyFloat_Type || et == &PyBool_Type || e == Py_None || is_indexable(e);
      }
    }
    if (simple) return;
  }
  WordsOwner discard;
  flatten(value, discard);
}

// --- key lists ---
// All of this runs with the interpreter lock held (tables are built, changed
// and freed attached), which serialises the building and linking of lists.

// A list of `len` ids with room for `room`.
KeyList* new_keys(uint32_t room, uint32_t len, bool shared) {
  void* mem = PyObject_Malloc(sizeof(KeyList) + sizeof(uint32_t) * size_t{room});
  if (!mem) throw std::bad_alloc();
  return new (mem) KeyList{nullptr, 0, len, shared ? 1u : 0u};
}
void free_if_private(KeyList* k) noexcept {
  if (!k->shared) PyObject_Free(k);
}

// The shared lists: each class's root, and every extension after a list's
// first (which the list links itself). Roots of classes that are gone stay:
// a class later created at the same address shares their lists, which are
// still exactly the ids their tables hold.
struct SharedLists {
  absl::flat_hash_map<PyTypeObject*, KeyList*> roots;
  absl::flat_hash_map<std::pair<const KeyList*, uint32_t>, KeyList*> extensions;
  PyTypeObject* last_cls = nullptr;  // the last class looked up, and its root
  KeyList* last_root = nullptr;
  uint32_t count = 0;
  KeyList exhausted{nullptr, 0, 0, 1};  // the root once no list may be built
};
SharedLists& shared_lists() {
  static SharedLists* lists = new SharedLists();
  return *lists;
}

KeyList* root_of(PyTypeObject* cls) {
  SharedLists& r = shared_lists();
  if (cls == r.last_cls) return r.last_root;
  auto it = r.roots.find(cls);
  KeyList* root;
  if (it != r.roots.end()) {
    root = it->second;
  } else if (r.count < AttrMap::kMaxSharedLists) {
    root = new_keys(0, 0, true);
    try {
      r.roots.emplace(cls, root);
    } catch (...) {
      PyObject_Free(root);
      throw;
    }
    ++r.count;
  } else {
    root = &r.exhausted;
  }
  r.last_cls = cls;
  r.last_root = root;
  return root;
}

// The shared list `k` + `key`, built on first use; nullptr past the bounds.
KeyList* extension_of(KeyList* k, uint32_t key) {
  if (k->next && k->next_key == key) return k->next;
  SharedLists& r = shared_lists();
  if (k->next) {
    auto it = r.extensions.find(std::pair<const KeyList*, uint32_t>{k, key});
    if (it != r.extensions.end()) return it->second;
  }
  if (k == &r.exhausted || k->len >= AttrMap::kMaxSharedKeys || r.count >= AttrMap::kMaxSharedLists) return nullptr;
  KeyList* longer = new_keys(k->len + 1, k->len + 1, true);
  std::memcpy(longer->ids(), k->ids(), sizeof(uint32_t) * k->len);
  longer->ids()[k->len] = key;
  if (!k->next) {
    k->next = longer;
    k->next_key = key;
  } else {
    try {
      r.extensions.emplace(std::pair<const KeyList*, uint32_t>{k, key}, longer);
    } catch (...) {
      PyObject_Free(longer);
      throw;
    }
  }
  ++r.count;
  return longer;
}

}  // namespace

AttrSlot AttrSlot::from_object(PyObject* value, bool capture) {
  if (uintptr_t w = leaf_word(value)) return adopt(w);
  PyTypeObject* t = Py_TYPE(value);
  IterKind k = iter_kind_of(t);
  if (!capture || k == IterKind::Dict) {
    if (k != IterKind::Dict) check_elements(value);
    Py_INCREF(value);
    return adopt(tag(value, SlotKind::Container));
  }
  if (k == IterKind::List || k == IterKind::Tuple) {
    // The usual value is a flat list or tuple: its leaves go straight into
    // the block. (Building a leaf runs no Python code, so the container
    // cannot change meanwhile.)
    PyObject** items = k == IterKind::List ? PySequence_Fast_ITEMS(value) : &PyTuple_GET_ITEM(value, 0);
    const Py_ssize_t n = Py_SIZE(value);
    bool flat = true;
    for (Py_ssize_t i = 0; i < n && flat; ++i) {
      PyTypeObject* et = Py_TYPE(items[i]);
      flat = et != &PyList_Type && et != &PyTuple_Type && et != &PySet_Type && et != &PyDict_Type;
    }
    if (flat) {
      void* mem = PyObject_Malloc(ElementBlock::bytes(static_cast<size_t>(n)));
      if (!mem) throw std::bad_alloc();
      auto* b = new (mem) ElementBlock{value, 0, k};
      AttrSlot guard = adopt(reinterpret_cast<uintptr_t>(b) | static_cast<uintptr_t>(SlotKind::Iterable));
      Py_INCREF(value);  // owned by the block from here on (released with it on failure)
      for (Py_ssize_t i = 0; i < n; ++i) {
        b->elems()[i] = leaf_word(items[i]);
        ++b->count;
      }
      return guard;
    }
  }
  WordsOwner elems;
  if (k != IterKind::Dict) flatten(value, elems);
  void* mem = PyObject_Malloc(ElementBlock::bytes(elems.words.size()));
  if (!mem) throw std::bad_alloc();
  auto* b = new (mem) ElementBlock{value, static_cast<uint32_t>(elems.words.size()), k};
  if (!elems.words.empty()) std::memcpy(b->elems(), elems.words.data(), elems.words.size() * sizeof(uintptr_t));
  elems.words.clear();
  Py_INCREF(value);
  return adopt(reinterpret_cast<uintptr_t>(b) | static_cast<uintptr_t>(SlotKind::Iterable));
}

PyObject* AttrSlot::held_object_of(uintptr_t w) {
  return kind_of(w) == SlotKind::Iterable ? block_of(w)->container : other_of(w)->read;
}

PyValue AttrSlot::to_value(uintptr_t w, uint32_t owner, uint32_t attr) {
  if (kind_of(w) == SlotKind::Container) {
    // A dict, or a container of an object never filed since it was assigned
    // (unfiling it removes nothing): no elements.
    PyObject* c = pointer_of(w);
    return PyValue::from_handle(py::SharedPy::borrow_anywhere(c),
                                IterableValue{iter_kind_of(Py_TYPE(c)), std::make_shared<std::vector<PyValue>>()});
  }
  const uint64_t token = place_token(owner, attr);
  if (kind_of(w) != SlotKind::Iterable) return leaf_value(w, token);
  ElementBlock* b = block_of(w);
  auto elements = std::make_shared<std::vector<PyValue>>();
  elements->reserve(b->count);
  for (uint32_t i = 0; i < b->count; ++i) elements->push_back(leaf_value(b->elems()[i], token));
  return PyValue::from_handle(py::SharedPy::borrow_anywhere(b->container), IterableValue{b->kind, std::move(elements)});
}

uint32_t AttrSlot::leaf_count(uintptr_t w) {
  if (kind_of(w) == SlotKind::Container) return 0;
  return kind_of(w) == SlotKind::Iterable ? block_of(w)->count : 1;
}

template <class Admits>
bool AttrSlot::every_leaf(uintptr_t w, Admits admits) {
  if (kind_of(w) == SlotKind::Container) return !uncaptured(w);
  if (kind_of(w) != SlotKind::Iterable) return admits(w);
  ElementBlock* b = block_of(w);
  for (uint32_t i = 0; i < b->count; ++i)
    if (!admits(b->elems()[i])) return false;
  return true;
}

bool AttrSlot::leaves_plain(uintptr_t w) { return every_leaf(w, is_plain); }

bool AttrSlot::leaves_plain_or_indexable(uintptr_t w) {
  return every_leaf(w, [](uintptr_t e) { return is_plain(e) || kind_of(e) == SlotKind::Ind; });
}

PyValue AttrSlot::leaf_at(uintptr_t w, uint32_t i, uint32_t owner, uint32_t attr) {
  const uint64_t token = place_token(owner, attr);
  return leaf_value(kind_of(w) == SlotKind::Iterable ? element_at(w, i) : w, token);
}

uintptr_t AttrSlot::element_at(uintptr_t w, uint32_t i) { return block_of(w)->elems()[i]; }

PyValue AttrSlot::text_value(PyObject* s) { return PyValue::of_text(utf8_of(s)); }

TextKey AttrSlot::text_key(PyObject* s) { return TextKey::of(utf8_of(s)); }

std::optional<NumKey> AttrSlot::number_at(uintptr_t w, uint32_t i) {
  if (kind_of(w) == SlotKind::Iterable) w = element_at(w, i);
  PyObject* o = pointer_of(w);
  switch (kind_of(w)) {
    case SlotKind::Int: {
      if (o == Py_True || o == Py_False) return std::nullopt;
      int overflow = 0;  // checked when the slot was built
      return NumKey::of_int(static_cast<int64_t>(PyLong_AsLongLongAndOverflow(o, &overflow)));
    }
    case SlotKind::Float: return NumKey::of_float(PyFloat_AS_DOUBLE(o));
    default: return std::nullopt;
  }
}

int AttrSlot::traverse(uintptr_t w, visitproc visit, void* arg) {
  if (kind_of(w) == SlotKind::Other) {
    Py_VISIT(other_of(w)->read);
    return 0;
  }
  if (kind_of(w) != SlotKind::Iterable) {
    Py_VISIT(pointer_of(w));
    return 0;
  }
  ElementBlock* b = block_of(w);
  Py_VISIT(b->container);
  for (uint32_t i = 0; i < b->count; ++i) {
    uintptr_t e = b->elems()[i];
    Py_VISIT(kind_of(e) == SlotKind::Other ? other_of(e)->read : pointer_of(e));
  }
  return 0;
}

void AttrSlot::release_held(uintptr_t w) noexcept {
  // A pending reference taken from this slot is applied before the slot's
  // own reference goes (py/pending_ref.hpp).
  if (!py::thread_detached()) py::apply_pending_increfs();
  if (kind_of(w) == SlotKind::Other) {
    OtherValue* o = other_of(w);
    py::release_ref(o->read);
    o->~OtherValue();
    PyObject_Free(o);
    return;
  }
  ElementBlock* b = block_of(w);
  for (uint32_t i = 0; i < b->count; ++i) release_word(b->elems()[i]);
  py::release_ref(b->container);
  PyObject_Free(b);
}

void AttrMap::capture_containers() {
  const uint32_t n = static_cast<uint32_t>(size());
  bool any = false;
  for (uint32_t i = 0; i < n && !any; ++i) any = AttrSlot::uncaptured(word(i));
  if (!any) return;
  // The change holds the interpreter lock like every other; it runs no
  // Python code and frees nothing (the block takes its own reference to the
  // container before the slot's is dropped).
  py::LockedAttachScope attach;
  for (uint32_t i = 0; i < n; ++i) {
    const uintptr_t w = word(i);
    if (!AttrSlot::uncaptured(w)) continue;
    AttrSlot fresh;
    try {
      fresh = AttrSlot::from_object(pointer_of(w), true);
    } catch (const py::PyErrorSet&) {
      PyErr_Clear();  // an element changed since it was checked: filed without elements
      continue;
    }
    word(i) = fresh.release();
    AttrSlot::release_word(w);
  }
}

void AttrMap::free_more(uintptr_t* more) {
  if (more) PyObject_Free(more - 1);
}

void AttrMap::swap(AttrMap& o) noexcept {
  std::swap(keys_, o.keys_);
  std::swap(tail_, o.tail_);
  std::swap(inline_, o.inline_);
}

// Room for `cap` slots in all (cap > capacity()); takes the class's root
// list if the map has none yet.
void AttrMap::grow(uint32_t cap, PyTypeObject* cls) {
  // The word before the slots holds their number.
  auto* block = static_cast<uintptr_t*>(PyObject_Malloc(sizeof(uintptr_t) * (1 + cap - kInline)));
  if (!block) throw std::bad_alloc();
  block[0] = cap - kInline;
  uintptr_t* fresh = block + 1;
  try {
    KeyList* keys = this->keys() ? this->keys() : root_of(cls);
    if (!keys->shared) {
      // A private list keeps room for every slot.
      KeyList* wider = new_keys(cap, keys->len, false);
      std::memcpy(wider->ids(), keys->ids(), sizeof(uint32_t) * keys->len);
      free_if_private(keys);
      keys = wider;
    }
    set_keys(keys);
  } catch (...) {
    PyObject_Free(block);
    throw;
  }
  const uint32_t n = keys()->len;
  if (spilled()) {
    if (n > kInline) std::memcpy(fresh, more(), sizeof(uintptr_t) * (n - kInline));
    free_more(more());
  } else if (n > kInline) {
    fresh[0] = tail_;  // the map's last slot moves to the array's first
  }
  tail_ = reinterpret_cast<uintptr_t>(fresh);
  keys_ |= kSpilled;
}

void AttrMap::reserve(uint32_t n, PyTypeObject* cls) {
  if (n > capacity()) grow(n, cls);
}

void AttrMap::append_key(uint32_t key) {
  KeyList* k = keys();
  const uint32_t s = k->len;  // < capacity()
  if (!k->shared) {
    k->ids()[s] = key;
    ++k->len;
    return;
  }
  if (KeyList* longer = extension_of(k, key)) {
    set_keys(longer);
    return;
  }
  KeyList* own = new_keys(capacity(), s + 1, false);
  std::memcpy(own->ids(), k->ids(), sizeof(uint32_t) * s);
  own->ids()[s] = key;
  set_keys(own);
}

AttrSlot AttrMap::exchange(uint32_t key, AttrSlot&& slot, PyTypeObject* cls) {
  if (const KeyList* k = keys()) {
    const uint32_t* ids = k->ids();
    for (uint32_t i = 0, n = k->len; i < n; ++i)
      if (ids[i] == key) {
        uintptr_t old = word(i);
        word(i) = slot.release();
        return AttrSlot::adopt(old);
      }
  } else {
    set_keys(root_of(cls));
  }
  const uint32_t at = keys()->len;
  if (at == capacity()) grow(at + (at / 2 > 1 ? at / 2 : 1), cls);
  append_key(key);
  word(at) = slot.release();
  return AttrSlot();
}

int AttrMap::traverse(visitproc visit, void* arg) const {
  for (uint32_t i = 0, n = static_cast<uint32_t>(size()); i < n; ++i)
    if (int r = AttrSlot::traverse(word(i), visit, arg)) return r;
  return 0;
}

void AttrMap::clear() noexcept {
  // The map is emptied before any reference is dropped: a finaliser run by a
  // release sees an object with no attributes (and may give it new ones).
  const bool was_spilled = spilled();
  KeyList* keys = this->keys();
  keys_ = 0;
  if (!keys) return;
  const uintptr_t tail = std::exchange(tail_, uintptr_t{0});
  uintptr_t* more = was_spilled ? reinterpret_cast<uintptr_t*>(tail) : nullptr;
  uintptr_t first[kInline];
  std::copy(std::begin(inline_), std::end(inline_), first);
  std::fill(std::begin(inline_), std::end(inline_), uintptr_t{0});
  for (uint32_t i = 0; i < keys->len; ++i)
    AttrSlot::release_word(i < kInline ? first[i] : more ? more[i - kInline] : tail);
  free_if_private(keys);
  free_more(more);
}

}  // namespace zarvex
