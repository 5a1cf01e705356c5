"""Plain-Python approval request payload (baseline for the native `orvex_cloud.petition`)."""

import logging
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

from orvex_cloud.exceptions import OrvexCloudError

logger = logging.getLogger("orvex_cloud.petition")


@dataclass
class ApprovalRequestPayload:
    warrant_id: str
    tool: str
    request_hash: bytes
    holder_key: bytes
    args_canonical_cbor_b64: str
    approval_context_attestation: Dict[str, Any]
    metadata: Optional[Dict[str, Any]] = None
    policy_id: Optional[str] = None
    threshold: Optional[int] = None
    approver_keys: Optional[List[str]] = None
    ttl_seconds: Optional[int] = None
    idempotency_key: Optional[str] = None

    def to_create_request_kwargs(self):
        body = {
            "warrant_id": self.warrant_id,
            "tool": self.tool,
            "request_hash": self.request_hash,
            "holder_key": self.holder_key,
            "args_canonical_cbor_b64": self.args_canonical_cbor_b64,
            "approval_context_attestation": self.approval_context_attestation,
        }
        if self.metadata is not None:
            body["metadata"] = self.metadata
        if self.policy_id:
            body["policy_id"] = self.policy_id
        if self.threshold is not None:
            body["threshold"] = self.threshold
        if self.approver_keys is not None:
            body["approver_keys"] = self.approver_keys
        if self.ttl_seconds is not None:
            body["ttl_seconds"] = self.ttl_seconds
        if self.idempotency_key:
            body["idempotency_key"] = self.idempotency_key
        return body


def build_approval_request_payload(request, *, signing_key=None, policy_id=None, idempotency_key=None):
    holder_key = _resolve_holder_key(request)
    if not holder_key:
        raise OrvexCloudError("request.holder_key is required for cloud approval")
    args_cbor_b64 = getattr(request, "args_canonical_cbor_b64", "") or ""
    context_attestation = dict(getattr(request, "approval_context_attestation", None) or {})
    resolved_key = _resolve_signing_key(signing_key)
    request_hash = b""
    if getattr(request, "request_hash", None) is not None:
        request_hash = _normalize_request_hash(request.request_hash)
    if not args_cbor_b64 or not context_attestation:
        if resolved_key is None:
            raise OrvexCloudError("approval attestation required")
        args_cbor_b64, context_attestation, request_hash = _build_attestation_fields(
            request, signing_key=resolved_key, holder_key=holder_key
        )
    if not request_hash:
        att_hash = context_attestation.get("request_hash")
        if not att_hash:
            raise OrvexCloudError("request_hash could not be resolved for approval request")
        request_hash = bytes.fromhex(str(att_hash))
    approver_keys, threshold, ttl_seconds = _extract_inline_rules(request)
    resolved_policy_id = _extract_policy_id(request, policy_id)
    arguments = getattr(request, "arguments", None)
    return ApprovalRequestPayload(
        warrant_id=str(getattr(request, "warrant_id", "")),
        tool=str(getattr(request, "tool", "")),
        request_hash=request_hash,
        holder_key=holder_key,
        args_canonical_cbor_b64=args_cbor_b64,
        approval_context_attestation=context_attestation,
        metadata=arguments if isinstance(arguments, dict) else None,
        policy_id=resolved_policy_id,
        threshold=threshold,
        approver_keys=approver_keys,
        ttl_seconds=ttl_seconds,
        idempotency_key=idempotency_key or getattr(request, "idempotency_key", None),
    )


def _resolve_holder_key(request):
    hk = getattr(request, "holder_key", None)
    if hk is None:
        return b""
    if isinstance(hk, (bytes, bytearray)):
        return bytes(hk)
    if isinstance(hk, str):
        return bytes.fromhex(hk)
    to_bytes = getattr(hk, "to_bytes", None)
    return bytes(to_bytes()) if callable(to_bytes) else b""


def _resolve_signing_key(explicit=None):
    if explicit is not None:
        return explicit
    try:
        from orvex.decorators import key_scope

        return key_scope()
    except ImportError:
        return None
    except Exception as exc:
        logger.debug("key_scope unavailable: %s", exc)
        return None


def _normalize_request_hash(value):
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    if isinstance(value, str):
        return bytes.fromhex(value)
    raise OrvexCloudError("request.request_hash must be bytes or hex string")


def _extract_policy_id(request, override=None):
    if override:
        return override
    for attr in ("policy_id", "policy_ref"):
        val = getattr(request, attr, None)
        if isinstance(val, str) and val:
            return val
    return None


def _extract_inline_rules(request):
    approver_keys_hex = None
    required = getattr(request, "required_approvers", None)
    if required:
        approver_keys_hex = [k.hex() if isinstance(k, (bytes, bytearray)) else str(k) for k in required]
    threshold = getattr(request, "min_approvals", None)
    ttl_seconds = getattr(request, "ttl_seconds", None)
    if ttl_seconds is None:
        gate_ttl = getattr(request, "gate_ttl", None)
        if gate_ttl is not None:
            ttl_seconds = int(gate_ttl)
    return approver_keys_hex, threshold, ttl_seconds


def _build_attestation_fields(request, *, signing_key, holder_key):
    from orvex_core import py_build_approval_context_attestation

    args_b64, attestation = py_build_approval_context_attestation(
        signing_key, request.warrant_id, request.tool, request.arguments, signing_key.public_key
    )
    attestation_dict = dict(attestation)
    raw = getattr(request, "request_hash", b"")
    request_hash = _normalize_request_hash(b"" if raw is None else raw)
    att_hash = attestation_dict.get("request_hash")
    if att_hash:
        try:
            request_hash = bytes.fromhex(str(att_hash))
        except (ValueError, TypeError):
            pass
    return args_b64, attestation_dict, request_hash
