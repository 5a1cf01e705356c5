"""The HTTP layer: the Cloud API under /v1 and the admin API under /admin."""

from __future__ import annotations

import base64
import binascii
import contextlib
import hmac
import json
import logging
import re
from typing import Any, AsyncIterator, Dict, Optional

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import JSONResponse
from starlette.routing import Route

from orvex_core import PublicKey

from local_control_plane import __version__
from local_control_plane.errors import ApiError, bad_request, error_body
from local_control_plane.faults import Fault, FaultInjector, FaultMiddleware
from local_control_plane.store import STATUSES, Store
from local_control_plane.tokens import encode_connect_token

logger = logging.getLogger("local_control_plane")

_REQUIRED_KEYS = (
    "warrant_id",
    "tool",
    "request_hash",
    "holder_key",
    "args_canonical_cbor_b64",
    "approval_context_attestation",
)
_OPTIONAL_KEYS = ("metadata", "policy_id", "threshold", "approver_keys", "ttl_seconds", "idempotency_key")
_HEX = re.compile(r"^(?:[0-9a-fA-F]{2})+$")
_MAX_LIMIT = 500
_BYTES_HINT = "Send bytes values (request_hash, holder_key, approver keys) as lower-case hex text."


# -- request parsing -----------------------------------------------------------


async def _json_body(request: Request, *, optional: bool = False) -> Dict[str, Any]:
    raw = await request.body()
    if not raw.strip():
        if optional:
            return {}
        raise bad_request("the request body is empty", "Send a JSON object with Content-Type: application/json.")
    try:
        body = json.loads(raw)
    except ValueError as exc:
        raise ApiError(
            400, "invalid_json", f"the request body is not valid JSON: {exc}", "Send a UTF-8 JSON object."
        ) from exc
    if not isinstance(body, dict):
        raise bad_request("the request body must be a JSON object", "Wrap the fields in a JSON object.")
    return body


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _hex_field(body: Dict[str, Any], key: str) -> str:
    value = body.get(key)
    if not isinstance(value, str) or not _HEX.match(value):
        raise bad_request(f"{key} must be non-empty hex text", _BYTES_HINT)
    return value.lower()


def _optional(body: Dict[str, Any], key: str, kind: type, what: str) -> Any:
    value = body.get(key)
    if value is not None and not isinstance(value, kind):
        raise bad_request(f"{key} must be {what} or null")
    return value


def _validate_create(body: Dict[str, Any]) -> Dict[str, Any]:
    unknown = sorted(set(body) - set(_REQUIRED_KEYS) - set(_OPTIONAL_KEYS))
    if unknown:
        raise bad_request(
            f"unknown keys in the approval-request body: {', '.join(unknown)}",
            "Send only the approval-request keys of the Cloud API contract.",
        )
    missing = [k for k in _REQUIRED_KEYS if k not in body]
    if missing:
        raise bad_request(f"missing keys in the approval-request body: {', '.join(missing)}")
    clean: Dict[str, Any] = {}
    for key in ("warrant_id", "tool"):
        if not isinstance(body[key], str) or not body[key]:
            raise bad_request(f"{key} must be non-empty text")
        clean[key] = body[key]
    clean["request_hash"] = _hex_field(body, "request_hash")
    clean["holder_key"] = _hex_field(body, "holder_key")

    args_b64 = body["args_canonical_cbor_b64"]
    if not isinstance(args_b64, str):
        raise bad_request("args_canonical_cbor_b64 must be base64 text")
    try:
        base64.b64decode(args_b64, validate=True)
    except binascii.Error as exc:
        raise bad_request(
            f"args_canonical_cbor_b64 is not standard base64: {exc}",
            "Send the canonical CBOR of the arguments as standard, padded base64.",
        ) from exc
    clean["args_canonical_cbor_b64"] = args_b64

    attestation = _optional(body, "approval_context_attestation", dict, "an object")
    clean["approval_context_attestation"] = attestation
    if attestation:
        # The attestation is signed by the holder; a body contradicting it names a different call.
        for key in ("request_hash", "holder_key"):
            attested = attestation.get(key)
            if isinstance(attested, str) and attested.lower() != clean[key]:
                raise bad_request(
                    f"{key} does not match the approval_context_attestation",
                    f"Send the {key} the attestation was built for (as hex text).",
                )

    clean["metadata"] = _optional(body, "metadata", dict, "an object")
    clean["policy_id"] = _optional(body, "policy_id", str, "text")
    clean["idempotency_key"] = _optional(body, "idempotency_key", str, "text")
    for key in ("threshold", "ttl_seconds"):
        value = body.get(key)
        if value is not None and (not _is_int(value) or value < 0):
            raise bad_request(f"{key} must be a non-negative integer or null")
        clean[key] = value

    approver_keys = body.get("approver_keys")
    if approver_keys is not None:
        if not isinstance(approver_keys, list) or not all(
            isinstance(k, str) and _HEX.match(k) for k in approver_keys
        ):
            raise bad_request("approver_keys must be a list of hex texts or null", _BYTES_HINT)
        approver_keys = [k.lower() for k in approver_keys]
        if clean["threshold"] is not None and clean["threshold"] > len(set(approver_keys)):
            raise bad_request(
                f"threshold {clean['threshold']} can never be met by {len(set(approver_keys))} distinct approver keys",
                "Lower the threshold or list more approver keys.",
            )
    clean["approver_keys"] = approver_keys
    return clean


