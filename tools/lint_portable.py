#!/usr/bin/env python3
"""Finds compiler extensions and platform-only calls in the native sources.

Everything that depends on the compiler, the processor or the operating system lives in
src/core/portable.hpp (and its src/core/portable.cpp); anywhere else the code is standard
C++20. This script reads every C++ source under the given folders (default: src and fuzz),
ignores comments and string literals, and reports each use of a GNU/MSVC extension, a
platform-detection macro, an intrinsics header, a POSIX- or Windows-only header or call.

    python tools/lint_portable.py [PATH ...]

Exit status 0 when nothing is found, 1 otherwise (one line per finding).
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
ALLOWED = {"src/core/portable.hpp", "src/core/portable.cpp"}
SUFFIXES = {".cpp", ".cc", ".cxx", ".hpp", ".hh", ".h"}

_HEADERS = (
    # intrinsics
    r"[a-z]*mmintrin\.h|intrin\.h|arm_neon\.h|arm_acle\.h|cpuid\.h|x86intrin\.h"
    # POSIX
    r"|unistd\.h|sys/[\w/]+\.h|pthread\.h|dlfcn\.h|fcntl\.h|dirent\.h|strings\.h|alloca\.h"
    r"|xlocale\.h|locale\.h|libgen\.h|poll\.h|signal\.h|syslog\.h|termios\.h|pwd\.h|netdb\.h"
    r"|sched\.h|semaphore\.h|spawn\.h|glob\.h|fnmatch\.h|netinet/\w+\.h|arpa/\w+\.h"
    # Windows
    r"|windows\.h|winbase\.h|io\.h|direct\.h|process\.h|malloc\.h|share\.h|tchar\.h"
)
RULES: list[tuple[str, re.Pattern[str]]] = [
    ("compiler builtin", re.compile(r"\b__builtin_\w+")),
    ("attribute extension", re.compile(r"\b__attribute__\b|\b__declspec\b|\b__forceinline\b")),
    ("inline assembly", re.compile(r"\b__asm__\b|\b__asm\b|\basm\s*(?:volatile\s*)?\(")),
    ("non-standard type", re.compile(r"\b__int128\b|\b__int64\b|\b__float128\b|\b_Float\d+\b")),
    ("extension keyword", re.compile(r"\b__extension__\b|\b__typeof__\b|\btypeof\s*\(|\b__restrict(?:__)?\b")),
    ("compiler pragma", re.compile(r"#\s*pragma\s+(?:GCC|clang|warning|intrinsic|optimize|fenv_access)\b|\b_Pragma\b|\b__pragma\b")),
    ("platform test", re.compile(
        r"\b(?:__GNUC__|__clang__|_MSC_VER|_WIN32|_WIN64|__APPLE__|__linux__|__unix__|__MINGW\d*__"
        r"|__x86_64__|__i386__|_M_X64|_M_AMD64|_M_IX86|_M_ARM64|__aarch64__|__arm__|__ARM_\w+"
        r"|__SSE\d*\w*__|__AVX\w*__|__FMA__|__SIZEOF_INT128__)\b")),
    ("platform header", re.compile(r"#\s*include\s*<(?:" + _HEADERS + r")>")),
    ("platform-only call", re.compile(
        r"(?<![\w:.>])(?:strtod_l|strtof_l|strtold_l|newlocale|uselocale|freelocale|duplocale|locale_t"
        r"|_create_locale|_free_locale|_strtod_l|_locale_t|strcasecmp|strncasecmp|_stricmp|strdup|strndup"
        r"|getpid|_getpid|fsync|fdatasync|mkstemp|realpath|popen|pclose|setenv|unsetenv|localtime_r"
        r"|gmtime_r|localtime_s|gmtime_s|timegm|_mkgmtime|alloca|_alloca|posix_memalign|_aligned_malloc"
        r"|mmap|munmap|sysconf|ssize_t|usleep|sleep|fileno|isatty)\b")),
    ("intrinsic", re.compile(r"\b_mm(?:256|512)?_\w+|\bv\w+q_[fsu](?:8|16|32|64)\b")),
]


def strip_comments_and_strings(text: str) -> str:
    """The text with comments and the insides of string and character literals blanked
    (newlines kept, so line numbers stay right)."""
    out: list[str] = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            i = j
            continue
        if text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append("".join(ch if ch == "\n" else " " for ch in text[i:j]))
            i = j
            continue
        raw = re.match(r'(?:u8|[uUL])?R"([^()\\\s]{0,16})\(', text[i:i + 24])
        if raw and (i == 0 or not (text[i - 1].isalnum() or text[i - 1] == "_")):
            end = ")" + raw.group(1) + '"'
            j = text.find(end, i + raw.end())
            j = n if j < 0 else j + len(end)
            out.append('""' + "\n" * text.count("\n", i, j))
            i = j
            continue
        if c in "\"'":
            # a digit separator (1'000) is not a character literal
            if c == "'" and i > 0 and text[i - 1].isalnum() and i + 1 < n and text[i + 1].isalnum():
                out.append(c)
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + c)
            i = min(j + 1, n)
            continue
        out.append(c)
        i += 1
    return "".join(out)


def findings(path: Path, text: str) -> list[str]:
    found = []
    code = strip_comments_and_strings(text)
    for lineno, line in enumerate(code.splitlines(), 1):
        for label, pattern in RULES:
            for m in pattern.finditer(line):
                found.append(f"{path}:{lineno}: {label}: {m.group(0).strip()}")
    return found


def sources(paths: list[Path]):
    for p in paths:
        if p.is_dir():
            yield from sorted(q for q in p.rglob("*") if q.suffix in SUFFIXES and q.is_file())
        elif p.is_file():
            yield p


def main(argv: list[str] | None = None) -> int:
    args = sys.argv[1:] if argv is None else argv
    paths = [Path(a) for a in args] or [ROOT / "src", ROOT / "fuzz"]
    problems = []
    for path in sources(paths):
        try:
            rel = path.resolve().relative_to(ROOT).as_posix()
        except ValueError:
            rel = path.as_posix()
        if rel in ALLOWED:
            continue
        problems += findings(Path(rel), path.read_text(encoding="utf-8", errors="replace"))
    for line in problems:
        print(line)
    if problems:
        print(f"{len(problems)} platform-specific construct(s) outside src/core/portable.hpp", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
