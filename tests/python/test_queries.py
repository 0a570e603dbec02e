"""Keyword queries (exact values only) and expression queries (exact values,
numeric order, dotted paths, set algebra), and the expression class."""
import math
import random
import re

import pytest

from helpers_index import (
    Index, Item, Q, assert_same, expect_unorderable, found, ids, short,
)

# --------------------------------------------------------------------------
# A small world of pets and owners


def pets_world():
    alice = Item(name="alice", city="Paris", age=40)
    bob = Item(name="bob", city="Oslo", age=25)
    pets = {
        "rex": Item(name="rex", kind="dog", colour="brown", age=3, weight=30.5,
                    vaccinated=True, tags=["loud", "friendly"], owner=alice),
        "tom": Item(name="tom", kind="cat", colour="black", age=7, weight=4.2,
                    vaccinated=False, tags=("lazy",), owner=alice),
        "kiki": Item(name="kiki", kind="bird", colour="green", age=1, weight=0.1,
                     vaccinated=True, tags=["loud"], owner=bob),
        "max": Item(name="max", kind="dog", colour="black", age=9, weight=25.0,
                    vaccinated=1, tags=[], owner=bob),
        "nemo": Item(name="nemo", kind="fish", colour=None, age=2.0),
    }
    idx = Index()
    idx.add_object_many(list(pets.values()))
    return idx, pets


def names(objs):
    return sorted(o.name for o in objs)


# --------------------------------------------------------------------------
# Keyword queries

KEYWORD_CASES = [
    ({"kind": "dog"}, ["max", "rex"]),
    ({"kind": "DOG"}, []),
    ({"kind": ("dog", "cat")}, ["max", "rex", "tom"]),
    ({"kind": ["dog", "cat"], "colour": "black"}, ["max", "tom"]),
    ({"kind": ["dog", "dog"]}, ["max", "rex"]),
    ({"kind": {"dog": 0, "fish": 1}}, ["max", "nemo", "rex"]),
    ({"kind": []}, []),
    ({"vaccinated": True}, ["kiki", "rex"]),
    ({"vaccinated": False}, ["tom"]),
    ({"vaccinated": [True, False]}, ["kiki", "rex", "tom"]),
    ({"kind": True}, []),
    # Lists are filed element by element; tuples too.
    ({"tags": "loud"}, ["kiki", "rex"]),
    ({"tags": "lazy"}, ["tom"]),
    ({"tags": "loud", "kind": "dog"}, ["rex"]),
    # Numbers are never matched by keyword, whatever their form.
    ({"age": 3}, []),
    ({"age": [3, 7]}, []),
    ({"age": 2.0}, []),
    ({"weight": 30.5}, []),
    ({"vaccinated": 1}, []),
    ({"name": b"rex"}, []),
    # None is matched where it is held (never where the attribute is missing).
    ({"colour": None}, ["nemo"]),
    ({"colour": [None, "green"]}, ["kiki", "nemo"]),
    # An attribute no object has empties the whole query.
    ({"nosuch": "x"}, []),
    ({"kind": "dog", "nosuch": "x"}, []),
    ({"nosuch": "x", "kind": "dog"}, []),
    # Dotted names follow nested objects back to their holders.
    ({"owner.name": "alice"}, ["rex", "tom"]),
    ({"owner.city": ["Oslo", "Rome"], "kind": "dog"}, ["max"]),
    ({"owner.age": 40}, []),
    ({"owner.nosuch": "x"}, []),
    ({"kind.name": "dog"}, []),
]


@pytest.mark.parametrize("how", ["get_by_attribute", "reduced"])
@pytest.mark.parametrize("kwargs, expected", KEYWORD_CASES,
                         ids=[repr(k) for k, _ in KEYWORD_CASES])
def test_keyword_queries(how, kwargs, expected):
    idx, _ = pets_world()
    if how == "get_by_attribute":
        res = idx.get_by_attribute(**kwargs)
    else:
        res = idx.reduced(**kwargs).collect()
    assert names(res) == expected
    assert len(res) == len(ids(res))


def test_keyword_query_consumes_an_iterator():
    idx, pets = pets_world()
    assert_same(idx.get_by_attribute(kind=(k for k in ["cat"])), [pets["tom"]])
    assert_same(idx.get_by_attribute(kind=iter(["bird"])), [pets["kiki"]])


