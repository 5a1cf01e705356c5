"""Canonical arguments, request hash and the approval-context attestation.

The request hash is what signed approvals bind to: SHA-256 over the canonical CBOR array
["orvex/approval-request/v1", warrant id, tool, args CBOR, holder key]. The attestation is
the holder's Ed25519 signature over its own fields, so the control plane can show a
reviewer exactly which call it is approving.
"""

from __future__ import annotations

import base64
import hashlib
from typing import Any, Dict, Mapping, Optional, Tuple

import cbor2

from orvex_core._keys import PublicKey, SigningKey

ATTESTATION_VERSION = 1
_REQUEST_DOMAIN = "orvex/approval-request/v1"
_ATTESTATION_DOMAIN = b"orvex/approval-context/v1\x00"
_SIGNED_FIELDS = ("v", "warrant_id", "tool", "holder_key", "args_hash", "request_hash")


def canonical_args_cbor(arguments: Optional[Mapping[str, Any]]) -> bytes:
    """Canonical CBOR of the tool-call arguments (None counts as no arguments)."""
    try:
        return cbor2.dumps({} if arguments is None else arguments, canonical=True)
    except (cbor2.CBOREncodeError, TypeError) as exc:
        raise ValueError(f"arguments cannot be encoded as CBOR: {exc}") from exc


def _key_bytes(key: Any) -> bytes:
    if isinstance(key, PublicKey):
        return key.to_bytes()
    if isinstance(key, (bytes, bytearray)):
        return bytes(key)
    if isinstance(key, str):
        return bytes.fromhex(key)
    raise ValueError(f"holder key must be a PublicKey, bytes or hex text, not {type(key).__name__}")


def compute_request_hash(warrant_id: Any, tool: Any, args_cbor: bytes, holder_key_bytes: bytes) -> bytes:
    encoded = cbor2.dumps(
        [_REQUEST_DOMAIN, str(warrant_id), str(tool), bytes(args_cbor), bytes(holder_key_bytes)],
        canonical=True,
    )
    return hashlib.sha256(encoded).digest()


def _signing_message(fields: Mapping[str, Any]) -> bytes:
    return _ATTESTATION_DOMAIN + cbor2.dumps({k: fields[k] for k in _SIGNED_FIELDS}, canonical=True)


def py_build_approval_context_attestation(
    signing_key: SigningKey, warrant_id: Any, tool: Any, arguments: Optional[Mapping[str, Any]], public_key: Any
) -> Tuple[str, Dict[str, Any]]:
    """Return (standard base64 of the canonical args CBOR, signed attestation mapping)."""
    holder = _key_bytes(public_key)
    if holder != signing_key.public_key.to_bytes():
        raise ValueError("the attestation must be signed by the holder: public_key does not match signing_key")
    args_cbor = canonical_args_cbor(arguments)
    attestation: Dict[str, Any] = {
        "v": ATTESTATION_VERSION,
        "warrant_id": str(warrant_id),
        "tool": str(tool),
        "holder_key": holder.hex(),
        "args_hash": hashlib.sha256(args_cbor).hexdigest(),
        "request_hash": compute_request_hash(warrant_id, tool, args_cbor, holder).hex(),
    }
    attestation["signature"] = signing_key.sign(_signing_message(attestation)).hex()
    return base64.b64encode(args_cbor).decode("ascii"), attestation


def verify_approval_context_attestation(
    attestation: Mapping[str, Any], args_canonical_cbor_b64: Optional[str] = None
) -> bool:
    """True when the holder's signature is valid and, if the args are given, they match."""
    try:
        if attestation.get("v") != ATTESTATION_VERSION:
            return False
        holder = PublicKey.from_hex(attestation["holder_key"])
        signature = bytes.fromhex(attestation["signature"])
        if not holder.verify(signature, _signing_message(attestation)):
            return False
        if args_canonical_cbor_b64 is None:
            return True
        args_cbor = base64.b64decode(args_canonical_cbor_b64, validate=True)
        expected = compute_request_hash(
            attestation["warrant_id"], attestation["tool"], args_cbor, holder.to_bytes()
        )
        return (
            hashlib.sha256(args_cbor).hexdigest() == attestation["args_hash"]
            and expected.hex() == attestation["request_hash"]
        )
    except (KeyError, TypeError, ValueError, AttributeError):
        return False
