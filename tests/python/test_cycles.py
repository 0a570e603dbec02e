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


def fifth_slot_self_reference():
    # The fifth value of a map of five is held in the map's tail word.
    a = Node(name="fifth", payload=Payload(), b=1, c=2)
    a.me = a
    return [a]


def self_reference_moved_by_a_sixth():
    # A sixth attribute moves the fifth value into the overflow array.
    a = Node(name="sixth", payload=Payload(), b=1, c=2)
    a.me = a
    a.more = 3
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


def stored_in_the_index_it_holds():
    a = Node(name="a", payload=Payload())
    idx = Index()
    a.idx = idx
    idx.add_object(a)
    return [a]


def family_holding_its_index():
    # The index is reached only from the objects it stores, top level and nested.
    parent = Node(name="parent", payload=Payload())
    idx = Index()
    parent.kids = [Node(name=f"kid{i}", parent=parent, idx=idx) for i in range(3)]
    parent.idx = idx
    idx.add_object(parent)
    return [parent, *parent.kids]


def holding_a_view_of_its_index():
    a = Node(name="a", payload=Payload())
    idx = Index()
    idx.add_object_many([a, Node(name="b", payload=Payload())])
    a.view = idx.reduced(name="a")
    return [a]


def holding_its_index_and_views_of_it():
    # The index is in the cycle together with views sharing its maps and store.
    a = Node(name="a", payload=Payload())
    idx = Index()
    idx.add_object_many([a, Node(name="b", payload=Payload())])
    a.idx, a.view, a.groups = idx, idx.reduced(name="a"), idx.group_by("name")
    a.narrowed = a.view.reduced_query(Q.eq("name", "a")) | a.view
    return [a]


CYCLES = [pair, base_class_pair, parent_and_children, self_reference, fifth_slot_self_reference,
          self_reference_moved_by_a_sixth, through_containers, holding_an_index,
          stored_in_the_index_it_holds, family_holding_its_index, holding_a_view_of_its_index,
          holding_its_index_and_views_of_it]


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
@pytest.mark.parametrize("how", ["add_object", "add_object_many", "nested", "holding_it", "holding_a_view"])
def test_cycles_in_a_live_index_stay_alive_until_the_index_goes(make, how):
    objs = make()
    first = objs[0]
    idx = Index()
    holder = None
    if how == "add_object":
        idx.add_object(first)
    elif how in ("holding_it", "holding_a_view"):
        # The objects hold the index (or a view sharing its parts): once the
        # index goes, the index is part of their cycle.
        idx.add_object_many(objs)
        held = idx if how == "holding_it" else idx.reduced(name=first.name)
        for o in objs:
            o.held_index = held
        del held, o
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


@pytest.mark.parametrize("other", ["union_with", "view"])
def test_objects_an_index_shares_with_a_live_holder_survive_its_collection(other):
    # `first` is freed with the object that holds it; `shared` is held only
    # through `first` and through a live holder that shares its handle or
    # parts (an index made by union, or a view while `first` lives).
    shared = Node(name="shared", payload=Payload())
    first = Index()
    first.add_object(shared)
    a = Node(name="a", idx=first)
    first.add_object(a)
    if other == "union_with":
        # A union takes in the other index's objects that hold a value both have.
        keep = Index()
        keep.add_object(Node(name="shared"))
        keep.union_with(first)
        _pinned = keep.reduced(name="a")  # a view: `keep` then shows nothing to the collector
    else:
        a.view = keep = first.reduced(name="shared")
    refs = [weakref.ref(shared), weakref.ref(shared.payload)]
    del shared, a, first
    for _ in range(2):
        gc.collect()
    assert [r() is not None for r in refs] == [True, True]
    found = [o for o in keep.collect() if o.name == "shared" and hasattr(o, "payload")]
    if other == "union_with":
        found = [o for o in keep.get_by_attribute(name="shared") if hasattr(o, "payload")]
    assert found == [refs[0]()] and found[0].payload is refs[1]()
