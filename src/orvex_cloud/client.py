"""HTTP clients for the Orvex Cloud API.

:class:`OrvexCloudClient` (blocking, over ``httpx.Client``) and :class:`AsyncOrvexCloudClient`
(awaited, over ``httpx.AsyncClient``) offer the same operations. Both build requests and read
responses through the module-level helpers below, so only the I/O call differs between them.

The clients never retry: every failure is raised at once as an
:class:`~orvex_cloud.exceptions.OrvexCloudError` subclass and the caller decides what to do.
"""

from __future__ import annotations

import email.utils
import json as _json
import logging
import math
import re
import time
from collections.abc import Iterable, Mapping
from typing import Any, Dict, NamedTuple, Optional, Tuple, Type, Union
from urllib.parse import quote

import httpx

from orvex_cloud import __version__
from orvex_cloud.exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    AuthenticationError,
    ConflictError,
    NotFoundError,
    OrvexCloudError,
    RateLimitError,
    ServerError,
    TransportError,
)

__all__ = [
    "DEFAULT_BASE_URL",
    "DEFAULT_DASHBOARD_URL",
    "DEFAULT_TIMEOUT",
    "OrvexCloudClient",
    "AsyncOrvexCloudClient",
]

logger = logging.getLogger("orvex_cloud.client")

DEFAULT_BASE_URL = "https://api.orvex.cloud"
"""Cloud API origin used when no ``base_url`` is given."""

DEFAULT_DASHBOARD_URL = "https://app.orvex.cloud"
"""Dashboard origin that approval links point reviewers at."""

DEFAULT_TIMEOUT = 30.0
"""Seconds a request may take (connect, read, write and pool each) before it fails."""

_API_ROOT = "/v1/"
_USER_AGENT = f"orvex-cloud-python/{__version__}"

_AUTH_REMEDIATION = (
    "Check that ORVEX_API_KEY holds a valid, unrevoked Orvex Cloud API key for this tenant."
)
_RATE_LIMIT_REMEDIATION = "Retry later; Orvex Cloud is limiting the request rate of this API key."
_SERVER_REMEDIATION = "Retry later; if the error persists, contact Orvex Cloud support."
_IDENTIFIER = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")
_SNIPPET_LIMIT = 200

Timeout = Union[float, int, httpx.Timeout, None]
QueryValue = Union[str, int, float, bool, bytes, None]


# --------------------------------------------------------------------------- request building


def _resolve_base_url(base_url: Optional[str]) -> str:
    """Return the API origin without trailing "/"; None or blank text means the default."""
    if base_url is None:
        return DEFAULT_BASE_URL
    if not isinstance(base_url, str):
        raise TypeError(f"base_url must be a str or None, not {type(base_url).__name__}")
    text = base_url.strip().rstrip("/")
    if not text:
        return DEFAULT_BASE_URL
    try:
        url = httpx.URL(text)
    except httpx.InvalidURL as exc:
        raise ValueError(f"base_url {text!r} is not a valid URL: {exc}") from exc
    if url.scheme not in ("http", "https") or not url.host:
        raise ValueError(
            f"base_url {text!r} must be an http:// or https:// URL such as {DEFAULT_BASE_URL!r}"
        )
    if url.query or url.fragment:
        raise ValueError(f"base_url {text!r} must not carry a query or fragment")
    return text


def _check_api_key(api_key: Any) -> str:
    if not isinstance(api_key, str):
        raise TypeError(f"api_key must be a str, not {type(api_key).__name__}")
    if not api_key.strip():
        raise ValueError("api_key is empty; set ORVEX_API_KEY or pass the Orvex Cloud API key")
    if any(ch.isspace() or not ch.isprintable() for ch in api_key):
        # A pasted key often drags a newline along; fail here rather than as an HTTP error.
        raise ValueError("api_key contains white space or control characters; check ORVEX_API_KEY")
    return api_key


def _build_timeout(timeout: Timeout) -> httpx.Timeout:
    if isinstance(timeout, httpx.Timeout):
        return timeout
    if timeout is None:
        return httpx.Timeout(None)
    if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
        raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
    if not timeout > 0 or math.isinf(timeout):
        raise ValueError(f"timeout must be a positive, finite number of seconds, not {timeout!r}")
    return httpx.Timeout(float(timeout))


