"""Memory and time of streaming against in-memory encoding and decoding.

Writes N records shaped like {"id": i, "name": "user<i>", "tags": ["a", "b"]}
(2,000,000 by default, about 80 MB encoded) to a file and reads them back:
through the package's streaming writer and iterator, through Encoder plus
decode_from_file (which hold the whole document, and every object), and
through `tuvax encode --from jsonl` / `tuvax decode --to jsonl`. Each call
runs in a fresh interpreter; its peak is the process's VmHWM during the call
less its size just before it. Times are wall time of the call; each pair of
streaming and in-memory runs goes back to back, and the ratio is the median
over rounds of streaming / in-memory.

    make bench-stream        (or: python3 stream_memory.py [records] [rounds])
"""

import os
import statistics
import subprocess
import sys
import tempfile
import textwrap

from decode_memory import PEAK_FROM_HERE

CHILD = textwrap.dedent("""
    import ctypes, io, sys, time, tuvax, tuvax.cli
    what, path, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
    def records():
        return ({"id": i, "name": "user%d" % i, "tags": ["a", "b"]} for i in range(n))
    def stream_write():
        with tuvax.open_writer(path) as w:
            for r in records():
                w.write(r)
    def encoder_write():
        enc = tuvax.Encoder()
        for r in records():
            enc.encode(r)
        enc.finish_to_file(path)
    def stream_read():
        for r in tuvax.iter_load(path):
            pass
    def file_read():
        for r in tuvax.decode_from_file(path):
            pass
    def cli(*args):
        return lambda: tuvax.cli.main(list(args)) == 0 or sys.exit("the command failed")
    run = {
        "stream-write": stream_write, "encoder-write": encoder_write,
        "stream-read": stream_read, "file-read": file_read,
        "cli-encode": cli("encode", "--from", "jsonl", path + ".jsonl", "-o", path),
        "cli-decode": cli("decode", "--to", "jsonl", path, "-o", path + ".out"),
    }[what]
""") + PEAK_FROM_HERE + textwrap.dedent("""
    t = time.perf_counter()
    run()
    print(status("VmHWM") - before, time.perf_counter() - t)
""")

# (label, streaming kind, in-memory kind)
PAIRS = [
    ("write N records to a file", "stream-write", "encoder-write"),
    ("read them back", "stream-read", "file-read"),
]
CLI = [("tuvax encode --from jsonl", "cli-encode"), ("tuvax decode --to jsonl", "cli-decode")]


def measure(what: str, path: str, n: int) -> tuple[int, float]:
    r = subprocess.run([sys.executable, "-c", CHILD, what, path, str(n)], capture_output=True, text=True,
                       check=True)
    rise, seconds = r.stdout.split()
    return int(rise), float(seconds)


def main() -> None:
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 2_000_000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    mib = 1 << 20
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "records.tvx")
        with open(path + ".jsonl", "w") as f:
            for i in range(n):
                f.write('{"id": %d, "name": "user%d", "tags": ["a", "b"]}\n' % (i, i))
        print(f"{n:,} records; peak rise above the process's size before the call, MiB; "
              f"median wall time of {rounds} rounds, s")
        print(f"{'':<26} {'streaming':>10} {'in memory':>10} {'stream s':>9} {'memory s':>9} {'time ratio':>11}")
        for label, streaming, in_memory in PAIRS:
            peaks: dict[str, int] = {}
            times: dict[str, list[float]] = {streaming: [], in_memory: []}
            ratios = []
            for _ in range(rounds):
                for kind in (streaming, in_memory):
                    rise, seconds = measure(kind, path, n)
                    peaks[kind] = max(peaks.get(kind, 0), rise)
                    times[kind].append(seconds)
                ratios.append(times[streaming][-1] / times[in_memory][-1])
            print(f"{label:<26} {peaks[streaming] / mib:>10.1f} {peaks[in_memory] / mib:>10.1f} "
                  f"{statistics.median(times[streaming]):>9.2f} {statistics.median(times[in_memory]):>9.2f} "
                  f"{statistics.median(ratios):>11.2f}")
        size = os.path.getsize(path)
        for label, kind in CLI:
            rise, seconds = measure(kind, path, n)
            print(f"{label:<26} {rise / mib:>10.1f} {'':>10} {seconds:>9.2f}")
        print(f"document: {size / mib:.1f} MiB")


if __name__ == "__main__":
    main()
