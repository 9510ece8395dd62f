"""Reference-leak check for _tuvax_native, run under a debug interpreter.

    python3.14-dbg python-module/tests/leakcheck.py

Every case calls one function or method of the module, on a success path or
an error path, many times over. A case fails when the interpreter's total
reference count (or its count of allocated memory blocks) grows in every
round: a reference or an object lost per call shows up as steady growth,
while caches that fill once settle during the warm-up.
"""

import collections
import gc
import os
import pathlib
import shutil
import sys
import tempfile

from native_support import nested_lists

WARMUP = 20
ROUNDS = 4
REPEATS = 100
# Growth per round tolerated from the interpreter's own bookkeeping; a leak
# of one reference per call already gives REPEATS.
TOLERANCE = 10


def build_cases(m, tmp):
    class StrSub(str):
        pass

    class ListSub(list):
        pass

    class Index:
        def __index__(self):
            return 3

    doc = {"name": "Ada", "tags": ["a", "b", StrSub("c")], "n": [0, -1, 2**64 - 1, 1.5, None, True],
           "blob": b"\x00\x01", "nested": {"deep": [[{"k": "v" * 40}]]}}
    data = m.encode(doc)
    multi = m.Encoder()
    for v in (1, "two", [3]):
        multi.encode(v)
    multi_data = multi.finish()
    damaged = bytearray(data)
    damaged[-25] ^= 1
    damaged = bytes(damaged)
    self_list = []
    self_list.append(self_list)
    good_file = os.path.join(tmp, "good.tvx")
    m.encode_to_file(doc, good_file)
    bad_file = os.path.join(tmp, "bad.tvx")
    with open(bad_file, "wb") as f:
        f.write(b"garbage!")
    out_file = os.path.join(tmp, "out.tvx")
    missing = os.path.join(tmp, "no", "such", "dir", "x")
    text = m.pretty_print(doc)
    # Valid framing around a value that fails deep inside (invalid UTF-8 in
    # a string after many finished members): the builder drops it half-way.
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "fuzz"))
    from fuzz_python import join, split
    reserved, blocks = split(m.encode([doc, [list(range(50)), {"x": [doc, "BAD!"]}], doc]))
    blocks[0][2] = blocks[0][2].replace(b"BAD!", b"BA\xff!")
    half_built = join(reserved, blocks)

    def encoder_session(dedup, comp):
        enc = m.Encoder()
        if dedup:
            enc.enable_dedup()
        enc.set_compression(comp)
        enc.encode(doc)
        enc.encode([1, 2, 3])
        return enc.finish()

    def finished_encoder():
        enc = m.Encoder()
        enc.finish()
        return enc

    def encoder_calls_after_finish():
        enc = finished_encoder()
        for call in (enc.finish, enc.enable_dedup, lambda: enc.encode(1),
                     lambda: enc.set_compression("none"), lambda: enc.finish_to_file(out_file)):
            try:
                call()
            except RuntimeError:
                pass
            else:
                raise AssertionError("finished encoder accepted a call")

    def encoder_failed_encode():
        enc = m.Encoder()
        enc.encode("kept")
        enc.encode(nested_lists(129))

    def encoder_finish_to_file(path):
        enc = m.Encoder()
        enc.encode(doc)
        enc.finish_to_file(path)

    def decoder_twice(payload):
        dec = m.TuvaxDecoder(payload)
        try:
            dec.decode_all()
        except RuntimeError:
            pass
        dec.decode_all()

    def next_then_rest(payload):
        dec = m.TuvaxDecoder(payload)
        next(dec)
        return dec.decode_all()

    truncated_file = os.path.join(tmp, "truncated.tvx")
    with open(truncated_file, "wb") as f:
        f.write(data[:-7])

    def from_pipe(payload):
        r, w = os.pipe()
        try:
            os.write(w, payload)
            os.close(w)
            w = -1
            return m.decode_from_file(f"/dev/fd/{r}")
        finally:
            os.close(r)
            if w >= 0:
                os.close(w)

    def reimport():
        saved = sys.modules.pop("_tuvax_native")
        try:
            __import__("_tuvax_native")
        finally:
            sys.modules["_tuvax_native"] = saved

    # The package's entry points: generous types, the default hook, notes,
    # any path.
    od = collections.OrderedDict(a=1, b=[(1, 2)])
    od.move_to_end("a")
    generous_doc = {"t": (1, ("x", None)), "od": od, "l": ListSub([1]), "dd": collections.defaultdict(int, k=1)}
    path_bytes = os.fsencode(out_file)

    def hook(obj):
        if isinstance(obj, set):
            return sorted(obj)
        if isinstance(obj, Index):
            return {"i": obj.__index__(), "more": {1, 2}}
        raise ValueError("no hook for this")

    def encoder_generous(dedup):
        enc = m.Encoder()
        if dedup:
            enc.enable_dedup()
        enc._encode(generous_doc, hook)
        enc._encode([{3, 1}], hook)
        enc._finish_to_file(path_bytes)

    def dropping_hook(obj):
        holder["doc"]["outer"][0] = None
        holder["doc"]["outer"] = None
        return "replaced"

    holder = {}

    def drop_while_walked():
        holder["doc"] = {"outer": [[object(), "after"]]}
        return m._encode(holder["doc"], default=dropping_hook)

    def chain(obj):
        return Index()  # never encodable by itself: the bound ends it

    class OddItems(dict):
        def items(self):
            return [("a", 1, 2)]

    ok = None
    return [
        # name, expected exception (None: must succeed), call
        ("encode", ok, lambda: m.encode(doc)),
        ("encode keyword", ok, lambda: m.encode(obj=[1, "x"])),
        ("encode unsupported type", TypeError, lambda: m.encode({"a": [1, (2,)]})),
        ("encode non-str key", TypeError, lambda: m.encode({"a": {1: "x"}})),
        ("encode surrogate key", TypeError, lambda: m.encode({"\ud800": 1})),
        ("encode dict subclass", TypeError, lambda: m.encode([collections.OrderedDict()])),
        ("encode list subclass", TypeError, lambda: m.encode({"a": ListSub()})),
        ("encode overflow", OverflowError, lambda: m.encode([1, 2**64])),
        ("encode negative overflow", OverflowError, lambda: m.encode([1, -2**63 - 1])),
        ("encode surrogate", UnicodeEncodeError, lambda: m.encode(["ok", "\ud800"])),
        ("encode self-containing", RecursionError, lambda: m.encode(self_list)),
        ("encode too deep", RuntimeError, lambda: m.encode(nested_lists(129))),
        ("encode no args", TypeError, lambda: m.encode()),
        ("encode two args", TypeError, lambda: m.encode(1, 2)),
        ("encode duplicate arg", TypeError, lambda: m.encode(1, obj=2)),
        ("encode unknown keyword", TypeError, lambda: m.encode(1, foo=2)),
        ("decode", ok, lambda: m.decode(data)),
        ("decode several", ok, lambda: m.decode(multi_data)),
        ("decode str", TypeError, lambda: m.decode("abc")),
        ("decode garbage", RuntimeError, lambda: m.decode(b"garbage!")),
        ("decode empty", RuntimeError, lambda: m.decode(b"")),
        ("decode truncated", RuntimeError, lambda: m.decode(data[:-1])),
        ("decode damaged", RuntimeError, lambda: m.decode(damaged)),
        ("decode fails half-way", RuntimeError, lambda: m.decode(half_built)),
        ("decode_all fails half-way", RuntimeError, lambda: m.TuvaxDecoder(half_built).decode_all()),
        ("encode_to_file", ok, lambda: m.encode_to_file(doc, out_file)),
        ("encode_to_file missing dir", FileNotFoundError, lambda: m.encode_to_file(doc, missing)),
        ("encode_to_file directory", IsADirectoryError, lambda: m.encode_to_file(doc, tmp)),
        ("encode_to_file NUL", OSError, lambda: m.encode_to_file(doc, "a\0b")),
        ("encode_to_file bad path", TypeError, lambda: m.encode_to_file(doc, 5)),
        ("encode_to_file bad object", TypeError, lambda: m.encode_to_file(object(), out_file)),
        ("encode_to_file too deep", RuntimeError, lambda: m.encode_to_file(nested_lists(129), out_file)),
        ("decode_from_file", ok, lambda: m.decode_from_file(good_file)),
        ("decode_from_file missing", FileNotFoundError, lambda: m.decode_from_file(missing)),
        ("decode_from_file directory", IsADirectoryError, lambda: m.decode_from_file(tmp)),
        ("decode_from_file bad data", RuntimeError, lambda: m.decode_from_file(bad_file)),
        ("decode_from_file bad path", TypeError, lambda: m.decode_from_file(b"x")),
        ("decode_from_file truncated", RuntimeError, lambda: m.decode_from_file(truncated_file)),
        ("decode_from_file pipe", ok, lambda: from_pipe(data)),
        ("decode_from_file pipe truncated", RuntimeError, lambda: from_pipe(data[:-7])),
        ("decode_from_file /dev/zero", RuntimeError, lambda: m.decode_from_file("/dev/zero")),
        ("parse_text", ok, lambda: m.parse_text(text)),
        ("parse_text duplicate keys", ok, lambda: m.parse_text("{a: 1; b: [b64#AQID]; a: 2;}")),
        ("parse_text error", ValueError, lambda: m.parse_text("{a: [1, 2}")),
        ("parse_text fails half-way", ValueError, lambda: m.parse_text(text[:-3] + "]" + text[-3:])),
        ("parse_text trailing", ValueError, lambda: m.parse_text("1 2")),
        ("parse_text bytes", TypeError, lambda: m.parse_text(b"1")),
        ("parse_text surrogate", UnicodeEncodeError, lambda: m.parse_text("\ud800")),
        ("pretty_print", ok, lambda: m.pretty_print(doc)),
        ("pretty_print indent", ok, lambda: m.pretty_print(doc, indent=Index())),
        ("pretty_print None indent", TypeError, lambda: m.pretty_print(doc, None)),
        ("pretty_print negative indent", OverflowError, lambda: m.pretty_print(doc, -1)),
        ("pretty_print huge indent", MemoryError, lambda: m.pretty_print(doc, 2**63)),
        ("pretty_print unsupported", TypeError, lambda: m.pretty_print([1, {2}])),
        ("pretty_print too many args", TypeError, lambda: m.pretty_print(1, 2, 3)),
        ("Encoder session", ok, lambda: encoder_session(False, "none")),
        ("Encoder session dedup", ok, lambda: encoder_session(True, "LZ4")),
        ("Encoder unfinished", ok, lambda: m.Encoder().encode(doc)),
        ("Encoder args", TypeError, lambda: m.Encoder(1)),
        ("Encoder keyword", TypeError, lambda: m.Encoder(x=1)),
        ("Encoder bad compression", ValueError, lambda: m.Encoder().set_compression("gzip")),
        ("Encoder compression type", TypeError, lambda: m.Encoder().set_compression(3)),
        ("Encoder encode unsupported", TypeError, lambda: m.Encoder().encode({"a": object()})),
        ("Encoder encode too deep", RuntimeError, encoder_failed_encode),
        ("Encoder finished", ok, encoder_calls_after_finish),
        ("Encoder finish args", TypeError, lambda: m.Encoder().finish(1)),
        ("Encoder finish_to_file", ok, lambda: encoder_finish_to_file(out_file)),
        ("Encoder finish_to_file missing", FileNotFoundError, lambda: encoder_finish_to_file(missing)),
        ("Encoder finish_to_file bad path", TypeError, lambda: m.Encoder().finish_to_file(1)),
        ("TuvaxDecoder", ok, lambda: m.TuvaxDecoder(multi_data).decode_all()),
        ("TuvaxDecoder unused", ok, lambda: m.TuvaxDecoder(data)),
        ("TuvaxDecoder bad type", TypeError, lambda: m.TuvaxDecoder(bytearray(data))),
        ("TuvaxDecoder no args", TypeError, lambda: m.TuvaxDecoder()),
        ("TuvaxDecoder bad data", RuntimeError, lambda: m.TuvaxDecoder(damaged).decode_all()),
        ("TuvaxDecoder consumed", RuntimeError, lambda: decoder_twice(data)),
        ("TuvaxDecoder consumed after error", RuntimeError, lambda: decoder_twice(b"garbage!")),
        ("TuvaxDecoder iterate", ok, lambda: list(m.TuvaxDecoder(multi_data))),
        ("TuvaxDecoder iterate damaged", RuntimeError, lambda: list(m.TuvaxDecoder(damaged))),
        ("TuvaxDecoder next then decode_all", ok, lambda: next_then_rest(multi_data)),
        ("_encode generous", ok, lambda: m._encode(generous_doc)),
        ("_encode default", ok, lambda: m._encode([{2, 1}, Index(), "x"], default=hook)),
        ("_encode default raises", ValueError, lambda: m._encode({"a": [1, object()]}, default=hook)),
        ("_encode default unchanged", TypeError, lambda: m._encode({"a": {1}}, default=lambda o: o)),
        ("_encode default chain bound", TypeError, lambda: m._encode([object()], default=chain)),
        ("_encode default not callable", TypeError, lambda: m._encode(1, default=3)),
        ("_encode positional default", TypeError, lambda: m._encode(1, hook)),
        ("_encode hook drops ancestors", ok, drop_while_walked),
        ("_encode items not pairs", TypeError, lambda: m._encode([OddItems()])),
        ("_encode noted TypeError", TypeError, lambda: m._encode({"a b": [1, {"c": object()}]})),
        ("_encode noted overflow", OverflowError, lambda: m._encode({"k": (2**64,)})),
        ("_encode limit note and hint", RuntimeError, lambda: m._encode({"a": [nested_lists(129)]})),
        ("encode limit note and hint", RuntimeError, lambda: m.encode({"s": "x" * (17 << 20)})),
        ("_encode_to_file bytes path", ok, lambda: m._encode_to_file(generous_doc, path_bytes)),
        ("_encode_to_file bad path", TypeError, lambda: m._encode_to_file(1, 3.5)),
        ("_encode_to_file NUL", ValueError, lambda: m._encode_to_file(1, b"a\0b")),
        ("_decode_from_file PathLike", ok, lambda: m._decode_from_file(pathlib.Path(good_file))),
        ("_decode_from_file missing", FileNotFoundError, lambda: m._decode_from_file(os.fsencode(missing))),
        ("_pretty_print generous", ok, lambda: m._pretty_print(generous_doc, default=hook)),
        ("_pretty_print default raises", ValueError, lambda: m._pretty_print([object()], 0, default=hook)),
        ("_pretty_print too deep noted", ValueError, lambda: m._pretty_print({"a": nested_lists(130)})),
        ("_parse_text_counted", ok, lambda: m._parse_text_counted("// a\n[1, /* b */ 2]")),
        ("_parse_text_counted error", ValueError, lambda: m._parse_text_counted("/* a */ [1,")),
        ("Encoder._encode and _finish_to_file", ok, lambda: encoder_generous(False)),
        ("Encoder._encode dedup", ok, lambda: encoder_generous(True)),
        ("Encoder._encode raises", ValueError, lambda: m.Encoder()._encode([object()], hook)),
        ("Encoder._finish_to_file bad path", TypeError, lambda: m.Encoder()._finish_to_file(None)),
        ("_replace_file", ok, lambda: m._replace_file(out_file, [data, bytearray(b"x")])),
        ("_replace_file chunk not bytes", TypeError, lambda: m._replace_file(out_file, [data, 1])),
        ("_replace_file iterable raises", ZeroDivisionError,
         lambda: m._replace_file(out_file, (b"x" if i else 1 // i for i in (1, 0)))),
        ("_replace_file missing dir", FileNotFoundError, lambda: m._replace_file(missing, [data])),
        ("_blocks", ok, lambda: m._blocks(multi_data)),
        ("_blocks damaged", ok, lambda: m._blocks(damaged)),
        # The import system's own caches take a while to settle.
        ("re-import", ok, reimport, 1500),
    ]


def run_case(expected, call):
    try:
        call()
    except BaseException as e:
        if expected is None or type(e) is not expected:
            raise AssertionError(f"raised {type(e).__name__}: {e}") from e
    else:
        if expected is not None:
            raise AssertionError(f"did not raise {expected.__name__}")


def growth(expected, call, warmup):
    """Per-round growth of (total references, allocated blocks)."""
    for _ in range(warmup):
        run_case(expected, call)
    rounds = []
    for _ in range(ROUNDS):
        gc.collect()
        refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(REPEATS):
            run_case(expected, call)
        gc.collect()
        rounds.append((sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks))
    return rounds


def main():
    if not hasattr(sys, "gettotalrefcount"):
        print("leakcheck: needs a debug interpreter (python3.14-dbg); sys.gettotalrefcount is missing")
        return 2
    import _tuvax_native as m

    tmp = tempfile.mkdtemp(prefix="tuvax-leakcheck-")
    passed = failed = 0
    try:
        cases = build_cases(m, tmp)
        # Every path once before any is measured: the interpreter's first-use
        # caches (exception notes, method lookups) settle over all of them,
        # not inside the rounds of whichever case happens to come first.
        for _, expected, call, *_ in cases:
            for _ in range(5):
                try:
                    run_case(expected, call)
                except AssertionError:
                    pass  # reported when the case is measured
        for name, expected, call, *warmup in cases:
            try:
                rounds = growth(expected, call, warmup[0] if warmup else WARMUP)
            except AssertionError as e:
                print(f"FAIL {name}: {e}")
                failed += 1
                continue
            refs = [r for r, _ in rounds]
            blocks = [b for _, b in rounds]
            if min(refs) > TOLERANCE or min(blocks) > TOLERANCE:
                # A leak grows every time; the interpreter's own caches can
                # take a round or two more to settle on a loaded machine, so
                # a case that grew is measured once more before it fails.
                rounds = growth(expected, call, 10 * WARMUP)
                refs = [r for r, _ in rounds]
                blocks = [b for _, b in rounds]
            if min(refs) > TOLERANCE or min(blocks) > TOLERANCE:
                print(f"FAIL {name}: grows every round of {REPEATS} calls: references {refs}, blocks {blocks}")
                failed += 1
            else:
                passed += 1
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"leakcheck: {passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