def test_keyword_query_without_keywords_finds_nothing():
    idx, _ = pets_world()
    assert idx.get_by_attribute() == []
    assert idx.reduced().collect() == []


def test_keyword_results_are_in_id_order():
    idx, _ = pets_world()
    listing = idx.collect()
    res = idx.get_by_attribute(kind=["dog", "cat", "bird", "fish"])
    assert [id(o) for o in res] == [id(o) for o in listing]


class FailingIterable:
    def __iter__(self):
        yield "dog"
        raise ValueError("iteration broke")


@pytest.mark.parametrize("how", ["get_by_attribute", "reduced", "reduce"])
def test_keyword_value_whose_iteration_fails(how):
    idx, pets = pets_world()
    with pytest.raises(BaseException) as info:
        getattr(idx, how)(kind=FailingIterable())
    assert (type(info.value).__name__ == "InternalError"
            or isinstance(info.value, ValueError))
    # Nothing changed and nothing was left locked.
    assert names(idx.get_by_attribute(kind="dog")) == ["max", "rex"]
    assert names(idx.get_by_attribute(kind="cat")) == ["tom"]
    pets["tom"].kind = "dog"
    assert names(idx.get_by_attribute(kind="dog")) == ["max", "rex", "tom"]


# --------------------------------------------------------------------------
# Expression queries on numbers

BIG = 2 ** 53
NUMBERS = {
    "i1": 1, "f25": 2.5, "i3": 3, "i5": 5, "f5": 5.0, "i7": 7,
    "neg": -1, "zero": 0, "nzero": -0.0, "sub": 5e-324,
    "p53": BIG, "p53p1": BIG + 1, "max64": 2 ** 63 - 1, "min64": -2 ** 63,
    "inf": math.inf, "ninf": -math.inf,
    "true": True, "false": False, "text": "5", "none": None,
    "list": [4, "x", 100.5],
}
NUMERIC = {k for k, v in NUMBERS.items()
           if isinstance(v, (int, float)) and not isinstance(v, bool)}


def _numbers_index():
    objs = {k: Item(name=k, n=v) for k, v in NUMBERS.items()}
    objs["missing"] = Item(name="missing")
    idx = Index()
    idx.add_object_many(list(objs.values()))
    return idx, objs


def _brute(pred):
    out = {k for k in NUMERIC if pred(NUMBERS[k])}
    if any(pred(v) for v in NUMBERS["list"] if not isinstance(v, str)):
        out.add("list")
    return sorted(out)


NUMERIC_CASES = [
    (Q.eq("n", 5), ["f5", "i5"]),
    (Q.eq("n", 5.0), ["f5", "i5"]),
    (Q.gt("n", 5), _brute(lambda v: v > 5)),
    (Q.ge("n", 5), _brute(lambda v: v >= 5)),
    (Q.lt("n", 5), _brute(lambda v: v < 5)),
    (Q.le("n", 5.0), _brute(lambda v: v <= 5)),
    (Q.bt("n", 1, 3), ["f25", "i1", "i3"]),
    (Q.bt("n", 1.0, 3.0), ["f25", "i1", "i3"]),
    (Q.bt("n", 3, 1), []),
    (Q.bt("n", 2.5, 2.5), ["f25"]),
    (Q.eq("n", 0), ["nzero", "zero"]),
    (Q.eq("n", -0.0), ["nzero", "zero"]),
    (Q.gt("n", 0), _brute(lambda v: v > 0)),
    (Q.lt("n", -0.0), ["min64", "neg", "ninf"]),
    (Q.eq("n", 5e-324), ["sub"]),
    (Q.lt("n", 2.2250738585072014e-308), _brute(lambda v: v < 2.2250738585072014e-308)),
    (Q.bt("n", 0, 1e-300), ["nzero", "sub", "zero"]),
    # Integers keep all 64 bits; floats compare by exact value.
    (Q.eq("n", BIG + 1), ["p53p1"]),
    (Q.eq("n", BIG), ["p53"]),
    (Q.eq("n", float(BIG)), ["p53"]),
    (Q.gt("n", BIG), _brute(lambda v: v > BIG)),
    (Q.lt("n", BIG + 1), _brute(lambda v: v < BIG + 1)),
    (Q.bt("n", BIG, BIG + 1), ["p53", "p53p1"]),
    (Q.ge("n", 2 ** 63 - 1), ["inf", "max64"]),
    (Q.ge("n", 2.0 ** 63), ["inf"]),
    (Q.le("n", -2.0 ** 63), ["min64", "ninf"]),
    (Q.lt("n", -2 ** 63), ["ninf"]),
    (Q.eq("n", math.inf), ["inf"]),
    (Q.gt("n", math.inf), []),
    (Q.lt("n", -math.inf), []),
    (Q.bt("n", -math.inf, math.inf), sorted(NUMERIC | {"list"})),
    # Booleans are not numbers, and numbers are not booleans.
    (Q.eq("n", 1), ["i1"]),
    (Q.eq("n", True), ["true"]),
    (Q.eq("n", False), ["false"]),
    (Q.lt("n", True), []),
    (Q.ge("n", False), []),
    # Texts order against texts only (by code point); other values have no order.
    (Q.gt("n", "4"), ["list", "text"]),
    (Q.le("n", "9"), ["text"]),
    (Q.eq("n", "5"), ["text"]),
    (Q.eq("n", "x"), ["list"]),
    (Q.eq("n", 100.5), ["list"]),
    (Q.eq("n", None), ["none"]),
    (Q.eq("n", [4]), []),
    (Q.eq("n", (4,)), []),
    (Q.eq("n", {4: 4}), []),
    (Q.gt("n", [1]), []),
]


