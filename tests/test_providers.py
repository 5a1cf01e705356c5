import json
import logging

import httpx
import pytest

from orvex_cloud.client import AsyncOrvexCloudClient, OrvexCloudClient
from orvex_cloud.providers import CloudReceiptSink

API_KEY = "ok_" + "S" * 32


class Uploads:
    """MockTransport handler recording receipt uploads; ``fail`` makes it misbehave."""

    def __init__(self, fail=None):
        self.fail = fail
        self.bodies = []

    def __call__(self, request):
        assert request.url.path == "/v1/receipts"
        self.bodies.append(json.loads(request.read()))
        if isinstance(self.fail, Exception):
            raise self.fail
        if self.fail is not None:
            return self.fail
        return httpx.Response(200, json={"accepted": len(self.bodies[-1]["receipts"])})


def make_sink(handler):
    client = OrvexCloudClient(API_KEY, "http://cp.test", transport=httpx.MockTransport(handler))
    return CloudReceiptSink(client), client


class Receipt:
    def __init__(self, data):
        self.data = data

    def to_dict(self):
        return self.data


def test_each_receipt_form_is_uploaded():
    uploads = Uploads()
    sink, _ = make_sink(uploads)

    sink({"id": "r1"})
    sink.emit(Receipt({"id": "r2", "sig": b"\x01\x02"}))
    sink.emit(b"\xca\xfe")
    sink.emit_batch([{"id": "r3"}, Receipt({"id": "r4"})])

    assert uploads.bodies == [
        {"receipts": [{"id": "r1"}]},
        {"receipts": [{"id": "r2", "sig": "0102"}]},
        {"receipts": ["cafe"]},
        {"receipts": [{"id": "r3"}, {"id": "r4"}]},
    ]


@pytest.mark.parametrize(
    "fail",
    [
        httpx.Response(500, json={"error": {"code": "internal", "message": "db down"}}),
        httpx.Response(401, json={"error": {"code": "invalid_api_key", "message": "bad key"}}),
        httpx.Response(200, content=b"not json"),
        httpx.ConnectError("connection refused"),
        RuntimeError("handler crashed"),
    ],
    ids=["500", "401", "non-json", "connect-error", "unexpected-exception"],
)
def test_failed_upload_is_logged_and_swallowed(fail, caplog):
    uploads = Uploads(fail=fail)
    sink, _ = make_sink(uploads)

    with caplog.at_level(logging.WARNING, logger="orvex_cloud.providers"):
        sink({"id": "r1"})
        sink.emit_batch([{"id": "r2"}, {"id": "r3"}])

    assert len(uploads.bodies) == 2
    warnings = [r for r in caplog.records if r.name == "orvex_cloud.providers" and r.levelno == logging.WARNING]
    assert len(warnings) == 2
    assert all(API_KEY not in r.getMessage() for r in warnings)


def test_unusable_receipts_are_dropped_and_the_rest_uploaded(caplog):
    class Broken:
        def to_dict(self):
            raise ValueError("cannot serialise")

    uploads = Uploads()
    sink, _ = make_sink(uploads)

    with caplog.at_level(logging.WARNING, logger="orvex_cloud.providers"):
        sink.emit_batch([Broken(), object(), {"id": "ok"}, Receipt(["not", "a", "mapping"])])
        sink(Broken())

    assert uploads.bodies == [{"receipts": [{"id": "ok"}]}]
    assert "cannot serialise" in caplog.text and "object" in caplog.text


def test_sink_owns_and_closes_its_client_once(caplog):
    uploads = Uploads()
    sink, client = make_sink(uploads)
    with sink:
        sink({"id": "r1"})
    assert sink.closed and client.closed

    sink.close()
    with caplog.at_level(logging.WARNING, logger="orvex_cloud.providers"):
        sink({"id": "late"})
    assert len(uploads.bodies) == 1
    assert "closed" in caplog.text


def test_close_failure_is_not_raised():
    class Client:
        closes = 0

        def upload_receipts(self, receipts):
            return {"accepted": len(receipts)}

        def close(self):
            Client.closes += 1
            raise OSError("socket already gone")

    sink = CloudReceiptSink(Client())
    sink.close()
    sink.close()
    assert Client.closes == 1


@pytest.mark.parametrize(
    "make_client", [lambda: None, lambda: "ok_key", lambda: AsyncOrvexCloudClient(API_KEY)], ids=["none", "str", "async"]
)
def test_sink_needs_a_blocking_client(make_client):
    with pytest.raises(TypeError, match="OrvexCloudClient"):
        CloudReceiptSink(make_client())
