"""FilteredIndex views: fixed id sets over an index's live maps and store,
narrowed by keyword and expression queries and listed as objects."""
import pytest

from helpers_index import (
    FilteredIndex, Index, Item, Q, assert_same, collect_garbage, found, ids,
    in_id_order, short,
)


def world():
    owners = {"alice": Item(name="alice", city="Paris"),
              "bob": Item(name="bob", city="Oslo")}
    pets = [
        Item(name="rex", kind="dog", colour="red", age=3, tags=["a"], owner=owners["alice"]),
        Item(name="tom", kind="cat", colour="red", age=7, tags=["b"], owner=owners["alice"]),
        Item(name="kiki", kind="bird", colour="blue", age=1, tags=["a", "b"], owner=owners["bob"]),
        Item(name="max", kind="dog", colour="blue", age=9, owner=owners["bob"]),
        Item(name="fido", kind="dog", colour="red", age=5.0),
        Item(name="nemo", kind="fish", age=2),
    ]
    idx = Index()
    idx.add_object_many(pets)
    return idx, {p.name: p for p in pets}, owners


def names(objs):
    return sorted(o.name for o in objs)


def test_no_constructor():
    with pytest.raises(TypeError, match="No constructor defined for FilteredIndex"):
        FilteredIndex()


def test_method_order_and_text_signatures():
    expected = [("reduced", "($self, **kwargs)"), ("reduced_query", "($self, query)"),
                ("collect", "($self)"), ("rebase", "($self)")]
    assert [n for n in vars(FilteredIndex) if not n.startswith("__")] == [n for n, _ in expected]
    for name, sig in expected:
        assert getattr(FilteredIndex, name).__text_signature__ == sig
        assert not getattr(FilteredIndex, name).__doc__


def test_views_are_returned_by_every_selecting_method():
    idx, _, _ = world()
    view = idx.reduced(kind="dog")
    assert type(view) is FilteredIndex
    assert type(idx.reduced_query(Q.eq("kind", "dog"))) is FilteredIndex
    assert type(view.reduced(colour="red")) is FilteredIndex
    assert type(view.reduced_query(Q.gt("age", 1))) is FilteredIndex
    assert all(type(v) is FilteredIndex for v in idx.group_by("kind").values())


def test_view_methods_refuse_bad_arguments():
    view = world()[0].reduced(kind="dog")
    with pytest.raises(TypeError):
        view.reduced({"kind": "dog"})
    with pytest.raises(TypeError, match="query"):
        view.reduced_query("kind")
    with pytest.raises(TypeError):
        view.collect(1)
    with pytest.raises(TypeError):
        view.rebase(1)


# Each case narrows the dogs {rex, max, fido} with a query that also matches
# objects outside the view; the result must stay inside it.
NARROWING_CASES = [
    (Q.eq("colour", "red"), ["fido", "rex"]),
    (Q.eq("kind", "cat"), []),
    (Q.gt("age", 2), ["fido", "max", "rex"]),
    (Q.le("age", 5), ["fido", "rex"]),
    (Q.bt("age", 0, 100), ["fido", "max", "rex"]),
    (Q.eq("age", 5), ["fido"]),
    (Q.in_("colour", ["red", "blue"]), ["fido", "max", "rex"]),
    (Q.in_("tags", ["b"]), []),
    (Q.eq("tags", "a"), ["rex"]),
    (Q.eq("owner.name", "alice"), ["rex"]),
    (Q.eq("owner.city", "Oslo"), ["max"]),
    (Q.not_(Q.eq("colour", "red")), ["max"]),
    (Q.ne("colour", "blue"), ["fido", "rex"]),
    (Q.ne("nosuch", 1), ["fido", "max", "rex"]),
    (Q.not_(Q.and_()), ["fido", "max", "rex"]),
    (Q.not_(Q.eq("owner.name", "bob")), ["fido", "rex"]),
    (Q.or_(Q.eq("kind", "cat"), Q.eq("kind", "bird")), []),
    (Q.or_(Q.eq("colour", "blue"), Q.eq("tags", "b")), ["max"]),
    (Q.and_(), []),
]


@pytest.mark.parametrize("query, expected", NARROWING_CASES,
                         ids=[short(q) for q, _ in NARROWING_CASES])