def _format_key_path(path: Tuple[Union[str, int], ...]) -> str:
    out = ""
    for part in path:
        if isinstance(part, int):
            out += f"[{part}]"
        elif _IDENTIFIER.match(part):
            out += f".{part}" if out else part
        else:
            out += f"[{part!r}]"
    return out or "<body>"


def _encode_value(value: Any, path: Tuple[Union[str, int], ...], active: Tuple[int, ...]) -> Any:
    """Turn ``value`` into data ``json`` can carry: bytes become hex, tuples and sets lists."""
    if value is None or isinstance(value, (str, bool, int)):
        return value
    if isinstance(value, float):
        if math.isnan(value) or math.isinf(value):
            raise OrvexCloudError(
                f"cannot send {value!r} at {_format_key_path(path)}: JSON has no NaN or Infinity",
                code="invalid_request",
            )
        return value
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value).hex()
    if isinstance(value, (Mapping, list, tuple, set, frozenset)):
        if id(value) in active:
            raise OrvexCloudError(
                f"cannot send a circular reference at {_format_key_path(path)}",
                code="invalid_request",
            )
        active = active + (id(value),)
        if isinstance(value, Mapping):
            encoded: Dict[str, Any] = {}
            for key, item in value.items():
                if not isinstance(key, str):
                    raise OrvexCloudError(
                        f"cannot send key {key!r} of type {type(key).__name__} at "
                        f"{_format_key_path(path)}: JSON object keys must be str",
                        code="invalid_request",
                    )
                encoded[key] = _encode_value(item, path + (key,), active)
            return encoded
        items = [_encode_value(item, path + (i,), active) for i, item in enumerate(value)]
        if isinstance(value, (set, frozenset)):
            # Sets have no order; sorting keeps identical bodies byte-identical.
            try:
                items.sort()
            except TypeError:
                pass
        return items
    raise OrvexCloudError(
        f"cannot send a value of type {type(value).__name__} at {_format_key_path(path)} as JSON",
        code="invalid_request",
    )


def _encode_body(body: Any) -> bytes:
    """Serialise a request body to compact UTF-8 JSON, with bytes values as lower-case hex."""
    encoded = _encode_value(body, (), ())
    return _json.dumps(encoded, ensure_ascii=False, separators=(",", ":"), allow_nan=False).encode(
        "utf-8"
    )


def _encode_params(params: Optional[Mapping[str, Any]]) -> Optional[Dict[str, Any]]:
    """Drop None values from a query; bytes become hex like in bodies."""
    if params is None:
        return None
    if not isinstance(params, Mapping):
        raise TypeError(f"params must be a mapping, not {type(params).__name__}")
    query: Dict[str, Any] = {}
    for key, value in params.items():
        if value is None:
            continue
        if isinstance(value, (bytes, bytearray, memoryview)):
            value = bytes(value).hex()
        elif isinstance(value, bool):
            value = "true" if value else "false"
        elif not isinstance(value, (str, int, float)):
            raise OrvexCloudError(
                f"cannot send query parameter {key!r} of type {type(value).__name__}",
                code="invalid_request",
            )
        query[key] = value
    return query


def _relative_path(path: str) -> str:
    if not isinstance(path, str):
        raise TypeError(f"path must be a str, not {type(path).__name__}")
    rel = path.lstrip("/")
    # An absolute URL here would carry the bearer token to another host.
    if "://" in rel or path.startswith("//") or not rel:
        raise ValueError(f"path must be relative to the API root {_API_ROOT!r}, not {path!r}")
    return rel


def _segment(name: str, value: Any) -> str:
    """Quote one path segment so an id cannot step outside its collection."""
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    if not value:
        raise ValueError(f"{name} must not be empty")
    return quote(value, safe="")


def _check_limit(limit: Optional[int]) -> Optional[int]:
    if limit is None:
        return None
    if isinstance(limit, bool) or not isinstance(limit, int):
        raise TypeError(f"limit must be an int or None, not {type(limit).__name__}")
    if limit < 1:
        raise ValueError(f"limit must be at least 1, not {limit}")
    return limit


class _Prepared(NamedTuple):
    method: str
    path: str
    content: Optional[bytes]
    params: Optional[Dict[str, Any]]
    headers: Optional[Dict[str, str]]


