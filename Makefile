# The README's commands. Everything installs into .venv (created once, then reused).
PYTHON ?= python3
VENV ?= .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2
# Incremental native builds: the CMake tree is kept between installs.
BUILD_DIR ?= build/release
EXTRAS ?= test,demo,bench,view
PYTEST_ARGS ?=

.PHONY: demo test bench sanitize fuzz install sysdeps clean ci reliability portable

demo: install
	$(PY) -m lumoreq demo

test: install
	$(PY) -m pytest $(PYTEST_ARGS)

bench: install
	$(PY) benchmarks/run.py $(BENCH_ARGS)

# System packages the figures, the build and the tests need: a CJK font, the zlib headers, a
# PostgreSQL server (the tests start their own one; without it those tests are skipped, except
# in CI) and Chromium with its driver (the web view's browser test; skipped without them, except
# in CI). Installed with apt when it is there and we are root; otherwise say what to install by hand.
sysdeps:
	@if fc-list 2>/dev/null | grep -qi 'Noto Serif CJK' && [ -f /usr/include/zlib.h ] \
		&& ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1 \
		&& command -v chromium >/dev/null 2>&1 && command -v chromedriver >/dev/null 2>&1; then :; \
	elif command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
		(apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
			fonts-noto-cjk zlib1g-dev fontconfig postgresql chromium chromium-driver >/dev/null) \
			|| echo "warning: apt-get could not install fonts-noto-cjk zlib1g-dev postgresql chromium chromium-driver"; \
	else echo "note: install a CJK font (e.g. fonts-noto-cjk), the zlib headers (zlib1g-dev), a PostgreSQL server (postgresql) and Chromium with its driver (chromium chromium-driver) by hand"; fi

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
	tests/test_bad_inputs.py tests/test_fetch_series.py \
	tests/test_jobs.py::test_native_bins_equal_the_resampler_bit_for_bit \
	tests/test_view.py::test_m4_equals_the_plain_reduction tests/test_view.py::test_summaries_give_the_raw_result_on_their_grid \
	tests/test_view.py::test_reducer_refuses_samples_out_of_order
# In CI the tests on a real PostgreSQL server and in a real browser may not be skipped (see
# tests/pg_server.py and tests/test_view_browser.py).
ci: export LUMOREQ_REQUIRE_PG := 1
ci: export LUMOREQ_REQUIRE_BROWSER := 1
ci: test
	$(MAKE) portable
	$(MAKE) sanitize SANITIZE_TESTS="$(SANITIZE_CI_TESTS)"

