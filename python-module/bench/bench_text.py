"""tuvax's text notation against the JSON libraries on the corpus, side by
side in one run, as ratios.

    make bench-text
    PYTHONPATH=build-release/python-module:python-module \
        python3 python-module/bench/bench_text.py [CORPUS_DIR] [--rounds N]

pretty_print against orjson.dumps(OPT_INDENT_2).decode() (a str, as
pretty_print returns) and json.dumps(indent=2);
parse_text of its own output against orjson.loads, msgspec.json.decode and
json.loads of the same data as indent-2 JSON (bytes for orjson and msgspec,
str for json, as each takes it fastest). Every result is compared with the
original data first. Then pretty_print's cost per output byte on a large and
a small document, each in a fresh interpreter, and the tuvax command on
canada.json end to end.

Next to the peers runs the floor (floor.cpp, compiled at run time): for
print, a minimal C walk over the objects plus making the output str from its
UTF-8 in one pass; for parse, a minimal C build of the objects from the
cheapest input there could be.
"""

from __future__ import annotations

import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import msgspec
import orjson

import _tuvax_native as tv

import harness
from harness import Case

PEERS = ("orjson", "msgspec.json", "json")
FLOOR = "floor"
CHILD_REPEATS = 5
CLOCK_WORDS = {"cpu": "CPU time (page faults included)", "wall": "wall time"}
CLI_REPEATS = 5


def corpus_cases(corpus: Path) -> list[Case]:
    ms_dec = msgspec.json.Decoder()
    cases = []
    for name in harness.CORPUS_FILES:
        obj = json.loads((corpus / name).read_text(encoding="utf-8"))
        text = tv.pretty_print(obj)
        harness.check_equal(f"tuvax text of {name}", tv.parse_text(text), obj)
        j2 = json.dumps(obj, indent=2, ensure_ascii=False)
        j2b = j2.encode()
        printers = {
            "tuvax": (lambda o=obj: tv.pretty_print(o), tv.parse_text),
            "orjson": (lambda o=obj: orjson.dumps(o, option=orjson.OPT_INDENT_2).decode(), orjson.loads),
            "json": (lambda o=obj: json.dumps(o, indent=2), json.loads),
        }
        for peer, (fn, back) in printers.items():
            harness.check_equal(f"{peer} printing {name}", back(fn()), obj)
            cases.append(Case(f"{name} print", peer, fn))
        parsers = {
            "tuvax": (tv.parse_text, text),
            "orjson": (orjson.loads, j2b),
            "msgspec.json": (ms_dec.decode, j2b),
            "json": (json.loads, j2),
        }
        for peer, (fn, data) in parsers.items():
            harness.check_equal(f"{peer} parsing {name}", fn(data), obj)
            cases.append(Case(f"{name} parse", peer, lambda fn=fn, data=data: fn(data)))
        floor = harness.floor_module()
        text_tape, tape = floor.tape(text), floor.tape(obj)
        harness.check_equal(f"the floor's build of {name}", floor.build(tape), obj)
        harness.check_equal(f"the floor's text of {name}", floor.build(text_tape), text)
        cases.append(Case(f"{name} print", FLOOR, lambda walk=floor.walk, build=floor.build, o=obj, t=text_tape:
                          (walk(o), build(t))))
        cases.append(Case(f"{name} parse", FLOOR, lambda build=floor.build, t=tape: build(t)))
    cases.sort(key=lambda c: (c.row.endswith("parse"), harness.CORPUS_FILES.index(c.row.split()[0])))
    return cases


# ---- pretty_print's cost per output byte, small against large ----

SMALL_STATUSES, LARGE_STATUSES = 10, 400