def _prepare(
    method: str, path: str, json: Any = None, params: Optional[Mapping[str, Any]] = None
) -> _Prepared:
    if not isinstance(method, str) or not method.strip():
        raise ValueError(f"method must be an HTTP method name, not {method!r}")
    content = None if json is None else _encode_body(json)
    headers = None if content is None else {"Content-Type": "application/json"}
    return _Prepared(method.strip().upper(), _relative_path(path), content, _encode_params(params), headers)


class _Call(NamedTuple):
    """One API operation: what to send, independent of how it is sent."""

    method: str
    path: str
    json: Any = None
    params: Optional[Mapping[str, Any]] = None


def _create_request_call(body: Mapping[str, Any]) -> _Call:
    return _Call("POST", "approvals/requests", json=dict(body))


def _get_request_call(request_id: str) -> _Call:
    return _Call("GET", f"approvals/requests/{_segment('request_id', request_id)}")


def _list_requests_call(
    warrant_id: Optional[str],
    tool: Optional[str],
    request_hash: Union[str, bytes, None],
    status: Optional[str],
    limit: Optional[int],
) -> _Call:
    params = {
        "warrant_id": warrant_id,
        "tool": tool,
        "request_hash": request_hash,
        "status": status,
        "limit": _check_limit(limit),
    }
    return _Call("GET", "approvals/requests", params=params)


def _list_policies_call(limit: Optional[int]) -> _Call:
    return _Call("GET", "policies", params={"limit": _check_limit(limit)})


def _upload_receipts_call(receipts: Iterable[Any]) -> _Call:
    if isinstance(receipts, (str, bytes, bytearray, memoryview, Mapping)) or not isinstance(
        receipts, Iterable
    ):
        raise TypeError(
            f"receipts must be a list of receipts, not {type(receipts).__name__}; "
            "wrap a single receipt in a list"
        )
    return _Call("POST", "receipts", json={"receipts": list(receipts)})


def _approve_call(request_id: str, approver: Any) -> _Call:
    body: Dict[str, Any] = {}
    if approver is not None:
        if hasattr(approver, "to_bytes") and not isinstance(approver, (bytes, bytearray, memoryview)):
            approver = approver.to_bytes()  # a public key object
        body["approver"] = approver
    return _Call("POST", f"approvals/requests/{_segment('request_id', request_id)}/approve", json=body)


def _deny_call(request_id: str, reason: Optional[str]) -> _Call:
    body: Dict[str, Any] = {} if reason is None else {"reason": reason}
    return _Call("POST", f"approvals/requests/{_segment('request_id', request_id)}/deny", json=body)


_HEALTH = _Call("GET", "health")
_TENANT = _Call("GET", "tenant")


# --------------------------------------------------------------------------- response handling


def _snippet(text: str) -> str:
    text = " ".join(text.split())
    return text if len(text) <= _SNIPPET_LIMIT else text[: _SNIPPET_LIMIT - 3] + "..."


def _request_label(resp: httpx.Response) -> str:
    try:
        request = resp.request
    except RuntimeError:  # a response built by hand has no request
        return ""
    return f"{request.method} {request.url.path}"


def _decode_error_body(resp: httpx.Response) -> Any:
    try:
        return resp.json()
    except ValueError:
        return resp.text


def _error_fields(body: Any) -> Tuple[Optional[str], str, str]:
    """Pull (code, message, remediation) out of an error body, tolerating foreign shapes."""
    code: Optional[str] = None
    message = ""
    remediation = ""
    if isinstance(body, Mapping):
        error = body.get("error")
        if isinstance(error, Mapping):
            code = error.get("code") if isinstance(error.get("code"), str) else None
            message = error.get("message") if isinstance(error.get("message"), str) else ""
            remediation = (
                error.get("remediation") if isinstance(error.get("remediation"), str) else ""
            )
        elif isinstance(error, str):
            message = error
        if not message:
            for key in ("message", "detail"):
                if isinstance(body.get(key), str):
                    message = body[key]
                    break
        if code is None and isinstance(body.get("code"), str):
            code = body["code"]
    elif isinstance(body, str):
        message = _snippet(body)
    return code, message.strip(), remediation.strip()


def _retry_after(resp: httpx.Response) -> Optional[float]:
    value = resp.headers.get("Retry-After")
    if not value:
        return None
    value = value.strip()
    try:
        seconds = float(value)
    except ValueError:
        try:
            when = email.utils.parsedate_to_datetime(value)
        except (TypeError, ValueError):
            return None
        if when is None:
            return None
        seconds = when.timestamp() - time.time()
    if math.isnan(seconds):
        return None
    return max(0.0, seconds)


