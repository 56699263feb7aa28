"""Command line of lumoreq: ``python -m lumoreq demo``."""

from __future__ import annotations

import argparse
import importlib
import sys
import time

from . import MODULES


def _demo(_args: argparse.Namespace) -> int:
    print("lumoreq demo: importing every extension module")
    for name in MODULES:
        t0 = time.perf_counter()
        module = importlib.import_module(f"lumoreq.{name}")
        public = sorted(n for n in vars(module) if not n.startswith("__"))
        print(f"  lumoreq.{name:<12} {time.perf_counter() - t0:6.3f} s  {', '.join(public)}")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="lumoreq", description="前兆观测数据分析工具 lumoreq")
    sub = parser.add_subparsers(dest="command", required=True)
    demo = sub.add_parser("demo", help="run the demonstration on the embedded sample network")
    demo.set_defaults(func=_demo)
    args = parser.parse_args(argv)
    return args.func(args)


if __name__ == "__main__":
    sys.exit(main())