def test_reduced_query_on_a_view_stays_inside_it(query, expected):
    idx, _, _ = world()
    dogs = idx.reduced(kind="dog")
    assert names(found(dogs, query)) == expected
    # Narrowing again never leaves the narrowed view.
    narrowed = dogs.reduced_query(query)
    assert ids(found(narrowed, Q.not_(Q.and_()))) == ids(narrowed.collect())
    assert ids(narrowed.reduced(kind=["dog", "cat"]).collect()) <= ids(narrowed.collect())


KEYWORD_NARROWING = [
    ({"colour": "red"}, ["fido", "rex"]),
    ({"kind": "cat"}, []),
    ({"kind": ["cat", "dog"]}, ["fido", "max", "rex"]),
    ({"tags": "b"}, []),
    ({"owner.name": "bob"}, ["max"]),
    ({"age": 3}, []),
    ({"nosuch": "x"}, []),
    ({}, []),
]


@pytest.mark.parametrize("kwargs, expected", KEYWORD_NARROWING,
                         ids=[repr(k) for k, _ in KEYWORD_NARROWING])
def test_reduced_on_a_view_stays_inside_it(kwargs, expected):
    idx, _, _ = world()
    dogs = idx.reduced_query(Q.eq("kind", "dog"))
    assert names(dogs.reduced(**kwargs).collect()) == expected


def test_view_made_before_a_change_keeps_its_objects():
    idx, pets, owners = world()
    dogs = idx.reduced(kind="dog")
    red_dogs = dogs.reduced(colour="red")
    pets["rex"].kind = "cat"
    pets["tom"].kind = "dog"
    pets["fido"].colour = "blue"
    # Listing is by the ids fixed when the view was made.
    assert names(dogs.collect()) == ["fido", "max", "rex"]
    assert names(red_dogs.collect()) == ["fido", "rex"]
    # Narrowing uses the values as they are now.
    assert names(dogs.reduced(kind="dog").collect()) == ["fido", "max"]
    assert names(dogs.reduced(kind="cat").collect()) == ["rex"]
    assert names(dogs.reduced_query(Q.eq("kind", "cat")).collect()) == ["rex"]
    assert names(red_dogs.reduced(colour="red").collect()) == ["rex"]
    pets["max"].age = 1
    assert names(dogs.reduced_query(Q.lt("age", 2)).collect()) == ["max"]
    owners["bob"].name = "robert"
    assert names(dogs.reduced_query(Q.eq("owner.name", "robert")).collect()) == ["max"]
    # New objects of the index are not part of an existing view.
    idx.add_object(Item(name="late", kind="dog", colour="red"))
    assert names(dogs.reduced(kind="dog").collect()) == ["fido", "max"]
    assert names(idx.reduced(kind="dog").collect()) == ["fido", "late", "max", "tom"]


def test_collect_lists_the_very_objects_in_id_order():
    idx, pets, _ = world()
    listing = idx.collect()
    for view in [idx.reduced(kind=["dog", "fish"]), idx.reduced_query(Q.gt("age", 2)),
                 idx.reduced_query(Q.not_(Q.eq("kind", "dog")))]:
        got = view.collect()
        assert in_id_order(got, listing)
        assert all(o is pets[o.name] for o in got)
    assert idx.reduced(kind="nosuch").collect() == []


def test_view_outlives_its_index():
    idx, pets, _ = world()
    dogs = idx.reduced(kind="dog")
    del idx
    collect_garbage()
    assert names(dogs.collect()) == ["fido", "max", "rex"]
    assert names(dogs.reduced(colour="red").collect()) == ["fido", "rex"]
    assert names(dogs.reduced_query(Q.gt("age", 4)).collect()) == ["fido", "max"]
    rebased = dogs.rebase()
    assert names(rebased.collect()) == ["fido", "max", "rex"]


def test_views_of_views_chain_and_are_independent():
    idx, pets, _ = world()
    everyone = idx.reduced_query(Q.not_(Q.and_()))
    assert_same(everyone.collect(), idx.collect())
    step1 = everyone.reduced_query(Q.gt("age", 2))
    step2 = step1.reduced(colour="red")
    step3 = step2.reduced_query(Q.ne("kind", "dog"))
    assert names(step1.collect()) == ["fido", "max", "rex", "tom"]
    assert names(step2.collect()) == ["fido", "rex", "tom"]
    assert names(step3.collect()) == ["tom"]
    # Earlier views are untouched by later narrowing.
    assert names(step1.collect()) == ["fido", "max", "rex", "tom"]
