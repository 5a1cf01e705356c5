"""orvex_cloud.connect: Quick Connect tokens, environment, agent claim, doctor() and connect(),
plus the doctor command line. The Cloud API client is replaced by a scripted fake through the
module attributes, as a caller's test would do."""

import base64
import io
import json
import logging
import os

import pytest
from orvex_env import orvex_env

from orvex_cloud import __main__ as cli
from orvex_cloud import connect
from orvex_cloud.exceptions import (
    AuthenticationError,
    ConflictError,
    NotFoundError,
    OrvexCloudError,
    TransportError,
)
from orvex_cloud.models import BootstrapCheck, ClaimAgentResult, ConnectConfig
from orvex_core import SigningKey

PREFIX = "orvex_qc_"
ENDPOINT = "https://cloud.example.test"
API_KEY = "ok_k3yk3yk3yk3yk3yk3yk3yk3yk3yk3yk3y"
AGENT_ID = "agt_0123"
REG_TOKEN = "rt_r3gr3gr3gr3gr3gr3gr3gr3gr3gr3gr3g"
PUBLIC_HEX = "ab" * 32


def encode(payload, *, pad=False):
    raw = payload if isinstance(payload, bytes) else json.dumps(payload).encode("utf-8")
    text = base64.urlsafe_b64encode(raw).decode("ascii")
    return PREFIX + (text if pad else text.rstrip("="))


def token_for(*, agent=False, endpoint=ENDPOINT, api_key=API_KEY):
    payload = {"v": 1, "e": endpoint, "k": api_key}
    if agent:
        payload.update(a=AGENT_ID, t=REG_TOKEN)
    return encode(payload)


pytestmark = pytest.mark.usefixtures("clean_orvex_env")


# ---- scripted Cloud API ------------------------------------------------------------------


class FakeCloud:
    """Scripted answers per operation (a value, or an exception to raise) and a log of calls."""

    def __init__(self):
        self.script = {
            "health": {"status": "ok", "version": "1.2.3"},
            "get_tenant": {"id": "tn_1", "name": "Acme", "slug": "acme"},
            "list_policies": {"policies": [{"id": "pol_1"}]},
            "claim": {"id": AGENT_ID, "agent_id": AGENT_ID, "name": "bot", "status": "active", "key_id": "key_1"},
        }
        self.clients = []
        self.calls = []
        cloud = self

        class Client:
            def __init__(self, api_key, base_url=None):
                self.api_key, self.base_url, self.closed = api_key, base_url, False
                cloud.clients.append(self)

            def _answer(self, name, *args, **kwargs):
                assert not self.closed, "call on a closed client"
                cloud.calls.append((name, args, kwargs))
                value = cloud.script[name]
                if callable(value) and not isinstance(value, type):
                    value = value()
                if isinstance(value, BaseException):
                    raise value
                return value

            def health(self):
                return self._answer("health")

            def get_tenant(self):
                return self._answer("get_tenant")

            def list_policies(self, *, limit=None):
                return self._answer("list_policies", limit=limit)

            def _send(self, method, path, *, json=None):
                return ("response", self._answer("claim", method, path, json=json))

            def _handle_response(self, resp):
                return resp[1]

            def close(self):
                self.closed = True

        class AsyncClient(Client):
            pass

        self.Client, self.AsyncClient = Client, AsyncClient

    def names(self):
        return [name for name, _, _ in self.calls]


@pytest.fixture
def cloud(monkeypatch):
    fake = FakeCloud()
    monkeypatch.setattr(connect, "OrvexCloudClient", fake.Client)
    monkeypatch.setattr(connect, "AsyncOrvexCloudClient", fake.AsyncClient)
    return fake


def auth_error(status, remediation="Check the key.", body=None):
    return AuthenticationError(
        f"Orvex Cloud rejected the API key (HTTP {status}): nope",
        status_code=status,
        code="unauthorized" if status == 401 else "forbidden",
        remediation=remediation,
        body=body,
    )


# ---- module setting ------------------------------------------------------------------------


def test_module_setting_shares_the_system_values():
    from orvex_cloud import client, redaction

    assert connect._CONNECT_PREFIX == redaction._CONNECT_PREFIX == PREFIX
    assert connect._DEFAULT_API_BASE_URL == client.DEFAULT_BASE_URL
    assert (connect._ENV_CONNECT_TOKEN, connect._ENV_API_KEY, connect._ENV_CONTROL_PLANE_URL) == (
        "ORVEX_CONNECT_TOKEN",
        "ORVEX_API_KEY",
        "ORVEX_CONTROL_PLANE_URL",
    )
    assert connect.logger.name == "orvex_cloud.connect"


# ---- parse_connect_token -------------------------------------------------------------------

# Three endpoint lengths give three different base64 lengths modulo 4, so the padding repair is
# exercised for every remainder.
ENDPOINTS = [ENDPOINT, ENDPOINT + "/", ENDPOINT + "/a"]


