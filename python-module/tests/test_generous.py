"""The tuvax package's writing functions: the types Python programs hold
(tuples, subclasses of list, tuple and dict), the `default` hook, the JSON
path of a failure and the hints of the limit errors, as notes."""

import collections
import dataclasses
import datetime
import decimal
import enum
import io
import os
import sys
import uuid

import pytest

import _tuvax_native
import tuvax
from native_support import ASAN, nested_lists


Point = collections.namedtuple("Point", "x y")


class Tags(list):
    pass


class Pair(tuple):
    pass


class Odd(dict):
    def items(self):
        return [("a", 1, 2)]


class Color(enum.Enum):
    RED = "red"


class Unit(str, enum.Enum):
    CELSIUS = "°C"


def writers():
    """Each writing function of the package, as obj, default -> decoded value."""
    def through_encoder(obj, default):
        enc = tuvax.Encoder(default=default)
        enc.encode(obj)
        return tuvax.decode(enc.finish())

    def through_dump(obj, default):
        buf = io.BytesIO()
        tuvax.dump(obj, buf, default=default)
        return tuvax.loads(buf.getvalue())

    return {
        "encode": lambda obj, default: tuvax.decode(tuvax.encode(obj, default=default)),
        "pretty_print": lambda obj, default: tuvax.parse_text(tuvax.pretty_print(obj, default=default)),
        "Encoder": through_encoder,
        "dump": through_dump,
    }


WRITERS = writers()


@pytest.fixture(params=list(WRITERS))
def write(request):
    return WRITERS[request.param]


class TestGenerousTypes:
    def test_sequences_and_mappings_of_every_kind(self, write):
        od = collections.OrderedDict([("a", 1), ("b", 2), ("c", 3)])
        od.move_to_end("a")  # its storage keeps the old order; iteration does not
        dd = collections.defaultdict(list, {"k": [1]})
        obj = {"t": (1, (2, 3)), "p": Point(1, 2), "l": Tags(["x"]), "u": Pair(("y",)),
               "od": od, "dd": dd, "c": collections.Counter("aab"), "e": ()}
        back = write(obj, None)
        assert back == {"t": [1, [2, 3]], "p": [1, 2], "l": ["x"], "u": ["y"],
                        "od": {"b": 2, "c": 3, "a": 1}, "dd": {"k": [1]}, "c": {"a": 2, "b": 1},
                        "e": []}
        assert list(back["od"]) == ["b", "c", "a"]

    def test_tuples_print_inline_like_lists(self):
        assert tuvax.pretty_print({"t": (1, "a", None)}) == '{\n  t: [1, "a", null];\n}'

    def test_the_module_stays_strict(self):
        for obj, message in (((1,), "cannot convert tuple to Tuvax value"),
                             (collections.OrderedDict(),
                              "'OrderedDict' object is not an instance of 'dict'"),
                             (Tags(), "'Tags' object is not an instance of 'list'")):
            for fn in (_tuvax_native.encode, _tuvax_native.pretty_print,
                       _tuvax_native.Encoder().encode):
                with pytest.raises(TypeError) as exc:
                    fn(obj)
                assert str(exc.value) == message

    def test_mapping_whose_items_are_not_pairs(self):
        with pytest.raises(TypeError) as exc:
            tuvax.encode([Odd()])
        assert str(exc.value) == "Odd.items() must give (key, value) pairs"
        assert exc.value.__notes__ == ["when encoding $[0]"]
        with pytest.raises(TypeError) as exc:
            tuvax.encode(collections.OrderedDict({1: 2}))
        assert str(exc.value) == "dict keys must be strings"


