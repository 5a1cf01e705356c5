"""Tests of orvex_cloud.approval: blocking and asyncio cloud approval handlers, the pollers and
the decoding of signed approvals, run against fake Cloud API clients and a fake clock."""

import asyncio
import base64
import binascii
import hashlib
import inspect
import logging
import threading
import time

import pytest

import orvex.approval
import orvex.cp_approval
from orvex.approval import ApprovalDenied, ApprovalRequest
from orvex_core import SignedApproval, SigningKey

from orvex_cloud import approval, client, exceptions, petition
from orvex_cloud.exceptions import (
    ApprovalDeniedError,
    ApprovalExpiredError,
    ApprovalTimeoutError,
    OrvexCloudError,
    TransportError,
)

API_KEY = "ok_" + "A" * 32
KINDS = ["sync", "async"]
NO_RESPONSES = "approved request has no approval responses"
MALFORMED = "malformed signed_approval in cloud response: not valid hex or base64"
PENDING = {"status": "pending"}


# ---- fakes ----------------------------------------------------------------------------------------


class Clock:
    """Fake `time` for the module: monotonic() reads `now`, sleep() advances it."""

    def __init__(self):
        self.now = 1000.0
        self.sleeps = []
        self.block_async_sleep = False

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds

    async def async_sleep(self, seconds):
        self.sleep(seconds)
        if self.block_async_sleep:
            await asyncio.get_running_loop().create_future()  # until cancelled
        await asyncio.sleep(0)


class AsyncioWithClock:
    """The asyncio module as the approval module sees it, with sleep() on the fake clock."""

    def __init__(self, clock):
        self.sleep = clock.async_sleep

    def __getattr__(self, name):
        return getattr(asyncio, name)


class Cloud:
    """Scripted Cloud API behind the fake clients of one test.

    `polls` holds what successive get_request calls return (a mapping) or raise (an error);
    the last entry repeats."""

    def __init__(self, clock):
        self.clock = clock
        self.created = []
        self.polled = []  # (request id, clock time)
        self.clients = []
        self.threads = set()
        self.create_result = {"id": "req-1"}
        self.polls = [PENDING]
        self.close_error = None
        self.block_async_polls = False  # the async client's get_request then waits until cancelled

    def create(self, body):
        self.threads.add(threading.get_ident())
        self.created.append(body)
        if isinstance(self.create_result, BaseException):
            raise self.create_result
        return self.create_result

    def poll(self, request_id):
        self.polled.append((request_id, self.clock.now))
        answer = self.polls[min(len(self.polled), len(self.polls)) - 1]
        if isinstance(answer, BaseException):
            raise answer
        return answer

    @property
    def poll_times(self):
        return [t - 1000.0 for _, t in self.polled]

    @property
    def closes(self):
        return [c.closes for c in self.clients]


class FakeClient:
    def __init__(self, cloud, api_key, **kwargs):
        self.cloud, self.api_key, self.kwargs, self.closes = cloud, api_key, kwargs, 0
        cloud.clients.append(self)

    def create_request(self, **body):
        return self.cloud.create(body)

    def get_request(self, request_id):
        return self.cloud.poll(request_id)

    def close(self):
        self.closes += 1
        if self.cloud.close_error is not None:
            raise self.cloud.close_error


class FakeAsyncClient(FakeClient):
    async def create_request(self, **body):
        await asyncio.sleep(0)
        return self.cloud.create(body)

    async def get_request(self, request_id):
        if self.cloud.block_async_polls:
            await asyncio.get_running_loop().create_future()
        return self.cloud.poll(request_id)

    async def close(self):
        await asyncio.sleep(0)
        super().close()


@pytest.fixture
def clock(monkeypatch):
    clock = Clock()
    monkeypatch.setattr(approval, "time", clock)
    monkeypatch.setattr(approval, "asyncio", AsyncioWithClock(clock))
    return clock


@pytest.fixture
def cloud(monkeypatch, clock):
    cloud = Cloud(clock)
    monkeypatch.setattr(approval, "OrvexCloudClient", lambda *a, **kw: FakeClient(cloud, *a, **kw))
    monkeypatch.setattr(approval, "AsyncOrvexCloudClient", lambda *a, **kw: FakeAsyncClient(cloud, *a, **kw))
    return cloud