@pytest.mark.parametrize("query, expected", NUMERIC_CASES,
                         ids=[short(q) for q, _ in NUMERIC_CASES])
def test_numeric_and_mixed_comparisons(query, expected):
    idx, _ = _numbers_index()
    assert names(found(idx, query)) == expected


def test_ne_is_the_universe_minus_eq():
    idx, objs = _numbers_index()
    everyone = set(objs)
    assert names(found(idx, Q.ne("n", 5))) == sorted(everyone - {"i5", "f5"})
    assert names(found(idx, Q.ne("n", "5"))) == sorted(everyone - {"text"})
    assert names(found(idx, Q.ne("n", None))) == sorted(everyone - {"none"})
    assert names(found(idx, Q.ne("nosuch", 1))) == sorted(everyone)


@pytest.mark.parametrize("op", ["gt", "ge", "lt", "le"])
def test_ordering_against_an_indexable_cannot_be_ordered(op):
    idx, pets = pets_world()
    query = getattr(Q, op)("owner", pets["rex"].owner)
    bound = type(pets["rex"].owner).__name__
    match = f"{op} on attribute 'owner': a bound of type '{bound}' cannot be ordered"
    expect_unorderable(idx.reduced_query, query, match=match)
    # The whole query fails, wherever the leaf sits.
    expect_unorderable(idx.reduced_query, Q.or_(Q.eq("kind", "dog"), query), match=match)
    _index_keeps_working(idx, pets)


@pytest.mark.parametrize("lower, upper", [
    (None, 9), (1, None), (True, 5), (1, False), ([1], 5), ("a", None),
])
def test_between_needs_orderable_bounds(lower, upper):
    idx, pets = pets_world()
    # The first bound without an order is named (bool is not one here).
    bad = lower if type(lower) not in (int, float, str) else upper
    match = f"bt on attribute 'age': a bound of type '{type(bad).__name__}' cannot be ordered"
    expect_unorderable(idx.reduced_query, Q.bt("age", lower, upper), match=match)
    view = idx.reduced_query(Q.eq("kind", "dog"))
    expect_unorderable(view.reduced_query, Q.bt("age", lower, upper), match=match)
    _index_keeps_working(idx, pets)


def _index_keeps_working(idx, pets):
    assert names(found(idx, Q.bt("age", 1, 3))) == ["kiki", "nemo", "rex"]
    assert names(idx.get_by_attribute(kind="dog")) == ["max", "rex"]
    pets["rex"].age = 4
    pets["rex"].kind = "wolf"
    assert names(found(idx, Q.eq("age", 4))) == ["rex"]
    assert names(idx.get_by_attribute(kind="wolf")) == ["rex"]
    extra = Item(name="zed", kind="dog", age=4)
    idx.add_object(extra)
    assert names(found(idx, Q.eq("age", 4))) == ["rex", "zed"]
    assert sorted(idx.group_by("kind")) == ["bird", "cat", "dog", "fish", "wolf"]


