"""tuvax's binary encode and decode against msgspec.msgpack, msgpack, orjson,
pickle and json on the corpus, side by side in one run, as ratios; then the
cost of the package's `default` hook, unused and in use.

    make bench-python
    PYTHONPATH=build-release/python-module:python-module \
        python3 python-module/bench/bench_binary.py [CORPUS_DIR] [--rounds N]

Each peer encodes with its own format and decodes its own encoding; every
result is compared with the original data before anything is timed. Then
two tables, cyclic GC off and on in the timed loops, and the scale row: a
list of 100 copies of twitter.json, each call in a fresh interpreter, with
its time and memory.

Next to the peers runs the floor (floor.cpp, compiled here at run time): a
minimal C walk over the objects (encode) or build of them (decode), plus the
format's integrity work, two XXH64 passes over the tuvax document.
"""

from __future__ import annotations

import json
import pickle
import random
import statistics
import sys
import tempfile
import time
from pathlib import Path

import msgpack
import msgspec
import orjson
import xxhash

import _tuvax_native as tv
import tuvax

import harness
from harness import Case

PEERS = ("msgspec.msgpack", "msgpack", "orjson", "pickle", "json")
FLOOR = "floor"
SCALE_COPIES = 100
# Five: on a shared virtual machine one fresh interpreter in a few runs a
# third slower throughout, whichever library it holds.
SCALE_REPEATS = 5


def corpus_cases(corpus: Path, sizes: dict[str, dict[str, int]]) -> list[Case]:
    """The timed cases; fills `sizes` with each encoding's length per file."""
    ms_enc, ms_dec = msgspec.msgpack.Encoder(), msgspec.msgpack.Decoder()
    codecs = {
        "tuvax": (tv.encode, tv.decode),
        "msgspec.msgpack": (ms_enc.encode, ms_dec.decode),
        "msgpack": (msgpack.packb, msgpack.unpackb),
        "orjson": (orjson.dumps, orjson.loads),
        "pickle": (lambda o: pickle.dumps(o, protocol=pickle.HIGHEST_PROTOCOL), pickle.loads),
        "json": (json.dumps, json.loads),
    }
    cases = []
    for name in harness.CORPUS_FILES:
        obj = json.loads((corpus / name).read_text(encoding="utf-8"))
        for peer, (enc, dec) in codecs.items():
            blob = enc(obj)
            sizes.setdefault(name, {})[peer] = len(blob.encode() if isinstance(blob, str) else blob)
            harness.check_equal(f"{peer} on {name}", dec(blob), obj)
            # Default arguments bind this iteration's values.
            cases.append(Case(f"{name} encode", peer, lambda enc=enc, obj=obj: enc(obj)))
            cases.append(Case(f"{name} decode", peer, lambda dec=dec, blob=blob: dec(blob)))
        # The floor: the walk or the build, then the two hash passes over the
        # document that every encode and every decode of the format makes.
        floor, doc, h = harness.floor_module(), tv.encode(obj), xxhash.xxh64_intdigest
        tape = floor.tape(obj)
        harness.check_equal(f"the floor's build of {name}", floor.build(tape), obj)
        cases.append(Case(f"{name} encode", FLOOR,
                          lambda walk=floor.walk, obj=obj, doc=doc: (walk(obj), h(doc), h(doc))))
        cases.append(Case(f"{name} decode", FLOOR,
                          lambda build=floor.build, tape=tape, doc=doc: (build(tape), h(doc), h(doc))))
    # Rows in a fixed order: every encode first, then every decode.
    cases.sort(key=lambda c: (c.row.endswith("decode"), harness.CORPUS_FILES.index(c.row.split()[0])))
    return cases