@pytest.mark.parametrize("endpoint", ENDPOINTS)
@pytest.mark.parametrize(
    "dress",
    [
        pytest.param(lambda t: t, id="unpadded"),
        pytest.param(None, id="padded"),
        pytest.param(lambda t: t + "\n", id="trailing-newline"),
        pytest.param(lambda t: t + " \r\n", id="trailing-blanks"),
        pytest.param(lambda t: PREFIX + "  " + t[len(PREFIX):], id="blank-after-prefix"),
    ],
)
def test_token_decodes_whatever_its_padding_and_surrounding_white_space(endpoint, dress):
    payload = {"v": 1, "e": endpoint, "k": API_KEY, "a": AGENT_ID, "t": REG_TOKEN}
    token = encode(payload, pad=True) if dress is None else dress(encode(payload))

    parsed = connect.parse_connect_token(token)

    assert (parsed.endpoint, parsed.api_key, parsed.agent_id, parsed.registration_token, parsed.version) == (
        endpoint,
        API_KEY,
        AGENT_ID,
        REG_TOKEN,
        1,
    )


def test_token_written_with_the_standard_alphabet_decodes_too():
    # Five equal bytes always hold one aligned group: "???" encodes as "Pz8/", ">>>" as "Pj4+".
    raw = json.dumps({"e": ENDPOINT, "k": API_KEY, "x": "?????>>>>>"}).encode("utf-8")
    standard = base64.b64encode(raw).decode("ascii").rstrip("=")
    assert "+" in standard and "/" in standard

    assert connect.parse_connect_token(PREFIX + standard).api_key == API_KEY


@pytest.mark.parametrize(
    "payload, expected",
    [
        ({"e": ENDPOINT, "k": API_KEY}, ("", "", 1)),
        ({"e": ENDPOINT, "k": API_KEY, "v": "2", "z": "ignored"}, ("", "", 2)),
        ({"e": ENDPOINT, "k": API_KEY, "a": None, "t": None}, ("", "", 1)),
        ({"e": ENDPOINT, "k": API_KEY, "a": "", "t": REG_TOKEN}, ("", REG_TOKEN, 1)),
    ],
    ids=["minimal", "text-version", "null-binding", "empty-agent"],
)
def test_optional_fields_default(payload, expected):
    parsed = connect.parse_connect_token(encode(payload))
    assert (parsed.agent_id, parsed.registration_token, parsed.version) == expected


INCOMPLETE = "incomplete connect token: endpoint and api_key are required"
EXPECTED_PREFIX = "invalid connect token: expected prefix 'orvex_qc_'"


@pytest.mark.parametrize(
    "token, message, cause",
    [
        ("", EXPECTED_PREFIX, None),
        (" " + token_for(), EXPECTED_PREFIX, None),
        ("ORVEX_QC_" + token_for()[len(PREFIX):], EXPECTED_PREFIX, None),
        (API_KEY, EXPECTED_PREFIX, None),
        (PREFIX + "a", "invalid connect token encoding: ", ValueError),
        (PREFIX + "\u00e9t\u00e9", "invalid connect token encoding: ", ValueError),
        (PREFIX, "invalid connect token JSON: Expecting value: line 1 column 1 (char 0)", json.JSONDecodeError),
        (encode(b"\xff\xfe{}"), "invalid connect token JSON: ", UnicodeDecodeError),
        (encode(b"not json"), "invalid connect token JSON: ", json.JSONDecodeError),
        (encode([ENDPOINT, API_KEY]), "invalid connect token JSON: ", Exception),
        (encode("text"), "invalid connect token JSON: ", Exception),
        (encode(b"null"), "invalid connect token JSON: ", Exception),
        (encode(b"42"), "invalid connect token JSON: ", Exception),
        (encode({"e": ENDPOINT, "k": API_KEY, "v": "two"}), "invalid connect token JSON: ", ValueError),
        (encode({"e": ENDPOINT, "k": API_KEY, "v": [1]}), "invalid connect token JSON: ", TypeError),
        (encode({"e": ENDPOINT, "k": API_KEY, "v": {}}), "invalid connect token JSON: ", TypeError),
        (encode({"k": API_KEY}), INCOMPLETE, None),
        (encode({"e": ENDPOINT, "k": ""}), INCOMPLETE, None),
        (encode({"e": None, "k": API_KEY}), INCOMPLETE, None),
        (encode({"e": ENDPOINT, "k": None}), INCOMPLETE, None),
    ],
    ids=[
        "empty", "leading-blank", "upper-case-prefix", "api-key", "lone-char", "non-ascii", "bare-prefix",
        "not-utf8", "not-json", "json-list", "json-text", "json-null", "json-number", "version-text",
        "version-list", "version-object", "no-endpoint", "empty-key", "null-endpoint", "null-key",
    ],
)
def test_malformed_token_raises_typed_error(token, message, cause):
    with pytest.raises(OrvexCloudError) as info:
        connect.parse_connect_token(token)

    err = info.value
    assert type(err) is OrvexCloudError
    if message.endswith(": "):
        assert str(err).startswith(message) and len(str(err)) > len(message)
        assert str(err) == message + str(err.__cause__)
        assert err.__suppress_context__
    else:
        assert str(err) == message
    if cause is None:
        assert err.__cause__ is None
    else:
        assert isinstance(err.__cause__, cause)


def test_cause_is_the_exception_object_for_errors_raised_in_c(monkeypatch):
    # A decoder written in C hands its error over unnormalised on older hosts; the cause must
    # still be the exception instance, not its bare message.
    import binascii
    import types

    monkeypatch.setattr(connect, "base64", types.SimpleNamespace(urlsafe_b64decode=binascii.a2b_base64))
    with pytest.raises(OrvexCloudError) as info:
        connect.parse_connect_token(PREFIX + "a")
    assert isinstance(info.value.__cause__, binascii.Error)
    assert str(info.value) == "invalid connect token encoding: " + str(info.value.__cause__)