class TestDefault:
    def test_called_once_per_unsupported_object(self, write):
        calls = []

        def default(obj):
            calls.append(obj)
            return obj.isoformat()

        day = datetime.date(2024, 2, 29)
        doc = {"a": [day, 1, (day, "x")], "b": day, "c": {"n": None}}
        assert write(doc, default) == {"a": ["2024-02-29", 1, ["2024-02-29", "x"]],
                                       "b": "2024-02-29", "c": {"n": None}}
        assert calls == [day, day, day]

    def test_readme_types(self):
        @dataclasses.dataclass
        class Reading:
            at: datetime.datetime
            value: decimal.Decimal
            color: Color
            unit: Unit

        def default(obj):
            if isinstance(obj, (datetime.date, datetime.time)):
                return obj.isoformat()
            if isinstance(obj, (uuid.UUID, decimal.Decimal)):
                return str(obj)
            if dataclasses.is_dataclass(obj) and not isinstance(obj, type):
                return dataclasses.asdict(obj)  # its fields are walked in turn
            if isinstance(obj, enum.Enum):
                return obj.value
            raise TypeError(f"cannot convert {type(obj).__name__} to Tuvax value")

        r = Reading(datetime.datetime(2026, 3, 14, 6, 0), decimal.Decimal("-8.60"), Color.RED,
                    Unit.CELSIUS)
        obj = {"id": uuid.UUID(int=1), "readings": [r]}
        assert tuvax.decode(tuvax.encode(obj, default=default)) == {
            "id": "00000000-0000-0000-0000-000000000001",
            "readings": [{"at": "2026-03-14T06:00:00", "value": "-8.60", "color": "red",
                          "unit": "°C"}]}

    def test_called_again_while_it_returns_something_unsupported(self):
        class Box:
            def __init__(self, depth):
                self.depth = depth

        def unwrap(box):
            return box.depth if box.depth == 0 else Box(box.depth - 1)

        assert tuvax.decode(tuvax.encode([Box(15)], default=unwrap)) == [0]
        with pytest.raises(TypeError) as exc:
            tuvax.encode({"k": Box(16)}, default=unwrap)
        assert str(exc.value) == ("cannot convert Box to Tuvax value: default returned unsupported "
                                  "objects 16 times in a row, the last a Box")
        assert exc.value.__notes__ == ["when encoding $.k"]

    def test_returning_its_argument_is_a_type_error(self):
        with pytest.raises(TypeError) as exc:
            tuvax.encode([1, {2}], default=lambda o: o)
        assert str(exc.value) == "cannot convert set to Tuvax value: default returned it unchanged"
        assert exc.value.__notes__ == ["when encoding $[1]"]

    def test_its_exceptions_pass_unchanged(self):
        error = LookupError("no way")

        def default(obj):
            raise error

        with pytest.raises(LookupError) as exc:
            tuvax.encode({"a": [object()]}, default=default)
        assert exc.value is error
        assert error.__notes__ == ["when encoding $.a[0]"]

    def test_not_called_for_what_is_encodable(self):
        def default(obj):
            raise AssertionError(obj)

        obj = {"t": (1,), "s": "x", "b": b"", "f": 1.5, "n": None, "i": True}
        assert tuvax.decode(tuvax.encode(obj, default=default)) == {**obj, "t": [1]}

    def test_must_be_callable(self):
        with pytest.raises(TypeError) as exc:
            tuvax.encode(1, default=3)
        assert str(exc.value) == "argument 'default': 'int' object is not callable"
        with pytest.raises(TypeError):
            tuvax.Encoder(default=3)
        with pytest.raises(TypeError) as exc:
            tuvax.encode(1, str)  # keyword only, as in json
        assert str(exc.value) == "encode() takes 1 positional arguments but 2 were given"

    def test_default_that_drops_what_is_being_walked(self):
        # The hook runs while the walk is inside these containers: the walk
        # must keep them alive although the hook drops them.
        doc = {"outer": [[object(), "after"]]}

        def default(obj):
            doc["outer"][0] = None  # drops the inner list, same size
            doc["outer"] = None     # drops the outer list
            return "replaced"

        data = tuvax.encode(doc, default=default)
        assert tuvax.decode(data) == {"outer": [["replaced", "after"]]}

        items = [object(), 1, 2]

        def shrink(obj):
            items.clear()
            return 0

        with pytest.raises(BaseException) as exc:
            tuvax.encode(items, default=shrink)
        assert str(exc.value) == "list changed size during iteration"


    def test_keys_the_hook_makes_keep_their_own_form(self):
        # The printer may remember a key's form by where its text lies; a
        # key the hook made and dropped leaves that place to the next one.
        class Sep:
            def __init__(self, c):
                self.c = c

        seps = [" ", "_", "-", "x"] * 50
        text = tuvax.pretty_print([Sep(c) for c in seps], default=lambda o: {"".join(("a", o.c, "b")): 0})
        assert text == tuvax.pretty_print([{f"a{c}b": 0} for c in seps])


class TestPathNotes:
    @pytest.mark.parametrize("obj, path", [
        ({"users": [{}, {"joined": datetime.date.today()}]}, "$.users[1].joined"),
        ({"first name": [1, {"\n\"\\\x01é": object()}]}, '$["first name"][1]["\\n\\"\\\\\\u0001é"]'),
        ({"a": (1, (2, {3}))}, "$.a[1][1]"),
        ({"ok": 1, "k": {1: 2}}, "$.k"),  # the dict whose key is wrong
        ({"big": [0, 2**64]}, "$.big[1]"),
        ([["\ud800"]], "$[0][0]"),
    ])
    def test_conversion_errors_say_where(self, obj, path):
        for fn in (tuvax.encode, tuvax.pretty_print, tuvax.Encoder().encode):
            with pytest.raises((TypeError, OverflowError, UnicodeEncodeError)) as exc:
                fn(obj)
            assert exc.value.__notes__ == [f"when encoding {path}"]

    def test_the_module_notes_too(self):
        with pytest.raises(TypeError) as exc:
            _tuvax_native.encode({"a": [(1,)]})
        assert str(exc.value) == "cannot convert tuple to Tuvax value"
        assert exc.value.__notes__ == ["when encoding $.a[0]"]

    def test_top_level_and_recursion_get_no_note(self):
        with pytest.raises(TypeError) as exc:
            tuvax.encode(object())
        assert not hasattr(exc.value, "__notes__")
        loop = []
        loop.append(loop)
        with pytest.raises(RecursionError) as exc:
            tuvax.encode(loop)
        assert not hasattr(exc.value, "__notes__")

    def test_a_conversion_error_after_a_limit_error_wins_with_its_own_path(self):
        with pytest.raises(TypeError) as exc:
            tuvax.encode({"deep": nested_lists(200), "bad": {"x": object()}})
        assert exc.value.__notes__ == ["when encoding $.bad.x"]

    def test_nesting(self):
        with pytest.raises(RuntimeError) as exc:
            tuvax.encode({"a": nested_lists(130)})
        assert str(exc.value) == "encode error: Nesting depth 128 exceeds maximum 128"
        assert exc.value.__notes__ == ["when encoding $.a" + "[0]" * 127]
        with pytest.raises(ValueError) as exc:
            tuvax.pretty_print({"a": nested_lists(130)})
        assert exc.value.__notes__ == ["when encoding $.a" + "[0]" * 127]