@pytest.fixture
def holder():
    return SigningKey.from_bytes(bytes(range(32)))


@pytest.fixture
def approver():
    return SigningKey.from_bytes(bytes(range(1, 33)))


@pytest.fixture
def request_(holder):
    return ApprovalRequest.for_call(holder, warrant_id="w-1", tool="search", arguments={"q": "cats"})


def signed(approver, request, encoding="base64"):
    raw = SignedApproval.create(approver, request.request_hash, approved_at=1700000000).to_bytes()
    return base64.b64encode(raw).decode() if encoding == "base64" else raw.hex()


def approved(*texts):
    return {"status": "approved", "responses": [{"signed_approval": t} for t in texts]}


def make_handler(kind, **options):
    factory = approval.cloud_approval if kind == "sync" else approval.async_cloud_approval
    return factory(API_KEY, **options)


def run_handler(kind, request, **options):
    handler = make_handler(kind, **options)
    if kind == "sync":
        return handler(request)
    return asyncio.run(handler(request))


def poll(kind, client_, request_id="req-1", poll_interval=2.0, timeout=300.0):
    if kind == "sync":
        return approval._poll_until_resolved(client_, request_id, poll_interval, timeout)
    return asyncio.run(approval._async_poll_until_resolved(client_, request_id, poll_interval, timeout))


def fake_client(kind, cloud):
    return (FakeClient if kind == "sync" else FakeAsyncClient)(cloud, API_KEY)


# ---- module setting -------------------------------------------------------------------------------


def test_module_setting():
    assert approval.logger is logging.getLogger("orvex_cloud.approval")
    assert approval.OrvexCloudClient is client.OrvexCloudClient
    assert approval.AsyncOrvexCloudClient is client.AsyncOrvexCloudClient
    for name in ("ApprovalDeniedError", "ApprovalExpiredError", "ApprovalTimeoutError", "OrvexCloudError"):
        assert getattr(approval, name) is getattr(exceptions, name)
    assert approval.build_approval_request_payload is petition.build_approval_request_payload
    assert (approval.asyncio, approval.base64, approval.hashlib, approval.time, approval.logging) == (
        asyncio,
        base64,
        hashlib,
        time,
        logging,
    )


def test_handlers_are_named_functions_and_async_ones_coroutine_functions(request_):
    handler = approval.async_cloud_approval(API_KEY)
    blocking = approval.cloud_approval(API_KEY)
    assert (blocking.__name__, blocking.__qualname__) == ("_handle", "cloud_approval.<locals>._handle")
    assert handler.__qualname__ == "async_cloud_approval.<locals>._handle"
    assert asyncio.iscoroutinefunction(handler)
    assert asyncio.iscoroutinefunction(approval._async_poll_until_resolved)
    assert not asyncio.iscoroutinefunction(blocking)
    if hasattr(inspect, "markcoroutinefunction"):
        assert inspect.iscoroutinefunction(handler)
        assert inspect.iscoroutinefunction(approval._async_poll_until_resolved)
    coro = handler(request_)
    assert asyncio.iscoroutine(coro) and inspect.isawaitable(coro)
    coro.close()


# ---- pollers --------------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "poll_interval, timeout, poll_times, sleeps",
    [
        (2.0, 3.0, [0, 2, 3], [2.0, 1.0]),  # the last pause is cut to the time left
        (2.0, 4.0, [0, 2, 4], [2.0, 2.0]),
        (5.0, 1.0, [0, 1], [1.0]),
        (2.0, 0, [0], []),
        (2.0, -1.0, [0], []),
    ],
)
def test_poll_times_out_when_pending_at_deadline(kind, cloud, clock, poll_interval, timeout, poll_times, sleeps):
    with pytest.raises(ApprovalTimeoutError) as info:
        poll(kind, fake_client(kind, cloud), "req-9", poll_interval, timeout)
    assert cloud.poll_times == poll_times
    assert clock.sleeps == sleeps
    assert (info.value.request_id, info.value.timeout) == ("req-9", timeout)
    assert [rid for rid, _ in cloud.polled] == ["req-9"] * len(poll_times)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "final",
    [
        {"status": "approved"},
        {"status": "Approved"},
        {"status": "PENDING"},
        {"status": None},
        {"no": "status"},
        {"status": "denied", "denied_reason": "no"},
    ],
)
def test_poll_returns_first_result_that_is_not_pending(kind, cloud, clock, final):
    cloud.polls = [final]
    assert poll(kind, fake_client(kind, cloud)) is final
    assert (cloud.poll_times, clock.sleeps) == ([0], [])  # decided at first poll: no sleep

    cloud.polled.clear()
    cloud.polls = [PENDING, PENDING, final]
    assert poll(kind, fake_client(kind, cloud)) is final
    assert cloud.poll_times == [0, 2, 4]