sanitize: sysdeps $(SAN_VENV)/.deps-stamp
	$(SAN_PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/sanitize -Ccmake.build-type=RelWithDebInfo \
		-Ccmake.define.LUMOREQ_SANITIZE=ON ".[$(EXTRAS)]"
	LD_PRELOAD="$$($(CXX_FOR_SAN) -print-file-name=libasan.so) $$($(CXX_FOR_SAN) -print-file-name=libubsan.so)" \
		ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		$(SAN_PY) -m pytest $(PYTEST_ARGS) $(SANITIZE_TESTS)

clean:
	rm -rf build $(VENV) figures

# Kill trials of every crash-safe writer (RELIABILITY_TRIALS each, half with slowed writes),
# single-byte flips of a RUZI and a metadata-cache file, and processes side by side; prints the
# table of outcomes. Outside CI (several minutes). RELIABILITY_BEFORE=<git revision> runs the
# same trials on that revision's Python writers too (export.py, metadata_cache.py, sample.py).
RELIABILITY_TRIALS ?= 32
RELIABILITY_FLIPS ?= 200
RELIABILITY_TOGETHER ?= 16
RELIABILITY_BEFORE ?=
reliability: install
	@rm -rf build/reliability-before
	@if [ -n "$(RELIABILITY_BEFORE)" ]; then mkdir -p build/reliability-before && for f in export metadata_cache sample; do \
		git show "$(RELIABILITY_BEFORE):python/lumoreq/$$f.py" > build/reliability-before/$$f.py || exit 1; done; fi
	MPLBACKEND=Agg $(PY) tests/reliability_kit.py --trials $(RELIABILITY_TRIALS) --flips $(RELIABILITY_FLIPS) \
		--together $(RELIABILITY_TOGETHER) $(if $(RELIABILITY_BEFORE),--before build/reliability-before)

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

# Portability, cheaply: no compiler extension or platform-only call outside src/core/portable.hpp
# (tools/lint_portable.py); every src/core file compiled with -Werror for Windows x86-64
# (mingw-w64 with its zlib), for macOS arm64 and x86-64 and Linux arm64 (the ziglang package's
# clang and libc++), with clang for Linux and with the standard C++ branches of portable.hpp;
# every source of the tree checked by clang -Wall -Wextra -Werror; the standard branches
# checked against exact reference arithmetic, and the vector kernels' results compared bit for
# bit between the SSE2 build and the standard one. The cross compilers come from apt (when
# root and missing) and pip (ziglang, into $(VENV)).
PORTABLE_APT_PACKAGES ?= g++-mingw-w64-x86-64-posix libz-mingw-w64-dev clang
MINGW_CXX ?= x86_64-w64-mingw32-g++-posix
CLANG_CXX ?= clang++
PORTABLE_DIR ?= build/portable
PORTABLE_WARN := -std=c++20 -Wall -Wextra -Werror -Isrc
ZIG_TARGETS ?= aarch64-macos x86_64-macos aarch64-linux-gnu
portable: sysdeps $(VENV)/.deps-stamp
	$(PY) tools/lint_portable.py
	@if command -v $(MINGW_CXX) >/dev/null 2>&1 && command -v $(CLANG_CXX) >/dev/null 2>&1 \
		&& [ -f /usr/x86_64-w64-mingw32/include/zlib.h ]; then :; \
	elif command -v apt-get >/dev/null 2>&1 && [ "$$(id -u)" = 0 ]; then \
		apt-get -o DPkg::Lock::Timeout=300 update -qq && DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 \
			install -y -qq --no-install-recommends $(PORTABLE_APT_PACKAGES) >/dev/null; \
	else echo "portable: install $(PORTABLE_APT_PACKAGES) by hand"; exit 1; fi
	@$(PY) -c "import ziglang" 2>/dev/null || $(PIP) install -q ziglang
	@mkdir -p $(PORTABLE_DIR)
	@echo "== src/core: Windows x86-64 (mingw-w64), Linux (clang), standard C++ branches (g++ -Wpedantic)"
	@ls src/core/*.cpp | xargs -P 2 -I{} sh -c '$(MINGW_CXX) $(PORTABLE_WARN) -O2 -c {} -o /dev/null && \
		$(CLANG_CXX) $(PORTABLE_WARN) -O2 -c {} -o /dev/null && \
		$(CXX) $(PORTABLE_WARN) -Wpedantic -DLUMOREQ_PORTABLE_GENERIC -fsyntax-only {}' || exit 1
	@# zig carries the macOS SDK's zlib; for Linux targets the build machine's zlib.h stands in.
	@# (zig writes its objects into the working directory: one directory per target)
	@mkdir -p $(PORTABLE_DIR)/zlib && cp /usr/include/zlib.h /usr/include/zconf.h $(PORTABLE_DIR)/zlib/
	@for target in $(ZIG_TARGETS); do echo "== src/core: $$target (zig c++)"; \
		case $$target in *linux*) extra="-isystem $(abspath $(PORTABLE_DIR))/zlib";; *) extra="";; esac; \
		mkdir -p $(PORTABLE_DIR)/$$target && (cd $(PORTABLE_DIR)/$$target && ls $(CURDIR)/src/core/*.cpp | \
			xargs -P 2 -I{} $(abspath $(PY)) -m ziglang c++ -target $$target $(PORTABLE_WARN) -I$(CURDIR)/src $$extra \
			-O2 -c {}) || exit 1; done
	@echo "== all sources: clang -Wall -Wextra -Werror (the binding header precompiled once)"
	@includes="$$($(PY) -m pybind11 --includes | sed 's/-I/-isystem /g')"; \
	$(CLANG_CXX) $(PORTABLE_WARN) $$includes -x c++-header src/bind/bind.hpp -o $(PORTABLE_DIR)/bind.hpp.pch && \
	ls src/*/*.cpp | grep -v '^src/core/' | xargs -P 2 -I{} sh -c \
		"$(CLANG_CXX) $(PORTABLE_WARN) $$includes -include-pch $(PORTABLE_DIR)/bind.hpp.pch -fsyntax-only {}" || exit 1
	@echo "== portability checks and vector-kernel digests"
	$(CXX) -std=c++20 -O2 -ffp-contract=off -Isrc tests/native/portable_check.cpp src/core/portable.cpp src/core/rolling_mad.cpp \
		src/core/series_stats.cpp src/core/display_reduce.cpp -o $(PORTABLE_DIR)/check -lpthread
	$(CXX) -std=c++20 -O2 -ffp-contract=off -Isrc -DLUMOREQ_PORTABLE_GENERIC tests/native/portable_check.cpp src/core/portable.cpp \
		src/core/rolling_mad.cpp src/core/series_stats.cpp src/core/display_reduce.cpp -o $(PORTABLE_DIR)/check-generic -lpthread
	$(PORTABLE_DIR)/check
	$(PORTABLE_DIR)/check-generic
	@a=$$($(PORTABLE_DIR)/check --digest) && b=$$($(PORTABLE_DIR)/check-generic --digest) && [ -n "$$a" ] || exit 1; \
	if [ "$$a" = "$$b" ]; then echo "vector kernels: same results with and without the vector units ($$a)"; \
	else echo "vector kernels differ: $$a (vector units) vs $$b (standard C++)"; exit 1; fi
