"""The portability rules of the native sources, and the build's messages for what is missing."""

from __future__ import annotations

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
LINT = ROOT / "tools" / "lint_portable.py"


def _lint_module():
    spec = importlib.util.spec_from_file_location("lint_portable", LINT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


lint = _lint_module()


def test_the_native_sources_keep_platform_code_in_the_portability_header():
    result = subprocess.run([sys.executable, str(LINT)], capture_output=True, text=True, cwd=ROOT)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == ""


@pytest.mark.parametrize(
    "line, label",
    [
        ("if (__builtin_add_overflow(a, b, &c)) return;", "compiler builtin"),
        ("typedef double V __attribute__((vector_size(16)));", "attribute extension"),
        ('__asm__("" : "+m"(x));', "inline assembly"),
        ('asm volatile("" ::: "memory");', "inline assembly"),
        ("using Wide = unsigned __int128;", "non-standard type"),
        ("#if defined(__SSE2__)", "platform test"),
        ("#ifdef _WIN32", "platform test"),
        ("#include <emmintrin.h>", "platform header"),
        ("#include <unistd.h>", "platform header"),
        ("#include <sys/stat.h>", "platform header"),
        ("#  include <windows.h>", "platform header"),
        ("static const locale_t c = newlocale(LC_ALL_MASK, \"C\", nullptr);", "platform-only call"),
        ("return strtod_l(text, nullptr, c);", "platform-only call"),
        ("if (fsync(fd) != 0) return false;", "platform-only call"),
        ("const __m128d x = _mm_loadu_pd(p);", "intrinsic"),
        ("#pragma GCC diagnostic ignored \"-Wsign-compare\"", "compiler pragma"),
    ],
)
def test_each_kind_of_platform_construct_is_found(tmp_path, line, label):
    source = tmp_path / "kernel.cpp"
    source.write_text("#include <vector>\n\nint f() {\n    " + line + "\n    return 0;\n}\n")
    found = lint.findings(Path("kernel.cpp"), source.read_text())
    assert found, line
    assert all(f.startswith("kernel.cpp:4: ") for f in found), found
    assert any(f"{label}:" in f for f in found), found


def test_comments_strings_and_qualified_names_are_not_findings():
    text = (
        "// __builtin_add_overflow was used here once; <unistd.h> too\n"
        "/* __attribute__((packed))\n   _mm_loadu_pd */\n"
        'const char* a = "__int128 and strtod_l";\n'
        "const char* b = R\"x(fsync(\"fd\") _WIN32)x\";\n"
        "char c = '\\'';\n"
        "py::ssize_t n = 1'000'000;\n"
        "Py_ssize_t m = std::strtod(s, nullptr);\n"
        "int portable_sleep_count = 0;\n"
    )
    assert lint.findings(Path("clean.cpp"), text) == []


def test_line_numbers_survive_block_comments_and_raw_strings():
    text = '/* one\ntwo\nthree */\nconst char* s = R"(a\nb)";\n__builtin_trap();\n'
    assert lint.findings(Path("x.cpp"), text) == ["x.cpp:6: compiler builtin: __builtin_trap"]


def test_the_portability_header_itself_is_allowed_and_other_files_are_not(tmp_path):
    result = subprocess.run(
        [sys.executable, str(LINT), str(ROOT / "src" / "core" / "portable.hpp")], capture_output=True, text=True
    )
    assert result.returncode == 0, result.stdout
    stray = tmp_path / "stray.hpp"
    stray.write_text("#pragma once\ninline bool f(long a, long b, long* c) { return __builtin_mul_overflow(a, b, c); }\n")
    result = subprocess.run([sys.executable, str(LINT), str(tmp_path)], capture_output=True, text=True)
    assert result.returncode == 1
    assert "stray.hpp:2: compiler builtin: __builtin_mul_overflow" in result.stdout


# ---- what the build says when something is missing ----

def _configure(tmp_path, *defines):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    try:
        import pybind11
    except ImportError:
        pytest.skip("pybind11 is not installed")
    env = {k: v for k, v in os.environ.items() if k not in ("CXXFLAGS", "CMAKE_CXX_COMPILER_LAUNCHER")}
    return subprocess.run(
        [cmake, "-S", str(ROOT), "-B", str(tmp_path / "build"), f"-Dpybind11_DIR={pybind11.get_cmake_dir()}",
         f"-DPython_EXECUTABLE={sys.executable}", *defines],
        capture_output=True, text=True, env=env, timeout=300,
    )


def test_a_missing_zlib_stops_the_build_with_what_to_install(tmp_path):
    result = _configure(tmp_path, "-DCMAKE_DISABLE_FIND_PACKAGE_ZLIB=ON")
    assert result.returncode != 0
    out = result.stdout + result.stderr
    assert out.count("zlib (headers and library) was not found") == 1
    for hint in ("apt install zlib1g-dev", "dnf install zlib-devel", "xcode-select --install",
                 "vcpkg install zlib", "conda install zlib", "-DZLIB_ROOT="):
        assert hint in out, hint


def test_a_compiler_without_cxx20_stops_the_build_with_one_message(tmp_path):
    # Without the C++ standard library headers nothing of C++20 is there.
    result = _configure(tmp_path, "-DCMAKE_CXX_FLAGS=-nostdinc++")
    assert result.returncode != 0
    out = result.stdout + result.stderr
    assert out.count("lumoreq needs a C++20 compiler and standard library") == 1
    assert "GCC 11" in out and "Visual Studio 2022" in out and "Xcode 15" in out
