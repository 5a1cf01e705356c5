"""Approval handlers end to end: real HTTP against the local control plane, a reviewer deciding
from another thread, real signatures checked on what comes back."""

import asyncio
import threading
import time
import uuid

import pytest
from orvex.approval import ApprovalDenied, ApprovalRequest
from orvex_core import PublicKey, SignedApproval, SigningKey

from orvex_cloud import approval
from orvex_cloud.client import OrvexCloudClient
from orvex_cloud.exceptions import ServerError

POLL = 0.05


class Reviewer(threading.Thread):
    """Waits for pending requests of one tool and decides each of them once."""

    def __init__(self, control_plane, api_key, tool, *, decide, expected=1, timeout=30.0):
        super().__init__(daemon=True)
        self.control_plane, self.api_key, self.tool = control_plane, api_key, tool
        self.decide, self.expected, self.timeout = decide, expected, timeout
        self.decided = set()
        self.error = None

    def run(self):
        try:
            with OrvexCloudClient(self.api_key, base_url=self.control_plane.url) as client:
                deadline = time.monotonic() + self.timeout
                while len(self.decided) < self.expected and time.monotonic() < deadline:
                    listed = client.list_requests(tool=self.tool, status="pending", limit=500)
                    for item in listed["requests"]:
                        if item["id"] not in self.decided:
                            self.decide(self.control_plane, item["id"])
                            self.decided.add(item["id"])
                    time.sleep(0.02)
        except Exception as exc:  # surfaced by finish()
            self.error = exc

    def finish(self):
        self.join(self.timeout)
        if self.error:
            raise self.error


def approve_by(*approvers):
    def decide(control_plane, request_id):
        for name in approvers:
            control_plane.approve(request_id, approver=name)

    return decide


def deny_with(reason):
    return lambda control_plane, request_id: control_plane.deny(request_id, reason=reason)


@pytest.fixture(scope="module")
def approvers(control_plane):
    return {name: control_plane.create_approver(name) for name in ("alice", "bob")}


@pytest.fixture
def holder():
    return SigningKey.generate()


@pytest.fixture
def tool():
    return f"transfer-{uuid.uuid4().hex[:8]}"


def gated_request(holder, tool, **rules):
    return ApprovalRequest.for_call(holder, warrant_id="w-1", tool=tool, arguments={"amount": 10}, **rules)


def check_signed(signed, request, approver):
    assert isinstance(signed, SignedApproval)
    assert signed.verify(expected_request_hash=request.request_hash)
    assert signed.approver_key == PublicKey.from_hex(approver["public_key"])


def test_blocking_handler_returns_a_verified_signed_approval(control_plane, api_key, approvers, holder, tool):
    request = gated_request(holder, tool)
    reviewer = Reviewer(control_plane, api_key, tool, decide=approve_by("alice"))
    reviewer.start()
    handler = approval.cloud_approval(api_key, base_url=control_plane.url, poll_interval=POLL, timeout=20)
    signed = handler(request)
    reviewer.finish()
    check_signed(signed, request, approvers["alice"])


def test_two_required_approvers_give_two_signed_approvals(control_plane, api_key, approvers, holder, tool):
    keys = [bytes.fromhex(approvers[name]["public_key"]) for name in ("alice", "bob")]
    request = gated_request(holder, tool, required_approvers=keys, min_approvals=2)
    reviewer = Reviewer(control_plane, api_key, tool, decide=approve_by("alice", "bob"))
    reviewer.start()
    signed = approval.cloud_approval(api_key, base_url=control_plane.url, poll_interval=POLL, timeout=20)(request)
    reviewer.finish()
    assert len(signed) == 2
    check_signed(signed[0], request, approvers["alice"])
    check_signed(signed[1], request, approvers["bob"])


@pytest.mark.parametrize("reason, expected", [("too much money", "too much money"), (None, "denied in Orvex Cloud")])
def test_denial_reaches_the_core_library(control_plane, api_key, holder, tool, reason, expected):
    reviewer = Reviewer(control_plane, api_key, tool, decide=deny_with(reason))
    reviewer.start()
    handler = approval.cloud_approval(api_key, base_url=control_plane.url, poll_interval=POLL, timeout=20)
    with pytest.raises(ApprovalDenied) as info:
        handler(gated_request(holder, tool))
    reviewer.finish()
    assert info.value.reason == expected


def test_expired_request_is_denied(control_plane, api_key, holder, tool):
    handler = approval.cloud_approval(api_key, base_url=control_plane.url, poll_interval=0.2, timeout=20)
    with pytest.raises(ApprovalDenied, match="approval request expired"):
        handler(gated_request(holder, tool, ttl_seconds=1))


def test_nobody_deciding_times_out_and_leaves_the_request(control_plane, api_key, holder, tool):
    handler = approval.cloud_approval(api_key, base_url=control_plane.url, poll_interval=POLL, timeout=0.3)
    with pytest.raises(ApprovalDenied) as info:
        handler(gated_request(holder, tool))
    assert info.value.reason == "timed out after 0.3s waiting for cloud approval"
    with OrvexCloudClient(api_key, base_url=control_plane.url) as client:
        assert [r["status"] for r in client.list_requests(tool=tool)["requests"]] == ["pending"]


def test_server_error_propagates_as_typed_error(control_plane, api_key, holder, tool):
    control_plane.inject_fault("/v1/approvals/requests", status=500, count=1)
    handler = approval.cloud_approval(api_key, base_url=control_plane.url, poll_interval=POLL, timeout=5)
    try:
        with pytest.raises(ServerError) as info:
            handler(gated_request(holder, tool))
    finally:
        control_plane.clear_faults()
    assert info.value.status_code == 500


def test_async_handler_inside_a_loop_and_without_one(control_plane, api_key, approvers, holder, tool):
    reviewer = Reviewer(control_plane, api_key, tool, decide=approve_by("bob"), expected=2)
    reviewer.start()
    handler = approval.async_cloud_approval(api_key, base_url=control_plane.url, poll_interval=POLL, timeout=20)
    request = gated_request(holder, tool)
    check_signed(asyncio.run(handler(request)), request, approvers["bob"])

    # Driven without a running loop, the handler runs the request on a worker thread's loop.
    coro = handler(request)
    with pytest.raises(StopIteration) as done:
        coro.send(None)
    reviewer.finish()
    check_signed(done.value.value, request, approvers["bob"])


def test_many_concurrent_async_approvals_on_one_loop(control_plane, api_key, approvers, holder, tool):
    count = 200
    reviewer = Reviewer(control_plane, api_key, tool, decide=approve_by("alice"), expected=count, timeout=120)
    reviewer.start()
    handler = approval.async_cloud_approval(api_key, base_url=control_plane.url, poll_interval=0.2, timeout=120)
    requests = [
        ApprovalRequest.for_call(holder, warrant_id=f"w-{i}", tool=tool, arguments={"i": i}) for i in range(count)
    ]

    async def main():
        return await asyncio.gather(*(handler(r) for r in requests))

    results = asyncio.run(main())
    reviewer.finish()
    assert len(results) == count
    for request, signed in zip(requests, results):
        check_signed(signed, request, approvers["alice"])
