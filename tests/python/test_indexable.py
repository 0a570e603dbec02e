"""Indexable objects: construction from keywords, native attribute storage
(reads, writes, refused deletes, missing names), subclasses, __dir__, repr,
the attribute map past its inline size, reuse of freed instances, and long
chains of objects."""
import gc
import sys
import threading
import uuid
import weakref

import pytest

from Zarvex import Indexable, PyQueryExpr


class Payload:
    """A value whose release a weak reference can observe."""


def names_of(n, prefix="attr"):
    return [f"{prefix}{i}" for i in range(n)]


# --- construction and repr --------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, count",
    [
        ((), {}, 0),
        ((1, 2), {"a": 1}, 1),
        (("ignored",), {}, 0),
        ((), {"a": 1, "b": "two", "c": [3]}, 3),
        ((), {f"k{i}": i for i in range(12)}, 12),
    ],
)
def test_repr_counts_the_keyword_attributes(args, kwargs, count):
    obj = Indexable(*args, **kwargs)
    assert repr(obj) == f"<Indexable with {count} attributes>"
    for name, value in kwargs.items():
        assert getattr(obj, name) == value


def test_positional_arguments_are_not_stored():
    obj = Indexable(1, 2, a=3)
    assert obj.a == 3
    assert obj.__dir__()[:1] == ["a"]
    assert "1" not in obj.__dir__()


@pytest.mark.parametrize("kind", ["base", "subclass"])
def test_an_initialiser_set_on_a_class_already_used_is_called(kind):
    cls = Indexable if kind == "base" else type("Sub", (Indexable,), {})
    assert cls(c=0).c == 0
    calls = []
    cls.__init__ = lambda self, *args, **kwargs: calls.append((args, kwargs))
    try:
        obj = cls(a=1, b="x")
    finally:
        del cls.__init__
    assert calls == [((), {"a": 1, "b": "x"})]
    assert (obj.a, obj.b) == (1, "x")
    assert cls(c=2).c == 2 and len(calls) == 1


def test_repr_follows_assignments():
    obj = Indexable(a=1)
    obj.b = 2
    assert repr(obj) == "<Indexable with 2 attributes>"
    obj.a = 10  # replacing does not add an entry
    assert repr(obj) == "<Indexable with 2 attributes>"
    obj._hidden = 3
    assert repr(obj) == "<Indexable with 3 attributes>"


def test_subclass_repr_uses_the_base_wording():
    class Point(Indexable):
        pass

    assert repr(Point()) == "<Indexable with 0 attributes>"
    assert repr(Point(x=1, y=2)) == "<Indexable with 2 attributes>"


def test_subclass_initialiser_receives_the_positional_arguments():
    class Pair(Indexable):
        def __init__(self, left, right, **kwargs):
            self.total = left + right

    pair = Pair(3, 4, label="p")
    assert pair.total == 7
    assert pair.label == "p"
    assert type(pair) is Pair
    assert isinstance(pair, Indexable)


def test_subclass_without_initialiser_accepts_positional_arguments():
    class Thing(Indexable):
        pass

    thing = Thing(1, 2, 3, name="t")
    assert thing.name == "t"
    assert repr(thing) == "<Indexable with 1 attributes>"


def test_keyword_names_that_are_not_identifiers_are_stored():
    names = {"with space": 1, "dotted.name": 2, "": 3, "é": 4, "🙂": 5, "日本": 6}
    obj = Indexable(**names)
    for name, value in names.items():
        assert getattr(obj, name) == value
    assert obj.__dir__()[: len(names)] == list(names)


# --- writes, reads, deletes --------------------------------------------------


@pytest.mark.parametrize("name", ["_private", "__dunder_like", "_", "__x__", "plain"])
def test_every_name_is_stored_in_the_object(name):
    obj = Indexable()
    setattr(obj, name, 41)
    assert getattr(obj, name) == 41
    assert obj.__dir__()[0] == name
    assert repr(obj) == "<Indexable with 1 attributes>"
    setattr(obj, name, 42)
    assert getattr(obj, name) == 42


def test_underscore_names_from_the_constructor_are_stored():
    obj = Indexable(_a=1, __b=2)
    assert obj._a == 1
    assert getattr(obj, "__b") == 2
    assert repr(obj) == "<Indexable with 2 attributes>"


@pytest.mark.parametrize("how", ["del", "delattr"])
def test_deleting_is_refused_and_the_value_stays(how):
    obj = Indexable(a=1, b="text")
    with pytest.raises(AttributeError) as info:
        if how == "del":
            del obj.a
        else:
            delattr(obj, "a")
    assert str(info.value) == "can't delete attribute"
    assert obj.a == 1
    assert repr(obj) == "<Indexable with 2 attributes>"