class TestLimitHints:
    def test_too_many_items(self):
        with pytest.raises(RuntimeError) as exc:
            tuvax.encode({"rows": [[0] * 1_000_001]})
        assert str(exc.value) == "encode error: Item count 1000001 exceeds maximum 1000000"
        assert exc.value.__notes__ == [
            "when encoding $.rows[0]",
            "hint: a list or dict holds at most 1000000 items; write a long list's items as "
            "separate top-level values with Encoder.encode, or split it into smaller containers"]

    def test_one_string_over_16_mib(self):
        with pytest.raises(RuntimeError) as exc:
            tuvax.encode({"blob": b"x" * (17 << 20)})
        assert str(exc.value) == ("encode error: Memory limit exceeded: requested 17825792 bytes, "
                                  "limit 16777216")
        assert exc.value.__notes__ == [
            "when encoding $.blob",
            "hint: one string or byte string holds at most 16777216 bytes (16 MiB); split it into "
            "pieces, or keep data that large outside the document"]

    @pytest.mark.skipif(ASAN, reason="80 MB of strings is slow under the sanitizer")
    def test_one_value_over_a_block(self):
        piece = "x" * (16 << 20)
        with pytest.raises(RuntimeError) as exc:
            tuvax.encode([piece] * 5)
        assert str(exc.value) == "encode error: Block size 83886113 exceeds maximum 67108864"
        assert exc.value.__notes__ == [
            "hint: one top-level value takes at most 67108864 bytes (64 MiB) encoded; write its "
            "items as separate values with Encoder.encode, which continues in further blocks"]
        # Which is how it goes through.
        enc = tuvax.Encoder()
        for p in [piece] * 5:
            enc.encode(p)
        assert len(enc.finish()) > 5 * len(piece)


class TestPaths:
    @pytest.mark.parametrize("kind", [str, bytes, os.fsencode, lambda p: p])
    def test_file_functions_take_any_path(self, tmp_path, kind):
        target = tmp_path / "doc.tvx"
        path = kind(target) if kind is not bytes else os.fsencode(target)
        tuvax.encode_to_file({"t": (1,)}, path)
        assert tuvax.decode_from_file(path) == {"t": [1]}
        enc = tuvax.Encoder()
        enc.encode(2)
        enc.finish_to_file(path)
        assert tuvax.decode_from_file(target) == 2

    @pytest.mark.skipif(sys.getfilesystemencoding() != "utf-8", reason="a UTF-8 file system")
    def test_names_that_are_not_utf8(self, tmp_path):
        # Neither could be read or written: str paths went through strict UTF-8.
        raw = os.fsencode(tmp_path) + b"/caf\xe9.tvx"
        tuvax.encode_to_file([1], raw)
        assert os.listdir(os.fsencode(tmp_path)) == [b"caf\xe9.tvx"]
        assert tuvax.decode_from_file(os.fsdecode(raw)) == [1]
        with pytest.raises(FileNotFoundError) as exc:
            tuvax.decode_from_file(os.fsencode(tmp_path) + b"/\xff")
        assert exc.value.__notes__ == [f"file: {f'{tmp_path}/\udcff'!r}"]

    def test_bad_paths_fail_as_open_fails(self):
        with pytest.raises(TypeError) as exc:
            tuvax.decode_from_file(3)
        assert str(exc.value) == "argument 'path': expected str, bytes or os.PathLike object, not int"
        with pytest.raises(ValueError) as exc:
            tuvax.encode_to_file(1, "a\0b")
        assert str(exc.value) == "embedded null byte"

    def test_the_module_stays_strict(self, tmp_path):
        with pytest.raises(TypeError) as exc:
            _tuvax_native.encode_to_file(1, tmp_path / "x")
        assert str(exc.value) == "argument 'path': 'PosixPath' object is not an instance of 'str'"
