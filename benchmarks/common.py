"""Shared pieces of the Python benchmark suite.

- command-line options shared by every bench_*.py script and run_all.py;
- deterministic data generation (the same columns feed every contender);
- the contenders' builders: Zarvex classes, plain Python classes with
  __slots__ and with __dict__, a hand-kept dict-of-sets index, SQLite
  :memory: with indexes and (optionally) pandas and ducks;
- timing helpers (best of several repetitions, auto-ranged for fast calls);
- memory probes run in a fresh subprocess per build phase, reading VmRSS and
  the peak VmHWM (reset through /proc/self/clear_refs) or, where that is
  unavailable, ru_maxrss;
- result rows and the table printer.

Every time is a wall-clock time from time.perf_counter(). Results are only
measured and printed; nothing here asserts on timings.
"""

from __future__ import annotations

import argparse
import gc
import itertools
import importlib
import importlib.metadata
import json
import random
import resource
import sqlite3
import subprocess
import sys
import time
from collections import defaultdict
from dataclasses import asdict, dataclass, field
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent

DEFAULT_SCALE = 1_000_000
QUICK_SCALE = 100_000


# ---------------------------------------------------------------------------
# Importing the module under test


def import_zarvex():
    """Imports Zarvex; falls back to the release build dir build-bench/."""
    try:
        return importlib.import_module("Zarvex")
    except ImportError:
        fallback = REPO_DIR / "build-bench"
        if fallback.is_dir() and str(fallback) not in sys.path:
            sys.path.insert(0, str(fallback))
    try:
        return importlib.import_module("Zarvex")
    except ImportError as exc:
        sys.exit("cannot import Zarvex (%s); build it in release mode and run with "
                 "PYTHONPATH=build-bench (see benchmarks/README.md)" % exc)


Zarvex = import_zarvex()
Index = Zarvex.Index
Indexable = Zarvex.Indexable
Q = Zarvex.PyQueryExpr


def try_import_pandas(disabled: bool = False):
    if disabled:
        return None
    try:
        return importlib.import_module("pandas")
    except ImportError:
        return None


def try_import_ducks(disabled: bool = False):
    """ducks (its Dex class), or None when it is disabled or cannot be
    imported (see benchmarks/setup_env.sh for an environment that has it)."""
    if disabled:
        return None
    try:
        return importlib.import_module("ducks")
    except ImportError:
        return None


# ---------------------------------------------------------------------------
# Options


def make_parser(description: str) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=description)
    p.add_argument(
        "--scale", "-n", type=int, default=None, metavar="N",
        help="number of objects (default %d)" % DEFAULT_SCALE,
    )
    p.add_argument(
        "--quick", action="store_true",
        help="use %d objects (unless --scale is given) and fewer repetitions" % QUICK_SCALE,
    )
    p.add_argument(
        "--repeat", "-r", type=int, default=None,
        help="repetitions per measurement, the best is kept (default 3, 2 with --quick)",
    )
    p.add_argument("--seed", type=int, default=20240601, help="seed of the data generator")
    p.add_argument("--no-memory", action="store_true", help="skip the memory probes")
    p.add_argument("--no-pandas", action="store_true", help="skip pandas even if installed")
    p.add_argument("--no-ducks", action="store_true", help="skip ducks even if installed")
    p.add_argument("--json", metavar="PATH", help="also write the result rows as JSON")
    p.add_argument("--memory-probe", metavar="NAME", help=argparse.SUPPRESS)
    return p


def finish_args(args):
    if args.scale is None:
        args.scale = QUICK_SCALE if args.quick else DEFAULT_SCALE
    if args.repeat is None:
        args.repeat = 2 if args.quick else 3
    if args.scale < 1000:
        sys.exit("--scale must be at least 1000")
    return args


