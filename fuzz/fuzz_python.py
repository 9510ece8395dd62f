"""Fuzzes _tuvax_native through its Python surface for a time budget.

Arbitrary and mutated documents go to decode(), arbitrary and mutated text to
parse_text(); only the documented exceptions may come out: RuntimeError
"decode error: ..." and ValueError "parse error: Text parse error at line L,
col C: ...", plus UnicodeEncodeError for a str holding lone surrogates. What
decodes or parses must survive encode()/pretty_print() and come back equal.

    PYTHONPATH=...:python-module/tests python3 fuzz/fuzz_python.py SECONDS

Hypothesis generates the inputs; every batch runs with a fresh random seed,
so the budget explores rather than replays. A failing input is printed (and
shrunk) by Hypothesis, and the run exits 1.
"""

import math
import re
import sys
import time

from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

import _tuvax_native as tv
from doc_framer import HEADER, join, split  # python-module/tests, on PYTHONPATH

# ---- Strategies ----

scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text(max_size=20)
    | st.binary(max_size=20)
)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=6) | st.dictionaries(st.text(max_size=8), inner, max_size=6),
    max_leaves=40,
)


@st.composite
def documents(draw):
    """Valid documents of random values, then damaged at block level or
    byte level; checksums are usually recomputed so the damage gets past
    them."""
    enc = tv.Encoder()
    if draw(st.booleans()):
        enc.enable_dedup()
    for v in draw(st.lists(values, min_size=0, max_size=3)):
        enc.encode(v)
    doc = enc.finish()
    reserved, blocks = split(doc)
    for _ in range(draw(st.integers(0, 4))):
        if not blocks:
            break
        block = blocks[draw(st.integers(0, len(blocks) - 1))]
        what = draw(st.sampled_from(["byte", "byte", "byte", "insert", "erase", "type", "comp", "dup"]))
        payload = bytearray(block[2])
        if what == "byte" and payload:
            payload[draw(st.integers(0, len(payload) - 1))] = draw(st.integers(0, 255))
        elif what == "insert":
            at = draw(st.integers(0, len(payload)))
            payload[at:at] = draw(st.binary(min_size=1, max_size=12))
        elif what == "erase" and payload:
            at = draw(st.integers(0, len(payload) - 1))
            del payload[at : at + draw(st.integers(1, 8))]
        elif what == "type":
            block[0] = draw(st.integers(1, 4))
        elif what == "comp":
            block[1] = draw(st.sampled_from([0, 1, 2, 3, 4, 255]))
        elif what == "dup":
            blocks.insert(draw(st.integers(0, len(blocks))), list(block))
        block[2] = bytes(payload)
    if draw(st.integers(0, 9)) > 0:
        out = join(reserved, blocks)
    else:
        out = bytearray(doc)  # raw damage: framing, checksums, trailer
        for _ in range(draw(st.integers(1, 3))):
            if out:
                out[draw(st.integers(0, len(out) - 1))] = draw(st.integers(0, 255))
        out = bytes(out)
    if draw(st.integers(0, 9)) == 0:
        out = out[: draw(st.integers(0, len(out)))]
    return out


notation = st.sampled_from(
    list("{}[]:;,\"\\ \n\t/*-+.eE0123456789abAQID=#_")
    + ["null", "true", "false", "inf", "-inf", "NaN", "b64#", "::", "//", "/*", "*/", "\\n", "é", "\u2028", "\ufeff", "😀"]
)
texts = st.lists(notation | st.text(max_size=3), max_size=60).map("".join)


@st.composite
def mutated_texts(draw):
    text = tv.pretty_print(draw(values), draw(st.sampled_from([0, 1, 2, 4])))
    chars = list(text)
    for _ in range(draw(st.integers(0, 4))):
        at = draw(st.integers(0, len(chars)))
        what = draw(st.sampled_from(["insert", "delete", "replace"]))
        piece = draw(notation)
        if what == "insert":
            chars[at:at] = [piece]
        elif chars:
            at = min(at, len(chars) - 1)
            chars[at : at + 1] = [] if what == "delete" else [piece]
    return "".join(chars)


# ---- Properties ----

PARSE_ERROR = re.compile(r"parse error: Text parse error at line [1-9][0-9]*, col [1-9][0-9]*: .")
DECODE_MESSAGES = (
    "Invalid magic bytes", "Invalid wire type tag: 0x", "Varint overflow", "Unexpected end of input at offset ",
    "Checksum mismatch: expected 0x", "Invalid UTF-8 in string field at offset ", "Nesting depth ",
    "Block size ", "Item count ", "Unknown compression type: ", "Decompression error: ", "Invalid block type: ",
    "Memory limit exceeded: requested ", "Invalid data: ",
)


def same(a, b):
    """Equality that lets NaN equal NaN and keeps int, float and bool apart."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or a == b
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b


def check_decode(data):
    try:
        result = tv.decode(data)
    except RuntimeError as e:
        msg = str(e)
        assert type(e) is RuntimeError and len(e.args) == 1, repr(e)
        assert msg.startswith("decode error: ") and msg[14:].startswith(DECODE_MESSAGES), msg
        return
    again = tv.decode(tv.encode(result))
    assert same(again, result), (result, again)


def check_parse(text):
    try:
        result = tv.parse_text(text)
    except ValueError as e:
        assert type(e) is ValueError and PARSE_ERROR.match(str(e)), repr(e)
        return
    except UnicodeEncodeError:
        assert any(0xD800 <= ord(c) <= 0xDFFF for c in text), repr(text)
        return
    for indent in (2, 0):
        back = tv.parse_text(tv.pretty_print(result, indent))
        assert same(back, result), (result, back)


budget = settings(
    max_examples=400,
    deadline=None,
    database=None,
    derandomize=False,
    phases=[Phase.generate, Phase.shrink],
    suppress_health_check=list(HealthCheck),
)


@budget
@given(documents())
def fuzz_decode_documents(data):
    check_decode(data)


@budget
@given(st.binary(max_size=64).map(lambda b: (HEADER + b) if b[:1] != b"!" else b))
def fuzz_decode_bytes(data):
    check_decode(data)


@budget
@given(texts)
def fuzz_parse_texts(text):
    check_parse(text)


@budget
@given(mutated_texts())
def fuzz_parse_mutated(text):
    check_parse(text)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    # Framing must agree with the module's, or every repaired document would
    # fail its checksums and test nothing.
    doc = tv.encode([1, "two"])
    assert join(*split(doc)) == doc, "the framer disagrees with the module"

    harnesses = [fuzz_decode_documents, fuzz_decode_bytes, fuzz_parse_texts, fuzz_parse_mutated]
    deadline = time.monotonic() + seconds
    batches = 0
    while time.monotonic() < deadline:
        for harness in harnesses:
            harness()  # raises, with Hypothesis's report of the failing input
        batches += 1
    print(f"fuzz_python: {batches} batches of {len(harnesses)} x {budget.max_examples} examples, no finding")


if __name__ == "__main__":
    main()
