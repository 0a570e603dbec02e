"""Building and keeping an index: bulk add_object_many of N objects with five
attributes (texts with 10 and 1,000 distinct values, an integer, a float, a
list of 3 texts), single add_object, attribute writes on indexed objects and
get_by_attribute. Compared with plain Python (objects in a list scanned by a
list comprehension; a hand-kept dict of sets updated on every write), SQLite
:memory: with an index on every column and a ducks Dex (when importable; it
indexes the four scalar attributes, not the list). Memory per object is
measured in a fresh interpreter per contender.

Run alone:  PYTHONPATH=build-bench python3 benchmarks/bench_index.py --quick
"""

from __future__ import annotations

import random

import common
from common import HandIndex, Index, Q, SlotsItem, make_py_items, make_sqlite, make_z_items

SECTION = "Index: build, add, write, lookup"
COLUMNS = ["list filter", "dict of sets", "SQLite", "ducks", "pandas"]

N_SINGLE = 10_000     # objects added one by one (at most scale / 10)
N_WRITES = 50_000     # attribute writes per round (at most scale)
N_DEX_WRITES = 20     # of those, written through ducks (a Dex.update of an integer grows with N: ~1 s at 1M)
N_LOOKUPS = 200       # distinct values looked up per round
N_SCANS = 3           # values looked up by the (slow) list scan per round


# --- writes: one loop per contender and attribute, as hand-written code would be

def z_write_num(objs, vals):
    for o, v in zip(objs, vals):
        o.num = v


def z_write_score(objs, vals):
    for o, v in zip(objs, vals):
        o.score = v


def z_write_tag(objs, vals):
    for o, v in zip(objs, vals):
        o.tag = v


def z_write_labels(objs, vals):
    for o, v in zip(objs, vals):
        o.labels = v


def hand_write_num(hand, objs, vals):
    by = hand.num
    for o, v in zip(objs, vals):
        by[o.num].discard(o)
        by[v].add(o)
        o.num = v


def hand_write_score(hand, objs, vals):
    by = hand.score
    for o, v in zip(objs, vals):
        by[o.score].discard(o)
        by[v].add(o)
        o.score = v


def hand_write_tag(hand, objs, vals):
    by = hand.tag
    for o, v in zip(objs, vals):
        by[o.tag].discard(o)
        by[v].add(o)
        o.tag = v


def hand_write_labels(hand, objs, vals):
    by = hand.labels
    for o, v in zip(objs, vals):
        for lb in o.labels:
            by[lb].discard(o)
        for lb in v:
            by[lb].add(o)
        o.labels = v


def dex_write(dex, attr, objs, vals):
    """A plain write, then Dex.update re-files the object's values."""
    for o, v in zip(objs, vals):
        setattr(o, attr, v)
        dex.update(o)


def sql_write(conn, column, ids, vals):
    conn.execute("BEGIN")
    conn.executemany("UPDATE items SET %s = ? WHERE id = ?" % column, zip(vals, ids))
    conn.execute("COMMIT")


def sql_write_labels(conn, ids, vals):
    conn.execute("BEGIN")
    conn.executemany("DELETE FROM item_labels WHERE item_id = ?", ((i,) for i in ids))
    conn.executemany("INSERT INTO item_labels VALUES (?, ?)",
                     ((i, lb) for i, v in zip(ids, vals) for lb in v))
    conn.execute("COMMIT")


def sql_add_one(conn, i, o):
    conn.execute("INSERT INTO items VALUES (?, ?, ?, ?, ?, NULL)", (i, o.cat, o.tag, o.num, o.score))
    conn.executemany("INSERT INTO item_labels VALUES (?, ?)", ((i, lb) for lb in o.labels))


