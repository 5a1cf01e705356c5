"""Tests of orvex_cloud.petition: the body of a cloud approval request."""

import base64
import dataclasses
import functools
import logging
import sys
from types import SimpleNamespace

import pytest

import orvex.decorators
import orvex_core
from orvex.approval import ApprovalRequest
from orvex.decorators import bound_key
from orvex_core import SigningKey

from orvex_cloud import petition
from orvex_cloud.exceptions import OrvexCloudError

HOLDER_KEY_REQUIRED = (
    "request.holder_key is required for cloud approval - ensure the warrant is bound before enforcement"
)
ATTESTATION_REQUIRED = (
    "approval attestation required - pass signing_key= to cloud_approval() or ensure the warrant "
    "is bound so key_scope() resolves the holder key"
)
HASH_UNRESOLVED = "request_hash could not be resolved for approval request"
HASH_TYPE = "request.request_hash must be bytes or hex string"

REQUIRED_KEYS = [
    "warrant_id",
    "tool",
    "request_hash",
    "holder_key",
    "args_canonical_cbor_b64",
    "approval_context_attestation",
]


@pytest.fixture
def key():
    return SigningKey.from_bytes(bytes(range(32)))


@pytest.fixture
def request_(key):
    """What the core library hands to a handler: holder key, hash, arguments and attestation."""
    return ApprovalRequest.for_call(key, warrant_id="w-1", tool="search", arguments={"q": "cats"})


@pytest.fixture
def bare(key):
    """A request with a holder key and arguments but no attestation and no request hash."""
    return SimpleNamespace(
        warrant_id="w-1", tool="search", arguments={"q": "cats"}, holder_key=key.public_key.to_bytes()
    )


@pytest.fixture
def builder_calls(monkeypatch):
    """Spy on the core library's attestation builder; the real one still runs."""
    calls = []
    real = orvex_core.py_build_approval_context_attestation

    def spy(*args):
        calls.append(args)
        return real(*args)

    monkeypatch.setattr(orvex_core, "py_build_approval_context_attestation", spy)
    return calls


def _fixed_builder(monkeypatch, result):
    calls = []

    def build(*args):
        calls.append(args)
        return result

    monkeypatch.setattr(orvex_core, "py_build_approval_context_attestation", build)
    return calls


def _payload(**overrides):
    fields = dict(
        warrant_id="w",
        tool="t",
        request_hash=b"\x01",
        holder_key=b"\x02",
        args_canonical_cbor_b64="oA==",
        approval_context_attestation={"v": 1},
    )
    fields.update(overrides)
    return petition.ApprovalRequestPayload(**fields)


# ---- module and record -----------------------------------------------------------------------


def test_module_setting():
    assert petition.logger is logging.getLogger("orvex_cloud.petition")
    assert petition.OrvexCloudError is OrvexCloudError
    assert petition.dataclass is dataclasses.dataclass


def test_payload_record_is_a_plain_dataclass():
    cls = petition.ApprovalRequestPayload
    assert cls.__module__ == "orvex_cloud.petition"
    assert [f.name for f in dataclasses.fields(cls)] == REQUIRED_KEYS + [
        "metadata",
        "policy_id",
        "threshold",
        "approver_keys",
        "ttl_seconds",
        "idempotency_key",
    ]
    by_position = cls("w", "t", b"\x01", b"\x02", "oA==", {"v": 1})
    assert by_position == _payload()
    assert by_position.metadata is None and by_position.idempotency_key is None
    assert "ApprovalRequestPayload(warrant_id='w'" in repr(by_position)
    by_position.tool = "other"  # not frozen
    assert by_position != _payload()


# ---- _resolve_holder_key ------------------------------------------------------------------------


class _KeyObject:
    def to_bytes(self):
        return bytearray(b"\x0a\x0b")


@pytest.mark.parametrize(
    "holder_key, expected",
    [
        (b"\x01\x02", b"\x01\x02"),
        (bytearray(b"\x03"), b"\x03"),
        ("a1b2", b"\xa1\xb2"),
        ("", b""),
        (_KeyObject(), b"\x0a\x0b"),
        (None, b""),
        (object(), b""),
        (SimpleNamespace(to_bytes=b"not callable"), b""),
    ],
    ids=["bytes", "bytearray", "hex", "empty-text", "to_bytes", "none", "plain-object", "non-callable"],
)
def test_resolve_holder_key(holder_key, expected):
    result = petition._resolve_holder_key(SimpleNamespace(holder_key=holder_key))
    assert result == expected and type(result) is bytes