def _query_limit(request: Request, default: int) -> int:
    text = request.query_params.get("limit")
    if text is None:
        return default
    try:
        limit = int(text)
    except ValueError:
        limit = 0
    if not 1 <= limit <= _MAX_LIMIT:
        raise bad_request(f"limit must be an integer from 1 to {_MAX_LIMIT}, got {text!r}")
    return limit


# -- authentication --------------------------------------------------------------


def _store(request: Request) -> Store:
    return request.app.state.store


def _tenant(request: Request, *, write: bool = False) -> Dict[str, Any]:
    header = request.headers.get("authorization", "")
    scheme, _, key = header.partition(" ")
    key = key.strip()
    if scheme.lower() != "bearer" or not key:
        raise ApiError(
            401,
            "invalid_api_key",
            "missing API key" if not header else "the Authorization header is not 'Bearer <api key>'",
            "Send 'Authorization: Bearer <api key>'; set ORVEX_API_KEY to a key from the dashboard.",
            {"WWW-Authenticate": "Bearer"},
        )
    tenant, read_only = _store(request).authenticate(key)
    if write and read_only:
        raise ApiError(
            403,
            "forbidden",
            "this API key is read-only and cannot change anything",
            "Use an API key with write access for this call.",
        )
    return tenant


def _require_admin(request: Request) -> None:
    expected = request.app.state.admin_token
    if not expected:
        raise ApiError(403, "admin_disabled", "the admin API is disabled", "Start the server with --admin-token.")
    given = request.headers.get("x-admin-token", "")
    if not hmac.compare_digest(given.encode("utf-8"), expected.encode("utf-8")):
        raise ApiError(
            401, "invalid_admin_token", "missing or wrong X-Admin-Token", "Send the token given at start-up."
        )


# -- Cloud API -------------------------------------------------------------------


async def health(request: Request) -> JSONResponse:
    return JSONResponse({"status": "ok", "version": __version__})


async def get_tenant(request: Request) -> JSONResponse:
    return JSONResponse(_tenant(request))


async def list_policies(request: Request) -> JSONResponse:
    tenant = _tenant(request)
    limit = _query_limit(request, 50)
    return JSONResponse({"policies": _store(request).list_policies(tenant["id"], limit)})


async def create_request(request: Request) -> JSONResponse:
    tenant = _tenant(request, write=True)
    body = _validate_create(await _json_body(request))
    record, created = _store(request).create_request(tenant["id"], body)
    if created:
        logger.info("approval request %s created for %s (tenant %s)", record["id"], record["tool"], tenant["slug"])
    return JSONResponse(record, status_code=201 if created else 200)


async def list_requests(request: Request) -> JSONResponse:
    tenant = _tenant(request)
    params = request.query_params
    status = params.get("status")
    if status is not None and status not in STATUSES:
        raise bad_request(f"status must be one of {', '.join(STATUSES)}, got {status!r}")
    request_hash = params.get("request_hash")
    records = _store(request).list_requests(
        tenant["id"],
        warrant_id=params.get("warrant_id"),
        tool=params.get("tool"),
        request_hash=request_hash.lower() if request_hash is not None else None,
        status=status,
        limit=_query_limit(request, 50),
    )
    return JSONResponse({"requests": records})


async def get_request(request: Request) -> JSONResponse:
    tenant = _tenant(request)
    return JSONResponse(_store(request).get_request(tenant["id"], request.path_params["request_id"]))


async def _approve(request: Request, tenant_id: Optional[str]) -> JSONResponse:
    body = await _json_body(request, optional=True)
    approver = _optional(body, "approver", str, "a public key hex or an approver name")
    request_id = request.path_params["request_id"]
    record = _store(request).approve(tenant_id, request_id, approver or None)
    logger.info("approval request %s signed (%s)", request_id, record["status"])
    return JSONResponse(record)


