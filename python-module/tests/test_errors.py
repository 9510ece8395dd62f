"""Exceptions carry the facts of the error as attributes; class and text stay."""

import errno
import os
import pathlib
import pickle
import struct
import sys

import pytest

from _tuvax_native import Encoder, TuvaxDecoder, decode, decode_from_file, encode, encode_to_file, parse_text
from native_support import nested_lists

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "fuzz"))
from fuzz_python import join, varint, xxh64  # noqa: E402  (checksums for hand-made blocks)

HEADER = b"TUVAXv1\x00"


def data_doc(payload):
    return join(0, [[1, 0, payload]])


def flipped(data, at):
    b = bytearray(data)
    b[at] ^= 0x01
    return bytes(b)


GOOD = encode({"k": "v"})
STORED = struct.unpack_from("<Q", GOOD, 11)[0]  # the data block's checksum: header, type, length, compression

# (input, kind, message after "decode error: ", attributes besides kind)
DECODE_CASES = [
    (b"garbage!", "InvalidMagic", "Invalid magic bytes in file header: expected TUVAXv1", {"offset": None}),
    (b"", "UnexpectedEof", "Unexpected end of input at offset 0", {"offset": 0}),
    (GOOD[:-3], "UnexpectedEof", f"Unexpected end of input at offset {len(GOOD) - 3}",
     {"offset": len(GOOD) - 3}),
    (flipped(GOOD, 20), "ChecksumMismatch",
     f"Checksum mismatch: expected 0x{STORED:016x}, got 0x{xxh64(flipped(GOOD, 20)[19:-19]):016x}",
     {"expected": STORED, "actual": xxh64(flipped(GOOD, 20)[19:-19]), "offset": None}),
    (data_doc(b"\x05\x00\x02a\xff"), "InvalidUtf8", "Invalid UTF-8 in string field at offset 22", {"offset": 22}),
    (data_doc(b"\x08\x01" * 129 + b"\x00"), "NestingTooDeep", "Nesting depth 128 exceeds maximum 128",
     {"depth": 128, "maximum": 128}),
    (HEADER + b"\x01" + varint(2**26 + 1), "BlockTooLarge", "Block size 67108865 exceeds maximum 67108864",
     {"size": 2**26 + 1, "maximum": 2**26}),
    (data_doc(b"\x08" + varint(10**6 + 1)), "TooManyItems", "Item count 1000001 exceeds maximum 1000000",
     {"count": 10**6 + 1, "maximum": 10**6}),
    (HEADER + b"\x01\x00\x09", "UnknownCompression", "Unknown compression type: 9", {"code": 9}),
    (join(0, [[1, 1, b"\x05"]]), "Decompression",
     "Decompression error: zstd decompression not available (enable 'zstd' feature)",
     {"detail": "zstd decompression not available (enable 'zstd' feature)"}),
    (HEADER + b"\x07", "InvalidBlockType", "Invalid block type: 7", {"block_type": 7}),
    (data_doc(b"\x05\x00" + varint(2**24 + 1)), "MemoryLimitExceeded",
     "Memory limit exceeded: requested 16777217 bytes, limit 16777216",
     {"requested": 2**24 + 1, "limit": 2**24}),
    (data_doc(b"\x0a\x03"), "InvalidData", "Invalid data: StrRef index 3 >= table size 0",
     {"detail": "StrRef index 3 >= table size 0"}),
    (data_doc(b"\x0b"), "InvalidWireType", "Invalid wire type tag: 0x0b", {"tag": 11}),
    (HEADER + b"\x01" + b"\xff" * 9 + b"\x02", "VarintOverflow", "Varint overflow: encoded integer exceeds 64 bits",
     {"offset": None}),
]


class TestCoreErrorAttributes:
    @pytest.mark.parametrize("data, kind, message, attrs", DECODE_CASES, ids=[c[1] for c in DECODE_CASES])
    def test_every_decode_path_carries_the_same_facts(self, tmp_path, data, kind, message, attrs):
        path = tmp_path / "doc.tvx"
        path.write_bytes(data)
        for call in (lambda: decode(data), lambda: TuvaxDecoder(data).decode_all(),
                     lambda: list(TuvaxDecoder(data)), lambda: decode_from_file(str(path))):
            with pytest.raises(RuntimeError) as info:
                call()
            e = info.value
            assert type(e) is RuntimeError and str(e) == f"decode error: {message}"
            assert e.args == (f"decode error: {message}",)
            assert e.kind == kind
            for name, value in attrs.items():
                assert getattr(e, name) == value, name

    def test_an_exception_being_handled_becomes_the_context(self, tmp_path):
        for call, cls in ((lambda: decode(b"garbage!"), RuntimeError),
                          (lambda: decode_from_file(str(tmp_path / "missing")), FileNotFoundError)):
            try:
                raise KeyError("handled")
            except KeyError as handled:
                with pytest.raises(cls) as info:
                    call()
                assert info.value.__context__ is handled

    def test_encode_errors(self, tmp_path):
        for call in (lambda: encode(nested_lists(129)), lambda: Encoder().encode(nested_lists(129)),
                     lambda: encode_to_file(nested_lists(129), str(tmp_path / "x"))):
            with pytest.raises(RuntimeError) as info:
                call()
            e = info.value
            assert str(e) == "encode error: Nesting depth 128 exceeds maximum 128"
            assert (e.kind, e.depth, e.maximum, e.offset) == ("NestingTooDeep", 128, 128, None)

    @pytest.mark.parametrize("text, line, col, detail", [
        ("1 2", 1, 3, "unexpected character: '2'"),
        ("{\n  a: [1,\n  2", 3, 4, None),
    ])
    def test_text_parse_errors_have_line_and_column(self, text, line, col, detail):
        with pytest.raises(ValueError) as info:
            parse_text(text)
        e = info.value
        assert type(e) is ValueError
        assert str(e) == f"parse error: Text parse error at line {line}, col {col}: {e.detail}"
        assert (e.kind, e.lineno, e.colno, e.offset) == ("TextParse", line, col, None)
        if detail is not None:
            assert e.detail == detail


class TestOSErrorAttributes:
    def test_exact_class_errno_and_a_note_naming_the_file(self, tmp_path):
        missing = str(tmp_path / "no" / "such")
        enc = Encoder()
        for call in (lambda: decode_from_file(missing), lambda: encode_to_file(1, missing),
                     lambda: enc.finish_to_file(missing)):
            with pytest.raises(FileNotFoundError) as info:
                call()
            e = info.value
            assert type(e) is FileNotFoundError and e.args == ("No such file or directory (os error 2)",)
            assert str(e) == "No such file or directory (os error 2)"
            assert (e.errno, e.strerror, e.filename) == (errno.ENOENT, None, None)
            assert e.__notes__ == [f"file: {missing!r}"]
            back = pickle.loads(pickle.dumps(e))
            assert type(back) is FileNotFoundError and str(back) == str(e)
        with pytest.raises(IsADirectoryError) as info:
            decode_from_file(str(tmp_path))
        assert type(info.value) is IsADirectoryError and info.value.errno == errno.EISDIR
        assert str(info.value) == "Is a directory (os error 21)"
        # No system call was made: nothing to report but the text.
        with pytest.raises(OSError) as info:
            decode_from_file("a\0b")
        assert type(info.value) is OSError and info.value.errno is None