def forward_args(args) -> list[str]:
    """The options to hand to a child benchmark process."""
    out = ["--scale", str(args.scale), "--repeat", str(args.repeat), "--seed", str(args.seed)]
    if args.no_memory:
        out.append("--no-memory")
    if args.no_pandas:
        out.append("--no-pandas")
    if args.no_ducks:
        out.append("--no-ducks")
    return out


def progress(msg: str) -> None:
    print("  .. " + msg, file=sys.stderr, flush=True)


# ---------------------------------------------------------------------------
# Data

N_CATS = 10          # "cat": text with 10 distinct values
N_TAGS = 1000        # "tag": text with 1,000 distinct values
N_LABELS = 50        # "labels": list of 3 distinct texts out of 50
NUM_RANGE = 1_000_000  # "num": integer, uniform in [0, NUM_RANGE)
SCORE_RANGE = 1000.0   # "score": float, uniform in [0, SCORE_RANGE)
N_OWNERS = 1000      # "owner": one of 1,000 shared owner objects, each with a "name"

CATS = ["cat%d" % i for i in range(N_CATS)]
TAGS = ["tag%03d" % i for i in range(N_TAGS)]
LABELS = ["label%02d" % i for i in range(N_LABELS)]
OWNER_NAMES = ["owner%04d" % i for i in range(N_OWNERS)]
ATTRS = ("cat", "tag", "num", "score", "labels")


@dataclass
class Data:
    """Column-wise attribute values for n objects. Texts come from small
    shared pools (as interned strings would in an application); every object
    gets its own labels list when it is built."""

    n: int
    cat: list
    tag: list
    num: list
    score: list
    labels: list  # tuples; each object receives list(t)
    owner: list   # owner number in [0, N_OWNERS)


def make_data(n: int, seed: int) -> Data:
    rng = random.Random(seed)
    combos = list(itertools.combinations(LABELS, 3))
    return Data(
        n=n,
        cat=rng.choices(CATS, k=n),
        tag=rng.choices(TAGS, k=n),
        num=[int(x * NUM_RANGE) for x in (rng.random() for _ in range(n))],
        score=[rng.random() * SCORE_RANGE for _ in range(n)],
        labels=rng.choices(combos, k=n),
        owner=[int(x * N_OWNERS) for x in (rng.random() for _ in range(n))],
    )


# ---------------------------------------------------------------------------
# Contenders: object classes


class ZItem(Indexable):
    pass


class ZOwner(Indexable):
    pass


class SlotsItem:
    __slots__ = ("cat", "tag", "num", "score", "labels", "owner")

    def __init__(self, cat, tag, num, score, labels, owner=None):
        self.cat = cat
        self.tag = tag
        self.num = num
        self.score = score
        self.labels = labels
        self.owner = owner


class DictItem:
    def __init__(self, cat, tag, num, score, labels, owner=None):
        self.cat = cat
        self.tag = tag
        self.num = num
        self.score = score
        self.labels = labels
        self.owner = owner


class SlotsOwner:
    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name


def make_z_owners():
    return [ZOwner(name=name) for name in OWNER_NAMES]


def make_py_owners():
    return [SlotsOwner(name) for name in OWNER_NAMES]


def make_z_items(d: Data, owners=None):
    """Zarvex objects with 5 attributes, or 6 when owners are given."""
    if owners is None:
        return [
            ZItem(cat=c, tag=t, num=n, score=s, labels=list(lb))
            for c, t, n, s, lb in zip(d.cat, d.tag, d.num, d.score, d.labels)
        ]
    return [
        ZItem(cat=c, tag=t, num=n, score=s, labels=list(lb), owner=owners[o])
        for c, t, n, s, lb, o in zip(d.cat, d.tag, d.num, d.score, d.labels, d.owner)
    ]


