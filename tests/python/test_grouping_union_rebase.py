"""Grouping an index by an attribute, narrowing it in place with reduce,
merging another index's exact-value maps with union_with, and rebasing a
view into an index of its own."""
import itertools

import pytest

from helpers_index import (
    FilteredIndex, Index, Indexable, Item, Q, assert_same, collect_garbage, found, ids,
    in_id_order,
)

_unique = itertools.count()


def names(objs):
    return sorted(o.name for o in objs)


def grouped(idx, attr):
    """group_by as {key: sorted names}, checking every value is a view."""
    groups = idx.group_by(attr)
    assert type(groups) is dict
    assert all(type(v) is FilteredIndex for v in groups.values())
    return {k: names(v.collect()) for k, v in groups.items()}


def by_id(objs):
    """The objects in ascending id order (ids cannot be chosen, but an index
    lists its objects in that order)."""
    tmp = Index()
    tmp.add_object_many(list(objs))
    return tmp.collect()


def world():
    alice = Item(name="alice", age=40)
    bob = Item(name="bob", age=25)
    pets = [
        Item(name="rex", kind="dog", colour="red", age=3, tags=["a", "b"], owner=alice),
        Item(name="tom", kind="cat", colour="red", age=7, tags=["b"], owner=alice),
        Item(name="kiki", kind="bird", colour="blue", age=3.0, tags=[], owner=bob),
        Item(name="max", kind="dog", colour="blue", age=9.5, owner=bob),
        Item(name="luna", kind="cat", colour="black", age=1),
    ]
    idx = Index()
    idx.add_object_many(pets)
    return idx, {p.name: p for p in pets}, {"alice": alice, "bob": bob}


# --------------------------------------------------------------------------
# group_by


def test_group_by_texts():
    idx, _, _ = world()
    assert grouped(idx, "kind") == {"dog": ["max", "rex"], "cat": ["luna", "tom"],
                                   "bird": ["kiki"]}
    assert grouped(idx, attr="colour") == {"red": ["rex", "tom"], "blue": ["kiki", "max"],
                                          "black": ["luna"]}


def test_group_by_numbers_groups_by_value_under_float_keys():
    idx, _, _ = world()
    groups = idx.group_by("age")
    assert all(type(k) is float for k in groups)
    assert {k: names(v.collect()) for k, v in groups.items()} == {
        1.0: ["luna"], 3.0: ["kiki", "rex"], 7.0: ["tom"], 9.5: ["max"]}


def test_int_and_float_of_equal_value_form_one_group():
    a, b, c, d = Item(name="a", n=5), Item(name="b", n=5.0), Item(name="c", n=0), Item(name="d", n=-0.0)
    idx = Index()
    idx.add_object_many([a, b, c, d])
    groups = grouped(idx, "n")
    assert groups == {5.0: ["a", "b"], 0.0: ["c", "d"]}
    assert [type(k) for k in idx.group_by("n")] == [float, float]


@pytest.mark.parametrize("value, key", [
    # A float key wherever a double holds the number exactly, else the integer.
    (2 ** 53 + 1, 2 ** 53 + 1),
    (2 ** 53 + 2, 9007199254740994.0),
    (-(2 ** 53) - 1, -(2 ** 53) - 1),
    (2 ** 63 - 1, 2 ** 63 - 1),
    (-(2 ** 63), -9223372036854775808.0),
    (1_700_000_000_000_000_001, 1_700_000_000_000_000_001),
    (float("inf"), float("inf")),
    (5e-324, 5e-324),
])
def test_group_keys_are_exactly_the_number(value, key):
    idx = Index()
    a = Item(name="a", n=value)
    idx.add_object(a)
    groups = idx.group_by("n")
    assert list(groups) == [key]
    assert type(list(groups)[0]) is type(key)
    assert_same(groups[key].collect(), [a])


def test_distinct_numbers_that_round_to_one_double_keep_their_groups():
    # Nanosecond timestamps: distinct integers that share one nearest double.
    base = 1_700_000_000_000_000_000
    objs = [Item(name=str(k), n=base + k) for k in range(5)] + [Item(name="f", n=float(base))]
    idx = Index()
    idx.add_object_many(objs)
    groups = grouped(idx, "n")
    assert groups == {float(base): ["0", "f"], **{base + k: [str(k)] for k in range(1, 5)}}


