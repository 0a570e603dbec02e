"""Taking objects out of an index and pickling it: Index.remove of single
objects (five attributes, and six with a nested owner object) against an
attribute write on the same objects, a hand-kept dict of sets and SQLite
:memory:; Index.clear; pickle.dumps and pickle.loads of a whole index
against pickling the list of its objects alone.

Run alone:  PYTHONPATH=build-bench python3 benchmarks/bench_protocols.py --quick
"""

from __future__ import annotations

import pickle
import random

import common
from common import HandIndex, Index, SlotsItem, make_py_items, make_sqlite, make_z_items

SECTION = "Removal and pickling"
COLUMNS = ["attribute write", "dict of sets", "SQLite", "list of the objects"]

N_REMOVALS = 20_000   # objects removed per round (at most scale / 2)


def hand_remove(hand, o):
    hand.cat[o.cat].discard(o)
    hand.tag[o.tag].discard(o)
    hand.num[o.num].discard(o)
    hand.score[o.score].discard(o)
    for lb in o.labels:
        hand.labels[lb].discard(o)


def sql_removes(conn, ids):
    for i in ids:
        conn.execute("DELETE FROM items WHERE id = ?", (i,))
        conn.execute("DELETE FROM item_labels WHERE item_id = ?", (i,))


def run(args, pd):
    n = args.scale
    R = args.repeat
    res = common.Results(SECTION, COLUMNS)
    nstr = "{:,}".format(n)
    data = common.make_data(n, args.seed)
    rng = random.Random(args.seed + 5)
    m = min(N_REMOVALS, n // 2)
    pos = rng.sample(range(n), m)

    # -- single removals ------------------------------------------------------
    def z_state(owners=None):
        def setup():
            objs = make_z_items(data, owners)
            idx = Index()
            idx.add_object_many(objs)
            return idx, [objs[i] for i in pos], objs
        return setup

    def z_remove(state):
        idx, sel, _ = state
        for o in sel:
            idx.remove(o)

    def z_write(state):
        _, sel, _ = state
        for o in sel:
            o.num = -1

    for label, owners in (("remove: one object, 5 attributes", None),
                          ("remove: one object holding a nested owner", common.make_z_owners())):
        t_remove, _, st = common.measure_setup(z_remove, z_state(owners), R, per=m)
        assert len(st[0]) == n - m
        t_write, _, _ = common.measure_setup(z_write, z_state(owners), R, per=m)
        others = {"attribute write": t_write}
        if owners is None:
            pobjs = make_py_items(SlotsItem, data)
            t_hand, _, _ = common.measure_setup(
                lambda h: [hand_remove(h, pobjs[i]) for i in pos], lambda: HandIndex(pobjs), R, per=m)
            t_sql, _, _ = common.measure_setup(
                lambda c: sql_removes(c, pos), lambda: make_sqlite(data), R, per=m)
            others.update({"dict of sets": t_hand, "SQLite": t_sql})
        res.add(label, t_remove, others,
                note="" if owners is not None else
                "per call, %s random objects of %s; attribute write: o.num = -1 on the same "
                "indexed objects; dict of sets: discard from every value's set; SQLite: "
                "autocommitted DELETE of the row and its labels" % ("{:,}".format(m), nstr))

    # Half of the objects one by one: an index sweeps the values of removed
    # objects out in batches (each time a sixteenth of it has left), and
    # 20,000 removals may end before the first batch; this row pays for
    # every batch its removals call for.
    half = rng.sample(range(n), n // 2)

    def z_remove_half(state):
        idx, _, objs = state
        for i in half:
            idx.remove(objs[i])

    def z_write_half(state):
        _, _, objs = state
        for i in half:
            objs[i].num = -1

    t_half, _, _ = common.measure_setup(z_remove_half, z_state(), R, per=len(half))
    t_write_half, _, _ = common.measure_setup(z_write_half, z_state(), R, per=len(half))
    res.add("remove: half of the objects, one at a time", t_half, {"attribute write": t_write_half},
            note="per call, %s random objects of %s taken out one by one, every batch sweep "
                 "included; attribute write: o.num = -1 on the same objects" % ("{:,}".format(len(half)), nstr))

    t_clear, _, _ = common.measure_setup(lambda st: st[0].clear(), z_state(), R)
    res.add("clear(): %s objects" % nstr, t_clear, {},
            note="whole call: every object removed one at a time")

    # -- pickling -------------------------------------------------------------
    objs = make_z_items(data)
    idx = Index()
    idx.add_object_many(objs)
    proto = pickle.HIGHEST_PROTOCOL
    t_dump, blob = common.measure(lambda: pickle.dumps(idx, proto), R)
    t_dump_list, blob_list = common.measure(lambda: pickle.dumps(objs, proto), R)
    res.add("pickle.dumps(index): %s objects" % nstr, t_dump, {"list of the objects": t_dump_list},
            note="whole call; list of the objects: pickle.dumps of the same objects in a list "
                 "(%.0f and %.0f bytes per object)" % (len(blob) / n, len(blob_list) / n))
    t_load, _, _ = common.measure_setup(lambda b: pickle.loads(b), lambda: blob, R)
    t_load_list, _, _ = common.measure_setup(lambda b: pickle.loads(b), lambda: blob_list, R)
    res.add("pickle.loads(index): %s objects" % nstr, t_load, {"list of the objects": t_load_list},
            note="whole call: the objects, then the index rebuilt from them")
    return [res]


if __name__ == "__main__":
    common.bench_main(" ".join(__doc__.split("\n\n")[0].split()), run, {})