def make_py_items(cls, d: Data, owners=None):
    """Plain objects; keyword construction like Zarvex's. Without owners the
    owner slot holds None."""
    if owners is None:
        return [
            cls(cat=c, tag=t, num=n, score=s, labels=list(lb))
            for c, t, n, s, lb in zip(d.cat, d.tag, d.num, d.score, d.labels)
        ]
    return [
        cls(cat=c, tag=t, num=n, score=s, labels=list(lb), owner=owners[o])
        for c, t, n, s, lb, o in zip(d.cat, d.tag, d.num, d.score, d.labels, d.owner)
    ]


# ---------------------------------------------------------------------------
# Contender: a hand-kept dict-of-sets index over plain objects


class HandIndex:
    """attribute -> value -> set of objects, for the five data attributes
    (labels element by element). Numbers are keyed by exact value only: this
    index answers equality, not ranges. set_attr keeps it current on writes."""

    def __init__(self, objs=()):
        self.cat = defaultdict(set)
        self.tag = defaultdict(set)
        self.num = defaultdict(set)
        self.score = defaultdict(set)
        self.labels = defaultdict(set)
        self.objs = []
        self.add_many(objs)

    def add_many(self, objs):
        cat, tag, num, score, labels = self.cat, self.tag, self.num, self.score, self.labels
        for o in objs:
            cat[o.cat].add(o)
            tag[o.tag].add(o)
            num[o.num].add(o)
            score[o.score].add(o)
            for lb in o.labels:
                labels[lb].add(o)
        self.objs.extend(objs)

    def add(self, o):
        self.cat[o.cat].add(o)
        self.tag[o.tag].add(o)
        self.num[o.num].add(o)
        self.score[o.score].add(o)
        labels = self.labels
        for lb in o.labels:
            labels[lb].add(o)
        self.objs.append(o)

    def set_attr(self, o, name, value):
        by_value = getattr(self, name)
        old = getattr(o, name)
        if name == "labels":
            for lb in old:
                by_value[lb].discard(o)
            for lb in value:
                by_value[lb].add(o)
        else:
            by_value[old].discard(o)
            by_value[value].add(o)
        setattr(o, name, value)

    def get(self, name, value):
        s = getattr(self, name).get(value)
        return list(s) if s else []


# ---------------------------------------------------------------------------
# Contender: SQLite :memory: with indexes

SQL_SCHEMA = """
CREATE TABLE owners (id INTEGER PRIMARY KEY, name TEXT NOT NULL);
CREATE TABLE items (id INTEGER PRIMARY KEY, cat TEXT, tag TEXT, num INTEGER,
                    score REAL, owner_id INTEGER);
CREATE TABLE item_labels (item_id INTEGER NOT NULL, label TEXT NOT NULL);
"""
SQL_INDEXES = """
CREATE INDEX owners_name ON owners(name);
CREATE INDEX items_cat ON items(cat);
CREATE INDEX items_tag ON items(tag);
CREATE INDEX items_num ON items(num);
CREATE INDEX items_score ON items(score);
CREATE INDEX items_owner ON items(owner_id);
CREATE INDEX item_labels_label ON item_labels(label);
CREATE INDEX item_labels_item ON item_labels(item_id);
"""


def make_sqlite(d: Data, with_owner: bool = False) -> sqlite3.Connection:
    """Rows keyed by the object's position in the Python list (id = position),
    so that ids map back to objects with objs[id]. Rows are inserted, then the
    indexes are created (the fastest way to load an indexed table)."""
    conn = sqlite3.connect(":memory:", isolation_level=None)
    conn.executescript(SQL_SCHEMA)
    conn.execute("BEGIN")
    conn.executemany("INSERT INTO owners VALUES (?, ?)", enumerate(OWNER_NAMES))
    owner = d.owner if with_owner else itertools.repeat(None)
    conn.executemany(
        "INSERT INTO items VALUES (?, ?, ?, ?, ?, ?)",
        zip(range(d.n), d.cat, d.tag, d.num, d.score, owner),
    )
    conn.executemany(
        "INSERT INTO item_labels VALUES (?, ?)",
        ((i, lb) for i, lbs in enumerate(d.labels) for lb in lbs),
    )
    conn.execute("COMMIT")
    conn.executescript(SQL_INDEXES)
    conn.execute("ANALYZE")
    return conn


