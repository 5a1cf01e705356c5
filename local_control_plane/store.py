"""SQLite persistence and the rules of approval requests.

Every write is one transaction on one connection, guarded by a lock, so a restarted server
on the same file sees everything an earlier one acknowledged. Times are stored as unix
seconds and shown as ISO 8601 UTC text.
"""

from __future__ import annotations

import base64
import json
import sqlite3
import threading
import time
from contextlib import contextmanager
from datetime import datetime, timezone
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple

from orvex_core import PublicKey, SignedApproval, SigningKey

from local_control_plane.errors import ApiError
from local_control_plane.tokens import (
    new_api_key,
    new_id,
    new_registration_token,
    secret_hash,
)

DEFAULT_TTL_SECONDS = 3600
DEFAULT_APPROVER = "default"
STATUSES = ("pending", "approved", "denied", "expired")

_SCHEMA = """
CREATE TABLE IF NOT EXISTS tenants (
    id TEXT PRIMARY KEY,
    slug TEXT NOT NULL UNIQUE,
    name TEXT NOT NULL,
    created_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS api_keys (
    id TEXT PRIMARY KEY,
    tenant_id TEXT NOT NULL REFERENCES tenants(id),
    key_hash TEXT NOT NULL UNIQUE,
    read_only INTEGER NOT NULL DEFAULT 0,
    created_at REAL NOT NULL,
    revoked_at REAL
);
CREATE TABLE IF NOT EXISTS policies (
    id TEXT PRIMARY KEY,
    tenant_id TEXT NOT NULL REFERENCES tenants(id),
    name TEXT NOT NULL,
    tool_pattern TEXT NOT NULL,
    threshold INTEGER NOT NULL,
    approver_keys TEXT NOT NULL,
    ttl_seconds INTEGER NOT NULL,
    enabled INTEGER NOT NULL,
    created_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS approvers (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    name TEXT NOT NULL UNIQUE,
    public_key TEXT NOT NULL UNIQUE,
    seed BLOB NOT NULL,
    created_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS requests (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    id TEXT NOT NULL UNIQUE,
    tenant_id TEXT NOT NULL REFERENCES tenants(id),
    status TEXT NOT NULL,
    warrant_id TEXT NOT NULL,
    tool TEXT NOT NULL,
    request_hash TEXT NOT NULL,
    holder_key TEXT NOT NULL,
    args_b64 TEXT NOT NULL,
    attestation TEXT NOT NULL,
    metadata TEXT NOT NULL,
    policy_id TEXT,
    threshold INTEGER NOT NULL,
    approver_keys TEXT NOT NULL,
    ttl_seconds INTEGER NOT NULL,
    idempotency_key TEXT,
    created_at REAL NOT NULL,
    expires_at REAL NOT NULL,
    decided_at REAL,
    denied_reason TEXT,
    UNIQUE (tenant_id, idempotency_key)
);
CREATE INDEX IF NOT EXISTS requests_lookup ON requests (tenant_id, warrant_id, tool, request_hash);
CREATE TABLE IF NOT EXISTS responses (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    request_id TEXT NOT NULL REFERENCES requests(id),
    approver_key TEXT NOT NULL,
    signed_approval TEXT NOT NULL,
    approved_at INTEGER NOT NULL,
    UNIQUE (request_id, approver_key)
);
CREATE TABLE IF NOT EXISTS agents (
    id TEXT PRIMARY KEY,
    tenant_id TEXT NOT NULL REFERENCES tenants(id),
    name TEXT NOT NULL,
    status TEXT NOT NULL,
    token_hash TEXT,
    public_key TEXT,
    key_id TEXT,
    created_at REAL NOT NULL,
    registered_at REAL
);
CREATE TABLE IF NOT EXISTS receipts (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    tenant_id TEXT NOT NULL REFERENCES tenants(id),
    body TEXT NOT NULL,
    received_at REAL NOT NULL
);
CREATE TABLE IF NOT EXISTS schemas (
    seq INTEGER PRIMARY KEY AUTOINCREMENT,
    tenant_id TEXT NOT NULL REFERENCES tenants(id),
    body TEXT NOT NULL,
    accepted INTEGER NOT NULL,
    received_at REAL NOT NULL
);
"""


