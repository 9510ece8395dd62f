"""The `tuvax` command line, run as a separate process the way users run it."""

import json
import os
import pathlib
import stat
import subprocess
import sys

import pytest

import _tuvax_native
import tuvax

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "weather.json"

# The child finds the same extension and package as this process.
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [os.path.dirname(_tuvax_native.__file__), os.path.dirname(os.path.dirname(tuvax.__file__)),
     os.environ.get("PYTHONPATH", "")]))


def run(*args, input=b"", cwd=None):
    return subprocess.run([sys.executable, "-m", "tuvax", *map(str, args)], input=input,
                          capture_output=True, env=ENV, cwd=cwd, timeout=120)


def ok(*args, input=b"", cwd=None):
    r = run(*args, input=input, cwd=cwd)
    assert (r.returncode, r.stderr.decode()) == (0, "")
    return r.stdout


def fails(*args, input=b"", cwd=None, code=1):
    """The one stderr line of a failed run; nothing may reach stdout."""
    r = run(*args, input=input, cwd=cwd)
    assert r.returncode == code, r.stderr
    assert r.stdout == b""
    err = r.stderr.decode()
    if code == 1:
        assert err.count("\n") == 1 and err.endswith("\n"), err
    return err.rstrip("\n")


DOC = {"name": "Ada", "items": [{"n": 1}, {"n": -2}, {"n": 3.5}, {"n": "é"}], "ok": True,
       "none": None}


@pytest.fixture
def doc_json(tmp_path):
    path = tmp_path / "doc.json"
    path.write_text(json.dumps(DOC))
    return path


class TestEncode:
    def test_json_file_to_file(self, doc_json, tmp_path):
        out = tmp_path / "doc.tvx"
        assert ok("encode", doc_json, "-o", out) == b""
        assert out.read_bytes() == tuvax.encode(DOC)

    def test_stdin_to_stdout(self):
        assert ok("encode", input=json.dumps(DOC).encode()) == tuvax.encode(DOC)

    def test_dedup_matches_encoder(self):
        data = EXAMPLE.read_bytes()
        enc = tuvax.Encoder()
        enc.enable_dedup()
        enc.encode(json.loads(data))
        shared = ok("encode", "--dedup", input=data)
        assert shared == enc.finish()
        assert len(shared) < len(ok("encode", input=data)) < len(data)

    def test_from_text(self):
        out = ok("encode", "--from", "text", input=b"{a: [1, -2]; raw: b64#AQID;}\n")
        assert tuvax.decode(out) == {"a": [1, -2], "raw": b"\x01\x02\x03"}

    def test_errors(self, tmp_path):
        assert fails("encode", tmp_path / "missing.json") == (
            f"tuvax: cannot read {tmp_path}/missing.json: No such file or directory")
        assert fails("encode", input=b'{"a": }') == (
            "tuvax: <stdin>: invalid JSON: Expecting value: line 1 column 7 (char 6)")
        assert fails("encode", input=b"[NaN]") == (
            "tuvax: <stdin>: NaN is not valid JSON (for non-finite floats use text notation)")
        assert fails("encode", "--from", "text", input=b"1 2") == (
            "tuvax: <stdin>: parse error: Text parse error at line 1, col 3: "
            "unexpected character: '2'")
        assert fails("encode", input=b"\xff") == (
            "tuvax: <stdin>: not UTF-8 text (invalid byte at offset 0)")
        assert fails("encode", input=tuvax.encode(1)) == (
            "tuvax: <stdin>: this is a binary document, not text (try: tuvax decode)")
        assert fails("encode", input=b'{"a": [1, 18446744073709551616]}') == (
            "tuvax: <stdin>: cannot encode $.a[1]: the integer 18446744073709551616 is "
            "outside the range -2**63 to 2**64-1")
        # Errors of the encoder name the file and the JSON path; they used
        # to name neither.
        assert fails("encode", input=b"[" * 200 + b"]" * 200) == (
            "tuvax: <stdin>: cannot encode $" + "[0]" * 128 + ": encode error: Nesting depth 128 "
            "exceeds maximum 128")
        big = tmp_path / "big.json"
        big.write_text('{"ok": [1], "a": [' + "0," * 1_000_000 + "0]}")
        assert fails("encode", big) == (
            f"tuvax: {big}: cannot encode $.a: encode error: Item count 1000001 exceeds maximum 1000000")
        # fmt used to blame --indent for an integer out of range.
        assert fails("fmt", input=b'{"a": [18446744073709551616]}') == (
            "tuvax: <stdin>: cannot write $.a[0]: the integer 18446744073709551616 is outside the "
            "range -2**63 to 2**64-1")

    def test_text_notation_given_as_json_gets_a_hint(self):
        # It used to say only "invalid JSON: Expecting property name ...".
        assert fails("encode", input=b"{a: 1; // port\n}") == (
            "tuvax: <stdin>: this looks like text notation, not JSON (try --from text)")
        assert fails("encode", input=b'{"a": 1') == (
            "tuvax: <stdin>: invalid JSON: Expecting ',' delimiter: line 1 column 8 (char 7)")

    def test_top_level_integer_out_of_range(self):
        assert fails("fmt", input=b"18446744073709551616") == (
            "tuvax: <stdin>: cannot write $: the integer 18446744073709551616 is outside the "
            "range -2**63 to 2**64-1")

    def test_largest_unsigned_integer_encodes(self):
        out = ok("encode", input=b"[18446744073709551615, -9223372036854775808]")
        assert tuvax.decode(out) == [2**64 - 1, -(2**63)]