def test_resolve_holder_key_without_attribute_and_bad_hex():
    assert petition._resolve_holder_key(object()) == b""
    assert petition._resolve_holder_key(None) == b""
    with pytest.raises(ValueError):
        petition._resolve_holder_key(SimpleNamespace(holder_key="zz"))


# ---- _normalize_request_hash --------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [(b"\x00\xff", b"\x00\xff"), (bytearray(b"\x01"), b"\x01"), ("00ff", b"\x00\xff"), ("", b"")],
)
def test_normalize_request_hash(value, expected):
    result = petition._normalize_request_hash(value)
    assert result == expected and type(result) is bytes


@pytest.mark.parametrize("value", [None, 12, 1.5, object(), ["00"]])
def test_normalize_request_hash_rejects_other_types(value):
    with pytest.raises(OrvexCloudError) as info:
        petition._normalize_request_hash(value)
    assert str(info.value) == HASH_TYPE


def test_normalize_request_hash_bad_hex_is_value_error():
    with pytest.raises(ValueError):
        petition._normalize_request_hash("not hex")


# ---- _resolve_signing_key -----------------------------------------------------------------------


def test_resolve_signing_key_explicit_wins_and_scope_is_consulted(key, monkeypatch):
    explicit = object()
    assert petition._resolve_signing_key(explicit) is explicit
    assert petition._resolve_signing_key(0) == 0  # falsy but not None: still explicit
    assert petition._resolve_signing_key() is None
    with bound_key(key):
        assert petition._resolve_signing_key() is key
        assert petition._resolve_signing_key(None) is key


@pytest.mark.parametrize("raised_by", ["python", "native"])
def test_resolve_signing_key_failing_scope_logs_at_debug(monkeypatch, caplog, raised_by):
    if raised_by == "python":
        error = RuntimeError("no scope active")

        def key_scope():
            raise error

    else:
        # An error set by native code reaches the handler unnormalised on older hosts.
        key_scope = functools.partial(int, "no scope")
    monkeypatch.setattr(orvex.decorators, "key_scope", key_scope)
    with caplog.at_level(logging.DEBUG, logger="orvex_cloud.petition"):
        assert petition._resolve_signing_key() is None
    [record] = caplog.records
    assert record.levelno == logging.DEBUG and record.name == "orvex_cloud.petition"
    assert record.msg == "key_scope unavailable: %s"
    [logged] = record.args
    if raised_by == "python":
        assert logged is error
    else:
        assert isinstance(logged, ValueError) and "no scope" in str(logged)


@pytest.mark.parametrize("how", ["raises-import-error", "module-missing", "name-missing"])
def test_resolve_signing_key_without_core_library_is_silent(how, monkeypatch, caplog):
    if how == "raises-import-error":

        def key_scope():
            raise ImportError("late import inside key_scope")

        monkeypatch.setattr(orvex.decorators, "key_scope", key_scope)
    elif how == "module-missing":
        monkeypatch.setitem(sys.modules, "orvex.decorators", None)
    else:
        monkeypatch.delattr(orvex.decorators, "key_scope")
    with caplog.at_level(logging.DEBUG, logger="orvex_cloud.petition"):
        assert petition._resolve_signing_key() is None
    assert caplog.records == []


def test_resolve_signing_key_lets_base_exceptions_through(monkeypatch):
    def key_scope():
        raise KeyboardInterrupt

    monkeypatch.setattr(orvex.decorators, "key_scope", key_scope)
    with pytest.raises(KeyboardInterrupt):
        petition._resolve_signing_key()


# ---- _extract_policy_id -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "attrs, override, expected",
    [
        ({"policy_id": "p-req", "policy_ref": "ref"}, "p-arg", "p-arg"),
        ({"policy_id": "p-req", "policy_ref": "ref"}, None, "p-req"),
        ({"policy_id": "", "policy_ref": "ref"}, "", "ref"),
        ({"policy_id": 7, "policy_ref": "ref"}, None, "ref"),
        ({"policy_id": {"id": "x"}}, None, None),
        ({}, None, None),
    ],
    ids=["override", "policy_id", "empty-falls-to-ref", "number-skipped", "mapping-skipped", "none"],
)
def test_extract_policy_id(attrs, override, expected):
    assert petition._extract_policy_id(SimpleNamespace(**attrs), override) == expected


