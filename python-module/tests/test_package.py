"""The pure-Python `tuvax` package: re-exports, stream helpers, type stubs."""

import ast
import errno
import inspect
import io
import os
import pathlib
import subprocess
import sys
import textwrap
import threading

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _tuvax_native
import tuvax

MODULE_DIR = pathlib.Path(__file__).resolve().parents[1]
REPO = MODULE_DIR.parent
STUB = MODULE_DIR / "_tuvax_native.pyi"
NATIVE_NAMES = ["__version__", "encode", "decode", "encode_to_file", "decode_from_file",
                "parse_text", "pretty_print", "Encoder", "TuvaxDecoder"]


# The package's own versions of these: generous types, the default hook, any path.
PACKAGE_NAMES = ["encode", "encode_to_file", "decode_from_file", "pretty_print"]


class TestReexports:
    def test_all_lists_native_names_then_helpers(self):
        assert tuvax.__all__ == NATIVE_NAMES + ["dump", "load", "loads", "Writer", "open_writer",
                                                "dump_iter", "iter_load"]
        for name in set(NATIVE_NAMES) - set(PACKAGE_NAMES) - {"Encoder"}:
            assert getattr(tuvax, name) is getattr(_tuvax_native, name)

    @pytest.mark.parametrize("name", PACKAGE_NAMES)
    def test_package_functions_are_native_and_call_themselves_tuvax(self, name):
        # No Python layer in between: the generous walk runs in the module.
        func = getattr(tuvax, name)
        assert func is getattr(_tuvax_native, "_" + name)
        assert (func.__name__, func.__module__) == (name, "tuvax")
        assert func is not getattr(_tuvax_native, name)
        assert "_" + name not in _tuvax_native.__all__


DOC = {"city": "Tromsø", "tags": ["ok", "ok", "ok", "ok"], "n": -3, "raw": b"\x00\xff"}


class TestDumpLoad:
    def test_round_trip_through_a_binary_file(self, tmp_path):
        path = tmp_path / "doc.tvx"
        with open(path, "wb") as f:
            tuvax.dump(DOC, f)
        with open(path, "rb") as f:
            assert tuvax.load(f) == DOC
        assert path.read_bytes() == tuvax.encode(DOC)

    def test_dedup_shares_repeated_strings(self):
        doc = {"quality": ["estimated"] * 20, "unit": "°C"}
        plain, shared = io.BytesIO(), io.BytesIO()
        tuvax.dump(doc, plain)
        tuvax.dump(doc, shared, dedup=True)
        assert len(shared.getvalue()) < len(plain.getvalue())
        assert tuvax.loads(shared.getvalue()) == doc

    def test_dedup_is_keyword_only(self):
        with pytest.raises(TypeError):
            tuvax.dump(DOC, io.BytesIO(), True)

    def test_failed_dump_writes_nothing(self):
        buf = io.BytesIO()
        with pytest.raises(TypeError) as exc:
            tuvax.dump({"a": (1, {2})}, buf)
        assert str(exc.value) == "cannot convert set to Tuvax value"
        assert exc.value.__notes__ == ["when encoding $.a[1]"]
        assert buf.getvalue() == b""

    def test_dump_takes_default(self):
        buf = io.BytesIO()
        tuvax.dump({"a": {2, 1}}, buf, default=sorted)
        assert tuvax.loads(buf.getvalue()) == {"a": [1, 2]}

    def test_load_refuses_a_text_file(self, tmp_path):
        # A document opened in text mode used to fail as UnicodeDecodeError.
        path = tmp_path / "doc.tvx"
        path.write_bytes(tuvax.encode({"raw": b"\xff\xfe"}))
        with open(path, encoding="utf-8") as f, pytest.raises(TypeError) as exc:
            tuvax.load(f)
        assert str(exc.value) == "load() needs a file opened in binary mode, not a text file"

        class TextReader:  # not a text file object, but read() gives str
            def read(self, size=-1):
                return "{}"
        with pytest.raises(TypeError) as exc:
            tuvax.load(TextReader())
        assert str(exc.value) == "load() needs a file opened in binary mode, read() returned str"


VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-(2**63), 2**64 - 1) | st.floats(allow_nan=False)
    | st.sampled_from(["", "a", "Tromsø", "°C"]) | st.text(max_size=6) | st.binary(max_size=6),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=4), inner, max_size=4),
    max_leaves=12)


def _through(kind, tmp_path, write, read):
    """write(target) then read(source) through a path, a BytesIO or a pipe."""
    if kind == "path":
        path = tmp_path / "doc.tvx"
        write(path)
        return path.read_bytes(), read(path)
    if kind == "bytesio":
        buf = io.BytesIO()
        write(buf)
        buf.seek(0)
        return buf.getvalue(), read(buf)
    r, w = os.pipe()
    with open(r, "rb") as rf, open(w, "wb") as wf:
        data = []
        copier = threading.Thread(target=lambda: data.append(rf.read()))
        copier.start()
        try:
            write(wf)
        finally:
            wf.close()
            copier.join()
    r, w = os.pipe()
    with open(r, "rb") as rf, open(w, "wb") as wf:
        feeder = threading.Thread(target=lambda: (wf.write(data[0]), wf.close()))
        feeder.start()
        try:
            return data[0], read(rf)
        finally:
            feeder.join()


class TestStreaming:
    @settings(max_examples=30, deadline=None)
    @given(values=st.lists(VALUES, max_size=5), dedup=st.booleans(),
           kind=st.sampled_from(["path", "bytesio", "pipe"]))
    def test_writer_is_encoder_and_readers_give_values_back(self, tmp_path_factory, values, dedup, kind):
        tmp_path = tmp_path_factory.mktemp("s")
        enc = tuvax.Encoder()
        if dedup:
            enc.enable_dedup()
        for v in values:
            enc.encode(v)
        want = enc.finish()
        data, back = _through(kind, tmp_path, lambda t: tuvax.dump_iter(values, t, dedup=dedup),
                              lambda s: list(tuvax.iter_load(s)))
        assert (data, back) == (want, values)
        if kind != "path":  # load takes file objects
            _, one = _through(kind, tmp_path, lambda t: t.write(want), tuvax.load)
            assert one == (values[0] if len(values) == 1 else values)

    def test_dump_three_then_load_three_like_pickle(self, tmp_path):
        # load used to read to the end: the first record only, then an error.
        path = tmp_path / "log.tvx"
        docs = [{"n": 1}, [2, "two"], "three"]
        ends = []
        with open(path, "ab") as f:
            for d in docs:
                tuvax.dump(d, f, dedup=True)
                ends.append(f.tell())
        with open(path, "rb") as f:
            for d, end in zip(docs, ends):
                assert (tuvax.load(f), f.tell()) == (d, end)
            with pytest.raises(RuntimeError, match="Unexpected end of input at offset 0"):
                tuvax.load(f)

    def test_failure_inside_the_writer_leaves_the_target_untouched(self, tmp_path):
        path = tmp_path / "out.tvx"
        path.write_bytes(b"precious")
        big = "x" * 1_000_000  # a full block goes out before the failure
        with pytest.raises(ZeroDivisionError):
            with tuvax.open_writer(path) as w:
                for _ in range(70):
                    w.write(big)
                1 / 0
        with pytest.raises(TypeError):  # a value the encoder refuses
            tuvax.dump_iter([1, {2}], path)
        assert path.read_bytes() == b"precious"
        assert os.listdir(tmp_path) == ["out.tvx"]
        with tuvax.open_writer(os.fsencode(path)) as w:
            w.write(1)
        assert w.closed and tuvax.decode_from_file(str(path)) == 1
        with pytest.raises(RuntimeError, match="writer already closed"):
            w.write(2)

    # A file that may not grow (a full disk, a quota): close() raises, the
    # file is cut back to what was whole, and the same writer completes the
    # document once there is room, whichever of the header, the block and
    # the trailer failed.
    def test_a_writer_that_runs_out_of_room_tries_again(self, tmp_path):
        script = textwrap.dedent('''
            import os, resource, signal, sys, tuvax
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            path = sys.argv[1]
            values = [{"n": i, "text": "é" * i} for i in range(40)]
            enc = tuvax.Encoder()
            for v in values:
                enc.encode(v)
            want = enc.finish()
            soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
            outcomes = set()
            for limit in range(0, len(want), 7):
                w = tuvax.open_writer(path)
                for v in values:
                    w.write(v)
                resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
                try:
                    w.close()
                except OSError as e:
                    outcomes.add((e.errno, w.closed))
                finally:
                    resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
                w.close()
                assert w.closed and open(path, "rb").read() == want, limit
                os.remove(path)
            print(sorted(outcomes), os.listdir(os.path.dirname(path)))
        ''')
        r = subprocess.run([sys.executable, "-c", script, str(tmp_path / "out.tvx")],
                           capture_output=True, text=True, timeout=120)
        assert (r.returncode, r.stderr) == (0, "")
        assert r.stdout == f"[({errno.EFBIG}, False)] []\n"


