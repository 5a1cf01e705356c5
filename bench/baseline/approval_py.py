"""Plain-Python approval handlers (baseline for the native `orvex_cloud.approval`)."""

import asyncio
import logging
import time

from orvex_cloud.client import AsyncOrvexCloudClient, OrvexCloudClient  # noqa: F401 (patched in)
from orvex_cloud.exceptions import ApprovalDeniedError, ApprovalExpiredError, ApprovalTimeoutError, OrvexCloudError

from .petition_py import build_approval_request_payload

logger = logging.getLogger("orvex_cloud.approval")


def _decide(request, result, ApprovalDenied):
    status = result["status"]
    if status == "approved":
        return _extract_signed_approvals(result)
    if status == "denied":
        raise ApprovalDenied(request, reason=result.get("denied_reason") or "denied in Orvex Cloud")
    if status == "expired":
        raise ApprovalDenied(request, reason="approval request expired")
    raise ApprovalDenied(request, reason=f"unexpected status: {status}")


def cloud_approval(api_key, *, signing_key=None, base_url="https://api.orvex.cloud", poll_interval=2.0, timeout=300.0):
    def _handle(request):
        from orvex.approval import ApprovalDenied

        payload = build_approval_request_payload(request, signing_key=signing_key)
        client = OrvexCloudClient(api_key, base_url=base_url)
        try:
            ar = client.create_request(**payload.to_create_request_kwargs())
            request_id = ar["id"]
            logger.info("approval request created in cloud", extra={"request_id": request_id, "tool": request.tool})
            result = _poll_until_resolved(client, request_id, poll_interval=poll_interval, timeout=timeout)
            return _decide(request, result, ApprovalDenied)
        except (ApprovalDeniedError, ApprovalExpiredError) as exc:
            raise ApprovalDenied(request, reason=str(exc)) from exc
        except ApprovalTimeoutError:
            raise ApprovalDenied(request, reason=f"timed out after {timeout}s waiting for cloud approval")
        finally:
            client.close()

    return _handle


def async_cloud_approval(api_key, *, signing_key=None, base_url="https://api.orvex.cloud", poll_interval=2.0,
                         timeout=300.0):
    async def _core(request):
        from orvex.approval import ApprovalDenied

        payload = build_approval_request_payload(request, signing_key=signing_key)
        client = AsyncOrvexCloudClient(api_key, base_url=base_url)
        try:
            ar = await client.create_request(**payload.to_create_request_kwargs())
            request_id = ar["id"]
            logger.info("approval request %s created for %s", request_id, request.tool)
            result = await _async_poll_until_resolved(client, request_id, poll_interval=poll_interval, timeout=timeout)
            return _decide(request, result, ApprovalDenied)
        except (ApprovalDeniedError, ApprovalExpiredError) as exc:
            raise ApprovalDenied(request, reason=str(exc)) from exc
        except ApprovalTimeoutError:
            raise ApprovalDenied(request, reason=f"timed out after {timeout}s waiting for cloud approval")
        finally:
            await client.close()

    async def _handle(request):
        asyncio.get_running_loop()
        return await _core(request)

    return _handle


def _poll_until_resolved(client, request_id, poll_interval, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = client.get_request(request_id)
        if result.get("status", "") != "pending":
            return result
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ApprovalTimeoutError(request_id, timeout)
        sleep_time = min(poll_interval, remaining)
        logger.debug("approval still pending, polling again", extra={"request_id": request_id, "sleep": sleep_time})
        time.sleep(sleep_time)


async def _async_poll_until_resolved(client, request_id, poll_interval, timeout):
    deadline = time.monotonic() + timeout
    while True:
        result = await client.get_request(request_id)
        if result.get("status", "") != "pending":
            return result
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise ApprovalTimeoutError(request_id, timeout)
        sleep_time = min(poll_interval, remaining)
        logger.debug("approval still pending, polling again", extra={"request_id": request_id, "sleep": sleep_time})
        await asyncio.sleep(sleep_time)


def _extract_signed_approvals(result):
    responses = result.get("responses", [])
    if not responses:
        raise OrvexCloudError("approved request has no approval responses")
    import base64
    import re

    from orvex.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response

    hex_pattern = re.compile("^[0-9a-fA-F]+$")
    signed_b64 = []
    for r in responses:
        raw = r.get("signed_approval")
        if not raw:
            continue
        if hex_pattern.match(raw) and len(raw) % 2 == 0:
            try:
                signed_b64.append(base64.b64encode(bytes.fromhex(raw)).decode())
                continue
            except (ValueError, TypeError):
                pass
        try:
            base64.b64decode(raw, validate=True)
            signed_b64.append(raw)
        except Exception as exc:
            raise OrvexCloudError("malformed signed_approval in cloud response: not valid hex or base64") from exc
    approvals = signed_approvals_from_response(
        ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=signed_b64 or None)
    )
    if not approvals:
        raise OrvexCloudError("approved request has no approval responses")
    return approvals[0] if len(approvals) == 1 else approvals