# ---- _extract_inline_rules ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "attrs, expected",
    [
        (
            {"required_approvers": [b"\x01\x02", "abc", bytearray(b"\xff"), b"\x01\x02"]},
            (["0102", "abc", "ff", "0102"], None, None),
        ),
        ({"required_approvers": []}, (None, None, None)),
        ({"required_approvers": (k for k in [b"\xab"])}, (["ab"], None, None)),
        ({"min_approvals": "2"}, (None, "2", None)),
        ({"ttl_seconds": None, "gate_ttl": "600"}, (None, None, 600)),
        ({"ttl_seconds": 0, "gate_ttl": "600"}, (None, None, 0)),
        ({"ttl_seconds": "30"}, (None, None, "30")),
        ({"gate_ttl": 12.9}, (None, None, 12)),
        ({}, (None, None, None)),
    ],
    ids=[
        "approver-keys",
        "empty-approvers",
        "iterable-approvers",
        "threshold-unchanged",
        "gate-ttl",
        "ttl-zero-wins",
        "ttl-not-converted",
        "gate-ttl-int",
        "nothing",
    ],
)
def test_extract_inline_rules(attrs, expected):
    assert petition._extract_inline_rules(SimpleNamespace(**attrs)) == expected


def test_extract_inline_rules_key_objects_use_their_text(key):
    (keys, _, _) = petition._extract_inline_rules(SimpleNamespace(required_approvers=[key.public_key]))
    assert keys == [key.public_key.hex()]


def test_extract_inline_rules_bad_gate_ttl_raises():
    with pytest.raises(ValueError):
        petition._extract_inline_rules(SimpleNamespace(gate_ttl="ten minutes"))


# ---- _build_attestation_fields ------------------------------------------------------------------


def test_build_attestation_fields_uses_the_core_library(key, bare, builder_calls):
    args_b64, attestation, request_hash = petition._build_attestation_fields(
        bare, signing_key=key, holder_key=b"not consulted"
    )
    [(signing_key, warrant_id, tool, arguments, holder_pub)] = builder_calls
    assert signing_key is key and holder_pub is key.public_key
    assert (warrant_id, tool) == ("w-1", "search") and arguments is bare.arguments
    assert orvex_core.verify_approval_context_attestation(attestation, args_b64)
    assert request_hash == bytes.fromhex(attestation["request_hash"])


@pytest.mark.parametrize(
    "request_hash, att_hash, expected",
    [
        (b"\x01", "00ff", b"\x00\xff"),  # the attestation's hash wins when it parses
        (b"\x01", "not hex", b"\x01"),
        ("0a0b", 1234, b"\x12\x34"),  # read through its text form
        (None, "00ff", b"\x00\xff"),  # None counts as no hash
        (None, "", b""),
        ("0a0b", None, b"\x0a\x0b"),
    ],
)
def test_build_attestation_fields_request_hash(monkeypatch, request_hash, att_hash, expected):
    _fixed_builder(monkeypatch, ("b64", [("request_hash", att_hash)]))
    request = SimpleNamespace(warrant_id="w", tool="t", arguments=None, request_hash=request_hash)
    args_b64, attestation, result = petition._build_attestation_fields(
        request, signing_key=SimpleNamespace(public_key="pub"), holder_key=b""
    )
    assert (args_b64, attestation) == ("b64", {"request_hash": att_hash})
    assert type(attestation) is dict
    assert result == expected


def test_build_attestation_fields_without_request_hash_attribute(monkeypatch):
    _fixed_builder(monkeypatch, ("b64", {}))
    request = SimpleNamespace(warrant_id="w", tool="t", arguments=None)
    assert petition._build_attestation_fields(
        request, signing_key=SimpleNamespace(public_key="pub"), holder_key=b""
    ) == ("b64", {}, b"")


_CALL_ATTRS = {"warrant_id": "w", "tool": "t", "arguments": None}


@pytest.mark.parametrize(
    "result, request_attrs, error",
    [
        (("b64", {}, "extra"), _CALL_ATTRS, ValueError),
        (("b64",), _CALL_ATTRS, ValueError),
        (None, _CALL_ATTRS, TypeError),
        (("b64", {}), {**_CALL_ATTRS, "request_hash": 5}, OrvexCloudError),
        (("b64", {}), {"tool": "t", "arguments": None}, AttributeError),
    ],
    ids=["three-values", "one-value", "not-iterable", "bad-request-hash", "missing-warrant-id"],
)
def test_build_attestation_fields_errors(monkeypatch, result, request_attrs, error):
    _fixed_builder(monkeypatch, result)
    with pytest.raises(error):
        petition._build_attestation_fields(
            SimpleNamespace(**request_attrs), signing_key=SimpleNamespace(public_key="pub"), holder_key=b""
        )


