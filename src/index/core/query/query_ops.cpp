#include "index/core/query/query_ops.hpp"

#include <algorithm>
#include <optional>

#include "absl/container/flat_hash_set.h"
#include "index/core/query/query.hpp"
#include "index/core/structures/string_interner/interner.hpp"
#include "py/boundary.hpp"
#include "support/internal_failure.hpp"

namespace zarvex {

namespace {

const char* op_name(QueryExpr::Op op) {
  static const char* names[] = {"Eq", "Ne", "Gt", "Ge", "Lt", "Le", "Bt", "In", "Not", "And", "Or"};
  return names[static_cast<int>(op)];
}

std::string quote_path(std::string_view s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

QueryExpr leaf(QueryExpr::Op op, std::string_view attr, std::vector<PyValue> values) {
  return QueryExpr{op, CompactStr(attr), std::move(values), {}};
}

Bitmap nested_eval(const QueryMap& map, QueryExpr sub) {
  return map.nested->get_direct_parents(map.nested->reduced_query(sub), map.attr_id);
}

}  // namespace

std::string QueryExpr::render() const {
  std::string out = op_name(op);
  out += "(";
  switch (op) {
    case Op::Not:
      out += children[0].render();
      break;
    case Op::And:
    case Op::Or: {
      out += "[";
      for (size_t i = 0; i < children.size(); ++i) {
        if (i) out += ", ";
        out += children[i].render();
      }
      out += "]";
      break;
    }
    case Op::In: {
      out += quote_path(attr.view()) + ", [";
      for (size_t i = 0; i < values.size(); ++i) {
        if (i) out += ", ";
        out += values[i].render();
      }
      out += "]";
      break;
    }
    default:
      out += quote_path(attr.view());
      for (const PyValue& v : values) out += ", " + v.render();
  }
  return out + ")";
}

std::pair<std::string_view, std::optional<std::string_view>> attr_parts(std::string_view path) {
  size_t k = path.find('.');
  if (k == std::string_view::npos) return {path, std::nullopt};
  return {path.substr(0, k), path.substr(k + 1)};
}

void validate_expr(const QueryExpr& e) {
  switch (e.op) {
    case QueryExpr::Op::Gt:
    case QueryExpr::Op::Ge:
    case QueryExpr::Op::Lt:
    case QueryExpr::Op::Le:
      if (e.values[0].kind() == Kind::Ind) fail("not yet implemented");
      break;
    case QueryExpr::Op::Bt:
      if (!e.values[0].is_number() || !e.values[1].is_number()) fail("not yet implemented");
      break;
    default:
      break;
  }
  for (const QueryExpr& c : e.children) validate_expr(c);
}

Bitmap evaluate_query(const QueryMapVec& maps, const Bitmap& universe, const QueryExpr& e) {
  using Op = QueryExpr::Op;
  switch (e.op) {
    case Op::Ne: {
      Bitmap eq = evaluate_query(maps, universe, leaf(Op::Eq, e.attr.view(), {e.values[0]}));
      return Bitmap::andnot(universe, eq);
    }
    case Op::Not: {
      Bitmap r = evaluate_query(maps, universe, e.children[0]);
      return Bitmap::andnot(universe, r);
    }
    case Op::And: {
      if (e.children.empty()) return Bitmap();
      std::vector<Bitmap> parts;
      parts.reserve(e.children.size());
      for (const QueryExpr& c : e.children) parts.push_back(evaluate_query(maps, universe, c));
      std::vector<size_t> order(parts.size());
      for (size_t i = 0; i < order.size(); ++i) order[i] = i;
      std::stable_sort(order.begin(), order.end(),
                       [&](size_t a, size_t b) { return parts[a].cardinality() < parts[b].cardinality(); });
      Bitmap acc = std::move(parts[order[0]]);
      for (size_t i = 1; i < order.size() && !acc.is_empty(); ++i) acc.and_inplace(parts[order[i]]);
      return acc;
    }
    case Op::Or: {
      Bitmap acc;
      for (const QueryExpr& c : e.children) acc.or_inplace(evaluate_query(maps, universe, c));
      return acc;
    }
    default:
      break;
  }
  auto [head, tail] = attr_parts(e.attr.view());
  if (e.op == Op::In && !tail) {
    Bitmap acc;
    for (const PyValue& v : e.values) {
      Bitmap r = evaluate_query(maps, universe, leaf(Op::Eq, e.attr.view(), {v}));
      r.and_inplace(universe);
      acc.or_inplace(r);
    }
    return acc;
  }
  uint32_t id = interner().intern(head);
  if (id >= maps.size() || !maps[id]) return Bitmap();
  const QueryMap& map = *maps[id];
  if (tail) return nested_eval(map, leaf(e.op, *tail, e.values));
  switch (e.op) {
    case Op::Eq: return map.eq(e.values[0], universe);
    case Op::Gt: return map.gt(e.values[0], universe);
    case Op::Ge: return map.ge(e.values[0], universe);
    case Op::Lt: return map.lt(e.values[0], universe);
    case Op::Le: return map.le(e.values[0], universe);
    case Op::Bt: return map.bt(e.values[0], e.values[1], universe);
    default: fail("unexpected query expression");
  }
}

void HashQuery::add(CompactStr name, std::vector<PyValue> values) {
  for (auto& entry : entries_) {
    if (entry.first == name) {
      entry.second = std::move(values);
      return;
    }
  }
  entries_.emplace_back(std::move(name), std::move(values));
}

namespace {
struct ValueHash {
  size_t operator()(const PyValue& v) const { return v.hash64(); }
};

void push_unique(std::vector<PyValue>& out, absl::flat_hash_set<PyValue, ValueHash>& seen, PyValue v) {
  // Equal values collapse; values that never equal anything (Unknown,
  // containers) are each kept.
  if (seen.contains(v)) return;
  seen.insert(v);
  out.push_back(std::move(v));
}
}  // namespace

HashQuery kwargs_to_hash_query(PyObject* kwargs) {
  HashQuery q;
  if (!kwargs) return q;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    py::Ref k = py::Ref::borrow(key), v = py::Ref::borrow(value);
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(k.get(), &n);
    if (!s) throw py::PyErrorSet{};
    CompactStr name(std::string_view(s, static_cast<size_t>(n)));
    std::vector<PyValue> values;
    if (PyUnicode_Check(v.get())) {
      values.push_back(PyValue::from_object(v.get()));
    } else {
      py::Ref it = py::Ref::steal(PyObject_GetIter(v.get()));
      if (!it) {
        PyErr_Clear();
        values.push_back(PyValue::from_object(v.get()));
      } else {
        absl::flat_hash_set<PyValue, ValueHash> seen;
        while (PyObject* raw = PyIter_Next(it.get())) {
          py::Ref item = py::Ref::steal(raw);
          push_unique(values, seen, PyValue::from_object(item.get()));
        }
        if (PyErr_Occurred()) {
          PyObject *t, *val, *tb;
          PyErr_Fetch(&t, &val, &tb);
          PyErr_NormalizeException(&t, &val, &tb);
          std::string msg = "error while iterating a keyword value";
          if (val) {
            if (PyObject* str = PyObject_Str(val)) {
              if (const char* c = PyUnicode_AsUTF8(str)) msg += std::string(": ") + Py_TYPE(val)->tp_name + ": " + c;
              Py_DECREF(str);
            }
          }
          PyErr_Clear();
          Py_XDECREF(t);
          Py_XDECREF(val);
          Py_XDECREF(tb);
          fail(msg);
        }
      }
    }
    q.add(std::move(name), std::move(values));
  }
  return q;
}

namespace {
Bitmap hash_lookup(const QueryMapVec& maps, std::string_view name, const std::vector<PyValue>& values, bool& stop) {
  auto [head, tail] = attr_parts(name);
  uint32_t id;
  if (auto known = interner().get(head)) {
    id = *known;
  } else {
    id = interner().intern(head);
  }
  if (id >= maps.size()) {
    stop = true;
    return Bitmap();
  }
  const QueryMap* map = maps[id].get();
  if (!map) return Bitmap();
  if (tail) {
    HashQuery sub;
    sub.add(CompactStr(*tail), values);
    Bitmap inner;
    {
      auto nested_maps = map->nested->query_maps->read();
      inner = filter_index_by_hashes(*nested_maps, sub);
    }
    return map->nested->get_direct_parents(inner, map->attr_id);
  }
  std::optional<Bitmap> acc;
  for (const PyValue& v : values) {
    if (v.is_number()) continue;  // numbers live only in the ordered tree
    Bitmap b = map->exact_lookup(v);
    if (acc) {
      acc->or_inplace(b);
    } else {
      acc.emplace(std::move(b));
    }
  }
  return acc ? std::move(*acc) : Bitmap();
}
}  // namespace

Bitmap filter_index_by_hashes(const QueryMapVec& maps, const HashQuery& q) {
  if (q.empty()) return Bitmap();
  std::optional<Bitmap> acc;
  for (const auto& [name, values] : q.entries()) {
    if (acc && acc->is_empty()) return Bitmap();
    bool stop = false;
    Bitmap b = hash_lookup(maps, name.view(), values, stop);
    if (stop) return Bitmap();
    if (!acc) {
      acc = std::move(b);
    } else {
      acc->and_inplace(b);
    }
  }
  return std::move(*acc);
}

}  // namespace zarvex
