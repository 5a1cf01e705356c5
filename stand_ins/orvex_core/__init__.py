"""Stand-in of the core library's native module (tests and demo only, never shipped)."""

from orvex_core._approval import SignedApproval
from orvex_core._attestation import (
    ATTESTATION_VERSION,
    canonical_args_cbor,
    compute_request_hash,
    py_build_approval_context_attestation,
    verify_approval_context_attestation,
)
from orvex_core._keys import PublicKey, SigningKey

__all__ = [
    "ATTESTATION_VERSION",
    "PublicKey",
    "SignedApproval",
    "SigningKey",
    "canonical_args_cbor",
    "compute_request_hash",
    "py_build_approval_context_attestation",
    "verify_approval_context_attestation",
]