CLIFF_CHILD = r'''
import json, resource, sys, time
lib, path, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
with open(path, encoding="utf-8") as f:
    statuses = json.load(f)["statuses"]
doc = {"statuses": [statuses[i % len(statuses)] for i in range(count)]}
if lib == "tuvax":
    import _tuvax_native as m
    fn = m.pretty_print
else:
    import orjson
    fn = lambda o: orjson.dumps(o, option=orjson.OPT_INDENT_2)
fn({"warm": [1, 2.5, "up"]})   # one-time set-up stays out of the timing
f0 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
t0, c0 = time.perf_counter(), time.thread_time()
out = fn(doc)
t1, c1 = time.perf_counter(), time.thread_time()
f1 = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
size = len(out.encode()) if isinstance(out, str) else len(out)
print(json.dumps({"wall": t1 - t0, "cpu": c1 - c0, "bytes": size, "faults": f1 - f0}))
'''


def cost_cliff(corpus: Path, rng: random.Random, clock: str) -> str:
    source = str(corpus / "twitter.json")
    jobs = [(lib, n) for lib in ("tuvax", "orjson") for n in (SMALL_STATUSES, LARGE_STATUSES)]
    jobs *= CHILD_REPEATS
    rng.shuffle(jobs)
    runs: dict[tuple[str, int], list[dict]] = {}
    for i, (lib, n) in enumerate(jobs):
        print(f"\rcost per byte: child {i + 1}/{len(jobs)}", end="", file=sys.stderr, flush=True)
        runs.setdefault((lib, n), []).append(harness.run_child(CLIFF_CHILD, lib, source, str(n)))
    print(file=sys.stderr)

    def ns_per_byte(lib: str, n: int) -> float:
        return statistics.median(r[clock] / r["bytes"] * 1e9 for r in runs[(lib, n)])

    lines = [f"**pretty_print's cost per output byte**, twitter statuses repeated, the first call "
             f"in a fresh interpreter (after one tiny warm-up call), {CLOCK_WORDS[clock]}, "
             f"median of {CHILD_REPEATS}. "
             "The ratio is large ÷ small; 1.00 means the cost per byte does not grow with size. "
             "Page faults are the minor faults during the call: a fresh interpreter has to "
             "touch new memory for a large output, so some are unavoidable (one per 4 KiB page).",
             "",
             f"| | {SMALL_STATUSES} statuses | {LARGE_STATUSES} statuses | large ÷ small |",
             "|---|---:|---:|---:|"]
    for lib, label in (("tuvax", "pretty_print"), ("orjson", "orjson.dumps(OPT_INDENT_2)")):
        small, large = ns_per_byte(lib, SMALL_STATUSES), ns_per_byte(lib, LARGE_STATUSES)
        cells = []
        for n, cost in ((SMALL_STATUSES, small), (LARGE_STATUSES, large)):
            kb = runs[(lib, n)][0]["bytes"] / 1e3
            faults = statistics.median(r["faults"] for r in runs[(lib, n)])
            cells.append(f"{cost:.2f} ns/B ({kb:,.0f} KB, {faults:,.0f} page faults)")
        lines.append(f"| {label} | {cells[0]} | {cells[1]} | {large / small:.2f} |")
    return "\n".join(lines)


# ---- The command line, end to end ----

JSON_ROUND_TRIP = ("import json, sys\n"
                   "with open(sys.argv[1], encoding='utf-8') as f: data = json.load(f)\n"
                   "with open(sys.argv[2], 'w', encoding='utf-8') as f: json.dump(data, f, indent=2)")
ORJSON_ROUND_TRIP = ("import orjson, sys\n"
                     "with open(sys.argv[1], 'rb') as f: data = orjson.loads(f.read())\n"
                     "with open(sys.argv[2], 'wb') as f: f.write(orjson.dumps(data, option=orjson.OPT_INDENT_2))")


