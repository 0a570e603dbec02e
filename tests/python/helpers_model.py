"""The brute-force model of what a query answers, shared by the differential
tests (test_property.py) and the threaded stress tests (test_threads.py).

Values compare as Python compares them within a family (numbers across int,
float, Decimal, Fraction and numpy scalars; texts; bytes; dates; naive and
aware datetimes; times; timedeltas); booleans equal booleans; None and plain
enum members match themselves; indexable objects match by identity; other
values never match and have no order. A list or tuple matches when any
element does; a dotted path a.rest walks the indexable objects held (or
listed) by attribute a.

An attribute is read through a `value_of(obj, name)` callable that returns
MISSING for an absent attribute: `live_value` reads the object itself; the
property test reads the values it recorded at assignment.
"""
import datetime as dt
import enum
from decimal import Decimal
from fractions import Fraction

from Zarvex import Indexable

try:
    import numpy as np
except ImportError:
    np = None

MISSING = object()


def live_value(obj, name):
    return getattr(obj, name, MISSING)


def elements(value):
    if type(value) in (list, tuple):
        for e in value:
            yield from elements(e)
    elif type(value) is dict:
        return
    else:
        yield value


def canon(v):
    """The Python counterpart of a numpy scalar; anything else unchanged."""
    return v.item() if np is not None and isinstance(v, np.generic) else v


ORDERED = {"num", "text", "bytes", "date", "naive", "aware", "time", "delta"}


def family(v):
    """Values of one family compare with each other and with no other."""
    v = canon(v)
    if type(v) is bool:
        return "bool"
    if isinstance(v, (int, float, Decimal, Fraction)):
        return "num"
    if isinstance(v, str):
        return "text"
    if type(v) is bytes:
        return "bytes"
    if v is None or isinstance(v, enum.Enum):
        return "id"
    if isinstance(v, dt.datetime):
        return "naive" if v.utcoffset() is None else "aware"
    if isinstance(v, dt.date):
        return "date"
    if isinstance(v, dt.time):
        return "time" if v.utcoffset() is None else None
    if isinstance(v, dt.timedelta):
        return "delta"
    return None


def is_number(v):
    return family(v) == "num"


def value_equal(e, x):
    if isinstance(x, Indexable):
        return e is x
    fam = family(x)
    if fam is None or family(e) != fam:
        return False
    return canon(e) is canon(x) if fam == "id" else canon(e) == canon(x)


def keyword_equal(e, x):
    return not is_number(x) and value_equal(e, x)


def ordered(a, op, b):
    """Python's comparison; False where Python refuses (NaN against a Decimal)."""
    try:
        if op == "gt":
            return a > b
        if op == "ge":
            return a >= b
        return a < b if op == "lt" else a <= b
    except (TypeError, ArithmeticError):
        return False


def leaf_predicate(op, args):
    if op == "eq":
        return lambda e: value_equal(e, args[0])
    if op == "in":
        return lambda e: any(value_equal(e, x) for x in args[0])
    if op == "bt":
        lo, hi = args
        fam = family(lo)
        if fam not in ORDERED or family(hi) != fam:
            return lambda e: False
        return lambda e: (family(e) == fam and ordered(canon(e), "ge", canon(lo))
                          and ordered(canon(e), "le", canon(hi)))
    x = args[0]
    fam = family(x)
    if fam not in ORDERED:
        return lambda e: False
    return lambda e: family(e) == fam and ordered(canon(e), op, canon(x))


def reached(value_of, obj, path, strict=False, above=()):
    """The values found along `path` from `obj`. With `strict`, a walk never
    enters an object that lies above its current holder (a cycle)."""
    head, dot, tail = path.partition(".")
    value = value_of(obj, head)
    if value is MISSING:
        return
    for e in elements(value):
        if not dot:
            yield e
        elif isinstance(e, Indexable) and not (strict and any(e is a for a in above)):
            yield from reached(value_of, e, tail, strict, above + (obj,))


def holders(objs, path, pred, value_of=live_value, strict=False):
    """Identities of the objects of `objs` that reach a value satisfying `pred`."""
    return {id(o) for o in objs if any(pred(e) for e in reached(value_of, o, path, strict))}


def keyword_holders(objs, path, wanted, value_of=live_value, strict=False):
    """A keyword query: holders of a value equal to one of `wanted` (numbers never match)."""
    return holders(objs, path, lambda e: any(keyword_equal(e, x) for x in wanted), value_of, strict)
