#include "index/value.hpp"

#include <atomic>
#include <bit>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include <datetime.h>

#include "absl/container/flat_hash_set.h"
#include "absl/container/inlined_vector.h"
#include "index/object_record.hpp"
#include "index/types.hpp"
#include "py/boundary.hpp"
#include "support/hasher.hpp"
#include "support/memory.hpp"

// g++ 12 reports the inactive members of CastValue as "maybe uninitialized"
// when a variant is assigned a new alternative (a known false positive of
// std::variant's assignment under -O2).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace zarvex {

uint32_t PyValue::text_hash(std::string_view utf8) {
  MulHasher h;
  h.add64(byte_hash(utf8));
  h.add32(0xFF);
  h.add32(3);
  return h.finish();
}

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
    case Kind::Str: return text_hash(std::get<CompactStr>(prim).view());
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
    case Kind::Temporal: {
      const TemporalValue& t = std::get<TemporalValue>(prim);
      h.add64(static_cast<uint64_t>(key_code(t.key)) ^ static_cast<uint64_t>(key_code(t.key) >> 64));
      h.add32(static_cast<uint32_t>(t.tag));
      h.add32(8);
      break;
    }
    case Kind::Ratio:
      h.add64(byte_hash(std::get<RatioValue>(prim).data->text));
      h.add32(0);
      h.add32(9);
      break;
    case Kind::Bytes:
      h.add64(byte_hash(std::get<BytesValue>(prim).bytes.view()));
      h.add32(0);
      h.add32(10);
      break;
    case Kind::Identity:
      // The hash (and rendering) of the Unknown values these were before:
      // equal values are one object, and the bucket hash adds the address.
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

// --- dates and times -------------------------------------------------------

constexpr int64_t kMicrosPerDay = 86'400'000'000;

