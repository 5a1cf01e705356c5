"""Errors that the HTTP layer turns into the Cloud API's JSON error bodies."""

from __future__ import annotations

from typing import Any, Dict, Optional


class ApiError(Exception):
    def __init__(
        self,
        status: int,
        code: str,
        message: str,
        remediation: str = "",
        headers: Optional[Dict[str, str]] = None,
    ) -> None:
        super().__init__(message)
        self.status = status
        self.code = code
        self.message = message
        self.remediation = remediation
        self.headers = headers or {}

    def body(self) -> Dict[str, Any]:
        return error_body(self.code, self.message, self.remediation)


def error_body(code: str, message: str, remediation: str = "") -> Dict[str, Any]:
    return {"error": {"code": code, "message": message, "remediation": remediation}}


def bad_request(message: str, remediation: str = "") -> ApiError:
    return ApiError(
        400,
        "validation_error",
        message,
        remediation or "Fix the request body as the message says and send it again.",
    )