@pytest.mark.parametrize("kind", KINDS)
def test_poll_error_propagates_without_retry(kind, cloud, clock):
    error = TransportError("connection reset")
    cloud.polls = [PENDING, error]
    with pytest.raises(TransportError) as info:
        poll(kind, fake_client(kind, cloud))
    assert info.value is error
    assert len(cloud.polled) == 2 and clock.sleeps == [2.0]


@pytest.mark.parametrize("kind", KINDS)
def test_poll_logs_each_pause_at_debug(kind, cloud, clock, caplog):
    cloud.polls = [PENDING, PENDING, {"status": "approved"}]
    with caplog.at_level(logging.DEBUG, logger="orvex_cloud.approval"):
        poll(kind, fake_client(kind, cloud), "req-7", 2.0, 3.0)
    records = [r for r in caplog.records if r.name == "orvex_cloud.approval"]
    assert [(r.levelno, r.msg, r.args) for r in records] == [
        (logging.DEBUG, "approval still pending, polling again", ())
    ] * 2
    assert [(r.request_id, r.sleep) for r in records] == [("req-7", 2.0), ("req-7", 1.0)]


def test_pollers_take_keywords(cloud, clock):
    cloud.polls = [{"status": "approved"}]
    args = dict(request_id="req-1", poll_interval=1.0, timeout=1.0)
    assert approval._poll_until_resolved(client=FakeClient(cloud, API_KEY), **args)["status"] == "approved"
    coro = approval._async_poll_until_resolved(client=FakeAsyncClient(cloud, API_KEY), **args)
    assert asyncio.run(coro)["status"] == "approved"


# ---- _extract_signed_approvals ----------------------------------------------------------------------


@pytest.fixture
def decoded(monkeypatch):
    """Records the control-plane response handed to the core library (which still decodes it)."""
    seen = []
    real = orvex.cp_approval.signed_approvals_from_response

    def spy(response):
        seen.append(response)
        return real(response)

    monkeypatch.setattr(orvex.cp_approval, "signed_approvals_from_response", spy)
    return seen


def test_extract_one_approval_returns_the_object(approver, request_, decoded):
    text = signed(approver, request_)
    result = approval._extract_signed_approvals(approved(text))
    assert isinstance(result, SignedApproval)
    assert result.verify(request_.request_hash) and result.approver_key == approver.public_key
    [response] = decoded
    assert isinstance(response, orvex.cp_approval.ControlPlaneApprovalResponseV1)
    assert response.status == "approved"
    assert response.signed_approvals_b64 == [text]
    assert response.signed_approvals_b64[0] is text  # base64 is passed on unchanged


@pytest.mark.parametrize("hex_case", [str.lower, str.upper])
def test_extract_hex_and_base64_give_the_same_approval(approver, request_, decoded, hex_case):
    b64 = signed(approver, request_)
    hex_text = hex_case(signed(approver, request_, "hex"))
    result = approval._extract_signed_approvals(approved(hex_text, b64))
    assert isinstance(result, list) and len(result) == 2
    assert result[0] == result[1]
    assert decoded[0].signed_approvals_b64 == [b64, b64]


def test_extract_text_valid_as_hex_and_base64_is_hex(monkeypatch):
    seen = []
    monkeypatch.setattr(
        orvex.cp_approval, "signed_approvals_from_response", lambda r: seen.append(r) or ["approval"]
    )
    assert approval._extract_signed_approvals(approved("abcd")) == "approval"
    assert seen[0].signed_approvals_b64 == [base64.b64encode(bytes.fromhex("abcd")).decode()]


