"""Runs the whole Python benchmark suite and prints one table of Zarvex
against each comparison, with ratios comparison / Zarvex.

    PYTHONPATH=build-bench python3 benchmarks/run_all.py            # 1,000,000 objects
    PYTHONPATH=build-bench python3 benchmarks/run_all.py --quick    # 100,000 objects
    PYTHONPATH=build-bench python3 benchmarks/run_all.py --scale 300000 --only queries,grouping
    PYTHONPATH=build-bench python3 benchmarks/run_all.py --json run.json --plot charts/

Each benchmark script runs in its own interpreter (so that one's heap does
not weigh on the next) and hands its rows back as JSON; memory probes start
further interpreters of their own. Progress goes to stderr, the table to
stdout.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import common

SCRIPTS = {
    "attributes": "bench_attributes.py",
    "index": "bench_index.py",
    "queries": "bench_queries.py",
    "grouping": "bench_grouping.py",
    "dates": "bench_dates.py",
    "protocols": "bench_protocols.py",
    "reads": "bench_reads.py",
}


def main():
    parser = common.make_parser(" ".join(__doc__.split("\n\n")[0].split()))
    parser.add_argument(
        "--only", default=",".join(SCRIPTS),
        help="comma-separated subset of: %s" % ", ".join(SCRIPTS),
    )
    parser.add_argument("--show", metavar="PATH",
                        help="print the table of a JSON file written by --json, run nothing")
    parser.add_argument("--plot", metavar="DIR",
                        help="also draw PNG charts of the ratios into DIR (needs matplotlib)")
    args = common.finish_args(parser.parse_args())
    if args.plot:
        import plot  # fails early, before the run, when matplotlib is missing

        plot._pyplot()
    if args.show:
        saved = json.loads(Path(args.show).read_text())
        common.print_table(saved["sections"], saved["meta"])
        if args.plot:
            draw(saved["sections"], saved["meta"], args.plot)
        return 0
    chosen = [s.strip() for s in args.only.split(",") if s.strip()]
    unknown = [s for s in chosen if s not in SCRIPTS]
    if unknown:
        parser.error("unknown benchmark(s): %s" % ", ".join(unknown))

    pd = common.try_import_pandas(args.no_pandas)
    meta = common.describe_run(args, pd, common.try_import_ducks(args.no_ducks))
    print(meta, file=sys.stderr, flush=True)
    sections = []
    failed = []
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="zarvex-bench-") as tmp:
        for name in chosen:
            out = Path(tmp) / (name + ".json")
            cmd = [sys.executable, str(common.BENCH_DIR / SCRIPTS[name]), "--json", str(out)]
            cmd += common.forward_args(args)
            print("[%s] %s" % (name, " ".join(cmd[1:])), file=sys.stderr, flush=True)
            t0 = time.perf_counter()
            proc = subprocess.run(cmd, stdout=subprocess.DEVNULL, env=os.environ.copy())
            took = time.perf_counter() - t0
            if proc.returncode != 0 or not out.exists():
                print("[%s] FAILED (exit %s) after %.0f s" % (name, proc.returncode, took),
                      file=sys.stderr, flush=True)
                failed.append(name)
                continue
            print("[%s] done in %.0f s" % (name, took), file=sys.stderr, flush=True)
            sections.extend(json.loads(out.read_text())["sections"])
            if args.json:  # kept current after each script, so a stopped run leaves its results
                Path(args.json).write_text(json.dumps(
                    {"meta": meta + " | partial", "sections": sections, "failed": failed}, indent=1))

    total = time.perf_counter() - started
    meta += " | suite took %.0f s" % total
    print()
    slower = common.print_table(sections, meta)
    if failed:
        print("\nFAILED: %s (see stderr above)" % ", ".join(failed))
    if args.json:
        Path(args.json).write_text(json.dumps(
            {"meta": meta, "sections": sections, "zarvex_slower": slower, "failed": failed}, indent=1))
    if args.plot:
        draw(sections, meta, args.plot)
    return 1 if failed else 0


def draw(sections, meta, outdir):
    import plot

    for path in plot.plot_all(sections, meta, outdir):
        print("chart: %s" % path, file=sys.stderr, flush=True)


if __name__ == "__main__":
    sys.exit(main())
