import itertools
import math

import pytest
from hypothesis import given, settings, strategies as st

from _tuvax_native import parse_text, pretty_print
from native_support import assert_refcounts_kept, nested_lists, raises_exactly
from test_convert import values


class TestParseText:
    @pytest.mark.parametrize("text, value", [
        ("{a: 1;}", {"a": 1}),
        ("-0", 0),
        ("18446744073709551615", 2**64 - 1),
        ("-9223372036854775808", -2**63),
        ("[1 2, \"x\"] // trailing comment\n", [1, 2, "x"]),
        ("b64#AQID", b"\x01\x02\x03"),
        ("{ \"first name\": true; n: null; f: 2.5e0; }", {"first name": True, "n": None, "f": 2.5}),
        ("inf", math.inf),
    ])
    def test_values(self, text, value):
        assert parse_text(text) == value

    def test_nan(self):
        assert math.isnan(parse_text("NaN"))

    @pytest.mark.parametrize("text, where", [
        ("1 2", "line 1, col 3: unexpected character: '2'"),
        ("{a: }", "line 1, col 5: unexpected character: '}'"),
        ("", "line 1, col 1: unexpected end of input"),
        ("[" * 129, "line 1, col 129: nesting depth exceeds maximum 128"),
    ])
    def test_errors(self, text, where):
        raises_exactly(ValueError, "parse error: Text parse error at " + where, parse_text, text)

    def test_argument_errors(self):
        raises_exactly(TypeError, "argument 'text': 'bytes' object is not an instance of 'str'", parse_text, b"1")
        with pytest.raises(UnicodeEncodeError):
            parse_text("\ud800")

    def test_failure_releases_references(self):
        text = "[1, 2, ?]" + " " * 50
        assert_refcounts_kept([text], parse_text, text)


class TestPrettyPrint:
    def test_layout(self):
        assert pretty_print({"a": [1, 2]}) == "{\n  a: [1, 2];\n}"
        assert pretty_print(b"\x01\x02\x03") == "b64#AQID"
        assert pretty_print([[1], {}], indent=0) == "[\n[1],\n{}\n]"
        assert pretty_print({"a": {"b": [b""]}}, 3) == '{\n   a: {\n      b: [\n         b64#\n      ];\n   };\n}'

    def test_indent_forms_agree(self):
        obj = {"k": [1, {"x": "y"}]}
        assert pretty_print(obj) == pretty_print(obj, 2) == pretty_print(obj, indent=2)

    def test_indent_accepts_index_objects(self):
        class Four:
            def __index__(self):
                return 4
        assert pretty_print({"a": 1}, Four()) == "{\n    a: 1;\n}"
        assert pretty_print({"a": 1}, True) == "{\n a: 1;\n}"

    @pytest.mark.parametrize("indent, exc, message", [
        (None, TypeError, "argument 'indent': 'NoneType' object cannot be interpreted as an integer"),
        (1.5, TypeError, "argument 'indent': 'float' object cannot be interpreted as an integer"),
        ("2", TypeError, "argument 'indent': 'str' object cannot be interpreted as an integer"),
        (-1, OverflowError, "can't convert negative int to unsigned"),
        (2**64, OverflowError, "int too big to convert"),
    ])
    def test_bad_indent_is_reported_before_the_object(self, indent, exc, message):
        raises_exactly(exc, message, pretty_print, object(), indent=indent)
        raises_exactly(exc, message, pretty_print, 1, indent)

    # The indentation of a nested line would not fit in memory.
    def test_huge_indent_is_a_memory_error(self):
        assert pretty_print(5, indent=2**64 - 1) == "5"
        raises_exactly(MemoryError, "Memory limit exceeded: requested 9223372036854775808 bytes, limit 1073741824",
                       pretty_print, {"a": [1]}, indent=2**63)

    def test_unconvertible_object(self):
        raises_exactly(TypeError, "cannot convert tuple to Tuvax value", pretty_print, {"a": (1,)})

    # Every kind of str storage (ASCII, Latin-1, two and four bytes a
    # character) in values and keys, bare and quoted: the result is the same
    # text whichever way the str was made.
    def test_text_of_every_string_width(self):
        obj = {"a": "plain", "é": "café", "ключ": ["€", "𝄞 \"x\""], "k-1": {"😀 k": b"\x01"}}
        text = pretty_print(obj)
        assert text == ('{\n  a: "plain";\n  é: "café";\n  ключ: ["€", "𝄞 \\"x\\""];\n'
                        '  "k-1": {\n    "😀 k": b64#AQ==;\n  };\n}')
        assert parse_text(text) == obj
        assert pretty_print({"a": ["x", 1]}).isascii() and pretty_print("é") == '"é"'
        # The widest character decides the result's storage, wherever it
        # stands: a str stored wider than it must be equals no other.
        for first, second in itertools.product(["a", "é", "€", "😀", "\x7f\x80"], repeat=2):
            for obj in ([first, second], {first: second}, {"k": [first], second + "x": 1}):
                text = pretty_print(obj)
                assert text == text.encode().decode() and parse_text(text) == obj


class TestNesting:
    # pretty_print used to write text nested deeper than parse_text reads,
    # so what it printed could not be read back.
    @pytest.mark.parametrize("innermost", [1, [], {}, [1], "s"])
    def test_what_prints_reads_back_and_one_level_more_is_refused(self, innermost):
        def nest(levels):
            value = innermost
            for i in range(levels):
                value = {"k": value} if i % 2 else [value, b""]
            return value
        fits = 127 if isinstance(innermost, (list, dict)) else 128
        assert parse_text(pretty_print(nest(fits), 1)) == nest(fits)
        raises_exactly(ValueError, "nesting depth exceeds maximum 128", pretty_print, nest(fits + 1))
        raises_exactly(ValueError, "nesting depth exceeds maximum 128", pretty_print, nested_lists(5000))

    def test_conversion_errors_win_over_nesting(self):
        deep = nested_lists(200)
        raises_exactly(TypeError, "cannot convert tuple to Tuvax value", pretty_print, [deep, (1,)])
        raises_exactly(TypeError, "cannot convert set to Tuvax value", pretty_print, [[[[deep, {1}]]]])
        key = "k" * 50
        assert_refcounts_kept([key], pretty_print, {key: [deep, {key: 1.5}]})

    def test_parse_failure_deep_inside_releases_what_was_built(self):
        key, text = "shared", "x" * 40
        source = "[" * 100 + f'{{{key}: "{text}"; other: [1, 2, {{{key}: 3;}}]; bad: ?;}}' + "]" * 100
        raises_exactly(ValueError, "parse error: Text parse error at line 1, col 188: unexpected character: '?'",
                       parse_text, source)
        assert_refcounts_kept([source], parse_text, source)


@settings(max_examples=300, deadline=None)
@given(values())
def test_text_round_trip(value):
    assert parse_text(pretty_print(value)) == value


@settings(max_examples=100, deadline=None)
@given(values(), st.integers(min_value=0, max_value=8))
def test_text_round_trip_any_indent(value, indent):
    assert parse_text(pretty_print(value, indent)) == value