def test_extract_skips_responses_without_signed_approval(approver, request_, decoded):
    text = signed(approver, request_)
    result = {
        "status": "approved",
        "responses": [{}, {"signed_approval": None}, {"signed_approval": ""}, {"signed_approval": text}],
    }
    assert isinstance(approval._extract_signed_approvals(result), SignedApproval)
    assert decoded[0].signed_approvals_b64 == [text]


def test_extract_with_no_signed_approval_at_all(decoded):
    with pytest.raises(OrvexCloudError) as info:
        approval._extract_signed_approvals({"responses": [{"approver": "a"}, {"signed_approval": None}]})
    assert str(info.value) == NO_RESPONSES
    assert decoded[0].signed_approvals_b64 is None  # an empty list is passed as None


@pytest.mark.parametrize(
    "result",
    [{"status": "approved"}, {"responses": []}, {"responses": None}],
    ids=["missing", "empty", "none"],
)
def test_extract_without_responses(result, decoded):
    with pytest.raises(OrvexCloudError) as info:
        approval._extract_signed_approvals(result)
    assert type(info.value) is OrvexCloudError and str(info.value) == NO_RESPONSES
    assert decoded == []


@pytest.mark.parametrize(
    "text",
    ["abc", "0a0b0", "not base64!", "q80", "q80=x", "####"],
    ids=["odd-hex", "odd-hex-5", "punctuation", "unpadded", "trailing", "symbols"],
)
def test_extract_malformed_signed_approval(text, approver, request_):
    good = signed(approver, request_)
    with pytest.raises(OrvexCloudError) as info:
        approval._extract_signed_approvals(approved(good, text))
    assert type(info.value) is OrvexCloudError and str(info.value) == MALFORMED
    assert isinstance(info.value.__context__, binascii.Error)  # the decode error, as an exception


def test_extract_core_library_yielding_nothing(monkeypatch):
    monkeypatch.setattr(orvex.cp_approval, "signed_approvals_from_response", lambda response: [])
    with pytest.raises(OrvexCloudError, match=NO_RESPONSES):
        approval._extract_signed_approvals(approved("q80="))


# ---- handlers: outcome ------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_handler_returns_the_signed_approval(kind, cloud, clock, request_, approver):
    cloud.polls = [PENDING, approved(signed(approver, request_))]
    result = run_handler(kind, request_, base_url="http://cp.test", poll_interval=3.0)
    assert isinstance(result, SignedApproval) and result.verify(request_.request_hash)
    [c] = cloud.clients
    assert (c.api_key, c.kwargs, c.closes) == (API_KEY, {"base_url": "http://cp.test"}, 1)
    assert cloud.created == [petition.build_approval_request_payload(request_).to_create_request_kwargs()]
    assert [rid for rid, _ in cloud.polled] == ["req-1", "req-1"]
    assert clock.sleeps == [3.0]


@pytest.mark.parametrize("kind", KINDS)
def test_handler_returns_every_approval(kind, cloud, clock, request_, approver, holder):
    cloud.polls = [approved(signed(approver, request_), signed(holder, request_, "hex"))]
    result = run_handler(kind, request_)
    assert [a.approver_key for a in result] == [approver.public_key, holder.public_key]
    assert clock.sleeps == []


@pytest.mark.parametrize("kind", KINDS)
def test_handler_defaults(kind, cloud, clock, request_, monkeypatch):
    seen = {}

    def fake_poll(client_, request_id, *, poll_interval, timeout):
        seen.update(poll_interval=poll_interval, timeout=timeout)
        return approved("q80=")

    async def fake_async_poll(client_, request_id, *, poll_interval, timeout):
        return fake_poll(client_, request_id, poll_interval=poll_interval, timeout=timeout)

    monkeypatch.setattr(approval, "_poll_until_resolved", fake_poll)
    monkeypatch.setattr(approval, "_async_poll_until_resolved", fake_async_poll)
    monkeypatch.setattr(approval, "_extract_signed_approvals", lambda result: "approval")
    assert run_handler(kind, request_) == "approval"
    assert cloud.clients[0].kwargs == {"base_url": client.DEFAULT_BASE_URL}
    assert seen == {"poll_interval": 2.0, "timeout": 300.0}


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "result, reason",
    [
        ({"status": "denied", "denied_reason": "not today"}, "not today"),
        ({"status": "denied", "denied_reason": None}, "denied in Orvex Cloud"),
        ({"status": "denied", "denied_reason": ""}, "denied in Orvex Cloud"),
        ({"status": "denied"}, "denied in Orvex Cloud"),
        ({"status": "expired", "denied_reason": "ignored"}, "approval request expired"),
        ({"status": "Approved"}, "unexpected status: Approved"),
        ({"status": "rejected"}, "unexpected status: rejected"),
        ({"status": 0}, "unexpected status: 0"),
        ({"status": None}, "unexpected status: None"),
    ],
)
def test_handler_denies_every_other_decision(kind, cloud, clock, request_, result, reason):
    cloud.polls = [result]
    with pytest.raises(ApprovalDenied) as info:
        run_handler(kind, request_)
    assert type(info.value) is ApprovalDenied
    assert info.value.reason == reason and info.value.request is request_
    assert cloud.closes == [1]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("error_type", [ApprovalDeniedError, ApprovalExpiredError])
