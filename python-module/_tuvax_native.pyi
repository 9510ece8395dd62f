# Type stubs for the native extension. tests/test_package.py compares every
# signature here with the running module, so edit both together.
#
# Inputs are typed `object`: the module checks types at run time (dict with
# str keys, list, str, int, float, bytes, bool, None) and raises TypeError for
# anything else. A recursive union would reject ordinary `list[int]` and
# `dict[str, str]` variables, because list and dict are invariant. Decoded
# data is `Any`, as json.loads returns it: the shape is known to the caller,
# not to the checker.
#
# Errors keep the builtin classes, so their attributes are set on the
# instance and cannot be typed here:
#
# - RuntimeError("encode error: ..." / "finish error: ..." / "decode error:
#   ...") and ValueError("parse error: ...") from the core carry `kind`, the
#   error kind's name ("ChecksumMismatch", "UnexpectedEof", ...), and `offset`
#   (an int where the kind has one, else None), plus the kind's own fields:
#   expected/actual (ChecksumMismatch), depth/maximum (NestingTooDeep),
#   size/maximum (BlockTooLarge), count/maximum (TooManyItems),
#   requested/limit (MemoryLimitExceeded), tag (InvalidWireType), code
#   (UnknownCompression), block_type (InvalidBlockType), detail (the text of
#   Decompression and InvalidData), and lineno, colno and detail (TextParse).
#   Errors that happened in a block also carry block_index and block_offset
#   (else None).
# - A conversion error (TypeError, OverflowError, ...) and a limit error of
#   the encoder carry the JSON path of their value as a note ("when encoding
#   $.users[1].joined"); a limit error also a note naming the limit and the
#   way around it ("hint: ...").
# - OSError (FileNotFoundError, PermissionError, ...) from the file functions
#   is of exactly the class named, with its text "{message} (os error
#   {errno})" as its one argument and errno set; strerror and filename stay
#   None, and a note names the file.
#
# The names starting with "_" are the tuvax package's private entry points,
# outside __all__.

from collections.abc import Buffer, Callable, Iterable
from os import PathLike
from typing import Any, Final, Self, SupportsIndex, final

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
]

__version__: Final[str]

def encode(obj: object) -> bytes:
    """Encode a Python object into one binary document."""

def decode(data: bytes) -> Any:
    """Decode a binary document: one top-level value as itself, any other number as a list."""

def encode_to_file(obj: object, path: str) -> None:
    """Encode a Python object and write the document to `path`, atomically."""

def decode_from_file(path: str) -> Any:
    """Read and decode the binary document at `path`, with decode's single-value rule."""

def parse_text(text: str) -> Any:
    """Parse one value in text notation; ValueError("parse error: ...") on bad text."""

def pretty_print(obj: object, indent: SupportsIndex = 2) -> str:
    """Write a Python object as indented text notation."""

# ---- What the tuvax package builds on (not in __all__) ----
# Strict where the names above are strict, these take tuples, subclasses of
# list, tuple and dict, and a `default` hook for anything else, and paths as
# open() takes them. They call themselves tuvax.encode and so on.

_Path = str | bytes | PathLike[str] | PathLike[bytes]

def _encode(obj: object, *, default: Callable[[Any], object] | None = None) -> bytes:
    """encode() with tuples, list, tuple and dict subclasses, and a default hook."""

def _encode_to_file(obj: object, path: _Path, *, default: Callable[[Any], object] | None = None) -> None:
    """encode_to_file() as _encode takes objects, with a str, bytes or os.PathLike path."""

def _decode_from_file(path: _Path) -> Any:
    """decode_from_file() with a str, bytes or os.PathLike path."""

def _pretty_print(obj: object, indent: SupportsIndex = 2, *,
                  default: Callable[[Any], object] | None = None) -> str:
    """pretty_print() as _encode takes objects."""

def _parse_text_counted(text: str) -> tuple[Any, int]:
    """parse_text(), and the number of comments it skipped."""

@final
class Encoder:
    """Incremental encoder: values go into one document, taken by finish()."""

    def __new__(cls) -> Self: ...
    def enable_dedup(self, /) -> None:
        """Share repeated strings through the string dictionary."""

    def set_compression(self, /, comp: str) -> None:
        """Record "none", "lz4", "zstd" or "snappy" (blocks are stored uncompressed)."""

    def encode(self, /, obj: object) -> None:
        """Append one top-level value."""

    def finish(self, /) -> bytes:
        """Complete the document and return it; the encoder is finished afterwards."""

    def finish_to_file(self, /, path: str) -> None:
        """Complete the document and write it to `path`; the encoder is finished afterwards."""

    # What the tuvax package's Encoder calls.
    def _encode(self, /, obj: object, default: Callable[[Any], object] | None) -> None:
        """encode() with tuples, list, tuple and dict subclasses, and a default hook."""

    def _finish_to_file(self, /, path: _Path) -> None:
        """finish_to_file() with a str, bytes or os.PathLike path."""

@final
class TuvaxDecoder:
    """Decodes one document held as a private copy of `data`, by iteration or decode_all."""

    def __new__(cls, data: bytes) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> Any:
        """The next top-level value; StopIteration once the trailer has verified."""

    def decode_all(self, /) -> list[Any]:
        """The top-level values not yet taken by iteration, always as a list; once only."""

@final
class _Writer:
    """One document written a block at a time to a path (replaced atomically) or a write callable."""

    def __new__(cls, target: _Path | Callable[[bytes], object], *, dedup: bool = False) -> Self: ...
    def encode(self, /, obj: object, default: Callable[[Any], object] | None = None) -> None:
        """Append one top-level value, as the tuvax package's encode takes it."""

    def finish(self) -> None:
        """Close the last block, write the trailer and, for a path, replace the file."""

    def abort(self) -> None:
        """Drop the document: a file being written is removed, its target left as it was."""

    @property
    def closed(self) -> bool:
        """Whether the document is finished or abandoned."""

@final
class _Reader:
    """The top-level values of one document, from a path or a read callable, a block at a time."""

    def __new__(cls, source: _Path | Callable[[int], Buffer]) -> Self: ...
    def __iter__(self) -> Self: ...
    def __next__(self) -> Any: ...

def _blocks(
    data: Buffer, /
) -> tuple[
    int | None,
    list[tuple[int, int, str, int, int, int | None]],
    int | None,
    RuntimeError | None,
    str | None,
]:
    """(reserved byte, [(index, offset, name, compression, payload length, dictionary
    entries)], end offset, error, name of the block it happened in): the verified framing."""

def _replace_file(path: _Path, chunks: Iterable[Buffer], /) -> None:
    """The chunks as the new contents of the file at `path`, replaced atomically."""
