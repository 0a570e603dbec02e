"""Objects that refer to each other are freed by the cycle collector, with
their finalisers run and their weak references cleared; objects still stored
in a live index stay alive (and findable) until the index goes."""

import gc
import weakref

import pytest

from Zarvex import Index, Indexable, PyQueryExpr as Q


class Node(Indexable):
    pass


class Payload:
    """A plain object hung on each cycle: its weak reference tells whether
    the cycle (base-class objects included, which take no weak references)
    was freed."""


def pair():
    a = Node(name="a", payload=Payload())
    b = Node(name="b", peer=a)
    a.peer = b
    return [a, b]


def base_class_pair():
    a = Indexable(name="a", payload=Payload())
    b = Indexable(name="b", peer=a)
    a.peer = b
    return [a, b]


def parent_and_children():
    parent = Node(name="parent", payload=Payload())
    parent.kids = [Node(name=f"kid{i}", rank=i, parent=parent) for i in range(3)]
    return [parent, *parent.kids]


def self_reference():
    a = Node(name="self", payload=Payload())
    a.me = a
    return [a]


def through_containers():
    a = Node(name="a", payload=Payload())
    b = Node(name="b", links=(a, [a]), by_name={"a": a})
    a.back = {b}
    return [a, b]


def holding_an_index():
    # An index is an attribute value of objects of the cycle (it holds none of them).
    a = Node(name="a", payload=Payload())
    idx = Index()
    b = Node(name="b", peer=a, registry=idx)
    idx.add_object(Node(name="other", registry=idx))
    a.peer = b
    return [a, b]


CYCLES = [pair, base_class_pair, parent_and_children, self_reference, through_containers, holding_an_index]


def watch(objs):
    refs = [weakref.ref(objs[0].payload)]
    refs += [weakref.ref(o) for o in objs if isinstance(o, Node)]
    return refs


@pytest.mark.parametrize("make", CYCLES)
def test_unreachable_cycles_are_freed(make):
    objs = make()
    refs = watch(objs)
    del objs
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


@pytest.mark.parametrize("make", [pair, base_class_pair, parent_and_children, self_reference, through_containers])
@pytest.mark.parametrize("how", ["add_object", "add_object_many", "nested"])
def test_cycles_in_a_live_index_stay_alive_until_the_index_goes(make, how):
    objs = make()
    first = objs[0]
    idx = Index()
    holder = None
    if how == "add_object":
        idx.add_object(first)
    elif how == "add_object_many":
        idx.add_object_many(objs)
    else:
        # Held only through a nested level: a top-level holder outside the cycle.
        holder = Node(name="holder", held=first)
        idx.add_object(holder)
    refs = watch(objs)
    name = first.name
    del objs, first
    for _ in range(2):
        gc.collect()
    assert all(r() is not None for r in refs)
    if how == "nested":
        found = idx.get_by_attribute(**{"held.name": name})
        assert found == [holder]
        assert found[0].held.payload is refs[0]()
        del found, holder
    else:
        found = idx.get_by_attribute(name=name)
        assert len(found) == 1 and found[0].payload is refs[0]()
        assert idx.reduced_query(Q.eq("name", name)).collect() == found
        del found
    del idx
    gc.collect()
    assert [r() for r in refs] == [None] * len(refs)


def test_finalisers_of_collected_objects_see_their_attributes():
    seen = []

    class Finalised(Indexable):
        def __del__(self):
            seen.append((self.name, self.peer.name, len(self.peer.kids)))

    for k in range(50):
        a = Finalised(name=f"a{k}")
        b = Finalised(name=f"b{k}", peer=a, kids=[a])
        a.peer = b
        a.kids = [b, a]
    del a, b
    gc.collect()
    assert sorted(seen) == sorted([(f"a{k}", f"b{k}", 1) for k in range(50)] +
                                  [(f"b{k}", f"a{k}", 2) for k in range(50)])


def test_an_object_resurrected_by_a_finaliser_stays_usable():
    keep = []

    class Phoenix(Indexable):
        def __del__(self):
            keep.append(self)

    a = Phoenix(name="a")
    b = Node(name="b", peer=a)
    a.peer = b
    del a, b
    gc.collect()
    assert len(keep) == 1
    # The finaliser ran before anything was cleared: the whole cycle lives on.
    assert keep[0].peer.peer is keep[0] and keep[0].peer.name == "b"
    idx = Index()
    idx.add_object(keep[0])
    assert idx.get_by_attribute(**{"peer.name": "b"}) == keep
