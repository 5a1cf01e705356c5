"""Receipt sink that forwards the core library's receipts to Orvex Cloud.

Uploading receipts is best effort: the agent's tool call has already been decided when a
receipt is emitted, so a failed upload is logged and dropped rather than raised into the agent.
"""

from __future__ import annotations

import logging
from collections.abc import Iterable, Mapping
from typing import Any, Dict, List, Union

from orvex_cloud.client import AsyncOrvexCloudClient, OrvexCloudClient

__all__ = ["CloudReceiptSink"]

logger = logging.getLogger("orvex_cloud.providers")

Receipt = Union[Mapping[str, Any], bytes, bytearray, memoryview, Any]


def _to_wire(receipt: Receipt) -> Union[Dict[str, Any], str]:
    """Return the upload form of one receipt: a mapping, or hex text for raw bytes."""
    if isinstance(receipt, (bytes, bytearray, memoryview)):
        return bytes(receipt).hex()
    if isinstance(receipt, Mapping):
        return dict(receipt)
    to_dict = getattr(receipt, "to_dict", None)
    if callable(to_dict):
        data = to_dict()
        if isinstance(data, Mapping):
            return dict(data)
        raise TypeError(f"{type(receipt).__name__}.to_dict() returned {type(data).__name__}, not a mapping")
    raise TypeError(
        f"cannot upload a receipt of type {type(receipt).__name__}; "
        "expected a mapping, bytes or an object with to_dict()"
    )


class CloudReceiptSink:
    """Uploads receipts through an :class:`OrvexCloudClient` it owns; failures are logged, never raised.

    Args:
        receipt_client: The blocking client used for uploads; the sink closes it in :meth:`close`.

    Raises:
        TypeError: ``receipt_client`` is not a blocking client with ``upload_receipts``.
    """

    def __init__(self, receipt_client: OrvexCloudClient) -> None:
        if isinstance(receipt_client, AsyncOrvexCloudClient):
            # Its coroutines would never be awaited and every receipt would vanish silently.
            raise TypeError("CloudReceiptSink needs a blocking OrvexCloudClient, not AsyncOrvexCloudClient")
        if not callable(getattr(receipt_client, "upload_receipts", None)):
            raise TypeError(
                f"CloudReceiptSink needs an OrvexCloudClient, not {type(receipt_client).__name__}"
            )
        self._client = receipt_client
        self._closed = False

    @property
    def closed(self) -> bool:
        """True once :meth:`close` has run."""
        return self._closed

    def __call__(self, receipt: Receipt) -> None:
        """Upload one receipt (the core library calls the sink like a function)."""
        self.emit_batch([receipt])

    def emit(self, receipt: Receipt) -> None:
        """Upload one receipt: a mapping, an object with ``to_dict()``, or bytes."""
        self.emit_batch([receipt])

    def emit_batch(self, receipts: Iterable[Receipt]) -> None:
        """Upload several receipts in one request; unusable receipts are logged and skipped."""
        try:
            items = list(receipts)
        except Exception as exc:  # noqa: BLE001 - a sink never breaks the agent
            logger.warning("cannot read receipts: %s: %s", type(exc).__name__, exc)
            return
        if not items:
            return
        if self._closed:
            logger.warning("receipt sink is closed; dropped %d receipt(s)", len(items))
            return
        wire: List[Union[Dict[str, Any], str]] = []
        for receipt in items:
            try:
                wire.append(_to_wire(receipt))
            except Exception as exc:  # noqa: BLE001
                logger.warning("dropped a receipt: %s: %s", type(exc).__name__, exc)
        if not wire:
            return
        try:
            self._client.upload_receipts(wire)
        except Exception as exc:  # noqa: BLE001
            logger.warning(
                "receipt upload failed, %d receipt(s) dropped: %s: %s",
                len(wire), type(exc).__name__, exc,
            )

    def close(self) -> None:
        """Close the owned client once; later receipts are dropped with a warning."""
        if self._closed:
            return
        self._closed = True
        try:
            self._client.close()
        except Exception as exc:  # noqa: BLE001
            logger.warning("closing the receipt client failed: %s: %s", type(exc).__name__, exc)

    def __enter__(self) -> "CloudReceiptSink":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"CloudReceiptSink(client={self._client!r}, closed={self._closed})"