class TestDecode:
    def test_to_text_by_default(self, tmp_path):
        src = tmp_path / "doc.tvx"
        src.write_bytes(tuvax.encode(DOC))
        assert ok("decode", src).decode() == tuvax.pretty_print(DOC) + "\n"
        assert ok("decode", "--indent", "0", input=src.read_bytes()).decode() == (
            tuvax.pretty_print(DOC, 0) + "\n")

    def test_to_json_round_trips_the_example(self, tmp_path):
        binary = ok("encode", "--dedup", EXAMPLE)
        out = tmp_path / "back.json"
        ok("decode", "--to", "json", "-o", out, input=binary)
        assert json.loads(out.read_text()) == json.loads(EXAMPLE.read_text())
        assert out.read_text() == json.dumps(json.loads(EXAMPLE.read_text()), indent=2,
                                             ensure_ascii=False) + "\n"

    def test_several_values_decode_as_a_list(self):
        enc = tuvax.Encoder()
        enc.encode(1)
        enc.encode("a")
        assert ok("decode", "--to", "json", input=enc.finish()) == b'[\n  1,\n  "a"\n]\n'

    @pytest.mark.parametrize("value, path, what", [
        ({"items": [0, 1, 2, {"blob": b"x"}]}, "$.items[3].blob", "a byte string"),
        ({"first name": [float("nan")]}, '$["first name"][0]', "NaN"),
        ([1.0, float("-inf")], "$[1]", "-inf"),
        (b"", "$", "a byte string"),
    ])
    def test_json_refuses_what_json_cannot_hold(self, value, path, what):
        assert fails("decode", "--to", "json", input=tuvax.encode(value)) == (
            f"tuvax: <stdin>: cannot write {path} as JSON: it is {what}, which JSON cannot "
            f"hold (use --to text)")

    def test_first_offender_in_document_order(self):
        value = {"a": [1, {"b": b"1"}], "c": float("inf")}
        assert "$.a[1].b" in fails("decode", "--to", "json", input=tuvax.encode(value))

    def test_damaged_input(self):
        data = bytearray(tuvax.encode(DOC))
        data[20] ^= 0x01
        assert fails("decode", input=bytes(data)).startswith(
            "tuvax: <stdin>: decode error: Checksum mismatch: expected 0x")
        assert fails("decode", input=b"garbage!") == (
            "tuvax: <stdin>: decode error: Invalid magic bytes in file header: expected TUVAXv1")
        assert fails("decode", input=tuvax.encode(DOC)[:-5]).startswith(
            "tuvax: <stdin>: decode error: Unexpected end of input at offset")

    def test_compact_json_is_one_line(self):
        data = tuvax.encode(DOC)
        want = json.dumps(DOC, separators=(",", ":"), ensure_ascii=False).encode() + b"\n"
        assert ok("decode", "--compact", input=data) == want
        assert ok("decode", "--to", "json", "--compact", input=data) == want
        assert ok("decode", "--to", "json", "--indent", "0", input=data) == want
        assert fails("decode", "--to", "text", "--compact", input=data, code=2).endswith(
            "error: --compact writes JSON: it cannot be combined with --to text")

    def test_text_and_json_are_not_binary_documents(self):
        # Both used to get "Invalid magic bytes in file header" and no hint.
        assert fails("decode", input=b"{a: 1;}\n") == (
            "tuvax: <stdin>: this is text notation, not a binary document "
            "(try tuvax encode --from text)")
        assert fails("decode", input=b"[1]") == (
            "tuvax: <stdin>: this is JSON, not a binary document (try tuvax encode)")

    def test_cut_file_says_where_it_ends(self, tmp_path):
        # "Unexpected end of input at offset 5073" named an offset past the
        # end of a 3000-byte file, and no more.
        data = ok("encode", EXAMPLE)
        cut = tmp_path / "cut.tvx"
        cut.write_bytes(data[:3000])
        block_end = len(data) - 19
        assert fails("decode", cut) == (
            f"tuvax: {cut}: decode error: Unexpected end of input at offset {block_end}: the file "
            f"ends after 3000 bytes, before its framing does (its blocks run to at least "
            f"{block_end} bytes)")
        assert fails("decode", input=data[:-5]) == (
            f"tuvax: <stdin>: decode error: Unexpected end of input at offset {len(data) - 5}: "
            f"the input ends after {len(data) - 5} bytes, before its framing does")

    @pytest.mark.parametrize("target", ["text", "json"])
    def test_indent_beyond_any_machine(self, target):
        assert fails("decode", "--to", target, "--indent", str(2**64),
                     input=tuvax.encode([[1]])) == f"tuvax: --indent {2**64} is too large"