@pytest.mark.parametrize("token", [None, 42, PREFIX.encode() + b"e30"])
def test_token_must_be_text(token):
    with pytest.raises(TypeError, match="connect token must be a str"):
        connect.parse_connect_token(token)


# ---- connect_config_from_token -------------------------------------------------------------


@pytest.mark.parametrize(
    "endpoint, base_url",
    [(ENDPOINT, ENDPOINT), (ENDPOINT + "//", ENDPOINT), (ENDPOINT + "/api//v2/", ENDPOINT + "/api//v2")],
)
def test_config_drops_trailing_slashes_only(endpoint, base_url):
    config = connect.connect_config_from_token(token_for(endpoint=endpoint))
    assert config == ConnectConfig(api_base_url=base_url, api_key=API_KEY, agent_id=None, registration_token=None)
    assert not config.is_agent_mode


def test_config_carries_the_agent_binding():
    config = connect.connect_config_from_token(token_for(agent=True))
    assert (config.agent_id, config.registration_token, config.is_agent_mode) == (AGENT_ID, REG_TOKEN, True)


def test_null_agent_id_gives_none_like_an_absent_one():
    config = connect.connect_config_from_token(encode({"e": ENDPOINT, "k": API_KEY, "a": None, "t": REG_TOKEN}))
    assert config.agent_id is None and config.registration_token == REG_TOKEN and not config.is_agent_mode


def test_endpoint_of_slashes_only_is_incomplete():
    with pytest.raises(OrvexCloudError, match="^incomplete connect token"):
        connect.connect_config_from_token(token_for(endpoint="///"))


# ---- apply_connect_config ------------------------------------------------------------------

AGENT_CONFIG = ConnectConfig(api_base_url=ENDPOINT, api_key=API_KEY, agent_id=AGENT_ID, registration_token=REG_TOKEN)
PLAIN_CONFIG = ConnectConfig(api_base_url=ENDPOINT, api_key=API_KEY)


@pytest.mark.parametrize(
    "config, before, overwrite, after",
    [
        (
            AGENT_CONFIG,
            {},
            False,
            {"ORVEX_API_KEY": API_KEY, "ORVEX_CONTROL_PLANE_URL": ENDPOINT, "ORVEX_AGENT_ID": AGENT_ID},
        ),
        (
            PLAIN_CONFIG,
            {"ORVEX_API_KEY": "ok_mine"},
            False,
            {"ORVEX_API_KEY": "ok_mine", "ORVEX_CONTROL_PLANE_URL": ENDPOINT},
        ),
        (
            PLAIN_CONFIG,
            {"ORVEX_API_KEY": "ok_mine", "ORVEX_CONTROL_PLANE_URL": "http://old"},
            True,
            {"ORVEX_API_KEY": API_KEY, "ORVEX_CONTROL_PLANE_URL": ENDPOINT},
        ),
        (
            AGENT_CONFIG,
            {"ORVEX_AGENT_ID": "", "ORVEX_API_KEY": ""},
            False,
            {"ORVEX_API_KEY": API_KEY, "ORVEX_CONTROL_PLANE_URL": ENDPOINT, "ORVEX_AGENT_ID": AGENT_ID},
        ),
        (
            PLAIN_CONFIG,
            {"ORVEX_AGENT_ID": "agt_other"},
            True,
            {"ORVEX_API_KEY": API_KEY, "ORVEX_CONTROL_PLANE_URL": ENDPOINT, "ORVEX_AGENT_ID": "agt_other"},
        ),
    ],
    ids=["fresh", "keeps-set-key", "overwrite", "empty-counts-as-unset", "never-removes-agent-id"],
)
def test_apply_connect_config(monkeypatch, config, before, overwrite, after):
    for name, value in before.items():
        monkeypatch.setenv(name, value)

    assert connect.apply_connect_config(config, overwrite=overwrite) is None

    assert orvex_env() == after
    assert REG_TOKEN not in os.environ.values()


@pytest.mark.parametrize(
    "config, error",
    [
        (ConnectConfig(api_base_url=5, api_key=API_KEY), TypeError),
        (ConnectConfig(api_base_url=ENDPOINT, api_key=API_KEY, agent_id=7), TypeError),
        (ConnectConfig(api_base_url=ENDPOINT + "\x00", api_key=API_KEY), ValueError),
    ],
    ids=["url-not-text", "agent-id-not-text", "null-character"],
)
def test_unusable_config_changes_no_variable(config, error):
    with pytest.raises(error, match="config\\."):
        connect.apply_connect_config(config, overwrite=True)
    assert orvex_env() == {}


# ---- agent claim ---------------------------------------------------------------------------


def test_claim_agent_posts_the_claim_and_logs_it(cloud, caplog):
    caplog.set_level(logging.INFO, logger="orvex_cloud.connect")
    client = cloud.Client(API_KEY)

    result = connect.claim_agent(client, agent_id=AGENT_ID, public_key_hex=PUBLIC_HEX, registration_token=REG_TOKEN)

    (name, args, kwargs), = cloud.calls
    assert args == ("POST", "agents/claim")
    assert list(kwargs["json"].items()) == [
        ("agent_id", AGENT_ID),
        ("public_key", PUBLIC_HEX),
        ("registration_token", REG_TOKEN),
    ]
    assert result == ClaimAgentResult.from_dict(cloud.script["claim"])
    (record,) = caplog.records
    assert (record.getMessage(), record.agent_id, record.status) == ("agent claimed", AGENT_ID, "active")