bool datetime_api() {
  if (!PyDateTimeAPI) {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

// Days from 1970-01-01 of a proleptic Gregorian date (exact for years 1..9999).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (m <= 2));
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

int64_t delta_micros(PyObject* td) {
  return PyDateTime_DELTA_GET_DAYS(td) * kMicrosPerDay + PyDateTime_DELTA_GET_SECONDS(td) * int64_t{1'000'000} +
         PyDateTime_DELTA_GET_MICROSECONDS(td);
}

// The offset of an object with a tzinfo: true with `micros` set when
// utcoffset() gives a timedelta, false when it gives None (a naive value).
bool utc_offset(PyObject* obj, int64_t& micros) {
  py::Ref off = py::Ref::steal(PyObject_CallMethod(obj, "utcoffset", nullptr));
  if (!off) throw py::PyErrorSet{};
  if (off.get() == Py_None) return false;
  if (!PyDelta_Check(off.get())) return false;
  micros = delta_micros(off.get());
  return true;
}

// Native form of a date, datetime, time or timedelta (subclasses included).
// An aware time has no order against anything but aware times of the same
// rules: it stays Unknown.
bool temporal_form(PyObject* obj, CastValue& out) {
  if (!datetime_api()) return false;
  if (PyDateTime_Check(obj)) {
    const int64_t days = days_from_civil(PyDateTime_GET_YEAR(obj), static_cast<unsigned>(PyDateTime_GET_MONTH(obj)),
                                         static_cast<unsigned>(PyDateTime_GET_DAY(obj)));
    const int64_t local = days * kMicrosPerDay +
                          ((PyDateTime_DATE_GET_HOUR(obj) * int64_t{60} + PyDateTime_DATE_GET_MINUTE(obj)) * 60 +
                           PyDateTime_DATE_GET_SECOND(obj)) *
                              int64_t{1'000'000} +
                          PyDateTime_DATE_GET_MICROSECOND(obj);
    int64_t offset = 0;
    const bool aware = reinterpret_cast<PyDateTime_DateTime*>(obj)->hastzinfo && utc_offset(obj, offset);
    out = TemporalValue{aware ? TimeKind::Aware : TimeKind::Naive, NumKey::of_int(aware ? local - offset : local)};
    return true;
  }
  if (PyDate_Check(obj)) {
    out = TemporalValue{TimeKind::Date, NumKey::of_int(days_from_civil(
                                            PyDateTime_GET_YEAR(obj), static_cast<unsigned>(PyDateTime_GET_MONTH(obj)),
                                            static_cast<unsigned>(PyDateTime_GET_DAY(obj))))};
    return true;
  }
  if (PyTime_Check(obj)) {
    int64_t offset = 0;
    if (reinterpret_cast<PyDateTime_Time*>(obj)->hastzinfo && utc_offset(obj, offset)) return false;
    const int64_t us = ((PyDateTime_TIME_GET_HOUR(obj) * int64_t{60} + PyDateTime_TIME_GET_MINUTE(obj)) * 60 +
                        PyDateTime_TIME_GET_SECOND(obj)) *
                           int64_t{1'000'000} +
                       PyDateTime_TIME_GET_MICROSECOND(obj);
    out = TemporalValue{TimeKind::Time, NumKey::of_int(us)};
    return true;
  }
  if (PyDelta_Check(obj)) {
    const __int128 us = static_cast<__int128>(PyDateTime_DELTA_GET_DAYS(obj)) * kMicrosPerDay +
                        static_cast<__int128>(PyDateTime_DELTA_GET_SECONDS(obj)) * 1'000'000 +
                        PyDateTime_DELTA_GET_MICROSECONDS(obj);
    const bool fits = us >= std::numeric_limits<int64_t>::min() && us <= std::numeric_limits<int64_t>::max();
    out = TemporalValue{TimeKind::Delta,
                        fits ? NumKey::of_int(static_cast<int64_t>(us)) : NumKey::of_float(static_cast<double>(us))};
    return true;
  }
  return false;
}

PyObject* temporal_object(const TemporalValue& t) {
  if (!datetime_api()) throw py::PyErrorSet{};
  const int64_t k = t.key.is_float ? static_cast<int64_t>(t.key.f) : t.key.i;
  int y = 0, m = 0, d = 0;
  switch (t.tag) {
    case TimeKind::Date: civil_from_days(k, y, m, d); return PyDate_FromDate(y, m, d);
    case TimeKind::Naive:
    case TimeKind::Aware: {
      const int64_t days = floor_div(k, kMicrosPerDay);
      int64_t rest = k - days * kMicrosPerDay;
      civil_from_days(days, y, m, d);
      const int us = static_cast<int>(rest % 1'000'000);
      rest /= 1'000'000;
      const int sec = static_cast<int>(rest % 60), min = static_cast<int>(rest / 60 % 60),
                hour = static_cast<int>(rest / 3600);
      if (t.tag == TimeKind::Naive) return PyDateTime_FromDateAndTime(y, m, d, hour, min, sec, us);
      return PyDateTimeAPI->DateTime_FromDateAndTime(y, m, d, hour, min, sec, us, PyDateTime_TimeZone_UTC,
                                                     PyDateTimeAPI->DateTimeType);
    }
    case TimeKind::Time:
      return PyTime_FromTime(static_cast<int>(k / 3'600'000'000), static_cast<int>(k / 60'000'000 % 60),
                             static_cast<int>(k / 1'000'000 % 60), static_cast<int>(k % 1'000'000));
    case TimeKind::Delta: {
      if (t.key.is_float) {
        // Beyond the 64-bit range: whole days of the nearest double.
        return PyDelta_FromDSU(static_cast<int>(t.key.f / static_cast<double>(kMicrosPerDay)), 0, 0);
      }
      const int64_t days = floor_div(k, kMicrosPerDay);
      const int64_t rest = k - days * kMicrosPerDay;
      return PyDelta_FromDSU(static_cast<int>(days), static_cast<int>(rest / 1'000'000),
                             static_cast<int>(rest % 1'000'000));
    }
  }
  Py_RETURN_NONE;
}

// --- exact numbers ---------------------------------------------------------

bool is_instance_of(PyObject* obj, PyTypeObject* t) { return t && PyObject_TypeCheck(obj, t); }

bool to_int64(PyObject* n, int64_t& out) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
  if (overflow) return false;
  if (v == -1 && PyErr_Occurred()) throw py::PyErrorSet{};
  out = v;
  return true;
}

// Decimal and Fraction: an Int when the value is a 64-bit integer, a Float
// when a double holds it exactly, a Ratio otherwise. A NaN Decimal is a NaN
// Float (it equals and orders against nothing), an infinite one the infinity.
void exact_number_form(PyObject* obj, CastValue& out) {
  py::Ref as_float = py::Ref::steal(PyNumber_Float(obj));
  if (!as_float) {
    // Signalling NaN and other values without a float.
    PyErr_Clear();
    out = UnknownValue{};
    return;
  }
  const double nearest = PyFloat_AS_DOUBLE(as_float.get());
  if (std::isnan(nearest) || std::isinf(nearest)) {
    // float() of a finite value never overflows to infinity silently for a
    // Fraction, but a huge Decimal does: only a true infinity is taken.
    int inf = std::isinf(nearest) ? PyObject_RichCompareBool(obj, as_float.get(), Py_EQ) : 1;
    if (inf < 0) throw py::PyErrorSet{};
    if (inf) {
      out = nearest;
      return;
    }
  }
  py::Ref ratio = py::Ref::steal(PyObject_CallMethod(obj, "as_integer_ratio", nullptr));
  if (!ratio || !PyTuple_Check(ratio.get()) || PyTuple_GET_SIZE(ratio.get()) != 2) {
    PyErr_Clear();
    out = UnknownValue{};
    return;
  }
  PyObject* n = PyTuple_GET_ITEM(ratio.get(), 0);
  PyObject* d = PyTuple_GET_ITEM(ratio.get(), 1);
  auto data = std::make_shared<RatioData>();
  data->nearest = nearest;
  data->fits = to_int64(n, data->num) && to_int64(d, data->den);
  if (data->fits && data->den == 1) {
    out = data->num;
    return;
  }
  int eq = PyObject_RichCompareBool(obj, as_float.get(), Py_EQ);
  if (eq < 0) throw py::PyErrorSet{};
  if (eq) {
    out = nearest;
    return;
  }
  int lt = PyObject_RichCompareBool(obj, as_float.get(), Py_LT);
  if (lt < 0) throw py::PyErrorSet{};
  data->side = lt ? -1 : 1;
  data->has_floor = false;
  if (std::fabs(nearest) >= 9007199254740992.0) {
    py::Ref fl = py::Ref::steal(PyNumber_FloorDivide(n, d));
    if (!fl) throw py::PyErrorSet{};
    data->has_floor = to_int64(fl.get(), data->floor);
  }
  py::Ref ns = py::Ref::steal(PyObject_Str(n)), ds = py::Ref::steal(PyObject_Str(d));
  if (!ns || !ds) throw py::PyErrorSet{};
  const char* a = PyUnicode_AsUTF8(ns.get());
  const char* b = PyUnicode_AsUTF8(ds.get());
  if (!a || !b) throw py::PyErrorSet{};
  data->text = std::string(a) + "/" + b;
  out = RatioValue{std::move(data)};
}

// Values beyond the built-in exact types: subclasses, enums, None, bytes,
// dates and times, numpy scalars of other widths, Decimal and Fraction.
// False when none of these applies (containers, Indexables, Unknown).
bool extended_form(PyObject* obj, CastValue& out) {
  if (obj == Py_None) {
    out = IdentityValue{};
    return true;
  }
  PyTypeObject* t = Py_TYPE(obj);
  if (PyLong_Check(obj)) {
    int64_t v = 0;
    if (!to_int64(obj, v)) raise_overflow();
    out = v;
    return true;
  }
  if (PyFloat_Check(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) throw py::PyErrorSet{};
    out = CompactStr(std::string_view(s, static_cast<size_t>(n)));
    return true;
  }
  if (PyBytes_Check(obj)) {
    out = BytesValue{CompactStr(std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj))))};
    return true;
  }
  if (temporal_form(obj, out)) return true;
  const types::NumpyScalars& np = types::numpy_scalars();
  // timedelta64 derives from numpy's signed integers: dates and times first.
  if (is_instance_of(obj, np.datetime64) || is_instance_of(obj, np.timedelta64)) {
    // item() gives the date, datetime or timedelta of the same value; NaT
    // and units finer than a microsecond give None or an int: Unknown.
    py::Ref item = py::Ref::steal(PyObject_CallMethod(obj, "item", nullptr));
    if (!item) throw py::PyErrorSet{};
    if (!temporal_form(item.get(), out)) out = UnknownValue{};
    return true;
  }
  if (is_instance_of(obj, np.integer)) {
    py::Ref i = py::Ref::steal(PyNumber_Index(obj));
    if (!i) throw py::PyErrorSet{};
    int64_t v = 0;
    if (!to_int64(i.get(), v)) raise_overflow();
    out = v;
    return true;
  }
  if (is_instance_of(obj, np.floating)) {
    double d = PyFloat_AsDouble(obj);
    if (d == -1.0 && PyErr_Occurred()) throw py::PyErrorSet{};
    out = d;
    return true;
  }
  if (is_instance_of(obj, types::decimal_type()) || is_instance_of(obj, types::fraction_type())) {
    exact_number_form(obj, out);
    return true;
  }
  if (PyTypeObject* meta = types::enum_meta(); meta && PyObject_TypeCheck(reinterpret_cast<PyObject*>(t), meta)) {
    out = IdentityValue{};
    return true;
  }
  return false;
}

