// Python class PyQueryExpr: an immutable handle to one query expression tree,
// built only by its static methods. Trees are immutable, so handles and the
// combinators that take them share nodes (building is linear in the number
// of operands, never in the size of the operands).
#include <Python.h>

#include "index/interfaces/interfaces.hpp"
#include "py/args.hpp"
#include "py/boundary.hpp"

namespace zarvex {

namespace {

struct PyQueryExprObj {
  PyObject_HEAD ExprPtr expr;  // never null once built
};

PyObject* g_type = nullptr;
using Op = QueryExpr::Op;

PyObject* wrap(QueryExpr e) {
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(query_expr_type_object());
  if (!type) throw py::PyErrorSet{};
  ExprPtr node = std::make_shared<const QueryExpr>(std::move(e));
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) throw py::PyErrorSet{};
  new (&reinterpret_cast<PyQueryExprObj*>(self)->expr) ExprPtr(std::move(node));
  return self;
}

void QueryExpr_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<PyQueryExprObj*>(self)->expr.~ExprPtr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* QueryExpr_repr(PyObject* self) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string s = "<QueryExpr: " + expr_of(self)->render() + ">";
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
  });
}

CompactStr attr_arg(PyObject* attr) { return CompactStr(py::str_arg("attr", attr)); }

template <Op op>
PyObject* binary(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const std::string name = std::string("PyQueryExpr.") + (op == Op::Eq   ? "eq"
                                                                 : op == Op::Ne ? "ne"
                                                                 : op == Op::Gt ? "gt"
                                                                 : op == Op::Ge ? "ge"
                                                                 : op == Op::Lt ? "lt"
                                                                                : "le");
  PyObject* in[2];
  if (!py::parse_fast(name.c_str(), {"attr", "value"}, args, nargs, kwnames, in)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    CompactStr attr = attr_arg(in[0]);
    std::vector<PyValue> values;
    values.push_back(PyValue::from_object(in[1]));
    return wrap(QueryExpr(op, std::move(attr), std::move(values), {}));
  });
}

PyObject* QueryExpr_bt(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* in[3];
  if (!py::parse_fast("PyQueryExpr.bt", {"attr", "lower", "upper"}, args, nargs, kwnames, in)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    CompactStr attr = attr_arg(in[0]);
    std::vector<PyValue> values;
    values.push_back(PyValue::from_object(in[1]));
    values.push_back(PyValue::from_object(in[2]));
    return wrap(QueryExpr(Op::Bt, std::move(attr), std::move(values), {}));
  });
}

PyObject* QueryExpr_in(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* in[2];
  if (!py::parse_fast("PyQueryExpr.in_", {"attr", "values"}, args, nargs, kwnames, in)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    CompactStr attr = attr_arg(in[0]);
    PyObject* seq = in[1];
    if (PyUnicode_Check(seq)) {
      py::arg_error("values", PyExc_TypeError, "Can't extract `str` to `Vec`");
      throw py::PyErrorSet{};
    }
    if (!PySequence_Check(seq) || PyDict_Check(seq)) {
      py::arg_type_error("values", seq, "Sequence");
      throw py::PyErrorSet{};
    }
    Py_ssize_t n = PySequence_Size(seq);
    if (n < 0) {
      py::arg_error("values");
      throw py::PyErrorSet{};
    }
    std::vector<PyValue> values;
    values.reserve(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      py::Ref item = py::Ref::steal(PySequence_GetItem(seq, i));
      if (!item) {
        py::arg_error("values");
        throw py::PyErrorSet{};
      }
      values.push_back(PyValue::from_object(item.get()));
    }
    return wrap(QueryExpr(Op::In, std::move(attr), std::move(values), {}));
  });
}

template <Op op>
PyObject* combine(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<ExprPtr> children;
    children.reserve(static_cast<size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) children.push_back(expr_ptr_arg("exprs", args[i]));
    return wrap(QueryExpr(op, CompactStr(), {}, std::move(children)));
  });
}