class TestOneDocument:
    # A second document after the first (`cat a.tvx b.tvx | tuvax decode`)
    # used to be dropped without a word, and inspect called the file ok.
    def test_bytes_after_the_trailer_are_refused(self, tmp_path):
        one = ok("encode", input=b'{"a": 1}')  # what encode writes ends at its trailer
        assert ok("decode", "--to", "json", input=one) == b'{\n  "a": 1\n}\n'
        two = tmp_path / "two.tvx"
        two.write_bytes(one + one)
        message = (f"tuvax: {two}: {len(one)} bytes after the trailer at offset {len(one)}: "
                   f"a second document, or damage")
        for args in (["decode", two], ["decode", "--to", "json", two],
                     ["decode", two, "-o", tmp_path / "out.txt"]):
            assert fails(*args) == message
        assert not (tmp_path / "out.txt").exists()
        r = run("inspect", two)
        assert r.returncode == 1 and r.stderr == b""
        assert r.stdout.decode().splitlines()[-4:] == [
            f"after    {len(one)} bytes follow the trailer",
            "values   1 top-level",
            "strings  0 dictionary entries",
            f"verdict  damaged: {message.split(': ', 2)[2]}",
        ]
        # The module keeps reading one document and ignoring what follows.
        assert tuvax.decode(one + one) == {"a": 1}


class TestFmt:
    def test_json_and_text_give_the_same_canonical_text(self):
        want = (tuvax.pretty_print(DOC) + "\n").encode()
        assert ok("fmt", input=json.dumps(DOC).encode()) == want
        assert ok("fmt", input=want) == want
        assert ok("fmt", "--from", "text", "--drop-comments",
                  input=b"// c\n{name:\"Ada\";items:[{n:1;} {n:-2;}"
                  b" {n:3.5;} {n:\"\xc3\xa9\";}]; ok: true; none: null;}") == want

    def test_refuses_to_drop_comments(self, tmp_path):
        # `tuvax fmt app.conf -o app.conf` used to delete every comment.
        conf = tmp_path / "app.conf"
        conf.write_bytes(b"// the service\n{port: 80; /* or 8080 /* nested */ */ host: \"a\";}\n")
        before = conf.read_bytes()
        assert fails("fmt", conf, "-o", conf) == (
            f"tuvax: {conf}: fmt would drop 2 comments, as canonical text has none "
            f"(use --drop-comments to drop them)")
        assert conf.read_bytes() == before
        assert ok("fmt", conf, "--drop-comments", "-o", conf) == b""
        assert conf.read_bytes() == b'{\n  port: 80;\n  host: "a";\n}\n'
        assert "1 comment," in fails("fmt", "--from", "text", input=b"1 // one")

    def test_indent(self):
        assert ok("fmt", "--indent", "4", input=b'{"a": [[1]]}') == (
            b"{\n    a: [\n        [1]\n    ];\n}\n")

    def test_json_escapes_are_read_as_json(self):
        # Valid in both notations, but only JSON turns \u00e9 into one character.
        assert ok("fmt", input=b'"caf\\u00e9"') == '"café"\n'.encode()

    def test_error_comes_from_the_reader_that_got_further(self, tmp_path):
        # Broken JSON: the JSON reader gets past the text reader's first stop.
        assert fails("fmt", input=b'{"a": 1, "b": }') == (
            "tuvax: <stdin>: invalid JSON: Expecting value: line 1 column 15 (char 14)")
        # Broken text notation: the text reader gets further.
        assert fails("fmt", input=b"{a: 1; b: ?;}") == (
            "tuvax: <stdin>: parse error: Text parse error at line 1, col 11: "
            "unexpected character: '?'")
        # A tie goes to JSON for a .json file.
        bad = tmp_path / "bad.json"
        bad.write_bytes(b'{"a": 1,}')
        assert fails("fmt", bad).startswith(f"tuvax: {bad}: invalid JSON: ")