def test_build_attestation_fields_core_library_missing(monkeypatch, key, bare):
    monkeypatch.setitem(sys.modules, "orvex_core", None)
    with pytest.raises(ImportError):
        petition._build_attestation_fields(bare, signing_key=key, holder_key=b"")


def test_build_attestation_fields_signature():
    with pytest.raises(TypeError):
        petition._build_attestation_fields(object(), object(), b"")  # keywords only
    with pytest.raises(TypeError):
        petition._build_attestation_fields(object(), signing_key=object())  # holder_key required


# ---- build_approval_request_payload -------------------------------------------------------------


def test_build_payload_from_core_library_request(request_, key, builder_calls):
    request_.idempotency_key = "idem-req"
    payload = petition.build_approval_request_payload(request_)
    assert isinstance(payload, petition.ApprovalRequestPayload)
    assert payload.warrant_id == "w-1" and payload.tool == "search"
    assert payload.holder_key == key.public_key.to_bytes()
    assert payload.request_hash == request_.request_hash
    assert payload.args_canonical_cbor_b64 == request_.args_canonical_cbor_b64
    assert payload.approval_context_attestation == request_.approval_context_attestation
    assert payload.approval_context_attestation is not request_.approval_context_attestation
    assert payload.metadata is request_.arguments
    assert (payload.policy_id, payload.threshold, payload.approver_keys, payload.ttl_seconds) == (None,) * 4
    assert payload.idempotency_key == "idem-req"
    assert builder_calls == []  # the request's own attestation stands


def test_build_payload_keeps_request_attestation_even_with_a_key(request_, key, builder_calls):
    with bound_key(key):
        payload = petition.build_approval_request_payload(request_, signing_key=key)
    assert builder_calls == []
    assert payload.approval_context_attestation == request_.approval_context_attestation


def test_build_payload_copies_attestation_given_as_pairs(request_):
    request_.approval_context_attestation = list(request_.approval_context_attestation.items())
    payload = petition.build_approval_request_payload(request_, signing_key=object())
    assert type(payload.approval_context_attestation) is dict
    assert payload.approval_context_attestation == dict(request_.approval_context_attestation)


@pytest.mark.parametrize("missing", ["args", "attestation"])
def test_build_payload_rebuilds_incomplete_attestation(request_, key, builder_calls, missing):
    if missing == "args":
        request_.args_canonical_cbor_b64 = ""
        request_.approval_context_attestation = {"stale": True}
    else:
        request_.approval_context_attestation = None
    request_.request_hash = b"\x99"  # replaced by the rebuilt attestation's hash
    payload = petition.build_approval_request_payload(request_, signing_key=key)
    assert len(builder_calls) == 1
    assert "stale" not in payload.approval_context_attestation
    assert orvex_core.verify_approval_context_attestation(
        payload.approval_context_attestation, payload.args_canonical_cbor_b64
    )
    assert payload.request_hash == bytes.fromhex(payload.approval_context_attestation["request_hash"])


def test_build_payload_signing_key_from_key_scope(bare, key, builder_calls):
    with bound_key(key):
        payload = petition.build_approval_request_payload(bare)
    assert builder_calls[0][0] is key
    assert payload.request_hash == bytes.fromhex(payload.approval_context_attestation["request_hash"])


def test_build_payload_always_consults_key_scope(request_, monkeypatch):
    seen = []
    monkeypatch.setattr(orvex.decorators, "key_scope", lambda: seen.append("called"))
    petition.build_approval_request_payload(request_)
    assert seen == ["called"]


def test_build_payload_takes_the_attestation_hash_when_the_request_has_none(key):
    request = SimpleNamespace(
        holder_key=key.public_key.to_bytes(),
        args_canonical_cbor_b64="oA==",
        approval_context_attestation={"request_hash": "00ff"},
    )
    payload = petition.build_approval_request_payload(request)
    assert payload.request_hash == b"\x00\xff"
    assert (payload.warrant_id, payload.tool, payload.metadata) == ("", "", None)


