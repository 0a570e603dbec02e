"""Hostile input: very deep query expressions, floods of attribute names,
errors that must keep their cause, and names the object model owns."""
import pytest

import Zarvex
from helpers_index import Index, Indexable, Item, Q, assert_same, found, run_isolated


# --- deep expressions ----------------------------------------------------------

DEEP_QUERIES = """
    import threading
    idx = Index()
    hit, miss = Item(k=1), Item(k=2)
    idx.add_object_many([hit, miss])

    def fold(depth):
        q = Q.eq("k", 1)
        for _ in range(depth):
            q = Q.not_(q)
        return q

    def check(depth):
        q = fold(depth)
        got = [o.k for o in idx.reduced_query(q).collect()]
        assert got == ([1] if depth % 2 == 0 else [2]), (depth, got)
        assert repr(q).count("Not(") == depth
        wide = Q.and_(q, Q.or_(q, Q.eq("k", 3)), Q.not_(Q.not_(q)))
        assert len(idx.reduced_query(wide).collect()) == 1
        del q, wide  # destroyed here, in this thread

    check(200_001)  # folding copies nothing: linear to build

    # 1 MiB is far below a recursion of this depth in C.
    errors = []
    def small_stack():
        try:
            check(100_000)
        except BaseException as e:
            errors.append(e)
    threading.stack_size(256 * 1024)
    t = threading.Thread(target=small_stack)
    t.start()
    t.join()
    assert not errors, errors

    # Shared operands: 2^60 leaves when expanded, each shared node visited once.
    q = Q.eq("k", 1)
    for _ in range(60):
        q = Q.or_(q, q)
    assert [o.k for o in idx.reduced_query(q).collect()] == [1]
    bad = Q.gt("k", hit)
    for _ in range(60):
        bad = Q.and_(bad, bad)
    try:
        idx.reduced_query(bad)
    except TypeError as e:
        assert "cannot be ordered" in str(e)
    else:
        raise AssertionError("no error")
    print("ok")
"""


# --- attribute names -------------------------------------------------------------

MANY_NAMES = """
    obj = Indexable()
    for i in range(100_000):
        setattr(obj, f"name{i}", i)
        assert not hasattr(obj, f"other{i}")
    idx = Index()
    idx.add_object(obj)
    assert idx.get_by_attribute(other5="x") == []
    assert idx.reduced_query(Q.eq("other5", 1)).collect() == []
    assert idx.reduced_query(Q.eq("name5", 5)).collect() == [obj]
    assert idx.group_by("other5") == {}
    print("ok")
"""


# Deep and shared expressions build, evaluate and die without recursion; a
# flood of names stays linear (interning once copied the whole table per new
# name: 100k names took minutes).
@pytest.mark.parametrize("program", [DEEP_QUERIES, MANY_NAMES], ids=["deep-expressions", "many-names"])
def test_hostile_program_runs_clean(program):
    run_isolated(program, timeout=120, prints=["ok"])


# --- errors keep their cause -------------------------------------------------------


class NeedsTwo(Exception):
    def __init__(self, a, b):
        super().__init__(a, b)


class Flaky:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i:
            raise self.exc
        return 1


@pytest.mark.parametrize("call", [
    lambda: Q.eq("\ud800", 1),
    lambda: Q.bt("\ud800", 1, 2),
    lambda: Index().group_by("\ud800"),
], ids=["eq", "bt", "group_by"])
def test_unencodable_name_raises_the_encoding_error(call):
    with pytest.raises(UnicodeEncodeError) as info:
        call()
    assert info.value.reason == "surrogates not allowed"


def test_error_while_reading_in_values_propagates():
    original = NeedsTwo(1, 2)
    with pytest.raises(NeedsTwo) as info:
        Q.in_("a", Flaky(original))
    assert info.value is original
    # A class that can be rebuilt gets the argument's name, the original chained.
    with pytest.raises(ValueError, match="^argument 'values': boom$") as info:
        Q.in_("a", Flaky(ValueError("boom")))
    assert type(info.value.__cause__) is ValueError


# --- names the object model owns ----------------------------------------------------


class Cat(Item):
    pass


def test_class_assignment_goes_through_the_interpreter():
    idx = Index()
    pet = Item(kind="dog")
    idx.add_object(pet)
    pet.__class__ = Cat
    assert type(pet) is Cat and isinstance(pet, Cat)
    assert pet.kind == "dog"
    assert repr(pet) == "<Indexable with 1 attributes>"  # __class__ was not stored
    assert_same(found(idx, Q.eq("kind", "dog")), [pet])
    assert idx.get_by_attribute(__class__=Cat) == []
    for bad, message in [(42, "__class__ must be set to a class"),
                         (Indexable, "__class__ assignment")]:
        with pytest.raises(TypeError, match=message):
            pet.__class__ = bad
        assert type(pet) is Cat
    with pytest.raises(TypeError):
        del pet.__class__
    with pytest.raises(TypeError):
        Indexable().__class__ = Cat


def test_dict_assignment_and_constructor_keywords_are_not_data():
    pet = Item(kind="dog")
    pet.__dict__ = {"extra": 1}
    assert pet.__dict__ == {"extra": 1}
    assert pet.kind == "dog"
    assert repr(pet) == "<Indexable with 1 attributes>"
    made = Item(__class__=Cat, kind="cat")
    assert type(made) is Cat and made.kind == "cat"
    with pytest.raises(TypeError):
        Item(__class__=3)
    assert isinstance(Zarvex.Indexable(), Zarvex.Indexable)
