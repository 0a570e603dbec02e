"""Grouping and narrowing N indexed objects: group_by on the 10-value and
the 1,000-value text attributes and on the integer (as views, and with every
group collected), reduce, and rebase of a 10 % view. Compared with plain
Python (itertools.groupby after sorting; a dict of lists; a list filter and a
hand-kept dict of sets for narrowing), SQLite :memory: (GROUP BY; DELETE and
CREATE TABLE ... AS SELECT for narrowing) and pandas (when importable).

Run alone:  PYTHONPATH=build-bench python3 benchmarks/bench_grouping.py --quick
"""

from __future__ import annotations

import itertools
import sqlite3
from collections import defaultdict
from operator import attrgetter

import common
from common import HandIndex, Index, SlotsItem, make_py_items, make_sqlite, make_z_items

GROUP_SECTION = "Grouping: group_by (views) and + collect of every group"
GROUP_COLUMNS = ["sort + groupby", "dict of lists", "SQLite", "pandas"]
NARROW_SECTION = "Narrowing: reduce in place, rebase of a 10% view"
NARROW_COLUMNS = ["list filter", "dict of sets", "SQLite", "pandas"]

KEEP_CAT = "cat3"  # one of 10 values: 10% of the objects


def sort_groupby(objs, attr):
    key = attrgetter(attr)
    return {k: list(g) for k, g in itertools.groupby(sorted(objs, key=key), key=key)}


def dict_of_lists(objs, attr):
    out = defaultdict(list)
    key = attrgetter(attr)
    for o in objs:
        out[key(o)].append(o)
    return out


def sql_group_counts(conn, attr):
    return conn.execute("SELECT %s, COUNT(*) FROM items GROUP BY %s" % (attr, attr)).fetchall()


def sql_group_objects(conn, attr, objs):
    rows = conn.execute("SELECT %s, id FROM items ORDER BY %s" % (attr, attr))
    return {k: [objs[i] for _, i in g] for k, g in itertools.groupby(rows, key=lambda r: r[0])}


def sql_copy(src):
    dst = sqlite3.connect(":memory:", isolation_level=None)
    src.backup(dst)
    return dst


def sql_rebase(conn):
    conn.executescript(
        """
        BEGIN;
        CREATE TABLE sub AS SELECT * FROM items WHERE cat = '%s';
        CREATE TABLE sub_labels AS SELECT l.* FROM item_labels l JOIN sub ON sub.id = l.item_id;
        CREATE INDEX sub_cat ON sub(cat);
        CREATE INDEX sub_tag ON sub(tag);
        CREATE INDEX sub_num ON sub(num);
        CREATE INDEX sub_score ON sub(score);
        CREATE INDEX sub_labels_label ON sub_labels(label);
        COMMIT;
        """ % KEEP_CAT
    )
    return conn


def hand_reduce(hand, cat):
    kept = hand.cat.get(cat, set())
    for name in ("cat", "tag", "num", "score", "labels"):
        by = getattr(hand, name)
        for k, s in by.items():
            by[k] = s & kept
    return hand