def test_build_payload_uses_rebuilt_fields_unchecked(bare, monkeypatch):
    """The attestation step's result is used without a further emptiness check."""
    monkeypatch.setattr(petition, "_build_attestation_fields", lambda r, **kw: ("", {}, b"\x07"))
    payload = petition.build_approval_request_payload(bare, signing_key=object())
    assert (payload.args_canonical_cbor_b64, payload.approval_context_attestation) == ("", {})
    assert payload.request_hash == b"\x07"


@pytest.mark.parametrize(
    "attrs, signing_key, error, message",
    [
        ({"holder_key": None}, "key", OrvexCloudError, HOLDER_KEY_REQUIRED),
        ({"holder_key": b""}, "key", OrvexCloudError, HOLDER_KEY_REQUIRED),
        ({"holder_key": object()}, "key", OrvexCloudError, HOLDER_KEY_REQUIRED),
        ({"holder_key": "xyz"}, "key", ValueError, None),
        ({"approval_context_attestation": None}, None, OrvexCloudError, ATTESTATION_REQUIRED),
        ({"args_canonical_cbor_b64": None}, None, OrvexCloudError, ATTESTATION_REQUIRED),
        ({"request_hash": 3}, "key", OrvexCloudError, HASH_TYPE),
        ({"request_hash": "no"}, "key", ValueError, None),
        (
            {"request_hash": None, "approval_context_attestation": {"v": 1}},
            "key",
            OrvexCloudError,
            HASH_UNRESOLVED,
        ),
        (
            {"request_hash": b"", "approval_context_attestation": {"request_hash": ""}},
            "key",
            OrvexCloudError,
            HASH_UNRESOLVED,
        ),
        (
            {"request_hash": None, "approval_context_attestation": {"request_hash": "not hex"}},
            "key",
            ValueError,
            None,
        ),
        ({"gate_ttl": "soon", "ttl_seconds": None}, "key", ValueError, None),
    ],
    ids=[
        "holder-none",
        "holder-empty",
        "holder-no-to_bytes",
        "holder-bad-hex",
        "no-attestation-no-key",
        "no-args-no-key",
        "hash-number",
        "hash-bad-hex",
        "no-hash",
        "empty-attestation-hash",
        "attestation-hash-bad-hex",
        "bad-gate-ttl",
    ],
)
def test_build_payload_errors(request_, key, attrs, signing_key, error, message):
    for name, value in attrs.items():
        setattr(request_, name, value)
    with pytest.raises(error) as info:
        petition.build_approval_request_payload(request_, signing_key=key if signing_key else None)
    assert type(info.value) is error
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("request_without_key", [SimpleNamespace(), None])
def test_build_payload_holder_key_checked_before_key_scope(monkeypatch, request_without_key):
    monkeypatch.setattr(orvex.decorators, "key_scope", lambda: pytest.fail("key_scope consulted"))
    with pytest.raises(OrvexCloudError) as info:
        petition.build_approval_request_payload(request_without_key)
    assert str(info.value) == HOLDER_KEY_REQUIRED


def test_build_payload_rules_policy_metadata_and_idempotency(request_):
    request_.required_approvers = [b"\x01\x02", "abc"]
    request_.min_approvals = 2
    request_.ttl_seconds = None
    request_.gate_ttl = "600"
    request_.policy_ref = "policy-ref"
    request_.idempotency_key = "from-request"
    payload = petition.build_approval_request_payload(request_, policy_id="", idempotency_key="")
    assert payload.approver_keys == ["0102", "abc"]
    assert (payload.threshold, payload.ttl_seconds) == (2, 600)
    assert payload.policy_id == "policy-ref"
    assert payload.idempotency_key == "from-request"

    payload = petition.build_approval_request_payload(request_, policy_id="p-1", idempotency_key="idem-1")
    assert (payload.policy_id, payload.idempotency_key) == ("p-1", "idem-1")


class _Args(dict):
    pass


@pytest.mark.parametrize(
    "arguments, metadata",
    [({}, {}), (_Args(a=1), {"a": 1}), ([("a", 1)], None), (None, None)],
    ids=["empty-mapping", "dict-subclass", "list", "none"],
)
def test_build_payload_metadata(request_, arguments, metadata):
    request_.arguments = arguments
    payload = petition.build_approval_request_payload(request_)
    assert payload.metadata == metadata
    if metadata is not None:
        assert payload.metadata is arguments


def test_build_payload_texts_of_non_text_ids(request_):
    request_.warrant_id = 42
    request_.tool = None
    payload = petition.build_approval_request_payload(request_)
    assert (payload.warrant_id, payload.tool) == ("42", "None")