def hash_table(corpus: Path) -> str:
    """What one XXH64 pass over each tuvax document costs (the floor holds two)."""
    lines = ["**XXH64 of the tuvax document** (libxxhash through python-xxhash): one pass, "
             "µs (median of 101), and GB/s", "", "| | KB | µs | GB/s |", "|---|---:|---:|---:|"]
    for name in harness.CORPUS_FILES:
        doc = tv.encode(json.loads((corpus / name).read_text(encoding="utf-8")))
        times = []
        for _ in range(101):
            t0 = time.perf_counter_ns()
            xxhash.xxh64_intdigest(doc)
            times.append(time.perf_counter_ns() - t0)
        t = statistics.median(times) / 1e9
        lines.append(f"| {name} | {len(doc) / 1e3:,.0f} | {harness.us(t)} | {len(doc) / t / 1e9:.1f} |")
    return "\n".join(lines)


def size_table(sizes: dict[str, dict[str, int]]) -> str:
    peers = ["tuvax", *PEERS]
    lines = ["**Encoded sizes, KB** (json: json.dumps with its defaults)", "",
             "| | " + " | ".join(peers) + " |", "|---|" + "---:|" * len(peers)]
    for name, by_peer in sizes.items():
        lines.append(f"| {name} | " + " | ".join(f"{by_peer[p] / 1e3:,.0f}" for p in peers) + " |")
    return "\n".join(lines)


# ---- The scale row ----

CHILD = harness.CHILD_MEMORY + r'''
import json, sys, time
lib, op, path, copies = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
if lib == "tuvax":
    import _tuvax_native as m
    fn = m.encode if op == "encode" else m.decode
elif lib == "floor":
    # The walk or the build over the same objects, and two XXH64 passes
    # over the tuvax document (argv[6]).
    import importlib.util, xxhash
    spec = importlib.util.spec_from_file_location("_tuvax_floor", sys.argv[5])
    m = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(m)
    with open(sys.argv[6], "rb") as f:
        doc = f.read()
    h = xxhash.xxh64_intdigest
    if op == "encode":
        fn = lambda a: (m.walk(a), h(doc), h(doc))
    else:
        fn = lambda a: (h(doc), h(doc), m.build(a))[2]
else:
    import msgspec
    fn = msgspec.msgpack.encode if op == "encode" else msgspec.msgpack.decode
with open(path, "rb") as f:
    data = f.read()
if op == "encode":
    text = data.decode()
    arg = [json.loads(text) for _ in range(copies)]   # distinct copies, as decoding makes
    del text
elif lib == "floor":
    # What the floor's build reads, made from one copy: no freed objects
    # left behind for the build to reuse.
    one = json.loads(data)
    arg = m.tape([one] * copies)
    del one
else:
    arg = data
del data
before = _status()
reset = _reset_peak()
t0, c0 = time.perf_counter(), time.thread_time()
result = fn(arg)
t1, c1 = time.perf_counter(), time.thread_time()
after = _status()
assert len(result) == copies if op == "decode" else len(result) > 0
print(json.dumps({"wall": t1 - t0, "cpu": c1 - c0, "rss_before": before["VmRSS"], "hwm": after["VmHWM"],
                  "rss_after": after["VmRSS"], "reset": reset}))
'''

LIBS = ("tuvax", "msgspec.msgpack", FLOOR)


