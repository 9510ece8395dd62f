import importlib
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import weakref

import pytest

import _tuvax_native

EXPECTED_ALL = [
    "__version__", "encode", "decode", "encode_to_file", "decode_from_file",
    "parse_text", "pretty_print", "Encoder", "TuvaxDecoder",
]


class TestModuleSurface:
    def test_version_and_all(self):
        assert _tuvax_native.__version__ == "1.1.2"
        assert _tuvax_native.__all__ == EXPECTED_ALL
        for name in EXPECTED_ALL:
            assert hasattr(_tuvax_native, name)

    def test_docstring(self):
        first, second = _tuvax_native.__doc__.split("\n\n")
        assert first.startswith("tuvax native extension (") and first.endswith(").")
        assert second == "Provides high-performance encode/decode for the Tuvax binary format."

    def test_functions_are_bound_to_the_module(self):
        for name in EXPECTED_ALL[1:7]:
            func = getattr(_tuvax_native, name)
            assert func.__module__ == "_tuvax_native"
            assert func.__self__ is _tuvax_native
            assert func.__name__ == name

    @pytest.mark.parametrize("obj, signature", [
        (_tuvax_native.encode, "(obj)"),
        (_tuvax_native.decode, "(data)"),
        (_tuvax_native.encode_to_file, "(obj, path)"),
        (_tuvax_native.decode_from_file, "(path)"),
        (_tuvax_native.parse_text, "(text)"),
        (_tuvax_native.pretty_print, "(obj, indent=2)"),
        (_tuvax_native.Encoder, "()"),
        (_tuvax_native.TuvaxDecoder, "(data)"),
        (_tuvax_native.Encoder().set_compression, "(comp)"),
        (_tuvax_native.Encoder().finish_to_file, "(path)"),
        (_tuvax_native.Encoder().enable_dedup, "()"),
        (_tuvax_native.TuvaxDecoder(b"").decode_all, "()"),
    ])
    def test_signatures_come_from_docstrings(self, obj, signature):
        assert str(inspect.signature(obj)) == signature
        assert not obj.__doc__.startswith(obj.__name__ + "(")

    def test_docstrings_without_signature_block(self):
        assert _tuvax_native.encode.__doc__ == (
            "Encode a Python object (dict, list, str, int, float, bytes, bool, None)\n"
            "into Tuvax binary format, returned as `bytes`.")
        assert _tuvax_native.TuvaxDecoder.__doc__ == (
            "Incremental Tuvax decoder.\n\nExample::\n\n"
            "    dec = Decoder(data)\n    values = dec.decode_all()")

    def test_internal_failure_class_is_not_exported(self):
        assert not any("Internal" in name for name in dir(_tuvax_native))


class TestClasses:
    @pytest.mark.parametrize("cls", [_tuvax_native.Encoder, _tuvax_native.TuvaxDecoder])
    def test_names(self, cls):
        assert cls.__qualname__ == cls.__name__
        # A type name without the module part makes the interpreter warn at
        # import and leaves __module__ unreadable.
        assert cls.__module__ == "_tuvax_native"

    @pytest.mark.parametrize("cls", [_tuvax_native.Encoder, _tuvax_native.TuvaxDecoder])
    def test_not_subclassable(self, cls):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})

    @pytest.mark.parametrize("make", [_tuvax_native.Encoder, lambda: _tuvax_native.TuvaxDecoder(b"")])
    def test_no_instance_dict_or_weakrefs(self, make):
        obj = make()
        with pytest.raises(AttributeError):
            obj.x = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)

    def test_class_attributes_can_be_set(self):
        _tuvax_native.Encoder.extra = 1
        try:
            assert _tuvax_native.Encoder().extra == 1
        finally:
            del _tuvax_native.Encoder.extra


class TestImport:
    def test_reimport_gives_new_module_with_same_classes(self):
        old = sys.modules.pop("_tuvax_native")
        try:
            new = importlib.import_module("_tuvax_native")
            assert new is not old
            assert new.Encoder is old.Encoder
            assert new.TuvaxDecoder is old.TuvaxDecoder
            assert new.__all__ == EXPECTED_ALL
            assert new.decode(new.encode([1, "a"])) == [1, "a"]
        finally:
            sys.modules["_tuvax_native"] = old

    def test_import_emits_no_warning(self):
        subprocess.run([sys.executable, "-W", "error", "-c", "import _tuvax_native"], check=True)


def extension_path():
    build = os.environ.get("TUVAX_BUILD_DIR")
    if build:
        found = sorted(pathlib.Path(build, "python-module").glob("_tuvax_native*.so"))
        if found:
            return found[0]
    return pathlib.Path(_tuvax_native.__file__)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm")
def test_only_the_init_function_is_exported():
    out = subprocess.run(["nm", "-D", "--defined-only", str(extension_path())],
                         check=True, capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == ["PyInit__tuvax_native"]
