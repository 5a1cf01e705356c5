"""A local Orvex Cloud control plane: a real HTTP server over SQLite, for tests and the demo.

Run it with `python -m local_control_plane --db PATH --admin-token TOKEN`, or drive it from
Python with `local_control_plane.harness.LocalControlPlane`. Never shipped.
"""

from typing import Any

__version__ = "0.1.0"

__all__ = ["LocalControlPlane", "__version__"]


def __getattr__(name: str) -> Any:
    # The server process has no use for the harness (or httpx); load it only when asked.
    if name == "LocalControlPlane":
        from local_control_plane.harness import LocalControlPlane

        return LocalControlPlane
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