def scale_row(corpus: Path, rng: random.Random, clock: str) -> str:
    source = corpus / "twitter.json"
    obj = json.loads(source.read_text(encoding="utf-8"))
    big = [obj] * SCALE_COPIES
    blobs = {"tuvax": tv.encode(big), "msgspec.msgpack": msgspec.msgpack.encode(big)}
    harness.check_equal("tuvax on the scale list", tv.decode(blobs["tuvax"]), big)
    harness.check_equal("msgspec on the scale list", msgspec.msgpack.decode(blobs["msgspec.msgpack"]), big)
    floor = str(harness.floor_path())
    results: dict[tuple[str, str], list[dict]] = {}
    with tempfile.TemporaryDirectory() as tmp:
        paths = {}
        for lib, blob in blobs.items():
            paths[lib] = Path(tmp) / f"{lib}.bin"
            paths[lib].write_bytes(blob)
        mb = len(blobs["tuvax"]) / 1e6
        del blobs, big
        jobs = [(lib, op) for lib in LIBS for op in ("decode", "encode")] * SCALE_REPEATS
        rng.shuffle(jobs)
        for i, (lib, op) in enumerate(jobs):
            print(f"\rscale row: child {i + 1}/{len(jobs)}", end="", file=sys.stderr, flush=True)
            path = paths[lib] if op == "decode" and lib != FLOOR else source
            results.setdefault((lib, op), []).append(
                harness.run_child(CHILD, lib, op, str(path), str(SCALE_COPIES), floor, str(paths["tuvax"])))
        print(file=sys.stderr)

    def med(lib: str, op: str, f) -> float:
        return statistics.median(f(r) for r in results[(lib, op)])

    lines = [f"**Scale: a list of {SCALE_COPIES} copies of twitter.json** ({mb:.0f} MB as tuvax), "
             f"each call in a fresh interpreter with the GC on, median of {SCALE_REPEATS}. "
             "Peak is the process's VmHWM during the call (in brackets: its rise over the RSS "
             "before the call); held is the RSS after the call minus before, with the result "
             "still alive. The floor walks the same objects (encode) or builds them from its "
             "tape (decode), and hashes the tuvax document twice. Ratios: lower is better for tuvax.",
             "",
             "| | tuvax | msgspec.msgpack | floor | tuvax ÷ msgspec | tuvax ÷ floor |",
             "|---|---:|---:|---:|---:|---:|"]
    a, b, c = LIBS
    for op in ("decode", "encode"):
        t = {lib: med(lib, op, lambda r: r[clock]) for lib in LIBS}
        peak = {lib: med(lib, op, lambda r: r["hwm"]) for lib in LIBS}
        rise = {lib: med(lib, op, lambda r: r["hwm"] - r["rss_before"]) for lib in LIBS}
        held = {lib: med(lib, op, lambda r: r["rss_after"] - r["rss_before"]) for lib in LIBS}
        lines.append(f"| {op} {'CPU' if clock == 'cpu' else 'wall'} time, ms | {t[a] * 1e3:,.0f} | "
                     f"{t[b] * 1e3:,.0f} | {t[c] * 1e3:,.0f} | {t[a] / t[b]:.2f} | {t[a] / t[c]:.2f} |")
        lines.append(f"| {op} peak, MiB (rise) | {harness.mib(peak[a])} ({harness.mib(rise[a])}) | "
                     f"{harness.mib(peak[b])} ({harness.mib(rise[b])}) | "
                     f"{harness.mib(peak[c])} ({harness.mib(rise[c])}) | "
                     f"{peak[a] / peak[b]:.2f} ({rise[a] / max(rise[b], 1):.2f}) | - |")
        lines.append(f"| {op} held after, MiB | {harness.mib(held[a])} | {harness.mib(held[b])} | "
                     f"{harness.mib(held[c])} | {held[a] / max(held[b], 1):.2f} | - |")
    if not all(r["reset"] for rs in results.values() for r in rs):
        lines.append("\n(could not reset VmHWM: peaks include the child's setup)")
    return "\n".join(lines)


# ---- The default hook ----

HOOKED_RECORDS = 10_000


class Celsius:
    """A type no encoder knows: every peer must call its hook for it."""

    __slots__ = ("degrees",)

    def __init__(self, degrees: float) -> None:
        self.degrees = degrees