// Flattens a list/tuple/set into the values filed for it.
void flatten(PyObject* root, std::vector<PyValue>& out) {
  // The usual value is a flat list or tuple: one frame, one allocation.
  if (PyList_CheckExact(root)) out.reserve(static_cast<size_t>(PyList_GET_SIZE(root)));
  if (PyTuple_CheckExact(root)) out.reserve(static_cast<size_t>(PyTuple_GET_SIZE(root)));
  for_each_leaf(root, [&](PyObject* item) { out.push_back(PyValue::for_attribute(item)); });
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
      IterKind k = t == &PyList_Type    ? IterKind::List
                   : t == &PyDict_Type  ? IterKind::Dict
                   : t == &PyTuple_Type ? IterKind::Tuple
                                        : IterKind::Set;
      auto elements = std::make_shared<std::vector<PyValue>>();
      if (k != IterKind::Dict) flatten(obj, *elements);
      prim = IterableValue{k, std::move(elements)};
    } else if (is_indexable(obj)) {
      prim = StoredIndexable{record_of(obj)};
    } else {
      extended_form(obj, prim);
    }
  }
  // Conversions that fall back to Unknown leave no token: every value built
  // here is its own.
  if (auto* u = std::get_if<UnknownValue>(&prim); u && u->token == 0) u->token = fresh_unknown_token();
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

