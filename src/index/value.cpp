#include "index/value.hpp"

#include <atomic>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "absl/container/flat_hash_set.h"
#include "absl/container/inlined_vector.h"
#include "index/indexable.hpp"
#include "index/types.hpp"
#include "py/boundary.hpp"
#include "support/hasher.hpp"

namespace zarvex {

uint32_t PyValue::compute_hash(const CastValue& prim, PyObject* obj) {
  MulHasher h;
  switch (static_cast<Kind>(prim.index() + 1)) {
    case Kind::Int:
      h.add64(static_cast<uint64_t>(std::get<int64_t>(prim)));
      h.add32(1);
      break;
    case Kind::Float:
      h.add64(std::bit_cast<uint64_t>(std::get<double>(prim)));
      h.add32(2);
      break;
    case Kind::Str: {
      h.add64(byte_hash(std::get<CompactStr>(prim).view()));
      h.add32(0xFF);
      h.add32(3);
      break;
    }
    case Kind::Bool:
      h.add32(std::get<bool>(prim) ? 1 : 0);
      h.add32(0);
      h.add32(4);
      break;
    case Kind::Iterable:
      h.add32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(obj)));
      h.add32(0);
      h.add32(5);
      break;
    case Kind::Ind:
      h.add32(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(obj)));
      h.add32(0);
      h.add32(6);
      break;
    case Kind::Unknown:
      h.add32(0);
      h.add32(0);
      h.add32(7);
      break;
  }
  return h.finish();
}

namespace {

[[noreturn]] void raise_overflow() {
  PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to a signed 64-bit integer");
  throw py::PyErrorSet{};
}

// Native form of `obj` for the kinds that need no container walk. Returns
// false when obj is a list/tuple/set/dict, an Indexable or Unknown.
bool scalar_form(PyObject* obj, CastValue& out) {
  PyTypeObject* t = Py_TYPE(obj);
  // Fast paths for the built-in types avoid touching the registry.
  if (t == &PyLong_Type || (t != &PyBool_Type && types::in(types::int_types(), t))) {
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
    out = static_cast<int64_t>(v);
    return true;
  }
  if (t == &PyFloat_Type || types::in(types::float_types(), t)) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) throw py::PyErrorSet{};
    out = d;
    return true;
  }
  if (t == &PyUnicode_Type || types::in(types::str_types(), t)) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) throw py::PyErrorSet{};
    out = CompactStr(std::string_view(s, static_cast<size_t>(n)));
    return true;
  }
  if (t == &PyBool_Type || types::in(types::bool_types(), t)) {
    int b = PyObject_IsTrue(obj);
    if (b < 0) throw py::PyErrorSet{};
    out = b != 0;
    return true;
  }
  return false;
}

// Flattens a list/tuple/set into the values filed for it, walking nested
// containers with an explicit stack (so arbitrarily deep nesting cannot
// exhaust the C stack). A container already on the stack is skipped, so a
// container that contains itself ends. Dicts contribute nothing.
struct Frame {
  py::Ref container;
  py::Ref iter;  // sets only
  Py_ssize_t pos = 0;
};

bool is_flattened(PyTypeObject* t) { return t == &PyList_Type || t == &PyTuple_Type || t == &PySet_Type; }

void flatten(PyObject* root, std::vector<PyValue>& out) {
  // The usual value is a flat list or tuple: one frame, one allocation.
  if (PyList_CheckExact(root)) out.reserve(static_cast<size_t>(PyList_GET_SIZE(root)));
  if (PyTuple_CheckExact(root)) out.reserve(static_cast<size_t>(PyTuple_GET_SIZE(root)));
  absl::InlinedVector<Frame, 4> stack;
  absl::flat_hash_set<PyObject*> on_stack;
  // Short stacks are scanned; deep ones use the set, so the walk stays
  // linear whatever the depth.
  constexpr size_t kScanLimit = 16;
  auto push = [&](PyObject* c) {
    if (stack.size() < kScanLimit) {
      for (const Frame& fr : stack)
        if (fr.container.get() == c) return;
      if (stack.size() + 1 == kScanLimit)
        for (const Frame& fr : stack) on_stack.insert(fr.container.get());
      if (stack.size() + 1 == kScanLimit) on_stack.insert(c);
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
      // Positions are checked against the current length: converting an
      // element never runs Python code, but the list is held, not frozen.
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
    if (is_flattened(t)) {
      push(item.get());  // may reallocate the stack: `f` is not used after this
    } else if (t != &PyDict_Type) {
      out.push_back(PyValue::for_attribute(item.get()));
    }
  }
}

}  // namespace

uint64_t PyValue::fresh_unknown_token() {
  // Bit 31 stays clear: attribute places (object id << 32 | attribute id |
  // 1 << 31) never collide with these.
  static std::atomic<uint64_t> counter{1};
  return counter.fetch_add(1, std::memory_order_relaxed) << 32;
}

PyValue PyValue::from_handle(py::SharedPy obj, CastValue prim) {
  uint32_t h = compute_hash(prim, obj.get());
  return PyValue(std::move(obj), std::move(prim), h);
}