def _with_hint(remediation: str, hint: str) -> str:
    if not remediation:
        return hint
    if hint in remediation:
        return remediation
    return f"{remediation} {hint}"


def _error_for_status(resp: httpx.Response) -> OrvexCloudError:
    status = resp.status_code
    body = _decode_error_body(resp)
    code, detail, remediation = _error_fields(body)
    label = _request_label(resp)
    suffix = f" ({label})" if label else ""

    # Decisions on an approval read as reasons to the agent, so they keep the bare server text.
    if code == "approval_denied":
        return ApprovalDeniedError(
            detail or "approval request denied",
            status_code=status, code=code, remediation=remediation, body=body,
        )
    if code == "approval_expired":
        return ApprovalExpiredError(
            detail or "approval request expired",
            status_code=status, code=code, remediation=remediation, body=body,
        )

    if not detail:
        detail = resp.reason_phrase or "no details given"
    cls: Type[OrvexCloudError] = OrvexCloudError
    extra: Dict[str, Any] = {}
    if status in (401, 403):
        cls = AuthenticationError
        headline = (
            "Orvex Cloud rejected the API key"
            if status == 401
            else "Orvex Cloud denied this API key access"
        )
        default_code = "unauthorized" if status == 401 else "forbidden"
        remediation = _with_hint(remediation, _AUTH_REMEDIATION)
    elif status == 404:
        cls, headline, default_code = NotFoundError, "Orvex Cloud found no such resource", "not_found"
    elif status == 409:
        cls, headline, default_code = ConflictError, "Orvex Cloud reported a conflict", "conflict"
    elif status == 429:
        cls, headline, default_code = RateLimitError, "Orvex Cloud rate limit reached", "rate_limited"
        retry_after = _retry_after(resp)
        extra["retry_after"] = retry_after
        hint = _RATE_LIMIT_REMEDIATION
        if retry_after is not None:
            hint = f"Retry after {retry_after:g} seconds; Orvex Cloud is limiting the request rate of this API key."
        remediation = _with_hint(remediation, hint)
    elif status >= 500:
        cls, headline, default_code = ServerError, "Orvex Cloud server error", "server_error"
        remediation = remediation or _SERVER_REMEDIATION
    elif status >= 400:
        headline, default_code = "Orvex Cloud rejected the request", f"http_{status}"
    else:
        location = resp.headers.get("Location")
        headline, default_code = "Orvex Cloud answered with an unexpected status", f"http_{status}"
        if location:
            detail = f"{detail}, redirect to {location}"
        remediation = remediation or (
            "Check that ORVEX_CONTROL_PLANE_URL is the exact Cloud API origin (scheme included)."
        )

    return cls(
        f"{headline} (HTTP {status}): {detail}{suffix}",
        status_code=status,
        code=code or default_code,
        remediation=remediation,
        body=body,
        **extra,
    )


def _handle_response(resp: httpx.Response) -> Any:
    """Return the decoded JSON body of a 2xx response; raise the matching error otherwise.

    A 204 answer returns None. Error statuses raise an :class:`OrvexCloudError` subclass (see
    ``docs/CLOUD_API.md`` for the mapping); a 2xx body that is not JSON raises
    :class:`OrvexCloudError` with code ``"invalid_response"``.
    """
    if not isinstance(resp, httpx.Response):
        raise TypeError(f"expected an httpx.Response, not {type(resp).__name__}")
    if not 200 <= resp.status_code < 300:
        raise _error_for_status(resp)
    if resp.status_code == 204:
        return None
    try:
        return resp.json()
    except ValueError as exc:
        label = _request_label(resp)
        content_type = resp.headers.get("Content-Type", "no content type")
        raise OrvexCloudError(
            f"Orvex Cloud returned a body that is not JSON (HTTP {resp.status_code}, "
            f"{content_type}){' for ' + label if label else ''}: {_snippet(resp.text) or '<empty>'}",
            status_code=resp.status_code,
            code="invalid_response",
            remediation=(
                "Check that ORVEX_CONTROL_PLANE_URL points at the Orvex Cloud API, "
                "not at the dashboard or a proxy page."
            ),
            body=resp.text,
        ) from exc