class TestInspect:
    def test_layout_and_verdict(self, tmp_path):
        path = tmp_path / "ex.tvx"
        ok("encode", "--dedup", EXAMPLE, "-o", path)
        data = path.read_bytes()
        lines = ok("inspect", path).decode().splitlines()
        assert lines[0] == f"{path}: {len(data)} bytes"
        assert lines[1] == "header   TUVAXv1, reserved byte 0"
        assert lines[2] == "  offset  block        payload  compression"
        assert lines[3].split()[:2] == ["8", "string-dict"]
        assert lines[4].split()[1] == "data"
        assert lines[5].split() == [str(len(data) - 19), "trailer", "8", "0", "(none)"]
        assert lines[6:] == [
            "values   1 top-level",
            f"strings  {_distinct_strings(json.loads(EXAMPLE.read_text()))} dictionary entries",
            "verdict  ok: every block checksum and the file hash verify",
        ]

    def test_plain_document_has_no_dictionary(self):
        enc = tuvax.Encoder()
        for v in (1, "a", [2]):
            enc.encode(v)
        lines = ok("inspect", "-", input=enc.finish()).decode().splitlines()
        assert [line.split()[1] for line in lines[3:5]] == ["data", "trailer"]
        assert lines[-3:-1] == ["values   3 top-level", "strings  0 dictionary entries"]

    def test_flipped_payload_byte_names_its_block(self):
        data = bytearray(tuvax.encode(DOC))
        data[25] ^= 0x40  # inside the data block's payload, which starts at offset 19
        r = run("inspect", "-", input=bytes(data))
        assert r.returncode == 1 and r.stderr == b""
        lines = r.stdout.decode().splitlines()
        assert lines[-3] == "values   unknown (decoding failed)"
        assert lines[-2].startswith("verdict  damaged: decode error: Checksum mismatch: ")
        assert lines[-1] == "where    the data block at offset 8: its payload does not match its checksum"

    def test_flipped_file_hash_names_the_trailer(self):
        data = bytearray(tuvax.encode(DOC))
        data[-1] ^= 0x01
        lines = run("inspect", "-", input=bytes(data)).stdout.decode().splitlines()
        trailer = len(data) - 19
        assert lines[-1] in (
            f"where    the trailer at offset {trailer}: its checksum does not match its payload",
            f"where    the trailer at offset {trailer}: the file hash does not match the "
            f"{trailer} bytes before it")

    def test_truncated_file_says_where_it_ends(self):
        data = tuvax.encode(DOC)
        r = run("inspect", "-", input=data[:30])
        assert r.returncode == 1
        lines = r.stdout.decode().splitlines()
        assert lines[1] == "header   TUVAXv1, reserved byte 0"
        end = 19 + len(data) - 27 - 11
        assert f"framing  broken at offset {end}: the data block at offset 8 is cut short" in lines[2]
        assert lines[-1] == (f"where    offset {end}: the data block at offset 8 is cut short: its"
                             f" payload ends at {end}, the input at 30")

    def test_not_a_document(self, tmp_path):
        r = run("inspect", "-", input=b"hello, world")
        assert r.returncode == 1
        assert r.stdout.decode().splitlines() == [
            "<stdin>: 12 bytes",
            "framing  broken at offset 0: not a tuvax document: it does not start with TUVAXv1",
            "values   unknown (decoding failed)",
            "verdict  damaged: decode error: Invalid magic bytes in file header: expected TUVAXv1",
            "where    offset 0: not a tuvax document: it does not start with TUVAXv1",
        ]

    def test_missing_file(self, tmp_path):
        assert fails("inspect", tmp_path / "nope") == (
            f"tuvax: cannot read {tmp_path}/nope: No such file or directory")


def _distinct_strings(value):
    seen = set()
    stack = [value]
    while stack:
        v = stack.pop()
        if isinstance(v, str):
            seen.add(v)
        elif isinstance(v, dict):
            stack.extend(v.values())
        elif isinstance(v, list):
            stack.extend(v)
    return len(seen)


