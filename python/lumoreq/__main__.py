"""``python -m lumoreq``: the command line lives in :mod:`lumoreq.cli`, the demo in :mod:`lumoreq.demo`."""

import sys

from .cli import build_parser, main

__all__ = ["build_parser", "main"]

if __name__ == "__main__":
    sys.exit(main())