async def _deny(request: Request, tenant_id: Optional[str]) -> JSONResponse:
    body = await _json_body(request, optional=True)
    reason = _optional(body, "reason", str, "text")
    request_id = request.path_params["request_id"]
    record = _store(request).deny(tenant_id, request_id, reason)
    logger.info("approval request %s denied", request_id)
    return JSONResponse(record)


async def approve_request(request: Request) -> JSONResponse:
    return await _approve(request, _tenant(request, write=True)["id"])


async def deny_request(request: Request) -> JSONResponse:
    return await _deny(request, _tenant(request, write=True)["id"])


async def upload_receipts(request: Request) -> JSONResponse:
    tenant = _tenant(request, write=True)
    receipts = (await _json_body(request)).get("receipts")
    if not isinstance(receipts, list):
        raise bad_request("receipts must be a list", "Send {\"receipts\": [...]}.")
    return JSONResponse({"accepted": _store(request).add_receipts(tenant["id"], receipts)})


async def report_schemas(request: Request) -> JSONResponse:
    tenant = _tenant(request, write=True)
    body = await _json_body(request)
    if not isinstance(body.get("tools"), list):
        raise bad_request("tools must be a list", "Send {\"tools\": [...]} with one entry per tool.")
    return JSONResponse({"accepted": _store(request).add_schema_report(tenant["id"], body)})


async def claim_agent(request: Request) -> JSONResponse:
    tenant = _tenant(request, write=True)
    body = await _json_body(request)
    for key in ("agent_id", "public_key", "registration_token"):
        if not isinstance(body.get(key), str) or not body[key]:
            raise bad_request(f"{key} must be non-empty text")
    try:
        public_key = PublicKey.from_hex(body["public_key"])
    except ValueError as exc:
        raise ApiError(
            400,
            "invalid_public_key",
            f"public_key is not an Ed25519 public key: {exc}",
            "Send the agent's 32-byte Ed25519 public key as hex (ORVEX_AGENT_PUBLIC_KEY).",
        ) from exc
    record = _store(request).claim_agent(
        tenant["id"], body["agent_id"], public_key, body["registration_token"]
    )
    logger.info("agent %s claimed", record["agent_id"])
    return JSONResponse(record)


# -- admin API -------------------------------------------------------------------


def _admin_text(body: Dict[str, Any], key: str, default: Optional[str] = None) -> Optional[str]:
    value = body.get(key, default)
    if value is not None and (not isinstance(value, str) or not value):
        raise bad_request(f"{key} must be non-empty text")
    return value


async def admin_create_key(request: Request) -> JSONResponse:
    _require_admin(request)
    body = await _json_body(request, optional=True)
    record = _store(request).create_api_key(
        _admin_text(body, "tenant", "acme"),
        read_only=bool(body.get("read_only", False)),
        tenant_name=_admin_text(body, "tenant_name"),
    )
    return JSONResponse(record, status_code=201)


async def admin_revoke_key(request: Request) -> JSONResponse:
    _require_admin(request)
    body = await _json_body(request)
    return JSONResponse(_store(request).revoke_api_key(_admin_text(body, "api_key") or ""))


async def admin_approvers(request: Request) -> JSONResponse:
    _require_admin(request)
    store = _store(request)
    if request.method == "GET":
        return JSONResponse({"approvers": store.list_approvers()})
    body = await _json_body(request)
    record, created = store.create_approver(_admin_text(body, "name") or "")
    return JSONResponse(record, status_code=201 if created else 200)


async def admin_connect_token(request: Request) -> JSONResponse:
    _require_admin(request)
    body = await _json_body(request, optional=True)
    store = _store(request)
    tenant = _admin_text(body, "tenant", "acme")
    api_key = _admin_text(body, "api_key") or store.create_api_key(tenant)["api_key"]
    endpoint = _admin_text(body, "endpoint") or request.app.state.base_url
    result: Dict[str, Any] = {"api_key": api_key, "endpoint": endpoint, "agent_id": None, "registration_token": None}
    if body.get("agent"):
        agent, token = store.create_agent(tenant, _admin_text(body, "agent_name"))
        result.update(agent_id=agent["id"], agent_name=agent["name"], registration_token=token)
    result["token"] = encode_connect_token(endpoint, api_key, result["agent_id"], result["registration_token"])
    return JSONResponse(result, status_code=201)


async def admin_agents(request: Request) -> JSONResponse:
    _require_admin(request)
    return JSONResponse({"agents": _store(request).list_agents()})