@pytest.mark.parametrize("answer", [["not", "an", "object"], None])
def test_claim_answer_that_is_no_object_is_a_typed_error(cloud, answer):
    cloud.script["claim"] = answer
    with pytest.raises(OrvexCloudError, match="POST /v1/agents/claim with .* where a JSON object") as info:
        connect.claim_agent(cloud.Client(API_KEY), agent_id=AGENT_ID, public_key_hex=PUBLIC_HEX, registration_token="x")
    assert info.value.code == "invalid_response"


@pytest.mark.parametrize(
    "status_code, code, expected",
    [(409, None, True), (409, "other", True), (400, "agent_not_pending", True), (403, "forbidden", False), (None, None, False)],
)
def test_already_claimed(status_code, code, expected):
    assert connect._already_claimed(OrvexCloudError("x", status_code=status_code, code=code)) is expected


@pytest.mark.parametrize(
    "error",
    [ConflictError("conflict", status_code=409), OrvexCloudError("gone", status_code=410, code="agent_not_pending")],
    ids=["http-409", "agent-not-pending"],
)
def test_claim_of_an_already_claimed_agent_counts_as_active(cloud, caplog, error):
    caplog.set_level(logging.INFO, logger="orvex_cloud.connect")
    cloud.script["claim"] = error

    result = connect._claim_or_already_active(
        cloud.Client(API_KEY), agent_id=AGENT_ID, public_key_hex=PUBLIC_HEX, registration_token=REG_TOKEN
    )

    assert (result.agent_id, result.status, result.name, result.key_id, result.registered_at) == (
        AGENT_ID, "active", "", "", None,
    )
    assert result.raw == {"agent_id": AGENT_ID, "status": "active"}
    assert [(r.getMessage(), r.agent_id) for r in caplog.records] == [("agent already claimed", AGENT_ID)]


@pytest.mark.parametrize("error", [auth_error(403), RuntimeError("bug")], ids=["other-cloud-error", "not-a-cloud-error"])
def test_other_claim_errors_propagate_unchanged(cloud, error):
    cloud.script["claim"] = error
    with pytest.raises(type(error)) as info:
        connect._claim_or_already_active(
            cloud.Client(API_KEY), agent_id=AGENT_ID, public_key_hex=PUBLIC_HEX, registration_token=REG_TOKEN
        )
    assert info.value is error


SIGNING = SigningKey.generate()
ISSUER = SigningKey.generate()


@pytest.mark.parametrize(
    "env, expected",
    [
        ({"ORVEX_AGENT_PUBLIC_KEY": "  " + PUBLIC_HEX + "\n", "ORVEX_SIGNING_KEY": SIGNING.to_bytes().hex()}, PUBLIC_HEX),
        ({"ORVEX_SIGNING_KEY": " " + SIGNING.to_bytes().hex() + " "}, SIGNING.public_key.to_bytes().hex()),
        ({"ORVEX_SIGNING_KEY": "", "ORVEX_ISSUER_KEY": ISSUER.to_bytes().hex()}, ISSUER.public_key.to_bytes().hex()),
        ({"ORVEX_AGENT_PUBLIC_KEY": ""}, None),
    ],
    ids=["explicit-wins", "signing-key", "issuer-key", "nothing"],
)
def test_resolve_public_key_hex(monkeypatch, caplog, env, expected):
    caplog.set_level(logging.DEBUG, logger="orvex_cloud.connect")
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    if expected is None or "ORVEX_AGENT_PUBLIC_KEY" in env:
        # the core library must not even be imported
        monkeypatch.setitem(__import__("sys").modules, "orvex_core", None)

    assert connect._resolve_public_key_hex() == expected
    assert caplog.records == []


def test_unusable_signing_key_gives_none_and_a_debug_line(monkeypatch, caplog):
    caplog.set_level(logging.DEBUG, logger="orvex_cloud.connect")
    monkeypatch.setenv("ORVEX_SIGNING_KEY", "not hex at all")

    assert connect._resolve_public_key_hex() is None

    (record,) = caplog.records
    assert record.levelno == logging.DEBUG
    assert record.msg == "could not derive public key from signing key: %s"
    assert isinstance(record.args[0], Exception)


# ---- doctor --------------------------------------------------------------------------------

OK_TABLE = [
    ("config", "ok", "Quick Connect token decoded.", ""),
    ("cloud_reachable", "ok", "Orvex Cloud health check returned ok.", ""),
    ("tenant_access", "ok", "Credential can read Acme.", ""),
    ("approval_policy_access", "ok", "Credential can list approval policies.", ""),
    ("agent_claim", "ok", "No agent claim required by this configuration.", ""),
]


def rows(report):
    return [(c.name, c.status, c.message, c.remediation) for c in report.checks]


