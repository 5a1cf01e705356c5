"""Injected faults: make the next N matching calls fail or be slow.

Kept in memory on purpose: a restart clears them, like any transient outage.
"""

from __future__ import annotations

import asyncio
import threading
from dataclasses import asdict, dataclass
from typing import Any, Dict, List, Optional

from starlette.responses import JSONResponse
from starlette.types import ASGIApp, Receive, Scope, Send

from local_control_plane.errors import error_body


@dataclass
class Fault:
    path_prefix: str
    status: Optional[int]
    count: int
    delay: float
    method: Optional[str]
    code: str

    def matches(self, method: str, path: str) -> bool:
        return path.startswith(self.path_prefix) and (self.method is None or self.method == method)


class FaultInjector:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._faults: List[Fault] = []

    def add(self, fault: Fault) -> Dict[str, Any]:
        with self._lock:
            self._faults.append(fault)
        return asdict(fault)

    def clear(self) -> int:
        with self._lock:
            cleared = len(self._faults)
            self._faults.clear()
        return cleared

    def take(self, method: str, path: str) -> Optional[Fault]:
        """The first fault matching the call, used up by one."""
        with self._lock:
            for fault in self._faults:
                if fault.matches(method, path):
                    fault.count -= 1
                    if fault.count <= 0:
                        self._faults.remove(fault)
                    return fault
        return None


class FaultMiddleware:
    """Applies injected faults to Cloud API calls; the admin API is never affected."""

    def __init__(self, app: ASGIApp, injector: FaultInjector) -> None:
        self.app = app
        self.injector = injector

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "http" and not scope["path"].startswith("/admin"):
            fault = self.injector.take(scope["method"], scope["path"])
            if fault is not None:
                if fault.delay > 0:
                    await asyncio.sleep(fault.delay)
                if fault.status:
                    headers = {"Retry-After": "1"} if fault.status in (429, 503) else None
                    response = JSONResponse(
                        error_body(
                            fault.code,
                            f"injected fault: HTTP {fault.status}",
                            "This failure was injected by a test through /admin/faults; retry the call.",
                        ),
                        status_code=fault.status,
                        headers=headers,
                    )
                    await response(scope, receive, send)
                    return
        await self.app(scope, receive, send)
