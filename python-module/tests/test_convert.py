import collections
import enum
import math
import sys

import pytest
from hypothesis import given, settings, strategies as st

from _tuvax_native import decode, encode, parse_text, pretty_print
from native_support import assert_refcounts_kept, nested_lists, raises_exactly


def round_trip(x):
    return decode(encode(x))


class TestScalars:
    @pytest.mark.parametrize("value", [
        None, True, False, 0, 1, -1, 2**63 - 1, -2**63, 2**63, 2**64 - 1,
        0.0, -0.0, 1.5, 1e300, "", "héllo ☃", b"", b"\x00\xff",
    ])
    def test_round_trip(self, value):
        back = round_trip(value)
        assert back == value and type(back) is type(value)

    # Decoded text is built straight into the str's own storage, in the
    # narrowest of its three kinds: every kind boundary, at lengths that
    # cross the vector routines' block sizes, as values, keys and strings
    # shared through the string table, must come back equal.
    @pytest.mark.parametrize("char", ["\x7f", "\x80", "\xff", "\u0100", "\uffff", "\U00010000", "\U0010ffff"])
    def test_text_of_every_width(self, char):
        from _tuvax_native import Encoder, TuvaxDecoder
        texts = [char * n + "a" * m for n in (1, 2, 15, 33, 70) for m in (0, 1, 31)]
        texts += ["a" * m + char + "é" for m in (0, 7, 16, 40)]
        doc = {t: [t, t] for t in texts}
        assert round_trip(doc) == doc
        enc = Encoder()
        enc.enable_dedup()
        enc.encode(doc)
        enc.encode(texts)
        assert TuvaxDecoder(enc.finish()).decode_all() == [doc, texts]

    # Repeated keys come from a cache that tells keys apart by their length
    # and a few machine words: keys that differ in one byte anywhere, at every
    # length around the word sizes, must never be taken for one another.
    def test_keys_differing_in_one_byte_stay_apart(self):
        docs = []
        for n in range(1, 34):
            base = "k" * n
            docs.append({base[:i] + "x" + base[i + 1:]: i for i in range(n)} | {base: -1})
        assert round_trip(docs) == docs

    def test_bool_stays_bool(self):
        assert round_trip([True, False, 1, 0]) == [True, False, 1, 0]
        assert [type(x) for x in round_trip([True, 1])] == [bool, int]

    def test_special_floats(self):
        assert math.isnan(round_trip(float("nan")))
        assert round_trip(float("inf")) == float("inf")
        assert round_trip(float("-inf")) == float("-inf")
        assert math.copysign(1.0, round_trip(-0.0)) == -1.0

    # Unsigned integers above 2**63 - 1 come out of the decoder and the text
    # parser; they must go back in too.
    def test_large_unsigned_encodes_again(self):
        big = parse_text("18446744073709551615")
        assert big == 2**64 - 1
        assert round_trip(big) == big
        assert pretty_print(big) == "18446744073709551615"

    @pytest.mark.parametrize("value", [2**64, -2**63 - 1, 10**100, -10**100])
    def test_out_of_range_integers(self, value):
        raises_exactly(OverflowError, "int too big to convert", encode, value)
        raises_exactly(OverflowError, "int too big to convert", pretty_print, [value])

    def test_subclasses_come_back_as_base_types(self):
        class S(str): pass
        class F(float): pass
        class B(bytes): pass
        class Color(enum.IntEnum):
            RED = 3
        back = round_trip([S("s"), F(2.5), B(b"b"), Color.RED])
        assert back == ["s", 2.5, b"b", 3]
        assert [type(x) for x in back] == [str, float, bytes, int]

    def test_lone_surrogate(self):
        with pytest.raises(UnicodeEncodeError):
            encode("\ud800")


