// PyValue: an attribute value as the indexes see it. It pairs the Python
// object the user assigned (`obj`, a shared handle) with its native form
// (`primitave`, a CastValue) and a 32-bit hash computed once at construction
// (widened to 64 bits).
//
// Kinds, in tag order: Int (signed 64-bit), Float (double), Str (CompactStr),
// Bool, Iterable (list/dict/tuple/set), Ind (an Indexable object), Unknown,
// then Temporal (date, naive or aware datetime, naive time, timedelta: a
// kind tag and an ordered number key), Ratio (a Decimal or Fraction that is
// neither a 64-bit integer nor a double), Bytes (bytes, by content) and
// Identity (None and members of a plain Enum: singletons, equal only to
// themselves).
//
// Classification: the exact built-in int, float, str and bool (and numpy's
// int64, float64, str_ and bool_) are taken first and keep no object when
// stored as attributes. Then subclasses of int, float and str (IntEnum,
// IntFlag, StrEnum members, numpy.str_) take their base value; numpy
// integers and floats of every width, datetime64 and timedelta64 their
// Python counterparts; Decimal and Fraction their exact value (an Int or a
// Float when one holds it exactly, else a Ratio). These keep their object,
// so they read back as the very objects stored.
//
// Iterable values also carry `elements`: the values filed for the container,
// captured once when the value is built (lists, tuples and sets flattened
// recursively, each container visited once so self-containing containers
// end; dicts contribute nothing). Filing and unfiling an attribute both use
// this captured list, so a container mutated in place after the assignment
// can never leave stale entries behind, and indexing never needs the
// interpreter.
//
// Equality (used as the key equality of the exact-value maps): hashes first;
// then numbers by numeric value, bool against 0/1, texts by bytes; Iterable
// and Unknown values are equal only to copies of the same value record (so
// a lookup with a freshly built value never finds them, while removing the
// very value that was filed does); Ind and Identity values by object
// identity; Temporal values by kind tag and key (aware datetimes by instant);
// Ratio values by their exact fraction; Bytes by content.
//
// Thread-safety: immutable; copies may be made, read and dropped on any
// thread, attached or not (the Python reference is released through the
// deferred queue when the last copy goes on a detached thread). Building a
// value from a Python object and get_obj() need the interpreter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "absl/container/flat_hash_set.h"
#include "absl/container/inlined_vector.h"
#include "index/compact_str.hpp"
#include "index/core/query/b_tree/num_key.hpp"
#include "py/boundary.hpp"
#include "py/owned_ref.hpp"
#include "support/memory.hpp"

