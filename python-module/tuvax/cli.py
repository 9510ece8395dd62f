"""The `tuvax` command: convert between JSON, text notation and the binary
format, reformat text, and look inside binary documents.

Errors print one line to standard error and exit with status 1; a wrong
command line exits with status 2 (argparse's convention).
"""

from __future__ import annotations

import argparse
import errno
import json
import math
import os
import re
import stat
import sys
import tempfile
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

from _tuvax_native import (Encoder, TuvaxDecoder, __version__, _parse_text_counted, decode,
                           parse_text, pretty_print)

from tuvax import _layout

_UINT_MAX = 2**64 - 1


class CliError(Exception):
    """A failure reported as one line on standard error."""


# ---- Input ----


def _read_input(path: str | None) -> tuple[bytes, str]:
    """The whole input and the name to use for it in messages."""
    if path is None or path == "-":
        if sys.stdin.isatty():
            # Otherwise a forgotten file name looks like a hang.
            print("tuvax: reading standard input from the terminal; end it with Ctrl-D",
                  file=sys.stderr, flush=True)
        return sys.stdin.buffer.read(), "<stdin>"
    try:
        with open(path, "rb") as f:
            return f.read(), path
    except OSError as e:
        raise CliError(f"cannot read {path}: {e.strerror}") from None


def _as_text(data: bytes, name: str) -> str:
    if data.startswith(_layout.MAGIC):
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


def write_atomic(path: str, data: bytes) -> None:
    """Replace the file at `path` by `data` so that a failure leaves it as it was.

    The bytes go to a temporary file in the same directory, reach the disk,
    and are renamed over the target. A symbolic link is written through; a
    target that is not a regular file (a FIFO, /dev/null) is written directly.
    """
    try:
        st: os.stat_result | None = os.stat(path)
    except FileNotFoundError:
        st = None
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror}") from None
    try:
        if st is not None and stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        if st is not None and not stat.S_ISREG(st.st_mode):
            with open(path, "wb") as f:
                f.write(data)
            return
        target = os.path.realpath(path)
        _replace_file(target, data, stat.S_IMODE(st.st_mode) if st is not None else None)
    except OSError as e:
        raise CliError(f"cannot write {path}: {e.strerror}") from None


def _replace_file(target: str, data: bytes, mode: int | None) -> None:
    directory = os.path.dirname(target) or "."
    if mode is None:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".tmp", dir=directory)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fchmod(f.fileno(), mode)
            os.fsync(f.fileno())
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    # The rename is durable only once the directory entry is on disk too.
    try:
        dir_fd = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    except OSError:
        return
    try:
        os.fsync(dir_fd)
    except OSError:
        pass
    finally:
        os.close(dir_fd)


def _write_output(path: str | None, data: bytes) -> None:
    if path is None or path == "-":
        try:
            sys.stdout.buffer.write(data)
            sys.stdout.buffer.flush()
        except BrokenPipeError:
            raise
        except OSError as e:
            # What could not be written stays buffered; let the flush at exit
            # drop it instead of reporting the failure a second time.
            _silence_stdout()
            raise CliError(f"cannot write <stdout>: {e.strerror}") from None
    else:
        write_atomic(path, data)


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


def _encode(args: argparse.Namespace) -> int:
    _refuse_terminal(args.output)
    data, name = _read_input(args.input)
    text = _as_text(data, name)
    obj = _load_json(text, name) if args.source == "json" else _load_text(text, name)[0]
    enc = Encoder()
    if args.dedup:
        enc.enable_dedup()
    try:
        enc.encode(obj)
        # One document and nothing after it: decode refuses anything else.
        data = enc.finish()
    except (OverflowError, RuntimeError) as e:
        raise _conversion_error(obj, e, name, "encode") from None
    _write_output(args.output, data)
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


