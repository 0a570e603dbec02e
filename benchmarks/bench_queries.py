"""Expression queries over N indexed objects (the five attributes plus an
owner attribute holding one of 1,000 shared owner objects with a name):
reduced_query with an equality, ranges on the integer and on the float, and_,
or_, not_, in_, a dotted path and a list element, each as a view and as a
collected list of objects. Compared with a plain list comprehension over
__slots__ objects, SQLite :memory: with an index on every column, pandas
boolean masks and a ducks Dex (each when it can be imported).

Run alone:  PYTHONPATH=build-bench python3 benchmarks/bench_queries.py --quick
"""

from __future__ import annotations

import common
from common import Index, Q, SlotsItem, make_py_items, make_py_owners, make_sqlite, make_z_items, make_z_owners

SECTION = "Queries: reduced_query (view) and + collect (list of objects)"
COLUMNS = ["list filter", "SQLite", "pandas", "ducks"]


def queries():
    """(label, Zarvex expression, list filter predicate, SQL (ids), SQL
    parameters, pandas mask function or None, Dex query dict or None).
    Selectivities are for the uniform data of common.make_data."""
    tags10 = ["tag%03d" % i for i in range(100, 110)]
    return [
        ("eq tag (0.1%)", Q.eq("tag", "tag042"), lambda o: o.tag == "tag042",
         "SELECT id FROM items WHERE tag = ?", ("tag042",),
         lambda df, ow: df["tag"] == "tag042",
         {"tag": "tag042"}),
        ("bt int, 1%", Q.bt("num", 250_000, 259_999), lambda o: 250_000 <= o.num <= 259_999,
         "SELECT id FROM items WHERE num BETWEEN ? AND ?", (250_000, 259_999),
         lambda df, ow: df["num"].between(250_000, 259_999),
         {"num": {">=": 250_000, "<=": 259_999}}),
        ("ge int, 10%", Q.ge("num", 900_000), lambda o: o.num >= 900_000,
         "SELECT id FROM items WHERE num >= ?", (900_000,),
         lambda df, ow: df["num"] >= 900_000,
         {"num": {">=": 900_000}}),
        ("bt float, 1%", Q.bt("score", 500.0, 510.0), lambda o: 500.0 <= o.score <= 510.0,
         "SELECT id FROM items WHERE score BETWEEN ? AND ?", (500.0, 510.0),
         lambda df, ow: df["score"].between(500.0, 510.0),
         {"score": {">=": 500.0, "<=": 510.0}}),
        ("and_(bt int 10%, eq cat) 1%", Q.and_(Q.bt("num", 0, 99_999), Q.eq("cat", "cat3")),
         lambda o: 0 <= o.num <= 99_999 and o.cat == "cat3",
         "SELECT id FROM items WHERE num BETWEEN ? AND ? AND cat = ?", (0, 99_999, "cat3"),
         lambda df, ow: df["num"].between(0, 99_999) & (df["cat"] == "cat3"),
         {"num": {">=": 0, "<=": 99_999}, "cat": "cat3"}),
        # a Dex has no "or" across conditions; on one attribute it is "in"
        ("or_(eq tag, eq tag) 0.2%", Q.or_(Q.eq("tag", "tag001"), Q.eq("tag", "tag002")),
         lambda o: o.tag == "tag001" or o.tag == "tag002",
         "SELECT id FROM items WHERE tag = ? OR tag = ?", ("tag001", "tag002"),
         lambda df, ow: (df["tag"] == "tag001") | (df["tag"] == "tag002"),
         {"tag": {"in": ["tag001", "tag002"]}}),
        ("in_ tag, 10 values (1%)", Q.in_("tag", tags10), lambda o: o.tag in tags10,
         "SELECT id FROM items WHERE tag IN (%s)" % ",".join("?" * len(tags10)), tuple(tags10),
         lambda df, ow: df["tag"].isin(tags10),
         {"tag": {"in": tags10}}),
        ("not_(eq cat) 90%", Q.not_(Q.eq("cat", "cat0")), lambda o: not o.cat == "cat0",
         "SELECT id FROM items WHERE NOT cat = ?", ("cat0",),
         lambda df, ow: ~(df["cat"] == "cat0"),
         {"cat": {"!=": "cat0"}}),
        ("eq owner.name (0.1%)", Q.eq("owner.name", "owner0042"), lambda o: o.owner.name == "owner0042",
         "SELECT id FROM items WHERE owner_id IN (SELECT id FROM owners WHERE name = ?)", ("owner0042",),
         lambda df, ow: df["owner_id"].isin(ow.index[ow["name"] == "owner0042"]),
         {common.owner_name: "owner0042"}),
        ("eq list element (6%)", Q.eq("labels", "label07"), lambda o: "label07" in o.labels,
         "SELECT item_id FROM item_labels WHERE label = ?", ("label07",), None, None),
    ]


