"""What the command line and the demo share: their failures, the one-line form of an error, the
watch on the library's log records, the embedded sample network's file, and the figure files a
step wrote."""

from __future__ import annotations

import logging
from pathlib import Path

# ---------------------------------------------------------------------------------------------
# Failures and messages
# ---------------------------------------------------------------------------------------------


class CommandError(Exception):
    """A failure the user can act on: reported as one line, exit status 1."""


class UsageError(Exception):
    """A wrong combination of options found after parsing: one line, exit status 2."""


class _LogWatch(logging.Handler):
    """Keeps the library's warnings and errors of one command, to name them in its last line."""

    def __init__(self) -> None:
        super().__init__(level=logging.WARNING)
        self.warnings = 0
        self.last_error: str | None = None
        self.last_warning: str | None = None
        self.log_file = ""
        # Warnings the command expects (parts of their text): kept in the log, not counted.
        self.expected: tuple[str, ...] = ()
        # Terminal handlers quietened for the command, with their levels before.
        self.silenced: list[tuple[logging.Handler, int]] = []

    def emit(self, record: logging.LogRecord) -> None:
        if record.levelno < logging.ERROR and any(part in record.getMessage() for part in self.expected):
            return
        if record.levelno >= logging.ERROR:
            self.last_error = record.getMessage()
        else:
            self.warnings += 1
            self.last_warning = record.getMessage()


def _one_line(error: BaseException) -> str:
    text = str(error).strip().splitlines()
    first = text[0] if text else ""
    name = type(error).__name__
    message = f"{name}: {first}" if first else name
    return message if len(message) <= 400 else message[:397] + "..."


# ---------------------------------------------------------------------------------------------
# The embedded sample network
# ---------------------------------------------------------------------------------------------


def _sample_module():
    try:
        from . import sample
    except ImportError as error:
        raise CommandError(f"the sample network is not available ({_one_line(error)})") from None
    return sample


def _sample_default_path(sample) -> Path:
    """The sample network's own default file (not built here: the caller times the build)."""
    return Path(sample.default_path(build_if_missing=False))


def _ensure_sample(path: Path | None, rebuild: bool = False, say=print) -> Path:
    sample = _sample_module()
    path = Path(path) if path else _sample_default_path(sample)
    reason = "rebuild asked for" if rebuild else _sample_incomplete(sample, path)
    if reason is not None:
        path.parent.mkdir(parents=True, exist_ok=True)
        say(f"building the sample network at {path} ({reason}) ...")
        sample.build(path)
    return path


def _sample_incomplete(sample, path: Path) -> str | None:
    """Why the sample network at ``path`` cannot be used as it is (None: it is complete).

    A half-built, damaged or mismatched file is rebuilt rather than read."""
    try:
        sample.check(path)
    except FileNotFoundError:
        return "missing"
    except ValueError as error:
        return _one_line(error)
    return None


# ---------------------------------------------------------------------------------------------
# Figure files
# ---------------------------------------------------------------------------------------------


def _figure_files(folder: Path) -> dict[Path, int]:
    if not folder.is_dir():
        return {}
    return {p: p.stat().st_mtime_ns for p in folder.iterdir() if p.is_file()}


def _written(before: dict[Path, int], after: dict[Path, int]) -> list[Path]:
    return sorted(p for p, stamp in after.items() if before.get(p) != stamp)
