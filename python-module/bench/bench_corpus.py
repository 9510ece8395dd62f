"""Side-by-side timings of _tuvax_native against the standard json and pickle
modules on the benchmark corpus, in one run, reported as ratios.

    PYTHONPATH=build/python-module python3 python-module/bench/bench_corpus.py [CORPUS_DIR]
"""

import json
import pathlib
import pickle
import sys
import timeit

import _tuvax_native as tv


def best(fn, number):
    return min(timeit.repeat(fn, number=number, repeat=5)) / number


def main() -> None:
    corpus = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                          pathlib.Path(__file__).resolve().parents[2] / ".." / "shared" / "corpus")
    print(f"{'document':<18}{'op':<8}{'tuvax ms':>10}{'json ms':>10}{'pickle ms':>11}{'json/tuvax':>12}")
    for path in sorted(corpus.glob("*.json")):
        text = path.read_text(encoding="utf-8")
        obj = json.loads(text)
        blob = tv.encode(obj)
        pick = pickle.dumps(obj, protocol=5)
        n = 5
        rows = [
            ("encode", lambda: tv.encode(obj), lambda: json.dumps(obj), lambda: pickle.dumps(obj, protocol=5)),
            ("decode", lambda: tv.decode(blob), lambda: json.loads(text), lambda: pickle.loads(pick)),
        ]
        for op, t_fn, j_fn, p_fn in rows:
            t, j, p = best(t_fn, n), best(j_fn, n), best(p_fn, n)
            print(f"{path.stem:<18}{op:<8}{t * 1e3:>10.2f}{j * 1e3:>10.2f}{p * 1e3:>11.2f}{j / t:>11.2f}x")
        print(f"{path.stem:<18}{'size':<8}{len(blob):>10}{len(text.encode()):>10}{len(pick):>11}")


if __name__ == "__main__":
    main()