def test_doctor_all_ok(cloud):
    report = connect.doctor(token_for(endpoint=ENDPOINT + "/"))

    assert rows(report) == OK_TABLE
    assert report.ok is True and report.claimed_agent is None
    assert report.config == ConnectConfig(api_base_url=ENDPOINT, api_key=API_KEY)
    (client,) = cloud.clients
    assert (client.api_key, client.base_url, client.closed) == (API_KEY, ENDPOINT, True)
    assert cloud.names() == ["health", "get_tenant", "list_policies"]
    assert cloud.calls[2][2] == {"limit": 1}
    raws = [c.raw for c in report.checks]
    assert raws[1:4] == [cloud.script["health"], cloud.script["get_tenant"], cloud.script["list_policies"]]
    assert raws[0] == {} and raws[4] == {}


NO_CREDENTIAL = (
    "config",
    "error",
    "No Orvex Cloud credential found.",
    "Set ORVEX_CONNECT_TOKEN, set ORVEX_API_KEY, or pass api_key=.",
)


@pytest.mark.parametrize(
    "kwargs, env, check, base_url",
    [
        ({}, {}, NO_CREDENTIAL, "https://api.orvex.cloud"),
        ({"base_url": "http://x.test/"}, {}, NO_CREDENTIAL, "http://x.test"),
        (
            {"token": "orvex_qc_a"},
            {},
            ("config", "error", "invalid connect token encoding: ", "Generate a fresh Quick Connect token in Orvex Cloud."),
            "https://api.orvex.cloud",
        ),
        (
            {"base_url": "http://x.test/"},
            {"ORVEX_CONNECT_TOKEN": "bogus", "ORVEX_API_KEY": API_KEY},
            ("config", "error", EXPECTED_PREFIX, "Generate a fresh Quick Connect token in Orvex Cloud."),
            "http://x.test/",
        ),
        (
            {"token": encode([1, 2])},
            {},
            ("config", "error", "invalid connect token JSON: ", "Generate a fresh Quick Connect token in Orvex Cloud."),
            "https://api.orvex.cloud",
        ),
    ],
    ids=["nothing", "nothing-with-url", "bad-base64", "bad-env-token", "non-object-token"],
)
def test_doctor_without_usable_credential_makes_no_call(monkeypatch, cloud, kwargs, env, check, base_url):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    token = kwargs.pop("token", None)

    report = connect.doctor(token, apply_env=True, **kwargs)

    ((name, status, message, remediation),) = rows(report)
    assert (name, status, remediation) == (check[0], check[1], check[3])
    assert message.startswith(check[2])
    assert report.ok is False
    assert (report.config.api_base_url, report.config.api_key) == (base_url, "")
    assert cloud.clients == []
    assert orvex_env() == env


@pytest.mark.parametrize(
    "kwargs, env, message, client_args",
    [
        ({"api_key": API_KEY, "base_url": "http://x.test//"}, {}, "Using Orvex Cloud API at http://x.test.", (API_KEY, "http://x.test")),
        ({}, {"ORVEX_API_KEY": API_KEY, "ORVEX_CONTROL_PLANE_URL": "http://env.test/"}, "Using Orvex Cloud API at http://env.test.", (API_KEY, "http://env.test")),
        ({}, {"ORVEX_API_KEY": API_KEY, "ORVEX_CONTROL_PLANE_URL": ""}, "Using Orvex Cloud API at https://api.orvex.cloud.", (API_KEY, "https://api.orvex.cloud")),
        ({"api_key": "ok_ignored", "base_url": "http://ignored.test"}, {"ORVEX_CONNECT_TOKEN": token_for()}, "Quick Connect token decoded.", (API_KEY, ENDPOINT)),
        ({"api_key": "", "token": ""}, {"ORVEX_API_KEY": API_KEY}, "Using Orvex Cloud API at https://api.orvex.cloud.", (API_KEY, "https://api.orvex.cloud")),
    ],
    ids=["arguments", "environment", "empty-url-variable", "token-wins", "empty-arguments"],
)
def test_doctor_configuration_precedence(monkeypatch, cloud, kwargs, env, message, client_args):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    token = kwargs.pop("token", None)

    report = connect.doctor(token, **kwargs)

    assert rows(report)[0] == ("config", "ok", message, "")
    assert [(c.api_key, c.base_url) for c in cloud.clients] == [client_args]


