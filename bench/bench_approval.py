"""Approval path, native modules against the same modules written in plain Python (bench/baseline),
measured in the same run: payload building, signed-approval extraction, one blocking and one
asynchronous handler run against an in-process client (no network), and the coroutine bridge."""

import asyncio
import base64
import types

from _timing import compare
from baseline import approval_py, petition_py
from orvex.approval import ApprovalRequest
from orvex_core import SignedApproval, SigningKey

from orvex_cloud import _bridge, approval, petition


class InProcessClient:
    """Answers like the Cloud API, without a network: the request is approved at the first poll."""

    result = None

    def __init__(self, api_key, base_url=None):
        pass

    def create_request(self, **body):
        return {"id": "apr_1"}

    def get_request(self, request_id):
        return InProcessClient.result

    def close(self):
        pass


class InProcessAsyncClient(InProcessClient):
    async def create_request(self, **body):
        return {"id": "apr_1"}

    async def get_request(self, request_id):
        await asyncio.sleep(0)
        return InProcessClient.result

    async def close(self):
        pass


@types.coroutine
def ready(value):
    return value
    yield  # pragma: no cover - makes this a generator


async def python_await_each(awaitables):
    return [await a for a in awaitables]


def drive(coro):
    try:
        coro.send(None)
    except StopIteration as stop:
        return stop.value
    raise RuntimeError("did not finish")


def main():
    holder, approver = SigningKey.generate(), SigningKey.generate()
    request = ApprovalRequest.for_call(
        holder, warrant_id="w-1", tool="transfer", arguments={"to": "acct", "amount": 5},
        required_approvers=[approver.public_key.to_bytes()], min_approvals=1, ttl_seconds=600,
    )
    signed = SignedApproval.create(approver, request.request_hash).to_bytes()
    result = {"status": "approved", "responses": [{"signed_approval": signed.hex()},
                                                   {"signed_approval": base64.b64encode(signed).decode()}]}
    InProcessClient.result = result
    for module in (approval, approval_py):
        module.OrvexCloudClient = InProcessClient
        module.AsyncOrvexCloudClient = InProcessAsyncClient

    # Same answers from both before timing them.
    assert petition.build_approval_request_payload(request).to_create_request_kwargs() == \
        petition_py.build_approval_request_payload(request).to_create_request_kwargs()
    assert [a.to_bytes() for a in approval._extract_signed_approvals(result)] == \
        [a.to_bytes() for a in approval_py._extract_signed_approvals(result)]

    compare("build payload + request body",
            lambda: petition.build_approval_request_payload(request).to_create_request_kwargs(),
            lambda: petition_py.build_approval_request_payload(request).to_create_request_kwargs())
    compare("extract two signed approvals", lambda: approval._extract_signed_approvals(result),
            lambda: approval_py._extract_signed_approvals(result))
    native_handler, python_handler = approval.cloud_approval("k"), approval_py.cloud_approval("k")
    compare("blocking handler run (in-process client)", lambda: native_handler(request),
            lambda: python_handler(request), number=1000)

    native_async, python_async = approval.async_cloud_approval("k"), approval_py.async_cloud_approval("k")
    loop = asyncio.new_event_loop()
    try:
        compare("async handler run (in-process client)", lambda: loop.run_until_complete(native_async(request)),
                lambda: loop.run_until_complete(python_async(request)), number=500)
    finally:
        loop.close()
    compare("coroutine awaiting 10 ready awaitables",
            lambda: drive(_bridge._await_each([ready(i) for i in range(10)])),
            lambda: drive(python_await_each([ready(i) for i in range(10)])))


if __name__ == "__main__":
    main()