def _decode_input(data: bytes, name: str) -> Any:
    try:
        obj = decode(data)
    except RuntimeError as e:
        raise CliError(_decode_failure(data, name, e)) from None
    extra = _after_trailer(_layout.walk(data, dictionaries=False))
    if extra is not None:
        raise CliError(f"{name}: {extra}")
    return obj


def _decode_failure(data: bytes, name: str, e: RuntimeError) -> str:
    """The decode error `e` of `data`, said with what the input turned out to be."""
    kind, offset = getattr(e, "kind", None), getattr(e, "offset", None)
    if kind == "InvalidMagic" or (kind == "UnexpectedEof" and not data.startswith(_layout.MAGIC)):
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
    if kind == "UnexpectedEof" and isinstance(offset, int) and offset >= len(data) > 0:
        what = "the input" if name == "<stdin>" else "the file"
        runs = f" (its blocks run to at least {offset} bytes)" if offset > len(data) else ""
        return (f"{name}: {e}: {what} ends after {len(data)} bytes, before its framing "
                f"does{runs}")
    return f"{name}: {e}"


def _after_trailer(layout: _layout.Layout) -> str | None:
    """What follows a verified trailer, said as a fault, or None.

    The module ignores it, as the format allows; a file given to this command
    is one document, and a second one after it would be lost without a word.
    """
    if not layout.after_trailer:
        return None
    end = layout.size - layout.after_trailer
    return f"{layout.after_trailer} bytes after the trailer at offset {end}: a second document, or damage"


def _decode(args: argparse.Namespace) -> int:
    data, name = _read_input(args.input)
    obj = _decode_input(data, name)
    if args.target == "json":
        found = _first(obj, _not_json)
        if found is not None:
            raise CliError(f"{name}: cannot write {found[0]} as JSON: it is {found[1]}, which "
                           f"JSON cannot hold (use --to text)")
        try:
            if args.compact or args.indent == 0:
                text = json.dumps(obj, separators=(",", ":"), ensure_ascii=False)
            else:
                text = json.dumps(obj, indent=args.indent, ensure_ascii=False)
        except OverflowError:
            raise CliError(f"--indent {args.indent} is too large") from None
    else:
        text = _pretty(obj, args.indent, name)
    _write_output(args.output, text.encode() + b"\n")
    return 0


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
    _write_output(args.output, _pretty(obj, args.indent, name).encode() + b"\n")
    return 0


def _inspect(args: argparse.Namespace) -> int:
    data, name = _read_input(args.file)
    layout = _layout.walk(data)
    lines = [f"{name}: {len(data)} bytes", *_layout.describe(layout)]
    count = 0
    try:
        for _ in TuvaxDecoder(data):  # one value at a time: only the count is kept
            count += 1
    except RuntimeError as e:
        lines.append("values   unknown (decoding failed)")
        lines.append(f"verdict  damaged: {e}")
        where = _layout.locate(e, layout, count)
        if where is not None:
            lines.append(f"where    {where}")
        status = 1
    else:
        lines.append(f"values   {count} top-level")
        lines.append(f"strings  {layout.dict_entries} dictionary entries")
        extra = _after_trailer(layout)
        if extra is None:
            lines.append("verdict  ok: every block checksum and the file hash verify")
            status = 0
        else:
            lines.append(f"verdict  damaged: {extra}")
            status = 1
    sys.stdout.write("\n".join(lines) + "\n")
    sys.stdout.flush()
    return status


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
    p.add_argument("--from", dest="source", choices=("json", "text"), default="json",
                   help="input notation (default: json)")
    p.add_argument("--dedup", action="store_true", help="store repeated strings once")
    p.set_defaults(run=_encode)

    p = sub.add_parser("decode", help="the binary format to text notation or JSON")
    p.add_argument("input", nargs="?", metavar="IN")
    p.add_argument("-o", "--output", metavar="OUT", help="output file (written atomically)")
    p.add_argument("--to", dest="target", choices=("text", "json"), default=None,
                   help="output notation (default: text)")
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
        args.target = "json" if args.compact else args.target or "text"
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
