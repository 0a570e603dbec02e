"""Shared helpers for the index, query, view, grouping and property tests.

Indexed objects use identity equality, so results are compared by the
identities of the objects they hold; order is checked separately where the
order itself is the behaviour under test.
"""
import gc
import os
import re
import subprocess
import sys
import textwrap

import pytest

import Zarvex

from Zarvex import FilteredIndex, Index, Indexable, PyQueryExpr

Q = PyQueryExpr


class Item(Indexable):
    """A plain indexable class; the tests never rely on anything it adds."""


def ids(objs):
    """Identity set of a list of objects (placeholders would show up as
    identities that belong to none of the test's objects); fails when the
    list holds an object twice."""
    objs = list(objs)
    out = frozenset(id(o) for o in objs)
    assert len(out) == len(objs), "a result lists an object twice"
    return out


def assert_same(actual, expected):
    """The two collections hold exactly the same objects, ignoring order,
    and ``actual`` holds no object twice."""
    actual = list(actual)
    expected = list(expected)
    assert ids(actual) == ids(expected), (
        f"got {describe(actual)}, expected {describe(expected)}")


def describe(objs):
    out = []
    for o in objs:
        try:
            out.append(o.name)
        except AttributeError:
            out.append(repr(o))
    return out


def found(index_or_view, query):
    """Objects selected by an expression, through a view."""
    return index_or_view.reduced_query(query).collect()


def in_id_order(objs, reference):
    """True when ``objs`` follow the order of ``reference`` (a listing known
    to be in ascending id order)."""
    pos = {id(o): k for k, o in enumerate(reference)}
    keys = [pos[id(o)] for o in objs]
    return keys == sorted(keys)


def expect_unorderable(fn, *args, match, **kwargs):
    """The call fails with the TypeError for an ordering the engine cannot
    make, which is also the module's internal-failure class, carrying
    ``match`` in its text."""
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    err = info.value
    assert type(err).__name__ == "UnorderableError", repr(err)
    assert isinstance(err, Zarvex.InternalError)
    assert match in str(err), str(err)
    return err


def expect_internal_error(fn, *args, match, **kwargs):
    """The call fails with the module's internal-failure exception, which is a
    BaseException but not an Exception, carrying ``match`` in its text."""
    with pytest.raises(BaseException) as info:
        fn(*args, **kwargs)
    err = info.value
    assert type(err).__name__ == "InternalError", repr(err)
    assert not isinstance(err, Exception)
    assert match in str(err)
    return err


def short(query):
    """A stable, readable rendering of an expression for test ids: values
    shown by their native form only, without addresses and hashes."""
    return re.sub(r"PyValue \{ obj: .*?, primitave: (.*?), hash: \d+ \}", r"\1",
                  repr(query))[len("<QueryExpr: "):-1]


def collect_garbage():
    for _ in range(3):
        gc.collect()


def chain(length, attr="child", **leaf_attrs):
    """``length`` objects, each holding the next under ``attr``; returns the
    list head first.  Built tail first so that no object is ever indexed
    while the chain is assembled."""
    objs = [Item(depth=length - 1, **leaf_attrs)]
    for depth in range(length - 2, -1, -1):
        holder = Item(depth=depth)
        setattr(holder, attr, objs[-1])
        objs.append(holder)
    objs.reverse()
    return objs


def run_isolated(body, timeout=300, prints=None):
    """Runs ``body`` in a fresh interpreter so that a crash fails one test
    instead of ending the whole run. With ``prints``, the run must succeed
    and print exactly those words."""
    module_dir = os.path.dirname(os.path.abspath(Zarvex.__file__))
    env = dict(os.environ, PYTHONPATH=module_dir)
    code = textwrap.dedent("""
        import sys
        sys.setrecursionlimit(10000)
        from Zarvex import Index, Indexable, PyQueryExpr as Q
        class Item(Indexable):
            pass
        def chain(n):
            head = Item(depth=n - 1)
            for d in range(n - 2, -1, -1):
                head = Item(depth=d, child=head)
            return head
    """) + textwrap.dedent(body)
    try:
        proc = subprocess.run([sys.executable, "-c", code], env=env,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {timeout} s (hung)")
    if prints is not None:
        assert proc.returncode == 0, proc.stderr[-2000:]
        assert proc.stdout.split() == prints
    return proc


__all__ = [
    "FilteredIndex", "Index", "Indexable", "Item", "Q", "assert_same",
    "chain", "collect_garbage", "describe", "expect_internal_error", "expect_unorderable", "found",
    "ids", "in_id_order", "run_isolated", "short",
]
