"""The pure-Python `tuvax` package: re-exports, stream helpers, type stubs."""

import ast
import inspect
import io
import os
import pathlib
import subprocess
import sys

import pytest

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
        assert tuvax.__all__ == NATIVE_NAMES + ["dump", "load", "loads"]
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
            def read(self):
                return "{}"
        with pytest.raises(TypeError) as exc:
            tuvax.load(TextReader())
        assert str(exc.value) == "load() needs a file opened in binary mode, read() returned str"


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
