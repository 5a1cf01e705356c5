"""Cloud approval handlers for the core library."""

import asyncio as asyncio
import base64 as base64
import hashlib as hashlib
import logging
import logging as logging
import time as time
from typing import Any, Awaitable, Callable, Mapping

from orvex_cloud.client import AsyncOrvexCloudClient as AsyncOrvexCloudClient
from orvex_cloud.client import OrvexCloudClient as OrvexCloudClient
from orvex_cloud.exceptions import ApprovalDeniedError as ApprovalDeniedError
from orvex_cloud.exceptions import ApprovalExpiredError as ApprovalExpiredError
from orvex_cloud.exceptions import ApprovalTimeoutError as ApprovalTimeoutError
from orvex_cloud.exceptions import OrvexCloudError as OrvexCloudError
from orvex_cloud.petition import build_approval_request_payload as build_approval_request_payload

logger: logging.Logger

def cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = ...,
    poll_interval: float = 2.0,
    timeout: float = 300.0,
) -> Callable[[Any], Any]: ...
def async_cloud_approval(
    api_key: str,
    *,
    signing_key: Any = None,
    base_url: str = ...,
    poll_interval: float = 2.0,
    timeout: float = 300.0,
) -> Callable[[Any], Awaitable[Any]]: ...
def _poll_until_resolved(
    client: OrvexCloudClient, request_id: str, poll_interval: float, timeout: float
) -> Mapping[str, Any]: ...
async def _async_poll_until_resolved(
    client: AsyncOrvexCloudClient, request_id: str, poll_interval: float, timeout: float
) -> Mapping[str, Any]: ...
def _extract_signed_approvals(result: Mapping[str, Any]) -> Any: ...
