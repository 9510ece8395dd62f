# Every target runs inside the toolchain (tools/toolchain): the host when it has
# Python 3.14+, otherwise a Debian testing root built once per machine.

TARGETS := build check check-core check-python check-leaks check-asan clean bench \
           bench-python bench-text bench-memory demo fuzz coverage check-valgrind wheel

FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

ifndef TUVAX_IN_TOOLCHAIN

$(TARGETS):
	@tools/toolchain run $(MAKE) --no-print-directory $@ FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS)

.PHONY: $(TARGETS)

else

PYTHON ?= python3
PYTHON_DBG ?= python3.14-dbg
CMAKE_GEN := -G Ninja
BUILD := build
BUILD_ASAN := build-asan
BUILD_DBG := build-dbg
BUILD_RELEASE := build-release
PYPATH = $(CURDIR)/$(1)/python-module:$(CURDIR)/python-module

.PHONY: $(TARGETS) release-python

build:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD) -j $(JOBS)

check-core: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)

check-python: build
	TUVAX_BUILD_DIR=$(CURDIR)/$(BUILD) PYTHONPATH=$(call PYPATH,$(BUILD)) \
	  $(PYTHON) -m pytest -q python-module/tests

# The extension again, for the debug interpreter: its total reference count
# shows any reference leaked by a success or an error path.
check-leaks:
	cmake -S . -B $(BUILD_DBG) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DTUVAX_BUILD_TESTS=OFF \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON_DBG))
	cmake --build $(BUILD_DBG) -j $(JOBS)
	PYTHONPATH=$(call PYPATH,$(BUILD_DBG)) $(PYTHON_DBG) python-module/tests/leakcheck.py

check: check-core check-python check-leaks

# C++ tests with leak detection; Python tests with the sanitizer runtime
# preloaded (the interpreter itself is not instrumented, so leaks are off).
check-asan:
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug \
	  -DTUVAX_SANITIZER=address,undefined -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure --no-tests=error -j $(JOBS)
	LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  TUVAX_BUILD_DIR=$(CURDIR)/$(BUILD_ASAN) TUVAX_ASAN=1 PYTHONPATH=$(call PYPATH,$(BUILD_ASAN)) \
	  $(PYTHON) -m pytest -q -p no:cacheprovider python-module/tests

bench:
	cmake -S . -B build-bench $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTUVAX_BUILD_BENCH=ON \
	  -DTUVAX_BUILD_TESTS=OFF -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build build-bench -j $(JOBS)
	build-bench/tuvax-core/tuvax_bench

# The extension as `pip install .` builds it (scikit-build-core's default is
# Release), for the Python benchmarks.
release-python:
	cmake -S . -B $(BUILD_RELEASE) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DTUVAX_BUILD_TESTS=OFF \
	  -DPython_EXECUTABLE=$$(command -v $(PYTHON))
	cmake --build $(BUILD_RELEASE) -j $(JOBS) --target _tuvax_native

bench-python: release-python
	PYTHONPATH=$(call PYPATH,$(BUILD_RELEASE)) $(PYTHON) python-module/bench/bench_binary.py

bench-text: release-python
	PYTHONPATH=$(call PYPATH,$(BUILD_RELEASE)) $(PYTHON) python-module/bench/bench_text.py

bench-memory: build
	PYTHONPATH=$(call PYPATH,$(BUILD)) $(PYTHON) python-module/bench/decode_memory.py

demo:
	tools/demo

# The wheel to install anywhere with glibc 2.38 or newer, in dist/.
wheel:
	PYTHON=$(PYTHON) tools/wheel dist

fuzz:
	tools/fuzz $(FUZZ_SECONDS)

coverage:
	tools/coverage

check-valgrind: build
	valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
	  -q $(BUILD)/tuvax-core/tuvax_core_tests --gtest_brief=1

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_DBG) $(BUILD_RELEASE) build-bench build-fuzz build-coverage dist

endif