# --------------------------------------------------------------------------
# Set algebra, unknown attributes and In


def test_unknown_attribute():
    idx, pets = pets_world()
    everyone = names(pets.values())
    assert found(idx, Q.eq("nosuch", "x")) == []
    assert found(idx, Q.gt("nosuch", 1)) == []
    assert found(idx, Q.in_("nosuch", ["x", 1])) == []
    assert names(found(idx, Q.ne("nosuch", "x"))) == everyone
    assert names(found(idx, Q.not_(Q.eq("nosuch", 1)))) == everyone


ALGEBRA_CASES = [
    (Q.and_(), []),
    (Q.or_(), []),
    (Q.not_(Q.and_()), ["kiki", "max", "nemo", "rex", "tom"]),
    (Q.not_(Q.or_()), ["kiki", "max", "nemo", "rex", "tom"]),
    (Q.and_(Q.eq("kind", "dog")), ["max", "rex"]),
    (Q.and_(Q.eq("kind", "dog"), Q.gt("age", 5)), ["max"]),
    (Q.and_(Q.eq("kind", "dog"), Q.eq("kind", "cat")), []),
    (Q.and_(Q.gt("age", 1), Q.lt("age", 9), Q.eq("colour", "black")), ["tom"]),
    (Q.or_(Q.eq("kind", "cat"), Q.lt("weight", 1)), ["kiki", "tom"]),
    (Q.or_(Q.eq("kind", "cat"), Q.eq("kind", "cat")), ["tom"]),
    (Q.not_(Q.eq("kind", "dog")), ["kiki", "nemo", "tom"]),
    (Q.not_(Q.not_(Q.eq("kind", "dog"))), ["max", "rex"]),
    (Q.not_(Q.gt("age", 2)), ["kiki", "nemo"]),
    (Q.ne("tags", "loud"), ["max", "nemo", "tom"]),
    (Q.and_(Q.ne("kind", "dog"), Q.ne("kind", "cat")), ["kiki", "nemo"]),
    (Q.or_(Q.and_(), Q.eq("kind", "fish")), ["nemo"]),
    (Q.in_("kind", []), []),
    (Q.in_("kind", ["cat", "cat"]), ["tom"]),
    (Q.in_("kind", ("dog", "fish")), ["max", "nemo", "rex"]),
    (Q.in_("age", range(3)), ["kiki", "nemo"]),
    (Q.in_("age", [2, 9, "dog", True]), ["max", "nemo"]),
    (Q.in_("age", b"\x01\x07"), ["kiki", "tom"]),
    (Q.in_("vaccinated", [True]), ["kiki", "rex"]),
    (Q.in_("vaccinated", [1]), ["max"]),
    (Q.not_(Q.in_("kind", ["dog", "cat"])), ["kiki", "nemo"]),
]


@pytest.mark.parametrize("query, expected", ALGEBRA_CASES,
                         ids=[short(q) for q, _ in ALGEBRA_CASES])
def test_set_algebra(query, expected):
    idx, _ = pets_world()
    assert names(found(idx, query)) == expected


@pytest.mark.parametrize("attr, value", [("kind", "dog"), ("age", 3), ("vaccinated", True)])
def test_in_with_repeated_value_equals_eq(attr, value):
    idx, _ = pets_world()
    got = found(idx, Q.in_(attr, [value, value]))
    assert got != []
    assert_same(got, found(idx, Q.eq(attr, value)))


# --------------------------------------------------------------------------
# Dotted paths