@pytest.mark.parametrize(
    "probe, answer, check",
    [
        ("health", {"version": "1"}, ("cloud_reachable", "ok", "Orvex Cloud health check returned ok.", "")),
        ("health", {"status": "degraded"}, ("cloud_reachable", "ok", "Orvex Cloud health check returned degraded.", "")),
        (
            "health",
            TransportError("could not connect to Orvex Cloud"),
            ("cloud_reachable", "error", "could not connect to Orvex Cloud",
             "Check ORVEX_CONTROL_PLANE_URL, network egress, TLS interception, and DNS."),
        ),
        (
            "health",
            ["no", "mapping"],
            ("cloud_reachable", "error", "'list' object has no attribute 'get'",
             "Check ORVEX_CONTROL_PLANE_URL, network egress, TLS interception, and DNS."),
        ),
        ("get_tenant", {"id": "tn_9", "slug": ""}, ("tenant_access", "ok", "Credential can read tn_9.", "")),
        ("get_tenant", {"slug": "acme", "name": None}, ("tenant_access", "ok", "Credential can read acme.", "")),
        ("get_tenant", {}, ("tenant_access", "ok", "Credential can read tenant.", "")),
        (
            "get_tenant",
            auth_error(401, remediation=""),
            ("tenant_access", "error", "Orvex Cloud rejected the API key (HTTP 401): nope",
             "Admin credentials can read tenant details; runtime credentials may not need this."),
        ),
        (
            "get_tenant",
            auth_error(403),
            ("tenant_access", "warning", "Orvex Cloud rejected the API key (HTTP 403): nope", "Check the key."),
        ),
        (
            "get_tenant",
            NotFoundError("no tenant", status_code=404),
            ("tenant_access", "warning", "no tenant", ""),
        ),
        (
            "list_policies",
            auth_error(401, remediation=""),
            ("approval_policy_access", "error", "Orvex Cloud rejected the API key (HTTP 401): nope",
             "Grant approval policy read/admin permissions only if this runtime needs to discover Cloud policies."),
        ),
        (
            "list_policies",
            auth_error(403, remediation=""),
            ("approval_policy_access", "warning", "Orvex Cloud rejected the API key (HTTP 403): nope",
             "Grant approval policy read/admin permissions only if this runtime needs to discover Cloud policies."),
        ),
        (
            "list_policies",
            OrvexCloudError("throttled", status_code=429, remediation="Retry later."),
            ("approval_policy_access", "warning", "throttled", "Retry later."),
        ),
    ],
)
def test_doctor_probe_outcomes(cloud, probe, answer, check):
    cloud.script[probe] = answer

    report = connect.doctor(token_for())

    table = rows(report)
    index = [row[0] for row in OK_TABLE].index(check[0])
    assert table == OK_TABLE[:index] + [check] + OK_TABLE[index + 1:]
    assert report.ok is (check[1] != "error")
    assert cloud.names() == ["health", "get_tenant", "list_policies"]
    assert cloud.clients[0].closed


@pytest.mark.parametrize(
    "body, raw",
    [({"error": {"code": "forbidden"}}, {"error": {"code": "forbidden"}}), (None, {}), ("", {})],
)
def test_failed_access_check_keeps_the_error_body(cloud, body, raw):
    cloud.script["get_tenant"] = auth_error(403, body=body)
    report = connect.doctor(token_for())
    assert report.checks[2].raw == raw


def test_doctor_closes_the_client_when_an_unexpected_error_escapes(cloud):
    cloud.script["get_tenant"] = KeyError("bug")
    with pytest.raises(KeyError):
        connect.doctor(token_for())
    assert cloud.clients[0].closed


NO_KEY_WARNING = (
    "agent_claim",
    "warning",
    "Quick Connect token includes an agent binding, but no public key was available.",
    "Pass public_key_hex=, set ORVEX_AGENT_PUBLIC_KEY, or set ORVEX_SIGNING_KEY/ORVEX_ISSUER_KEY.",
)
CLAIM_OFF_WARNING = (
    "agent_claim",
    "warning",
    "Agent claim is ready but was not submitted because claim=False.",
    "Call doctor(..., claim=True) or connect(..., public_key_hex=...) when you are ready to claim the agent.",
)


@pytest.mark.parametrize(
    "kwargs, env, claim_answer, check, claimed_status",
    [
        ({}, {}, None, NO_KEY_WARNING, None),
        ({"claim": True}, {}, None, NO_KEY_WARNING, None),
        ({"public_key_hex": PUBLIC_HEX}, {}, None, CLAIM_OFF_WARNING, None),
        ({"claim": True}, {"ORVEX_AGENT_PUBLIC_KEY": PUBLIC_HEX}, "default", ("agent_claim", "ok", f"Claimed agent {AGENT_ID}.", ""), "active"),
        (
            {"claim": True, "public_key_hex": PUBLIC_HEX},
            {},
            {"id": "", "name": "bot-7", "status": "active"},
            ("agent_claim", "ok", "Claimed agent bot-7.", ""),
            "active",
        ),
        (
            {"claim": True, "public_key_hex": PUBLIC_HEX},
            {},
            ConflictError("already", status_code=409, code="agent_not_pending"),
            ("agent_claim", "ok", f"Claimed agent {AGENT_ID}.", ""),
            "active",
        ),
        (
            {"claim": True, "public_key_hex": PUBLIC_HEX},
            {},
            auth_error(403, remediation="Use the registration token from the agent's token."),
            ("agent_claim", "error", "Orvex Cloud rejected the API key (HTTP 403): nope",
             "Use the registration token from the agent's token."),
            None,
        ),
    ],
    ids=["no-key", "no-key-claim-on", "claim-off", "claimed", "claimed-by-name", "already-claimed", "rejected"],
)
def test_doctor_agent_claim(monkeypatch, cloud, kwargs, env, claim_answer, check, claimed_status):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    if claim_answer != "default" and claim_answer is not None:
        cloud.script["claim"] = claim_answer

    report = connect.doctor(token_for(agent=True), **kwargs)

    assert rows(report)[:4] == OK_TABLE[:4]
    assert rows(report)[4] == check
    assert report.ok is (check[1] != "error")
    if claimed_status is None:
        assert report.claimed_agent is None
    else:
        assert report.claimed_agent.status == claimed_status
        assert report.checks[4].raw == report.claimed_agent.raw
    sent = [kw["json"] for name, _, kw in cloud.calls if name == "claim"]
    expected_sent = [] if claim_answer is None else [
        {"agent_id": AGENT_ID, "public_key": PUBLIC_HEX, "registration_token": REG_TOKEN}
    ]
    assert sent == expected_sent