def _expect_object(data: Any, resp: httpx.Response) -> Dict[str, Any]:
    if isinstance(data, dict):
        return data
    label = _request_label(resp)
    raise OrvexCloudError(
        f"Orvex Cloud answered{' ' + label if label else ''} with {type(data).__name__} "
        "where a JSON object was expected",
        status_code=resp.status_code,
        code="invalid_response",
        body=data,
    )


def _timeout_seconds(exc: httpx.TimeoutException, timeout: httpx.Timeout) -> Optional[float]:
    if isinstance(exc, httpx.ConnectTimeout):
        return timeout.connect
    if isinstance(exc, httpx.WriteTimeout):
        return timeout.write
    if isinstance(exc, httpx.PoolTimeout):
        return timeout.pool
    return timeout.read


def _wrap_httpx_error(
    exc: Exception, prepared: _Prepared, base_url: str, timeout: httpx.Timeout
) -> OrvexCloudError:
    """Translate an httpx failure into the package's error, keeping the details readable."""
    label = f"{prepared.method} {_API_ROOT}{prepared.path}"
    reason = f"{type(exc).__name__}: {exc}" if str(exc) else type(exc).__name__
    if isinstance(exc, httpx.TransportError):
        remediation = (
            f"Check ORVEX_CONTROL_PLANE_URL (this client uses {base_url}) and that this host "
            "can reach it over the network."
        )
        if isinstance(exc, httpx.TimeoutException):
            seconds = _timeout_seconds(exc, timeout)
            within = f" within {seconds:g}s" if seconds is not None else ""
            return TransportError(
                f"Orvex Cloud at {base_url} did not answer {label}{within} ({reason})",
                code="timeout",
                remediation=remediation + " Raise the client timeout if the service is slow.",
            )
        if isinstance(exc, httpx.ConnectError):
            message = f"could not connect to Orvex Cloud at {base_url} for {label} ({reason})"
        else:
            message = f"connection to Orvex Cloud at {base_url} failed during {label} ({reason})"
        return TransportError(message, code="transport_error", remediation=remediation)
    return OrvexCloudError(
        f"request {label} to Orvex Cloud at {base_url} failed ({reason})",
        code="invalid_response" if isinstance(exc, httpx.HTTPError) else "invalid_request",
    )


_HTTPX_ERRORS = (httpx.HTTPError, httpx.InvalidURL, httpx.StreamError)


def _log_response(resp: httpx.Response) -> None:
    if logger.isEnabledFor(logging.DEBUG):
        logger.debug("%s -> HTTP %d", _request_label(resp), resp.status_code)


def _closed_error() -> OrvexCloudError:
    return OrvexCloudError(
        "client is closed",
        code="client_closed",
        remediation="Create a new client; a closed client cannot send requests.",
    )


# --------------------------------------------------------------------------- clients


class _ClientBase:
    """Configuration shared by the blocking and the asynchronous client."""

    _base_url: str
    _timeout: httpx.Timeout
    _closed: bool

    def __init__(self, api_key: str, base_url: Optional[str], timeout: Timeout) -> None:
        self._api_key = _check_api_key(api_key)
        self._base_url = _resolve_base_url(base_url)
        self._timeout = _build_timeout(timeout)
        self._closed = False

    def _http_options(self) -> Dict[str, Any]:
        return {
            "base_url": self._base_url + _API_ROOT,
            "timeout": self._timeout,
            "headers": {
                "Authorization": f"Bearer {self._api_key}",
                "User-Agent": _USER_AGENT,
                "Accept": "application/json",
            },
            "follow_redirects": False,
        }

    @property
    def base_url(self) -> str:
        """The API origin this client talks to, without trailing "/"."""
        return self._base_url

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return self._closed

    def _ensure_open(self) -> None:
        if self._closed:
            raise _closed_error()

    def _handle_response(self, resp: httpx.Response) -> Any:
        """Decode a response as :func:`_handle_response` does (kept as a method for callers)."""
        return _handle_response(resp)

    def __repr__(self) -> str:
        timeout = self._timeout.read
        return (
            f"{type(self).__name__}(base_url={self._base_url!r}, "
            f"timeout={timeout!r}, closed={self._closed})"
        )