def sqlite_ids(conn, sql, params=()):
    return [r[0] for r in conn.execute(sql, params)]


# ---------------------------------------------------------------------------
# Contender: pandas


def make_frame(pd, d: Data):
    """One row per object in list order; labels are left out (no natural
    column form). Owner names live in a second frame indexed by owner id."""
    items = pd.DataFrame(
        {"cat": d.cat, "tag": d.tag, "num": d.num, "score": d.score, "owner_id": d.owner}
    )
    owners = pd.DataFrame({"name": OWNER_NAMES})
    return items, owners


# ---------------------------------------------------------------------------
# Contender: ducks (a Dex over plain objects)

DEX_ATTRS = ("cat", "tag", "num", "score")  # a Dex indexes hashable values only: no lists


def owner_name(o):
    """The dotted path owner.name as a Dex key (a Dex indexes callables too)."""
    return o.owner.name


def make_dex(ducks, objs, with_owner: bool = False):
    return ducks.Dex(objs, list(DEX_ATTRS) + ([owner_name] if with_owner else []))


# ---------------------------------------------------------------------------
# Timing


def _clock():
    return time.perf_counter()


def measure(fn, repeat: int, min_time: float = 0.05):
    """Best per-call time of fn() over `repeat` rounds; each round calls fn as
    many times as needed to last at least min_time. Returns (seconds, result
    of the last call). For calls without side effects."""
    gc.collect()
    t0 = _clock()
    result = fn()
    first = _clock() - t0
    number = 1
    if first < min_time:
        number = max(1, min(100_000, int(min_time / max(first, 1e-7))))
    best = first if number == 1 else float("inf")
    for _ in range(repeat):
        gc.collect()
        t0 = _clock()
        for _ in range(number):
            result = fn()
        best = min(best, (_clock() - t0) / number)
    return best, result


def measure_setup(fn, setup, repeat: int, per: int = 1):
    """Best time of fn(state) where state = setup() is rebuilt, untimed,
    before each round (for calls that change what they work on). The time is
    divided by `per` (operations per round). Returns (seconds, result of the
    last round, state of the last round)."""
    best = float("inf")
    result = state = None
    for _ in range(repeat):
        result = state = None
        state = setup()
        gc.collect()
        t0 = _clock()
        result = fn(state)
        best = min(best, (_clock() - t0) / per)
    return best, result, state


# ---------------------------------------------------------------------------
# Memory probes: one fresh interpreter per measurement


def _status_kb():
    out = {}
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(("VmRSS:", "VmHWM:")):
                    key, val = line.split(":")
                    out[key] = int(val.split()[0])
    except OSError:
        pass
    return out


def _reset_peak() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


class Probe:
    """Phase marks inside a probe process. start() sets the baseline after the
    input data exists; mark(name) records, for the phase that just ended, the
    resident set at its end and its peak (VmHWM, reset at each mark, or
    ru_maxrss where the peak cannot be reset)."""

    def __init__(self):
        self.phases = []
        self.method = None
        self.base = None

    def _snap(self):
        st = _status_kb()
        rss = st.get("VmRSS")
        if "VmHWM" in st and self.method == "VmHWM":
            peak = st["VmHWM"]
        else:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return rss, peak

    def start(self):
        gc.collect()
        self.method = "VmHWM" if _reset_peak() and "VmHWM" in _status_kb() else "ru_maxrss"
        self.base, _ = self._snap()
        if self.method == "VmHWM":
            _reset_peak()

    def mark(self, name: str):
        rss, peak = self._snap()
        self.phases.append({"phase": name, "rss_kb": rss, "peak_kb": peak})
        if self.method == "VmHWM":
            _reset_peak()

    def report(self):
        return {"method": self.method, "base_kb": self.base, "phases": self.phases}


