"""What users install: the C++ package through `cmake --install`, and the
wheel through pip (built from scratch in a private directory)."""

import os
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

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
def test_configure_without_build_type_is_release(tmp_path):
    # It used to build the C++ quick start without optimisation.
    build = tmp_path / "plain"
    sh("cmake", "-S", REPO, "-B", build, "-DTUVAX_BUILD_TESTS=OFF", "-DTUVAX_BUILD_PYTHON=OFF")
    assert "CMAKE_BUILD_TYPE:STRING=Release\n" in (build / "CMakeCache.txt").read_text()


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


def _clean_env():
    """The environment without this suite's pointers to its own build."""
    return {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "TUVAX_BUILD_DIR")}


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The wheel `make wheel` builds (tools/wheel), built once for these tests."""
    if os.environ.get("TUVAX_SKIP_WHEEL"):
        pytest.skip("TUVAX_SKIP_WHEEL is set")
    if os.environ.get("TUVAX_ASAN"):
        pytest.skip("not run under the sanitizer runtime")
    if shutil.which("auditwheel") is None:
        pytest.skip("auditwheel is not installed")
    out = tmp_path_factory.mktemp("dist")
    sh(REPO / "tools" / "wheel", out, env=dict(_clean_env(), PYTHON=sys.executable))
    (found,) = out.glob("tuvax-*.whl")
    return found


def _unpacked(wheel, tmp_path):
    root = tmp_path / "unpacked"
    with zipfile.ZipFile(wheel) as z:
        z.extractall(root)
    return root


def _needed(lib):
    out = sh("readelf", "-d", lib)
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out)


@pytest.mark.skipif(shutil.which("readelf") is None, reason="readelf is not installed")
def test_wheel_extension_needs_only_glibc_and_its_own_simdutf(wheel, tmp_path):
    assert "-manylinux_2_38_" in wheel.name
    root = _unpacked(wheel, tmp_path)
    (ext,) = root.glob("_tuvax_native.*.so")
    needed = _needed(ext)
    simdutf = [n for n in needed if n.startswith("libsimdutf")]
    # The C++ runtime is linked in: no libstdc++, no libgcc_s, no symbol
    # version of theirs (a module built with GCC 16 used to need GLIBCXX_3.4.36).
    assert set(needed) - set(simdutf) <= {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"}, needed
    assert "GLIBCXX" not in sh("readelf", "-V", ext) and "CXXABI" not in sh("readelf", "-V", ext)
    # simdutf only as the copy inside the wheel, under a name of its own.
    assert len(simdutf) == 1 and re.fullmatch(r"libsimdutf-[0-9a-f]{8}\.so\..*", simdutf[0]), needed
    assert (root / "tuvax.libs" / simdutf[0]).is_file()
    assert "$ORIGIN/tuvax.libs" in sh("readelf", "-d", ext)


def test_pip_install_gives_command_package_and_stubs(wheel, tmp_path):
    venv = tmp_path / "venv"
    sh(sys.executable, "-m", "venv", "--system-site-packages", venv)
    env = _clean_env()
    sh(venv / "bin" / "pip", "install", "--no-index", "--no-deps", "-q", wheel, env=env)
    assert sh(venv / "bin" / "tuvax", "--version", env=env) == "tuvax 1.1.2\n"
    py = venv / "bin" / "python"
    sh(py, "-c", "import tuvax, _tuvax_native; assert tuvax.encode is _tuvax_native._encode",
       cwd=tmp_path, env=env)
    # mypy finds the stubs of the installed module through the stub package.
    usage = tmp_path / "usage.py"
    usage.write_text("import tuvax\nn: int = len(tuvax.encode([1]))\n"
                     "reveal_type(tuvax.Encoder().finish())\n")
    r = subprocess.run([py, "-m", "mypy", "--strict", "--no-error-summary", usage.name],
                       cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    assert r.stdout == 'usage.py:3: note: Revealed type is "bytes"\n', r.stdout


# Run in a mount namespace of its own, where the build's tools are hidden:
# every compiler and build tool is /dev/null, /usr/include (every -dev
# package's headers) is empty, and so is every simdutf of the system. The
# venv sees no site-packages of the system (no scikit-build-core, no
# pytest). `mount --make-rprivate /` keeps the masks from reaching the host;
# inside the toolchain's root, which is no mount point, the root's own
# namespace is private already.
_BARE = """
set -e
mount --make-rprivate / 2>/dev/null || true
mount -t tmpfs tmpfs /usr/include
for f in "$@"; do mount --bind /dev/null "$f"; done
cd "$WORK"
"$VENV/bin/pip" install --no-index --no-deps -q "$WHEEL"
"$VENV/bin/tuvax" --version
exec "$VENV/bin/python" "$WORK/quick_start.py"
"""

_CHECKS = """
import importlib.util, shutil, subprocess
for tool in ("c++", "g++", "cc", "cmake"):
    path = shutil.which(tool)
    if path is not None:
        try:
            subprocess.run([path, "--version"], capture_output=True)
        except PermissionError:
            continue
        raise SystemExit(f"{tool} still runs")
assert importlib.util.find_spec("scikit_build_core") is None
assert importlib.util.find_spec("pytest") is None
maps = open("/proc/self/maps").read()
assert "tuvax.libs/libsimdutf-" in maps and "/libsimdutf.so" not in maps, maps
print("bare: ok")
"""


def _quick_start():
    text = (REPO / "README.md").read_text(encoding="utf-8")
    section = text.split("\n## Python quick start\n", 1)[1].split("\n## ", 1)[0]
    return section.split("```python\n", 1)[1].split("```", 1)[0]


def _masked_files():
    files = set()
    for tool in ("cc", "c++", "gcc", "g++", "cpp", "clang", "clang++", "ld", "as", "cmake",
                 "ninja", "make"):
        path = shutil.which(tool)
        if path is not None:
            files.add(os.path.realpath(path))
    for lib in pathlib.Path("/").glob("usr/lib/*/libsimdutf.so*"):
        files.add(os.path.realpath(lib))
    return sorted(files)


@pytest.mark.skipif(shutil.which("unshare") is None, reason="unshare is not installed")
def test_wheel_runs_the_quick_start_without_the_build_tools(wheel, tmp_path):
    venv = tmp_path / "bare"
    sh(sys.executable, "-m", "venv", venv)  # with pip, and no site-packages of the system
    work = tmp_path / "work"
    work.mkdir()
    (work / "quick_start.py").write_text(_quick_start() + _CHECKS, encoding="utf-8")
    masked = _masked_files()
    assert any("libsimdutf" in f for f in masked), masked
    unshare = ["unshare", "--mount", "--propagation", "unchanged"]
    if os.geteuid() != 0:
        unshare[1:1] = ["--user", "--map-root-user"]
    env = dict(_clean_env(), VENV=str(venv), WORK=str(work), WHEEL=str(wheel))
    r = subprocess.run([*unshare, "sh", "-c", _BARE, "bare", *masked], env=env,
                       capture_output=True, text=True, timeout=600)
    if r.returncode != 0 and os.geteuid() != 0 and "unshare" in r.stderr:
        pytest.skip(f"no mount namespace for this user: {r.stderr.strip()}")
    assert r.returncode == 0, f"{r.stdout}\n{r.stderr}"
    assert r.stdout.startswith("tuvax 1.1.2\n{\n  station: \"Tromsø\";"), r.stdout
    assert r.stdout.endswith("bare: ok\n"), r.stdout