PyValue PyValue::of_text(std::string_view utf8) {
  return PyValue(py::SharedPy(), CastValue(std::in_place_type<CompactStr>, utf8), text_hash(utf8));
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
    case Kind::Str: return b == Kind::Str && same_text(as_str(), o.as_str());
    case Kind::Bool:
      if (b == Kind::Bool) return as_bool() == o.as_bool();
      if (b == Kind::Int) return o.as_int() == (as_bool() ? 1 : 0);
      return false;
    case Kind::Iterable:
      // Only the very same value record (a copy of it) matches.
      return b == a && obj_ && obj_.same(o.obj_);
    case Kind::Unknown:
      return b == a && std::get<UnknownValue>(prim_).token == std::get<UnknownValue>(o.prim_).token && obj() == o.obj();
    case Kind::Ind: return b == Kind::Ind && obj() == o.obj();
    case Kind::Identity: return b == Kind::Identity && obj() == o.obj();
    case Kind::Temporal: {
      if (b != Kind::Temporal) return false;
      const TemporalValue &x = as_temporal(), &y = o.as_temporal();
      return x.tag == y.tag && key_code(x.key) == key_code(y.key);
    }
    case Kind::Ratio: return b == Kind::Ratio && as_ratio().text == o.as_ratio().text;
    case Kind::Bytes: return b == Kind::Bytes && as_bytes() == o.as_bytes();
  }
  return false;
}

PyObject* PyValue::get_obj() const {
  // A value that keeps its object reads back as that very object.
  if (PyObject* o = obj()) {
    Py_INCREF(o);
    return o;
  }
  switch (kind()) {
    case Kind::Int: return PyLong_FromLongLong(as_int());
    case Kind::Float: return PyFloat_FromDouble(as_float());
    case Kind::Str: {
      auto s = as_str();
      return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    }
    case Kind::Bool: return PyBool_FromLong(as_bool());
    case Kind::Temporal: return temporal_object(as_temporal());
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
    case Kind::Int: out += "Int(" + std::to_string(as_int()) + ")"; break;
    case Kind::Float: out += "Float(" + render_float(as_float()) + ")"; break;
    case Kind::Str: out += "Str(" + quote(as_str()) + ")"; break;
    case Kind::Bool: out += as_bool() ? "Bool(true)" : "Bool(false)"; break;
    case Kind::Iterable: {
      static const char* names[] = {"List", "Dict", "Tuple", "Set"};
      out += std::string("Iterable(") + names[static_cast<int>(as_iterable().kind)] + "(" + ptr(obj()) + "))";
      break;
    }
    case Kind::Ind:
      out += "Ind(StoredIndexable { python_handle: " + ptr(obj()) +
             ", owned_handle: Indexable { id: " + std::to_string(record_id(as_ind())) + " } })";
      break;
    case Kind::Unknown: out += "Unknown"; break;
    case Kind::Temporal: {
      static const char* names[] = {"Date", "DateTime", "AwareDateTime", "Time", "TimeDelta"};
      const NumKey& k = as_temporal().key;
      out += std::string("Temporal(") + names[static_cast<int>(as_temporal().tag)] + "(" +
             (k.is_float ? render_float(k.f) : std::to_string(k.i)) + "))";
      break;
    }
    case Kind::Ratio: out += "Ratio(" + as_ratio().text + ")"; break;
    case Kind::Bytes: out += "Bytes(" + quote(as_bytes()) + ")"; break;
    case Kind::Identity: out += "Unknown"; break;
  }
  out += ", hash: " + std::to_string(hash_) + " }";
  return out;
}

}  // namespace zarvex
