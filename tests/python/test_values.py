"""Attribute values: how Python objects are classified into native kinds,
their cached hashes (seen through the repr of query expressions), how they
read back from an Indexable, how equal values meet in an exact lookup, and
the conversions that have no native form."""
import enum
import gc
import math
import operator
import re
import struct
import subprocess
import sys
import weakref

import pytest

from Zarvex import Indexable, PyQueryExpr

# --- reference model of the cached value hash ------------------------------
# An independent rendering of the hash, written from its definition: a
# multiplicative hasher over 32-bit words, fed the payload and then the kind
# tag; texts go through a 64-bit byte hash first.

M32 = 0xFFFFFFFF
M64 = (1 << 64) - 1
KIND_INT, KIND_FLOAT, KIND_STR, KIND_BOOL, KIND_ITERABLE, KIND_IND, KIND_UNKNOWN = range(1, 8)


def mul_hash(words):
    h = 0
    for w in words:
        h = ((h + (w & M32)) * 0x93D765DD) & M32
    return ((h << 15) | (h >> 17)) & M32


def halves(v):
    v &= M64
    return [v & M32, v >> 32]


def mix(x, y):
    lo = (x & M32) * (y >> 32)
    hi = (x >> 32) * (y & M32)
    hi = ((hi << 32) | (hi >> 32)) & M64
    return lo ^ hi