def run_probe(script: str, name: str, args) -> dict | None:
    """Runs `script --memory-probe name` in a fresh interpreter and returns,
    per phase, bytes per object: 'retained' (RSS growth over the phase) and
    'peak' (highest RSS during the phase over the RSS at its start)."""
    cmd = [sys.executable, str(BENCH_DIR / script), "--memory-probe", name] + forward_args(args)
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        progress("memory probe %s failed: %s" % (name, proc.stderr.strip()[-500:]))
        return None
    rep = json.loads(proc.stdout.strip().splitlines()[-1])
    out = {"method": rep["method"]}
    prev = rep["base_kb"]
    for ph in rep["phases"]:
        out[ph["phase"]] = {
            "retained": (ph["rss_kb"] - prev) * 1024 / args.scale,
            "peak": (max(ph["peak_kb"], ph["rss_kb"]) - prev) * 1024 / args.scale,
        }
        prev = ph["rss_kb"]
    return out


def probe_main(args, probes: dict) -> None:
    """Entry of a probe process: builds the input data, then runs the named
    builder with a Probe and prints the phase report as one JSON line."""
    fn = probes[args.memory_probe]
    data = make_data(args.scale, args.seed)
    probe = Probe()
    keep = fn(data, probe)  # the builder calls probe.start() and probe.mark()
    print(json.dumps(probe.report()))
    del keep


# ---------------------------------------------------------------------------
# Results


@dataclass
class Row:
    section: str
    op: str
    zarvex: float | None
    others: dict = field(default_factory=dict)  # comparison name -> value or None
    unit: str = "s"      # "s" (seconds per op) or "B" (bytes per object)
    note: str = ""
    check: str = ""      # "" or a description of a result mismatch


class Results:
    def __init__(self, section: str, columns: list[str]):
        self.section = section
        self.columns = columns
        self.rows: list[Row] = []

    def add(self, op, zarvex, others=None, unit="s", note=""):
        """others: comparison column name -> value (None: not measured)."""
        unknown = set(others or ()) - set(self.columns)
        if unknown:
            raise KeyError("unknown comparison column(s) %s" % sorted(unknown))
        row = Row(self.section, op, zarvex, dict(others or {}), unit, note)
        self.rows.append(row)
        progress("%-44s Zarvex %s" % (op, fmt_value(zarvex, unit)))
        return row

    def checked(self, row: Row, expected, got: dict):
        """Records a mismatch between the Zarvex result size and the others'
        (got: comparison name -> result size, None when not measured)."""
        bad = {k: v for k, v in got.items() if v is not None and v != expected}
        if bad:
            row.check = "result sizes differ: Zarvex %s, %s" % (
                expected, ", ".join("%s %s" % kv for kv in bad.items()))
            progress("MISMATCH in %s: %s" % (row.op, row.check))

    def to_json(self):
        return {"section": self.section, "columns": self.columns,
                "rows": [asdict(r) for r in self.rows]}


def fmt_value(v, unit):
    if v is None:
        return "n/a"
    if unit == "B":
        return "%.0f B" % v if v < 10_000 else "%.1f KB" % (v / 1024)
    if v >= 1:
        return "%.2f s" % v
    if v >= 1e-3:
        return "%.2f ms" % (v * 1e3)
    if v >= 1e-6:
        return "%.2f us" % (v * 1e6)
    return "%.0f ns" % (v * 1e9)


def fmt_ratio(other, zarvex):
    if other is None or zarvex is None or zarvex <= 0:
        return ""
    r = other / zarvex
    txt = ("%.0fx" % r) if r >= 100 else ("%.1fx" % r) if r >= 10 else ("%.2fx" % r)
    return txt + ("*" if r < 1 else "")


