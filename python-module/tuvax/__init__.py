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

Long streams of values go to and come from files a block at a time:

    >>> with tuvax.open_writer(buf := io.BytesIO()) as w:
    ...     for i in range(3):
    ...         w.write({"n": i})
    >>> [v["n"] for v in tuvax.iter_load(io.BytesIO(buf.getvalue()))]
    [0, 1, 2]

The command line tool is `tuvax` (or `python -m tuvax`).
"""

import io
import os
from collections.abc import Buffer, Callable, Iterable, Iterator
from types import TracebackType
from typing import Any, Protocol, Self

from _tuvax_native import (
    TuvaxDecoder,
    _Reader,
    _Writer,
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
    "Writer",
    "open_writer",
    "dump_iter",
    "iter_load",
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
    def read(self, size: int, /) -> bytes: ...


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


def _read_of(fp: _BinaryReader, caller: str) -> Callable[[int], bytes]:
    """`fp.read`, refusing text: the reader would otherwise fail on str."""
    if isinstance(fp, io.TextIOBase):
        # Reading would fail as text first, on the first byte that is not UTF-8.
        raise TypeError(f"{caller} needs a file opened in binary mode, not a text file")
    read = fp.read

    def read_bytes(size: int) -> bytes:
        data = read(size)
        if isinstance(data, str):  # some other reader of text, despite the annotation
            raise TypeError(f"{caller} needs a file opened in binary mode, read() returned str")
        return data

    return read_bytes


def load(fp: _BinaryReader) -> Any:
    """Read one document from the binary file `fp` and decode it.

    Same result as `decode`: one top-level value as itself, any other number
    of values as a list. Reading stops just after the document's trailer, so
    documents written one after another by `dump` come back one per call, and
    the document is read a block at a time.
    """
    values = list(_Reader(_read_of(fp, "load()")))
    return values[0] if len(values) == 1 else values


def iter_load(source: _Path | _BinaryReader) -> Iterator[Any]:
    """The top-level values of one document, one at a time, from a file.

    `source` is a path or a binary file object. The document is read a block
    at a time, and each block's checksum is verified before any value in it
    is produced; the iteration ends only once the trailer, with the hash of
    the whole document, has verified. A file object is left just after the
    trailer.
    """
    if isinstance(source, (str, bytes, os.PathLike)):
        return _Reader(source)
    return _Reader(_read_of(source, "iter_load()"))


class Writer:
    """Writes top-level values to one document, a block at a time.

    Make one with `open_writer`. Each data block is written as soon as it is
    full, so a long stream of values is never held whole. Use it as a
    context manager: leaving the block completes the document (`close`), and
    an exception in it abandons the document (`abort`), which leaves a target
    path as it was.
    """

    def __init__(self, target: _Path | _BinaryWriter, *, dedup: bool = False,
                 default: _Default | None = None) -> None:
        if default is not None and not callable(default):
            raise TypeError(f"default must be callable or None, not {type(default).__name__}")
        self._default = default
        if isinstance(target, (str, bytes, os.PathLike)):
            self._native = _Writer(target, dedup=dedup)
        elif isinstance(target, io.TextIOBase):
            raise TypeError("open_writer() needs a file opened in binary mode, not a text file")
        else:
            self._native = _Writer(target.write, dedup=dedup)

    @property
    def closed(self) -> bool:
        """Whether the document is finished or abandoned."""
        return self._native.closed

    def write(self, obj: object) -> None:
        """Append one top-level value.

        A value that cannot be encoded is refused and leaves the document as
        it was. So does a block that cannot be written to a path (the disk
        full, say): the file is cut back to its last whole block, the
        OSError raised, and `write` and `close` try the block again. A
        block that cannot be written to a file object closes the writer.
        """
        self._native.encode(obj, self._default)

    def close(self) -> None:
        """Write the last block and the trailer; a path is then replaced by the file.

        If the last block or the trailer cannot be written to a path, the
        writer stays open with every value, and `close` may be called again
        (or `abort`). Closing a closed writer does nothing.
        """
        if not self._native.closed:
            self._native.finish()

    def abort(self) -> None:
        """Abandon the document: a target path is left as it was.

        Bytes already handed to a file object stay there, without a trailer,
        so no reader takes them for a document.
        """
        self._native.abort()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        if exc_type is None:
            self.close()
        else:
            self.abort()


def open_writer(target: _Path | _BinaryWriter, *, dedup: bool = False,
                default: _Default | None = None) -> Writer:
    """A `Writer` of one document to `target`, a path or a binary file object.

    A path is replaced atomically when the writer closes: the document goes
    to a temporary file in the same directory first. With `dedup`, repeated
    strings are stored once per block and referenced after that; values are
    taken as `encode` takes them, `default` included. The bytes are those
    `Encoder` gives for the same values and settings.
    """
    return Writer(target, dedup=dedup, default=default)


def dump_iter(values: Iterable[object], target: _Path | _BinaryWriter, *, dedup: bool = False,
              default: _Default | None = None) -> None:
    """Write every value of `values` as a top-level value of one document.

    The values are encoded as they come, a block at a time. If one cannot be
    encoded, or the iterable raises, a target path is left as it was.
    """
    with open_writer(target, dedup=dedup, default=default) as w:
        for value in values:
            w.write(value)
