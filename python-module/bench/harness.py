"""What the side-by-side benchmarks share: the corpus, interleaved timing
rounds, fresh-interpreter measurements and ratio tables.

Every benchmark here compares tuvax with its peers in one process and one run,
and reports tuvax's time divided by each peer's: one number per pair that
depends little on how busy the machine was, as long as both sides saw the
same load. In every round tuvax and its peers on one document run back to
back, in a new random order, so a burst of load elsewhere lands on all of
them alike instead of on one.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import pathlib
import platform
import random
import statistics
import shlex
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any

REPO = pathlib.Path(__file__).resolve().parents[2]
CORPUS_FILES = ("twitter.json", "citm_catalog.json", "canada.json")

# One timed sample is a batch of calls lasting at least this long, so that
# the clock's resolution and the loop's own cost stay negligible, and a
# moment's interruption (on a shared machine, another guest's turn) is a
# small part of it.
BATCH_SECONDS = 0.02


def corpus_dir(arg: str | None) -> pathlib.Path:
    """The corpus: the argument, $TUVAX_CORPUS_DIR, or ../shared/corpus."""
    found = arg or os.environ.get("TUVAX_CORPUS_DIR") or REPO.parent / "shared" / "corpus"
    path = pathlib.Path(found)
    if not all((path / name).is_file() for name in CORPUS_FILES):
        sys.exit(f"corpus not found in {path} (expected {', '.join(CORPUS_FILES)})")
    return path


def arg_parser(description: str, default_rounds: int) -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(description=description)
    p.add_argument("corpus", nargs="?", help="directory holding the corpus files")
    p.add_argument("--rounds", type=int, default=default_rounds,
                   help=f"interleaved rounds per case (default {default_rounds})")
    p.add_argument("--seed", type=int, default=None, help="seed of the shuffles (default: random)")
    p.add_argument("--clock", choices=("cpu", "wall"), default="cpu",
                   help="time the thread's CPU time (default; steady while other programs "
                        "load the machine) or wall time")
    return p


def clock_fn(name: str) -> Callable[[], int]:
    """Nanoseconds: the calling thread's CPU time (page faults and the
    collector included, time spent waiting for a CPU left out) or wall time."""
    return time.thread_time_ns if name == "cpu" else time.perf_counter_ns


def describe_run(modules: Sequence[Any], rounds: int, seed: int, clock: str) -> None:
    """What the numbers came from, so a pasted table can be traced back."""
    import _tuvax_native

    try:
        commit = subprocess.run(["git", "-C", str(REPO), "describe", "--always", "--dirty"],
                                capture_output=True, text=True, timeout=10).stdout.strip()
    except OSError:
        commit = ""
    peers = ", ".join(f"{m.__name__} {getattr(m, '__version__', '')}".strip() for m in modules)
    print(f"Python {platform.python_version()} on {platform.machine()}, {os.cpu_count()} CPUs; "
          f"commit {commit or 'unknown'}")
    print(f"_tuvax_native {_tuvax_native.__version__} from {_tuvax_native.__file__}")
    print(f"peers: {peers}")
    what = "thread CPU time" if clock == "cpu" else "wall time"
    print(f"{rounds} interleaved rounds in shuffled order (seed {seed}), {what}; "
          f"load average at start {os.getloadavg()[0]:.2f}")


def check_equal(what: str, got: object, want: object) -> None:
    """Stops the run: a fast wrong answer is not a result."""
    if got != want:
        sys.exit(f"{what}: the result differs from the original data; not timing it")


# ---- The floor ----

FLOOR_SOURCE = pathlib.Path(__file__).with_name("floor.cpp")


def build_floor(directory: str | os.PathLike[str]) -> pathlib.Path:
    """Compiles floor.cpp into an extension module in `directory` (the floor is
    part of the benchmark, never of the module) and returns its path."""
    out = pathlib.Path(directory) / f"_tuvax_floor{sysconfig.get_config_var('EXT_SUFFIX')}"
    cxx = shlex.split(sysconfig.get_config_var("CXX") or "c++")
    cmd = [*cxx, "-std=c++20", "-O3", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
           f"-I{FLOOR_SOURCE.parent.parent / 'src'}", str(FLOOR_SOURCE), "-o", str(out), "-lsimdutf"]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.exit(f"could not compile the floor ({' '.join(cmd)}):\n{proc.stderr}")
    return out


def load_floor(path: str | os.PathLike[str]) -> Any:
    """The compiled floor module at `path`."""
    import importlib.util

    spec = importlib.util.spec_from_file_location("_tuvax_floor", path)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


_floor: tuple[tempfile.TemporaryDirectory[str], pathlib.Path, Any] | None = None


def floor_module() -> Any:
    """The floor, compiled once per run into a temporary directory."""
    global _floor
    if _floor is None:
        tmp = tempfile.TemporaryDirectory(prefix="tuvax-floor-")
        path = build_floor(tmp.name)
        _floor = (tmp, path, load_floor(path))
    return _floor[2]


def floor_path() -> pathlib.Path:
    """Where floor_module() put the compiled floor (for child interpreters)."""
    floor_module()
    assert _floor is not None
    return _floor[1]


# ---- Interleaved rounds ----


@dataclass
class Case:
    """One function timed for one (document, operation) pair."""
    row: str          # the table row: document and operation
    peer: str         # "tuvax" or the peer's name
    fn: Callable[[], object]
    number: int = 1   # calls per timed batch
    samples: dict[bool, list[float]] = field(default_factory=lambda: {False: [], True: []})


def calibrate(case: Case) -> None:
    """Sets how many calls make one batch (also a warm-up call)."""
    gc.disable()
    start = time.perf_counter()
    case.fn()
    once = max(time.perf_counter() - start, 1e-7)
    case.number = max(1, round(BATCH_SECONDS / once))


def run_rounds(cases: Sequence[Case], rounds: int, rng: random.Random, clock: str = "cpu",
               gc_modes: Sequence[bool] = (False, True), progress: str = "") -> None:
    """Times every case with the cyclic GC off and on, `rounds` times each.

    A group is one table row in one GC mode: tuvax and its peers on the same
    document. Each round runs every group once, the groups in a new random
    order and each group's members back to back in a new random order, so
    the members of a group share the machine's load of that moment and their
    per-round ratio is a fair one. A sample is the mean time per call of one
    batch. Between batches the GC is off; a full collection at the start of
    each round keeps one round's garbage out of the next round's GC-on
    timings.
    """
    was_enabled = gc.isenabled()
    for case in cases:
        calibrate(case)
    rows: dict[str, list[Case]] = {}
    for case in cases:
        rows.setdefault(case.row, []).append(case)
    groups = [(members, mode) for members in rows.values() for mode in gc_modes]
    now = clock_fn(clock)
    try:
        for r in range(rounds):
            gc.enable()
            gc.collect()
            gc.disable()
            rng.shuffle(groups)
            for members, gc_on in groups:
                rng.shuffle(members)
                for case in members:
                    fn, n = case.fn, case.number
                    if gc_on:
                        gc.enable()
                    t0 = now()
                    for _ in range(n):
                        fn()
                    t1 = now()
                    gc.disable()
                    case.samples[gc_on].append((t1 - t0) / n / 1e9)
            if progress:
                print(f"\r{progress}: round {r + 1}/{rounds}", end="", file=sys.stderr, flush=True)
    finally:
        if progress:
            print(file=sys.stderr)
        if was_enabled:
            gc.enable()


def paired_ratio(mine: Case, other: Case, gc_on: bool) -> float:
    """The median over rounds of mine's time ÷ other's in the same round."""
    return statistics.median(a / b for a, b in zip(mine.samples[gc_on], other.samples[gc_on]))


# ---- Tables ----


def us(seconds: float) -> str:
    return f"{seconds * 1e6:,.0f}"


def ratio_table(title: str, cases: Sequence[Case], peers: Sequence[str], gc_on: bool,
                extra: Sequence[tuple[str, Callable[[dict[str, Case]], str]]] = ()) -> str:
    """Markdown: per row, tuvax's median and minimum, then tuvax ÷ each peer
    (paired per round; a peer that does not take part in a row shows "-")."""
    rows: dict[str, dict[str, Case]] = {}
    for case in cases:
        rows.setdefault(case.row, {})[case.peer] = case
    mode = "on" if gc_on else "off"
    head = ["", "tuvax µs median (min)"] + [f"÷ {p}" for p in peers] + [name for name, _ in extra]
    lines = [f"**{title}, cyclic GC {mode} in the timed loops.** "
             "Ratios are tuvax's time ÷ the peer's, the median over rounds of the ratio "
             "within each round: lower is better for tuvax, below 1.00 tuvax is faster.",
             "",
             "| " + " | ".join(head) + " |",
             "|---|" + "---:|" * (len(head) - 1)]
    for row, by_peer in rows.items():
        mine = by_peer["tuvax"].samples[gc_on]
        mid = statistics.median(mine)
        cells = [row, f"{us(mid)} ({us(min(mine))})"]
        for peer in peers:
            other = by_peer.get(peer)
            cells.append(f"{paired_ratio(by_peer['tuvax'], other, gc_on):.2f}" if other else "-")
        cells += [fn(by_peer) for _, fn in extra]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def times_table(title: str, cases: Sequence[Case], peers: Sequence[str], gc_on: bool) -> str:
    """Markdown: every contender's median and minimum in µs."""
    rows: dict[str, dict[str, Case]] = {}
    for case in cases:
        rows.setdefault(case.row, {})[case.peer] = case
    everyone = ["tuvax", *peers]
    mode = "on" if gc_on else "off"
    lines = [f"{title}, cyclic GC {mode}: µs per call, median (min)", "",
             "| | " + " | ".join(everyone) + " |", "|---|" + "---:|" * len(everyone)]
    for row, by_peer in rows.items():
        cells = [row]
        for peer in everyone:
            c = by_peer.get(peer)
            cells.append(f"{us(statistics.median(c.samples[gc_on]))} ({us(min(c.samples[gc_on]))})"
                         if c else "-")
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def best_of(by_peer: dict[str, Case], peers: Sequence[str], gc_on: bool) -> str:
    """tuvax ÷ the fastest of `peers` in this row (the lowest median time)."""
    present = [by_peer[p] for p in peers if p in by_peer]
    if not present:
        return "-"
    fastest = min(present, key=lambda c: statistics.median(c.samples[gc_on]))
    return f"{paired_ratio(by_peer['tuvax'], fastest, gc_on):.2f} ({fastest.peer})"


# ---- Fresh interpreters ----


def run_child(code: str, *args: str, timeout: float = 120) -> dict[str, Any]:
    """Runs `code` in a new interpreter (same path, same modules) and returns
    the JSON object it prints on its last line of standard output."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run([sys.executable, "-c", code, *args], capture_output=True, text=True,
                          env=env, timeout=timeout)
    if proc.returncode != 0:
        sys.exit(f"child interpreter failed ({proc.returncode}):\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# The child's side of a memory measurement: VmRSS and VmHWM from
# /proc/self/status, in KiB. Writing "5" to clear_refs resets the high-water
# mark to the current RSS, so the peak belongs to the measured call alone.
CHILD_MEMORY = r'''
def _status():
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, rest = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                out[key] = int(rest.split()[0])
    return out

def _reset_peak():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False
'''


def mib(kib: float) -> str:
    return f"{kib / 1024:,.0f}"