def cli(corpus: Path, rng: random.Random, clock: str) -> str:
    source = corpus / "canada.json"
    obj = json.loads(source.read_text(encoding="utf-8"))
    py = sys.executable
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp)
        binary = out / "canada.tvx"
        tv.encode_to_file(obj, str(binary))
        commands = {
            "tuvax fmt canada.json": ([py, "-m", "tuvax", "fmt", str(source), "-o", str(out / "fmt.txt")],
                                      out / "fmt.txt", tv.parse_text),
            "tuvax decode --to text canada.tvx": (
                [py, "-m", "tuvax", "decode", "--to", "text", str(binary), "-o", str(out / "dec.txt")],
                out / "dec.txt", tv.parse_text),
            "python -c json load + dump(indent=2)": ([py, "-c", JSON_ROUND_TRIP, str(source), str(out / "j.json")],
                                                      out / "j.json", json.loads),
            "python -c orjson loads + dumps(OPT_INDENT_2)": (
                [py, "-c", ORJSON_ROUND_TRIP, str(source), str(out / "o.json")], out / "o.json", json.loads),
        }
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
        jobs = list(commands) * CLI_REPEATS
        rng.shuffle(jobs)
        times: dict[str, list[float]] = {}
        for i, name in enumerate(jobs):
            print(f"\rcommand line: run {i + 1}/{len(jobs)}", end="", file=sys.stderr, flush=True)
            argv, _, _ = commands[name]
            with tempfile.TemporaryFile() as err:
                t0 = time.perf_counter()
                proc = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=err, env=env)
                _, status, usage = os.wait4(proc.pid, 0)
                wall = time.perf_counter() - t0
                proc.returncode = os.waitstatus_to_exitcode(status)
                if proc.returncode != 0:
                    err.seek(0)
                    sys.exit(f"{name} failed:\n{err.read().decode(errors='replace')}")
            times.setdefault(name, []).append(usage.ru_utime + usage.ru_stime if clock == "cpu" else wall)
        print(file=sys.stderr)
        for name, (_, path, parse) in commands.items():
            harness.check_equal(name, parse(path.read_text(encoding="utf-8")), obj)
    base = statistics.median(times["python -c json load + dump(indent=2)"])
    what = "user + system CPU time of the process" if clock == "cpu" else "wall time"
    lines = [f"**The command line on canada.json, end to end** (interpreter start-up included), "
             f"{what}, median of {CLI_REPEATS}; every output checked against the data. "
             "Ratio: the command's time ÷ the json one's, lower is better.",
             "",
             "| command | ms | ÷ json |",
             "|---|---:|---:|"]
    for name in commands:
        t = times[name]
        lines.append(f"| `{name}` | {statistics.median(t) * 1e3:,.0f} | {statistics.median(t) / base:.2f} |")
    return "\n".join(lines)


def main() -> None:
    started = time.perf_counter()
    args = harness.arg_parser(__doc__.splitlines()[0], default_rounds=15).parse_args()
    corpus = harness.corpus_dir(args.corpus)
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    rng = random.Random(seed)
    harness.describe_run([orjson, msgspec, json], args.rounds, seed, args.clock)
    cases = corpus_cases(corpus)
    print("every result checked against the original data; the parsers read indent-2 JSON\n")
    harness.run_rounds(cases, args.rounds, rng, args.clock, progress="corpus")

    def target(by: dict[str, Case], gc_on: bool) -> str:
        peers = ("orjson",) if by["tuvax"].row.endswith("print") else ("orjson", "msgspec.json")
        return harness.best_of(by, peers, gc_on)

    for gc_on in (False, True):
        extra = [("÷ fastest target peer", lambda by, on=gc_on: target(by, on))]
        print(harness.ratio_table("Text: pretty_print and parse_text", cases, (FLOOR, *PEERS), gc_on, extra))
        print()
    print("The fastest target peer is orjson for print (its bytes decoded to a str, as pretty_print "
          "returns one) and the faster of orjson and msgspec.json for parse. The floor: for print, "
          "a minimal C walk over the objects and the output str made from its UTF-8 in one pass; "
          "for parse, a minimal C build of the objects from the cheapest input there could be "
          "(floor.cpp).\n")
    print(cost_cliff(corpus, rng, args.clock))
    print()
    print(cli(corpus, rng, args.clock))
    print()
    for gc_on in (False, True):
        print(harness.times_table("Times", cases, (FLOOR, *PEERS), gc_on))
        print()
    print(f"(the whole run took {time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
