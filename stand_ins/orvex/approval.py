"""The approval request handed to approval handlers, and the denial they raise."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Mapping, Optional

from orvex.exceptions import OrvexError


class ApprovalDenied(OrvexError):
    """Raised by an approval handler to refuse a tool call."""

    def __init__(self, request: Any, reason: Optional[str] = None) -> None:
        self.request = request
        self.reason = reason if reason is not None else "approval denied"
        super().__init__(self.reason)

    def __str__(self) -> str:
        return str(self.reason)


def _key_to_bytes(key: Any) -> Any:
    # Key objects become raw bytes, the form the core library hands to handlers.
    to_bytes = getattr(key, "to_bytes", None)
    if callable(to_bytes) and not isinstance(key, (bytes, bytearray, int)):
        return bytes(to_bytes())
    return key


@dataclass
class ApprovalRequest:
    tool: str
    warrant_id: str
    arguments: Optional[Mapping[str, Any]]
    holder_key: Optional[bytes] = None
    request_hash: Optional[bytes] = None
    args_canonical_cbor_b64: Optional[str] = None
    approval_context_attestation: Optional[Dict[str, Any]] = None
    required_approvers: Optional[List[Any]] = None
    min_approvals: Optional[int] = None
    ttl_seconds: Optional[int] = None
    gate_ttl: Optional[int] = None
    policy_id: Optional[str] = None
    policy_ref: Optional[str] = None
    idempotency_key: Optional[str] = None
    request_id: Optional[str] = None

    @classmethod
    def for_call(
        cls,
        signing_key: Any,
        *,
        warrant_id: str,
        tool: str,
        arguments: Optional[Mapping[str, Any]],
        required_approvers: Optional[Iterable[Any]] = None,
        min_approvals: Optional[int] = None,
        ttl_seconds: Optional[int] = None,
        gate_ttl: Optional[int] = None,
        policy_id: Optional[str] = None,
        policy_ref: Optional[str] = None,
        idempotency_key: Optional[str] = None,
        request_id: Optional[str] = None,
    ) -> "ApprovalRequest":
        """The request the core library builds when a gated call by `signing_key`'s holder stops."""
        from orvex_core import py_build_approval_context_attestation

        args_b64, attestation = py_build_approval_context_attestation(
            signing_key, warrant_id, tool, arguments, signing_key.public_key
        )
        return cls(
            tool=tool,
            warrant_id=warrant_id,
            arguments=arguments,
            holder_key=signing_key.public_key.to_bytes(),
            request_hash=bytes.fromhex(attestation["request_hash"]),
            args_canonical_cbor_b64=args_b64,
            approval_context_attestation=attestation,
            required_approvers=(
                None if required_approvers is None else [_key_to_bytes(k) for k in required_approvers]
            ),
            min_approvals=min_approvals,
            ttl_seconds=ttl_seconds,
            gate_ttl=gate_ttl,
            policy_id=policy_id,
            policy_ref=policy_ref,
            idempotency_key=idempotency_key,
            request_id=request_id,
        )