def run(args, pd):
    n = args.scale
    R = args.repeat
    data = common.make_data(n, args.seed)
    common.progress("building Zarvex objects and index")
    zobjs = make_z_items(data)
    idx = Index()
    idx.add_object_many(zobjs)
    common.progress("building __slots__ objects, SQLite and pandas")
    pobjs = make_py_items(SlotsItem, data)
    conn = make_sqlite(data)
    frame = objarr = np = None
    if pd is not None:
        import numpy as np

        frame, _ = common.make_frame(pd, data)
        objarr = np.empty(n, dtype=object)
        objarr[:] = pobjs

    g = common.Results(GROUP_SECTION, GROUP_COLUMNS)
    for attr, what in (("cat", "10 values"), ("tag", "1,000 values"), ("num", "integer")):
        t_z, groups = common.measure(lambda: idx.group_by(attr), R)
        t_zc, zcoll = common.measure(lambda: {k: v.collect() for k, v in idx.group_by(attr).items()}, R)
        t_sort, sg = common.measure(lambda: sort_groupby(pobjs, attr), R)
        t_dict, dg = common.measure(lambda: dict_of_lists(pobjs, attr), R)
        t_sqlc, sc = common.measure(lambda: sql_group_counts(conn, attr), R)
        t_sqlo, so = common.measure(lambda: sql_group_objects(conn, attr, pobjs), R)
        t_pd = t_pdo = None
        n_pd = None
        if pd is not None:
            t_pd, pdg = common.measure(lambda: frame.groupby(attr).indices, R)
            t_pdo, pdo = common.measure(
                lambda: {k: objarr[v].tolist() for k, v in frame.groupby(attr).indices.items()}, R)
            n_pd = len(pdg)
        row = g.add("group_by(%s) %s -> views" % (attr, what), t_z,
                    {"sort + groupby": t_sort, "dict of lists": t_dict, "SQLite": t_sqlc, "pandas": t_pd},
                    note="%s groups; views: Zarvex dict of FilteredIndex, SQLite GROUP BY with COUNT(*), "
                         "pandas groupby().indices; plain Python always builds lists of objects"
                         % "{:,}".format(len(groups)) if attr == "cat" else
                    "%s groups" % "{:,}".format(len(groups)))
        g.checked(row, len(groups), {"sort + groupby": len(sg), "dict of lists": len(dg),
                                     "SQLite": len(sc), "pandas": n_pd})
        row = g.add("group_by(%s) %s + collect" % (attr, what), t_zc,
                    {"sort + groupby": t_sort, "dict of lists": t_dict, "SQLite": t_sqlo, "pandas": t_pdo},
                    note="" if attr != "cat" else
                    "every group as a list of objects: Zarvex .collect() per view, SQLite ORDER BY + "
                    "itertools.groupby + objs[id], pandas object-array take per group")
        total = sum(len(v) for v in zcoll.values())
        g.checked(row, total, {"sort + groupby": sum(map(len, sg.values())),
                               "SQLite": sum(map(len, so.values()))})
        del groups, zcoll, sg, dg, sc, so

    nr = common.Results(NARROW_SECTION, NARROW_COLUMNS)
    # reduce: destructive, a fresh index (untimed) per round
    common.progress("reduce: a fresh index per round")

    def fresh_index():
        fresh = Index()
        fresh.add_object_many(zobjs)
        return fresh

    t_z, _, reduced_idx = common.measure_setup(lambda ix: ix.reduce(cat=KEEP_CAT), fresh_index, R)
    n_keep = len(reduced_idx.get_by_attribute(cat=KEEP_CAT))
    n_gone = len(reduced_idx.get_by_attribute(cat="cat0"))
    del reduced_idx
    t_list, kept_list, _ = common.measure_setup(
        lambda objs: [o for o in objs if o.cat == KEEP_CAT], lambda: pobjs, R)
    t_hand, hand, _ = common.measure_setup(lambda h: hand_reduce(h, KEEP_CAT), lambda: HandIndex(pobjs), R)
    t_sql, dst, _ = common.measure_setup(
        lambda c: c.execute("DELETE FROM items WHERE cat != ?", (KEEP_CAT,)) and c, lambda: sql_copy(conn), R)
    n_sql = dst.execute("SELECT COUNT(*) FROM items").fetchone()[0]
    dst.close()
    t_pd = n_pdk = None
    if pd is not None:
        t_pd, sub = common.measure(lambda: frame[frame["cat"] == KEEP_CAT], R)
        n_pdk = len(sub)
        del sub
    row = nr.add("reduce(cat=one of 10), keeps 10%", t_z,
                 {"list filter": t_list, "dict of sets": t_hand, "SQLite": t_sql, "pandas": t_pd},
                 note="narrows the exact-value maps of an index in place (%s kept, other values now "
                      "match %s); list filter: a new filtered list; dict of sets: every set "
                      "intersected with the kept set; SQLite: DELETE of the other rows; pandas: "
                      "boolean-mask selection" % ("{:,}".format(n_keep), n_gone))
    nr.checked(row, n_keep, {"list filter": len(kept_list), "dict of sets": len(hand.cat.get(KEEP_CAT, ())),
                             "SQLite": n_sql, "pandas": n_pdk})
    del hand, kept_list

    # rebase of a 10% view: a new standalone index over the view's objects
    view = idx.reduced(cat=KEEP_CAT)
    t_z, rebased, _ = common.measure_setup(lambda v: v.rebase(), lambda: view, R)
    n_rebased = len(rebased.collect())
    del rebased
    subset = [o for o in pobjs if o.cat == KEEP_CAT]
    t_hand, hsub, _ = common.measure_setup(lambda objs: HandIndex(objs), lambda: subset, R)
    t_sql, dst, _ = common.measure_setup(sql_rebase, lambda: sql_copy(conn), R)
    n_sql = dst.execute("SELECT COUNT(*) FROM sub").fetchone()[0]
    dst.close()
    t_pd = n_pdk = None
    if pd is not None:
        mask = frame["cat"] == KEEP_CAT
        t_pd, sub = common.measure(lambda: frame[mask].copy(), R)
        n_pdk = len(sub)
        del sub
    row = nr.add("rebase() of a 10% view", t_z,
                 {"list filter": None, "dict of sets": t_hand, "SQLite": t_sql, "pandas": t_pd},
                 note="%s objects into a new standalone index; dict of sets: built over the subset list; "
                      "SQLite: CREATE TABLE AS SELECT of rows and labels + 5 indexes; pandas: copy of the "
                      "masked rows (no indexes)" % "{:,}".format(n_rebased))
    nr.checked(row, n_rebased, {"dict of sets": len(hsub.objs), "SQLite": n_sql, "pandas": n_pdk})
    return [g, nr]


if __name__ == "__main__":
    common.bench_main(" ".join(__doc__.split("\n\n")[0].split()), run, {})