def byte_hash(data):
    s0, s1, p = 0x243F6A8885A308D3, 0x13198A2E03707344, 0xA4093822299F31D0
    n = len(data)

    def word(at, width):
        return int.from_bytes(data[at:at + width], "little")

    if n <= 16:
        if n >= 8:
            s0 ^= word(0, 8)
            s1 ^= word(n - 8, 8)
        elif n >= 4:
            s0 ^= word(0, 4)
            s1 ^= word(n - 4, 4)
        elif n > 0:
            s0 ^= data[0]
            s1 ^= (data[n - 1] << 8) | data[n // 2]
    else:
        o = 0
        while o < n - 16:
            t = mix(s0 ^ word(o, 8), p ^ word(o + 8, 8))
            s0, s1 = s1, t
            o += 16
        s0 ^= word(n - 16, 8)
        s1 ^= word(n - 8, 8)
    return mix(s0, s1) ^ n


def ref_hash(value):
    if type(value) is bool:
        return mul_hash([int(value), 0, KIND_BOOL])
    if type(value) is int:
        return mul_hash(halves(value) + [KIND_INT])
    if type(value) is float:
        bits = struct.unpack("<Q", struct.pack("<d", value))[0]
        return mul_hash(halves(bits) + [KIND_FLOAT])
    if type(value) is str:
        return mul_hash(halves(byte_hash(value.encode("utf-8"))) + [0xFF, KIND_STR])
    raise AssertionError(f"no reference hash for {type(value)}")


UNKNOWN_HASH = 0xE4858571


def test_reference_model_reproduces_the_published_constants():
    assert ref_hash(1) == 0x003110DC == 3215580
    assert ref_hash(1.0) == 0x65DD2D8F == 1708993935
    assert ref_hash(True) == 0x18FCEE9F == 419229343
    assert mul_hash([0, 0, KIND_UNKNOWN]) == UNKNOWN_HASH == 3833955697


# --- reading a value's native form through a query expression ---------------

VALUE_RE = re.compile(
    r"PyValue \{ obj: Some\(Py\(0x(?P<addr>[0-9a-f]+)\)\), "
    r"primitave: (?P<prim>.*), hash: (?P<hash>\d+) \}"
)


def native_form(value):
    """(primitave text, hash, object address) of the value as an eq operand."""
    text = repr(PyQueryExpr.eq("v", value))
    prefix, suffix = '<QueryExpr: Eq("v", ', ")>"
    assert text.startswith(prefix) and text.endswith(suffix), text
    m = VALUE_RE.fullmatch(text[len(prefix):-len(suffix)])
    assert m, text
    return m["prim"], int(m["hash"]), int(m["addr"], 16)


def text_of_bytes(n, unit="x"):
    """A str whose UTF-8 encoding is exactly n bytes long."""
    s = unit * (n // len(unit.encode()))
    s += "y" * (n - len(s.encode()))
    assert len(s.encode()) == n
    return s


class Color(enum.IntEnum):
    RED = 1
    GREEN = 2


class MyInt(int):
    pass


class MyStr(str):
    pass


class MyFloat(float):
    pass


class MyList(list):
    pass


class Plain:
    pass


INTS = [0, 1, -1, 2, 255, 2**31 - 1, 2**31, 2**32 - 1, 2**32, -(2**31), 123456789012, 2**63 - 1, -(2**63)]
FLOATS = [0.0, -0.0, 1.0, -1.0, 0.5, 1.5, -2.25, 0.1, 1e308, 5e-324, 2.0**53, math.inf, -math.inf, math.nan]
TEXT_LENGTHS = [0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 24, 31, 32, 33, 47, 48, 49, 100, 1000]
TEXTS = (
    [text_of_bytes(n) for n in TEXT_LENGTHS]
    + [text_of_bytes(n, "é") for n in (2, 3, 22, 23, 24, 25, 40)]
    + ["é", "日本語", "🙂", "a🙂b", "héllo wörld, ça va? " * 3, "a\x00b", "\x00", "tab\tquote\"back\\slash"]
)


@pytest.mark.parametrize("value", INTS, ids=repr)
def test_int_kind_and_hash(value):
    prim, h, _ = native_form(value)
    assert prim == f"Int({value})"
    assert h == ref_hash(value)


@pytest.mark.parametrize("value", FLOATS, ids=repr)
def test_float_kind_and_hash(value):
    prim, h, _ = native_form(value)
    assert prim.startswith("Float(") and prim.endswith(")")
    assert h == ref_hash(value)


@pytest.mark.parametrize("value", TEXTS, ids=lambda s: f"{len(s.encode())}B:{s[:6]!r}")
def test_str_kind_and_hash(value):
    prim, h, _ = native_form(value)
    assert prim.startswith('Str("') and prim.endswith('")')
    assert h == ref_hash(value)


@pytest.mark.parametrize("value, rendered", [(True, "Bool(true)"), (False, "Bool(false)")])
def test_bool_kind_and_hash(value, rendered):
    prim, h, _ = native_form(value)
    assert prim == rendered
    assert h == ref_hash(value)


ADDR = r"0x[0-9a-f]+"


def value_pattern(primitave, hash_value, obj):
    """Regex for one rendered value; also pins the address to the object."""
    return (
        r"PyValue \{ obj: Some\(Py\(" + f"0x{id(obj):x}" + r"\)\), primitave: "
        + re.escape(primitave) + f", hash: {hash_value}" + r" \}"
    )


def test_whole_repr_of_eq():
    one = 1
    text = repr(PyQueryExpr.eq("n", one))
    assert re.fullmatch(r'<QueryExpr: Eq\("n", ' + value_pattern("Int(1)", 3215580, one) + r"\)>", text), text
    assert re.fullmatch(
        r'<QueryExpr: Eq\("n", PyValue \{ obj: Some\(Py\(' + ADDR + r"\)\), primitave: Int\(1\), hash: 3215580 \}\)>",
        text,
    )


def test_whole_repr_of_ne_shows_ne_not_a_negated_eq():
    word = "".join(["wo", "rd"])
    text = repr(PyQueryExpr.ne("s", word))
    assert re.fullmatch(
        r'<QueryExpr: Ne\("s", ' + value_pattern('Str("word")', ref_hash("word"), word) + r"\)>", text
    ), text


def test_whole_repr_of_and_or_not():
    one, half, flag = 1, 1.5, True
    eq = PyQueryExpr.eq("n", one)
    ge = PyQueryExpr.ge("x.y", half)
    ne = PyQueryExpr.ne("flag", flag)
    eq_body = r'Eq\("n", ' + value_pattern("Int(1)", 3215580, one) + r"\)"
    ge_body = r'Ge\("x.y", ' + value_pattern("Float(1.5)", ref_hash(1.5), half) + r"\)"
    ne_body = r'Ne\("flag", ' + value_pattern("Bool(true)", 419229343, flag) + r"\)"

    text = repr(PyQueryExpr.and_(eq, ne))
    assert re.fullmatch(r"<QueryExpr: And\(\[" + eq_body + ", " + ne_body + r"\]\)>", text), text
    text = repr(PyQueryExpr.or_(eq, ge, ne))
    assert re.fullmatch(r"<QueryExpr: Or\(\[" + eq_body + ", " + ge_body + ", " + ne_body + r"\]\)>", text), text
    text = repr(PyQueryExpr.not_(eq))
    assert re.fullmatch(r"<QueryExpr: Not\(" + eq_body + r"\)>", text), text
    text = repr(PyQueryExpr.not_(PyQueryExpr.and_(eq, eq)))
    assert re.fullmatch(r"<QueryExpr: Not\(And\(\[" + eq_body + ", " + eq_body + r"\]\)\)>", text), text
    assert repr(PyQueryExpr.and_()) == "<QueryExpr: And([])>"
    assert repr(PyQueryExpr.or_()) == "<QueryExpr: Or([])>"


def test_published_hashes_in_the_query_repr():
    assert "hash: 3215580 " in repr(PyQueryExpr.eq("n", 1))
    assert native_form(1)[1] == 0x003110DC
    assert native_form(1.0)[1] == 0x65DD2D8F == 1708993935
    assert native_form(True)[1] == 0x18FCEE9F == 419229343
    assert native_form(None)[1] == 0xE4858571 == 3833955697


def test_numbers_of_equal_value_but_different_kind_hash_apart():
    hashes = {native_form(v)[1] for v in (1, 1.0, True)}
    assert len(hashes) == 3
    assert native_form(0.0)[1] != native_form(-0.0)[1]
    assert native_form(0)[1] != native_form(False)[1]


@pytest.mark.parametrize(
    "value",
    [None, bytearray(b"x"), frozenset({1}), MyList([1]), Plain(), 1 + 2j, range(3), type, Ellipsis],
    ids=lambda v: type(v).__name__,
)
def test_other_objects_are_unknown(value):
    prim, h, addr = native_form(value)
    assert prim == "Unknown"
    assert h == UNKNOWN_HASH
    assert addr == id(value)


@pytest.mark.parametrize(
    "value, kind",
    [([1, 2], "List"), ([], "List"), ((1, 2), "Tuple"), ((), "Tuple"), ({"k": 1}, "Dict"), ({1, 2}, "Set")],
    ids=lambda v: repr(v),
)
def test_containers_are_iterable_kinds_holding_the_container(value, kind):
    prim, _, addr = native_form(value)
    assert addr == id(value)
    assert prim == f"Iterable({kind}(Py(0x{id(value):x})))"


def test_indexable_value_hash_follows_object_identity():
    a = Indexable(name="same")
    b = Indexable(name="same")
    prim, ha, addr = native_form(a)
    assert addr == id(a)
    assert re.fullmatch(r"Ind\(StoredIndexable \{ python_handle: .+, owned_handle: .+ \}\)", prim), prim
    assert f"0x{id(a):x}" in prim
    assert native_form(a)[1] == ha
    assert ha == mul_hash([id(a) & M32, 0, KIND_IND])
    assert native_form(b)[1] == mul_hash([id(b) & M32, 0, KIND_IND])


def test_subclass_instances_are_indexable_values():
    class Node(Indexable):
        pass

    node = Node(x=1)
    prim, _, addr = native_form(node)
    assert prim.startswith("Ind(")
    assert addr == id(node)


# --- numpy scalars ----------------------------------------------------------
# The recognised numpy types are numpy's attributes int64, float64, str_ and
# bool. The boolean scalar type is published as numpy.bool only from numpy 2
# on (numpy.bool_ is its alias); on older numpy it is not recognised.


def numpy_bool_type(np):
    candidate = getattr(np, "bool", None)
    return candidate if isinstance(candidate, type) else None



def test_numpy_scalars_of_the_recognised_types_take_the_builtin_kinds():
    np = pytest.importorskip("numpy")
    cases = [
        (np.int64(5), 5),
        (np.int64(-(2**63)), -(2**63)),
        (np.float64(2.5), 2.5),
        (np.float64(-0.0), -0.0),
        (np.str_("héllo, a text longer than twenty-three bytes"), "héllo, a text longer than twenty-three bytes"),
    ]
    if numpy_bool_type(np) is not None:
        cases += [(np.bool_(True), True), (np.bool_(False), False)]
    for scalar, builtin in cases:
        scalar_prim, scalar_hash, _ = native_form(scalar)
        builtin_prim, builtin_hash, _ = native_form(builtin)
        assert scalar_prim == builtin_prim, (scalar, scalar_prim)
        assert scalar_hash == builtin_hash == ref_hash(builtin), scalar


def test_numpy_scalars_of_other_widths_take_the_builtin_form():
    np = pytest.importorskip("numpy")
    for scalar in (np.int32(5), np.int8(1), np.uint64(5), np.float32(2.5), np.float16(1.0)):
        assert native_form(scalar)[:2] == native_form(scalar.item())[:2], type(scalar)


# --- reading values back from an object -------------------------------------

LONG_TEXT = "a text that is clearly longer than twenty-three bytes"


@pytest.mark.parametrize(
    "value",
    [0, 7, -7, 2**63 - 1, -(2**63), 10**15, 0.0, -0.0, 2.5, 0.1, 1e-300, math.inf, -math.inf,
     "", "short", LONG_TEXT, text_of_bytes(23), text_of_bytes(24), text_of_bytes(22, "é"),
     text_of_bytes(24, "é"), "日本語のテキストで二十三バイトを超える", "🙂🙃", "nul\x00inside",
     "x" * 5000],
    ids=lambda v: f"{type(v).__name__}:{v!r:.20}",
)
def test_plain_values_read_back_as_new_equal_builtins(value):
    obj = Indexable(v=value)
    back = obj.v
    assert type(back) is type(value)
    assert back == value
    if isinstance(value, float):
        assert math.copysign(1.0, back) == math.copysign(1.0, value)
    # Assignment takes the same path as the constructor.
    obj.w = value
    assert type(obj.w) is type(value) and obj.w == value


@pytest.mark.parametrize("original", ["".join(["built ", "at ", "run ", "time ", "and ", "long ", "enough"]),
                                      10 ** 12, 2.5, "\u00e9t\u00e9"])
def test_builtin_values_read_back_as_the_very_object_stored(original):
    obj = Indexable(s=original)
    first, second = obj.s, obj.s
    assert first is original and second is original


def test_nan_reads_back_as_nan():
    back = Indexable(v=math.nan).v
    assert type(back) is float and math.isnan(back)


@pytest.mark.parametrize("value", [True, False])
def test_bools_read_back_as_the_singletons(value):
    obj = Indexable(flag=value)
    assert obj.flag is value


def test_large_ints_read_back_as_plain_int():
    obj = Indexable(n=2**40 + 3)
    assert type(obj.n) is int and obj.n == 2**40 + 3


@pytest.mark.parametrize(
    "make",
    [list, dict, tuple, set, lambda: None, lambda: Color.GREEN, lambda: MyStr("sub"), lambda: MyInt(5),
     lambda: MyFloat(2.5), lambda: MyList([1]), lambda: frozenset({1, 2}), lambda: b"raw", Plain,
     lambda: (1, "two", [3]), lambda: [1, [2, 3]], lambda: {"k": [1]}, lambda: Indexable(x=1)],
    ids=["list", "dict", "tuple", "set", "None", "IntEnum", "MyStr", "MyInt", "MyFloat", "MyList",
         "frozenset", "bytes", "object", "tuple2", "nested_list", "dict_of_list", "Indexable"],
)
def test_other_values_read_back_as_the_stored_object(make):
    value = make()
    obj = Indexable(v=value)
    assert obj.v is value
    obj.w = value
    assert obj.w is value


def test_a_stored_list_is_not_copied():
    items = [1, 2]
    obj = Indexable(items=items)
    items.append(3)
    assert obj.items is items
    assert obj.items == [1, 2, 3]


def test_numpy_scalars_read_back_as_plain_builtins():
    np = pytest.importorskip("numpy")
    obj = Indexable(i=np.int64(5), f=np.float64(2.5), s=np.str_("text"))
    assert type(obj.i) is int and obj.i == 5
    assert type(obj.f) is float and obj.f == 2.5
    assert type(obj.s) is str and obj.s == "text"


def test_numpy_bools_read_back_as_the_bool_singletons():
    np = pytest.importorskip("numpy")
    if numpy_bool_type(np) is None:
        pytest.skip("this numpy does not publish its boolean type as numpy.bool")
    assert numpy_bool_type(np) is type(np.bool_(True))
    obj = Indexable(b=np.bool_(True))
    assert obj.b is True
    obj.b = np.bool_(False)
    assert obj.b is False


def test_numpy_scalars_of_other_widths_read_back_unchanged():
    np = pytest.importorskip("numpy")
    scalar = np.int32(3)
    obj = Indexable(v=scalar)
    assert obj.v is scalar


# --- references held by values ----------------------------------------------


class Tracked:
    """An object whose lifetime a weak reference can observe."""


def test_values_are_released_when_replaced():
    value = Tracked()
    alive = weakref.ref(value)
    obj = Indexable(v=value)
    del value
    gc.collect()
    assert alive() is not None
    obj.v = 1
    gc.collect()
    assert alive() is None
    assert obj.v == 1


@pytest.mark.parametrize("container", [list, tuple, dict, set])
def test_values_are_released_with_their_object(container):
    value = Tracked()
    alive = weakref.ref(value)
    holder = container([value]) if container is not dict else {"k": value}
    obj = Indexable(direct=value, boxed=holder)
    del value, holder
    gc.collect()
    assert alive() is not None
    del obj
    gc.collect()
    assert alive() is None


def test_reading_values_does_not_leak_references():
    value = Tracked()
    obj = Indexable(v=value, s=LONG_TEXT, n=12345678901, items=[value])
    before = sys.getrefcount(value)
    for _ in range(1000):
        assert obj.v is value
        assert obj.s == LONG_TEXT
        assert obj.n == 12345678901
        assert obj.items[0] is value
    assert sys.getrefcount(value) == before


def test_query_expressions_keep_their_values_alive():
    value = Tracked()
    alive = weakref.ref(value)
    expr = PyQueryExpr.eq("v", value)
    del value
    gc.collect()
    assert alive() is not None
    del expr
    gc.collect()
    assert alive() is None


# --- equality of values in exact lookups ------------------------------------


def test_texts_are_matched_by_content(index_of):
    inline = "".join(["ab", "c"])
    exact23 = "".join(["x" * 20, "yyy"])
    exact24 = "".join(["x" * 20, "yyyy"])
    long = "".join([LONG_TEXT, "!"])
    accented = "".join(["caf", "é"])
    objs = [Indexable(s=s) for s in (inline, exact23, exact24, long, accented)]
    index = index_of(*objs)
    for obj, probe in zip(objs, ["abc", "x" * 20 + "yyy", "x" * 20 + "yyyy", LONG_TEXT + "!", "café"]):
        assert index.get_by_attribute(s=probe) == [obj], probe
    assert index.get_by_attribute(s="cafe\u0301") == []  # same glyph, different bytes
    assert index.get_by_attribute(s="x" * 20 + "yy") == []
    assert index.get_by_attribute(s=LONG_TEXT) == []


def test_numpy_text_and_bool_meet_their_builtin_equals(index_of):
    np = pytest.importorskip("numpy")
    tagged = Indexable(tag=np.str_("red"))
    plain = Indexable(tag="red")
    index = index_of(tagged, plain)
    found = index.get_by_attribute(tag="red")
    assert len(found) == 2 and tagged in found and plain in found
    found = index.get_by_attribute(tag=np.str_("red"))
    assert len(found) == 2 and tagged in found and plain in found
    if numpy_bool_type(np) is not None:
        on_numpy = Indexable(on=np.bool_(True))
        on_plain = Indexable(on=True)
        index = index_of(on_numpy, on_plain)
        found = index.get_by_attribute(on=np.bool_(True))
        assert len(found) == 2 and on_numpy in found and on_plain in found


def test_bool_keys_are_not_matched_by_numbers(index_of):
    obj = Indexable(flag=True, off=False)
    index = index_of(obj)
    assert index.get_by_attribute(flag=True) == [obj]
    assert index.get_by_attribute(off=False) == [obj]
    assert index.get_by_attribute(flag=1) == []
    assert index.get_by_attribute(flag=1.0) == []
    assert index.get_by_attribute(off=0) == []
    assert index.get_by_attribute(flag=False) == []


def test_object_values_are_matched_by_identity_only(index_of):
    target = Indexable(name="same")
    twin = Indexable(name="same")
    holder = Indexable(ref=target)
    index = index_of(holder)
    assert index.get_by_attribute(ref=target) == [holder]
    assert index.get_by_attribute(ref=twin) == []


@pytest.mark.parametrize(
    "make",
    [lambda: Color.RED, lambda: MyInt(3), lambda: Plain(), lambda: 1 + 1j],
    ids=["IntEnum", "MyInt", "object", "complex"],
)
def test_unknown_values_are_never_found(index_of, make):
    value = make()
    obj = Indexable(v=value)
    index = index_of(obj)
    assert index.get_by_attribute(v=value) == []
    assert obj.v is value


# --- values without a native form -------------------------------------------

BAD_VALUES = [
    pytest.param(2**63, OverflowError, id="2**63"),
    pytest.param(-(2**63) - 1, OverflowError, id="-2**63-1"),
    pytest.param(2**200, OverflowError, id="2**200"),
    pytest.param("\ud800", UnicodeEncodeError, id="lone-surrogate"),
    pytest.param("text with a \udfff inside it and long enough", UnicodeEncodeError, id="long-surrogate"),
]


@pytest.mark.parametrize("bad, exc", BAD_VALUES)
def test_constructor_refuses_values_without_a_native_form(bad, exc):
    with pytest.raises(exc):
        Indexable(ok=1, bad=bad)
    with pytest.raises(exc):
        Indexable(bad=bad, ok=1)


@pytest.mark.parametrize("bad, exc", BAD_VALUES)
def test_refused_assignment_leaves_the_object_unchanged(bad, exc):
    obj = Indexable(n=5, s="old")
    with pytest.raises(exc):
        obj.s = bad
    with pytest.raises(exc):
        obj.n = bad
    with pytest.raises(exc):
        obj.fresh = bad
    assert obj.s == "old"
    assert obj.n == 5
    assert not hasattr(obj, "fresh")
    assert repr(obj) == "<Indexable with 2 attributes>"


@pytest.mark.parametrize("bad, exc", BAD_VALUES)
def test_refused_assignment_leaves_every_index_unchanged(index_of, bad, exc):
    obj = Indexable(n=5, s="old")
    first, second = index_of(obj), index_of(obj)
    with pytest.raises(exc):
        obj.s = bad
    with pytest.raises(exc):
        obj.n = bad
    for index in (first, second):
        assert index.get_by_attribute(s="old") == [obj]
        assert index.reduced_query(PyQueryExpr.eq("n", 5)).collect() == [obj]
    # Nothing was left half-done: a valid assignment afterwards moves the
    # object in both indexes.
    obj.s = "new"
    obj.n = 6
    for index in (first, second):
        assert index.get_by_attribute(s="old") == []
        assert index.get_by_attribute(s="new") == [obj]
        assert index.reduced_query(PyQueryExpr.eq("n", 5)).collect() == []
        assert index.reduced_query(PyQueryExpr.eq("n", 6)).collect() == [obj]


def test_refused_values_leak_nothing():
    kept = Tracked()
    alive = weakref.ref(kept)
    with pytest.raises(OverflowError):
        Indexable(kept=kept, bad=2**63)
    del kept
    gc.collect()
    assert alive() is None

    big = 2**64 + 12345
    text = "".join(["\ud800", "tail"])
    obj = Indexable()
    before = sys.getrefcount(big), sys.getrefcount(text)
    for _ in range(200):
        with pytest.raises(OverflowError):
            obj.v = big
        with pytest.raises(UnicodeEncodeError):
            obj.v = text
        with pytest.raises(OverflowError):
            Indexable(v=big)
    assert (sys.getrefcount(big), sys.getrefcount(text)) == before


@pytest.mark.parametrize("good", [2**63 - 1, -(2**63)], ids=["max", "min"])
def test_the_ends_of_the_signed_64_bit_range_are_accepted(good):
    obj = Indexable(n=good)
    assert obj.n == good
    obj.n = good
    assert obj.n == good


# --- containers: elements are taken when the value is assigned --------------


@pytest.mark.parametrize(
    "make, exc",
    [
        (lambda: [1, 2**63], OverflowError),
        (lambda: ("ok", "\ud800"), UnicodeEncodeError),
        (lambda: {-(2**63) - 1}, OverflowError),
        (lambda: [[1, [2, 2**64]]], OverflowError),
    ],
    ids=["list", "tuple", "set", "nested-list"],
)
def test_a_container_with_an_element_without_native_form_is_refused(index_of, make, exc):
    with pytest.raises(exc):
        Indexable(v=make())
    obj = Indexable(v=["old"], tag="t")
    index = index_of(obj)
    with pytest.raises(exc):
        obj.v = make()
    assert obj.v == ["old"]
    assert index.get_by_attribute(v="old") == [obj]
    assert repr(obj) == "<Indexable with 2 attributes>"


def self_containing_list():
    looped = [1, "one"]
    looped.append(looped)
    return looped


def list_and_tuple_cycle():
    inner = ["one"]
    outer = (inner, 2)
    inner.append(outer)
    return outer


def long_cycle():
    # A cycle longer than any short scan of the containers being walked.
    first = ["one"]
    node = first
    for _ in range(40):
        nxt = [node]
        node = nxt
    first.append(node)
    return node


@pytest.mark.parametrize("make", [self_containing_list, list_and_tuple_cycle, long_cycle])
def test_a_container_that_contains_itself_can_be_stored_and_indexed(index_of, make):
    looped = make()
    obj = Indexable(v=looped)
    assert obj.v is looped
    index = index_of(obj)
    assert index.get_by_attribute(v="one") == [obj]


class ClaimsToBeIndexable:
    """Reports Indexable as its class without being one."""

    __class__ = property(lambda self: Indexable)


class ClassLookupFails:
    @property
    def __class__(self):
        raise RuntimeError("no class for you")


@pytest.mark.parametrize("cls", [ClaimsToBeIndexable, ClassLookupFails])
def test_objects_that_misreport_their_class_are_unknown(index_of, cls):
    value = cls()
    prim, h, _ = native_form(value)
    assert (prim, h) == ("Unknown", UNKNOWN_HASH)
    obj = Indexable(v=value)
    assert obj.v is value
    assert index_of(obj).get_by_attribute(v=value) == []


DEEP_NESTING_SCRIPT = """
import sys
from Zarvex import Indexable, PyQueryExpr
deep = []
for _ in range(100_000):
    deep = {wrap}
try:
    if "{path}" == "constructor":
        back = Indexable(v=deep).v
    elif "{path}" == "assignment":
        obj = Indexable()
        obj.v = deep
        back = obj.v
    else:
        PyQueryExpr.eq("v", deep)
        back = deep
    print("stored", back is deep)
except RecursionError:
    print("refused")
"""


@pytest.mark.parametrize("path", ["constructor", "assignment", "query"])
@pytest.mark.parametrize("wrap", ["[deep]", "(deep,)"], ids=["lists", "tuples"])
def test_a_very_deeply_nested_container_does_not_crash_the_process(path, wrap):
    # Run in a child process: a native stack overflow would take the whole
    # test session down with it.
    script = DEEP_NESTING_SCRIPT.format(path=path, wrap=wrap)
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=300)
    assert child.returncode == 0, f"child died with status {child.returncode}: {child.stderr[-500:]}"
    assert child.stdout.strip() in ("stored True", "refused")


NUMPY_HIDDEN_SCRIPT = """
import sys
import numpy
scalars = [numpy.int64(5), numpy.float64(2.5), numpy.str_("text"), numpy.bool_(True)]
real_numpy = sys.modules["numpy"]
sys.modules["numpy"] = None  # importing numpy now fails
from Zarvex import Indexable
first = Indexable(plain=7, text="t")
assert first.plain == 7 and first.text == "t"
for scalar in scalars:
    assert Indexable(v=scalar).v is scalar, type(scalar)
# The types were settled by the first values built; numpy becoming
# importable again changes nothing.
sys.modules["numpy"] = real_numpy
for scalar in scalars:
    assert Indexable(v=scalar).v is scalar, type(scalar)
print("unchanged")
"""


def test_without_numpy_its_scalars_are_stored_as_they_are():
    pytest.importorskip("numpy")
    child = subprocess.run([sys.executable, "-c", NUMPY_HIDDEN_SCRIPT], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-1000:]
    assert child.stdout.strip() == "unchanged"


# A stand-in numpy whose attribute hook warns and then fails for `bool`, as
# numpy 1.24 to 1.26 do, while its other types lie in its namespace.
# Building values must not warn, and the namespace's types are recognised.
WARNING_HOOK_SCRIPT = r"""
import sys, types, warnings
fake = types.ModuleType("numpy")
fake.int64 = type("int64", (int,), {})
fake.float64 = type("float64", (float,), {})
fake.str_ = type("str_", (str,), {})
def hook(name):
    if name == "bool":
        warnings.warn("np.bool is going away", FutureWarning, stacklevel=2)
    raise AttributeError(name)
fake.__getattr__ = hook
sys.modules["numpy"] = fake
from Zarvex import Index, Indexable
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    idx = Index()
    obj = Indexable(flag=True, n=fake.int64(5), x=fake.float64(2.5), s=fake.str_("t"))
    idx.add_object(obj)
assert not caught, [str(w.message) for w in caught]
assert idx.get_by_attribute(flag=True) == [obj]
assert [type(obj.n), type(obj.x), type(obj.s)] == [int, float, str], [type(obj.n), type(obj.x), type(obj.s)]
assert idx.get_by_attribute(s="t") == [obj]
print("silent")
"""


def test_a_numpy_attribute_hook_that_warns_is_never_called():
    child = subprocess.run([sys.executable, "-c", WARNING_HOOK_SCRIPT], capture_output=True, text=True, timeout=120)
    assert child.returncode == 0, child.stderr[-1000:]
    assert child.stdout.strip() == "silent"
    assert child.stderr == ""


def test_classifying_values_runs_no_python_code_of_theirs():
    # An object whose `__class__` claims to be an Indexable is not one: it is
    # stored as itself, never filed as a nested object, and telling the kinds
    # apart must not call its properties (also inside a list).
    from Zarvex import Index

    calls = []

    class Impostor:
        @property
        def __class__(self):
            calls.append(1)
            return Indexable

    imp = Impostor()
    holder = Indexable(single=imp, many=[imp, (imp,)])
    idx = Index()
    idx.add_object(holder)
    holder.single = [imp]
    assert calls == []
    assert holder.many[0] is imp
    assert idx.get_by_attribute(single=imp) == []


# --- dates, exact numbers, enums, bytes, None --------------------------------
# The differential test (test_property.py) checks every query kind on mixed
# data; these pin what it cannot see: identity on read-back, the bounds
# where an exact number meets its nearest double, and the refused bounds.

import datetime as dt  # noqa: E402
from decimal import Decimal  # noqa: E402
from fractions import Fraction  # noqa: E402

from helpers_index import Index, Q, assert_same, expect_unorderable, found  # noqa: E402


class Shade(enum.Enum):
    RED = 1


KEPT = [dt.date(2020, 1, 1), dt.datetime(2020, 1, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=1))),
        dt.time(1, 2), dt.timedelta(days=2), Decimal("0.1"), Decimal("2"), Fraction(1, 3), Color.RED,
        MyInt(5), MyStr("a"), MyFloat(0.5), Shade.RED, b"raw", None]