DOTTED_CASES = [
    (Q.eq("owner.name", "alice"), ["rex", "tom"]),
    (Q.eq("owner.city", "Oslo"), ["kiki", "max"]),
    (Q.gt("owner.age", 30), ["rex", "tom"]),
    (Q.bt("owner.age", 20, 30), ["kiki", "max"]),
    (Q.in_("owner.name", ["bob", "carol"]), ["kiki", "max"]),
    (Q.ne("owner.name", "alice"), ["kiki", "max", "nemo"]),
    (Q.not_(Q.eq("owner.city", "Oslo")), ["nemo", "rex", "tom"]),
    (Q.and_(Q.eq("owner.name", "alice"), Q.eq("kind", "cat")), ["tom"]),
    (Q.eq("owner.nosuch", "x"), []),
    (Q.eq("kind.name", "dog"), []),
    (Q.eq("owner..name", "alice"), []),
    (Q.eq("owner.", "alice"), []),
    (Q.eq(".name", "alice"), []),
    (Q.eq("owner.name.x", "alice"), []),
]


@pytest.mark.parametrize("query, expected", DOTTED_CASES,
                         ids=[short(q) for q, _ in DOTTED_CASES])
def test_dotted_paths(query, expected):
    idx, _ = pets_world()
    assert names(found(idx, query)) == expected


def test_eq_with_an_indexable_value_finds_its_holders():
    idx, pets = pets_world()
    alice = pets["rex"].owner
    assert names(found(idx, Q.eq("owner", alice))) == ["rex", "tom"]
    assert names(found(idx, Q.eq("owner", Item(name="alice")))) == []
    assert names(found(idx, Q.in_("owner", [alice, "x"]))) == ["rex", "tom"]


# --------------------------------------------------------------------------
# Many numbers: ranged lookups against a brute-force model while objects
# holding several numbers each are added and reassigned.