class TestLoads:
    @pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview,
                                      lambda b: memoryview(bytearray(b)),
                                      lambda b: memoryview(b"\x00" + b)[1:]],
                             ids=["bytes", "bytearray", "memoryview", "mv-bytearray", "mv-slice"])
    def test_bytes_like_inputs(self, wrap):
        assert tuvax.loads(wrap(tuvax.encode(DOC))) == DOC

    def test_non_contiguous_view_is_copied_in_order(self):
        data = tuvax.encode([1, "x"])
        doubled = bytes(b for c in data for b in (c, 0))
        assert tuvax.loads(memoryview(doubled)[::2]) == [1, "x"]

    def test_single_value_rule(self):
        enc = tuvax.Encoder()
        enc.encode(1)
        enc.encode("two")
        assert tuvax.loads(bytearray(enc.finish())) == [1, "two"]
        assert tuvax.loads(bytearray(tuvax.encode([1, "two"]))) == [1, "two"]

    @pytest.mark.parametrize("bad, name", [("text", "str"), (None, "NoneType"), (3, "int")])
    def test_refuses_non_buffers(self, bad, name):
        with pytest.raises(TypeError) as exc:
            tuvax.loads(bad)
        assert str(exc.value) == f"loads() argument must be a bytes-like object, not '{name}'"

    def test_decode_errors_pass_unchanged(self):
        with pytest.raises(RuntimeError) as exc:
            tuvax.loads(bytearray(b"garbage!"))
        assert str(exc.value) == (
            "decode error: Invalid magic bytes in file header: expected TUVAXv1")


# ---- Stubs against the running module ----


def _stub_tree():
    return ast.parse(STUB.read_text(), filename=str(STUB))


def _stub_params(fn: ast.FunctionDef):
    """(name, kind, default) triples of a stub function, as inspect names them."""
    a = fn.args
    out = []
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        kind = "POSITIONAL_ONLY" if i < len(a.posonlyargs) else "POSITIONAL_OR_KEYWORD"
        out.append((arg.arg, kind, _literal(default)))
    if a.vararg:
        out.append((a.vararg.arg, "VAR_POSITIONAL", inspect.Parameter.empty))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, "KEYWORD_ONLY", _literal(default)))
    if a.kwarg:
        out.append((a.kwarg.arg, "VAR_KEYWORD", inspect.Parameter.empty))
    return out


def _literal(node):
    return inspect.Parameter.empty if node is None else ast.literal_eval(node)


def _runtime_params(obj):
    return [(p.name, p.kind.name, p.default) for p in inspect.signature(obj).parameters.values()]


def _private(name):
    return name.startswith("_") and not name.startswith("__")


def _stub_functions():
    return {n.name: n for n in _stub_tree().body if isinstance(n, ast.FunctionDef)}


def _stub_classes():
    return {n.name: n for n in _stub_tree().body if isinstance(n, ast.ClassDef)}


