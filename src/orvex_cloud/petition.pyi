"""Approval request payload: the body of a cloud approval request."""

import logging
from dataclasses import dataclass as dataclass
from typing import Any, Dict, List, Optional, Tuple

from orvex_cloud.exceptions import OrvexCloudError as OrvexCloudError

logger: logging.Logger

@dataclass
class ApprovalRequestPayload:
    """Fully populated body for POST /v1/approvals/requests."""

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
    def to_create_request_kwargs(self) -> Dict[str, Any]: ...

def build_approval_request_payload(
    request: Any,
    *,
    signing_key: Any = None,
    policy_id: Optional[str] = None,
    idempotency_key: Optional[str] = None,
) -> ApprovalRequestPayload: ...
def _resolve_holder_key(request: Any) -> bytes: ...
def _resolve_signing_key(explicit: Any = None) -> Any: ...
def _normalize_request_hash(value: Any) -> bytes: ...
def _extract_policy_id(request: Any, override: Optional[str] = None) -> Optional[str]: ...
def _extract_inline_rules(request: Any) -> Tuple[Optional[List[str]], Any, Optional[int]]: ...
def _build_attestation_fields(
    request: Any, *, signing_key: Any, holder_key: bytes
) -> Tuple[str, Dict[str, Any], bytes]: ...