def test_doctor_apply_env_writes_before_the_first_probe(cloud):
    seen = {}
    cloud.script["health"] = lambda: seen.update(orvex_env()) or {"status": "ok"}

    connect.doctor(token_for(agent=True), apply_env=True)

    assert seen == {"ORVEX_API_KEY": API_KEY, "ORVEX_CONTROL_PLANE_URL": ENDPOINT, "ORVEX_AGENT_ID": AGENT_ID}


def test_doctor_probes_are_module_attributes(monkeypatch, cloud):
    # A caller can replace a probe as with a Python module.
    monkeypatch.setattr(connect, "_probe_tenant", lambda client, checks: checks.append(BootstrapCheck("tenant_access", "warning", "skipped")))
    report = connect.doctor(token_for())
    assert rows(report)[2] == ("tenant_access", "warning", "skipped", "")
    assert "get_tenant" not in cloud.names()


@pytest.mark.parametrize("kwargs", [{"token": 5}, {"api_key": b"ok_x"}, {"base_url": 8080}, {"public_key_hex": b"\x01"}])
def test_doctor_rejects_arguments_of_the_wrong_type(cloud, kwargs):
    with pytest.raises(TypeError, match="doctor\\(\\) argument"):
        connect.doctor(**kwargs)
    assert cloud.clients == []


def test_report_is_ok_without_error_checks_and_keeps_the_list():
    config = ConnectConfig(api_base_url=ENDPOINT, api_key=API_KEY)
    checks = [BootstrapCheck("config", "ok", "m"), BootstrapCheck("agent_claim", "warning", "w")]
    report = connect._report(config, checks)
    assert report.ok is True and report.checks is checks and report.claimed_agent is None
    checks.append(BootstrapCheck("tenant_access", "error", "e"))
    assert connect._report(config, checks).ok is False


# ---- connect -------------------------------------------------------------------------------


def test_connect_requires_a_token(cloud):
    with pytest.raises(OrvexCloudError) as info:
        connect.connect("")
    assert str(info.value) == "connect token required - set ORVEX_CONNECT_TOKEN or pass token="
    assert cloud.clients == [] and orvex_env() == {}


def test_connect_uses_the_environment_token_when_the_argument_is_empty(monkeypatch, cloud):
    monkeypatch.setenv("ORVEX_CONNECT_TOKEN", token_for())
    client = connect.connect(token="")
    assert (type(client), client.api_key, client.base_url, client.closed) == (cloud.Client, API_KEY, ENDPOINT, False)
    assert orvex_env()["ORVEX_API_KEY"] == API_KEY


@pytest.mark.parametrize("token", ["orvex_qc_", encode({"e": ENDPOINT}), encode("text"), "ok_not_a_token"])
def test_connect_with_a_malformed_token_changes_nothing(cloud, token):
    with pytest.raises(OrvexCloudError, match="connect token"):
        connect.connect(token, verify=True, public_key_hex=PUBLIC_HEX)
    assert cloud.clients == [] and orvex_env() == {}


def test_connect_claims_with_its_own_client_and_returns_a_fresh_one(monkeypatch, cloud):
    monkeypatch.setenv("ORVEX_API_KEY", "ok_already_set")

    client = connect.connect(token_for(agent=True), public_key_hex=PUBLIC_HEX)

    claim_client, returned = cloud.clients
    assert claim_client is not client and returned is client
    assert claim_client.closed and not client.closed
    assert [name for name, _, _ in cloud.calls] == ["claim"]
    # settings already present win; the registration token never reaches the environment
    assert orvex_env() == {"ORVEX_API_KEY": "ok_already_set", "ORVEX_CONTROL_PLANE_URL": ENDPOINT, "ORVEX_AGENT_ID": AGENT_ID}
    assert client.api_key == API_KEY


def test_connect_async_client_still_claims_synchronously(cloud):
    client = connect.connect(token_for(agent=True), public_key_hex=PUBLIC_HEX, async_client=True)
    assert type(cloud.clients[0]) is cloud.Client and type(client) is cloud.AsyncClient


def test_connect_without_claim_never_looks_for_a_key(monkeypatch, cloud):
    def no_key_lookup():
        raise AssertionError("public key looked up")

    monkeypatch.setattr(connect, "_resolve_public_key_hex", no_key_lookup)
    client = connect.connect(token_for(agent=True), claim=False, apply_env=False)
    assert cloud.clients == [client] and cloud.calls == [] and orvex_env() == {}


def test_connect_without_public_key_skips_the_claim_with_one_info_line(cloud, caplog):
    caplog.set_level(logging.DEBUG, logger="orvex_cloud.connect")
    client = connect.connect(token_for(agent=True))
    assert cloud.clients == [client] and cloud.calls == []
    assert [(r.levelno, r.getMessage()) for r in caplog.records] == [
        (
            logging.INFO,
            "connect token includes agent binding but no public key provided - skip claim "
            "(set public_key_hex= or ORVEX_SIGNING_KEY)",
        )
    ]


def test_connect_claim_failure_propagates_after_closing_and_keeps_the_environment(cloud):
    error = auth_error(403)
    cloud.script["claim"] = error
    with pytest.raises(AuthenticationError) as info:
        connect.connect(token_for(agent=True), public_key_hex=PUBLIC_HEX)
    assert info.value is error
    (claim_client,) = cloud.clients
    assert claim_client.closed
    assert orvex_env()["ORVEX_API_KEY"] == API_KEY