PyObject* QueryExpr_not(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* arg;
  if (!py::parse_fast("PyQueryExpr.not_", {"exprs"}, args, nargs, kwnames, &arg)) return nullptr;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<ExprPtr> children;
    children.push_back(expr_ptr_arg("exprs", arg));
    return wrap(QueryExpr(Op::Not, CompactStr(), {}, std::move(children)));
  });
}

// a & b, a | b, ~a: the same trees as and_(a, b), or_(a, b), not_(a).
template <Op op>
PyObject* QueryExpr_binary_op(PyObject* a, PyObject* b) {
  if (!expr_of(a) || !expr_of(b)) Py_RETURN_NOTIMPLEMENTED;
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<ExprPtr> children;
    children.push_back(expr_ptr_arg("exprs", a));
    children.push_back(expr_ptr_arg("exprs", b));
    return wrap(QueryExpr(op, CompactStr(), {}, std::move(children)));
  });
}

PyObject* QueryExpr_invert(PyObject* a) {
  return py::call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<ExprPtr> children;
    children.push_back(expr_ptr_arg("exprs", a));
    return wrap(QueryExpr(Op::Not, CompactStr(), {}, std::move(children)));
  });
}

constexpr int kStaticKw = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef g_methods[] = {
    {"eq", ZX_FAST(&binary<Op::Eq>), kStaticKw, "eq(attr, value)\n--\n\n"},
    {"ne", ZX_FAST(&binary<Op::Ne>), kStaticKw, "ne(attr, value)\n--\n\n"},
    {"gt", ZX_FAST(&binary<Op::Gt>), kStaticKw, "gt(attr, value)\n--\n\n"},
    {"ge", ZX_FAST(&binary<Op::Ge>), kStaticKw, "ge(attr, value)\n--\n\n"},
    {"le", ZX_FAST(&binary<Op::Le>), kStaticKw, "le(attr, value)\n--\n\n"},
    {"bt", ZX_FAST(&QueryExpr_bt), kStaticKw, "bt(attr, lower, upper)\n--\n\n"},
    {"lt", ZX_FAST(&binary<Op::Lt>), kStaticKw, "lt(attr, value)\n--\n\n"},
    {"in_", ZX_FAST(&QueryExpr_in), kStaticKw, "in_(attr, values)\n--\n\n"},
    {"and_", ZX_FAST(&combine<Op::And>), METH_FASTCALL | METH_STATIC, "and_(*exprs)\n--\n\n"},
    {"or_", ZX_FAST(&combine<Op::Or>), METH_FASTCALL | METH_STATIC, "or_(*exprs)\n--\n\n"},
    {"not_", ZX_FAST(&QueryExpr_not), kStaticKw, "not_(exprs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&QueryExpr_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(&QueryExpr_repr)},
    {Py_nb_and, reinterpret_cast<void*>(&QueryExpr_binary_op<Op::And>)},
    {Py_nb_or, reinterpret_cast<void*>(&QueryExpr_binary_op<Op::Or>)},
    {Py_nb_invert, reinterpret_cast<void*>(&QueryExpr_invert)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

PyType_Spec g_spec = {"Zarvex.PyQueryExpr", static_cast<int>(sizeof(PyQueryExprObj)), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, g_slots};

}  // namespace

PyObject* query_expr_type_object() {
  if (!g_type) g_type = PyType_FromSpec(&g_spec);
  return g_type;
}

const QueryExpr* expr_of(PyObject* obj) {
  PyObject* t = query_expr_type_object();
  if (!t || !PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(t))) return nullptr;
  return reinterpret_cast<PyQueryExprObj*>(obj)->expr.get();
}

const QueryExpr& expr_arg(const char* name, PyObject* obj) { return *expr_ptr_arg(name, obj); }

const ExprPtr& expr_ptr_arg(const char* name, PyObject* obj) {
  PyObject* t = query_expr_type_object();
  if (!t) throw py::PyErrorSet{};
  if (!PyObject_TypeCheck(obj, reinterpret_cast<PyTypeObject*>(t))) {
    py::arg_type_error(name, obj, "PyQueryExpr");
    throw py::PyErrorSet{};
  }
  return reinterpret_cast<PyQueryExprObj*>(obj)->expr;
}

}  // namespace zarvex