@pytest.mark.parametrize("value", KEPT, ids=lambda v: type(v).__name__)
def test_new_kinds_read_back_as_the_object_and_find_it(value):
    obj = Indexable(v=value)
    index = Index()
    index.add_object(obj)
    assert obj.v is value
    assert found(index, Q.eq("v", value)) == [obj]
    assert found(index, Q.in_("v", [value, "other"])) == [obj]


@pytest.mark.parametrize("stored", [
    Fraction(2 * (2 ** 53 + 1) + 1, 2),     # 2**53 + 1.5 rounds to the double 2**53 + 2
    Decimal(2 ** 53) + Decimal("0.5"), Fraction(1, 10), Decimal("0.1"), 0.1, 2 ** 53 + 1, 2 ** 53 + 2,
])
@pytest.mark.parametrize("bound", [
    2 ** 53 + 1, 2 ** 53 + 2, float(2 ** 53), float(2 ** 53 + 2), Fraction(2 * (2 ** 53 + 1) + 1, 2),
    Decimal(2 ** 53) + Decimal("0.5"), 0.1, Decimal("0.1"), Fraction(1, 10),
])
def test_exact_numbers_compare_as_python_at_the_nearest_double(stored, bound):
    index = Index()
    obj = Indexable(v=stored)
    index.add_object(obj)
    for op in ("eq", "lt", "le", "gt", "ge"):
        assert found(index, getattr(Q, op)("v", bound)) == ([obj] if getattr(operator, op)(stored, bound) else []), op
    assert found(index, Q.bt("v", bound, bound)) == ([obj] if stored == bound else [])


@pytest.mark.parametrize("bound", [None, Shade.RED], ids=["None", "Enum"])
@pytest.mark.parametrize("op", ["gt", "le"])
def test_bounds_without_any_order_are_refused(op, bound):
    index = Index()
    index.add_object(Indexable(v=bound))
    match = f"{op} on attribute 'v': a bound of type '{type(bound).__name__}' cannot be ordered"
    expect_unorderable(index.reduced_query, getattr(Q, op)("v", bound), match=match)


def test_none_is_found_only_where_it_is_held_and_groups_keep_the_kind():
    index = Index()
    held, lacking = Indexable(v=None), Indexable(w=1)
    aware = dt.datetime(2020, 1, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=1)))
    other = Indexable(v=aware)
    index.add_object_many([held, lacking, other])
    assert index.get_by_attribute(v=None) == [held]
    assert_same(found(index, Q.ne("v", None)), [lacking, other])
    groups = index.group_by("v")
    key = next(k for k in groups if isinstance(k, dt.datetime))
    assert key == aware and key.utcoffset() == dt.timedelta(0)
    assert index.get_by_attribute(v=aware.astimezone(dt.timezone.utc)) == [other]
