"""Tests of orvex_cloud.models: bootstrap and approval records."""

import dataclasses

import pytest

from orvex_cloud import models, redaction
from orvex_cloud.models import (
    ApprovalPolicyRecord,
    ApprovalRequestRecord,
    ApprovalResponseRecord,
    BootstrapCheck,
    BootstrapReport,
    ClaimAgentResult,
    ConnectConfig,
    ConnectTokenPayload,
)

M = "<redacted>"
API_KEY = redaction._CREDENTIAL_PREFIXES[0] + "Zq3v9XbT2mNc"
REG_TOKEN = redaction._CREDENTIAL_PREFIXES[1] + "a8F2kQ9sLm"
REQUIRED = object()
FRESH_DICT, FRESH_LIST = object(), object()

# class -> docstring, frozen, [(field, default)], fields left out of the representation
SHAPES = {
    ConnectTokenPayload: (
        "Decoded Quick Connect token payload.",
        True,
        [("endpoint", REQUIRED), ("api_key", REQUIRED), ("agent_id", ""), ("registration_token", ""), ("version", 1)],
        set(),
    ),
    ConnectConfig: (
        "Resolved configuration from a Quick Connect token.",
        False,
        [("api_base_url", REQUIRED), ("api_key", REQUIRED), ("agent_id", None), ("registration_token", None)],
        set(),
    ),
    BootstrapCheck: (
        "A single Quick Connect / SDK bootstrap verification check.",
        False,
        [("name", REQUIRED), ("status", REQUIRED), ("message", REQUIRED), ("remediation", ""), ("raw", FRESH_DICT)],
        {"raw"},
    ),
    BootstrapReport: (
        "Result from ``orvex_cloud.doctor()``.",
        False,
        [("ok", REQUIRED), ("config", REQUIRED), ("checks", REQUIRED), ("claimed_agent", None)],
        set(),
    ),
    ClaimAgentResult: (
        "Result of POST /v1/agents/claim.",
        False,
        [("agent_id", REQUIRED), ("name", REQUIRED), ("status", REQUIRED), ("key_id", ""),
         ("registered_at", None), ("raw", FRESH_DICT)],
        {"raw"},
    ),
    ApprovalResponseRecord: (
        "A single approver response on an approval request.",
        False,
        [("approver_key", REQUIRED), ("signed_approval", REQUIRED), ("external_id", ""), ("received_at", None)],
        set(),
    ),
    ApprovalRequestRecord: (
        "Approval request returned by the Orvex Cloud API.",
        False,
        [("id", REQUIRED), ("status", REQUIRED), ("warrant_id", REQUIRED), ("tool", REQUIRED),
         ("policy_id", None), ("threshold", None), ("denied_reason", None), ("expires_at", None),
         ("responses", FRESH_LIST), ("raw", FRESH_DICT)],
        {"raw"},
    ),
    ApprovalPolicyRecord: (
        "Approval policy returned by the Orvex Cloud API.",
        False,
        [("id", REQUIRED), ("name", REQUIRED), ("tool_pattern", REQUIRED), ("threshold", REQUIRED),
         ("approver_keys", REQUIRED), ("ttl_seconds", 300), ("enabled", True), ("raw", FRESH_DICT)],
        {"raw"},
    ),
}


def default_of(f):
    if f.default_factory is dict:
        return FRESH_DICT
    if f.default_factory is list:
        return FRESH_LIST
    return REQUIRED if f.default is dataclasses.MISSING else f.default


def sample(cls):
    """An instance with every field set positionally, in field order."""
    values = {
        "config": ConnectConfig("https://api", ""),
        "checks": [],
        "approver_keys": ["aa"],
        "threshold": 2,
        "ok": True,
        "version": 3,
    }
    return cls(*(values.get(f.name, f"{f.name}-value") for f in dataclasses.fields(cls)))


# ---- record shapes -----------------------------------------------------------------------------