def test_mixed_values_give_exact_and_numeric_groups():
    objs = [Item(name="t", v="x"), Item(name="b", v=True), Item(name="i", v=3),
            Item(name="f", v=3.0), Item(name="l", v=["x", 2, False])]
    idx = Index()
    idx.add_object_many(objs)
    groups = grouped(idx, "v")
    assert groups == {"x": ["l", "t"], True: ["b"], False: ["l"], 3.0: ["f", "i"], 2.0: ["l"]}
    assert {type(k) for k in idx.group_by("v")} == {str, bool, float}


def test_exact_groups_come_before_numeric_groups_in_ascending_order():
    idx = Index()
    idx.add_object_many([Item(name=str(v), v=v) for v in [9, "b", 2.5, "a", -1, False, 7.0]])
    keys = list(idx.group_by("v"))
    assert set(keys[:3]) == {"a", "b", False}
    assert keys[3:] == [-1.0, 2.5, 7.0, 9.0]


class Key(Indexable):
    """Equal-but-distinct owners: equal and hashable by their `k`."""

    def __eq__(self, other):
        return isinstance(other, Key) and self.k == other.k

    def __hash__(self):
        return hash(self.k)


class Unhashable(Indexable):
    __hash__ = None


def test_values_equal_as_dict_keys_share_one_group():
    # True and 1.0, every None, equal distinct owners: one key each, holding
    # every holder (the key object is the first one met).
    k1, k2 = Key(k=1), Key(k=1)
    objs = [Item(name="t", v=True), Item(name="one", v=1.0), Item(name="n1", v=None),
            Item(name="n2", v=None), Item(name="n3", v=[None, "x"]),
            Item(name="o1", v=k1), Item(name="o2", v=k2)]
    idx = Index()
    idx.add_object_many(objs)
    groups = idx.group_by("v")
    assert names(groups[True].collect()) == ["one", "t"]
    assert names(groups[None].collect()) == ["n1", "n2", "n3"]
    assert names(groups[k1].collect()) == ["o1", "o2"]
    assert len(groups) == 4


def test_values_that_cannot_be_keys_are_left_out():
    objs = [Item(name="a", v=bytearray(b"x")), Item(name="b", v=Unhashable()),
            Item(name="c", v=[{1}.__class__, 2]), Item(name="d", v=2)]
    idx = Index()
    idx.add_object_many(objs)
    assert grouped(idx, "v") == {2.0: ["c", "d"], set: ["c"]}


def test_group_by_unknown_or_valueless_attribute_is_empty():
    idx, _, _ = world()
    assert idx.group_by(f"never_seen_{next(_unique)}") == {}
    assert Index().group_by("kind") == {}
    with pytest.raises(TypeError, match="attr"):
        idx.group_by(5)
    with pytest.raises(TypeError):
        idx.group_by()


def test_group_by_dotted_path_groups_holders():
    idx, _, owners = world()
    assert grouped(idx, "owner.name") == {"alice": ["rex", "tom"], "bob": ["kiki", "max"]}
    assert grouped(idx, "owner.age") == {40.0: ["rex", "tom"], 25.0: ["kiki", "max"]}
    assert grouped(idx, "owner.nosuch") == {}
    owners["bob"].name = "robert"
    assert grouped(idx, "owner.name") == {"alice": ["rex", "tom"], "robert": ["kiki", "max"]}


def test_group_by_list_attribute_files_each_element():
    idx, _, _ = world()
    assert grouped(idx, "tags") == {"a": ["rex"], "b": ["rex", "tom"]}


def test_group_views_are_live_views():
    idx, pets, _ = world()
    dogs = idx.group_by("kind")["dog"]
    pets["rex"].kind = "cat"
    assert names(dogs.collect()) == ["max", "rex"]
    assert names(dogs.reduced(kind="dog").collect()) == ["max"]
    assert names(dogs.reduced_query(Q.gt("age", 5)).collect()) == ["max"]


def test_group_of_a_value_nobody_holds_any_more_disappears():
    idx, pets, _ = world()
    pets["kiki"].kind = "dog"
    assert "bird" not in idx.group_by("kind")
    pets["max"].age = 3
    assert 9.5 not in idx.group_by("age")
    assert grouped(idx, "age")[3.0] == ["kiki", "max", "rex"]
    pets["rex"].tags = ["c"]  # list elements go with the list
    assert grouped(idx, "tags") == {"b": ["tom"], "c": ["rex"]}
    idx.reduce(colour="red")  # as do the entries reduce empties
    assert grouped(idx, "kind") == {"dog": ["rex"], "cat": ["tom"]}


