"""Approval path: payload building, signed-approval extraction and the coroutine bridge, each
against a plain-Python implementation of the same steps measured in the same run."""

import base64
import dataclasses
import re
import types
from typing import Any, Dict, List, Optional

from _timing import compare
from orvex.approval import ApprovalRequest
from orvex.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response
from orvex_core import SignedApproval, SigningKey

from orvex_cloud import _bridge, approval, petition
from orvex_cloud.exceptions import OrvexCloudError


# ---- plain-Python baselines ---------------------------------------------------------------


@dataclasses.dataclass
class Payload:
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


def python_build(request, *, signing_key=None, policy_id=None, idempotency_key=None):
    hk = getattr(request, "holder_key", None)
    holder_key = bytes(hk) if isinstance(hk, (bytes, bytearray)) else bytes.fromhex(hk) if isinstance(hk, str) else b""
    if not holder_key:
        raise OrvexCloudError("request.holder_key is required")
    args = getattr(request, "args_canonical_cbor_b64", "") or ""
    attestation = dict(getattr(request, "approval_context_attestation", None) or {})
    try:
        from orvex.decorators import key_scope

        key_scope()
    except ImportError:
        pass
    rh = getattr(request, "request_hash", None)
    request_hash = bytes(rh) if isinstance(rh, (bytes, bytearray)) else bytes.fromhex(rh) if rh else b""
    if not args or not attestation:
        raise OrvexCloudError("approval attestation required")
    approvers = getattr(request, "required_approvers", None)
    keys = [k.hex() if isinstance(k, (bytes, bytearray)) else str(k) for k in approvers] if approvers else None
    ttl = getattr(request, "ttl_seconds", None)
    if ttl is None and getattr(request, "gate_ttl", None) is not None:
        ttl = int(request.gate_ttl)
    policy = policy_id
    if not policy:
        for attr in ("policy_id", "policy_ref"):
            value = getattr(request, attr, None)
            if isinstance(value, str) and value:
                policy = value
                break
    arguments = getattr(request, "arguments", None)
    return Payload(
        str(getattr(request, "warrant_id", "")), str(getattr(request, "tool", "")), request_hash, holder_key,
        args, attestation, arguments if isinstance(arguments, dict) else None, policy,
        getattr(request, "min_approvals", None), keys, ttl,
        idempotency_key or getattr(request, "idempotency_key", None),
    )


HEX = re.compile("^[0-9a-fA-F]+$")


def python_extract(result):
    signed = []
    for r in result.get("responses", []):
        raw = r.get("signed_approval")
        if not raw:
            continue
        if HEX.match(raw) and len(raw) % 2 == 0:
            signed.append(base64.b64encode(bytes.fromhex(raw)).decode())
            continue
        base64.b64decode(raw, validate=True)
        signed.append(raw)
    approvals = signed_approvals_from_response(
        ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=signed or None)
    )
    return approvals[0] if len(approvals) == 1 else approvals


@types.coroutine
def ready(value):
    return value
    yield  # pragma: no cover - makes this a generator


async def python_await_each(awaitables):
    return [await a for a in awaitables]


def drive(coro):
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("did not finish")


def main():
    holder, approver = SigningKey.generate(), SigningKey.generate()
    request = ApprovalRequest.for_call(
        holder, warrant_id="w-1", tool="transfer", arguments={"to": "acct", "amount": 5},
        required_approvers=[approver.public_key.to_bytes()], min_approvals=1, ttl_seconds=600,
    )
    signed = SignedApproval.create(approver, request.request_hash).to_bytes()
    result = {"status": "approved", "responses": [{"signed_approval": signed.hex()},
                                                   {"signed_approval": base64.b64encode(signed).decode()}]}
    assert python_extract(result)[0].to_bytes() == approval._extract_signed_approvals(result)[0].to_bytes()
    assert python_build(request).to_create_request_kwargs().keys() == \
        petition.build_approval_request_payload(request).to_create_request_kwargs().keys()

    compare("build payload + body", lambda: petition.build_approval_request_payload(request).to_create_request_kwargs(),
            lambda: python_build(request).to_create_request_kwargs())
    compare("extract two signed approvals", lambda: approval._extract_signed_approvals(result),
            lambda: python_extract(result))
    compare("coroutine awaiting 10 ready awaitables",
            lambda: drive(_bridge._await_each([ready(i) for i in range(10)])),
            lambda: drive(python_await_each([ready(i) for i in range(10)])))


if __name__ == "__main__":
    main()