@pytest.mark.parametrize("cls", list(SHAPES), ids=lambda c: c.__name__)
def test_record_shape(cls):
    doc, frozen, fields, hidden = SHAPES[cls]
    assert dataclasses.is_dataclass(cls) and cls.__module__ == "orvex_cloud.models"
    assert cls.__doc__ == doc
    assert [(f.name, default_of(f)) for f in dataclasses.fields(cls)] == fields
    assert {f.name for f in dataclasses.fields(cls) if not f.repr} == hidden

    record = sample(cls)
    assert record == sample(cls)
    assert record != dataclasses.replace(record, **{fields[0][0]: "other"})
    text = repr(record)
    assert text.startswith(cls.__name__ + "(")
    for name in hidden:
        assert f"{name}=" not in text
    if frozen:
        hash(record)
        with pytest.raises(dataclasses.FrozenInstanceError):
            record.version = 2
    else:
        with pytest.raises(TypeError, match="unhashable"):
            hash(record)


@pytest.mark.parametrize(
    "make",
    [
        lambda: BootstrapCheck("n", "ok", "m"),
        lambda: ClaimAgentResult("a", "n", "s"),
        lambda: ApprovalRequestRecord("i", "s", "w", "t"),
        lambda: ApprovalPolicyRecord("i", "n", "p", 1, []),
    ],
)
def test_container_defaults_are_new_for_every_instance(make):
    first, second = make(), make()
    first.raw["k"] = 1
    assert second.raw == {}
    if hasattr(first, "responses"):
        first.responses.append(1)
        assert second.responses == []


@pytest.mark.parametrize(
    "record, shown, hidden",
    [
        (ConnectTokenPayload("https://api", API_KEY, "agt", REG_TOKEN),
         "ConnectTokenPayload(endpoint='https://api', api_key='<redacted>', agent_id='agt', "
         "registration_token='<redacted>', version=1)", [API_KEY, REG_TOKEN]),
        (ConnectTokenPayload("https://api", ""), "ConnectTokenPayload(endpoint='https://api', api_key='', "
         "agent_id='', registration_token='', version=1)", []),
        (ConnectConfig("https://api", API_KEY, "agt", REG_TOKEN),
         "ConnectConfig(api_base_url='https://api', api_key='<redacted>', agent_id='agt', "
         "registration_token='<redacted>')", [API_KEY, REG_TOKEN]),
        (ConnectConfig("https://api", "", None, None),
         "ConnectConfig(api_base_url='https://api', api_key='', agent_id=None, registration_token=None)", []),
        (BootstrapCheck("cloud", "ok", "fine", raw={"api_key": API_KEY}),
         "BootstrapCheck(name='cloud', status='ok', message='fine', remediation='')", [API_KEY]),
        (ClaimAgentResult("agt", "n", "active", raw={"x": REG_TOKEN}),
         "ClaimAgentResult(agent_id='agt', name='n', status='active', key_id='', registered_at=None)", [REG_TOKEN]),
    ],
)
def test_representation_never_shows_a_credential(record, shown, hidden):
    assert repr(record) == shown
    for secret in hidden:
        assert secret not in repr(record) and secret not in str(record)


def test_masked_representation_keeps_equality_hash_and_recursion_guard():
    one, other = ConnectTokenPayload("e", API_KEY), ConnectTokenPayload("e", API_KEY + "x")
    assert repr(one) == repr(other) and one != other
    assert hash(one) == hash(ConnectTokenPayload("e", API_KEY))

    class Local(ConnectConfig):
        pass

    config = Local("https://api", API_KEY)
    config.agent_id = config
    assert repr(config) == (
        f"{Local.__qualname__}(api_base_url='https://api', api_key='<redacted>', agent_id=..., registration_token=None)"
    )


