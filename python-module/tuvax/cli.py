"""The `tuvax` command: convert between JSON, text notation and the binary
format, reformat text, and look inside binary documents.

Errors print one line to standard error and exit with status 1; a wrong
command line exits with status 2 (argparse's convention).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import IO, Any, NoReturn

from _tuvax_native import (TuvaxDecoder, _blocks, _parse_text_counted, _Reader, _replace_file, _Writer,
                           __version__, parse_text, pretty_print)

_UINT_MAX = 2**64 - 1


class CliError(Exception):
    """A failure reported as one line on standard error."""


def _reason(e: OSError) -> str:
    # The module's file errors carry their text in the message, not strerror.
    return e.strerror or (os.strerror(e.errno) if e.errno else str(e))


# ---- Input ----


def _open_input(path: str | None) -> tuple[IO[bytes], str]:
    """The input as a binary file, and the name to use for it in messages."""
    if path is None or path == "-":
        if sys.stdin.isatty():
            # Otherwise a forgotten file name looks like a hang.
            print("tuvax: reading standard input from the terminal; end it with Ctrl-D",
                  file=sys.stderr, flush=True)
        return sys.stdin.buffer, "<stdin>"
    try:
        return open(path, "rb"), path
    except OSError as e:
        raise CliError(f"cannot read {path}: {_reason(e)}") from None


def _read_input(path: str | None) -> tuple[bytes, str]:
    """The whole input and the name to use for it in messages."""
    f, name = _open_input(path)
    try:
        return f.read(), name
    except OSError as e:
        raise CliError(f"cannot read {name}: {_reason(e)}") from None
    finally:
        if f is not sys.stdin.buffer:
            f.close()


def _values(f: IO[bytes], name: str) -> Iterator[Any]:
    """The top-level values of the one document in `f`, read a block at a time.

    Bytes after its trailer are refused once the values are out: the module
    ignores them, as the format allows, but a file given to this command is
    one document, and a second one after it would be lost without a word.
    """
    at = 0
    taken: list[bytes] = []  # what a failed header took, for a look at what the input is

    def read(n: int) -> bytes:
        nonlocal at
        data = f.read(n)
        if at + len(data) <= 64:  # the header, and no payload
            taken.append(data)
        at += len(data)
        return data

    try:
        try:
            yield from _Reader(read)
            end = at
            while chunk := f.read(1 << 16):
                at += len(chunk)
        except RuntimeError as e:
            raise CliError(_decode_failure(name, e, at, lambda: b"".join(taken) + f.read())) from None
        except OSError as e:
            raise CliError(f"cannot read {name}: {_reason(e)}") from None
        if at > end:
            raise CliError(f"{name}: {at - end} bytes after the trailer at offset {end}: "
                           f"a second document, or damage")
    finally:
        if f is not sys.stdin.buffer:
            f.close()


def _json_lines(f: IO[bytes], name: str) -> Iterator[Any]:
    """One value per line of JSON, read a line at a time; blank lines are skipped."""
    n = 0
    while True:
        try:
            raw = f.readline()
        except OSError as e:
            raise CliError(f"cannot read {name}: {_reason(e)}") from None
        if not raw:
            return
        n += 1
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError as e:
            raise CliError(f"{name}: line {n}: not UTF-8 text (invalid byte at offset {e.start})") from None
        if n == 1:
            line = line.removeprefix("\ufeff")
        if line.strip():
            yield _load_json(line, f"{name}: line {n}")


def _as_text(data: bytes, name: str) -> str:
    if _blocks(data)[0] is not None:  # a document's header verified
        raise CliError(f"{name}: this is a binary document, not text (try: tuvax decode)")
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise CliError(f"{name}: not UTF-8 text (invalid byte at offset {e.start})") from None
    # Editors on some systems start files with a byte-order mark; it carries
    # nothing, and neither JSON nor the text notation allows it.
    return text.removeprefix("\ufeff")


def _reject_constant(name: str) -> NoReturn:
    raise ValueError(f"{name} is not valid JSON (for non-finite floats use text notation)")


def _parse_json(text: str) -> Any:
    """Standard JSON only: NaN and Infinity are refused, as on output."""
    return json.loads(text, parse_constant=_reject_constant)


def _load_json(text: str, name: str) -> Any:
    try:
        return _parse_json(text)
    except json.JSONDecodeError as e:
        if _is_text_notation(text):
            raise CliError(f"{name}: this looks like text notation, not JSON "
                           f"(try --from text)") from None
        raise CliError(f"{name}: invalid JSON: {e}") from None
    except ValueError as e:
        raise CliError(f"{name}: {e}") from None
    except RecursionError:
        raise CliError(f"{name}: JSON nested too deeply") from None


def _is_text_notation(text: str) -> bool:
    try:
        parse_text(text)
    except (ValueError, RecursionError):
        return False
    return True


def _load_text(text: str, name: str) -> tuple[Any, int]:
    """The value, and how many comments the text had."""
    try:
        value, comments = _parse_text_counted(text)
    except ValueError as e:
        raise CliError(f"{name}: {e}") from None
    return value, comments


def _load_any(text: str, name: str) -> tuple[Any, int]:
    """JSON when the input is JSON, text notation otherwise; and its comments.

    JSON goes first: a text that both read differently (a string with a
    "\\u" escape) is JSON written by some other program. When both fail, a
    file named *.json gets the JSON error; otherwise the error of the reader
    that got further is the one that explains the input.
    """
    try:
        return _parse_json(text), 0
    except (ValueError, RecursionError) as e:
        json_error = e
    try:
        return _parse_text_counted(text)
    except ValueError as e:
        text_error = e
    if isinstance(json_error, json.JSONDecodeError):
        text_at = (getattr(text_error, "lineno", 0), getattr(text_error, "colno", 0))
        if name.endswith(".json") or (json_error.lineno, json_error.colno) > text_at:
            raise CliError(f"{name}: invalid JSON: {json_error}")
    raise CliError(f"{name}: {text_error}")


# ---- Output ----


def _refuse_terminal(output: str | None) -> None:
    # Checked before any input is read, so nobody types a document into a
    # terminal only to be told that the result cannot be shown there.
    if (output is None or output == "-") and sys.stdout.isatty():
        raise CliError("refusing to write binary output to a terminal; use -o FILE or redirect")


def _write_output(path: str | None, chunks: Iterable[bytes]) -> None:
    """The chunks to standard output, or as the new contents of the file `path`.

    A file is replaced atomically: a failure, or a CliError raised while the
    chunks are made, leaves it as it was. A symbolic link is written through;
    a target that is not a regular file (a FIFO, /dev/null) is written directly.
    """
    if path is None or path == "-":
        try:
            for chunk in chunks:
                sys.stdout.buffer.write(chunk)
            sys.stdout.buffer.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            # What could not be written stays buffered; let the flush at exit
            # drop it instead of reporting the failure a second time.
            _silence_stdout()
            raise CliError(f"cannot write <stdout>: {_reason(e)}") from None
    else:
        try:
            _replace_file(path, chunks)
        except OSError as e:
            raise CliError(f"cannot write {path}: {_reason(e)}") from None


def _document_writer(path: str | None, dedup: bool) -> _Writer:
    """A streaming writer of one document to standard output or the file `path`."""
    try:
        if path is None or path == "-":
            return _Writer(sys.stdout.buffer.write, dedup=dedup)
        return _Writer(path, dedup=dedup)
    except OSError as e:
        raise CliError(f"cannot write {path}: {_reason(e)}") from None


def _silence_stdout() -> None:
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


# ---- Paths into a value, for messages ----


def _child_path(path: str, key: str | int) -> str:
    if isinstance(key, int):
        return f"{path}[{key}]"
    if key.isidentifier():
        return f"{path}.{key}"
    return f"{path}[{json.dumps(key, ensure_ascii=False)}]"


def _first(obj: Any, bad: Callable[[Any], str | None]) -> tuple[str, str] | None:
    """(path, reason) of the first value in document order that `bad` names."""
    stack: list[tuple[str, Any]] = [("$", obj)]
    while stack:
        path, value = stack.pop()
        reason = bad(value)
        if reason is not None:
            return path, reason
        if isinstance(value, dict):
            stack.extend(reversed([(_child_path(path, k), v) for k, v in value.items()]))
        elif isinstance(value, list):
            stack.extend(reversed([(_child_path(path, i), v) for i, v in enumerate(value)]))
    return None


def _not_json(value: Any) -> str | None:
    if isinstance(value, bytes):
        return "a byte string"
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("inf" if value > 0 else "-inf")
    return None


_WHEN = "when encoding "
_STEP = re.compile(r'\.([^.\[]+)|\[(\d+)\]|\[("(?:[^"\\]|\\.)*")\]')


def _where(e: BaseException) -> str:
    """The JSON path that the module noted on `e`: "$" when it noted none."""
    for note in getattr(e, "__notes__", ()):
        if isinstance(note, str) and note.startswith(_WHEN):
            return note[len(_WHEN):]
    return "$"


def _value_at(obj: Any, path: str) -> Any:
    """The value at `path` (as _where gives it) inside `obj`."""
    pos = 1
    while pos < len(path):
        m = _STEP.match(path, pos)
        if m is None:
            raise ValueError(f"not a path: {path}")
        obj = obj[m[1] if m[1] is not None else int(m[2]) if m[2] is not None else json.loads(m[3])]
        pos = m.end()
    return obj


def _conversion_error(obj: Any, e: BaseException, name: str, verb: str) -> CliError:
    """What the command says for an error of encode or pretty_print on `obj`."""
    path = _where(e)
    if isinstance(e, OverflowError):
        try:
            value = _value_at(obj, path)
        except (LookupError, TypeError, ValueError):
            value = None
        if isinstance(value, int):
            return CliError(f"{name}: cannot {verb} {path}: the integer {value} is outside the "
                            f"range -2**63 to 2**64-1")
    return CliError(f"{name}: cannot {verb} {path}: {e}")


# ---- Subcommands ----


_TOO_LARGE_HINT = ("a single value must fit in one 64 MiB block; write its items as separate "
                   "values (tuvax encode --from jsonl, or one Encoder.encode per item)")


def _encode_value(writer: _Writer, obj: Any, name: str) -> None:
    try:
        writer.encode(obj)
    except (OverflowError, RuntimeError) as e:
        error = _conversion_error(obj, e, name, "encode")
        if getattr(e, "kind", None) == "BlockTooLarge":
            error = CliError(f"{error}: {_TOO_LARGE_HINT}")
        raise error from None


def _encode(args: argparse.Namespace) -> int:
    _refuse_terminal(args.output)
    if args.source == "jsonl":
        f, name = _open_input(args.input)
        values = _json_lines(f, name)
    else:
        data, name = _read_input(args.input)
        text = _as_text(data, name)
        del data
        values = iter([_load_json(text, name) if args.source == "json" else _load_text(text, name)[0]])
    writer = _document_writer(args.output, args.dedup)
    to_stdout = args.output is None or args.output == "-"
    try:
        for obj in values:
            _encode_value(writer, obj, name)
        # One document and nothing after it: decode refuses anything else.
        writer.finish()
        if to_stdout:
            sys.stdout.buffer.flush()
    except BrokenPipeError:
        raise
    except OSError as e:
        if to_stdout:
            _silence_stdout()  # see _write_output
        raise CliError(f"cannot write {'<stdout>' if to_stdout else args.output}: {_reason(e)}") from None
    except RuntimeError as e:
        raise CliError(f"{name}: {e}") from None
    finally:
        writer.abort()  # a file not yet replaced stays as it was
    return 0


def _pretty(obj: Any, indent: int, name: str) -> str:
    if indent > _UINT_MAX:
        raise CliError(f"--indent {indent} is too large")
    try:
        return pretty_print(obj, indent)
    except (OverflowError, ValueError, RuntimeError) as e:
        if isinstance(e, OverflowError) or getattr(e, "kind", None) is not None:
            raise _conversion_error(obj, e, name, "write") from None
        raise


def _json_text(obj: Any, indent: int | None, name: str, what: str = "", compact: bool = False) -> str:
    found = _first(obj, _not_json)
    if found is not None:
        raise CliError(f"{name}: cannot write {what}{found[0]} as JSON: it is {found[1]}, which "
                       f"JSON cannot hold (use --to text)")
    try:
        if compact:
            return json.dumps(obj, separators=(",", ":"), ensure_ascii=False)
        return json.dumps(obj, indent=indent, ensure_ascii=False)
    except OverflowError:
        raise CliError(f"--indent {indent} is too large") from None


def _decode_failure(name: str, e: RuntimeError, size: int, read_all: Callable[[], bytes]) -> str:
    """The decode error `e` of an input read `size` bytes far, said with what the input
    turned out to be; `read_all` gives the whole input, for one that is no document."""
    kind, offset = getattr(e, "kind", None), getattr(e, "offset", None)
    if kind == "InvalidMagic" or (kind == "UnexpectedEof" and getattr(e, "block_index", None) is None):
        data = read_all()
        size = len(data)
        try:
            text = data.decode("utf-8").removeprefix("\ufeff")
            _load_any(text, name)
        except (UnicodeDecodeError, CliError):
            pass
        else:
            try:
                _parse_json(text)
            except (ValueError, RecursionError):
                return (f"{name}: this is text notation, not a binary document "
                        f"(try tuvax encode --from text)")
            return f"{name}: this is JSON, not a binary document (try tuvax encode)"
    if kind == "UnexpectedEof" and isinstance(offset, int) and offset >= size > 0:
        what = "the input" if name == "<stdin>" else "the file"
        runs = f" (its blocks run to at least {offset} bytes)" if offset > size else ""
        return (f"{name}: {e}: {what} ends after {size} bytes, before its framing "
                f"does{runs}")
    return f"{name}: {e}"


def _decode(args: argparse.Namespace) -> int:
    f, name = _open_input(args.input)
    if args.target == "jsonl":
        _write_output(args.output, _jsonl_chunks(_values(f, name), name))
        return 0
    values = list(_values(f, name))
    obj = values[0] if len(values) == 1 else values
    if args.target == "json":
        text = _json_text(obj, args.indent, name, compact=args.compact or args.indent == 0)
    else:
        text = _pretty(obj, args.indent, name)
    _write_output(args.output, [text.encode() + b"\n"])
    return 0


def _jsonl_chunks(values: Iterable[Any], name: str) -> Iterator[bytes]:
    """One JSON line per value, gathered into pieces of about 1 MiB."""
    lines: list[bytes] = []
    size = 0
    for n, obj in enumerate(values, 1):
        line = _json_text(obj, None, name, f"value {n} ", compact=True).encode() + b"\n"
        lines.append(line)
        size += len(line)
        if size >= 1 << 20:
            yield b"".join(lines)
            lines.clear()
            size = 0
    yield b"".join(lines)


def _fmt(args: argparse.Namespace) -> int:
    data, name = _read_input(args.input)
    text = _as_text(data, name)
    if args.source == "json":
        obj, comments = _load_json(text, name), 0
    elif args.source == "text":
        obj, comments = _load_text(text, name)
    else:
        obj, comments = _load_any(text, name)
    if comments and not args.drop_comments:
        # Canonical text comes from the values, so a config file written back
        # over itself would lose every comment without a word.
        s = "" if comments == 1 else "s"
        raise CliError(f"{name}: fmt would drop {comments} comment{s}, as canonical text has "
                       f"none (use --drop-comments to drop them)")
    _write_output(args.output, [_pretty(obj, args.indent, name).encode() + b"\n"])
    return 0


def _inspect(args: argparse.Namespace) -> int:
    data, name = _read_input(args.file)
    reserved, blocks, end, framing_error, failed_in = _blocks(data)
    lines = [f"{name}: {len(data)} bytes"]
    if reserved is not None:
        first = blocks[0][1] if blocks else getattr(framing_error, "block_offset")
        lines.append(f"header   {data[:first - 1].decode('ascii')}, reserved byte {reserved}")
    if blocks:
        lines.append("  offset  block        payload  compression")
        for _, offset, kind, compression, length, _ in blocks:
            lines.append(f"{offset:>8}  {kind:<11} {length:>8}  {compression} "
                         f"({_COMPRESSION_NAMES.get(compression, '?')})")
    if end is not None and end < len(data):
        lines.append(f"after    {len(data) - end} bytes follow the trailer")
    count = 0
    try:
        for _ in TuvaxDecoder(data):  # one value at a time: only the count is kept
            count += 1
    except RuntimeError as e:
        lines.append("values   unknown (decoding failed)")
        lines.append(f"verdict  damaged: {e}")
        lines.append(f"where    {_place(e, blocks, failed_in, count, len(data))}")
        status = 1
    else:
        entries = sum(b[5] or 0 for b in blocks)
        lines.append(f"values   {count} top-level")
        lines.append(f"strings  {entries} dictionary entries")
        if end is None or end == len(data):
            lines.append("verdict  ok: every block checksum and the file hash verify")
            status = 0
        else:
            lines.append(f"verdict  damaged: {len(data) - end} bytes after the trailer at offset {end}: "
                         f"a second document, or damage")
            status = 1
    sys.stdout.write("\n".join(lines) + "\n")
    sys.stdout.flush()
    return status


_COMPRESSION_NAMES = {0: "none", 1: "zstd", 2: "snappy", 3: "lz4"}


def _place(e: BaseException, blocks: list[tuple[int, int, str, int, int, int | None]],
           failed_in: str | None, decoded: int, size: int) -> str:
    """Where in the document the decode error `e` arose, from the facts it carries."""
    kind = getattr(e, "kind", None)
    index, at = getattr(e, "block_index", None), getattr(e, "offset", None)
    if index is None:
        return f"offset {at}: the header" if at is not None else "the header"
    offset = getattr(e, "block_offset")
    listed = next((b for b in blocks if b[0] == index), None)
    name = (listed[2] if listed else failed_in) or "unknown"
    block = f"the {name if name == 'trailer' else name + ' block'} at offset {offset}"
    if listed is None:  # the framing or the checksum of this block failed
        if kind == "ChecksumMismatch":
            if failed_in == "trailer":
                return f"{block}: its checksum, or the file hash over the {offset} bytes before it, does not match"
            return f"{block}: its payload does not match its checksum"
        if kind == "UnexpectedEof":
            return f"{block}: it is cut short, the input ends at {size} bytes"
        return block
    if listed[2] == "string-dict" and at is not None:
        return f"payload byte {at} of {block}"
    if at is not None:
        return f"offset {at}, in {block}"
    return f"top-level value {decoded + 1}, in {block}"


# ---- Command line ----


def _indent(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more, not {value}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="tuvax",
        description="Convert between JSON, tuvax text notation and the tuvax binary format.",
        epilog="IN and OUT default to standard input and output.",
    )
    parser.add_argument("--version", action="version", version=f"tuvax {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser("encode", help="JSON or text notation to the binary format")
    p.add_argument("input", nargs="?", metavar="IN")
    p.add_argument("-o", "--output", metavar="OUT", help="output file (written atomically)")
    p.add_argument("--from", dest="source", choices=("json", "jsonl", "text"), default="json",
                   help="input notation (default: json; jsonl: one top-level value per line, "
                        "read a line at a time)")
    p.add_argument("--dedup", action="store_true", help="store repeated strings once")
    p.set_defaults(run=_encode)

    p = sub.add_parser("decode", help="the binary format to text notation or JSON")
    p.add_argument("input", nargs="?", metavar="IN")
    p.add_argument("-o", "--output", metavar="OUT", help="output file (written atomically)")
    p.add_argument("--to", dest="target", choices=("text", "json", "jsonl"), default=None,
                   help="output notation (default: text; jsonl: one line per top-level value, "
                        "read a block at a time)")
    p.add_argument("--indent", type=_indent, default=2, metavar="N",
                   help="spaces per level (default: 2; for JSON, 0 is one line)")
    p.add_argument("--compact", action="store_true",
                   help="JSON on one line (implies --to json)")
    p.set_defaults(run=_decode)

    p = sub.add_parser("fmt", help="text notation or JSON to canonical pretty text")
    p.add_argument("input", nargs="?", metavar="IN")
    p.add_argument("-o", "--output", metavar="OUT", help="output file (written atomically)")
    p.add_argument("--from", dest="source", choices=("auto", "json", "text"), default="auto",
                   help="input notation (default: auto, JSON if it parses as JSON)")
    p.add_argument("--indent", type=_indent, default=2, metavar="N",
                   help="spaces per level (default: 2)")
    p.add_argument("--drop-comments", action="store_true",
                   help="write the canonical text even though the input's comments are lost")
    p.set_defaults(run=_fmt)

    p = sub.add_parser("inspect", help="show a document's blocks and verify it")
    p.add_argument("file", metavar="FILE", help="binary document ('-' for standard input)")
    p.set_defaults(run=_inspect)
    return parser


def _one_line(e: BaseException) -> str:
    text = str(e) or type(e).__name__
    if isinstance(e, MemoryError):
        text = "out of memory" + (f": {e}" if str(e) else "")
    elif isinstance(e, RecursionError):
        text = "input nested too deeply"
    return " ".join(text.split("\n"))


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command == "decode":
        if args.compact and args.target == "text":
            parser.error("--compact writes JSON: it cannot be combined with --to text")
        args.target = args.target or ("json" if args.compact else "text")
    try:
        status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        return 130
    except BrokenPipeError:
        # The reader went away (`tuvax decode x | head`): stop quietly, and
        # keep the interpreter from complaining while it flushes at exit.
        _silence_stdout()
        return 1
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as e:  # the module's internal-failure class included
        print(f"tuvax: {_one_line(e)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