# --------------------------------------------------------------------------
# reduce


def test_reduce_without_keywords_empties_exact_lookups_only():
    idx, pets, _ = world()
    assert idx.reduce() is None
    assert_same(idx.collect(), pets.values())
    for kw in [{"kind": "dog"}, {"kind": "cat"}, {"colour": "red"}, {"tags": "b"}]:
        assert idx.get_by_attribute(**kw) == []
        assert idx.reduced(**kw).collect() == []
    assert found(idx, Q.eq("kind", "dog")) == []
    assert all(v.collect() == [] for v in idx.group_by("kind").values())
    # Ordered and nested lookups are untouched.
    assert names(found(idx, Q.eq("age", 3))) == ["kiki", "rex"]
    assert grouped(idx, "age")[3.0] == ["kiki", "rex"]
    assert names(found(idx, Q.eq("owner.name", "alice"))) == ["rex", "tom"]
    assert names(idx.get_by_attribute(**{"owner.name": "bob"})) == ["kiki", "max"]
    # Ne and Not complement against every object of the index.
    assert names(found(idx, Q.ne("kind", "dog"))) == names(pets.values())


def test_reduce_by_keyword_keeps_matching_objects_in_exact_lookups():
    idx, pets, owners = world()
    idx.reduce(kind="dog")
    assert names(idx.get_by_attribute(kind="dog")) == ["max", "rex"]
    assert idx.get_by_attribute(kind="cat") == []
    assert names(idx.get_by_attribute(colour="red")) == ["rex"]
    assert names(idx.get_by_attribute(colour=["red", "black"])) == ["rex"]
    assert names(found(idx, Q.eq("colour", "blue"))) == ["max"]
    assert names(found(idx, Q.ne("kind", "dog"))) == ["kiki", "luna", "tom"]
    # Cats are still in the index and still found by number and through
    # nested objects.
    assert names(idx.collect()) == names(pets.values())
    assert names(found(idx, Q.eq("age", 7))) == ["tom"]
    assert names(idx.reduced_query(Q.gt("age", 5)).collect()) == ["max", "tom"]
    assert names(found(idx, Q.eq("owner.name", "alice"))) == ["rex", "tom"]
    # Nested objects keep following their holders after the reduction.
    pets["rex"].owner = owners["bob"]
    owners["alice"].name = "alicia"
    assert names(found(idx, Q.eq("owner.name", "alicia"))) == ["tom"]
    assert names(found(idx, Q.eq("owner.name", "bob"))) == ["kiki", "max", "rex"]


def test_reduce_files_every_value_of_the_objects_it_keeps_again():
    # An earlier reduce took x out of the tag's set; a write filed its colour
    # again; a reduce that keeps x files its tag again too.
    x = Item(name="x", colour="red", tag="t", labels=["u", "v"], ok=True, n=4)
    y = Item(name="y", colour="blue", tag="t")
    idx = Index()
    idx.add_object_many([x, y])
    idx.reduce(colour="blue")
    x.colour = "red"
    assert names(idx.get_by_attribute(tag="t")) == ["y"]
    assert idx.get_by_attribute(labels="v") == idx.get_by_attribute(ok=True) == []
    idx.reduce(colour="red")
    for query in ({"tag": "t"}, {"colour": "red"}, {"labels": "v"}, {"ok": True}):
        assert names(idx.get_by_attribute(**query)) == ["x"], query
    assert names(found(idx, Q.eq("n", 4))) == ["x"]


def test_reduce_narrows_further_and_later_writes_are_indexed():
    idx, pets, _ = world()
    idx.reduce(colour=["red", "blue"])
    idx.reduce(kind="dog")
    assert names(idx.get_by_attribute(kind="dog")) == ["max", "rex"]
    assert idx.get_by_attribute(colour="red", kind="cat") == []
    pets["tom"].kind = "dog"
    pets["luna"].colour = "green"
    assert names(idx.get_by_attribute(kind="dog")) == ["max", "rex", "tom"]
    assert names(idx.get_by_attribute(colour="green")) == ["luna"]