namespace zarvex {

enum class Kind : uint8_t {
  Int = 1,
  Float = 2,
  Str = 3,
  Bool = 4,
  Iterable = 5,
  Ind = 6,
  Unknown = 7,
  Temporal = 8,
  Ratio = 9,
  Bytes = 10,
  Identity = 11,
};
enum class IterKind : uint8_t { List = 0, Dict = 1, Tuple = 2, Set = 3 };

class PyValue;
struct IndexableRecord;

struct IterableValue {
  IterKind kind;
  std::shared_ptr<const std::vector<PyValue>> elements;
};

// Payload of Ind: the record lives inside the Python object, which the
// value's `obj` handle keeps alive.
struct StoredIndexable {
  IndexableRecord* record;
};

// Identity of an Unknown value: values are equal only when they hold the same
// object and carry the same token. A value built from a Python object gets a
// fresh token (copies share it); an attribute's value (and each element of a
// container value) gets the token of its (object, attribute) place, so that
// it is rebuilt equal each time the object is filed or unfiled.
struct UnknownValue {
  uint64_t token = 0;
};

// Dates and times. Values of one tag are ordered by `key`; values of
// different tags are never equal and never ordered together (as in Python).
//   Date   days since 1970-01-01
//   Naive  microseconds since 1970-01-01T00:00 of a datetime without offset
//   Aware  microseconds since 1970-01-01T00:00 UTC (the instant)
//   Time   microseconds since midnight of a time without offset
//   Delta  microseconds of a timedelta; one beyond the signed 64-bit range
//          (about 292,000 years) keeps the nearest double of its count
enum class TimeKind : uint8_t { Date = 0, Naive = 1, Aware = 2, Time = 3, Delta = 4 };
inline constexpr size_t kTimeKinds = 5;

struct TemporalValue {
  TimeKind tag;
  NumKey key;
};

// An exact number that no Int or Float holds (Fraction(1, 3),
// Decimal("0.1")). `nearest` is the correctly rounded double and `side`
// the sign of (value - nearest), never 0. When numerator and denominator
// fit 64 bits (`fits`) comparisons are exact; `floor` is kept when the
// value lies beyond 2^53 in magnitude and its floor fits 64 bits (integers
// there are not all doubles). `text` is "numerator/denominator", the value's
// identity for equality and hashing.
struct RatioData {
  double nearest;
  int8_t side;
  bool fits;
  bool has_floor;
  int64_t num, den;
  int64_t floor;
  std::string text;
};

struct RatioValue {
  std::shared_ptr<const RatioData> data;
};

struct BytesValue {
  CompactStr bytes;
};

struct IdentityValue {};

using CastValue = std::variant<int64_t, double, CompactStr, bool, IterableValue, StoredIndexable, UnknownValue,
                               TemporalValue, RatioValue, BytesValue, IdentityValue>;
// The added kinds fit in the room a text already takes: a value is no larger.
static_assert(sizeof(TemporalValue) <= sizeof(CompactStr) && sizeof(RatioValue) <= sizeof(CompactStr) &&
              sizeof(BytesValue) == sizeof(CompactStr));

class PyValue {
 public:
  // Builds a value from a borrowed Python object. Raises (throws
  // py::PyErrorSet with the error set) for an int outside the signed 64-bit
  // range (OverflowError) and a str that cannot be encoded as UTF-8.
  static PyValue from_object(PyObject* obj);
  // The same for a value about to be stored as an attribute: Int, Float, Str
  // and Bool values keep no Python object (they read back as new objects
  // anyway), which saves a reference and an allocation per attribute.
  static PyValue for_attribute(PyObject* obj);
  // A value without a Python object (grouping keys, flattened elements).
  static PyValue from_primitave(CastValue prim);
  // A text value without a Python object, built in place from its UTF-8
  // bytes: equal to (and hashed as) from_primitave(CompactStr(utf8)).
  static PyValue of_text(std::string_view utf8);
  // A value from a handle and a native form built elsewhere (the attribute
  // table's conversions); the hash is computed here.
  static PyValue from_handle(py::SharedPy obj, CastValue prim);
  // Token for an Unknown value built from a Python object (never 0).
  static uint64_t fresh_unknown_token();

  Kind kind() const { return static_cast<Kind>(prim_.index() + 1); }
  const CastValue& primitave() const { return prim_; }
  uint64_t hash64() const { return hash_; }
  // In-shard bucket hash: the cached hash, refined for values equal only to
  // copies of themselves (Unknown, containers) or to their very object
  // (Identity, whose cached hash is the Unknown one) by the address, so
  // that many such keys (every None of an attribute) do not share a bucket.
  // Equal values share the holder, so they share this hash too.
  uint64_t bucket_hash64() const {
    Kind k = kind();
    if (k == Kind::Unknown)
      return hash_ ^ (std::get<UnknownValue>(prim_).token << 16) ^
             (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj())) << 8);
    if (k == Kind::Iterable) return hash_ ^ (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj_.identity())) << 16);
    if (k == Kind::Identity) return hash_ ^ (static_cast<uint64_t>(reinterpret_cast<uintptr_t>(obj())) << 16);
    return hash_;
  }
  PyObject* obj() const { return obj_.get(); }
  const py::SharedPy& handle() const { return obj_; }

  int64_t as_int() const { return std::get<int64_t>(prim_); }
  double as_float() const { return std::get<double>(prim_); }
  std::string_view as_str() const { return std::get<CompactStr>(prim_).view(); }
  bool as_bool() const { return std::get<bool>(prim_); }
  const IterableValue& as_iterable() const { return std::get<IterableValue>(prim_); }
  IndexableRecord* as_ind() const { return std::get<StoredIndexable>(prim_).record; }
  bool is_number() const { return kind() == Kind::Int || kind() == Kind::Float; }
  const TemporalValue& as_temporal() const { return std::get<TemporalValue>(prim_); }
  const RatioData& as_ratio() const { return *std::get<RatioValue>(prim_).data; }
  std::string_view as_bytes() const { return std::get<BytesValue>(prim_).bytes.view(); }

  bool operator==(const PyValue& other) const;

  // A new strong reference for reading the value back (attached only): the
  // kept object itself, else one built from the native form.
  PyObject* get_obj() const;

  // Text rendering: PyValue { obj: ..., primitave: ..., hash: ... }.
  std::string render() const;

  static uint32_t compute_hash(const CastValue& prim, PyObject* obj);
  static uint32_t text_hash(std::string_view utf8);

 private:
  PyValue(py::SharedPy obj, CastValue prim, uint64_t hash)
      : obj_(std::move(obj)), prim_(std::move(prim)), hash_(hash) {}
  py::SharedPy obj_;
  CastValue prim_;
  uint64_t hash_;
};

