"""The control plane's answer to an approval request, as signed approvals."""

from __future__ import annotations

import base64
import binascii
from dataclasses import dataclass
from typing import List, Optional

from orvex_core import SignedApproval


@dataclass
class ControlPlaneApprovalResponseV1:
    status: str
    signed_approvals_b64: Optional[List[str]] = None


def signed_approvals_from_response(response: ControlPlaneApprovalResponseV1) -> List[SignedApproval]:
    """Decode each strict standard-base64 text into a SignedApproval (ValueError if malformed)."""
    approvals: List[SignedApproval] = []
    for index, text in enumerate(response.signed_approvals_b64 or ()):
        if not isinstance(text, (str, bytes)):
            raise ValueError(f"signed approval #{index} must be base64 text, not {type(text).__name__}")
        try:
            raw = base64.b64decode(text, validate=True)
        except binascii.Error as exc:
            raise ValueError(f"signed approval #{index} is not valid base64: {exc}") from exc
        approvals.append(SignedApproval.from_bytes(raw))
    return approvals