def run(args, pd):
    n = args.scale
    R = args.repeat
    res = common.Results(SECTION, COLUMNS)
    ducks = common.try_import_ducks(args.no_ducks)
    nstr = "{:,}".format(n)
    data = common.make_data(n, args.seed)
    rng = random.Random(args.seed + 2)

    # -- bulk build ---------------------------------------------------------
    holder = {}

    def z_build(objs):
        idx = Index()
        idx.add_object_many(objs)
        holder["z"] = (idx, objs)

    t_z, _, _ = common.measure_setup(z_build, lambda: (holder.clear(), make_z_items(data))[1], R)
    zidx, zobjs = holder.pop("z")
    pobjs = make_py_items(SlotsItem, data)
    t_hand, hand, _ = common.measure_setup(lambda objs: HandIndex(objs), lambda: pobjs, R)
    t_sql, conn, _ = common.measure_setup(lambda _s: make_sqlite(data), lambda: None, R)
    dex = dobjs = t_dex = None
    if ducks is not None:
        # objects of its own: the Dex is kept current by its own writes
        dobjs = make_py_items(SlotsItem, data)
        t_dex, dex, _ = common.measure_setup(lambda objs: common.make_dex(ducks, objs), lambda: dobjs, R)
    t_pd = None
    if pd is not None:
        # the columns read from the same existing objects (labels left out, as in
        # the other pandas contenders)
        def pd_build(objs):
            return pd.DataFrame({a: [getattr(o, a) for o in objs] for a in ("cat", "tag", "num", "score")})

        t_pd, _, _ = common.measure_setup(pd_build, lambda: pobjs, R)
    res.add("add_object_many: %s objects" % nstr, t_z,
            {"list filter": None, "dict of sets": t_hand, "SQLite": t_sql, "ducks": t_dex, "pandas": t_pd},
            note="time to index existing objects (SQLite: insert the rows, then create the "
                 "indexes; ducks: Dex(objects, the 4 scalar attributes); pandas: a DataFrame of the "
                 "4 scalar attributes read from the objects); a list has nothing to build")

    # -- writes on indexed objects -----------------------------------------
    m = min(N_WRITES, n)
    pos = rng.sample(range(n), m)
    z_sel = [zobjs[i] for i in pos]
    p_sel = [pobjs[i] for i in pos]
    m_dex = min(m, N_DEX_WRITES)
    d_sel = [dobjs[i] for i in pos[:m_dex]] if dex is not None else None
    nums = ([rng.randrange(common.NUM_RANGE) for _ in range(m)], [rng.randrange(common.NUM_RANGE) for _ in range(m)])
    scores = ([rng.random() * common.SCORE_RANGE for _ in range(m)],
              [rng.random() * common.SCORE_RANGE for _ in range(m)])
    tags = (rng.choices(common.TAGS, k=m), rng.choices(common.TAGS, k=m))
    labs = ([rng.sample(common.LABELS, 3) for _ in range(m)], [rng.sample(common.LABELS, 3) for _ in range(m)])

    def alt(pair):
        state = [0]

        def nxt():
            state[0] += 1
            return pair[state[0] % 2]

        return nxt

    writes = (
        ("int", "num", nums, z_write_num, hand_write_num),
        ("float", "score", scores, z_write_score, hand_write_score),
        ("text", "tag", tags, z_write_tag, hand_write_tag),
        ("list", "labels", labs, z_write_labels, hand_write_labels),
    )
    for kind, attr, vals, zfn, hfn in writes:
        t_z, _, _ = common.measure_setup(lambda v: zfn(z_sel, v), alt(vals), R, per=m)
        # the plain objects are shared by the list and the dict of sets: a plain
        # write first, then the indexed write restores consistency
        t_plain, _, _ = common.measure_setup(lambda v: zfn(p_sel, v), alt(vals), R, per=m)
        for o, p in zip(p_sel, pos):  # undo: the dict of sets must match the objects
            setattr(o, attr, list(data.labels[p]) if attr == "labels" else getattr(data, attr)[p])
        t_hand_w, _, _ = common.measure_setup(lambda v: hfn(hand, p_sel, v), alt(vals), R, per=m)
        if attr == "labels":
            t_sql, _, _ = common.measure_setup(lambda v: sql_write_labels(conn, pos, v), alt(vals), R, per=m)
        else:
            t_sql, _, _ = common.measure_setup(lambda v: sql_write(conn, attr, pos, v), alt(vals), R, per=m)
        t_dex_w = None
        if dex is not None and attr != "labels":
            t_dex_w, _, _ = common.measure_setup(lambda v: dex_write(dex, attr, d_sel, v), alt(vals), R, per=m_dex)
            if attr == "tag":  # untimed: the rest of the objects, so that the lookups below agree
                final = vals[R % 2]  # the list the last of the R rounds wrote, as for the others
                dex_write(dex, attr, [dobjs[i] for i in pos[m_dex:]], final[m_dex:])
        res.add("write %s attribute of an indexed object" % kind, t_z,
                {"list filter": t_plain, "dict of sets": t_hand_w, "SQLite": t_sql, "ducks": t_dex_w},
                note="" if kind != "int" else
                "per write, %s random objects per round; list filter: plain attribute write (no index "
                "to keep); SQLite: UPDATE ... WHERE id = ? through executemany in one transaction "
                "(labels: DELETE + INSERT of the 3 rows); ducks: plain write + Dex.update(obj), "
                "the first %s of those objects (lists are not indexed)" % ("{:,}".format(m), "{:,}".format(m_dex)))
        if kind in ("int", "float"):
            # A large index may defer part of a number write (the per-subtree
            # id sets of its ordered tree) until a range query or a later
            # change needs it: here every round ends with a range query over
            # a narrow band, so that work is in the time too. The others'
            # figures are their writes above (a dict of sets has no range
            # query to make).
            band = Q.bt(attr, 0, 1)

            def z_then_range(v, zfn=zfn, band=band):
                zfn(z_sel, v)
                return len(zidx.reduced_query(band))

            t_zq, _, _ = common.measure_setup(z_then_range, alt(vals), R, per=m)
            res.add("write %s attribute, then one range query" % kind, t_zq,
                    {"dict of sets": t_hand_w, "SQLite": t_sql},
                    note="" if kind != "int" else
                    "per write: the same writes as above, then one range query over the attribute "
                    "(answering it finishes whatever the writes left to do); dict of sets and "
                    "SQLite: their writes above, with no query")
    # Zarvex, the dict of sets and SQLite now hold the same values (last round of each
    # used the same list), the list-filter objects too.

    # -- lookups ------------------------------------------------------------
    def lookups(attr, values, expected_per_value, label):
        q = {attr: None}
        vs = values[:N_LOOKUPS]
        scan_vs = values[:N_SCANS]

        def z():
            total = 0
            for v in vs:
                q[attr] = v
                total += len(zidx.get_by_attribute(**q))
            return total

        def hand_get():
            total = 0
            by = getattr(hand, attr)
            for v in vs:
                total += len(list(by.get(v, ())))
            return total

        sql = ("SELECT item_id FROM item_labels WHERE label = ?" if attr == "labels"
               else "SELECT id FROM items WHERE %s = ?" % attr)

        def sql_get():
            total = 0
            for v in vs:
                total += len([pobjs[i] for (i,) in conn.execute(sql, (v,))])
            return total

        if attr == "labels":
            def scan(v):
                return [o for o in pobjs if v in o.labels]
        else:
            def scan(v):
                return [o for o in pobjs if getattr(o, attr) == v]

        def scan_all():
            return sum(len(scan(v)) for v in scan_vs)

        def dex_get():
            total = 0
            for v in vs:
                q[attr] = v
                total += len(dex[q])
            return total

        t_z, n_z = common.measure(z, R)
        t_h, n_h = common.measure(hand_get, R)
        t_s, n_s = common.measure(sql_get, R)
        t_l, n_l = common.measure(scan_all, R)
        t_d = n_d = None
        if dex is not None and attr in common.DEX_ATTRS:
            t_d, n_d = common.measure(dex_get, R)
            t_d /= len(vs)
        n_z_scan = sum(len(zidx.get_by_attribute(**{attr: v})) for v in scan_vs)
        row = res.add(label, t_z / len(vs),
                      {"list filter": t_l / len(scan_vs), "dict of sets": t_h / len(vs), "SQLite": t_s / len(vs),
                       "ducks": t_d},
                      note=expected_per_value)
        res.checked(row, n_z, {"dict of sets": n_h, "SQLite": n_s, "ducks": n_d})
        if n_l != n_z_scan:
            res.checked(row, n_z_scan, {"list filter": n_l})

    tag_vals = rng.sample(common.TAGS, min(N_LOOKUPS, len(common.TAGS)))
    lookups("tag", tag_vals,
            "per lookup, list of ~%s objects (1 in 1,000); SQLite: ids from the index, then "
            "objs[id]" % "{:,}".format(n // 1000), "get_by_attribute(tag=one of 1,000)")
    lookups("cat", rng.sample(common.CATS, len(common.CATS)), "", "get_by_attribute(cat=one of 10)")
    lookups("labels", rng.sample(common.LABELS, len(common.LABELS)), "", "get_by_attribute(labels=one of 50)")

    # -- single adds (last: they grow the indexes) --------------------------------------------------------
    k = max(1, min(N_SINGLE, n // 10))
    extra = common.make_data(k, args.seed + 7)
    t_z, _, _ = common.measure_setup(
        lambda new: [zidx.add_object(o) for o in new], lambda: make_z_items(extra), R, per=k)
    plist = list(pobjs)
    t_list, _, _ = common.measure_setup(
        lambda new: [plist.append(o) for o in new], lambda: make_py_items(SlotsItem, extra), R, per=k)
    t_hand_add, _, _ = common.measure_setup(
        lambda new: [hand.add(o) for o in new], lambda: make_py_items(SlotsItem, extra), R, per=k)
    next_id = [n + 1_000_000]

    def sql_adds(new):
        base = next_id[0]
        next_id[0] += len(new)
        for j, o in enumerate(new):
            sql_add_one(conn, base + j, o)

    t_sql, _, _ = common.measure_setup(sql_adds, lambda: make_py_items(SlotsItem, extra), R, per=k)
    t_dex_add = None
    if dex is not None:
        t_dex_add, _, _ = common.measure_setup(
            lambda new: [dex.add(o) for o in new], lambda: make_py_items(SlotsItem, extra), R, per=k)
    res.add("add_object: one object (of %s)" % "{:,}".format(k), t_z,
            {"list filter": t_list, "dict of sets": t_hand_add, "SQLite": t_sql, "ducks": t_dex_add},
            note="per call, into an index already holding N objects; list filter: list.append; "
                 "SQLite: one autocommitted INSERT of the row and its 3 labels")

    # -- memory -------------------------------------------------------------
    if not args.no_memory:
        names = {"zarvex": None, "list": "list filter", "hand": "dict of sets", "sqlite": "SQLite"}
        if ducks is not None:
            names["ducks"] = "ducks"
        mem = {name: common.run_probe("bench_index.py", name, args) for name in names}
        method = next((m["method"] for m in mem.values() if m), "?")

        def get(m, phase, what):
            return m[phase][what] if m else None

        rows = (
            ("memory per object: objects, retained", "objects", "retained"),
            ("memory per object: index build, peak", "index", "peak"),
            ("memory per object: index, retained", "index", "retained"),
        )
        for label, phase, what in rows:
            res.add(label, get(mem["zarvex"], phase, what),
                    {col: get(mem[name], phase, what) for name, col in names.items() if col},
                    unit="B", note="" if phase != "objects" else
                    "fresh interpreter per contender (%s): Zarvex objects then their index; __slots__ "
                    "objects then a list / dict of sets / SQLite database / Dex (SQLite keeps the objects "
                    "only to map ids back)" % method)
        tot = {name: (m["objects"]["retained"] + m["index"]["retained"]) if m else None
               for name, m in mem.items()}
        res.add("memory per object: objects + index, retained", tot["zarvex"],
                {col: tot[name] for name, col in names.items() if col}, unit="B")
    return [res]


def _probe_z(data, p):
    p.start()
    objs = make_z_items(data)
    p.mark("objects")
    idx = Index()
    idx.add_object_many(objs)
    p.mark("index")
    return objs, idx


def _probe_py(build_index):
    def probe(data, p):
        p.start()
        objs = make_py_items(SlotsItem, data)
        p.mark("objects")
        idx = build_index(data, objs)
        p.mark("index")
        return objs, idx

    return probe


PROBES = {
    "zarvex": _probe_z,
    "list": _probe_py(lambda d, objs: list(objs)),
    "hand": _probe_py(lambda d, objs: HandIndex(objs)),
    "sqlite": _probe_py(lambda d, objs: make_sqlite(d)),
    "ducks": _probe_py(lambda d, objs: common.make_dex(common.try_import_ducks(), objs)),
}

if __name__ == "__main__":
    common.bench_main(" ".join(__doc__.split("\n\n")[0].split()), run, PROBES)