@pytest.mark.parametrize("where", ["create", "poll"])
def test_handler_translates_client_denial(kind, cloud, clock, request_, error_type, where):
    error = error_type("reviewer said no")
    if where == "create":
        cloud.create_result = error
    else:
        cloud.polls = [error]
    with pytest.raises(ApprovalDenied) as info:
        run_handler(kind, request_)
    assert info.value.reason == "reviewer said no" and info.value.request is request_
    assert info.value.__cause__ is error and info.value.__suppress_context__
    assert cloud.closes == [1]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("poll", [ApprovalDeniedError("reviewer said no"), {"status": "denied"}], ids=["translated", "decided"])
def test_handler_with_a_denial_class_making_no_exception_fails_as_raise_does(kind, cloud, clock, request_, poll, monkeypatch):
    monkeypatch.setattr(orvex.approval, "ApprovalDenied", lambda request, reason: [request, reason])
    cloud.polls = [poll]
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        run_handler(kind, request_)
    assert cloud.closes == [1]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "options, text",
    [({}, "300.0"), ({"timeout": 3.0}, "3.0"), ({"timeout": 3}, "3"), ({"timeout": 0}, "0")],
)
def test_handler_timeout(kind, cloud, clock, request_, options, text):
    with pytest.raises(ApprovalDenied) as info:
        run_handler(kind, request_, **options)
    assert info.value.reason == f"timed out after {text}s waiting for cloud approval"
    assert isinstance(info.value.__context__, ApprovalTimeoutError)
    assert info.value.__cause__ is None
    assert cloud.closes == [1]
    assert cloud.poll_times[-1] == options.get("timeout", 300.0)


@pytest.mark.parametrize("kind", KINDS)
def test_handler_timeout_text_is_the_configured_timeout(kind, cloud, request_, monkeypatch):
    async def async_raise(*args, **kwargs):
        raise ApprovalTimeoutError("req-1", 1)

    def sync_raise(*args, **kwargs):
        raise ApprovalTimeoutError("req-1", 1)

    monkeypatch.setattr(approval, "_poll_until_resolved", sync_raise)
    monkeypatch.setattr(approval, "_async_poll_until_resolved", async_raise)
    with pytest.raises(ApprovalDenied, match=r"^timed out after 45\.5s waiting for cloud approval$"):
        run_handler(kind, request_, timeout=45.5)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("where", ["create", "poll"])
def test_handler_passes_transport_errors_through_and_closes(kind, cloud, clock, request_, where):
    error = TransportError("connection refused")
    if where == "create":
        cloud.create_result = error
    else:
        cloud.polls = [PENDING, error]
    with pytest.raises(TransportError) as info:
        run_handler(kind, request_)
    assert info.value is error
    assert cloud.closes == [1]


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "created, polled, error, message",
    [
        ({"request_id": "req-1"}, PENDING, KeyError, None),
        ({"id": "req-1"}, {"state": "approved"}, KeyError, None),
        ({"id": "req-1"}, {"status": "approved", "responses": []}, OrvexCloudError, NO_RESPONSES),
        ({"id": "req-1"}, approved("abc"), OrvexCloudError, MALFORMED),
    ],
    ids=["creation-without-id", "result-without-status", "approved-without-responses", "malformed"],
)
def test_handler_malformed_cloud_answers(kind, cloud, clock, request_, created, polled, error, message):
    cloud.create_result, cloud.polls = created, [polled]
    with pytest.raises(error) as info:
        run_handler(kind, request_)
    assert type(info.value) is error
    if message:
        assert str(info.value) == message
    assert cloud.closes == [1]


