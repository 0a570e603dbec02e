"""Attributes of objects that are in no index: creating objects with five
attributes, reading and writing them. Zarvex Indexable subclasses against a
plain class with __slots__ and one with a __dict__, all built by keyword.

Run alone:  PYTHONPATH=build-bench python3 benchmarks/bench_attributes.py --quick
"""

from __future__ import annotations

import random

import common
from common import DictItem, SlotsItem, make_py_items, make_z_items

SECTION = "Attributes (objects in no index)"
COLUMNS = ["__slots__ class", "__dict__ class"]


def _read_all(objs):
    for o in objs:
        o.cat
        o.tag
        o.num
        o.score
        o.labels


def _read_one(objs):
    for o in objs:
        o.num


def _write_num(objs, values):
    for o, v in zip(objs, values):
        o.num = v


def _write_tag(objs, values):
    for o, v in zip(objs, values):
        o.tag = v


def _write_labels(objs, values):
    for o, v in zip(objs, values):
        o.labels = v


def _alternating(a, b):
    """Value lists for successive rounds, so that every write changes the value."""
    state = {"i": 0}

    def nxt():
        state["i"] += 1
        return a if state["i"] % 2 else b

    return nxt


def run(args, pd):
    n = args.scale
    res = common.Results(SECTION, COLUMNS)
    data = common.make_data(n, args.seed)
    rng = random.Random(args.seed + 1)
    nstr = "{:,}".format(n)

    builders = {
        "Zarvex": lambda: make_z_items(data),
        "__slots__ class": lambda: make_py_items(SlotsItem, data),
        "__dict__ class": lambda: make_py_items(DictItem, data),
    }
    times = {}
    objs = {}
    for name, build in builders.items():
        times[name], objs[name], _ = common.measure_setup(lambda _s, b=build: b(), lambda: None, args.repeat)
    res.add("create %s objects, 5 attributes" % nstr, times.pop("Zarvex"), times)

    for label, fn in (("read 5 attributes x %s objects" % nstr, _read_all),
                      ("read 1 attribute x %s objects" % nstr, _read_one)):
        t = {name: common.measure(lambda o=o: fn(o), args.repeat)[0] for name, o in objs.items()}
        res.add(label, t.pop("Zarvex"), t)

    nums = ([rng.randrange(common.NUM_RANGE) for _ in range(n)], [rng.randrange(common.NUM_RANGE) for _ in range(n)])
    tags = (rng.choices(common.TAGS, k=n), rng.choices(common.TAGS, k=n))
    labels = ([list(rng.sample(common.LABELS, 3)) for _ in range(n)],
              [list(rng.sample(common.LABELS, 3)) for _ in range(n)])
    for label, fn, vals in (("write int attribute x %s" % nstr, _write_num, nums),
                            ("write text attribute x %s" % nstr, _write_tag, tags),
                            ("write list attribute x %s" % nstr, _write_labels, labels)):
        t = {}
        for name, o in objs.items():
            nxt = _alternating(*vals)
            t[name], _, _ = common.measure_setup(lambda v, o=o: fn(o, v), nxt, args.repeat)
        res.add(label, t.pop("Zarvex"), t)

    if not args.no_memory:
        mem = {name: common.run_probe("bench_attributes.py", name, args) for name in PROBES}
        for phase, what in (("objects", "retained"), ("objects", "peak")):
            vals = {name: (m[phase][what] if m else None) for name, m in mem.items()}
            res.add("memory per object, %s" % what, vals.pop("zarvex"),
                    {"__slots__ class": vals["slots"], "__dict__ class": vals["dict"]}, unit="B",
                    note="" if what == "peak" else
                    "fresh interpreter per contender, RSS (%s); the attribute values "
                    "(shared texts, ints, floats) exist before the baseline, each object's "
                    "labels list is counted" % next((m["method"] for m in mem.values() if m), "?"))
    return [res]


def _probe(build):
    def probe(data, p):
        p.start()
        objs = build(data)
        p.mark("objects")
        return objs

    return probe


PROBES = {
    "zarvex": _probe(make_z_items),
    "slots": _probe(lambda d: make_py_items(SlotsItem, d)),
    "dict": _probe(lambda d: make_py_items(DictItem, d)),
}

if __name__ == "__main__":
    common.bench_main(" ".join(__doc__.split("\n\n")[0].split()), run, PROBES)