class TestUsage:
    @pytest.mark.parametrize("args", [
        [], ["frobnicate"], ["encode", "--from", "xml"], ["decode", "--indent", "-1"],
        ["decode", "--indent", "two"], ["fmt", "a", "b"], ["inspect"], ["encode", "--bogus"],
    ])
    def test_usage_errors_exit_2(self, args):
        err = fails(*args, code=2)
        assert err.startswith("usage: tuvax")

    def test_help_and_version(self):
        assert b"encode" in ok("--help") and b"inspect" in ok("--help")
        assert ok("--version") == f"tuvax {tuvax.__version__}\n".encode()

    def test_binary_output_to_a_terminal_is_refused(self):
        pty = pytest.importorskip("pty")
        try:
            leader, follower = pty.openpty()
        except OSError:
            pytest.skip("no pseudo-terminal available")
        try:
            def on_tty(*args):
                return subprocess.run([sys.executable, "-m", "tuvax", *args], input=b"[1]",
                                      stdout=follower, stderr=subprocess.PIPE, env=ENV,
                                      timeout=60)
            # "-o -" used to write binary to the terminal after all.
            for args in (["encode"], ["encode", "-o", "-"]):
                r = on_tty(*args)
                assert (r.returncode, r.stderr) == (1, b"tuvax: refusing to write binary output "
                                                       b"to a terminal; use -o FILE or redirect\n")
            assert on_tty("fmt").returncode == 0  # text is fine on a terminal
        finally:
            os.close(follower)
            os.close(leader)

    def test_terminal_on_standard_input_gets_a_hint(self):
        # It used to wait in silence, which looks like a hang.
        pty = pytest.importorskip("pty")
        try:
            leader, follower = pty.openpty()
        except OSError:
            pytest.skip("no pseudo-terminal available")
        try:
            proc = subprocess.Popen([sys.executable, "-m", "tuvax", "fmt"], stdin=follower,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
            os.write(leader, b"[1]\n\x04")  # a line, then end of input
            out, err = proc.communicate(timeout=60)
        finally:
            os.close(follower)
            os.close(leader)
        assert (proc.returncode, out) == (0, b"[1]\n")
        assert err == b"tuvax: reading standard input from the terminal; end it with Ctrl-D\n"


class TestAtomicOutput:
    def test_failed_run_leaves_the_target_alone(self, tmp_path):
        out = tmp_path / "out.tvx"
        out.write_bytes(b"precious")
        fails("encode", "-o", out, input=b"{broken")
        assert out.read_bytes() == b"precious"
        assert os.listdir(tmp_path) == ["out.tvx"]

    def test_replaces_and_keeps_the_mode(self, tmp_path):
        out = tmp_path / "out.tvx"
        out.write_bytes(b"old")
        out.chmod(0o600)
        ok("encode", "-o", out, input=b"[1]")
        assert out.read_bytes() == tuvax.encode([1])
        assert stat.S_IMODE(out.stat().st_mode) == 0o600
        assert os.listdir(tmp_path) == ["out.tvx"]

    def test_new_file_gets_the_umask_mode(self, tmp_path):
        out = tmp_path / "new.txt"
        old = os.umask(0o027)
        try:
            ok("fmt", "-o", out, input=b"[1]")
        finally:
            os.umask(old)
        assert stat.S_IMODE(out.stat().st_mode) == 0o640

    def test_symlink_is_written_through(self, tmp_path):
        real = tmp_path / "real.txt"
        real.write_text("old")
        link = tmp_path / "link.txt"
        link.symlink_to(real.name)
        ok("fmt", "-o", link, input=b"[1]")
        assert link.is_symlink() and real.read_text() == "[1]\n"

    def test_write_errors(self, tmp_path):
        assert fails("fmt", "-o", tmp_path / "no" / "dir.txt", input=b"1") == (
            f"tuvax: cannot write {tmp_path}/no/dir.txt: No such file or directory")
        assert fails("fmt", "-o", tmp_path, input=b"1") == (
            f"tuvax: cannot write {tmp_path}: Is a directory")
        assert fails("fmt", "-o", "/dev/full", input=b"1") == (
            "tuvax: cannot write /dev/full: No space left on device")
        # A full standard output used to print a bare "[Errno 28] ...".
        with open("/dev/full", "wb") as full:
            r = subprocess.run([sys.executable, "-m", "tuvax", "fmt"], input=b"1", stdout=full,
                               stderr=subprocess.PIPE, env=ENV, timeout=60)
        assert (r.returncode, r.stderr) == (1, b"tuvax: cannot write <stdout>: No space left on device\n")

    def test_non_regular_target_is_written_directly(self):
        assert ok("encode", "-o", os.devnull, input=b"1") == b""