# Few distinct numbers are kept as one id set per number, many in a tree.
@pytest.mark.parametrize("distinct, n", [(40, 700), (3000, 1400)])
def test_ranged_lookups_over_many_objects_match_brute_force(distinct, n):
    rng = random.Random(20240611)
    pool = ([rng.randint(-distinct, distinct) for _ in range(distinct * 3 // 4)]
            + [rng.uniform(-50, 50) for _ in range(distinct // 4)])

    def value():
        if rng.random() < 0.4:
            return [rng.choice(pool) for _ in range(rng.randint(0, 4))]
        return rng.choice(pool)

    objs = [Item(k=k, v=value()) for k in range(n)]
    idx = Index()
    idx.add_object_many(objs[:n // 2])
    for o in objs[n // 2:]:
        idx.add_object(o)

    def numbers(o):
        return o.v if isinstance(o.v, list) else [o.v]

    def check(round_no):
        for _ in range(25):
            a, b = sorted(rng.sample(pool, 2))
            cases = [
                (Q.gt("v", a), lambda x: x > a),
                (Q.ge("v", a), lambda x: x >= a),
                (Q.lt("v", b), lambda x: x < b),
                (Q.le("v", b), lambda x: x <= b),
                (Q.bt("v", a, b), lambda x: a <= x <= b),
                (Q.eq("v", a), lambda x: x == a),
            ]
            for query, pred in cases:
                expected = [o for o in objs if any(pred(x) for x in numbers(o))]
                got = found(idx, query)
                assert ids(got) == ids(expected), (round_no, repr(query)[:80])
            # Equalities intersected where their sets lie: two of one map, one
            # with another child's answer, a list of values.
            for query, keep in [(Q.and_(Q.eq("v", a), Q.eq("v", b)), lambda o: a in numbers(o) and b in numbers(o)),
                                (Q.and_(Q.eq("v", a), Q.eq("v", a)), lambda o: a in numbers(o)),
                                (Q.and_(Q.lt("k", n // 2), Q.eq("v", b)), lambda o: o.k < n // 2 and b in numbers(o)),
                                (Q.in_("v", [a, b]), lambda o: a in numbers(o) or b in numbers(o))]:
                assert ids(found(idx, query)) == ids(o for o in objs if keep(o)), (round_no, repr(query)[:80])

    check(0)
    for round_no in range(1, 4):
        for o in rng.sample(objs, 250):
            o.v = value()
        check(round_no)


def test_exact_lookups_over_many_objects_match_brute_force():
    # Large id sets, grown and shrunk by reassignment, against a model.
    rng = random.Random(777)
    colours = ["red", "green", "blue", "gold"]
    objs = [Item(k=k, colour=rng.choice(colours),
                 tags=rng.sample(colours, rng.randint(0, 3)))
            for k in range(3000)]
    idx = Index()
    idx.add_object_many(objs)

    def check():
        for colour in colours:
            want = [o for o in objs if o.colour == colour]
            assert ids(idx.get_by_attribute(colour=colour)) == ids(want)
            assert ids(found(idx, Q.ne("colour", colour))) == ids(objs) - ids(want)
            want_tag = [o for o in objs if colour in o.tags]
            assert ids(idx.get_by_attribute(tags=colour)) == ids(want_tag)
        pair = ["red", "gold"]
        want = [o for o in objs if o.colour in pair and "blue" in o.tags]
        assert ids(idx.get_by_attribute(colour=pair, tags="blue")) == ids(want)
        # and_ intersects its exact sets (large, a few ids, absent) with the
        # other children's answers, in whatever order their sizes give.
        for colour, tag, again in [("red", "blue", "red"), ("teal", "gold", "teal"),
                                   ("gold", "gold", "red"), ("none", "red", "none")]:
            want = [o for o in objs if o.colour == colour == again and tag in o.tags and o.k < 2000]
            q = Q.and_(Q.eq("tags", tag), Q.lt("k", 2000), Q.eq("colour", colour), Q.eq("colour", again))
            assert ids(found(idx, q)) == ids(want)

    for o in objs[:3]:
        o.colour = "teal"
    check()
    for _ in range(3):
        for o in rng.sample(objs, 1200):
            o.colour = rng.choice(colours)
            o.tags = rng.sample(colours, rng.randint(0, 3))
        check()
    # Move nearly everything away from one value and back.
    for o in objs[:-2]:
        o.colour = "red"
    check()
    for o in objs:
        o.colour = "blue"
    check()
    # Lists of texts and booleans written over lists: values seen for the
    # first time, values both lists hold, repeats, lists of more distinct
    # values than are changed together, and the last holders of a value
    # leaving it and taking it again.
    pool = colours + ["fresh%d" % i for i in range(14)] + [True, False]
    for round_no in range(4):
        for o in rng.sample(objs, 600):
            o.tags = [rng.choice(pool) for _ in range(rng.randint(0, 10))]
        for o in objs[:4]:
            o.tags = ["solo%d" % (round_no % 2)] * 2
        for value in pool + ["solo0", "solo1"]:
            want = [o for o in objs if value in o.tags]
            assert ids(idx.get_by_attribute(tags=value)) == ids(want), value
    # Lists that bring many values never seen before, ahead of values that
    # are: the maps grow while one write changes them.
    common = ["red", "green", "blue", "gold"]
    for k, o in enumerate(objs[:300]):
        o.tags = []
        o.tags = ["new%d.%d" % (k, j) for j in range(11)] + common
    for value in common + ["new7.3", "new299.10"]:
        want = [o for o in objs if value in o.tags]
        assert ids(idx.get_by_attribute(tags=value)) == ids(want), value


# --------------------------------------------------------------------------
# The expression class

EXPR_SIGNATURES = [
    ("eq", "(attr, value)"), ("ne", "(attr, value)"), ("gt", "(attr, value)"),
    ("ge", "(attr, value)"), ("le", "(attr, value)"),
    ("bt", "(attr, lower, upper)"), ("lt", "(attr, value)"),
    ("in_", "(attr, values)"), ("and_", "(*exprs)"), ("or_", "(*exprs)"),
    ("not_", "(exprs)"),
]


def test_expression_methods_in_order_with_text_signatures():
    assert [n for n in vars(Q) if not n.startswith("__")] == [n for n, _ in EXPR_SIGNATURES]
    for name, sig in EXPR_SIGNATURES:
        assert getattr(Q, name).__text_signature__ == sig, name
        assert not getattr(Q, name).__doc__


def test_expression_has_no_constructor_and_static_methods_work_on_instances():
    with pytest.raises(TypeError):
        Q()
    e = Q.eq("kind", "dog")
    idx, _ = pets_world()
    assert names(found(idx, e.eq("kind", "cat"))) == ["tom"]
    assert names(found(idx, e.not_(e))) == ["kiki", "nemo", "tom"]


def test_expression_arguments_by_keyword():
    idx, _ = pets_world()
    assert names(found(idx, Q.eq(attr="kind", value="cat"))) == ["tom"]
    assert names(found(idx, Q.bt(attr="age", lower=7, upper=9))) == ["max", "tom"]
    assert names(found(idx, Q.in_(attr="kind", values=["fish"]))) == ["nemo"]
    assert names(found(idx, Q.not_(exprs=Q.eq("kind", "dog")))) == ["kiki", "nemo", "tom"]


@pytest.mark.parametrize("call, argname", [
    (lambda: Q.eq(5, 1), "attr"),
    (lambda: Q.ne(None, 1), "attr"),
    (lambda: Q.gt(b"age", 1), "attr"),
    (lambda: Q.bt(["age"], 1, 2), "attr"),
    (lambda: Q.in_(1, [1]), "attr"),
    (lambda: Q.in_("a", "abc"), "values"),
    (lambda: Q.in_("a", {"a", "b"}), "values"),
    (lambda: Q.in_("a", {"a": 1}), "values"),
    (lambda: Q.in_("a", (x for x in "ab")), "values"),
    (lambda: Q.in_("a", 5), "values"),
    (lambda: Q.and_(Q.eq("a", 1), 5), "exprs"),
    (lambda: Q.or_("a"), "exprs"),
    (lambda: Q.and_(Q.eq("a", 1), Q.eq("b", 2), object()), "exprs"),
    (lambda: Q.not_(5), "exprs"),
    (lambda: Q.not_(Q.eq), "exprs"),
])
def test_expression_argument_errors_name_the_argument(call, argname):
    with pytest.raises(TypeError, match=argname):
        call()


@pytest.mark.parametrize("call, method", [
    (lambda: Q.eq("a"), "eq"),
    (lambda: Q.gt("a", 1, 2), "gt"),
    (lambda: Q.bt("a", 1), "bt"),
    (lambda: Q.in_("a", [1], nope=1), "in_"),
    (lambda: Q.not_(), "not_"),
    (lambda: Q.not_(Q.eq("a", 1), Q.eq("a", 2)), "not_"),
])
def test_expression_arity_errors(call, method):
    with pytest.raises(TypeError) as info:
        call()
    if method not in ("not_",):
        assert f"PyQueryExpr.{method}" in str(info.value)


def test_and_or_refuse_keyword_arguments():
    with pytest.raises(TypeError):
        Q.and_(exprs=Q.eq("a", 1))
    with pytest.raises(TypeError):
        Q.or_(x=Q.eq("a", 1))


def test_reduced_query_refuses_non_expressions():
    idx, _ = pets_world()
    with pytest.raises(TypeError, match="query"):
        idx.reduced_query("kind == dog")
    with pytest.raises(TypeError, match="query"):
        idx.reduced_query(None)


def test_expressions_are_copied_and_reusable():
    e = Q.eq("kind", "dog")
    negated = Q.not_(e)
    both = Q.and_(e, e)
    first, _ = pets_world()
    assert names(found(first, e)) == ["max", "rex"]
    assert names(found(first, negated)) == ["kiki", "nemo", "tom"]
    assert names(found(first, both)) == ["max", "rex"]
    del first
    second = Index()
    d = Item(name="d", kind="dog")
    second.add_object(d)
    assert names(found(second, e)) == ["d"]
    assert names(found(second, both)) == ["d"]
    assert found(second, negated) == []
    assert repr(both).count("Eq(") == 2


class Sequence:
    """A minimal sequence: length and positional access only."""

    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, k):
        return self.items[k]


def test_in_accepts_any_sequence_and_copies_its_values():
    idx, _ = pets_world()
    assert names(found(idx, Q.in_("kind", Sequence("cat", "fish")))) == ["nemo", "tom"]
    values = ["cat"]
    query = Q.in_("kind", values)
    values.append("dog")
    values[0] = "bird"
    assert names(found(idx, query)) == ["tom"]


def test_numpy_scalars_query_like_builtins():
    np = pytest.importorskip("numpy")
    idx, pets = pets_world()
    assert names(found(idx, Q.eq("age", np.int64(3)))) == ["rex"]
    assert names(found(idx, Q.gt("weight", np.float64(25.0)))) == ["rex"]
    assert names(found(idx, Q.eq("kind", np.str_("cat")))) == ["tom"]
    assert names(found(idx, Q.eq("vaccinated", np.bool_(False)))) == ["tom"]
    assert names(idx.get_by_attribute(kind=np.str_("cat"))) == ["tom"]
    assert names(idx.get_by_attribute(vaccinated=np.bool_(False))) == ["tom"]
    # Other widths match as the same numbers.
    assert names(found(idx, Q.eq("age", np.int32(3)))) == ["rex"]
    pets["kiki"].age = np.int64(3)
    assert names(found(idx, Q.eq("age", 3))) == ["kiki", "rex"]


# Reprs show the tree as built, with each value's object address, native
# form and cached hash.
VALUE_RE = r"PyValue \{{ obj: Some\(Py\(0x{addr:x}\)\), primitave: {prim}, hash: {hash} \}}"


def _value_re(obj, prim, hash_):
    return VALUE_RE.format(addr=id(obj), prim=re.escape(prim), hash=hash_)


def test_repr_of_leaf_expressions():
    one = 1
    assert re.fullmatch(
        r"<QueryExpr: Eq\(\"n\", " + _value_re(one, "Int(1)", 3215580) + r"\)>",
        repr(Q.eq("n", one)))
    assert re.fullmatch(
        r"<QueryExpr: Ne\(\"n\", " + _value_re(True, "Bool(true)", 0x18FCEE9F) + r"\)>",
        repr(Q.ne("n", True)))
    f = 1.0
    assert re.fullmatch(
        r"<QueryExpr: Gt\(\"a\.b\", PyValue \{ obj: Some\(Py\(0x%x\)\), "
        r"primitave: Float\(1(\.0*)?\), hash: %d \}\)>" % (id(f), 0x65DD2D8F),
        repr(Q.gt("a.b", f)))
    text = "x"
    assert re.fullmatch(
        r"<QueryExpr: Eq\(\"n\", PyValue \{ obj: Some\(Py\(0x[0-9a-f]+\)\), "
        r"primitave: Str\(\"x\"\), hash: \d+ \}\)>", repr(Q.eq("n", text)))
    assert re.fullmatch(
        r"<QueryExpr: Le\(\"n\", " + _value_re(None, "Unknown", 0xE4858571) + r"\)>",
        repr(Q.le("n", None)))


def test_repr_of_compound_expressions():
    assert repr(Q.and_()) == "<QueryExpr: And([])>"
    assert repr(Q.or_()) == "<QueryExpr: Or([])>"
    assert repr(Q.not_(Q.and_())) == "<QueryExpr: Not(And([]))>"
    a, b = Q.eq("a", 1), Q.eq("b", 2)
    inner_a = repr(a)[len("<QueryExpr: "):-1]
    inner_b = repr(b)[len("<QueryExpr: "):-1]
    assert repr(Q.and_(a, b)) == f"<QueryExpr: And([{inner_a}, {inner_b}])>"
    assert repr(Q.or_(a)) == f"<QueryExpr: Or([{inner_a}])>"
    assert repr(Q.not_(a)) == f"<QueryExpr: Not({inner_a})>"
    # Ne stays Ne until it is evaluated.
    assert repr(Q.ne("a", 1)).startswith("<QueryExpr: Ne(\"a\", ")
    lo, hi = 1, 2
    assert re.fullmatch(
        r"<QueryExpr: Bt\(\"a\", " + _value_re(lo, "Int(1)", r"\d+") + ", "
        + _value_re(hi, "Int(2)", r"\d+") + r"\)>", repr(Q.bt("a", lo, hi)))
    assert re.fullmatch(
        r"<QueryExpr: In\(\"a\", \[PyValue[^\]]*Int\(3\)[^\]]*, PyValue[^\]]*Str\(\"c\"\)[^\]]*\]\)>",
        repr(Q.in_("a", [3, "c"])))
    assert repr(Q.in_("a", [])) == '<QueryExpr: In("a", [])>'
    # Bytes become their byte values.
    assert re.search(r"Int\(7\).*Int\(8\)", repr(Q.in_("a", b"\x07\x08")))


def test_repr_escapes_the_path():
    assert repr(Q.and_(Q.eq('a"b', 1))).startswith('<QueryExpr: And([Eq("a\\"b", ')
