"""Memory stays flat over many calls of each hot native function."""

import asyncio
import base64
import gc
import os

import pytest
from orvex.approval import ApprovalRequest
from orvex_core import SignedApproval, SigningKey

from orvex_cloud import _bridge, approval, petition

pytestmark = pytest.mark.no_sanitizer

WARM_UP, ROUNDS = 2_000, 50_000
ALLOWED_GROWTH = 4 * 1024 * 1024  # bytes; a per-call leak of 80 bytes would already exceed it


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def assert_flat(call):
    for _ in range(WARM_UP):
        call()
    gc.collect()
    before = resident_bytes()
    for _ in range(ROUNDS):
        call()
    gc.collect()
    assert resident_bytes() - before < ALLOWED_GROWTH


@pytest.fixture(scope="module")
def request_and_response():
    holder, approver = SigningKey.generate(), SigningKey.generate()
    request = ApprovalRequest.for_call(holder, warrant_id="w", tool="t", arguments={"a": 1}, ttl_seconds=60)
    signed = SignedApproval.create(approver, request.request_hash).to_bytes()
    result = {
        "status": "approved",
        "responses": [{"signed_approval": signed.hex()}, {"signed_approval": base64.b64encode(signed).decode()}],
    }
    return request, result


class QuickClient:
    def __init__(self, api_key, base_url=None):
        self.result = None

    def create_request(self, **body):
        return {"id": "r"}

    def get_request(self, request_id):
        return QuickClient.result

    def close(self):
        pass


class QuickAsyncClient(QuickClient):
    async def create_request(self, **body):
        return {"id": "r"}

    async def get_request(self, request_id):
        await asyncio.sleep(0)
        return QuickClient.result

    async def close(self):
        pass


def test_payload_building_is_flat(request_and_response):
    request, _ = request_and_response
    assert_flat(lambda: petition.build_approval_request_payload(request).to_create_request_kwargs())


def test_signed_approval_extraction_is_flat(request_and_response):
    _, result = request_and_response
    assert_flat(lambda: approval._extract_signed_approvals(result))


def test_handlers_are_flat(monkeypatch, request_and_response):
    request, result = request_and_response
    QuickClient.result = result
    monkeypatch.setattr(approval, "OrvexCloudClient", QuickClient)
    monkeypatch.setattr(approval, "AsyncOrvexCloudClient", QuickAsyncClient)
    blocking = approval.cloud_approval("k")
    assert_flat(lambda: blocking(request))

    handler = approval.async_cloud_approval("k")

    async def many(n):
        for _ in range(n):
            await handler(request)

    loop = asyncio.new_event_loop()
    try:
        assert_flat(lambda: loop.run_until_complete(many(1)))
    finally:
        loop.close()


def test_failing_coroutines_are_flat():
    async def boom():
        raise KeyError("k")

    def run():
        coro = _bridge._await_catching(boom(), KeyError)
        try:
            coro.send(None)
        except StopIteration:
            pass

    assert_flat(run)
