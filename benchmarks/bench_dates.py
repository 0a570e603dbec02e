"""Date-range questions over N indexed objects, each holding a timestamp
(`when`: a naive datetime, uniform over three years at second resolution,
so nearly every value is distinct) and its calendar day (`day`: a date, about
1,100 distinct values). Zarvex answers `bt` with datetime and date bounds;
compared with a plain list comprehension over __slots__ objects, SQLite
:memory: with an index on integer columns (epoch seconds, day ordinal), and
pandas boolean masks on datetime64 columns (when pandas can be imported).

Run alone:  PYTHONPATH=build-bench python3 benchmarks/bench_dates.py --quick
"""

from __future__ import annotations

import datetime as dt
import random
import sqlite3

import common
from common import Index, Q, ZItem

SECTION = "Date ranges: reduced_query (view) and + collect (list of objects)"
COLUMNS = ["list filter", "SQLite", "pandas"]

START = dt.datetime(2021, 1, 1)
SPAN_SECONDS = 3 * 365 * 86_400


class SlotsStamp:
    __slots__ = ("when", "day")

    def __init__(self, when, day):
        self.when = when
        self.day = day


def make_stamps(n: int, seed: int):
    rng = random.Random(seed)
    whens = [START + dt.timedelta(seconds=rng.randrange(SPAN_SECONDS)) for _ in range(n)]
    return whens, [w.date() for w in whens]


def make_sqlite(whens, days):
    conn = sqlite3.connect(":memory:")
    conn.execute("CREATE TABLE stamps (id INTEGER PRIMARY KEY, when_s INTEGER, day INTEGER)")
    epoch = dt.datetime(1970, 1, 1)
    conn.executemany("INSERT INTO stamps VALUES (?, ?, ?)",
                     ((i, int((w - epoch).total_seconds()), d.toordinal())
                      for i, (w, d) in enumerate(zip(whens, days))))
    conn.execute("CREATE INDEX stamps_when ON stamps (when_s)")
    conn.execute("CREATE INDEX stamps_day ON stamps (day)")
    conn.commit()
    return conn


def queries():
    """(label, Zarvex expression, list predicate, SQL, parameters, pandas mask)."""
    epoch = dt.datetime(1970, 1, 1)
    lo_w, hi_w = dt.datetime(2022, 3, 1), dt.datetime(2022, 3, 11, 23, 59, 59)   # 11 days, 1%
    lo_d, hi_d = dt.date(2022, 7, 1), dt.date(2022, 7, 11)                       # 11 days, 1%
    lo_m, hi_m = dt.datetime(2023, 1, 1), dt.datetime(2023, 4, 19)               # 108 days, 10%
    secs = lambda t: int((t - epoch).total_seconds())
    # The pandas column holds datetime64 values: a day is its midnight.
    midnight = lambda d: dt.datetime.combine(d, dt.time())
    return [
        ("bt datetime, 11 days (1%)", Q.bt("when", lo_w, hi_w), lambda o: lo_w <= o.when <= hi_w,
         "SELECT id FROM stamps WHERE when_s BETWEEN ? AND ?", (secs(lo_w), secs(hi_w)),
         lambda df: (df["when"] >= lo_w) & (df["when"] <= hi_w)),
        ("bt date, 11 days (1%)", Q.bt("day", lo_d, hi_d), lambda o: lo_d <= o.day <= hi_d,
         "SELECT id FROM stamps WHERE day BETWEEN ? AND ?", (lo_d.toordinal(), hi_d.toordinal()),
         lambda df: (df["day"] >= midnight(lo_d)) & (df["day"] <= midnight(hi_d))),
        ("ge/lt datetime, 108 days (10%)", Q.and_(Q.ge("when", lo_m), Q.lt("when", hi_m)),
         lambda o: lo_m <= o.when < hi_m,
         "SELECT id FROM stamps WHERE when_s >= ? AND when_s < ?", (secs(lo_m), secs(hi_m)),
         lambda df: (df["when"] >= lo_m) & (df["when"] < hi_m)),
    ]


def run(args, pd):
    n = args.scale
    R = args.repeat
    res = common.Results(SECTION, COLUMNS)
    common.progress("making %s timestamps" % "{:,}".format(n))
    whens, days = make_stamps(n, args.seed)

    common.progress("building Zarvex objects and index")
    zobjs = [ZItem(when=w, day=d) for w, d in zip(whens, days)]
    idx = Index()
    idx.add_object_many(zobjs)
    common.progress("building __slots__ objects and SQLite")
    pobjs = [SlotsStamp(w, d) for w, d in zip(whens, days)]
    conn = make_sqlite(whens, days)
    frame = objarr = np = None
    if pd is not None:
        import numpy as np

        common.progress("building the pandas frame")
        frame = pd.DataFrame({"when": pd.to_datetime(whens), "day": pd.to_datetime(days)})
        objarr = np.empty(n, dtype=object)
        objarr[:] = pobjs

    for label, expr, pred, sql, params, mask_fn in queries():
        t_view, view = common.measure(lambda: idx.reduced_query(expr), R)
        t_coll, zlist = common.measure(lambda: idx.reduced_query(expr).collect(), R)
        t_list, plist = common.measure(lambda: [o for o in pobjs if pred(o)], R)
        t_sql_ids, ids = common.measure(lambda: common.sqlite_ids(conn, sql, params), R)
        t_sql_obj, sobjs = common.measure(lambda: [pobjs[i] for i in common.sqlite_ids(conn, sql, params)], R)
        t_pd_ids = t_pd_obj = n_pd = None
        if pd is not None:
            t_pd_ids, pos = common.measure(lambda: np.flatnonzero(mask_fn(frame).to_numpy()), R)
            t_pd_obj, pdobjs = common.measure(lambda: objarr[np.flatnonzero(mask_fn(frame).to_numpy())].tolist(), R)
            n_pd = len(pdobjs)
        expected = len(zlist)
        row = res.add(label + " -> view", t_view,
                      {"list filter": t_list, "SQLite": t_sql_ids, "pandas": t_pd_ids},
                      note="%s matches; SQLite: indexed integer column (epoch seconds / day ordinal); "
                           "pandas: datetime64 column mask" % "{:,}".format(expected))
        res.checked(row, expected, {"list filter": len(plist), "SQLite": len(ids), "pandas": n_pd})
        res.add(label + " + collect", t_coll,
                {"list filter": t_list, "SQLite": t_sql_obj, "pandas": t_pd_obj})
        del view, zlist, plist, ids, sobjs
    return [res]


if __name__ == "__main__":
    common.bench_main(" ".join(__doc__.split("\n\n")[0].split()), run, {})
