"""Error types raised by the Orvex Cloud API client and the approval integrations.

Every error is an :class:`OrvexCloudError`; the subclasses say what kind of failure it was so
callers can branch with ``except`` clauses instead of comparing status codes. All errors survive
pickling (they cross process boundaries in worker pools).
"""

from __future__ import annotations

from typing import Any, Optional, Tuple

__all__ = [
    "OrvexCloudError",
    "AuthenticationError",
    "NotFoundError",
    "ConflictError",
    "RateLimitError",
    "ServerError",
    "TransportError",
    "ApprovalDeniedError",
    "ApprovalExpiredError",
    "ApprovalTimeoutError",
]


class OrvexCloudError(Exception):
    """Base error of Orvex Cloud; ``str()`` is the message, details sit in attributes."""

    message: str
    status_code: Optional[int]
    code: Optional[str]
    remediation: str
    body: Any

    def __init__(
        self,
        message: str,
        *,
        status_code: Optional[int] = None,
        code: Optional[str] = None,
        remediation: Optional[str] = "",
        body: Any = None,
    ) -> None:
        super().__init__(message)
        self.message = message
        self.status_code = status_code
        self.code = code
        self.remediation = remediation or ""
        self.body = body

    def __str__(self) -> str:
        return str(self.message)

    def __reduce__(self) -> Tuple[Any, ...]:
        # Keyword-only fields are restored from the instance dict, so subclasses that keep the
        # (message, **kwargs) constructor pickle without further work.
        return (type(self), (self.message,), dict(self.__dict__))


class AuthenticationError(OrvexCloudError):
    """Orvex Cloud rejected the credentials (HTTP 401 or 403)."""


class NotFoundError(OrvexCloudError):
    """The requested Orvex Cloud resource does not exist (HTTP 404)."""


class ConflictError(OrvexCloudError):
    """The request conflicts with the resource's current state (HTTP 409)."""


class RateLimitError(OrvexCloudError):
    """Orvex Cloud is throttling this client (HTTP 429); ``retry_after`` is in seconds or None."""

    retry_after: Optional[float]

    def __init__(self, message: str, *, retry_after: Optional[float] = None, **kwargs: Any) -> None:
        super().__init__(message, **kwargs)
        self.retry_after = retry_after


class ServerError(OrvexCloudError):
    """Orvex Cloud failed to serve the request (HTTP 5xx)."""


class TransportError(OrvexCloudError):
    """No HTTP answer arrived: connection refused or reset, timeout, or protocol failure."""


class ApprovalDeniedError(OrvexCloudError):
    """A reviewer denied the approval request."""


class ApprovalExpiredError(OrvexCloudError):
    """The approval request expired before a reviewer decided."""


class ApprovalTimeoutError(OrvexCloudError):
    """The approval request was still pending when the caller stopped waiting."""

    request_id: str
    timeout: float

    def __init__(self, request_id: str, timeout: float) -> None:
        super().__init__(
            f"approval request {request_id} still pending after {timeout}s",
            code="approval_timeout",
            remediation="Ask a reviewer to decide in the Orvex Cloud dashboard, or wait longer.",
        )
        self.request_id = request_id
        self.timeout = timeout

    def __reduce__(self) -> Tuple[Any, ...]:
        return (type(self), (self.request_id, self.timeout), dict(self.__dict__))
