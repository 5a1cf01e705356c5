"""`python -m local_control_plane --host 127.0.0.1 --port 0 --db PATH --admin-token TOKEN`

Prints exactly one line, `listening on http://HOST:PORT`, to stdout once the server accepts
connections; everything else (logs) goes to stderr.
"""

from __future__ import annotations

import argparse
import logging
import os
import socket
import sys
from pathlib import Path
from typing import Callable, List, Optional

_ROOT = Path(__file__).resolve().parent.parent


def _ensure_import_paths() -> None:
    # Run as a program, the server finds the stand-in core library beside itself.
    for path in (_ROOT / "stand_ins", _ROOT):
        if str(path) not in sys.path:
            sys.path.insert(0, str(path))


def _parse(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m local_control_plane", description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0, help="0 picks a free port")
    parser.add_argument("--db", required=True, help="SQLite database file (created if missing)")
    parser.add_argument(
        "--admin-token",
        default=os.environ.get("LOCAL_CONTROL_PLANE_ADMIN_TOKEN"),
        help="token for the X-Admin-Token header; without one the admin API is disabled",
    )
    parser.add_argument("--log-level", default="info", choices=["debug", "info", "warning", "error"])
    return parser.parse_args(argv)


def _bind(host: str, port: int) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    sock = socket.socket(family, socket.SOCK_STREAM)
    # A restart reuses the previous port while old connections linger in TIME_WAIT.
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind((host, port))
    sock.listen(128)
    sock.set_inheritable(True)
    return sock


def main(argv: Optional[List[str]] = None) -> int:
    args = _parse(argv)
    _ensure_import_paths()
    logging.basicConfig(
        stream=sys.stderr,
        level=args.log_level.upper(),
        format="%(asctime)s %(levelname)s %(name)s: %(message)s",
    )
    import uvicorn

    from local_control_plane.app import create_app

    Path(args.db).resolve().parent.mkdir(parents=True, exist_ok=True)
    sock = _bind(args.host, args.port)
    port = sock.getsockname()[1]
    host = f"[{args.host}]" if ":" in args.host else args.host
    base_url = f"http://{host}:{port}"
    app = create_app(args.db, args.admin_token, base_url)

    class _Server(uvicorn.Server):
        on_started: Callable[[], None]

        async def startup(self, sockets: Optional[List[socket.socket]] = None) -> None:
            await super().startup(sockets=sockets)
            if self.started:
                self.on_started()

    def announce() -> None:
        sys.stdout.write(f"listening on {base_url}\n")
        sys.stdout.flush()

    # log_config=None keeps uvicorn on the root logger (stderr); its default would put
    # access lines on stdout, which must carry only the listening line.
    config = uvicorn.Config(app, log_config=None, log_level=args.log_level, lifespan="on")
    server = _Server(config)
    server.on_started = announce
    server.run(sockets=[sock])
    return 0


if __name__ == "__main__":
    sys.exit(main())