def run(args, pd):
    n = args.scale
    R = args.repeat
    res = common.Results(SECTION, COLUMNS)
    data = common.make_data(n, args.seed)

    common.progress("building Zarvex objects and index")
    zowners = make_z_owners()
    zobjs = make_z_items(data, zowners)
    idx = Index()
    idx.add_object_many(zobjs)
    common.progress("building __slots__ objects and SQLite")
    powners = make_py_owners()
    pobjs = make_py_items(SlotsItem, data, powners)
    conn = make_sqlite(data, with_owner=True)
    frame = owners_frame = objarr = np = None
    if pd is not None:
        import numpy as np

        common.progress("building pandas frames")
        frame, owners_frame = common.make_frame(pd, data)
        objarr = np.empty(n, dtype=object)
        objarr[:] = pobjs
    ducks = common.try_import_ducks(args.no_ducks)
    dex = None
    if ducks is not None:
        common.progress("building the ducks Dex")
        dex = common.make_dex(ducks, pobjs, with_owner=True)

    for label, expr, pred, sql, params, mask_fn, dex_query in queries():
        t_view, view = common.measure(lambda: idx.reduced_query(expr), R)
        t_coll, zlist = common.measure(lambda: idx.reduced_query(expr).collect(), R)
        t_list, plist = common.measure(lambda: [o for o in pobjs if pred(o)], R)
        t_sql_ids, ids = common.measure(lambda: common.sqlite_ids(conn, sql, params), R)
        t_sql_obj, sobjs = common.measure(lambda: [pobjs[i] for i in common.sqlite_ids(conn, sql, params)], R)
        t_pd_ids = t_pd_obj = None
        n_pd = None
        if pd is not None and mask_fn is not None:
            t_pd_ids, pos = common.measure(lambda: np.flatnonzero(mask_fn(frame, owners_frame).to_numpy()), R)
            t_pd_obj, pdobjs = common.measure(
                lambda: objarr[np.flatnonzero(mask_fn(frame, owners_frame).to_numpy())].tolist(), R)
            n_pd = len(pdobjs)
        t_dex = n_dex = None
        if dex is not None and dex_query is not None:
            t_dex, dobjs = common.measure(lambda: dex[dex_query], R)
            n_dex = len(dobjs)
            del dobjs
        expected = len(zlist)
        row = res.add(label + " -> view", t_view,
                      {"list filter": t_list, "SQLite": t_sql_ids, "pandas": t_pd_ids, "ducks": t_dex},
                      note="%s matches; view: Zarvex FilteredIndex, SQLite list of ids, pandas positions "
                           "(np.flatnonzero of the mask); the list filter and ducks always build the "
                           "object list" % "{:,}".format(expected) if label.startswith("eq tag") else
                      "%s matches" % "{:,}".format(expected))
        res.checked(row, expected, {"list filter": len(plist), "SQLite": len(ids), "pandas": n_pd,
                                    "ducks": n_dex})
        res.add(label + " + collect", t_coll,
                {"list filter": t_list, "SQLite": t_sql_obj, "pandas": t_pd_obj, "ducks": t_dex},
                note="" if not label.startswith("eq tag") else
                "objects: Zarvex .collect(), SQLite objs[id] per id, pandas object-array take + tolist(), "
                "ducks Dex[query] (a list of objects)")
        del view, zlist, plist, ids, sobjs
    return [res]


if __name__ == "__main__":
    common.bench_main(" ".join(__doc__.split("\n\n")[0].split()), run, {})