def test_build_payload_goes_through_module_attributes(request_, monkeypatch):
    calls = []

    class Recorded:
        def __init__(self, **fields):
            calls.append(fields)

    monkeypatch.setattr(petition, "ApprovalRequestPayload", Recorded)
    monkeypatch.setattr(petition, "_resolve_holder_key", lambda request: b"\x42")
    monkeypatch.setattr(petition, "_extract_inline_rules", lambda request: (["k"], 3, 9))
    monkeypatch.setattr(petition, "_extract_policy_id", lambda request, override: "patched")
    assert isinstance(petition.build_approval_request_payload(request_), Recorded)
    [fields] = calls
    assert fields["holder_key"] == b"\x42"
    assert (fields["approver_keys"], fields["threshold"], fields["ttl_seconds"]) == (["k"], 3, 9)
    assert fields["policy_id"] == "patched"


def test_build_payload_raises_the_module_error_type(monkeypatch):
    class Patched(Exception):
        pass

    monkeypatch.setattr(petition, "OrvexCloudError", Patched)
    with pytest.raises(Patched, match="holder_key is required"):
        petition.build_approval_request_payload(SimpleNamespace())


class MakesNoException(Exception):
    def __new__(cls, *args):
        return 42


@pytest.mark.parametrize(
    "error_type",
    [lambda message: ["not", "an", "exception"], lambda message: LookupError, lambda message: MakesNoException],
    ids=["not an exception", "exception class", "class making no exception"],
)
def test_a_rebound_error_type_is_raised_as_python_raises_it(monkeypatch, error_type):
    with pytest.raises(BaseException) as python:
        raise error_type(HASH_TYPE)
    monkeypatch.setattr(petition, "OrvexCloudError", error_type)
    with pytest.raises(BaseException) as native:
        petition._normalize_request_hash(5)
    assert (type(native.value), str(native.value)) == (type(python.value), str(python.value))


def test_build_payload_signature(request_):
    with pytest.raises(TypeError):
        petition.build_approval_request_payload(request_, None)  # keywords only
    with pytest.raises(TypeError):
        petition.build_approval_request_payload(request_, unknown=1)


# ---- to_create_request_kwargs -------------------------------------------------------------------


def test_body_with_required_fields_only():
    payload = _payload()
    body = payload.to_create_request_kwargs()
    assert list(body) == REQUIRED_KEYS
    assert body["approval_context_attestation"] is payload.approval_context_attestation
    assert body["request_hash"] == b"\x01" and body["holder_key"] == b"\x02"
    assert body is not payload.to_create_request_kwargs()


@pytest.mark.parametrize(
    "field, value, sent",
    [
        ("metadata", {}, True),
        ("metadata", None, False),
        ("policy_id", "p", True),
        ("policy_id", "", False),
        ("threshold", 0, True),
        ("approver_keys", [], True),
        ("ttl_seconds", 0, True),
        ("idempotency_key", "k", True),
        ("idempotency_key", "", False),
    ],
)
def test_body_optional_keys(field, value, sent):
    body = _payload(**{field: value}).to_create_request_kwargs()
    assert (field in body) is sent
    if sent:
        assert body[field] is value


def test_body_key_order_with_every_field():
    body = _payload(
        metadata={"a": 1},
        policy_id="p",
        threshold=2,
        approver_keys=["k"],
        ttl_seconds=60,
        idempotency_key="i",
    ).to_create_request_kwargs()
    assert list(body) == [f.name for f in dataclasses.fields(petition.ApprovalRequestPayload)]


def test_body_of_a_payload_whose_field_cannot_be_read_raises_that_error():
    class Unreadable:
        warrant_id = "w"

        @property
        def tool(self):
            raise LookupError("no tool")

    with pytest.raises(LookupError, match="no tool"):
        petition.ApprovalRequestPayload.to_create_request_kwargs(Unreadable())


def test_body_of_a_built_payload_sends_raw_bytes(request_, key):
    body = petition.build_approval_request_payload(request_).to_create_request_kwargs()
    assert body["holder_key"] == key.public_key.to_bytes()
    assert body["request_hash"] == request_.request_hash
    assert base64.b64decode(body["args_canonical_cbor_b64"]) == orvex_core.canonical_args_cbor({"q": "cats"})
    assert body["metadata"] == {"q": "cats"}
    assert "policy_id" not in body and "idempotency_key" not in body