class OrvexCloudClient(_ClientBase):
    """Blocking Orvex Cloud API client.

    Args:
        api_key: The Orvex Cloud API key, sent as ``Authorization: Bearer <key>``.
        base_url: API origin; None or empty text means :data:`DEFAULT_BASE_URL`.
        timeout: Seconds per request (or an ``httpx.Timeout``; None waits forever).
        transport: Optional ``httpx`` transport, e.g. ``httpx.MockTransport`` in tests.

    Raises:
        TypeError, ValueError: For an unusable ``api_key``, ``base_url`` or ``timeout``.

    Use it as a context manager, or call :meth:`close` when done.
    """

    def __init__(
        self,
        api_key: str,
        base_url: Optional[str] = DEFAULT_BASE_URL,
        *,
        timeout: Timeout = DEFAULT_TIMEOUT,
        transport: Optional[httpx.BaseTransport] = None,
    ) -> None:
        super().__init__(api_key, base_url, timeout)
        self._http = httpx.Client(transport=transport, **self._http_options())

    def _send(
        self,
        method: str,
        path: str,
        *,
        json: Any = None,
        params: Optional[Mapping[str, Any]] = None,
    ) -> httpx.Response:
        """Send one request to ``<base_url>/v1/<path>`` and return the raw response.

        Error statuses are returned, not raised; pass the response to :meth:`_handle_response`.
        Failures without an HTTP answer raise :class:`TransportError`.
        """
        self._ensure_open()
        prepared = _prepare(method, path, json, params)
        try:
            resp = self._http.request(
                prepared.method,
                prepared.path,
                content=prepared.content,
                params=prepared.params,
                headers=prepared.headers,
            )
        except _HTTPX_ERRORS as exc:
            raise _wrap_httpx_error(exc, prepared, self._base_url, self._timeout) from exc
        _log_response(resp)
        return resp

    def _call(self, call: _Call) -> Dict[str, Any]:
        resp = self._send(call.method, call.path, json=call.json, params=call.params)
        return _expect_object(_handle_response(resp), resp)

    def create_request(self, **body: Any) -> Dict[str, Any]:
        """Create an approval request; returns the request record (with ``"id"``)."""
        return self._call(_create_request_call(body))

    def get_request(self, request_id: str) -> Dict[str, Any]:
        """Return the approval request record with this id."""
        return self._call(_get_request_call(request_id))

    def list_requests(
        self,
        *,
        warrant_id: Optional[str] = None,
        tool: Optional[str] = None,
        request_hash: Union[str, bytes, None] = None,
        status: Optional[str] = None,
        limit: Optional[int] = None,
    ) -> Dict[str, Any]:
        """List approval requests, newest first, as ``{"requests": [...]}``; None filters are left out."""
        return self._call(_list_requests_call(warrant_id, tool, request_hash, status, limit))

    def health(self) -> Dict[str, Any]:
        """Return the service health, ``{"status": "ok", "version": ...}``."""
        return self._call(_HEALTH)

    def get_tenant(self) -> Dict[str, Any]:
        """Return the tenant of the API key: ``{"id", "name", "slug"}``."""
        return self._call(_TENANT)

    def list_policies(self, *, limit: Optional[int] = None) -> Dict[str, Any]:
        """Return the tenant's approval policies as ``{"policies": [...]}``."""
        return self._call(_list_policies_call(limit))

    def upload_receipts(self, receipts: Iterable[Any]) -> Dict[str, Any]:
        """Upload a list of receipts (mappings, or bytes sent as hex); returns ``{"accepted": n}``."""
        return self._call(_upload_receipts_call(receipts))

    def approve_request(self, request_id: str, *, approver: Any = None) -> Dict[str, Any]:
        """Approve a request as a reviewer; ``approver`` is a public key (hex, bytes or key object)."""
        return self._call(_approve_call(request_id, approver))

    def deny_request(self, request_id: str, *, reason: Optional[str] = None) -> Dict[str, Any]:
        """Deny a request as a reviewer, with an optional reason shown to the agent."""
        return self._call(_deny_call(request_id, reason))

    def close(self) -> None:
        """Release the connection pool; later calls raise :class:`OrvexCloudError`. Idempotent."""
        if self._closed:
            return
        self._closed = True
        self._http.close()

    def __enter__(self) -> "OrvexCloudClient":
        self._ensure_open()
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