# ---- ConnectTokenPayload -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, expected",
    [
        ({}, ("", "", "", "", 1)),
        ({"e": "https://api", "k": API_KEY, "a": "agt", "t": REG_TOKEN, "v": 2},
         ("https://api", API_KEY, "agt", REG_TOKEN, 2)),
        ({"e": None, "k": None, "a": None, "t": None}, ("", "", "", "", 1)),
        ({"a": "", "t": 0, "e": 5, "k": 0}, ("5", "0", "", "", 1)),
        ({"v": "2"}, ("", "", "", "", 2)),
        ({"v": 1.9}, ("", "", "", "", 1)),
        ({"v": True, "x": "ignored"}, ("", "", "", "", 1)),
    ],
)
def test_token_payload_from_dict(data, expected):
    before = dict(data)
    payload = ConnectTokenPayload.from_dict(data)
    assert (payload.endpoint, payload.api_key, payload.agent_id, payload.registration_token, payload.version) == expected
    assert data == before


@pytest.mark.parametrize(
    "data, error",
    [({"v": None}, TypeError), ({"v": [1]}, TypeError), ({"v": {}}, TypeError), ({"v": "1.0"}, ValueError),
     ({"v": "x"}, ValueError), (["e", "k"], AttributeError)],
)
def test_token_payload_from_dict_raises_the_hosts_errors(data, error):
    with pytest.raises(error):
        ConnectTokenPayload.from_dict(data)


@pytest.mark.parametrize(
    "base", [ConnectTokenPayload, ClaimAgentResult, ApprovalResponseRecord, ApprovalRequestRecord, ApprovalPolicyRecord]
)
def test_from_dict_builds_the_class_it_is_called_on(base):
    derived = type("Derived", (base,), {})
    assert type(derived.from_dict({})) is derived


# ---- ConnectConfig -----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "agent_id, token, agent_mode",
    [("agt", REG_TOKEN, True), ("agt", None, False), ("agt", "", False), (None, REG_TOKEN, False),
     ("", REG_TOKEN, False), (None, None, False)],
)
def test_is_agent_mode(agent_id, token, agent_mode):
    assert ConnectConfig("https://api", API_KEY, agent_id, token).is_agent_mode is agent_mode


@pytest.mark.parametrize(
    "config, expected",
    [
        (ConnectConfig("https://api", "", None, None),
         {"api_base_url": "https://api", "api_key": "", "agent_id": None, "registration_token": None}),
        (ConnectConfig("https://api", API_KEY, "agt", REG_TOKEN),
         {"api_base_url": "https://api", "api_key": M, "agent_id": "agt", "registration_token": M}),
        (ConnectConfig("https://api", "short", "agt", ""),
         {"api_base_url": "https://api", "api_key": M, "agent_id": "agt", "registration_token": None}),
    ],
)
def test_config_redacted_dict(config, expected):
    view = config.redacted_dict()
    assert view == expected and list(view) == list(expected)


# ---- BootstrapCheck, ClaimAgentResult, BootstrapReport ---------------------------------------


@pytest.mark.parametrize("status, ok, warning", [("ok", True, False), ("warning", False, True), ("error", False, False), ("OK", False, False)])
def test_check_status_properties(status, ok, warning):
    check = BootstrapCheck("n", status, "m")
    assert (check.ok, check.warning) == (ok, warning)


def test_check_redacted_dict_scrubs_texts_and_raw():
    check = BootstrapCheck(
        "cloud_reachable",
        "error",
        f"401 for Bearer {API_KEY}.sig",
        f"export ORVEX_API_KEY={API_KEY}",
        raw={"token": "t", "detail": [f"{REG_TOKEN}xx"]},
    )
    view = check.redacted_dict()
    assert view == {
        "name": "cloud_reachable",
        "status": "error",
        "message": f"401 for Bearer {M}",
        "remediation": f"export ORVEX_API_KEY={M}",
        "raw": {"token": M, "detail": [M]},
    }
    assert list(view) == ["name", "status", "message", "remediation", "raw"]
    assert check.raw == {"token": "t", "detail": [f"{REG_TOKEN}xx"]}