def hook_cases(corpus: Path) -> tuple[list[Case], list[Case], str]:
    """Two sets of cases: the hook unused on the corpus, and the hook in use."""
    unused = []
    never = lambda o: (_ for _ in ()).throw(AssertionError(o))  # noqa: E731
    for name in harness.CORPUS_FILES:
        obj = json.loads((corpus / name).read_text(encoding="utf-8"))
        assert tuvax.encode(obj, default=never) == tv.encode(obj) == tuvax.encode(obj)
        row = f"{name} encode"
        unused += [Case(row, "tuvax", lambda obj=obj: tuvax.encode(obj, default=never)),
                   Case(row, "module encode", lambda obj=obj: tv.encode(obj)),
                   Case(row, "package, no default", lambda obj=obj: tuvax.encode(obj))]

    calls = 0

    def counting(o: object) -> float:
        nonlocal calls
        calls += 1
        return o.degrees  # type: ignore[attr-defined]

    def hook(o: object) -> float:
        return o.degrees  # type: ignore[attr-defined]

    records = [{"id": i, "temp": Celsius(i / 10), "ok": True} for i in range(HOOKED_RECORDS)]
    plain = [{**r, "temp": r["temp"].degrees} for r in records]
    assert tuvax.decode(tuvax.encode(records, default=counting)) == plain
    assert calls == HOOKED_RECORDS, calls
    ms_enc = msgspec.msgpack.Encoder(enc_hook=hook)
    row = f"{HOOKED_RECORDS:,} records with a Celsius each"
    used = [Case(row, "tuvax", lambda: tuvax.encode(records, default=hook)),
            Case(row, "msgspec.msgpack", lambda: ms_enc.encode(records)),
            Case(row, "msgpack", lambda: msgpack.packb(records, default=hook)),
            Case(row, "orjson", lambda: orjson.dumps(records, default=hook)),
            Case(row, "json", lambda: json.dumps(records, default=hook)),
            Case("the same, converted beforehand", "tuvax", lambda: tuvax.encode(plain))]
    note = (f"tuvax called the hook {calls:,} times for {HOOKED_RECORDS:,} Celsius objects: "
            "once per object.")
    return unused, used, note


def hook_tables(unused: list[Case], used: list[Case], note: str) -> str:
    def per_call(gc_on: bool) -> str:
        hooked = statistics.median(used[0].samples[gc_on])
        converted = statistics.median(used[-1].samples[gc_on])
        return f"{(hooked - converted) / HOOKED_RECORDS * 1e9:,.0f} ns"

    parts = [harness.ratio_table("The default hook given but never called (tuvax: the package's "
                                 "encode with default=)", unused,
                                 ("module encode", "package, no default"), False),
             "",
             harness.ratio_table("The default hook in use (each peer's own hook option)",
                                 used[:-1], ("msgspec.msgpack", "msgpack", "orjson", "json"), False),
             "",
             f"{note} Each call costs tuvax {per_call(False)} over encoding the converted "
             "records (the hook's own Python time included)."]
    return "\n".join(parts)


def main() -> None:
    started = time.perf_counter()
    args = harness.arg_parser(__doc__.splitlines()[0], default_rounds=15).parse_args()
    corpus = harness.corpus_dir(args.corpus)
    seed = args.seed if args.seed is not None else random.randrange(2**32)
    rng = random.Random(seed)
    harness.describe_run([msgspec, msgpack, orjson, pickle, json], args.rounds, seed, args.clock)
    sizes: dict[str, dict[str, int]] = {}
    cases = corpus_cases(corpus, sizes)
    print("every result checked against the original data\n")
    harness.run_rounds(cases, args.rounds, rng, args.clock, progress="corpus")
    targets = [("÷ fastest target peer", lambda by, on: harness.best_of(
        by, ("msgspec.msgpack", "orjson") if "encode" in by["tuvax"].row else ("msgspec.msgpack",), on))]
    for gc_on in (False, True):
        extra = [(name, lambda by, fn=fn, on=gc_on: fn(by, on)) for name, fn in targets]
        print(harness.ratio_table("Binary encode and decode", cases, (FLOOR, *PEERS), gc_on, extra))
        print()
    print("The fastest target peer is msgspec.msgpack for decode and the faster of "
          "msgspec.msgpack and orjson for encode.\n")
    print(size_table(sizes))
    print()
    print(hash_table(corpus))
    print()
    print(scale_row(corpus, rng, args.clock))
    print()
    unused, used, note = hook_cases(corpus)
    harness.run_rounds(unused + used, args.rounds, rng, args.clock, gc_modes=(False,),
                       progress="default hook")
    print(hook_tables(unused, used, note))
    print()
    for gc_on in (False, True):
        print(harness.times_table("Times", cases, (FLOOR, *PEERS), gc_on))
        print()
    print(f"(the whole run took {time.perf_counter() - started:.0f} s)")


if __name__ == "__main__":
    main()