@pytest.mark.parametrize("kind", KINDS)
def test_handler_payload_errors_come_before_any_client(kind, cloud, request_):
    request_.holder_key = None
    with pytest.raises(OrvexCloudError, match="^request.holder_key is required"):
        run_handler(kind, request_)
    assert cloud.clients == []


@pytest.mark.parametrize("kind", KINDS)
def test_handler_close_error(kind, cloud, clock, request_, approver):
    close_error = TransportError("close failed")
    cloud.close_error = close_error
    cloud.polls = [approved(signed(approver, request_))]
    with pytest.raises(TransportError) as info:
        run_handler(kind, request_)  # replaces the result
    assert info.value is close_error

    cloud.polls = [{"status": "denied"}]
    with pytest.raises(TransportError) as info:
        run_handler(kind, request_)
    assert info.value is close_error
    assert isinstance(info.value.__context__, ApprovalDenied)
    assert cloud.closes == [1, 1]


# ---- handlers: wiring -------------------------------------------------------------------------------


@pytest.mark.parametrize("kind", KINDS)
def test_handler_goes_through_module_attributes(kind, cloud, clock, request_, holder, monkeypatch):
    calls = []

    class Payload:
        def to_create_request_kwargs(self):
            return {"tool": "patched"}

    def build(request, **kwargs):
        calls.append((request, kwargs))
        return Payload()

    class Refusal(ApprovalDenied):
        pass

    monkeypatch.setattr(approval, "build_approval_request_payload", build)
    monkeypatch.setattr(orvex.approval, "ApprovalDenied", Refusal)  # imported at every run
    cloud.polls = [{"status": "expired"}]
    with pytest.raises(Refusal):
        run_handler(kind, request_, signing_key=holder)
    assert calls == [(request_, {"signing_key": holder})]
    assert cloud.created == [{"tool": "patched"}]


@pytest.mark.parametrize("kind", KINDS)
def test_handler_logs_creation(kind, cloud, clock, request_, caplog):
    cloud.create_result = {"id": "req-42"}
    cloud.polls = [{"status": "expired"}]
    with caplog.at_level(logging.INFO, logger="orvex_cloud.approval"), pytest.raises(ApprovalDenied):
        run_handler(kind, request_)
    [record] = [r for r in caplog.records if r.name == "orvex_cloud.approval"]
    assert record.levelno == logging.INFO
    if kind == "sync":
        assert (record.msg, record.args) == ("approval request created in cloud", ())
        assert (record.request_id, record.tool) == ("req-42", "search")
    else:
        assert (record.msg, record.args) == ("approval request %s created for %s", ("req-42", "search"))
        assert not hasattr(record, "request_id")


@pytest.mark.parametrize("kind", KINDS)
def test_handler_is_reusable(kind, cloud, clock, request_, approver):
    cloud.polls = [approved(signed(approver, request_))]
    handler = make_handler(kind)
    for _ in range(2):
        assert isinstance(handler(request_) if kind == "sync" else asyncio.run(handler(request_)), SignedApproval)
    assert cloud.closes == [1, 1] and len(cloud.created) == 2


@pytest.mark.parametrize("factory", [approval.cloud_approval, approval.async_cloud_approval])
@pytest.mark.parametrize("option", ["timeout", "poll_interval"])
def test_factory_rejects_nan(factory, option):
    with pytest.raises(ValueError):
        factory(API_KEY, **{option: float("nan")})


@pytest.mark.parametrize("factory", [approval.cloud_approval, approval.async_cloud_approval])
def test_factory_only_captures_its_configuration(factory, cloud):
    factory(api_key=API_KEY, base_url=None, poll_interval=float("inf"), timeout="nan")  # text: not a NaN
    factory(API_KEY, signing_key=object(), timeout=None)
    assert cloud.clients == []
    with pytest.raises(TypeError):
        factory(API_KEY, None)  # options are keyword-only
    with pytest.raises(TypeError):
        factory(API_KEY, retries=3)