async def admin_faults(request: Request) -> JSONResponse:
    _require_admin(request)
    injector: FaultInjector = request.app.state.faults
    if request.method == "DELETE":
        return JSONResponse({"cleared": injector.clear()})
    body = await _json_body(request)
    prefix = _admin_text(body, "path_prefix") or ""
    status, count, delay = body.get("status", 500), body.get("count", 1), body.get("delay", 0)
    if status is not None and (not _is_int(status) or not 100 <= status <= 599):
        raise bad_request("status must be an HTTP status code or null (delay only)")
    if not _is_int(count) or count < 1:
        raise bad_request("count must be a positive integer")
    if isinstance(delay, bool) or not isinstance(delay, (int, float)) or delay < 0:
        raise bad_request("delay must be a non-negative number of seconds")
    method = _admin_text(body, "method")
    fault = Fault(
        path_prefix=prefix,
        status=status,
        count=count,
        delay=float(delay),
        method=method.upper() if method else None,
        code=_admin_text(body, "code") or ("injected_fault" if status is None or status >= 500 else "injected_error"),
    )
    return JSONResponse(injector.add(fault), status_code=201)


async def admin_receipts(request: Request) -> JSONResponse:
    _require_admin(request)
    return JSONResponse({"receipts": _store(request).list_receipts(request.query_params.get("tenant"))})


async def admin_schemas(request: Request) -> JSONResponse:
    _require_admin(request)
    return JSONResponse({"schemas": _store(request).list_schema_reports(request.query_params.get("tenant"))})


async def admin_approve(request: Request) -> JSONResponse:
    _require_admin(request)
    return await _approve(request, None)


async def admin_deny(request: Request) -> JSONResponse:
    _require_admin(request)
    return await _deny(request, None)


# -- wiring ----------------------------------------------------------------------


async def _api_error(request: Request, exc: Exception) -> JSONResponse:
    assert isinstance(exc, ApiError)
    return JSONResponse(exc.body(), status_code=exc.status, headers=exc.headers)


_HTTP_CODES = {404: "not_found", 405: "method_not_allowed"}


async def _http_error(request: Request, exc: Exception) -> JSONResponse:
    assert isinstance(exc, HTTPException)
    code = _HTTP_CODES.get(exc.status_code, "http_error")
    return JSONResponse(
        error_body(code, f"{request.method} {request.url.path}: {exc.detail}", "See the Cloud API contract for the paths served."),
        status_code=exc.status_code,
        headers=getattr(exc, "headers", None),
    )


async def _server_error(request: Request, exc: Exception) -> JSONResponse:
    logger.exception("unhandled error on %s %s", request.method, request.url.path)
    return JSONResponse(
        error_body("internal_error", f"internal error: {type(exc).__name__}", "Retry; the server log has details."),
        status_code=500,
    )


def create_app(db_path: str, admin_token: Optional[str], base_url: str) -> Starlette:
    faults = FaultInjector()

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        yield
        app.state.store.close()

    routes = [
        Route("/v1/health", health, methods=["GET"]),
        Route("/v1/tenant", get_tenant, methods=["GET"]),
        Route("/v1/policies", list_policies, methods=["GET"]),
        Route("/v1/schemas", report_schemas, methods=["POST"]),
        Route("/v1/receipts", upload_receipts, methods=["POST"]),
        Route("/v1/agents/claim", claim_agent, methods=["POST"]),
        Route("/v1/approvals/requests", create_request, methods=["POST"]),
        Route("/v1/approvals/requests", list_requests, methods=["GET"]),
        Route("/v1/approvals/requests/{request_id}", get_request, methods=["GET"]),
        Route("/v1/approvals/requests/{request_id}/approve", approve_request, methods=["POST"]),
        Route("/v1/approvals/requests/{request_id}/deny", deny_request, methods=["POST"]),
        Route("/admin/api-keys", admin_create_key, methods=["POST"]),
        Route("/admin/api-keys/revoke", admin_revoke_key, methods=["POST"]),
        Route("/admin/approvers", admin_approvers, methods=["GET", "POST"]),
        Route("/admin/connect-tokens", admin_connect_token, methods=["POST"]),
        Route("/admin/agents", admin_agents, methods=["GET"]),
        Route("/admin/faults", admin_faults, methods=["POST", "DELETE"]),
        Route("/admin/receipts", admin_receipts, methods=["GET"]),
        Route("/admin/schemas", admin_schemas, methods=["GET"]),
        Route("/admin/approvals/requests/{request_id}/approve", admin_approve, methods=["POST"]),
        Route("/admin/approvals/requests/{request_id}/deny", admin_deny, methods=["POST"]),
    ]
    app = Starlette(
        routes=routes,
        middleware=[Middleware(FaultMiddleware, injector=faults)],
        exception_handlers={ApiError: _api_error, HTTPException: _http_error, Exception: _server_error},
        lifespan=lifespan,
    )
    app.state.store = Store(db_path)
    app.state.admin_token = admin_token
    app.state.base_url = base_url.rstrip("/")
    app.state.faults = faults
    return app