// A text as an exact map looks it up without building its value: its UTF-8
// bytes (borrowed from their holder, which must outlive the key) and the hash
// of_text gives them. It equals exactly the Str value of the same bytes, and
// hashes (for shards and buckets) as that value does.
struct TextKey {
  std::string_view utf8;
  uint64_t hash;
  static TextKey of(std::string_view utf8) { return {utf8, PyValue::text_hash(utf8)}; }
  uint64_t hash64() const { return hash; }
  uint64_t bucket_hash64() const { return hash; }
  PyValue value() const { return PyValue::of_text(utf8); }
};
inline bool operator==(const TextKey& a, const TextKey& b) { return a.hash == b.hash && same_text(a.utf8, b.utf8); }
inline bool operator==(const PyValue& v, const TextKey& t) {
  if (v.hash64() != t.hash) return false;
  const CompactStr* s = std::get_if<CompactStr>(&v.primitave());
  return s && same_text(s->view(), t.utf8);
}

// Calls leaf(item) for every element of a list/tuple/set that is not itself
// one, walking nested containers with an explicit stack (so arbitrarily deep
// nesting cannot exhaust the C stack). A container already on the stack is
// skipped, so a container that contains itself ends. Dicts contribute
// nothing. Attached; throws py::PyErrorSet when iterating a set fails.
template <class Leaf>
void for_each_leaf(PyObject* root, Leaf&& leaf) {
  struct Frame {
    py::Ref container;
    py::Ref iter;  // sets only
    Py_ssize_t pos = 0;
  };
  absl::InlinedVector<Frame, 4> stack;
  absl::flat_hash_set<PyObject*, absl::Hash<PyObject*>, std::equal_to<PyObject*>, memory::UnfailingAllocator<PyObject*>>
      on_stack;
  // Short stacks are scanned; deep ones use the set, so the walk stays
  // linear whatever the depth.
  constexpr size_t kScanLimit = 16;
  auto push = [&](PyObject* c) {
    if (stack.size() < kScanLimit) {
      for (const Frame& fr : stack)
        if (fr.container.get() == c) return;
      if (stack.size() + 1 == kScanLimit) {
        for (const Frame& fr : stack) on_stack.insert(fr.container.get());
        on_stack.insert(c);
      }
    } else if (!on_stack.insert(c).second) {
      return;
    }
    Frame f;
    f.container = py::Ref::borrow(c);
    if (Py_TYPE(c) == &PySet_Type) {
      f.iter = py::Ref::steal(PyObject_GetIter(c));
      if (!f.iter) throw py::PyErrorSet{};
    }
    stack.push_back(std::move(f));
  };
  push(root);
  while (!stack.empty()) {
    Frame& f = stack.back();
    PyObject* c = f.container.get();
    py::Ref item;
    if (PyList_CheckExact(c)) {
      // Positions are checked against the current length: the list is
      // held, not frozen.
      if (f.pos < PyList_GET_SIZE(c)) item = py::Ref::borrow(PyList_GET_ITEM(c, f.pos++));
    } else if (PyTuple_CheckExact(c)) {
      if (f.pos < PyTuple_GET_SIZE(c)) item = py::Ref::borrow(PyTuple_GET_ITEM(c, f.pos++));
    } else {
      PyObject* raw = PyIter_Next(f.iter.get());
      if (!raw && PyErr_Occurred()) throw py::PyErrorSet{};
      item = py::Ref::steal(raw);
    }
    if (!item) {
      if (!on_stack.empty()) on_stack.erase(c);
      stack.pop_back();
      continue;
    }
    PyTypeObject* t = Py_TYPE(item.get());
    if (t == &PyList_Type || t == &PyTuple_Type || t == &PySet_Type) {
      push(item.get());  // may reallocate the stack: `f` is not used after this
    } else if (t != &PyDict_Type) {
      leaf(item.get());
    }
  }
}

}  // namespace zarvex
