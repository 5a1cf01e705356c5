import asyncio
import json
import math

import httpx
import pytest

from orvex_cloud import __version__
from orvex_cloud.client import (
    DEFAULT_BASE_URL,
    AsyncOrvexCloudClient,
    OrvexCloudClient,
    _handle_response,
)
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

API_KEY = "ok_" + "A" * 32
BASE = "http://cp.test"
KINDS = ["sync", "async"]


class Server:
    """MockTransport handler that records requests and answers each with a fresh response."""

    def __init__(self, status=200, json_body=None, content=None, headers=None, exc=None):
        self.status = status
        self.json_body = {"ok": True} if json_body is None and content is None else json_body
        self.content = content
        self.headers = headers
        self.exc = exc
        self.requests = []

    def __call__(self, request):
        request.read()
        self.requests.append(request)
        if self.exc is not None:
            raise self.exc
        if self.content is not None:
            return httpx.Response(self.status, content=self.content, headers=self.headers)
        return httpx.Response(self.status, json=self.json_body, headers=self.headers)

    @property
    def last(self):
        return self.requests[-1]

    def last_json(self):
        return json.loads(self.last.content) if self.last.content else None


def invoke(kind, server, name, *args, client_kwargs=None, **kwargs):
    """Run one client operation on a fresh sync or async client over ``server``."""
    transport = httpx.MockTransport(server)
    options = dict(base_url=BASE, transport=transport, **(client_kwargs or {}))
    if kind == "sync":
        with OrvexCloudClient(API_KEY, **options) as client:
            return getattr(client, name)(*args, **kwargs)

    async def run():
        async with AsyncOrvexCloudClient(API_KEY, **options) as client:
            return await getattr(client, name)(*args, **kwargs)

    return asyncio.run(run())


# --------------------------------------------------------------------------- construction


@pytest.mark.parametrize(
    "base_url, expected",
    [
        (None, DEFAULT_BASE_URL),
        ("", DEFAULT_BASE_URL),
        ("   ", DEFAULT_BASE_URL),
        ("http://localhost:8080/", "http://localhost:8080"),
        ("https://cp.example.com/tenant-a//", "https://cp.example.com/tenant-a"),
    ],
)
def test_base_url_defaults_and_trailing_slash(base_url, expected):
    server = Server()
    client = OrvexCloudClient(API_KEY, base_url, transport=httpx.MockTransport(server))
    client.health()
    client.close()

    assert client.base_url == expected
    assert str(server.last.url) == expected + "/v1/health"


@pytest.mark.parametrize("base_url", ["cp.test", "ftp://cp.test", "https://cp.test/?x=1"])
def test_unusable_base_url_is_rejected(base_url):
    with pytest.raises(ValueError, match="base_url"):
        OrvexCloudClient(API_KEY, base_url)


@pytest.mark.parametrize(
    "api_key, error",
    [(None, TypeError), (b"ok_key", TypeError), ("", ValueError), ("  ", ValueError), ("ok_key\n", ValueError)],
)
def test_unusable_api_key_is_rejected(api_key, error):
    for cls in (OrvexCloudClient, AsyncOrvexCloudClient):
        with pytest.raises(error, match="api_key"):
            cls(api_key)


def test_repr_never_shows_the_api_key():
    client = OrvexCloudClient(API_KEY, BASE, timeout=10.0)
    text = repr(client)
    client.close()
    assert API_KEY not in text
    assert BASE in text and "10.0" in text


# --------------------------------------------------------------------------- request shape

