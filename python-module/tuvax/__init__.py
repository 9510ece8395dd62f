"""Tuvax: a compact, checksummed binary format for JSON-like data.

The functions and classes come from the native extension `_tuvax_native`;
this package adds stream helpers in the manner of `json` and `pickle`:

    >>> import io, tuvax
    >>> buf = io.BytesIO()
    >>> tuvax.dump({"name": "Ada", "tags": ["a", "a"]}, buf, dedup=True)
    >>> tuvax.loads(buf.getbuffer())
    {'name': 'Ada', 'tags': ['a', 'a']}

The command line tool is `tuvax` (or `python -m tuvax`).
"""

import io
from collections.abc import Buffer
from typing import Any, Protocol

from _tuvax_native import (
    Encoder,
    TuvaxDecoder,
    __version__,
    decode,
    decode_from_file,
    encode,
    encode_to_file,
    parse_text,
    pretty_print,
)

__all__ = [
    "__version__",
    "encode",
    "decode",
    "encode_to_file",
    "decode_from_file",
    "parse_text",
    "pretty_print",
    "Encoder",
    "TuvaxDecoder",
    "dump",
    "load",
    "loads",
]


class _BinaryWriter(Protocol):
    def write(self, data: bytes, /) -> object: ...


class _BinaryReader(Protocol):
    def read(self) -> bytes: ...


def dump(obj: object, fp: _BinaryWriter, *, dedup: bool = False) -> None:
    """Encode `obj` as one document and write it to the binary file `fp`.

    With `dedup`, repeated strings are stored once and referenced after that.
    The whole document is built before the first write, so an object that
    cannot be encoded leaves `fp` untouched.
    """
    enc = Encoder()
    if dedup:
        enc.enable_dedup()
    enc.encode(obj)
    fp.write(enc.finish())


def loads(data: Buffer) -> Any:
    """Decode a document from any bytes-like object (bytes, bytearray, memoryview).

    Same result as `decode`: one top-level value as itself, any other number
    of values as a list.
    """
    if isinstance(data, bytes):
        return decode(data)
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(
            f"loads() argument must be a bytes-like object, not '{type(data).__name__}'"
        ) from None
    # decode() reads only bytes objects; a copy also protects the decoder
    # from a buffer that the caller resizes or rewrites.
    with view:
        return decode(view.tobytes())


def load(fp: _BinaryReader) -> Any:
    """Read the binary file `fp` to its end and decode the document in it."""
    if isinstance(fp, io.TextIOBase):
        # Reading would fail as text first, on the first byte that is not UTF-8.
        raise TypeError("load() needs a file opened in binary mode, not a text file")
    data = fp.read()
    if isinstance(data, str):  # some other reader of text, despite the annotation
        raise TypeError("load() needs a file opened in binary mode, read() returned str")
    return loads(data)
