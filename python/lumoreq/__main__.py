"""``python -m lumoreq``: the command line lives in :mod:`lumoreq.cli`, the demo in :mod:`lumoreq.demo`."""

import os
import sys

from . import cli
from .cli import build_parser

__all__ = ["build_parser", "main"]


def main(argv: list[str] | None = None) -> int:
    """The ``lumoreq`` command (see :func:`lumoreq.cli.main`).

    Every command logs to a file under the user's home; when that file cannot be made or opened,
    the command says so in one line (exit status 1) instead of failing with a traceback. The
    library keeps failing its import there, as it should.
    """
    try:
        from . import logsetup  # noqa: F401 - the log folder and file, made once per process
    except (OSError, RuntimeError) as error:  # RuntimeError: no home directory can be found
        parser = build_parser()
        args = parser.parse_args(argv)  # --help, --version and wrong options answer as always
        print(f"{cli._subparser(parser, args).prog}: error: {_log_setup_failure(error)}", file=sys.stderr)
        return 1
    return cli.main(argv)


def _log_setup_failure(error: BaseException) -> str:
    """What went wrong with the log file, and what to do about it."""
    if os.name == "nt":
        where, inside = "LOCALAPPDATA", r"lumoreq\logs\app.log"
    else:
        where, inside = "HOME", ".local/share/lumoreq/logs/app.log"
    path = getattr(error, "filename", None)
    cause = getattr(error, "strerror", None) or str(error) or type(error).__name__
    advice = f"set {where} to a writable folder (the log goes to {inside} in it)"
    if path is None:
        return f"the log file cannot be set up ({cause}); {advice}"
    kind = "file" if os.path.basename(path) == "app.log" else "folder"
    return f"the log file cannot be set up: {path}: {cause}; {advice}, or make {path} a writable {kind}"


if __name__ == "__main__":
    sys.exit(main())