def iso(ts: Optional[float]) -> Optional[str]:
    if ts is None:
        return None
    text = datetime.fromtimestamp(ts, tz=timezone.utc).isoformat(timespec="milliseconds")
    return text.replace("+00:00", "Z")


def _dumps(value: Any) -> str:
    return json.dumps(value, separators=(",", ":"), sort_keys=False)


def _not_found(what: str, ident: str) -> ApiError:
    return ApiError(
        404,
        "not_found",
        f"{what} {ident!r} does not exist",
        f"Check the {what} id; {what}s of other tenants are not visible with this API key.",
    )


class Store:
    def __init__(self, path: str, clock: Callable[[], float] = time.time) -> None:
        self._clock = clock
        self._lock = threading.RLock()
        # Autocommit mode: transactions are opened explicitly by _tx.
        self._conn = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        self._conn.row_factory = sqlite3.Row
        self._conn.execute("PRAGMA journal_mode=WAL")
        self._conn.execute("PRAGMA synchronous=FULL")
        self._conn.execute("PRAGMA foreign_keys=ON")
        self._conn.executescript(_SCHEMA)
        with self._tx() as db:
            if db.execute("SELECT COUNT(*) FROM approvers").fetchone()[0] == 0:
                # A fresh server can approve at once; more approvers come through the admin API.
                self._insert_approver(db, DEFAULT_APPROVER, SigningKey.generate())

    def close(self) -> None:
        with self._lock:
            self._conn.close()

    @contextmanager
    def _tx(self) -> Iterator[sqlite3.Connection]:
        with self._lock:
            self._conn.execute("BEGIN IMMEDIATE")
            try:
                yield self._conn
            except BaseException:
                self._conn.execute("ROLLBACK")
                raise
            self._conn.execute("COMMIT")

    def _read(self, sql: str, params: Tuple[Any, ...] = ()) -> List[sqlite3.Row]:
        with self._lock:
            return self._conn.execute(sql, params).fetchall()

    # -- tenants and API keys ------------------------------------------------

    @staticmethod
    def tenant_record(row: sqlite3.Row) -> Dict[str, Any]:
        return {"id": row["id"], "name": row["name"], "slug": row["slug"]}

    def _ensure_tenant(self, db: sqlite3.Connection, slug: str, name: Optional[str]) -> sqlite3.Row:
        row = db.execute("SELECT * FROM tenants WHERE slug = ?", (slug,)).fetchone()
        if row is not None:
            return row
        now = self._clock()
        tenant_id = new_id("ten")
        db.execute(
            "INSERT INTO tenants (id, slug, name, created_at) VALUES (?, ?, ?, ?)",
            (tenant_id, slug, name or slug.replace("-", " ").title(), now),
        )
        db.execute(
            "INSERT INTO policies (id, tenant_id, name, tool_pattern, threshold, approver_keys,"
            " ttl_seconds, enabled, created_at) VALUES (?, ?, 'default', '*', 1, '[]', ?, 1, ?)",
            (new_id("pol"), tenant_id, DEFAULT_TTL_SECONDS, now),
        )
        return db.execute("SELECT * FROM tenants WHERE id = ?", (tenant_id,)).fetchone()

    def create_api_key(
        self, tenant_slug: str, *, read_only: bool = False, tenant_name: Optional[str] = None
    ) -> Dict[str, Any]:
        key = new_api_key()
        with self._tx() as db:
            tenant = self._ensure_tenant(db, tenant_slug, tenant_name)
            key_id = new_id("key")
            db.execute(
                "INSERT INTO api_keys (id, tenant_id, key_hash, read_only, created_at) VALUES (?, ?, ?, ?, ?)",
                (key_id, tenant["id"], secret_hash(key), int(read_only), self._clock()),
            )
        return {
            "api_key": key,
            "key_id": key_id,
            "read_only": read_only,
            "tenant": self.tenant_record(tenant),
        }

    def revoke_api_key(self, key: str) -> Dict[str, Any]:
        with self._tx() as db:
            row = db.execute("SELECT * FROM api_keys WHERE key_hash = ?", (secret_hash(key),)).fetchone()
            if row is None:
                raise _not_found("API key", key[:6] + "...")
            if row["revoked_at"] is None:
                db.execute("UPDATE api_keys SET revoked_at = ? WHERE id = ?", (self._clock(), row["id"]))
        return {"key_id": row["id"], "revoked": True}

    def authenticate(self, key: str) -> Tuple[Dict[str, Any], bool]:
        """(tenant record, read_only) of a usable API key; ApiError otherwise."""
        rows = self._read(
            "SELECT k.read_only, k.revoked_at, t.* FROM api_keys k JOIN tenants t ON t.id = k.tenant_id"
            " WHERE k.key_hash = ?",
            (secret_hash(key),),
        )
        if not rows:
            raise ApiError(
                401,
                "invalid_api_key",
                "The API key is not known to this control plane",
                "Check ORVEX_API_KEY: copy an API key (it starts with 'ok_') from the dashboard, "
                "or create one with the admin API.",
                {"WWW-Authenticate": "Bearer"},
            )
        row = rows[0]
        if row["revoked_at"] is not None:
            raise ApiError(
                401,
                "api_key_revoked",
                f"The API key was revoked at {iso(row['revoked_at'])}",
                "Create a new API key in the dashboard and update ORVEX_API_KEY.",
                {"WWW-Authenticate": "Bearer"},
            )
        return self.tenant_record(row), bool(row["read_only"])

    # -- policies ------------------------------------------------------------

    def list_policies(self, tenant_id: str, limit: int) -> List[Dict[str, Any]]:
        rows = self._read(
            "SELECT * FROM policies WHERE tenant_id = ? ORDER BY created_at, id LIMIT ?", (tenant_id, limit)
        )
        return [
            {
                "id": r["id"],
                "name": r["name"],
                "tool_pattern": r["tool_pattern"],
                "threshold": r["threshold"],
                "approver_keys": json.loads(r["approver_keys"]),
                "ttl_seconds": r["ttl_seconds"],
                "enabled": bool(r["enabled"]),
            }
            for r in rows
        ]

    # -- approvers -----------------------------------------------------------

    def _insert_approver(self, db: sqlite3.Connection, name: str, key: SigningKey) -> None:
        db.execute(
            "INSERT INTO approvers (name, public_key, seed, created_at) VALUES (?, ?, ?, ?)",
            (name, key.public_key.hex(), key.to_bytes(), self._clock()),
        )

    @staticmethod
    def _approver_record(row: sqlite3.Row) -> Dict[str, Any]:
        return {"name": row["name"], "public_key": row["public_key"], "created_at": iso(row["created_at"])}

    def create_approver(self, name: str) -> Tuple[Dict[str, Any], bool]:
        """(approver, created); an existing name is returned as it is."""
        with self._tx() as db:
            row = db.execute("SELECT * FROM approvers WHERE name = ?", (name,)).fetchone()
            created = row is None
            if created:
                self._insert_approver(db, name, SigningKey.generate())
                row = db.execute("SELECT * FROM approvers WHERE name = ?", (name,)).fetchone()
        return self._approver_record(row), created

    def list_approvers(self) -> List[Dict[str, Any]]:
        return [self._approver_record(r) for r in self._read("SELECT * FROM approvers ORDER BY seq")]

    # -- approval requests ---------------------------------------------------

    def _status(self, row: sqlite3.Row, now: float) -> str:
        if row["status"] == "pending" and now >= row["expires_at"]:
            return "expired"
        return row["status"]

    def _request_record(self, db: sqlite3.Connection, row: sqlite3.Row, now: float) -> Dict[str, Any]:
        status = self._status(row, now)
        responses = db.execute(
            "SELECT * FROM responses WHERE request_id = ? ORDER BY seq", (row["id"],)
        ).fetchall()
        if status == "denied":
            reason = row["denied_reason"]
            decided_at = row["decided_at"]
        elif status == "expired":
            reason = "approval request expired"
            decided_at = row["expires_at"]
        else:
            reason = None
            decided_at = row["decided_at"]
        return {
            "id": row["id"],
            "status": status,
            "warrant_id": row["warrant_id"],
            "tool": row["tool"],
            "request_hash": row["request_hash"],
            "holder_key": row["holder_key"],
            "args_canonical_cbor_b64": row["args_b64"],
            "approval_context_attestation": json.loads(row["attestation"]),
            "metadata": json.loads(row["metadata"]),
            "policy_id": row["policy_id"],
            "threshold": row["threshold"],
            "approver_keys": json.loads(row["approver_keys"]),
            "ttl_seconds": row["ttl_seconds"],
            "idempotency_key": row["idempotency_key"],
            "created_at": iso(row["created_at"]),
            "expires_at": iso(row["expires_at"]),
            "decided_at": iso(decided_at),
            "denied_reason": row["denied_reason"],
            "reason": reason,
            "responses": [
                {
                    "approver_key": r["approver_key"],
                    "signed_approval": r["signed_approval"],
                    "approved_at": iso(r["approved_at"]),
                }
                for r in responses
            ],
        }

    def create_request(self, tenant_id: str, body: Dict[str, Any]) -> Tuple[Dict[str, Any], bool]:
        """(record, created). `body` is validated; an idempotency key already used returns its request."""
        now = self._clock()
        ttl = DEFAULT_TTL_SECONDS if body.get("ttl_seconds") is None else body["ttl_seconds"]
        threshold = 1 if body.get("threshold") is None else body["threshold"]
        idempotency_key = body.get("idempotency_key") or None
        with self._tx() as db:
            if idempotency_key is not None:
                row = db.execute(
                    "SELECT * FROM requests WHERE tenant_id = ? AND idempotency_key = ?",
                    (tenant_id, idempotency_key),
                ).fetchone()
                if row is not None:
                    return self._request_record(db, row, now), False
            request_id = new_id("apr")
            db.execute(
                "INSERT INTO requests (id, tenant_id, status, warrant_id, tool, request_hash, holder_key,"
                " args_b64, attestation, metadata, policy_id, threshold, approver_keys, ttl_seconds,"
                " idempotency_key, created_at, expires_at) VALUES"
                " (?, ?, 'pending', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                (
                    request_id,
                    tenant_id,
                    body["warrant_id"],
                    body["tool"],
                    body["request_hash"],
                    body["holder_key"],
                    body["args_canonical_cbor_b64"],
                    _dumps(body["approval_context_attestation"]),
                    _dumps(body.get("metadata")),
                    body.get("policy_id"),
                    threshold,
                    _dumps(body.get("approver_keys")),
                    ttl,
                    idempotency_key,
                    now,
                    now + ttl,
                ),
            )
            row = db.execute("SELECT * FROM requests WHERE id = ?", (request_id,)).fetchone()
            return self._request_record(db, row, now), True

    def _find_request(self, db: sqlite3.Connection, tenant_id: Optional[str], request_id: str) -> sqlite3.Row:
        row = db.execute("SELECT * FROM requests WHERE id = ?", (request_id,)).fetchone()
        # Another tenant's request is reported exactly like a missing one.
        if row is None or (tenant_id is not None and row["tenant_id"] != tenant_id):
            raise _not_found("approval request", request_id)
        return row

    def get_request(self, tenant_id: Optional[str], request_id: str) -> Dict[str, Any]:
        with self._lock:
            row = self._find_request(self._conn, tenant_id, request_id)
            return self._request_record(self._conn, row, self._clock())

    def list_requests(
        self,
        tenant_id: str,
        *,
        warrant_id: Optional[str] = None,
        tool: Optional[str] = None,
        request_hash: Optional[str] = None,
        status: Optional[str] = None,
        limit: int = 50,
    ) -> List[Dict[str, Any]]:
        now = self._clock()
        where = ["tenant_id = ?"]
        params: List[Any] = [tenant_id]
        for column, value in (("warrant_id", warrant_id), ("tool", tool), ("request_hash", request_hash)):
            if value is not None:
                where.append(f"{column} = ?")
                params.append(value)
        if status == "pending":
            where.append("status = 'pending' AND expires_at > ?")
            params.append(now)
        elif status == "expired":
            where.append("(status = 'expired' OR (status = 'pending' AND expires_at <= ?))")
            params.append(now)
        elif status is not None:
            where.append("status = ?")
            params.append(status)
        sql = f"SELECT * FROM requests WHERE {' AND '.join(where)} ORDER BY created_at DESC, seq DESC LIMIT ?"
        params.append(limit)
        with self._lock:
            rows = self._conn.execute(sql, tuple(params)).fetchall()
            return [self._request_record(self._conn, r, now) for r in rows]

    def _require_pending(self, row: sqlite3.Row, now: float) -> None:
        status = self._status(row, now)
        if status != "pending":
            raise ApiError(
                409,
                "not_pending",
                f"approval request {row['id']} is {status}, not pending",
                "Only a pending request can be approved or denied; create a new approval request "
                "if the call should run again.",
            )

    def _pick_approver(
        self,
        db: sqlite3.Connection,
        ident: Optional[str],
        allowed: Optional[List[str]],
        signed: List[str],
    ) -> sqlite3.Row:
        if ident is not None:
            row = db.execute(
                "SELECT * FROM approvers WHERE name = ? OR public_key = ?", (ident, ident.lower())
            ).fetchone()
            if row is None:
                raise ApiError(
                    404,
                    "approver_not_found",
                    f"no approver named or keyed {ident!r} on this control plane",
                    "Create the approver with POST /admin/approvers, or name one of GET /admin/approvers.",
                )
            if allowed is not None and row["public_key"] not in allowed:
                raise ApiError(
                    403,
                    "approver_not_allowed",
                    f"approver {row['name']!r} is not among the request's approver_keys",
                    "Approve with one of the keys listed in the request's approver_keys.",
                )
            if row["public_key"] in signed:
                raise ApiError(
                    409,
                    "already_signed",
                    f"approver {row['name']!r} has already signed this request",
                    "Each approver counts once; approve with another approver to reach the threshold.",
                )
            return row
        for row in db.execute("SELECT * FROM approvers ORDER BY seq"):
            if row["public_key"] not in signed and (allowed is None or row["public_key"] in allowed):
                return row
        raise ApiError(
            409,
            "no_available_approver",
            "every approver this control plane holds for the request has already signed or is not allowed",
            "Create another approver with POST /admin/approvers (and list its key in approver_keys).",
        )

    def approve(self, tenant_id: Optional[str], request_id: str, approver: Optional[str]) -> Dict[str, Any]:
        with self._tx() as db:
            now = self._clock()
            row = self._find_request(db, tenant_id, request_id)
            self._require_pending(row, now)
            signed = [
                r["approver_key"]
                for r in db.execute("SELECT approver_key FROM responses WHERE request_id = ?", (request_id,))
            ]
            chosen = self._pick_approver(db, approver, json.loads(row["approver_keys"]), signed)
            approval = SignedApproval.create(
                SigningKey.from_bytes(chosen["seed"]), bytes.fromhex(row["request_hash"])
            )
            db.execute(
                "INSERT INTO responses (request_id, approver_key, signed_approval, approved_at) VALUES (?, ?, ?, ?)",
                (
                    request_id,
                    chosen["public_key"],
                    base64.b64encode(approval.to_bytes()).decode("ascii"),
                    approval.approved_at,
                ),
            )
            # A threshold of 0 still needs one signature: an approval without one is unusable.
            if len(signed) + 1 >= max(row["threshold"], 1):
                db.execute(
                    "UPDATE requests SET status = 'approved', decided_at = ? WHERE id = ?", (now, request_id)
                )
            row = db.execute("SELECT * FROM requests WHERE id = ?", (request_id,)).fetchone()
            return self._request_record(db, row, now)

    def deny(self, tenant_id: Optional[str], request_id: str, reason: Optional[str]) -> Dict[str, Any]:
        with self._tx() as db:
            now = self._clock()
            row = self._find_request(db, tenant_id, request_id)
            self._require_pending(row, now)
            db.execute(
                "UPDATE requests SET status = 'denied', decided_at = ?, denied_reason = ? WHERE id = ?",
                (now, reason, request_id),
            )
            row = db.execute("SELECT * FROM requests WHERE id = ?", (request_id,)).fetchone()
            return self._request_record(db, row, now)

    # -- agents --------------------------------------------------------------

    @staticmethod
    def _agent_record(row: sqlite3.Row) -> Dict[str, Any]:
        return {
            "id": row["id"],
            "agent_id": row["id"],
            "name": row["name"],
            "status": row["status"],
            "key_id": row["key_id"],
            "public_key": row["public_key"],
            "registered_at": iso(row["registered_at"]),
        }

    def create_agent(self, tenant_slug: str, name: Optional[str]) -> Tuple[Dict[str, Any], str]:
        token = new_registration_token()
        agent_id = new_id("agt")
        with self._tx() as db:
            tenant = self._ensure_tenant(db, tenant_slug, None)
            db.execute(
                "INSERT INTO agents (id, tenant_id, name, status, token_hash, created_at)"
                " VALUES (?, ?, ?, 'pending', ?, ?)",
                (agent_id, tenant["id"], name or f"agent-{agent_id[-6:]}", secret_hash(token), self._clock()),
            )
            row = db.execute("SELECT * FROM agents WHERE id = ?", (agent_id,)).fetchone()
        return self._agent_record(row), token

    def claim_agent(self, tenant_id: str, agent_id: str, public_key: PublicKey, token: str) -> Dict[str, Any]:
        with self._tx() as db:
            row = db.execute("SELECT * FROM agents WHERE id = ?", (agent_id,)).fetchone()
            if row is None or row["tenant_id"] != tenant_id:
                raise ApiError(
                    404,
                    "agent_not_found",
                    f"agent {agent_id!r} does not exist",
                    "Check ORVEX_AGENT_ID, or mint a new Quick Connect token for the agent.",
                )
            if row["status"] != "pending":
                raise ApiError(
                    409,
                    "agent_not_pending",
                    f"agent {agent_id!r} is already {row['status']}",
                    "The agent was claimed before; its registration token works only once. "
                    "Nothing else is needed if this process owns the agent's key.",
                )
            if row["token_hash"] is None or row["token_hash"] != secret_hash(token):
                raise ApiError(
                    403,
                    "invalid_registration_token",
                    "the registration token does not belong to this agent",
                    "Use the registration token from the agent's Quick Connect token, or mint a new one.",
                )
            now = self._clock()
            key_id = "key_" + secret_hash(public_key.hex())[:16]
            db.execute(
                "UPDATE agents SET status = 'active', token_hash = NULL, public_key = ?, key_id = ?,"
                " registered_at = ? WHERE id = ?",
                (public_key.hex(), key_id, now, agent_id),
            )
            row = db.execute("SELECT * FROM agents WHERE id = ?", (agent_id,)).fetchone()
        record = self._agent_record(row)
        del record["public_key"]
        return record

    def list_agents(self) -> List[Dict[str, Any]]:
        return [self._agent_record(r) for r in self._read("SELECT * FROM agents ORDER BY created_at, id")]

    # -- receipts and schemas ------------------------------------------------

    def add_receipts(self, tenant_id: str, receipts: List[Any]) -> int:
        now = self._clock()
        with self._tx() as db:
            db.executemany(
                "INSERT INTO receipts (tenant_id, body, received_at) VALUES (?, ?, ?)",
                [(tenant_id, _dumps(r), now) for r in receipts],
            )
        return len(receipts)

    def add_schema_report(self, tenant_id: str, body: Dict[str, Any]) -> int:
        accepted = len(body["tools"])
        with self._tx() as db:
            db.execute(
                "INSERT INTO schemas (tenant_id, body, accepted, received_at) VALUES (?, ?, ?, ?)",
                (tenant_id, _dumps(body), accepted, self._clock()),
            )
        return accepted

    def _stored(self, table: str, key: str, tenant_slug: Optional[str]) -> List[Dict[str, Any]]:
        sql = f"SELECT x.body, x.received_at, t.slug FROM {table} x JOIN tenants t ON t.id = x.tenant_id"
        params: Tuple[Any, ...] = ()
        if tenant_slug is not None:
            sql += " WHERE t.slug = ?"
            params = (tenant_slug,)
        return [
            {"tenant": r["slug"], "received_at": iso(r["received_at"]), key: json.loads(r["body"])}
            for r in self._read(sql + " ORDER BY x.seq", params)
        ]

    def list_receipts(self, tenant_slug: Optional[str] = None) -> List[Dict[str, Any]]:
        return self._stored("receipts", "receipt", tenant_slug)

    def list_schema_reports(self, tenant_slug: Optional[str] = None) -> List[Dict[str, Any]]:
        return self._stored("schemas", "report", tenant_slug)
