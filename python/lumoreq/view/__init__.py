"""A local web view of a dataset (or of one RUZI file): the network at a glance, and each
station's series zoomable from years down to single samples.

    lumoreq view OUT|FILE.ruzi [--catalogue PATH] [--port N] [--host ADDRESS]

The server (Starlette on uvicorn) listens on 127.0.0.1, prints its address with a random token
(requests without it are refused) and serves only what the dataset lists. Every zoom asks for the
visible range at the panel's width in pixels and gets, per pixel column, the first, smallest,
largest and last sample (M4, reduced natively); wide ranges are served from the min/max summaries
written beside the parts (:mod:`lumoreq.view.summaries`). The page's JavaScript is plotly.js as
the installed ``plotly`` package ships it: nothing is fetched from the internet.
"""

from __future__ import annotations

import os
import socket
import sys
from pathlib import Path

__all__ = ["ViewError", "open_source", "dataset_parts", "serve", "bind_socket", "register", "run_command"]


def __getattr__(name):
    # the data layer (numpy, pyarrow) loads when used, not when the command line is built
    if name in ("ViewError", "open_source", "dataset_parts"):
        from . import data

        return getattr(data, name)
    raise AttributeError(name)

LOOPBACK = ("127.0.0.1", "localhost", "::1")


def bind_socket(host: str, port: int) -> socket.socket:
    """A listening socket on (host, port); port 0 takes a free one. ViewError when it is taken."""
    from .data import ViewError

    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    if os.name != "nt":
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    try:
        sock.bind((host, port))
    except OSError as error:
        sock.close()
        raise ViewError(f"cannot listen on {host}:{port}: {error.strerror or error}"
                        + (" (the port is in use: pick another with --port, or leave it out)" if port else "")) from error
    sock.listen(128)
    return sock


def serve(target: str | os.PathLike[str], host: str = "127.0.0.1", port: int = 0, catalogue: str | None = None,
          token: str | None = None, announce=print) -> int:
    """Serve the view of `target` until interrupted (Ctrl-C); returns 0. ViewError at start for a
    dataset, file or catalogue that cannot be shown, or a port that is taken."""
    from .data import FileSource, ViewError, open_source

    try:
        import uvicorn

        from .server import Catalogue, create_app, new_token
    except ImportError as error:
        raise ViewError(f"the view needs the packages of lumoreq's 'view' extra ({error.name} is missing): "
                        "pip install 'lumoreq[view]'") from error

    source = open_source(target)
    quakes = Catalogue(catalogue)
    token = token or new_token()
    sock = bind_socket(host, port)
    port = sock.getsockname()[1]
    shown = f"[{host}]" if ":" in host else host
    allowed = None
    if host in LOOPBACK:
        allowed = {f"{name}:{port}" for name in ("127.0.0.1", "localhost", "[::1]")}
    app = create_app(source, token, quakes, allowed_hosts=allowed)
    config = uvicorn.Config(app, log_level="warning", lifespan="off", access_log=False, timeout_graceful_shutdown=2)
    server = uvicorn.Server(config)
    what = "file" if isinstance(source, FileSource) else "dataset"
    announce(f"lumoreq view: {what} {source.title}, {len(source.series())} series")
    if source.damaged:
        announce(f"  {len(source.damaged)} part(s) cannot be read and are left out (listed on the page)")
    announce("  open in a browser (Ctrl-C stops the server):")
    announce(f"    http://{shown}:{port}/?token={token}")
    sys.stdout.flush()
    try:
        server.run(sockets=[sock])
    except KeyboardInterrupt:  # uvicorn hands Ctrl-C on once it has shut down
        pass
    finally:
        sock.close()
    announce("lumoreq view: stopped")
    return 0


def register(subparsers) -> None:
    """The ``view`` sub-command of the command line."""
    view = subparsers.add_parser(
        "view",
        help="look at a dataset or a RUZI file in the browser (a local web server)",
        description="Serve a local web page over a dataset made by lumoreq run (or one RUZI file): every "
        "series against time with the share of samples present per day, and each station's series "
        "zoomable from years to single samples. Listens on 127.0.0.1 and prints the address with a "
        "random access token; requests without it are refused. Read-only.",
    )
    view.add_argument("target", metavar="OUT|FILE.ruzi", help="a dataset folder (lumoreq run --out) or a RUZI file")
    view.add_argument("--catalogue", metavar="PATH", help="earthquake catalogue: mark events flagged per station")
    view.add_argument("--port", type=int, default=0, help="port to listen on (default: a free one)")
    view.add_argument("--host", default="127.0.0.1",
                      help="interface to listen on (default 127.0.0.1; any other makes the data reachable "
                      "from the network)")
    view.add_argument("--build-summaries", action="store_true",
                      help="first write the min/max summaries the dataset's parts lack (writes beside the parts)")
    view.set_defaults(func=run_command)


def run_command(args, watch=None) -> int:
    """Runs ``lumoreq view``: 1 with one line on standard error when the view cannot start."""
    from . import summaries
    from .data import ViewError

    if not 0 <= args.port <= 65535:
        print(f"lumoreq view: error: --port must be between 0 and 65535, not {args.port}", file=sys.stderr)
        return 2
    if args.host not in LOOPBACK:
        print(f"lumoreq view: warning: listening on {args.host}: the data becomes reachable from the network "
              "(anyone there with the token can read it)", file=sys.stderr)
    try:
        if args.build_summaries:
            if not Path(args.target).is_dir():
                raise ViewError("--build-summaries needs a dataset folder")
            counts = summaries.build(args.target)
            print(f"lumoreq view: summaries written {counts['written']}, valid {counts['kept']}, "
                  f"failed {counts['failed']}")
        return serve(args.target, host=args.host, port=args.port, catalogue=args.catalogue)
    except ViewError as error:
        print(f"lumoreq view: error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:  # before the server ran
        print("lumoreq view: stopped")
        return 0
