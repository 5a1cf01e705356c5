"""Start, stop and drive a local control plane from tests and the demo."""

from __future__ import annotations

import os
import queue
import re
import secrets
import subprocess
import sys
import tempfile
import threading
from pathlib import Path
from typing import Any, Dict, List, Optional, Union

import httpx

_ROOT = Path(__file__).resolve().parent.parent
_LISTENING = re.compile(r"^listening on (http://\S+)$")


class ControlPlaneError(RuntimeError):
    """An admin or reviewer call of the harness got an error status."""

    def __init__(self, status_code: int, body: Any) -> None:
        super().__init__(f"local control plane answered HTTP {status_code}: {body}")
        self.status_code = status_code
        self.body = body


class LocalControlPlane:
    """One server process on a SQLite file. `restart()` keeps the file and the port."""

    def __init__(
        self,
        db_path: Union[str, Path],
        admin_token: Optional[str] = None,
        *,
        host: str = "127.0.0.1",
        port: int = 0,
        startup_timeout: float = 20.0,
        log_path: Optional[Union[str, Path]] = None,
    ) -> None:
        self.db_path = Path(db_path)
        self.admin_token = admin_token or secrets.token_urlsafe(16)
        self.host = host
        self.port = port
        self.startup_timeout = startup_timeout
        self.log_path = Path(log_path) if log_path else self.db_path.with_name(self.db_path.name + ".log")
        self._proc: Optional[subprocess.Popen] = None
        self._log: Any = None
        self._http: Optional[httpx.Client] = None
        self._url: Optional[str] = None

    # -- lifecycle -----------------------------------------------------------

    @property
    def url(self) -> str:
        """Base URL of the running server (no trailing slash, without /v1)."""
        if self._url is None:
            raise RuntimeError("the local control plane is not running; call start() first")
        return self._url

    @property
    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    def start(self) -> "LocalControlPlane":
        if self.running:
            return self
        cmd = [
            sys.executable, "-m", "local_control_plane",
            "--host", self.host,
            "--port", str(self.port),
            "--db", str(self.db_path),
            # "=" form: a generated token may start with "-", which argparse would read as an option.
            f"--admin-token={self.admin_token}",
        ]
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in (str(_ROOT), env.get("PYTHONPATH", "")) if p)
        env["PYTHONUNBUFFERED"] = "1"
        self.log_path.parent.mkdir(parents=True, exist_ok=True)
        self._log = open(self.log_path, "ab")
        self._proc = subprocess.Popen(
            cmd, cwd=str(_ROOT), env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._log
        )
        line = self._first_line(self._proc, self.startup_timeout)
        match = _LISTENING.match(line.strip()) if line else None
        if match is None:
            if line is None:
                reason = f"no listening line within {self.startup_timeout:g}s"
            elif not line:
                reason = f"exited with code {self._proc.wait()}"
            else:
                reason = f"printed {line.strip()!r}"
            self._abort()
            raise RuntimeError(
                f"local control plane did not start ({reason}); stderr tail:\n{self._stderr_tail()}"
            )
        self._url = match.group(1)
        self.port = int(self._url.rsplit(":", 1)[1])
        self._http = httpx.Client(base_url=self._url, headers={"X-Admin-Token": self.admin_token}, timeout=10.0)
        return self

    @staticmethod
    def _first_line(proc: subprocess.Popen, timeout: float) -> Optional[str]:
        """The first stdout line, "" if the process ended first, None on timeout."""
        lines: "queue.Queue[str]" = queue.Queue()
        stdout = proc.stdout
        assert stdout is not None
        reader = threading.Thread(
            target=lambda: lines.put(stdout.readline().decode("utf-8", "replace")), daemon=True
        )
        reader.start()
        try:
            return lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def _stderr_tail(self, lines: int = 30) -> str:
        try:
            text = self.log_path.read_text("utf-8", "replace")
        except OSError:
            return "(no log)"
        return "\n".join(text.splitlines()[-lines:])

    def _abort(self) -> None:
        proc, self._proc = self._proc, None
        if proc is not None:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            if proc.stdout:
                proc.stdout.close()
        if self._log is not None:
            self._log.close()
            self._log = None

    def stop(self, timeout: float = 10.0) -> None:
        if self._http is not None:
            self._http.close()
            self._http = None
        proc = self._proc
        if proc is not None and proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
        self._abort()
        self._url = None

    def restart(self) -> "LocalControlPlane":
        self.stop()
        return self.start()

    def __enter__(self) -> "LocalControlPlane":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    # -- admin and reviewer helpers -------------------------------------------

    def _call(
        self,
        method: str,
        path: str,
        json: Any = None,
        headers: Optional[Dict[str, str]] = None,
        params: Optional[Dict[str, str]] = None,
    ) -> Any:
        if self._http is None:
            raise RuntimeError("the local control plane is not running; call start() first")
        response = self._http.request(method, path, json=json, headers=headers, params=params)
        try:
            body = response.json()
        except ValueError:
            body = response.text
        if response.status_code >= 400:
            raise ControlPlaneError(response.status_code, body)
        return body

    def create_api_key(self, tenant: str = "acme", *, tenant_name: Optional[str] = None) -> Dict[str, Any]:
        """{"api_key": "ok_...", "key_id", "read_only": False, "tenant": {"id", "name", "slug"}}"""
        return self._call("POST", "/admin/api-keys", {"tenant": tenant, "tenant_name": tenant_name})

    def create_readonly_key(self, tenant: str = "acme") -> Dict[str, Any]:
        """A key that may read but gets 403 "forbidden" on every write."""
        return self._call("POST", "/admin/api-keys", {"tenant": tenant, "read_only": True})

    def revoke_key(self, key: str) -> Dict[str, Any]:
        return self._call("POST", "/admin/api-keys/revoke", {"api_key": key})

    def create_approver(self, name: str) -> Dict[str, Any]:
        """{"name", "public_key" (hex), "created_at"}; an existing name returns the same approver."""
        return self._call("POST", "/admin/approvers", {"name": name})

    def approvers(self) -> List[Dict[str, Any]]:
        return self._call("GET", "/admin/approvers")["approvers"]

    def mint_connect_token(
        self,
        agent: bool = False,
        *,
        tenant: str = "acme",
        agent_name: Optional[str] = None,
        api_key: Optional[str] = None,
        endpoint: Optional[str] = None,
    ) -> Dict[str, Any]:
        """{"token", "api_key", "endpoint", "agent_id", "registration_token"} (agent fields None without agent)."""
        body = {"tenant": tenant, "agent": agent, "agent_name": agent_name, "api_key": api_key, "endpoint": endpoint}
        return self._call("POST", "/admin/connect-tokens", {k: v for k, v in body.items() if v is not None})

    def agents(self) -> List[Dict[str, Any]]:
        return self._call("GET", "/admin/agents")["agents"]

    def inject_fault(
        self,
        path_prefix: str = "/v1/approvals",
        status: Optional[int] = 500,
        count: int = 1,
        delay: float = 0.0,
        *,
        method: Optional[str] = None,
        code: Optional[str] = None,
    ) -> Dict[str, Any]:
        """The next `count` matching calls wait `delay` seconds, then fail with `status` (None: go through)."""
        body = {"path_prefix": path_prefix, "status": status, "count": count, "delay": delay, "method": method}
        if code is not None:
            body["code"] = code
        return self._call("POST", "/admin/faults", body)

    def clear_faults(self) -> Dict[str, Any]:
        return self._call("DELETE", "/admin/faults")

    def approve(
        self, request_id: str, approver: Optional[str] = None, *, api_key: Optional[str] = None
    ) -> Dict[str, Any]:
        """Sign as a reviewer: with `api_key` through the Cloud API, else through the admin API."""
        body = {"approver": approver} if approver else {}
        return self._decide(request_id, "approve", body, api_key)

    def deny(self, request_id: str, reason: Optional[str] = None, *, api_key: Optional[str] = None) -> Dict[str, Any]:
        body = {"reason": reason} if reason is not None else {}
        return self._decide(request_id, "deny", body, api_key)

    def _decide(self, request_id: str, decision: str, body: Dict[str, Any], api_key: Optional[str]) -> Dict[str, Any]:
        if api_key is None:
            return self._call("POST", f"/admin/approvals/requests/{request_id}/{decision}", body)
        return self._call(
            "POST",
            f"/v1/approvals/requests/{request_id}/{decision}",
            body,
            headers={"Authorization": f"Bearer {api_key}"},
        )

    def receipts(self, tenant: Optional[str] = None) -> List[Dict[str, Any]]:
        """Stored receipts, oldest first: [{"tenant", "received_at", "receipt"}]."""
        params = {"tenant": tenant} if tenant else None
        return self._call("GET", "/admin/receipts", params=params)["receipts"]

    def schemas(self, tenant: Optional[str] = None) -> List[Dict[str, Any]]:
        """Stored schema reports, oldest first: [{"tenant", "received_at", "report"}]."""
        params = {"tenant": tenant} if tenant else None
        return self._call("GET", "/admin/schemas", params=params)["schemas"]


def temporary(admin_token: Optional[str] = None) -> LocalControlPlane:
    """A control plane on a fresh database in a new temporary folder (for the demo)."""
    folder = tempfile.mkdtemp(prefix="local-control-plane-")
    return LocalControlPlane(Path(folder) / "control-plane.sqlite3", admin_token)
