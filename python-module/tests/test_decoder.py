import gc

import pytest

from _tuvax_native import Encoder, TuvaxDecoder, decode, encode
from native_support import assert_refcounts_kept, raises_exactly

CONSUMED = "decoder already consumed"


def document(*values):
    enc = Encoder()
    for v in values:
        enc.encode(v)
    return enc.finish()


class TestDecodeAll:
    def test_always_a_list(self):
        assert TuvaxDecoder(encode([1, 2])).decode_all() == [[1, 2]]
        assert decode(encode([1, 2])) == [1, 2]
        assert TuvaxDecoder(document(1, "b", None)).decode_all() == [1, "b", None]
        assert TuvaxDecoder(document()).decode_all() == []
        assert TuvaxDecoder(data=encode("k")).decode_all() == ["k"]

    def test_keeps_its_own_copy(self):
        data = bytes(encode({"a": "b" * 100}))
        dec = TuvaxDecoder(data)
        del data
        gc.collect()
        assert dec.decode_all() == [{"a": "b" * 100}]

    def test_second_call_is_refused(self):
        dec = TuvaxDecoder(encode(1))
        dec.decode_all()
        raises_exactly(RuntimeError, CONSUMED, dec.decode_all)

    def test_bad_input_shows_only_when_decoding(self):
        dec = TuvaxDecoder(b"garbage!")
        raises_exactly(RuntimeError, "decode error: Invalid magic bytes in file header: expected TUVAXv1",
                       dec.decode_all)
        raises_exactly(RuntimeError, CONSUMED, dec.decode_all)
        raises_exactly(RuntimeError, "decode error: Unexpected end of input at offset 0",
                       TuvaxDecoder(b"").decode_all)


class TestIteration:
    def test_shares_one_position_with_decode_all(self):
        values = [1, "b", [None], {"k": b"v"}]
        dec = TuvaxDecoder(document(*values))
        assert iter(dec) is dec
        assert [next(dec), next(dec)] == values[:2]
        assert dec.decode_all() == values[2:]  # only what iteration has not taken
        raises_exactly(RuntimeError, CONSUMED, dec.decode_all)
        assert list(dec) == []
        dec = TuvaxDecoder(document(*values))
        assert list(dec) == values
        with pytest.raises(StopIteration):
            next(dec)
        assert dec.decode_all() == []
        assert [list(TuvaxDecoder(document())), list(TuvaxDecoder(encode([1, 2])))] == [[], [[1, 2]]]

    def test_stops_only_at_a_verified_trailer_and_errors_stick(self):
        data = document(1, 2)
        for bad in (data[:-1], data[:-19] + bytes([data[-19]]) + data[-18:-1] + bytes([data[-1] ^ 1])):
            dec = TuvaxDecoder(bad)
            assert [next(dec), next(dec)] == [1, 2]
            first = raises_exactly(RuntimeError, str(_decode_error(bad)), next, dec)
            again = raises_exactly(RuntimeError, str(first), next, dec)
            assert (again.kind, again.offset) == (first.kind, first.offset)
            raises_exactly(RuntimeError, str(first), dec.decode_all)
            raises_exactly(RuntimeError, CONSUMED, dec.decode_all)
            raises_exactly(RuntimeError, str(first), next, dec)
        # A failed decode_all leaves the same error for iteration.
        dec = TuvaxDecoder(b"garbage!")
        raises_exactly(RuntimeError, "decode error: Invalid magic bytes in file header: expected TUVAXv1",
                       dec.decode_all)
        raises_exactly(RuntimeError, "decode error: Invalid magic bytes in file header: expected TUVAXv1",
                       next, dec)


def _decode_error(data):
    with pytest.raises(RuntimeError) as info:
        decode(data)
    return info.value


class TestConstructor:
    @pytest.mark.parametrize("data, name", [("text", "str"), (bytearray(b"x"), "bytearray"), (None, "NoneType")])
    def test_only_bytes(self, data, name):
        raises_exactly(TypeError, f"argument 'data': '{name}' object is not an instance of 'bytes'",
                       TuvaxDecoder, data)

    @pytest.mark.parametrize("call, message", [
        (lambda: TuvaxDecoder(), "TuvaxDecoder.__new__() missing 1 required positional argument: 'data'"),
        (lambda: TuvaxDecoder(b"", b""), "TuvaxDecoder.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: TuvaxDecoder(b"", data=b""), "TuvaxDecoder.__new__() got multiple values for argument 'data'"),
        (lambda: TuvaxDecoder(b"").decode_all(1), "TuvaxDecoder.decode_all() takes no arguments (1 given)"),
    ])
    def test_argument_messages(self, call, message):
        raises_exactly(TypeError, message, call)

    def test_failure_releases_references(self):
        data = bytearray(b"x" * 100)
        assert_refcounts_kept([data], TuvaxDecoder, data)
        good = encode([1])[:-1]
        dec = TuvaxDecoder(good)
        assert_refcounts_kept([good], dec.decode_all)