def test_deleting_a_missing_name_is_refused_too():
    obj = Indexable()
    with pytest.raises(AttributeError, match="can't delete attribute"):
        del obj.missing
    assert repr(obj) == "<Indexable with 0 attributes>"


def test_deleting_does_not_touch_the_indexes(index_of):
    obj = Indexable(tag="kept")
    index = index_of(obj)
    with pytest.raises(AttributeError):
        del obj.tag
    assert index.get_by_attribute(tag="kept") == [obj]


@pytest.mark.parametrize("name", ["missing", "_missing", "__missing__", "é", "a" * 100, "\ud800"])
def test_missing_names_raise_attribute_error_with_the_name(name):
    obj = Indexable(present=1)
    with pytest.raises(AttributeError) as info:
        getattr(obj, name)
    assert type(info.value) is AttributeError
    assert info.value.args == (name,)
    assert hasattr(obj, name) is False
    assert getattr(obj, name, "default") == "default"


def test_missing_name_error_carries_the_name_alone():
    with pytest.raises(AttributeError) as info:
        Indexable().nothing_here
    assert str(info.value) == "nothing_here"


def test_reading_a_missing_name_does_not_create_it():
    obj = Indexable()
    for _ in range(3):
        assert not hasattr(obj, "ghost")
    assert repr(obj) == "<Indexable with 0 attributes>"
    assert "ghost" not in obj.__dir__()


def test_assignment_with_a_name_that_has_no_utf8_form_fails_cleanly():
    obj = Indexable(a=1)
    with pytest.raises(UnicodeEncodeError):
        setattr(obj, "\ud800", 1)
    assert obj.a == 1
    assert repr(obj) == "<Indexable with 1 attributes>"


def test_non_string_names_are_refused_by_the_slots_themselves():
    obj = Indexable(a=1)
    with pytest.raises(TypeError):
        Indexable.__setattr__(obj, 1, 2)
    with pytest.raises(TypeError):
        Indexable.__getattribute__(obj, 1)
    assert repr(obj) == "<Indexable with 1 attributes>"


def test_names_are_compared_as_whole_texts():
    obj = Indexable()
    setattr(obj, "a\x00b", 1)
    assert getattr(obj, "a\x00b") == 1
    assert not hasattr(obj, "a")
    assert obj.__dir__()[0] == "a\x00b"
    obj.a = 2
    assert getattr(obj, "a\x00b") == 1 and obj.a == 2


def test_str_subclass_names_reach_the_same_attribute():
    class Name(str):
        pass

    obj = Indexable()
    setattr(obj, Name("label"), "x")
    assert obj.label == "x"
    assert getattr(obj, Name("label")) == "x"


def test_attribute_paths_leak_no_references():
    value = object()
    name = "".join(["not", "_", "there"])
    obj = Indexable(v=value)

    def exercise():
        obj.v = value
        assert obj.v is value
        assert not hasattr(obj, name)
        with pytest.raises(AttributeError):
            delattr(obj, name)
        obj.__dir__()
        repr(obj)

    # The interpreter's own caches may keep a reference or two to a name it
    # has looked up; a leak on one of these paths grows with every round.
    for _ in range(50):
        exercise()
    before = sys.getrefcount(value), sys.getrefcount(name)
    for _ in range(1000):
        exercise()
    after = sys.getrefcount(value), sys.getrefcount(name)
    assert after[0] == before[0]
    assert abs(after[1] - before[1]) <= 2


# --- subclasses: properties, methods, class attributes ----------------------


class Shadowed(Indexable):
    calls = []

    @property
    def p(self):
        Shadowed.calls.append("get")
        return "from getter"

    @p.setter
    def p(self, value):
        Shadowed.calls.append("set")

    def method(self):
        return "method result"

    kind = "class attribute"


def test_stored_value_shadows_a_property_without_calling_it():
    Shadowed.calls.clear()
    obj = Shadowed()
    obj.p = 5
    assert obj.p == 5
    obj.p = 6
    assert obj.p == 6
    assert Shadowed.calls == []


def test_property_is_used_while_nothing_is_stored_under_its_name():
    Shadowed.calls.clear()
    assert Shadowed().p == "from getter"
    assert Shadowed.calls == ["get"]


def test_keyword_argument_shadows_a_property():
    Shadowed.calls.clear()
    obj = Shadowed(p="stored")
    assert obj.p == "stored"
    assert Shadowed.calls == []