@pytest.mark.parametrize("kind", KINDS)
def test_handler_passes_base_url_none_to_the_client(kind, cloud, clock, request_):
    cloud.polls = [{"status": "expired"}]
    with pytest.raises(ApprovalDenied):
        run_handler(kind, request_, base_url=None)
    assert cloud.clients[0].kwargs == {"base_url": None}


# ---- asynchronous handler: event loops, threads, cancellation ---------------------------------------


def drive_without_loop(coro):
    """Run a coroutine the way a caller without an event loop would."""
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise AssertionError("the handler suspended without a running event loop")


def test_async_handler_without_loop_runs_on_a_worker_thread(cloud, clock, request_, approver):
    cloud.polls = [PENDING, approved(signed(approver, request_))]
    handler = approval.async_cloud_approval(API_KEY)
    result = drive_without_loop(handler(request_))
    assert isinstance(result, SignedApproval)
    assert cloud.threads and threading.get_ident() not in cloud.threads
    assert cloud.closes == [1] and clock.sleeps == [2.0]


def test_async_handler_without_loop_propagates_worker_errors(cloud, clock, request_):
    error = RuntimeError("boom inside the run")
    cloud.polls = [error]
    with pytest.raises(RuntimeError) as info:
        drive_without_loop(approval.async_cloud_approval(API_KEY)(request_))
    assert info.value is error
    assert len(cloud.created) == 1 and cloud.closes == [1]

    cloud.polls = [{"status": "denied", "denied_reason": "no"}]
    with pytest.raises(ApprovalDenied, match="^no$"):
        drive_without_loop(approval.async_cloud_approval(API_KEY)(request_))


def test_async_handler_without_loop_reports_an_unusable_asyncio(cloud, request_, monkeypatch):
    class WithoutRun:
        def get_running_loop(self):
            raise RuntimeError("no running event loop")

    monkeypatch.setattr(approval, "asyncio", WithoutRun())
    with pytest.raises(AttributeError):  # an error, never a crash
        drive_without_loop(approval.async_cloud_approval(API_KEY)(request_))
    assert cloud.created == []


def test_async_handler_on_a_running_loop_stays_on_it(cloud, clock, request_, approver):
    cloud.polls = [approved(signed(approver, request_))]

    async def main():
        return await approval.async_cloud_approval(API_KEY)(request_)

    assert isinstance(asyncio.run(main()), SignedApproval)
    assert cloud.threads == {threading.get_ident()}


def test_runtime_error_inside_the_run_is_not_retried_on_a_thread(cloud, clock, request_):
    error = RuntimeError("boom inside the run")
    cloud.polls = [PENDING, error]
    with pytest.raises(RuntimeError) as info:
        asyncio.run(approval.async_cloud_approval(API_KEY)(request_))
    assert info.value is error
    assert len(cloud.created) == 1  # no second cloud request
    assert cloud.closes == [1]
    assert cloud.threads == {threading.get_ident()}


def test_async_handlers_run_concurrently(cloud, clock, request_, approver):
    cloud.polls = [approved(signed(approver, request_))]
    handler = approval.async_cloud_approval(API_KEY)

    async def main():
        return await asyncio.gather(handler(request_), handler(request_))

    assert all(isinstance(r, SignedApproval) for r in asyncio.run(main()))
    assert cloud.closes == [1, 1]


@pytest.mark.parametrize("where", ["awaiting-poll", "sleeping"])
def test_cancelled_async_handler_closes_its_client(cloud, clock, request_, where):
    if where == "awaiting-poll":
        cloud.block_async_polls = True
    else:
        clock.block_async_sleep = True

    async def main():
        task = asyncio.ensure_future(approval.async_cloud_approval(API_KEY)(request_))
        while not cloud.created or (where == "sleeping" and not clock.sleeps):
            await asyncio.sleep(0)
        for _ in range(3):
            await asyncio.sleep(0)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task

    task = asyncio.run(main())
    assert task.cancelled()
    assert cloud.closes == [1]


def test_async_handler_with_wait_for_timeout_closes_its_client(cloud, clock, request_):
    cloud.block_async_polls = True

    async def main():
        await asyncio.wait_for(approval.async_cloud_approval(API_KEY)(request_), 0.01)

    with pytest.raises(asyncio.TimeoutError):
        asyncio.run(main())
    assert cloud.closes == [1]