class TestRejected:
    @pytest.mark.parametrize("value, name", [
        ((1, 2), "tuple"), ({1}, "set"), (frozenset(), "frozenset"),
        (bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"),
        (object(), "object"), (1j, "complex"), (range(3), "range"),
    ])
    def test_unsupported_type(self, value, name):
        raises_exactly(TypeError, f"cannot convert {name} to Tuvax value", encode, value)
        raises_exactly(TypeError, f"cannot convert {name} to Tuvax value", encode, {"k": [value]})

    @pytest.mark.parametrize("key", [1, None, b"k", ("t",), "\udcff"])
    def test_dict_keys_must_be_strings(self, key):
        raises_exactly(TypeError, "dict keys must be strings", encode, {key: 1})

    def test_strict_subclasses_of_dict_and_list(self):
        class MyList(list): pass
        raises_exactly(TypeError, "'OrderedDict' object is not an instance of 'dict'",
                       encode, collections.OrderedDict())
        raises_exactly(TypeError, "'defaultdict' object is not an instance of 'dict'",
                       encode, collections.defaultdict(int))
        raises_exactly(TypeError,
                       "'TestRejected.test_strict_subclasses_of_dict_and_list.<locals>.MyList' "
                       "object is not an instance of 'list'", encode, MyList())

    def test_failure_releases_references(self):
        key, value, element = "k" * 50, "v" * 50, "e" * 50
        assert_refcounts_kept([key, value, element], encode,
                              {key: value, "list": [element, element, object()]})
        assert_refcounts_kept([key, value], encode, [{key: value}, {1: 2}])
        assert_refcounts_kept([element], pretty_print, [element, (1,)])


class TestContainers:
    def test_dict_order_and_nesting(self):
        value = {"z": 1, "a": {"y": [1, {"x": None}], "b": []}, "m": {}}
        back = round_trip(value)
        assert back == value
        assert list(back) == ["z", "a", "m"] and list(back["a"]) == ["y", "b"]

    def test_duplicate_keys_keep_first_position_and_last_value(self):
        back = parse_text("{a: 1; b: 2; a: 3;}")
        assert back == {"a": 3, "b": 2}
        assert list(back) == ["a", "b"]

    def test_repeated_keys_across_many_dicts(self):
        # More distinct short keys than the key cache has slots, so slots are
        # shared and keys move and are replaced; lengths straddle the sizes
        # the cache compares differently (16, 32, 64 bytes), and long keys
        # that differ only between their first and last 16 bytes.
        keys = [f"k{i}" for i in range(1200)] + ["x" * 15, "x" * 16, "é" * 7, "é" * 8, ""]
        keys += ["p" * 16 + m * n + "s" * 16 for n in (1, 2, 31, 32, 33) for m in "ab"] + ["é" * 20, "é" * 21]
        docs = [{k: i for k in keys[i % 7::3]} for i in range(50)]
        docs += [{k: i for k in reversed(keys[-14:])} for i in range(3)]
        assert round_trip(docs) == docs
        assert parse_text(pretty_print(docs)) == docs

    def test_self_containing_data_raises_recursion_error(self):
        lst = []
        lst.append(lst)
        dct = {}
        dct["self"] = dct
        for value in (lst, dct, [1, {"a": lst}]):
            with pytest.raises(RecursionError):
                encode(value)
            with pytest.raises(RecursionError):
                pretty_print(value)
        lst.clear()
        dct.clear()

    def test_deep_nesting_is_refused_not_crashed(self):
        deep = nested_lists(200000)
        with pytest.raises(RecursionError):
            encode(deep)
        deep_dict = {}
        for _ in range(200000):
            deep_dict = {"a": deep_dict}
        with pytest.raises(RecursionError):
            encode(deep_dict)
        # Still usable afterwards: the recursion counter is balanced.
        assert round_trip(nested_lists(100)) == nested_lists(100)


def values(max_leaves=30):
    scalars = (st.none() | st.booleans()
               | st.integers(min_value=-2**63, max_value=2**64 - 1)
               | st.floats(allow_nan=False) | st.text() | st.binary())
    return st.recursive(
        scalars,
        lambda inner: st.lists(inner, max_size=6) | st.dictionaries(st.text(max_size=8), inner, max_size=6),
        max_leaves=max_leaves)


@settings(max_examples=300, deadline=None)
@given(values())
def test_binary_round_trip(value):
    assert round_trip(value) == value


def containers_deep(v):
    members = v.values() if isinstance(v, dict) else v if isinstance(v, list) else None
    return 0 if members is None else 1 + max(map(containers_deep, members), default=0)


def nested(depth, leaf):
    for i in range(depth):
        leaf = [leaf] if i % 2 else {"k": leaf}
    return leaf


# What the writers accept always reads back: at each limit's edge the
# encoder and the printer either refuse (with the reader's own error) or
# produce what the readers take back unchanged.
@settings(max_examples=60, deadline=None)
@given(values(max_leaves=8), st.integers(min_value=120, max_value=132))
def test_writers_accept_only_what_reads_back(leaf, depth):
    value = nested(depth, leaf)
    deep = containers_deep(value) > 128
    try:
        blob = encode(value)
    except RuntimeError as e:
        assert deep and "Nesting depth" in str(e)
    else:
        assert decode(blob) == value
    try:
        text = pretty_print(value)
    except ValueError as e:
        assert deep and str(e) == "nesting depth exceeds maximum 128"
    else:
        assert parse_text(text) == value


def test_limits_of_size_read_back_or_are_refused():
    from _tuvax_native import Encoder, TuvaxDecoder
    limit = 16 << 20
    for value in (b"x" * limit, "y" * limit, {"k": [b"z" * limit]}):
        assert decode(encode(value)) == value
    for value in (b"x" * (limit + 1), "y" * (limit + 1), [{"k": b"z" * (limit + 1)}]):
        with pytest.raises(RuntimeError) as e:
            encode(value)
        assert str(e.value) == f"encode error: Memory limit exceeded: requested {limit + 1} bytes, limit {limit}"
    # A stream just over one block's 64 MiB continues in a second block.
    chunk = b"c" * (1 << 20)
    enc = Encoder()
    for i in range(65):
        enc.encode([i, chunk])
    assert TuvaxDecoder(enc.finish()).decode_all() == [[i, chunk] for i in range(65)]