def test_methods_and_class_attributes_stay_reachable():
    obj = Shadowed(x=1)
    assert obj.method() == "method result"
    assert obj.kind == "class attribute"
    obj.kind = "instance value"
    assert obj.kind == "instance value"
    assert Shadowed.kind == "class attribute"
    assert Shadowed().kind == "class attribute"


def test_a_stored_value_shadows_a_method_of_that_object_only():
    obj = Shadowed()
    obj.method = 3
    assert obj.method == 3
    assert Shadowed().method() == "method result"


def test_errors_other_than_attribute_error_pass_through_unchanged():
    class Failing(Indexable):
        @property
        def broken(self):
            raise RuntimeError("getter failed")

    with pytest.raises(RuntimeError, match="getter failed"):
        Failing().broken


def test_attribute_error_subclasses_become_a_plain_attribute_error():
    class SpecialError(AttributeError):
        pass

    class Raising(Indexable):
        @property
        def odd(self):
            raise SpecialError("inner message")

    with pytest.raises(AttributeError) as info:
        Raising().odd
    assert type(info.value) is AttributeError
    assert info.value.args == ("odd",)


def test_subclass_getattr_hook_only_sees_missing_names():
    class WithFallback(Indexable):
        def __getattr__(self, name):
            return f"fallback:{name}"

    obj = WithFallback(stored=1)
    assert obj.stored == 1
    assert obj.absent == "fallback:absent"
    obj.absent = 2
    assert obj.absent == 2


def test_subclass_setattr_override_can_delegate_to_native_storage():
    seen = []

    class Logged(Indexable):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    obj = Logged(initial=0)  # keyword arguments are stored by the constructor itself
    obj.later = 1
    assert seen == ["later"]
    assert (obj.initial, obj.later) == (0, 1)
    assert repr(obj) == "<Indexable with 2 attributes>"


def test_subclass_instance_dict_is_never_used():
    class WithDict(Indexable):
        pass

    obj = WithDict(a=1)
    obj.b = 2
    assert vars(obj) == {}
    assert obj.__dict__ == {}
    assert obj.a == 1 and obj.b == 2


def test_slotted_subclass_stores_natively():
    class Slotted(Indexable):
        __slots__ = ("x",)

    obj = Slotted()
    with pytest.raises(AttributeError) as info:
        obj.x
    assert info.value.args == ("x",)
    obj.x = 10
    assert obj.x == 10
    assert repr(obj) == "<Indexable with 1 attributes>"


def test_base_class_has_no_instance_dict():
    obj = Indexable(a=1)
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(TypeError):
        weakref.ref(obj)


# --- __dir__ -----------------------------------------------------------------


def test_dir_lists_stored_names_in_insertion_order_then_object_dir():
    obj = Indexable(zeta=1, alpha=2)
    obj.mid = 3
    obj.zeta = 4  # replacing keeps the original position
    listed = obj.__dir__()
    assert listed[:3] == ["zeta", "alpha", "mid"]
    assert listed[3:] == object.__dir__(obj)


def test_objects_of_one_class_keep_their_own_names_and_order():
    """Objects of one class given attributes in different orders, extended
    after construction, and given more names than objects usually have, each
    keep exactly their own names and values however the others grew."""
    many = [f"n{i}" for i in range(70)]
    orders = [["a", "b", "c"], ["a", "b", "c", "d"], ["a", "c", "b"], ["b"], many, many[::-1], ["a", "b"]]
    objs = []
    for k, order in enumerate(orders):
        obj = Shadowed(**{order[0]: (k, 0)})
        for j, name in enumerate(order[1:], 1):
            setattr(obj, name, (k, j))
        objs.append(obj)
    objs.append(Shadowed(a=(len(orders), 0), c=(len(orders), 1)))
    orders.append(["a", "c"])
    built = ["a", "b", "c", "d", "e"]  # sized by the constructor, then grown twice
    grown = Shadowed(**{name: (len(orders), j) for j, name in enumerate(built)})
    for j, name in enumerate("fgh", len(built)):
        setattr(grown, name, (len(orders), j))
    objs.append(grown)
    orders.append(built + list("fgh"))
    for k, (obj, order) in enumerate(zip(objs, orders)):
        assert obj.__dir__()[: len(order)] == order
        assert obj.__getstate__() == {name: (k, j) for j, name in enumerate(order)}
        assert repr(obj) == f"<Indexable with {len(order)} attributes>"
    objs[0].d = "late"  # the object with a, b, c now follows the one with a, b, c, d
    assert objs[0].__dir__()[:4] == ["a", "b", "c", "d"] and objs[1].d == (1, 3)