def test_reduce_files_kept_containers_as_captured():
    inner = ["y"]
    tags = ["x", inner]
    a = Item(name="a", tags=tags)
    b = Item(name="b", tags=["x"])
    idx = Index()
    idx.add_object_many([a, b])
    tags.append("late")
    inner.append("later")
    idx.reduce(tags="x")
    assert names(idx.get_by_attribute(tags="x")) == ["a", "b"]
    assert names(idx.get_by_attribute(tags="y")) == ["a"]
    assert idx.get_by_attribute(tags=["late", "later"]) == []
    a.tags = "z"
    assert names(idx.get_by_attribute(tags="x")) == ["b"]
    assert idx.get_by_attribute(tags=["y", "late", "later"]) == []


def test_reduce_by_dotted_keyword_and_unknown_attribute():
    idx, _, _ = world()
    idx.reduce(**{"owner.name": "bob"})
    assert names(idx.get_by_attribute(kind=["dog", "bird", "cat"])) == ["kiki", "max"]
    idx.reduce(nosuch="x")
    assert idx.get_by_attribute(kind=["dog", "bird", "cat"]) == []
    assert names(found(idx, Q.lt("age", 5))) == ["kiki", "luna", "rex"]


def test_reduce_refuses_positional_arguments_without_change():
    idx, _, _ = world()
    with pytest.raises(TypeError):
        idx.reduce({"kind": "dog"})
    assert names(idx.get_by_attribute(kind="cat")) == ["luna", "tom"]


# --------------------------------------------------------------------------
# union_with


def _union_pair():
    """Two indexes whose ids do not interleave: every object of ``right``
    has a larger id than every object of ``left``."""
    pool = by_id([Item() for _ in range(60)])
    l_objs, r_objs = pool[:3], pool[-3:]
    for o, (n, k) in zip(l_objs, [("a1", "dog"), ("a2", "cat"), ("a3", "dog")]):
        o.name, o.kind, o.age = n, k, 1
    for o, (n, k) in zip(r_objs, [("b1", "dog"), ("b2", "bird"), ("b3", "cat")]):
        o.name, o.kind, o.age, o.only_right = n, k, 2, "yes"
    left, right = Index(), Index()
    for o in l_objs:
        left.add_object(o)
    for o in r_objs:
        right.add_object(o)
    return left, right, {o.name: o for o in l_objs + r_objs}


def test_union_merges_only_values_present_in_both():
    left, right, objs = _union_pair()
    assert left.union_with(right) is None
    assert names(left.get_by_attribute(kind="dog")) == ["a1", "a3", "b1"]
    assert names(left.get_by_attribute(kind="cat")) == ["a2", "b3"]
    assert left.get_by_attribute(kind="bird") == []
    assert left.get_by_attribute(only_right="yes") == []
    # Numbers are not merged; the other index's objects are not members.
    assert found(left, Q.eq("age", 2)) == []
    assert names(left.collect()) == ["a1", "a2", "a3"]
    # The other index is unchanged.
    assert names(right.get_by_attribute(kind="dog")) == ["b1"]
    assert names(right.collect()) == ["b1", "b2", "b3"]
    # Attributes that only the other index had work normally here later.
    late = Item(name="late", only_right="yes")
    left.add_object(late)
    assert names(left.get_by_attribute(only_right="yes")) == ["late"]


def test_union_results_are_the_real_objects_in_id_order():
    left, right, objs = _union_pair()
    left.union_with(other=right)
    got = left.get_by_attribute(kind=["dog", "cat"])
    assert all(o is objs[o.name] for o in got)
    assert in_id_order(got, by_id(objs.values()))
    # Views over merged values never hand out anything else either.
    for view in [left.reduced(kind="dog"), left.reduced_query(Q.eq("kind", "dog"))]:
        listed = view.collect()
        assert ids(listed) <= ids([objs["a1"], objs["a3"], objs["b1"]])
        assert ids([objs["a1"], objs["a3"]]) <= ids(listed)


def test_union_follows_later_changes_of_the_other_objects():
    left, right, objs = _union_pair()
    left.union_with(right)
    objs["b1"].kind = "cat"
    assert names(left.get_by_attribute(kind="dog")) == ["a1", "a3"]
    assert "b1" in names(left.get_by_attribute(kind="cat"))
    assert names(right.get_by_attribute(kind="cat")) == ["b1", "b3"]


