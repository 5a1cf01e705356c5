"""Records exchanged with the Orvex Cloud API: Quick Connect bootstrap records and approval records."""

from dataclasses import dataclass as dataclass
from dataclasses import field as field
from typing import Any, Dict, List, Mapping, Optional, Type, TypeVar

from orvex_cloud.redaction import redact_dict as redact_dict
from orvex_cloud.redaction import redact_text as redact_text

_TokenPayload = TypeVar("_TokenPayload", bound="ConnectTokenPayload")
_Claim = TypeVar("_Claim", bound="ClaimAgentResult")
_Response = TypeVar("_Response", bound="ApprovalResponseRecord")
_Request = TypeVar("_Request", bound="ApprovalRequestRecord")
_Policy = TypeVar("_Policy", bound="ApprovalPolicyRecord")

@dataclass(frozen=True)
class ConnectTokenPayload:
    """Decoded Quick Connect token payload."""

    endpoint: str
    api_key: str
    agent_id: str = ""
    registration_token: str = ""
    version: int = 1
    @classmethod
    def from_dict(cls: Type[_TokenPayload], data: Mapping[str, Any]) -> _TokenPayload: ...

@dataclass
class ConnectConfig:
    """Resolved configuration from a Quick Connect token."""

    api_base_url: str
    api_key: str
    agent_id: Optional[str] = None
    registration_token: Optional[str] = None
    @property
    def is_agent_mode(self) -> bool: ...
    def redacted_dict(self) -> Dict[str, Any]: ...

@dataclass
class BootstrapCheck:
    """A single Quick Connect / SDK bootstrap verification check."""

    name: str
    status: str
    message: str
    remediation: str = ""
    raw: Dict[str, Any] = field(default_factory=dict, repr=False)
    @property
    def ok(self) -> bool: ...
    @property
    def warning(self) -> bool: ...
    def redacted_dict(self) -> Dict[str, Any]: ...

@dataclass
class ClaimAgentResult:
    """Result of POST /v1/agents/claim."""

    agent_id: str
    name: str
    status: str
    key_id: str = ""
    registered_at: Optional[str] = None
    raw: Dict[str, Any] = field(default_factory=dict, repr=False)
    @classmethod
    def from_dict(cls: Type[_Claim], data: Mapping[str, Any]) -> _Claim: ...
    def redacted_dict(self) -> Dict[str, Any]: ...

@dataclass
class BootstrapReport:
    """Result from ``orvex_cloud.doctor()``."""

    ok: bool
    config: ConnectConfig
    checks: List[BootstrapCheck]
    claimed_agent: Optional[ClaimAgentResult] = None
    def raise_for_error(self) -> BootstrapReport: ...
    def redacted_dict(self) -> Dict[str, Any]: ...

@dataclass
class ApprovalResponseRecord:
    """A single approver response on an approval request."""

    approver_key: str
    signed_approval: str
    external_id: str = ""
    received_at: Optional[str] = None
    @classmethod
    def from_dict(cls: Type[_Response], data: Mapping[str, Any]) -> _Response: ...

@dataclass
class ApprovalRequestRecord:
    """Approval request returned by the Orvex Cloud API."""

    id: str
    status: str
    warrant_id: str
    tool: str
    policy_id: Optional[str] = None
    threshold: Optional[int] = None
    denied_reason: Optional[str] = None
    expires_at: Optional[str] = None
    responses: List[ApprovalResponseRecord] = field(default_factory=list)
    raw: Dict[str, Any] = field(default_factory=dict, repr=False)
    @classmethod
    def from_dict(cls: Type[_Request], data: Mapping[str, Any]) -> _Request: ...

@dataclass
class ApprovalPolicyRecord:
    """Approval policy returned by the Orvex Cloud API."""

    id: str
    name: str
    tool_pattern: str
    threshold: int
    approver_keys: List[str]
    ttl_seconds: int = 300
    enabled: bool = True
    raw: Dict[str, Any] = field(default_factory=dict, repr=False)
    @classmethod
    def from_dict(cls: Type[_Policy], data: Mapping[str, Any]) -> _Policy: ...
