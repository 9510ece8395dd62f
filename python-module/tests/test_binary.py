import re
import sys

import pytest

from _tuvax_native import Encoder, decode, encode, encode_to_file, pretty_print
from native_support import ASAN, assert_refcounts_kept, document, nested_lists, raises_exactly


class TestDecodeFunction:
    def test_single_value_rule(self):
        assert decode(encode([1, 2])) == [1, 2]
        assert decode(document(1, 2)) == [1, 2]
        assert decode(document("a", [1], {})) == ["a", [1], {}]
        assert decode(document()) == []
        assert decode(document([])) == []

    def test_bytes_subclass_is_read(self):
        class B(bytes): pass
        assert decode(B(encode("x"))) == "x"

    def test_keyword_argument(self):
        assert decode(data=encode(5)) == 5

    @pytest.mark.parametrize("data, name", [
        ("abc", "str"), (bytearray(b"x"), "bytearray"), (memoryview(b"x"), "memoryview"), (None, "NoneType"),
    ])
    def test_only_bytes_accepted(self, data, name):
        raises_exactly(TypeError, f"argument 'data': '{name}' object is not an instance of 'bytes'", decode, data)

    @pytest.mark.parametrize("data, message", [
        (b"", "Unexpected end of input at offset 0"),
        (b"TUVAX", "Unexpected end of input at offset 5"),
        (b"TUVAXv1\x00", "Unexpected end of input at offset 8"),
        (b"garbage!", "Invalid magic bytes in file header: expected TUVAXv1"),
    ])
    def test_refused_input(self, data, message):
        raises_exactly(RuntimeError, "decode error: " + message, decode, data)

    def test_damaged_documents(self):
        data = encode({"a": "hello"})
        # No trailer: the end of a block is not the end of a document.
        raises_exactly(RuntimeError, f"decode error: Unexpected end of input at offset {len(data) - 19}",
                       decode, data[:-19])
        raises_exactly(RuntimeError, f"decode error: Unexpected end of input at offset {len(data) - 1}",
                       decode, data[:-1])
        flipped = bytearray(data)
        flipped[-25] ^= 1  # inside the data block's payload
        with pytest.raises(RuntimeError) as info:
            decode(bytes(flipped))
        assert re.fullmatch(r"decode error: Checksum mismatch: expected 0x[0-9a-f]{16}, got 0x[0-9a-f]{16}",
                            str(info.value))

    def test_failure_releases_references(self):
        data = encode([1, 2, 3])[:-3]
        assert_refcounts_kept([data], decode, data)


class TestEncodeFunction:
    def test_empty_document_is_27_bytes(self):
        assert len(document()) == 27
        assert document().startswith(b"TUVAXv1\x00")

    def test_nesting_limit(self):
        assert decode(encode(nested_lists(128))) == nested_lists(128)
        raises_exactly(RuntimeError, "encode error: Nesting depth 128 exceeds maximum 128",
                       encode, nested_lists(129))

    @pytest.mark.skipif(ASAN, reason="a million elements is slow under the sanitizer")
    def test_item_limit(self):
        assert len(decode(encode([None] * 1000000))) == 1000000
        raises_exactly(RuntimeError, "encode error: Item count 1000001 exceeds maximum 1000000",
                       encode, [None] * 1000001)

    def test_failure_releases_references(self):
        s = "shared string" * 3
        assert_refcounts_kept([s], encode, [s, nested_lists(129)])

    def test_dicts_of_every_history_write_their_items_in_order(self):
        # A dict's items are read from its table where the layout allows:
        # each history below leaves a different table (deleted slots, keys
        # of any type, wider indexes, values kept apart) to be read in order.
        class Attrs:
            def __init__(self):
                self.a, self.b = 1, 2

        def with_holes(n):
            d = {f"k{i}": i for i in range(n)}
            for i in range(0, n, 3):
                del d[f"k{i}"]
            d["k0"] = "back at the end"
            return d

        def once_general():
            d = {"x": 1, 2: 2, "y": 3}
            del d[2]
            return d

        cases = [{}, {"a": 1}, with_holes(10), with_holes(1000), with_holes(70000), once_general(),
                 decode(encode({f"key{i}": i for i in range(40)})), vars(Attrs())]
        for d in cases:
            fresh = dict(list(d.items()))
            assert encode(d) == encode(fresh)
            assert list(decode(encode(d)).items()) == list(d.items())
            assert pretty_print(d) == pretty_print(fresh)


class TestArgumentBinding:
    @pytest.mark.parametrize("call, message", [
        (lambda: encode(1, 2), "encode() takes 1 positional arguments but 2 were given"),
        (lambda: encode(), "encode() missing 1 required positional argument: 'obj'"),
        (lambda: encode(1, obj=1), "encode() got multiple values for argument 'obj'"),
        (lambda: encode(1, foo=1), "encode() got an unexpected keyword argument 'foo'"),
        (lambda: encode_to_file(), "encode_to_file() missing 2 required positional arguments: 'obj' and 'path'"),
        (lambda: encode_to_file(1), "encode_to_file() missing 1 required positional argument: 'path'"),
        (lambda: encode_to_file(path="x"), "encode_to_file() missing 1 required positional argument: 'obj'"),
        (lambda: encode_to_file(1, 2, 3), "encode_to_file() takes 2 positional arguments but 3 were given"),
        (lambda: pretty_print(), "pretty_print() missing 1 required positional argument: 'obj'"),
        (lambda: pretty_print(1, 2, 3), "pretty_print() takes from 1 to 2 positional arguments but 3 were given"),
        (lambda: pretty_print(1, 2, indent=2), "pretty_print() got multiple values for argument 'indent'"),
        (lambda: decode(**{"data": b"", "x": 1}), "decode() got an unexpected keyword argument 'x'"),
    ])
    def test_messages(self, call, message):
        raises_exactly(TypeError, message, call)

    def test_keywords_fill_in_any_order(self):
        assert pretty_print(indent=0, obj=[1, [2]]) == "[\n1,\n[2]\n]"
        assert encode(obj=[1]) == encode([1])