def print_table(sections: list[dict], meta: str = "", out=sys.stdout) -> list[str]:
    """Prints the sections as one table. Each comparison cell reads
    'time (ratio)', ratio = comparison / Zarvex: above 1 Zarvex is faster or
    smaller, below 1 (marked *) the comparison is. Returns the list of rows
    where Zarvex lost, for the summary."""
    lines = []
    slower = []
    all_rows = []
    for sec in sections:
        head = ["operation", "Zarvex"] + sec["columns"]
        body = []
        for r in sec["rows"]:
            cells = [r["op"] + ("  [!]" if r.get("check") else ""), fmt_value(r["zarvex"], r["unit"])]
            winners = []
            for col in sec["columns"]:
                v = r["others"].get(col)
                if v is None:
                    cells.append("-")
                    continue
                ratio = fmt_ratio(v, r["zarvex"])
                cells.append("%s (%s)" % (fmt_value(v, r["unit"]), ratio) if ratio else fmt_value(v, r["unit"]))
                if r["zarvex"] and v < r["zarvex"]:
                    winners.append("%s %s (%s)" % (col, fmt_value(v, r["unit"]), ratio))
            if winners:
                section = sec["section"].split(":")[0]
                slower.append("[%s] %s: Zarvex %s; %s" % (section, r["op"], fmt_value(r["zarvex"], r["unit"]),
                                                          ", ".join(winners)))
            body.append(cells)
        all_rows.append((sec["section"], head, body, sec["rows"]))

    for section, head, body, rows in all_rows:
        widths = [max(len(x[i]) for x in [head] + body) for i in range(len(head))]
        sep = "-+-".join("-" * w for w in widths)
        lines.append("")
        lines.append("== %s ==" % section)
        lines.append(" | ".join(h.ljust(w) if i == 0 else h.rjust(w) for i, (h, w) in enumerate(zip(head, widths))))
        lines.append(sep)
        for cells in body:
            lines.append(" | ".join(c.ljust(w) if i == 0 else c.rjust(w)
                                    for i, (c, w) in enumerate(zip(cells, widths))))
        notes = [(r["op"], r["note"]) for r in rows if r.get("note")]
        checks = [(r["op"], r["check"]) for r in rows if r.get("check")]
        for op, note in notes:
            lines.append("   note  %s: %s" % (op, note))
        for op, chk in checks:
            lines.append("   [!]   %s: %s" % (op, chk))

    print(meta, file=out)
    print("\n".join(lines), file=out)
    print("\ncells: comparison value (comparison / Zarvex); above 1x Zarvex is faster/smaller, "
          "'*' marks rows where the comparison wins.", file=out)
    if slower:
        print("\nWhere Zarvex is slower or larger:", file=out)
        for s in slower:
            print("  - " + s, file=out)
    out.flush()
    return slower


def _version_of(dist: str, mod) -> str:
    if mod is None:
        return "not used"
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return getattr(mod, "__version__", "?")


def describe_run(args, pandas_mod, ducks_mod=None) -> str:
    return "Zarvex %s %s | python %s | sqlite %s | pandas %s | ducks %s | N = %s objects | best of %d" % (
        getattr(Zarvex, "__version__", "?"),
        getattr(Zarvex, "__file__", "?"),
        sys.version.split()[0],
        sqlite3.sqlite_version,
        _version_of("pandas", pandas_mod),
        _version_of("ducks", ducks_mod),
        "{:,}".format(args.scale),
        args.repeat,
    )


def bench_main(description: str, run, probes: dict) -> None:
    """Shared main of the bench_*.py scripts: either a memory probe, or run
    the section(s), print their table and optionally write JSON."""
    args = finish_args(make_parser(description).parse_args())
    if args.memory_probe:
        probe_main(args, probes)
        return
    pd = try_import_pandas(args.no_pandas)
    sections = run(args, pd)
    ducks = try_import_ducks(args.no_ducks)
    payload = {"meta": describe_run(args, pd, ducks), "sections": [s.to_json() for s in sections]}
    if args.json:
        Path(args.json).write_text(json.dumps(payload, indent=1))
    print_table(payload["sections"], payload["meta"])