REQUEST_CASES = [
    pytest.param(
        "create_request",
        (),
        dict(
            warrant_id="w1",
            tool="transfer",
            request_hash=b"\x00\xab\xff",
            holder_key=bytearray(b"\x01\x02"),
            approver_keys=("aa", b"\xbb"),
            metadata={"raw": memoryview(b"\xde\xad"), "nested": [{"k": b"\x0f"}], "tags": {"b", "a"}},
        ),
        "POST",
        "/v1/approvals/requests",
        {},
        {
            "warrant_id": "w1",
            "tool": "transfer",
            "request_hash": "00abff",
            "holder_key": "0102",
            "approver_keys": ["aa", "bb"],
            "metadata": {"raw": "dead", "nested": [{"k": "0f"}], "tags": ["a", "b"]},
        },
        id="create_request",
    ),
    pytest.param("get_request", ("req/../1",), {}, "GET", "/v1/approvals/requests/req%2F..%2F1", {}, None, id="get_request-quoted"),
    pytest.param(
        "list_requests",
        (),
        dict(warrant_id="w1", tool=None, request_hash=b"\xab\xcd", status="pending", limit=5),
        "GET",
        "/v1/approvals/requests",
        {"warrant_id": "w1", "request_hash": "abcd", "status": "pending", "limit": "5"},
        None,
        id="list_requests",
    ),
    pytest.param("list_requests", (), {}, "GET", "/v1/approvals/requests", {}, None, id="list_requests-no-filters"),
    pytest.param("health", (), {}, "GET", "/v1/health", {}, None, id="health"),
    pytest.param("get_tenant", (), {}, "GET", "/v1/tenant", {}, None, id="get_tenant"),
    pytest.param("list_policies", (), dict(limit=1), "GET", "/v1/policies", {"limit": "1"}, None, id="list_policies"),
    pytest.param(
        "upload_receipts",
        ([{"id": "r1", "sig": b"\x01"}, b"\xff\x00"],),
        {},
        "POST",
        "/v1/receipts",
        {},
        {"receipts": [{"id": "r1", "sig": "01"}, "ff00"]},
        id="upload_receipts",
    ),
    pytest.param(
        "approve_request", ("r1",), dict(approver=b"\xaa\xbb"), "POST", "/v1/approvals/requests/r1/approve", {}, {"approver": "aabb"}, id="approve"
    ),
    pytest.param("approve_request", ("r1",), {}, "POST", "/v1/approvals/requests/r1/approve", {}, {}, id="approve-anonymous"),
    pytest.param("deny_request", ("r1",), dict(reason="too risky"), "POST", "/v1/approvals/requests/r1/deny", {}, {"reason": "too risky"}, id="deny"),
    pytest.param("deny_request", ("r1",), {}, "POST", "/v1/approvals/requests/r1/deny", {}, {}, id="deny-no-reason"),
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name, args, kwargs, method, path, query, body", REQUEST_CASES)
def test_request_shape(kind, name, args, kwargs, method, path, query, body):
    server = Server(json_body={"id": "r1", "status": "pending"})

    result = invoke(kind, server, name, *args, **kwargs)

    assert result == {"id": "r1", "status": "pending"}
    request = server.last
    assert request.method == method
    assert request.url.raw_path.split(b"?")[0].decode() == path
    assert dict(request.url.params) == query
    assert request.headers["Authorization"] == f"Bearer {API_KEY}"
    assert request.headers["User-Agent"] == f"orvex-cloud-python/{__version__}"
    assert server.last_json() == body
    if body is not None:
        assert request.headers["Content-Type"] == "application/json"


class _PublicKey:
    def to_bytes(self):
        return b"\x12\x34"


def test_approver_key_object_is_sent_as_hex():
    server = Server()
    invoke("sync", server, "approve_request", "r1", approver=_PublicKey())
    assert server.last_json() == {"approver": "1234"}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("path", ["schemas", "/schemas"])
def test_send_is_relative_to_api_root_and_returns_raw_response(kind, path):
    server = Server(status=409, json_body={"error": {"code": "agent_not_pending"}})

    resp = invoke(kind, server, "_send", "POST", path, json={"tools": [], "key": b"\x01"})

    assert isinstance(resp, httpx.Response) and resp.status_code == 409
    assert str(server.last.url) == BASE + "/v1/schemas"
    assert server.last_json() == {"tools": [], "key": "01"}


@pytest.mark.parametrize("path", ["https://elsewhere.test/steal", "//elsewhere.test/steal", "", "/"])
def test_send_refuses_paths_outside_the_api_root(path):
    server = Server()
    with pytest.raises(ValueError, match="relative"):
        invoke("sync", server, "_send", "GET", path)
    assert server.requests == []


@pytest.mark.parametrize(
    "kwargs, where",
    [
        (dict(metadata={"items": [1, object()]}), "metadata.items[1]"),
        (dict(metadata={"when": math.nan}), "metadata.when"),
        (dict(metadata={1: "x"}), "metadata"),
        (dict(metadata={"odd key": {"v": (1.5, complex(1, 2))}}), "metadata['odd key'].v[1]"),
    ],
)
def test_unencodable_body_names_the_key_path(kwargs, where):
    server = Server()
    with pytest.raises(OrvexCloudError) as info:
        invoke("sync", server, "create_request", **kwargs)
    assert where in str(info.value)
    assert info.value.code == "invalid_request"
    assert server.requests == []


def test_circular_body_is_an_error_not_a_recursion_crash():
    loop = {"a": []}
    loop["a"].append(loop)
    with pytest.raises(OrvexCloudError, match=r"circular reference at metadata\.a\[0\]"):
        invoke("sync", Server(), "create_request", metadata=loop)


@pytest.mark.parametrize(
    "name, kwargs, error",
    [
        ("get_request", dict(request_id=""), ValueError),
        ("get_request", dict(request_id=7), TypeError),
        ("list_requests", dict(limit=0), ValueError),
        ("upload_receipts", dict(receipts={"id": "r1"}), TypeError),
    ],
)
def test_bad_arguments_fail_before_sending(name, kwargs, error):
    server = Server()
    with pytest.raises(error):
        invoke("sync", server, name, **kwargs)
    assert server.requests == []


# --------------------------------------------------------------------------- error mapping


def _err(code, message="server says no", remediation=""):
    return {"error": {"code": code, "message": message, "remediation": remediation}}


ERROR_CASES = [
    pytest.param(401, _err("invalid_api_key"), None, AuthenticationError, "invalid_api_key", id="401"),
    pytest.param(403, _err("forbidden"), None, AuthenticationError, "forbidden", id="403"),
    pytest.param(404, _err("not_found"), None, NotFoundError, "not_found", id="404"),
    pytest.param(404, {"detail": "Not Found"}, None, NotFoundError, "not_found", id="404-foreign-shape"),
    pytest.param(409, _err("agent_not_pending"), None, ConflictError, "agent_not_pending", id="409"),
    pytest.param(429, _err("rate_limited"), {"Retry-After": "7"}, RateLimitError, "rate_limited", id="429"),
    pytest.param(500, _err("internal"), None, ServerError, "internal", id="500"),
    pytest.param(503, None, None, ServerError, "server_error", id="503-no-body"),
    pytest.param(422, _err("validation_error"), None, OrvexCloudError, "validation_error", id="422"),
    pytest.param(400, "plain text failure", None, OrvexCloudError, "http_400", id="400-text"),
    pytest.param(409, _err("approval_denied", "denied by alice"), None, ApprovalDeniedError, "approval_denied", id="denied"),
    pytest.param(410, _err("approval_expired", "expired"), None, ApprovalExpiredError, "approval_expired", id="expired"),
]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("status, body, headers, cls, code", ERROR_CASES)
def test_error_status_mapping(kind, status, body, headers, cls, code):
    if isinstance(body, str):
        server = Server(status=status, content=body.encode(), headers=headers)
    elif body is None:
        server = Server(status=status, content=b"", headers=headers)
    else:
        server = Server(status=status, json_body=body, headers=headers)

    with pytest.raises(OrvexCloudError) as info:
        invoke(kind, server, "get_request", "r1")

    err = info.value
    assert type(err) is cls
    assert err.status_code == status
    assert err.code == code
    expected_body = body if body is not None else ""
    assert err.body == expected_body
    assert API_KEY not in str(err) and API_KEY not in err.remediation


def test_error_messages_and_remediations_are_useful():
    def fail(status, body, headers=None):
        with pytest.raises(OrvexCloudError) as info:
            invoke("sync", Server(status=status, json_body=body, headers=headers), "get_tenant")
        return info.value

    auth = fail(401, _err("invalid_api_key", "unknown key", "Create a key in the dashboard."))
    assert str(auth) == "Orvex Cloud rejected the API key (HTTP 401): unknown key (GET /v1/tenant)"
    assert auth.remediation.startswith("Create a key in the dashboard.")
    assert "ORVEX_API_KEY" in auth.remediation

    limited = fail(429, _err("rate_limited"), {"Retry-After": "7"})
    assert limited.retry_after == 7.0
    assert "Retry after 7 seconds" in limited.remediation

    missing = fail(404, {"detail": "Not Found"})
    assert "Not Found" in str(missing) and "HTTP 404" in str(missing)

    denied = fail(409, _err("approval_denied", "denied by alice"))
    assert str(denied) == "denied by alice"


def test_redirect_is_reported_not_followed():
    server = Server(status=307, content=b"", headers={"Location": "https://elsewhere.test/v1/tenant"})
    with pytest.raises(OrvexCloudError) as info:
        invoke("sync", server, "get_tenant")
    assert "https://elsewhere.test/v1/tenant" in str(info.value)
    assert "ORVEX_CONTROL_PLANE_URL" in info.value.remediation
    assert len(server.requests) == 1


def test_module_and_method_handle_response_agree():
    ok = httpx.Response(201, json={"id": "r1"})
    conflict = httpx.Response(409, json=_err("agent_not_pending"))
    with OrvexCloudClient(API_KEY, BASE) as client:
        assert _handle_response(ok) == client._handle_response(ok) == {"id": "r1"}
        for handle in (_handle_response, client._handle_response):
            with pytest.raises(ConflictError) as info:
                handle(conflict)
            assert (info.value.status_code, info.value.code) == (409, "agent_not_pending")
    assert _handle_response(httpx.Response(204)) is None


@pytest.mark.parametrize("kind", KINDS)
def test_non_json_success_body_is_invalid_response(kind):
    server = Server(status=200, content=b"<html>login</html>", headers={"Content-Type": "text/html"})

    with pytest.raises(OrvexCloudError) as info:
        invoke(kind, server, "health")

    err = info.value
    assert type(err) is OrvexCloudError
    assert (err.status_code, err.code, err.body) == (200, "invalid_response", "<html>login</html>")
    assert isinstance(err.__cause__, ValueError)
    assert "ORVEX_CONTROL_PLANE_URL" in err.remediation


def test_json_that_is_not_an_object_is_invalid_response():
    with pytest.raises(OrvexCloudError) as info:
        invoke("sync", Server(json_body=["a"]), "get_request", "r1")
    assert info.value.code == "invalid_response"


# --------------------------------------------------------------------------- transport failures


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "exc, code, text",
    [
        (httpx.ConnectError("[Errno 111] Connection refused"), "transport_error", "could not connect"),
        (httpx.ReadTimeout("timed out"), "timeout", "within 5s"),
        (httpx.ConnectTimeout("timed out"), "timeout", "within 5s"),
        (httpx.ReadError("[Errno 104] Connection reset by peer"), "transport_error", "reset by peer"),
        (httpx.RemoteProtocolError("Server disconnected"), "transport_error", "Server disconnected"),
    ],
    ids=lambda v: type(v).__name__ if isinstance(v, Exception) else None,
)
def test_transport_failures_become_transport_error(kind, exc, code, text):
    server = Server(exc=exc)

    with pytest.raises(TransportError) as info:
        invoke(kind, server, "health", client_kwargs={"timeout": 5})

    err = info.value
    assert err.__cause__ is exc
    assert err.status_code is None and err.code == code
    assert text in str(err) and BASE in str(err)
    assert "ORVEX_CONTROL_PLANE_URL" in err.remediation


# --------------------------------------------------------------------------- lifecycle


def test_closed_sync_client_refuses_every_operation():
    server = Server()
    client = OrvexCloudClient(API_KEY, BASE, transport=httpx.MockTransport(server))
    with client:
        client.health()
    assert client.closed
    client.close()  # closing twice is harmless

    for call in (client.health, lambda: client.get_request("r1"), lambda: client._send("GET", "health")):
        with pytest.raises(OrvexCloudError, match="closed"):
            call()
    with pytest.raises(OrvexCloudError, match="closed"):
        with client:
            pass
    assert len(server.requests) == 1


def test_closed_async_client_refuses_every_operation():
    server = Server()

    async def run():
        client = AsyncOrvexCloudClient(API_KEY, BASE, transport=httpx.MockTransport(server))
        async with client:
            await client.health()
        assert client.closed
        await client.aclose()
        with pytest.raises(OrvexCloudError, match="closed"):
            await client.create_request(tool="t")
        with pytest.raises(OrvexCloudError, match="closed"):
            await client._send("GET", "health")

    asyncio.run(run())
    assert len(server.requests) == 1