class TestStubs:
    def test_stub_package_is_the_same_file(self):
        # The wheel ships the stubs as a PEP 561 stub-only package; it is a
        # link to the one stub file, so the two cannot differ.
        assert (MODULE_DIR / "_tuvax_native-stubs" / "__init__.pyi").resolve() == STUB.resolve()

    def test_all_and_names(self):
        tree = _stub_tree()
        stub_all = next(ast.literal_eval(n.value) for n in tree.body if isinstance(n, ast.Assign)
                        and any(isinstance(t, ast.Name) and t.id == "__all__" for t in n.targets))
        assert stub_all == _tuvax_native.__all__ == NATIVE_NAMES
        declared = set(_stub_functions()) | set(_stub_classes()) | {
            n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
        assert {n for n in declared if not _private(n)} == set(NATIVE_NAMES)
        # What the package builds on, outside __all__.
        assert {n for n in declared if _private(n)} == {n for n in dir(_tuvax_native) if _private(n)}

    @pytest.mark.parametrize("name", ["encode", "decode", "encode_to_file", "decode_from_file",
                                      "parse_text", "pretty_print", "_encode", "_encode_to_file",
                                      "_decode_from_file", "_pretty_print", "_parse_text_counted"])
    def test_function_signatures(self, name):
        assert _stub_params(_stub_functions()[name]) == _runtime_params(getattr(_tuvax_native, name))

    @pytest.mark.parametrize("cls", ["Encoder", "TuvaxDecoder"])
    def test_class_signatures(self, cls):
        runtime = getattr(_tuvax_native, cls)
        methods = {n.name: n for n in _stub_classes()[cls].body if isinstance(n, ast.FunctionDef)}
        # The constructor: the stub's __new__ without `cls`, against the class.
        assert _stub_params(methods.pop("__new__"))[1:] == _runtime_params(runtime)
        public = {n for n in dir(runtime) if not n.startswith("_") or _private(n)}
        dunders = {n for n in methods if n.startswith("__")}
        assert set(methods) - dunders == public
        assert all(getattr(runtime, n, None) is not None for n in dunders)
        for name, fn in methods.items():
            if name in dunders:
                continue
            assert _stub_params(fn) == _runtime_params(getattr(runtime, name)), name

    def test_classes_are_final_in_stubs_as_at_run_time(self):
        for name, node in _stub_classes().items():
            assert any(isinstance(d, ast.Name) and d.id == "final" for d in node.decorator_list)
            with pytest.raises(TypeError):
                type("Sub", (getattr(_tuvax_native, name),), {})


# ---- mypy ----

_BAD_USAGE = '''\
import tuvax
import _tuvax_native

tuvax.decode("not bytes")
tuvax.pretty_print({}, indent="2")
n: int = tuvax.encode(1)
tuvax.Encoder().finish_to_file(3)
tuvax.dump(1, "path")
class Sub(_tuvax_native.TuvaxDecoder): ...
'''


def _mypy(*targets, cwd):
    if os.environ.get("TUVAX_ASAN"):
        pytest.skip("mypy is not run under the sanitizer runtime")
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.skip("mypy is not installed")
    env = dict(os.environ, MYPYPATH=str(MODULE_DIR))
    env.pop("PYTHONPATH", None)  # the built extension has no stubs of its own
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(cwd / ".mypy_cache"), *map(str, targets)],
        cwd=cwd, env=env, capture_output=True, text=True, timeout=300)


class TestMypy:
    def test_strict_accepts_example_and_package(self, tmp_path):
        r = _mypy(REPO / "examples" / "typed_usage.py", MODULE_DIR / "tuvax", cwd=tmp_path)
        assert (r.returncode, r.stdout, r.stderr) == (0, "", "")

    def test_strict_rejects_wrong_usage(self, tmp_path):
        bad = tmp_path / "bad.py"
        bad.write_text(_BAD_USAGE)
        r = _mypy(bad, cwd=tmp_path)
        lines = sorted({int(line.split(":")[1]) for line in r.stdout.splitlines()
                        if ": error:" in line})
        assert lines == [4, 5, 6, 7, 8, 9], r.stdout

    def test_example_runs(self):
        r = subprocess.run([sys.executable, str(REPO / "examples" / "typed_usage.py")],
                           capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stderr
        assert r.stdout.endswith(f"tuvax {tuvax.__version__}: round trips exact\n")



def test_readme_quick_start_runs(tmp_path, monkeypatch, capsys):
    text = (REPO / "README.md").read_text(encoding="utf-8")
    section = text.split("\n## Python quick start\n", 1)[1].split("\n## ", 1)[0]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    monkeypatch.chdir(tmp_path)  # the example writes doc.tvx
    exec(compile(code, "README.md", "exec"), {"__name__": "readme_quick_start"})
    assert capsys.readouterr().out.startswith('{\n  station: "Tromsø";')