class AsyncOrvexCloudClient(_ClientBase):
    """Asynchronous Orvex Cloud API client; the operations of :class:`OrvexCloudClient`, awaited.

    Args:
        api_key: The Orvex Cloud API key, sent as ``Authorization: Bearer <key>``.
        base_url: API origin; None or empty text means :data:`DEFAULT_BASE_URL`.
        timeout: Seconds per request (or an ``httpx.Timeout``; None waits forever).
        transport: Optional ``httpx`` async transport, e.g. ``httpx.MockTransport`` in tests.

    Use it with ``async with``, or await :meth:`close` when done.
    """

    def __init__(
        self,
        api_key: str,
        base_url: Optional[str] = DEFAULT_BASE_URL,
        *,
        timeout: Timeout = DEFAULT_TIMEOUT,
        transport: Optional[httpx.AsyncBaseTransport] = None,
    ) -> None:
        super().__init__(api_key, base_url, timeout)
        self._http = httpx.AsyncClient(transport=transport, **self._http_options())

    async def _send(
        self,
        method: str,
        path: str,
        *,
        json: Any = None,
        params: Optional[Mapping[str, Any]] = None,
    ) -> httpx.Response:
        """Send one request to ``<base_url>/v1/<path>`` and return the raw response.

        Error statuses are returned, not raised; pass the response to :meth:`_handle_response`.
        Failures without an HTTP answer raise :class:`TransportError`.
        """
        self._ensure_open()
        prepared = _prepare(method, path, json, params)
        try:
            resp = await self._http.request(
                prepared.method,
                prepared.path,
                content=prepared.content,
                params=prepared.params,
                headers=prepared.headers,
            )
        except _HTTPX_ERRORS as exc:
            raise _wrap_httpx_error(exc, prepared, self._base_url, self._timeout) from exc
        _log_response(resp)
        return resp

    async def _call(self, call: _Call) -> Dict[str, Any]:
        resp = await self._send(call.method, call.path, json=call.json, params=call.params)
        return _expect_object(_handle_response(resp), resp)

    async def create_request(self, **body: Any) -> Dict[str, Any]:
        """Create an approval request; returns the request record (with ``"id"``)."""
        return await self._call(_create_request_call(body))

    async def get_request(self, request_id: str) -> Dict[str, Any]:
        """Return the approval request record with this id."""
        return await self._call(_get_request_call(request_id))

    async def list_requests(
        self,
        *,
        warrant_id: Optional[str] = None,
        tool: Optional[str] = None,
        request_hash: Union[str, bytes, None] = None,
        status: Optional[str] = None,
        limit: Optional[int] = None,
    ) -> Dict[str, Any]:
        """List approval requests, newest first, as ``{"requests": [...]}``; None filters are left out."""
        return await self._call(_list_requests_call(warrant_id, tool, request_hash, status, limit))

    async def health(self) -> Dict[str, Any]:
        """Return the service health, ``{"status": "ok", "version": ...}``."""
        return await self._call(_HEALTH)

    async def get_tenant(self) -> Dict[str, Any]:
        """Return the tenant of the API key: ``{"id", "name", "slug"}``."""
        return await self._call(_TENANT)

    async def list_policies(self, *, limit: Optional[int] = None) -> Dict[str, Any]:
        """Return the tenant's approval policies as ``{"policies": [...]}``."""
        return await self._call(_list_policies_call(limit))

    async def upload_receipts(self, receipts: Iterable[Any]) -> Dict[str, Any]:
        """Upload a list of receipts (mappings, or bytes sent as hex); returns ``{"accepted": n}``."""
        return await self._call(_upload_receipts_call(receipts))

    async def approve_request(self, request_id: str, *, approver: Any = None) -> Dict[str, Any]:
        """Approve a request as a reviewer; ``approver`` is a public key (hex, bytes or key object)."""
        return await self._call(_approve_call(request_id, approver))

    async def deny_request(self, request_id: str, *, reason: Optional[str] = None) -> Dict[str, Any]:
        """Deny a request as a reviewer, with an optional reason shown to the agent."""
        return await self._call(_deny_call(request_id, reason))

    async def close(self) -> None:
        """Release the connection pool; later calls raise :class:`OrvexCloudError`. Idempotent."""
        if self._closed:
            return
        self._closed = True
        await self._http.aclose()

    aclose = close

    async def __aenter__(self) -> "AsyncOrvexCloudClient":
        self._ensure_open()
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.close()