def test_dir_of_a_subclass_does_not_deduplicate():
    obj = Shadowed()
    obj.p = 1
    listed = obj.__dir__()
    assert listed[0] == "p"
    assert listed[1:] == object.__dir__(obj)
    assert listed.count("p") == 2
    assert "method" in listed


def test_builtin_dir_sorts_everything():
    obj = Indexable(b=1, a=2)
    listed = dir(obj)
    assert listed == sorted(listed)
    assert {"a", "b", "__repr__", "__dir__"} <= set(listed)


def test_dir_past_the_inline_map_lists_every_stored_name_first():
    names = names_of(12)
    obj = Indexable(**{n: i for i, n in enumerate(names)})
    listed = obj.__dir__()
    assert sorted(listed[:12]) == sorted(names)
    assert listed[12:] == object.__dir__(obj)


def test_dir_resolves_names_never_seen_before():
    names = [f"fresh_{uuid.uuid4().hex}" for _ in range(600)]
    obj = Indexable(**{n: 0 for n in names[:300]})
    for n in names[300:]:
        setattr(obj, n, 1)
    listed = obj.__dir__()
    assert sorted(listed[:600]) == sorted(names)


# --- the attribute map past eight entries ------------------------------------


@pytest.mark.parametrize("count", [4, 5, 6, 7, 8, 9, 12, 17, 300])
def test_many_attributes_stay_readable_and_writable(count):
    names = names_of(count)
    obj = Indexable(**{n: i for i, n in enumerate(names)})
    assert repr(obj) == f"<Indexable with {count} attributes>"
    for i, n in enumerate(names):
        assert getattr(obj, n) == i
    for i, n in enumerate(names):
        setattr(obj, n, f"v{i}")
        # Every other attribute keeps its value after each write.
        assert getattr(obj, n) == f"v{i}"
    for i, n in enumerate(names):
        assert getattr(obj, n) == f"v{i}"
    assert repr(obj) == f"<Indexable with {count} attributes>"
    assert not hasattr(obj, f"attr{count}")


def test_attributes_added_one_by_one_across_the_switch():
    obj = Indexable()
    names = names_of(12, "grow")
    for i, n in enumerate(names):
        setattr(obj, n, i * 10)
        assert repr(obj) == f"<Indexable with {i + 1} attributes>"
        for j, earlier in enumerate(names[: i + 1]):
            assert getattr(obj, earlier) == j * 10
    # Rewriting an existing name at exactly eight entries does not grow the map.
    eight = Indexable(**{n: 0 for n in names_of(8, "e")})
    eight.e3 = "replaced"
    assert repr(eight) == "<Indexable with 8 attributes>"
    assert eight.e3 == "replaced"


def test_twelve_attributes_are_updated_in_an_index(index_of):
    names = names_of(12, "field")
    obj = Indexable(**{n: f"old{i}" for i, n in enumerate(names)})
    index = index_of(obj)
    for i, n in enumerate(names):
        assert index.get_by_attribute(**{n: f"old{i}"}) == [obj]
        setattr(obj, n, f"new{i}")
    for i, n in enumerate(names):
        assert getattr(obj, n) == f"new{i}"
        assert index.get_by_attribute(**{n: f"new{i}"}) == [obj]
        assert index.get_by_attribute(**{n: f"old{i}"}) == []


# --- lifetime: freed instances, chains ---------------------------------------


def test_new_objects_never_see_attributes_of_freed_ones():
    class Sub(Indexable):
        pass

    for _ in range(3):
        batch = [Indexable(a=i, b="x" * 40, c=[i]) for i in range(700)]
        batch += [Sub(a=i, d=i) for i in range(300)]
        del batch
        fresh = [Indexable() for _ in range(700)] + [Sub() for _ in range(300)]
        for obj in fresh:
            assert repr(obj) == "<Indexable with 0 attributes>"
            assert not hasattr(obj, "a")
        assert all(type(o) is Indexable for o in fresh[:700])
        assert all(type(o) is Sub for o in fresh[700:])
        del fresh


def test_freed_subclass_instances_release_their_weak_references():
    class Node(Indexable):
        pass

    nodes = [Node(i=i) for i in range(600)]
    refs = [weakref.ref(n) for n in nodes]
    del nodes
    gc.collect()
    assert all(r() is None for r in refs)
    again = [Node(i=i) for i in range(600)]
    refs = [weakref.ref(n) for n in again]
    assert [r().i for r in refs] == list(range(600))