def test_union_survives_the_other_index_and_its_objects():
    left, right, objs = _union_pair()
    left.union_with(right)
    del right
    collect_garbage()
    got = left.get_by_attribute(kind="dog")
    assert ids(got) <= ids([objs["a1"], objs["a3"], objs["b1"]])
    assert ids([objs["a1"], objs["a3"]]) <= ids(got)
    del got
    # Once the other objects are gone, their ids may go to new objects; those
    # must never be returned for values they do not hold.
    a_objs = [objs[n] for n in ("a1", "a2", "a3")]
    objs.clear()
    collect_garbage()
    newcomers = [Item(name=f"new{k}", kind="fish") for k in range(10)]
    got = left.get_by_attribute(kind=["dog", "cat"])
    assert not ids(got) & ids(newcomers)
    assert ids([a_objs[0], a_objs[1], a_objs[2]]) <= ids(got)
    assert names(left.collect()) == ["a1", "a2", "a3"]


def test_union_with_itself_changes_nothing():
    idx, pets, _ = world()
    idx.union_with(idx)
    assert grouped(idx, "kind") == {"dog": ["max", "rex"], "cat": ["luna", "tom"],
                                   "bird": ["kiki"]}
    assert names(idx.collect()) == names(pets.values())
    pets["rex"].kind = "cat"
    assert names(idx.get_by_attribute(kind="dog")) == ["max"]


@pytest.mark.parametrize("bad", [None, 5, "index", [Index()]])
def test_union_with_refuses_non_indexes(bad):
    idx, _, _ = world()
    with pytest.raises(TypeError, match="other"):
        idx.union_with(bad)
    with pytest.raises(TypeError, match="other"):
        idx.union_with(idx.reduced(kind="dog"))


# --------------------------------------------------------------------------
# rebase


def test_rebase_of_an_empty_view():
    idx, _, _ = world()
    rebased = idx.reduced(kind="nothing").rebase()
    assert type(rebased) is Index
    assert rebased.collect() == []
    assert rebased.get_by_attribute(kind="dog") == []
    assert found(rebased, Q.not_(Q.and_())) == []
    assert found(rebased, Q.ge("age", 0)) == []
    assert rebased.group_by("kind") == {}
    newcomer = Item(name="new", kind="dog")
    rebased.add_object(newcomer)
    assert_same(rebased.get_by_attribute(kind="dog"), [newcomer])
    assert_same(rebased.collect(), [newcomer])


def _ten():
    objs = [Item(name=f"o{k}", k=k, kind="even" if k % 2 == 0 else "odd",
                 tags=[f"t{k}", "all"]) for k in range(10)]
    idx = Index()
    idx.add_object_many(objs)
    return idx, objs


def test_rebase_of_two_objects_out_of_ten():
    idx, objs = _ten()
    view = idx.reduced_query(Q.in_("k", [3, 7]))
    rebased = view.rebase()
    assert [id(o) for o in rebased.collect()] == [id(o) for o in view.collect()]
    assert names(rebased.collect()) == ["o3", "o7"]
    assert names(rebased.get_by_attribute(kind="odd")) == ["o3", "o7"]
    assert rebased.get_by_attribute(kind="even") == []
    assert names(rebased.get_by_attribute(tags="all")) == ["o3", "o7"]
    assert names(found(rebased, Q.ne("k", 3))) == ["o7"]
    assert names(found(rebased, Q.ge("k", 0))) == ["o3", "o7"]
    assert grouped(rebased, "k") == {3.0: ["o3"], 7.0: ["o7"]}
    # The source is untouched.
    assert len(idx.collect()) == 10


def test_rebased_index_follows_its_objects_only():
    idx, objs = _ten()
    rebased = idx.reduced_query(Q.in_("k", [3, 7])).rebase()
    objs[3].kind = "three"
    objs[3].k = 33
    for target in (idx, rebased):
        assert names(target.get_by_attribute(kind="three")) == ["o3"]
        assert names(found(target, Q.eq("k", 33))) == ["o3"]
        assert found(target, Q.eq("k", 3)) == []
    objs[4].kind = "four"
    objs[4].k = 44
    assert names(idx.get_by_attribute(kind="four")) == ["o4"]
    assert names(found(idx, Q.eq("k", 44))) == ["o4"]
    assert rebased.get_by_attribute(kind="four") == []
    assert found(rebased, Q.eq("k", 44)) == []
    assert names(rebased.collect()) == ["o3", "o7"]


