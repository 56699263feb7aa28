# The README's commands. Everything installs into .venv (created once, then reused).
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2
# Incremental native builds: the CMake tree is kept between installs.
BUILD_DIR ?= build/release
EXTRAS ?= test,demo,bench
PYTEST_ARGS ?=

.PHONY: demo test bench sanitize fuzz install sysdeps clean ci

demo: install
	$(PY) -m lumoreq demo

test: install
	$(PY) -m pytest $(PYTEST_ARGS)

bench: install
	$(PY) benchmarks/run.py $(BENCH_ARGS)

# System packages the figures, the build and the tests need: a CJK font, the zlib headers and a
# PostgreSQL server (the tests start their own one; without it those tests are skipped, except
# in CI). Installed with apt when it is there and we are root; otherwise say what to install by hand.
sysdeps:
	@if fc-list 2>/dev/null | grep -qi 'Noto Serif CJK' && [ -f /usr/include/zlib.h ] \
		&& ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then :; \
	elif command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
		(apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
			fonts-noto-cjk zlib1g-dev fontconfig postgresql >/dev/null) \
			|| echo "warning: apt-get could not install fonts-noto-cjk zlib1g-dev postgresql"; \
	else echo "note: install a CJK font (e.g. fonts-noto-cjk), the zlib headers (zlib1g-dev) and a PostgreSQL server (postgresql) by hand"; fi

$(VENV)/.deps-stamp: pyproject.toml
	@test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q "scikit-build-core>=0.10" "pybind11>=3.0" ninja
	touch $@

install: sysdeps $(VENV)/.deps-stamp
	$(PIP) install -q --no-build-isolation -Cbuild-dir=$(BUILD_DIR) ".[$(EXTRAS)]"

# AddressSanitizer + UndefinedBehaviorSanitizer build, run under the uninstrumented interpreter
# with the sanitizer runtimes preloaded. It has its own venv and build tree, so the release
# install in $(VENV) is never replaced. Leak detection is off: the interpreter's own
# allocations (interned objects, arenas) live until exit and would drown real reports.
SAN_VENV ?= build/sanitize-venv
SAN_PY := $(SAN_VENV)/bin/python
CXX_FOR_SAN ?= g++
SANITIZE_TESTS ?= tests
$(SAN_VENV)/.deps-stamp: pyproject.toml
	@test -x $(SAN_PY) || $(PYTHON) -m venv $(SAN_VENV)
	$(SAN_PY) -m pip install -q --upgrade pip
	$(SAN_PY) -m pip install -q "scikit-build-core>=0.10" "pybind11>=3.0" ninja
	touch $@
# CI: the suite on the release build, then the native-kernel tests under the sanitizers.
SANITIZE_CI_TESTS ?= tests/test_cleaning.py tests/test_gunzip.py tests/test_refinery.py \
	tests/test_qcat_reader.py tests/test_qcat_filter.py tests/test_qcat_geodesic.py \
	tests/test_chart_reduction.py tests/test_chart_stats.py tests/test_chart_grouping.py tests/test_threads.py \
	tests/test_leaks.py \
	tests/test_bad_inputs.py
# In CI the tests on a real PostgreSQL server may not be skipped (see tests/pg_server.py).
ci: export LUMOREQ_REQUIRE_PG := 1
ci: test
	$(MAKE) sanitize SANITIZE_TESTS="$(SANITIZE_CI_TESTS)"

sanitize: sysdeps $(SAN_VENV)/.deps-stamp
	$(SAN_PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/sanitize -Ccmake.build-type=RelWithDebInfo \
		-Ccmake.define.LUMOREQ_SANITIZE=ON ".[$(EXTRAS)]"
	LD_PRELOAD="$$($(CXX_FOR_SAN) -print-file-name=libasan.so) $$($(CXX_FOR_SAN) -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(SAN_PY) -m pytest $(PYTEST_ARGS) $(SANITIZE_TESTS)

clean:
	rm -rf build $(VENV) figures

# libFuzzer targets (fuzz/fuzz_*.cpp, AddressSanitizer + UndefinedBehaviorSanitizer): each runs
# FUZZ_SECONDS on its corpus in fuzz/corpus/<target>/; crash inputs land in fuzz/crashes/.
# clang and its fuzzer runtime are installed with apt when missing and we are root.
FUZZ_SECONDS ?= 60
FUZZ_BUILD_DIR ?= build/fuzz
FUZZ_APT_PACKAGES ?= clang libclang-rt-14-dev
fuzz:
	@if command -v clang++ >/dev/null 2>&1; then :; \
	elif command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
		apt-get -o DPkg::Lock::Timeout=300 update -qq && DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 \
			install -y -qq --no-install-recommends $(FUZZ_APT_PACKAGES) >/dev/null; \
	else echo "fuzz: install clang with its libFuzzer runtime (e.g. $(FUZZ_APT_PACKAGES)) by hand"; exit 1; fi
	CC=clang CXX=clang++ cmake -S fuzz -B $(FUZZ_BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(FUZZ_BUILD_DIR) --parallel 2
	@mkdir -p fuzz/crashes; status=0; \
	for target in $(FUZZ_BUILD_DIR)/fuzz_*; do \
		[ -f "$$target" ] && [ -x "$$target" ] || continue; \
		name=$$(basename $$target); mkdir -p fuzz/corpus/$$name; \
		echo "== $$name: $(FUZZ_SECONDS) s"; \
		$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -artifact_prefix=fuzz/crashes/ \
			fuzz/corpus/$$name || status=1; \
	done; exit $$status