def test_connect_verify_failure_applies_and_claims_nothing(cloud):
    cloud.script["health"] = TransportError("could not connect to Orvex Cloud")
    with pytest.raises(RuntimeError) as info:
        connect.connect(token_for(agent=True), public_key_hex=PUBLIC_HEX, verify=True)
    assert str(info.value) == "cloud_reachable: could not connect to Orvex Cloud"
    assert orvex_env() == {}
    assert "claim" not in cloud.names()
    assert all(c.closed for c in cloud.clients)


def test_connect_verify_passes_then_connects(cloud):
    client = connect.connect(token_for(), verify=True)
    doctor_client, returned = cloud.clients
    assert returned is client and doctor_client.closed
    assert cloud.names() == ["health", "get_tenant", "list_policies"]


class KeyReadableOnly:
    """A configuration (from a rebound helper) whose api_key can be read `reads` times."""

    api_base_url, agent_id, registration_token, is_agent_mode = ENDPOINT, AGENT_ID, REG_TOKEN, True

    def __init__(self, reads):
        self.reads = reads

    @property
    def api_key(self):
        if self.reads == 0:
            raise LookupError("api_key unreadable")
        self.reads -= 1
        return API_KEY


@pytest.mark.parametrize(
    "helper, reads, call",
    [
        ("connect_config_from_token", 0, lambda: connect.connect(token_for(), public_key_hex=PUBLIC_HEX, apply_env=False)),
        ("connect_config_from_token", 0, lambda: connect.connect(token_for(), claim=False, apply_env=False)),
        ("_resolve_doctor_config", 1, lambda: connect.doctor(token_for())),
    ],
    ids=["claim client", "returned client", "doctor client"],
)
def test_an_unreadable_config_raises_what_reading_it_raises(monkeypatch, cloud, helper, reads, call):
    monkeypatch.setattr(connect, helper, lambda *args, **kwargs: KeyReadableOnly(reads))
    with pytest.raises(LookupError, match="api_key unreadable"):
        call()
    assert cloud.clients == []


def test_a_rebound_error_type_making_no_exception_fails_as_raise_from_does(monkeypatch):
    monkeypatch.setattr(connect, "OrvexCloudError", lambda message: [message])
    with pytest.raises(TypeError, match="exceptions must derive from BaseException"):
        connect.parse_connect_token(PREFIX + "a")  # broken base64: raised from the decoder's error


# ---- command line --------------------------------------------------------------------------


def run_cli(*argv):
    out, err = io.StringIO(), io.StringIO()
    status = cli.main(["doctor", *argv], out=out, err=err)
    return status, out.getvalue(), err.getvalue()


@pytest.mark.parametrize("as_json", [False, True], ids=["table", "json"])
def test_cli_prints_the_redacted_report(cloud, as_json):
    token = token_for(agent=True)
    status, out, err = run_cli("--token", token, *(["--json"] if as_json else []))

    assert status == 0 and err == ""
    for secret in (token, API_KEY, REG_TOKEN, token[len(PREFIX):]):
        assert secret not in out
    if as_json:
        view = json.loads(out)
        assert view["ok"] is True
        assert view["config"] == {
            "api_base_url": ENDPOINT, "api_key": "<redacted>", "agent_id": AGENT_ID, "registration_token": "<redacted>",
        }
        assert [c["name"] for c in view["checks"]] == [row[0] for row in OK_TABLE]
    else:
        assert "Result: ok" in out
        assert "warning  agent_claim" in out and NO_KEY_WARNING[3] in out


@pytest.mark.parametrize("from_env", [False, True], ids=["argument", "environment"])
def test_cli_masks_credentials_echoed_in_messages(monkeypatch, cloud, from_env):
    # A key of no known shape escapes the redaction patterns; the command line still knows it.
    key = "plainKEY9f8e7d6c5b4a"
    token = token_for(agent=True, api_key=key)
    cloud.script["get_tenant"] = auth_error(403, remediation=f"key {key} lacks access")
    cloud.script["health"] = TransportError(f"proxy refused {REG_TOKEN} for {token}")
    if from_env:
        monkeypatch.setenv("ORVEX_CONNECT_TOKEN", token)
        argv = ()
    else:
        argv = ("--token", token)

    status, out, _ = run_cli(*argv)

    assert status == 1 and "Result: failed" in out
    assert "key <redacted> lacks access" in out
    assert key not in out and REG_TOKEN not in out and token[len(PREFIX):] not in out


def test_cli_reads_the_environment_and_fails_without_credential(cloud):
    status, out, _ = run_cli("--json")
    assert status == 1
    assert json.loads(out)["checks"][0]["message"] == "No Orvex Cloud credential found."


def test_cli_reports_an_unusable_endpoint_without_a_traceback(monkeypatch):
    # The real client refuses a non-http endpoint; doctor lets that error through.
    token = token_for(endpoint="ftp://files.example.test")
    status, out, err = run_cli("--token", token)
    assert status == 1 and out == ""
    assert err.startswith("python -m orvex_cloud doctor: ValueError: ")
    assert API_KEY not in err and token not in err


def test_cli_requires_a_command():
    with pytest.raises(SystemExit) as info:
        cli.main([], out=io.StringIO(), err=io.StringIO())
    assert info.value.code == 2