def test_objects_in_a_query_stay_usable_after_many_deaths(index_of):
    # Ids freed by dead objects are reused; live objects in an index must
    # still be found by their own values, not by those of the dead.
    keep = [Indexable(tag=f"k{i}") for i in range(50)]
    index = index_of(*keep)
    for _ in range(5):
        temporaries = [Indexable(tag="temp") for _ in range(200)]
        del temporaries
    newcomers = [Indexable(tag=f"n{i}") for i in range(50)]
    for obj in newcomers:
        index.add_object(obj)
    for i in range(50):
        assert index.get_by_attribute(tag=f"k{i}") == [keep[i]]
        assert index.get_by_attribute(tag=f"n{i}") == [newcomers[i]]
    assert index.get_by_attribute(tag="temp") == []


def test_nested_objects_read_back_by_identity():
    inner = Indexable(name="inner")
    outer = Indexable(child=inner)
    assert outer.child is inner
    assert outer.child.name == "inner"
    inner.name = "renamed"
    assert outer.child.name == "renamed"


@pytest.mark.parametrize("kind", ["base", "subclass"])
def test_a_chain_of_100000_objects_can_be_built_and_destroyed(kind):
    class Link(Indexable):
        pass

    cls = Indexable if kind == "base" else Link
    payload = Payload()
    payload_alive = weakref.ref(payload)
    head = cls(next=None, i=0, payload=payload)
    del payload
    for i in range(1, 100_000):
        head = cls(next=head, i=i)

    node, length = head, 0
    while node is not None:
        length += 1
        node = node.next
    assert length == 100_000
    assert head.i == 99_999

    del head, node
    gc.collect()
    # Every link was released, down to the value held by the far end.
    assert payload_alive() is None
    assert Indexable(after=1).after == 1


def test_a_chain_through_list_values_can_be_destroyed():
    payload = Payload()
    payload_alive = weakref.ref(payload)
    head = Indexable(next=[], i=0, payload=payload)
    del payload
    for i in range(1, 100_000):
        head = Indexable(next=[head], i=i)
    assert head.next[0].i == 99_998
    del head
    gc.collect()
    assert payload_alive() is None
    assert Indexable(after=2).after == 2


def test_finalizers_of_a_long_subclass_chain_all_run_holders_first():
    finalized = []

    class Node(Indexable):
        def __del__(self):
            # The object's own attributes are still readable while it is
            # being finalised, including the link to the next node.
            finalized.append((self.i, self.next is None or self.next.i == self.i - 1))

    # Each node holds the next one and a side leaf (i < 0): the queue that
    # releases what a dying object held must release all of it, once, and
    # never before the holder's own finaliser ran.
    head = None
    for i in range(20_000):
        head = Node(next=head, side=Node(next=None, i=-i - 1), i=i)
    del head
    gc.collect()
    assert all(ok for _, ok in finalized)
    assert sorted(i for i, _ in finalized) == list(range(-20_000, 20_000))
    at = {i: k for k, (i, _) in enumerate(finalized)}
    assert all(at[i] < at[i - 1] and at[i] < at[-i - 1] for i in range(1, 20_000))


def test_a_chain_inside_a_query_expression_can_be_destroyed():
    head = None
    for _ in range(100_000):
        head = Indexable(next=head)
    expr = PyQueryExpr.eq("next", head)
    del head
    gc.collect()
    del expr
    gc.collect()
    assert Indexable(after=3).after == 3


def test_threads_writing_their_own_attributes_of_one_object():
    obj = Indexable(shared="start")
    workers, rounds = 4, 3000
    barrier = threading.Barrier(workers)
    errors = []

    def work(w):
        name = f"w{w}"
        barrier.wait()
        try:
            for i in range(rounds):
                setattr(obj, name, i)
                if getattr(obj, name) != i:
                    errors.append((name, i, getattr(obj, name)))
                obj.shared = f"{name}-{i}"
                assert isinstance(obj.shared, str)
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(w,)) for w in range(workers)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for w in range(workers):
        assert getattr(obj, f"w{w}") == rounds - 1
    assert obj.shared in {f"w{w}-{rounds - 1}" for w in range(workers)}
    assert repr(obj) == f"<Indexable with {workers + 1} attributes>"


@pytest.mark.parametrize("value", [10 ** 12, "a text longer than twenty-three bytes", "short"])
def test_a_read_that_runs_out_of_memory_leaves_the_object_usable(value):
    # A read hands out the stored object itself: it allocates nothing, so it
    # succeeds even when the next allocation would fail, and gives the very
    # object that was assigned.
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("no allocation-failure hook in this interpreter")
    obj = Indexable(x=value)
    testcapi.set_nomemory(0, 1)  # the next allocation fails
    try:
        got = obj.x
    finally:
        testcapi.remove_mem_hooks()
    assert got is value
    assert obj.x == value
    obj.x = value
    assert obj.x == value
