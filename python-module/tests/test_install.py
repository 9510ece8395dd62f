"""What users install: the C++ package through `cmake --install`, and the
wheel through pip (built from scratch in a private directory)."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

needs_cmake = pytest.mark.skipif(shutil.which("cmake") is None, reason="cmake is not installed")
# A sanitized build leaves instrumented objects in the library, and the
# preloaded runtime would follow every compiler the build starts.
no_asan = pytest.mark.skipif(bool(os.environ.get("TUVAX_ASAN")),
                             reason="not run under the sanitizer runtime")


def sh(*cmd, cwd=None, env=None):
    r = subprocess.run([str(c) for c in cmd], cwd=cwd, env=env, capture_output=True, text=True,
                       timeout=1200)
    assert r.returncode == 0, f"{cmd}\n{r.stdout}\n{r.stderr}"
    return r.stdout


def _core_build(tmp_path):
    """A configured and built tree: the suite's own build when there is one."""
    build = os.environ.get("TUVAX_BUILD_DIR")
    if build and (pathlib.Path(build) / "CMakeCache.txt").is_file():
        return pathlib.Path(build)
    build = tmp_path / "core"
    sh("cmake", "-S", REPO, "-B", build, "-DTUVAX_BUILD_TESTS=OFF", "-DTUVAX_BUILD_PYTHON=OFF")
    sh("cmake", "--build", build, "-j2", "--target", "tuvax_core")
    return build


@needs_cmake
@no_asan
def test_installed_cpp_package_builds_the_example(tmp_path):
    prefix = tmp_path / "prefix"
    sh("cmake", "--install", _core_build(tmp_path), "--prefix", prefix)
    for rel in ("include/tuvax/value.hpp", "include/tuvax/decoder.hpp",
                "lib/libtuvax_core.a", "lib/cmake/tuvax/tuvax-config.cmake",
                "lib/cmake/tuvax/tuvax-config-version.cmake"):
        assert (prefix / rel).is_file(), rel
    example = tmp_path / "example"
    sh("cmake", "-S", REPO / "examples" / "cpp", "-B", example, f"-DCMAKE_PREFIX_PATH={prefix}")
    sh("cmake", "--build", example)
    out = sh(example / "tuvax_example").splitlines()
    assert out[0].endswith(" bytes, round trip exact")
    assert out[1:3] == ["{", '  station: "Zürich Fluntern";']


@pytest.mark.skipif(bool(os.environ.get("TUVAX_SKIP_WHEEL")), reason="TUVAX_SKIP_WHEEL is set")
@no_asan
def test_pip_install_gives_command_package_and_stubs(tmp_path):
    venv = tmp_path / "venv"
    sh(sys.executable, "-m", "venv", "--system-site-packages", venv)
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TUVAX_BUILD_DIR")}
    # Its own build directory, so that no other build of the tree is touched.
    sh(venv / "bin" / "pip", "install", "--no-build-isolation", "--no-deps", "-q",
       f"--config-settings=build-dir={tmp_path / 'wheel-build'}", REPO, env=env)
    assert sh(venv / "bin" / "tuvax", "--version", env=env) == "tuvax 1.1.2\n"
    py = venv / "bin" / "python"
    sh(py, "-c", "import tuvax, _tuvax_native; assert tuvax.encode is _tuvax_native.encode",
       cwd=tmp_path, env=env)
    # mypy finds the stubs of the installed module through the stub package.
    usage = tmp_path / "usage.py"
    usage.write_text("import tuvax\nn: int = len(tuvax.encode([1]))\n"
                     "reveal_type(tuvax.Encoder().finish())\n")
    r = subprocess.run([py, "-m", "mypy", "--strict", "--no-error-summary", usage.name],
                       cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert r.stdout == 'usage.py:3: note: Revealed type is "bytes"\n', r.stdout
