"""The price of one object: Indexable (the class itself and a plain
subclass) side by side with a __slots__ class, a __dict__ class and a
@dataclass(slots=True), all built by keyword with 5 attributes (an int, a
float, a short text, a bool and a list of 3 texts), none in an index.

Reports bytes per object (tracemalloc and RSS, each contender in a fresh
interpreter), the size of an empty object, construction, read and write
times, and a cycle check: N parent/child pairs that refer to each other are
dropped and gc.collect() must give the memory back (RSS within 10% of the
start).

    PYTHONPATH=build-bench python3 benchmarks/bench_objects.py            # 1,000,000 objects
    PYTHONPATH=build-bench python3 benchmarks/bench_objects.py --quick    # 100,000 objects

Times are best of --repeat runs; nothing here asserts on a time.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import subprocess
import sys
import time
import tracemalloc
from dataclasses import dataclass

import common

Indexable = common.Indexable


class ZSub(Indexable):
    pass


class Slots:
    __slots__ = ("i", "f", "s", "b", "l")

    def __init__(self, i, f, s, b, l):
        self.i = i
        self.f = f
        self.s = s
        self.b = b
        self.l = l


class Plain:
    def __init__(self, i, f, s, b, l):
        self.i = i
        self.f = f
        self.s = s
        self.b = b
        self.l = l


@dataclass(slots=True)
class DataSlots:
    i: int
    f: float
    s: str
    b: bool
    l: list


CONTENDERS = {
    "Indexable": Indexable,
    "Indexable subclass": ZSub,
    "__slots__": Slots,
    "__dict__": Plain,
    "dataclass(slots)": DataSlots,
}
TEXTS = ["t%03d" % i for i in range(1000)]


def make_columns(n, seed):
    rng = random.Random(seed)
    return (
        [rng.randrange(1000, 10**6) for _ in range(n)],
        [rng.random() * 1000 for _ in range(n)],
        rng.choices(TEXTS, k=n),
        [rng.random() < 0.5 for _ in range(n)],
        [tuple(rng.sample(TEXTS, 3)) for _ in range(n)],
    )


def build(cls, cols):
    return [cls(i=i, f=f, s=s, b=b, l=list(lb)) for i, f, s, b, lb in zip(*cols)]


def rss_bytes():
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


# --- probes, each in a fresh interpreter ---------------------------------------


def warm_up():
    """The first attribute value converted imports numpy (if installed) to
    learn its scalar types: done before any baseline is taken."""
    Indexable(x=None)


def probe_memory(name, n, seed):
    cls = CONTENDERS[name]
    cols = make_columns(n, seed)
    warm_up()
    gc.collect()
    gc.disable()
    before = rss_bytes()
    objs = build(cls, cols)
    rss = (rss_bytes() - before) / n
    del objs
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    objs = build(cls, tuple(c[: n // 10] for c in cols))
    traced = (tracemalloc.get_traced_memory()[0] - base) / (n // 10)
    empty_base = tracemalloc.get_traced_memory()[0]
    empties = [cls.__new__(cls) for _ in range(n // 10)]
    empty = (tracemalloc.get_traced_memory()[0] - empty_base) / (n // 10)
    tracemalloc.stop()
    del objs, empties
    return {"rss": rss, "traced": traced, "empty": empty, "basicsize": cls.__basicsize__}


def probe_cycles(n, seed):
    """n parent/child pairs: parent.child = child, child.parent = parent,
    parent.kids = [child]; dropped, then gc.collect()."""
    del seed
    warm_up()
    gc.collect()
    start = rss_bytes()
    pairs = []
    for k in range(n):
        parent = Indexable(name="p%d" % k, rank=k)
        child = Indexable(name="c%d" % k, parent=parent)
        parent.child = child
        parent.kids = [child]
        pairs.append(parent)
    peak = rss_bytes()
    del pairs, parent, child
    t0 = time.perf_counter()
    freed = gc.collect()
    took = time.perf_counter() - t0
    after = rss_bytes()
    return {"start": start, "peak": peak, "after": after, "collected": freed, "gc_seconds": took}


def run_probe(kind, name, args):
    cmd = [sys.executable, __file__, "--probe", kind, "--probe-name", name, "--scale", str(args.scale),
           "--seed", str(args.seed)]
    out = subprocess.run(cmd, capture_output=True, text=True, env=os.environ.copy())
    if out.returncode != 0:
        print(out.stderr, file=sys.stderr)
        return None
    return json.loads(out.stdout.strip().splitlines()[-1])


# --- timings in this interpreter -----------------------------------------------


def timings(args):
    """Per contender and operation, the best of --repeat rounds; each round
    runs every contender in turn, so that a change of machine load weighs
    on all of them alike."""
    cols = make_columns(args.scale, args.seed)
    rng = random.Random(args.seed + 1)
    ints = ([rng.randrange(1000, 10**6) for _ in range(args.scale)],
            [rng.randrange(1000, 10**6) for _ in range(args.scale)])
    texts = (rng.choices(TEXTS, k=args.scale), rng.choices(TEXTS, k=args.scale))
    objs = {name: build(cls, cols) for name, cls in CONTENDERS.items()}

    def construct(name):
        build(CONTENDERS[name], cols)

    def read5(name):
        for o in objs[name]:
            o.i
            o.f
            o.s
            o.b
            o.l

    def read1(name):
        for o in objs[name]:
            o.s

    def write_int(name, k):
        for o, v in zip(objs[name], ints[k % 2]):
            o.i = v

    def write_text(name, k):
        for o, v in zip(objs[name], texts[k % 2]):
            o.s = v

    ops = {"construct": construct, "read 5": read5, "read 1 (text)": read1,
           "write int": write_int, "write text": write_text}
    rows = {name: {op: float("inf") for op in ops} for name in CONTENDERS}
    for k in range(args.repeat):
        for op, fn in ops.items():
            for name in CONTENDERS:
                gc.collect()
                t0 = time.perf_counter()
                if op.startswith("write"):
                    fn(name, k)
                else:
                    fn(name)
                rows[name][op] = min(rows[name][op], (time.perf_counter() - t0) / args.scale)
    return rows


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--scale", "-n", type=int, default=None)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--repeat", "-r", type=int, default=None)
    p.add_argument("--seed", type=int, default=20240601)
    p.add_argument("--probe", help=argparse.SUPPRESS)
    p.add_argument("--probe-name", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.scale is None:
        args.scale = common.QUICK_SCALE if args.quick else common.DEFAULT_SCALE
    if args.repeat is None:
        args.repeat = 2 if args.quick else 3
    if args.probe == "memory":
        print(json.dumps(probe_memory(args.probe_name, args.scale, args.seed)))
        return 0
    if args.probe == "cycles":
        print(json.dumps(probe_cycles(args.scale, args.seed)))
        return 0

    print("module: %s | Python %s | %s objects" % (common.Zarvex.__file__, sys.version.split()[0],
                                                    "{:,}".format(args.scale)))
    mem = {name: run_probe("memory", name, args) for name in CONTENDERS}
    times = timings(args)
    names = list(CONTENDERS)
    width = max(len(n) for n in names) + 2
    print("\n%-34s" % "" + "".join("%*s" % (width, n) for n in names))

    def row(label, vals, fmt):
        print("%-34s" % label + "".join("%*s" % (width, fmt(v) if v is not None else "-") for v in vals))

    row("bytes/object, RSS", [m and m["rss"] for m in mem.values()], lambda v: "%.0f" % v)
    row("bytes/object, tracemalloc", [m and m["traced"] for m in mem.values()], lambda v: "%.0f" % v)
    row("empty object, tracemalloc", [m and m["empty"] for m in mem.values()], lambda v: "%.0f" % v)
    row("type's __basicsize__", [m and m["basicsize"] for m in mem.values()], lambda v: "%d" % v)
    for what in next(iter(times.values())):
        row("%s, ns/object" % what, [times[n][what] * 1e9 for n in names], lambda v: "%.1f" % v)
    slots = times["__slots__"]
    plain = times["__dict__"]
    z = times["Indexable"]
    print("\nIndexable / __slots__: construct %.2fx, read 5 %.2fx, read 1 %.2fx; "
          "write int / __dict__ write: %.2fx, write text: %.2fx"
          % (z["construct"] / slots["construct"], z["read 5"] / slots["read 5"],
             z["read 1 (text)"] / slots["read 1 (text)"], z["write int"] / plain["write int"],
             z["write text"] / plain["write text"]))
    cyc = run_probe("cycles", "", args)
    if cyc:
        grown = (cyc["after"] - cyc["start"]) / cyc["start"]
        print("\n%s parent/child pairs (parent.child, child.parent, parent.kids): RSS start %.0f MB, "
              "built %.0f MB, after del + gc.collect() %.0f MB (%+.1f%% of the start: %s); "
              "gc.collect() found %s objects in %.2f s"
              % ("{:,}".format(args.scale), cyc["start"] / 2**20, cyc["peak"] / 2**20, cyc["after"] / 2**20,
                 grown * 100, "within 10%" if grown <= 0.10 else "NOT within 10%", "{:,}".format(cyc["collected"]),
                 cyc["gc_seconds"]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