def test_rebased_maps_are_independent_of_the_source():
    idx, objs = _ten()
    rebased = idx.reduced(kind="odd").rebase()
    rebased.reduce(tags="t1")
    assert names(rebased.get_by_attribute(kind="odd")) == ["o1"]
    assert len(idx.get_by_attribute(kind="odd")) == 5
    idx.reduce()
    assert idx.get_by_attribute(kind="odd") == []
    assert names(rebased.get_by_attribute(kind="odd")) == ["o1"]
    # The rebased index keeps following changes after the source is gone.
    del idx
    collect_garbage()
    objs[9].kind = "nine"
    assert names(rebased.get_by_attribute(kind="nine")) == ["o9"]


def test_rebase_indexes_nested_objects():
    idx, pets, owners = world()
    rebased = idx.reduced(kind="cat").rebase()
    assert names(rebased.get_by_attribute(**{"owner.name": "alice"})) == ["tom"]
    assert names(found(rebased, Q.eq("owner.name", "alice"))) == ["tom"]
    assert names(found(rebased, Q.gt("owner.age", 30))) == ["tom"]
    assert grouped(rebased, "owner.name") == {"alice": ["tom"]}
    owners["alice"].name = "alicia"
    assert names(found(rebased, Q.eq("owner.name", "alicia"))) == ["tom"]
    assert found(rebased, Q.eq("owner.name", "alice")) == []
    pets["luna"].owner = owners["bob"]
    assert names(found(rebased, Q.eq("owner.name", "bob"))) == ["luna"]
    pets["tom"].owner = None
    assert found(rebased, Q.eq("owner.name", "alicia")) == []
    assert names(found(idx, Q.eq("owner.name", "alicia"))) == ["rex"]


def test_rebase_files_containers_as_captured():
    inner = ["y"]
    tags = ["x", inner]
    a = Item(name="a", tags=tags)
    idx = Index()
    idx.add_object(a)
    tags.append("late")
    inner.append("later")
    rebased = idx.reduced(tags="x").rebase()
    assert names(rebased.get_by_attribute(tags="x")) == ["a"]
    assert names(rebased.get_by_attribute(tags="y")) == ["a"]
    assert rebased.get_by_attribute(tags=["late", "later"]) == []
    a.tags = ["z"]
    for target in (idx, rebased):
        assert target.get_by_attribute(tags=["x", "y", "late", "later"]) == []
        assert names(target.get_by_attribute(tags="z")) == ["a"]


def test_rebase_of_a_group():
    idx, pets, _ = world()
    dogs = idx.group_by("kind")["dog"].rebase()
    assert names(dogs.collect()) == ["max", "rex"]
    assert names(found(dogs, Q.ne("colour", "red"))) == ["max"]


def test_rebase_with_attributes_first_seen_late():
    # Fresh names get the highest attribute ids; an object having only such
    # attributes is still indexed under each of them.
    fresh = [f"late_{next(_unique)}" for _ in range(3)]
    a = Item(**{fresh[2]: "z", fresh[0]: 1})
    b = Item(**{fresh[1]: "y", "name": "b"})
    a.name = "a"
    idx = Index()
    idx.add_object_many([a, b])
    rebased = idx.reduced_query(Q.not_(Q.and_())).rebase()
    assert_same(rebased.get_by_attribute(**{fresh[2]: "z"}), [a])
    assert_same(rebased.get_by_attribute(**{fresh[1]: "y"}), [b])
    assert_same(found(rebased, Q.eq(fresh[0], 1)), [a])
    assert_same(rebased.get_by_attribute(name=["a", "b"]), [a, b])


def test_rebase_of_a_view_of_a_rebased_index():
    idx, objs = _ten()
    first = idx.reduced(kind="even").rebase()
    second = first.reduced_query(Q.gt("k", 4)).rebase()
    assert names(second.collect()) == ["o6", "o8"]
    objs[6].kind = "six"
    for target in (idx, first, second):
        assert names(target.get_by_attribute(kind="six")) == ["o6"]