PyValue PyValue::from_object(PyObject* obj) {
  CastValue prim{UnknownValue{fresh_unknown_token()}};
  if (!scalar_form(obj, prim)) {
    PyTypeObject* t = Py_TYPE(obj);
    if (t == &PyList_Type || t == &PyTuple_Type || t == &PyDict_Type || t == &PySet_Type) {
      IterKind k = t == &PyList_Type ? IterKind::List
                   : t == &PyDict_Type ? IterKind::Dict
                   : t == &PyTuple_Type ? IterKind::Tuple
                                        : IterKind::Set;
      auto elements = std::make_shared<std::vector<PyValue>>();
      if (k != IterKind::Dict) flatten(obj, *elements);
      prim = IterableValue{k, std::move(elements)};
    } else if (is_indexable(obj)) {
      prim = StoredIndexable{record_of(obj)};
    }
  }
  uint32_t h = compute_hash(prim, obj);
  return PyValue(py::SharedPy::borrow(obj), std::move(prim), h);
}

PyValue PyValue::for_attribute(PyObject* obj) {
  CastValue prim{UnknownValue{}};
  if (scalar_form(obj, prim)) {
    uint32_t h = compute_hash(prim, obj);
    return PyValue(py::SharedPy(), std::move(prim), h);
  }
  return from_object(obj);
}

PyValue PyValue::from_primitave(CastValue prim) {
  uint32_t h = compute_hash(prim, nullptr);
  return PyValue(py::SharedPy(), std::move(prim), h);
}

bool PyValue::operator==(const PyValue& o) const {
  if (hash_ != o.hash_) return false;
  Kind a = kind(), b = o.kind();
  switch (a) {
    case Kind::Int:
      if (b == Kind::Int) return as_int() == o.as_int();
      if (b == Kind::Float) return static_cast<double>(as_int()) == o.as_float();
      if (b == Kind::Bool) return as_int() == (o.as_bool() ? 1 : 0);
      return false;
    case Kind::Float:
      if (b == Kind::Float) return as_float() == o.as_float();
      if (b == Kind::Int) return as_float() == static_cast<double>(o.as_int());
      return false;
    case Kind::Str:
      return b == Kind::Str && as_str() == o.as_str();
    case Kind::Bool:
      if (b == Kind::Bool) return as_bool() == o.as_bool();
      if (b == Kind::Int) return o.as_int() == (as_bool() ? 1 : 0);
      return false;
    case Kind::Iterable:
      // Only the very same value record (a copy of it) matches.
      return b == a && obj_ && obj_.same(o.obj_);
    case Kind::Unknown:
      return b == a && std::get<UnknownValue>(prim_).token == std::get<UnknownValue>(o.prim_).token &&
             obj() == o.obj();
    case Kind::Ind:
      return b == Kind::Ind && obj() == o.obj();
  }
  return false;
}

PyObject* PyValue::get_obj() const {
  switch (kind()) {
    case Kind::Int:
      return PyLong_FromLongLong(as_int());
    case Kind::Float:
      return PyFloat_FromDouble(as_float());
    case Kind::Str: {
      auto s = as_str();
      return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    }
    case Kind::Bool:
      return PyBool_FromLong(as_bool());
    default: {
      PyObject* o = obj();
      if (!o) Py_RETURN_NONE;
      Py_INCREF(o);
      return o;
    }
  }
}

namespace {
std::string quote(std::string_view s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
  return out;
}

std::string ptr(const void* p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "Py(0x%" PRIxPTR ")", reinterpret_cast<uintptr_t>(p));
  return buf;
}

std::string render_float(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", d);
  // Shortest representation that reads back exactly.
  for (int prec = 1; prec <= 17; ++prec) {
    std::snprintf(buf, sizeof buf, "%.*g", prec, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  std::string s = buf;
  if (s.find_first_of(".eE") == std::string::npos) s += ".0";
  return s;
}
}  // namespace

std::string PyValue::render() const {
  std::string out = "PyValue { obj: ";
  out += obj() ? "Some(" + ptr(obj()) + ")" : std::string("None");
  out += ", primitave: ";
  switch (kind()) {
    case Kind::Int:
      out += "Int(" + std::to_string(as_int()) + ")";
      break;
    case Kind::Float:
      out += "Float(" + render_float(as_float()) + ")";
      break;
    case Kind::Str:
      out += "Str(" + quote(as_str()) + ")";
      break;
    case Kind::Bool:
      out += as_bool() ? "Bool(true)" : "Bool(false)";
      break;
    case Kind::Iterable: {
      static const char* names[] = {"List", "Dict", "Tuple", "Set"};
      out += std::string("Iterable(") + names[static_cast<int>(as_iterable().kind)] + "(" + ptr(obj()) + "))";
      break;
    }
    case Kind::Ind:
      out += "Ind(StoredIndexable { python_handle: " + ptr(obj()) +
             ", owned_handle: Indexable { id: " + std::to_string(record_id(as_ind())) + " } })";
      break;
    case Kind::Unknown:
      out += "Unknown";
      break;
  }
  out += ", hash: " + std::to_string(hash_) + " }";
  return out;
}

}  // namespace zarvex
