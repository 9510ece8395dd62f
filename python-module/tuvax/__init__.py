"""Tuvax: a compact, checksummed binary format for JSON-like data.

The work is done by the native extension `_tuvax_native`. This package is
where it is generous: its writing functions (`encode`, `encode_to_file`,
`pretty_print`, `dump` and `Encoder`) also take tuples and subclasses of
list, tuple and dict, and a `default` callable for anything else, as json
does; its file functions take str, bytes and os.PathLike paths. It adds
stream helpers in the manner of `json` and `pickle`:

    >>> import io, tuvax
    >>> buf = io.BytesIO()
    >>> tuvax.dump({"name": "Ada", "tags": ("a", "a")}, buf, dedup=True)
    >>> tuvax.loads(buf.getbuffer())
    {'name': 'Ada', 'tags': ['a', 'a']}

The command line tool is `tuvax` (or `python -m tuvax`).
"""

import io
import os
from collections.abc import Buffer, Callable
from typing import Any, Protocol

from _tuvax_native import (
    TuvaxDecoder,
    __version__,
    decode,
    parse_text,
)
from _tuvax_native import Encoder as _NativeEncoder
from _tuvax_native import _decode_from_file as decode_from_file
from _tuvax_native import _encode as encode
from _tuvax_native import _encode_to_file as encode_to_file
from _tuvax_native import _pretty_print as pretty_print

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

_Path = str | bytes | os.PathLike[str] | os.PathLike[bytes]
_Default = Callable[[Any], object]


class Encoder:
    """Several top-level values in one document, taken as `encode` takes them.

    Tuples and subclasses of list, tuple and dict are written as arrays and
    objects; `default` is called with anything else and returns something
    encodable in its place. With `dedup`, repeated strings are stored once.
    """

    __slots__ = ("_native", "_default")

    def __init__(self, *, dedup: bool = False, default: _Default | None = None) -> None:
        if default is not None and not callable(default):
            raise TypeError(f"default must be callable or None, not {type(default).__name__}")
        self._native = _NativeEncoder()
        self._default = default
        if dedup:
            self._native.enable_dedup()

    def enable_dedup(self) -> None:
        """Share repeated strings through the string dictionary from now on."""
        self._native.enable_dedup()

    def set_compression(self, comp: str) -> None:
        """Record "none", "lz4", "zstd" or "snappy" (blocks are stored uncompressed)."""
        self._native.set_compression(comp)

    def encode(self, obj: object) -> None:
        """Append one top-level value; a failed value leaves nothing behind."""
        self._native._encode(obj, self._default)

    def finish(self) -> bytes:
        """Complete the document and return it; the encoder is finished afterwards."""
        return self._native.finish()

    def finish_to_file(self, path: _Path) -> None:
        """Complete the document and replace the file at `path` with it, atomically."""
        self._native._finish_to_file(path)


class _BinaryWriter(Protocol):
    def write(self, data: bytes, /) -> object: ...


class _BinaryReader(Protocol):
    def read(self) -> bytes: ...


def dump(obj: object, fp: _BinaryWriter, *, dedup: bool = False,
         default: _Default | None = None) -> None:
    """Encode `obj` as one document and write it to the binary file `fp`.

    With `dedup`, repeated strings are stored once and referenced after that;
    `default` is as for `encode`. The whole document is built before the
    first write, so an object that cannot be encoded leaves `fp` untouched.
    """
    enc = Encoder(dedup=dedup, default=default)
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