def test_redacted_views_use_the_module_redaction_functions(monkeypatch):
    monkeypatch.setattr(models, "redact_text", lambda text: text.upper())
    monkeypatch.setattr(models, "redact_dict", lambda raw: sorted(raw))
    view = BootstrapCheck("n", "ok", "m", "r", {"b": 1, "a": 2}).redacted_dict()
    assert (view["message"], view["remediation"], view["raw"]) == ("M", "R", ["a", "b"])
    assert ClaimAgentResult("a", "n", "s", raw={"z": 1}).redacted_dict()["raw"] == ["z"]


@pytest.mark.parametrize(
    "data, agent_id",
    [
        ({"id": "agt_1", "agent_id": "agt_2"}, "agt_1"),
        ({"agent_id": "agt_2"}, "agt_2"),
        ({"id": None, "agent_id": "agt_2"}, "agt_2"),
        ({"id": None, "agent_id": None}, ""),
        ({"id": "", "agent_id": "agt_2"}, ""),
        ({"id": 42}, "42"),
        ({}, ""),
    ],
)
def test_claim_result_agent_id(data, agent_id):
    assert ClaimAgentResult.from_dict(data).agent_id == agent_id


def test_claim_result_from_dict_and_redacted_dict():
    data = {"id": "agt_1", "name": "billing", "status": "active", "key_id": "k1", "registered_at": 1702273000,
            "registration_token": REG_TOKEN}
    result = ClaimAgentResult.from_dict(data)
    assert result == ClaimAgentResult("agt_1", "billing", "active", "k1", 1702273000, data)
    assert result.raw is not data
    data["later"] = 1
    assert "later" not in result.raw
    assert ClaimAgentResult.from_dict({}) == ClaimAgentResult("", "", "", "", None, {})
    view = result.redacted_dict()
    assert view == {"agent_id": "agt_1", "name": "billing", "status": "active", "key_id": "k1",
                    "registered_at": 1702273000, "raw": {**result.raw, "registration_token": M}}
    assert list(view) == ["agent_id", "name", "status", "key_id", "registered_at", "raw"]


@pytest.fixture
def config():
    return ConnectConfig("https://api", API_KEY, "agt", REG_TOKEN)


@pytest.mark.parametrize(
    "statuses, ok, error",
    [
        (["ok", "warning", "error", "error"], True, "check2: message 2"),
        (["ok", "warning"], False, None),
        ([], False, None),
        (["Error", "ERROR"], True, None),
    ],
)
def test_raise_for_error(config, statuses, ok, error):
    checks = [BootstrapCheck(f"check{n}", status, f"message {n}") for n, status in enumerate(statuses)]
    report = BootstrapReport(ok, config, checks)
    if error is None:
        assert report.raise_for_error() is report
    else:
        with pytest.raises(RuntimeError) as raised:
            report.raise_for_error()
        assert str(raised.value) == error and type(raised.value) is RuntimeError
    assert report.checks == checks and report.ok is ok


@pytest.mark.parametrize("claimed", [None, ClaimAgentResult("agt", "n", "active", raw={"token": "t"})])
def test_report_redacted_dict(config, claimed):
    check = BootstrapCheck("c", "ok", "fine", raw={"secret": "s"})
    view = BootstrapReport(False, config, [check, check], claimed).redacted_dict()
    assert view == {
        "ok": False,
        "config": config.redacted_dict(),
        "checks": [check.redacted_dict(), check.redacted_dict()],
        "claimed_agent": None if claimed is None else claimed.redacted_dict(),
    }
    assert list(view) == ["ok", "config", "checks", "claimed_agent"]


def test_report_redacted_dict_needs_records(config):
    with pytest.raises(AttributeError):
        BootstrapReport(True, {"api_key": API_KEY}, []).redacted_dict()
    with pytest.raises(AttributeError):
        BootstrapReport(True, config, ["check"]).redacted_dict()


@pytest.mark.parametrize("record", [ConnectConfig, BootstrapCheck, ClaimAgentResult, BootstrapReport])
def test_redacted_dict_of_an_object_without_the_fields_raises_attribute_error(record):
    with pytest.raises(AttributeError):
        record.redacted_dict(object())


