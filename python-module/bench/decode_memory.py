"""How much memory decoding takes, as a multiple of the input's size.

Every decoder into Python objects pays for the objects it makes: a dict or a
list costs tens of bytes however little of the input describes it. The
format's limits bound the string bytes a document can make (256 MiB), not the
number of objects, so small containers and short strings make the largest
multiples. Each shape is decoded in a fresh interpreter; the peak is the
process's VmHWM during the call, less its size before it.

    make bench-memory        (or: python3 decode_memory.py [MiB of input])
"""

import subprocess
import sys
import textwrap

# One item of each shape, as an expression of its index i; a document is
# lists of 1,000 such items (a list holds at most 1,000,000).
SHAPES = {
    "{'': None}": "{'': None}",
    "[]": "[]",
    "two-character str": "'%02d' % (i % 100)",
    "small int": "i % 100",
    "float": "i / 7",
    "{'id', 'user', 'tags'}": "{'id': i, 'user': 'user%d' % i, 'tags': ['a', 'b']}",
}

CHILD = textwrap.dedent("""
    import ctypes, sys, _tuvax_native as tv
    item, mib = sys.argv[1], int(sys.argv[2])
    def document(chunks):
        return [[eval(item, {"i": i}) for i in range(c * 1000, c * 1000 + 1000)] for c in range(chunks)]
    per_chunk = len(tv.encode(document(1)))
    data = tv.encode(document(max(1, (mib << 20) // per_chunk)))
    def status(key):
        with open("/proc/self/status") as f:
            return next(int(l.split()[1]) for l in f if l.startswith(key)) << 10
    ctypes.CDLL(None).malloc_trim(0)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak starts again from here
    before = status("VmRSS")
    out = tv.decode(data)
    print(len(data), status("VmHWM") - before)
""")


def main() -> None:
    mib = int(sys.argv[1]) if len(sys.argv) > 1 else 32
    print(f"decode peak above the process's size before the call, ~{mib} MiB of input each")
    print(f"{'one item of':<26} {'input MB':>9} {'peak rise MB':>13} {'x input':>8}")
    for name, expr in SHAPES.items():
        r = subprocess.run([sys.executable, "-c", CHILD, expr, str(mib)], capture_output=True, text=True,
                           check=True)
        size, rise = map(int, r.stdout.split())
        print(f"{name:<26} {size / 1e6:>9.1f} {rise / 1e6:>13.1f} {rise / size:>8.1f}")


if __name__ == "__main__":
    main()