# ---- approval records --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "data, expected",
    [
        ({}, ApprovalResponseRecord("", "", "", None)),
        ({"approver_key": b"\x0a\xff", "signed_approval": bytearray(b"\x01"), "external_id": "slack:U1",
          "received_at": 5}, ApprovalResponseRecord("0aff", "01", "slack:U1", 5)),
        ({"approver_key": 7, "signed_approval": "c2ln", "external_id": None}, ApprovalResponseRecord("7", "c2ln", "", None)),
        ({"external_id": 0}, ApprovalResponseRecord("", "", "", None)),
    ],
)
def test_response_from_dict(data, expected):
    assert ApprovalResponseRecord.from_dict(data) == expected


def test_request_from_dict():
    data = {
        "id": "req_1", "status": "pending", "warrant_id": "w", "tool": "transfer", "policy_id": "pol",
        "threshold": "2", "denied_reason": None, "expires_at": "2026-12-11T06:00:00Z",
        "responses": [{"approver_key": "aa", "signed_approval": "s"}, "text", None, 3, ["x"], {"approver_key": b"\x01"}],
    }
    record = ApprovalRequestRecord.from_dict(data)
    assert record == ApprovalRequestRecord(
        "req_1", "pending", "w", "transfer", "pol", "2", None, "2026-12-11T06:00:00Z",
        [ApprovalResponseRecord("aa", "s"), ApprovalResponseRecord("01", "")], dict(data),
    )
    assert record.raw is not data and "raw=" not in repr(record)


@pytest.mark.parametrize(
    "data, policy_id, responses",
    [({}, None, []), ({"policy_id": "", "responses": None}, None, []), ({"policy_id": 0, "responses": []}, None, [])],
)
def test_request_from_dict_defaults(data, policy_id, responses):
    record = ApprovalRequestRecord.from_dict(data)
    assert (record.id, record.status, record.warrant_id, record.tool) == ("", "", "", "")
    assert (record.policy_id, record.threshold, record.denied_reason, record.expires_at) == (policy_id, None, None, None)
    assert record.responses == responses and record.raw == data


def test_nested_responses_are_built_through_the_module_class(monkeypatch):
    class Tagged(ApprovalResponseRecord):
        pass

    monkeypatch.setattr(models, "ApprovalResponseRecord", Tagged)
    (response,) = ApprovalRequestRecord.from_dict({"responses": [{}]}).responses
    assert type(response) is Tagged


@pytest.mark.parametrize(
    "data, expected",
    [
        ({}, ApprovalPolicyRecord("", "", "", 1, [], 300, True)),
        ({"id": "pol", "name": "finance", "tool_pattern": "transfer_*", "threshold": "2",
          "approver_keys": [b"\x0a\xff", "bb", 3], "ttl_seconds": 12.9, "enabled": 1},
         ApprovalPolicyRecord("pol", "finance", "transfer_*", 2, ["0aff", "bb", "3"], 12, True)),
        ({"enabled": None, "approver_keys": None, "threshold": True}, ApprovalPolicyRecord("", "", "", 1, [], 300, False)),
        ({"enabled": 0}, ApprovalPolicyRecord("", "", "", 1, [], 300, False)),
    ],
)
def test_policy_from_dict(data, expected):
    record = ApprovalPolicyRecord.from_dict(data)
    assert record == dataclasses.replace(expected, raw=data) and record.raw is not data
    assert type(record.enabled) is bool and type(record.threshold) is int


@pytest.mark.parametrize(
    "cls, data, error",
    [
        (ApprovalPolicyRecord, {"threshold": None}, TypeError),
        (ApprovalPolicyRecord, {"ttl_seconds": [300]}, TypeError),
        (ApprovalPolicyRecord, {"ttl_seconds": "5m"}, ValueError),
        (ApprovalPolicyRecord, {"approver_keys": 5}, TypeError),
        (ApprovalRequestRecord, {"responses": 5}, TypeError),
    ],
)
def test_approval_from_dict_raises_the_hosts_conversion_errors(cls, data, error):
    with pytest.raises(error):
        cls.from_dict(data)
