"""The local control plane over real HTTP, driven with httpx as any client would."""

import base64
import json
import socket
import time
import uuid

import httpx
import pytest

from local_control_plane.harness import ControlPlaneError, LocalControlPlane
from orvex.approval import ApprovalRequest
from orvex_core import SignedApproval, SigningKey


@pytest.fixture
def api(control_plane, api_key):
    with httpx.Client(
        base_url=control_plane.url + "/v1", headers={"Authorization": f"Bearer {api_key}"}, timeout=10.0
    ) as client:
        yield client


@pytest.fixture(scope="module")
def holder():
    return SigningKey.generate()


def body_for(holder, *, tool="transfer", warrant_id=None, arguments=None, **extra):
    """A create body as the approval handlers send it: bytes as hex, a real attestation."""
    request = ApprovalRequest.for_call(
        holder, warrant_id=warrant_id or f"wrt_{uuid.uuid4().hex}", tool=tool, arguments=arguments or {"amount": 10}
    )
    body = {
        "warrant_id": request.warrant_id,
        "tool": request.tool,
        "request_hash": request.request_hash.hex(),
        "holder_key": request.holder_key.hex(),
        "args_canonical_cbor_b64": request.args_canonical_cbor_b64,
        "approval_context_attestation": request.approval_context_attestation,
    }
    body.update(extra)
    return body


def create(api, body, status=201):
    response = api.post("/approvals/requests", json=body)
    assert response.status_code == status, response.text
    return response.json()


def assert_error(response, status, code):
    assert response.status_code == status, response.text
    error = response.json()["error"]
    assert error["code"] == code
    assert error["message"] and error["remediation"]


def verified_approval(response_entry, request_hash_hex):
    approval = SignedApproval.from_bytes(base64.b64decode(response_entry["signed_approval"], validate=True))
    assert approval.verify(bytes.fromhex(request_hash_hex))
    assert approval.approver_key.hex() == response_entry["approver_key"]
    return approval


def parse_time(text):
    return time.mktime(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S"))


class TestApprovalFlow:
    def test_two_approvers_reach_threshold(self, control_plane, api, holder):
        alice = control_plane.create_approver("alice")["public_key"]
        bob = control_plane.create_approver("bob")["public_key"]
        body = body_for(holder, approver_keys=[alice.upper(), bob], threshold=2, metadata={"amount": 10}, policy_id="pol_x")
        created = create(api, body)
        assert created["status"] == "pending" and created["responses"] == []
        assert created["request_hash"] == body["request_hash"] and created["holder_key"] == body["holder_key"]
        assert created["approver_keys"] == [alice, bob]
        assert (created["threshold"], created["ttl_seconds"], created["metadata"]) == (2, 3600, {"amount": 10})
        assert parse_time(created["expires_at"]) - parse_time(created["created_at"]) == 3600
        assert api.get(f"/approvals/requests/{created['id']}").json() == created

        first = api.post(f"/approvals/requests/{created['id']}/approve").json()
        assert first["status"] == "pending"
        assert [r["approver_key"] for r in first["responses"]] == [alice]

        second = api.post(f"/approvals/requests/{created['id']}/approve", json={"approver": "bob"}).json()
        assert second["status"] == "approved" and second["decided_at"]
        assert [verified_approval(r, body["request_hash"]).approver_key.hex() for r in second["responses"]] == [alice, bob]

        assert_error(api.post(f"/approvals/requests/{created['id']}/approve"), 409, "not_pending")

    def test_default_threshold_is_one(self, control_plane, api, holder):
        created = create(api, body_for(holder))
        approved = control_plane.approve(created["id"])
        assert approved["status"] == "approved" and len(approved["responses"]) == 1
        verified_approval(approved["responses"][0], created["request_hash"])

    @pytest.mark.parametrize(
        "approver, status, code",
        [("outsider", 403, "approver_not_allowed"), ("alice", 409, "already_signed"), ("nobody-here", 404, "approver_not_found")],
    )
    def test_approver_rules(self, control_plane, api, holder, approver, status, code):
        keys = [control_plane.create_approver(n)["public_key"] for n in ("alice", "bob")]
        control_plane.create_approver("outsider")
        created = create(api, body_for(holder, approver_keys=keys, threshold=2))
        api.post(f"/approvals/requests/{created['id']}/approve", json={"approver": keys[0]}).raise_for_status()
        assert_error(api.post(f"/approvals/requests/{created['id']}/approve", json={"approver": approver}), status, code)
        assert api.get(f"/approvals/requests/{created['id']}").json()["status"] == "pending"

    @pytest.mark.parametrize("reason", ["too risky", None])
    def test_deny(self, control_plane, api, api_key, holder, reason):
        created = create(api, body_for(holder))
        denied = control_plane.deny(created["id"], reason, api_key=api_key)
        assert denied["status"] == "denied" and denied["decided_at"]
        assert denied["denied_reason"] == reason and denied["responses"] == []
        assert api.get(f"/approvals/requests/{created['id']}").json() == denied
        assert_error(api.post(f"/approvals/requests/{created['id']}/approve"), 409, "not_pending")
        with pytest.raises(ControlPlaneError) as refused:
            control_plane.deny(created["id"])
        assert refused.value.status_code == 409 and refused.value.body["error"]["code"] == "not_pending"

    def test_expiry(self, api, holder):
        created = create(api, body_for(holder, ttl_seconds=1))
        assert created["status"] == "pending"
        time.sleep(1.2)
        expired = api.get(f"/approvals/requests/{created['id']}").json()
        assert expired["status"] == "expired" and expired["reason"]
        assert_error(api.post(f"/approvals/requests/{created['id']}/approve"), 409, "not_pending")
        by_status = {
            s: [r["id"] for r in api.get("/approvals/requests", params={"warrant_id": created["warrant_id"], "status": s}).json()["requests"]]
            for s in ("pending", "expired")
        }
        assert by_status == {"pending": [], "expired": [created["id"]]}

    def test_idempotency_key_per_tenant(self, control_plane, api, holder):
        key = f"idem-{uuid.uuid4().hex}"
        first = create(api, body_for(holder, idempotency_key=key))
        again = create(api, body_for(holder, idempotency_key=key), status=200)
        assert again["id"] == first["id"] and again["warrant_id"] == first["warrant_id"]
        other_tenant = control_plane.create_api_key(tenant=f"t-{uuid.uuid4().hex[:8]}")["api_key"]
        response = api.post("/approvals/requests", json=body_for(holder, idempotency_key=key), headers={"Authorization": f"Bearer {other_tenant}"})
        assert response.status_code == 201 and response.json()["id"] != first["id"]

    def test_list_filters_newest_first(self, control_plane, api, holder):
        warrant = f"wrt_{uuid.uuid4().hex}"
        ids = [create(api, body_for(holder, warrant_id=warrant, tool=t, arguments={"n": i}))["id"] for i, t in enumerate(["a", "b", "a"])]
        approved = api.post(f"/approvals/requests/{ids[0]}/approve").json()

        def listed(**params):
            response = api.get("/approvals/requests", params={"warrant_id": warrant, **params})
            assert response.status_code == 200, response.text
            return [r["id"] for r in response.json()["requests"]]

        assert listed() == ids[::-1]
        assert listed(tool="a") == [ids[2], ids[0]]
        assert listed(request_hash=approved["request_hash"].upper()) == [ids[0]]
        assert listed(status="approved") == [ids[0]]
        assert listed(status="pending", limit=1) == [ids[2]]
        stranger = control_plane.create_api_key(tenant=f"t-{uuid.uuid4().hex[:8]}")["api_key"]
        headers = {"Authorization": f"Bearer {stranger}"}
        assert api.get("/approvals/requests", params={"warrant_id": warrant}, headers=headers).json() == {"requests": []}
        assert_error(api.get(f"/approvals/requests/{ids[0]}", headers=headers), 404, "not_found")

    @pytest.mark.parametrize(
        "change",
        [
            {"request_hash": None},
            {"request_hash": base64.b64encode(b"\x01" * 32).decode()},
            {"holder_key": ""},
            {"args_canonical_cbor_b64": "not base64!"},
            {"request_id": "r1"},
            {"threshold": 3, "approver_keys": ["aa", "bb"]},
            {"threshold": True},
            {"ttl_seconds": -1},
            {"approver_keys": "aa"},
            {"warrant_id": ""},
        ],
        ids=lambda c: ",".join(c),
    )
    def test_malformed_body_is_refused(self, api, holder, change):
        body = body_for(holder)
        body.update(change)
        body = {k: v for k, v in body.items() if v is not None}
        assert_error(api.post("/approvals/requests", json=body), 400, "validation_error")

    def test_body_contradicting_attestation_is_refused(self, api, holder):
        body = body_for(holder)
        body["request_hash"] = "00" * 32
        assert_error(api.post("/approvals/requests", json=body), 400, "validation_error")

    @pytest.mark.parametrize("limit", ["0", "x", "501"])
    def test_bad_limit(self, api, limit):
        assert_error(api.get("/approvals/requests", params={"limit": limit}), 400, "validation_error")


class TestAuth:
    def test_health_needs_no_key(self, control_plane):
        assert httpx.get(control_plane.url + "/v1/health").json()["status"] == "ok"

    @pytest.mark.parametrize(
        "authorization, code",
        [(None, "invalid_api_key"), ("Bearer ok_" + "x" * 32, "invalid_api_key"), ("Basic abc", "invalid_api_key"), ("revoked", "api_key_revoked")],
    )
    def test_rejected_keys(self, control_plane, authorization, code):
        if authorization == "revoked":
            key = control_plane.create_api_key()["api_key"]
            control_plane.revoke_key(key)
            authorization = f"Bearer {key}"
        headers = {"Authorization": authorization} if authorization else {}
        for method, path in (("GET", "/v1/tenant"), ("POST", "/v1/approvals/requests")):
            assert_error(httpx.request(method, control_plane.url + path, headers=headers, json={}), 401, code)

    def test_read_only_key_reads_but_cannot_write(self, control_plane, holder):
        key = control_plane.create_readonly_key()["api_key"]
        headers = {"Authorization": f"Bearer {key}"}
        url = control_plane.url + "/v1"
        assert httpx.get(url + "/tenant", headers=headers).json()["slug"] == "acme"
        assert httpx.get(url + "/approvals/requests", headers=headers).status_code == 200
        for path, body in (("/approvals/requests", body_for(holder)), ("/receipts", {"receipts": []}), ("/schemas", {"tools": []})):
            assert_error(httpx.post(url + path, headers=headers, json=body), 403, "forbidden")

    def test_admin_api_needs_token(self, control_plane):
        response = httpx.post(control_plane.url + "/admin/api-keys", json={"tenant": "x"}, headers={"X-Admin-Token": "wrong"})
        assert_error(response, 401, "invalid_admin_token")


class TestTenantData:
    def test_tenant_and_policies(self, control_plane, api):
        tenant = api.get("/tenant").json()
        assert tenant["slug"] == "acme" and tenant["id"].startswith("ten_") and tenant["name"]
        policies = api.get("/policies", params={"limit": 1}).json()["policies"]
        assert [(p["name"], p["threshold"], p["enabled"]) for p in policies] == [("default", 1, True)]

    def test_receipts_and_schemas_are_stored(self, control_plane):
        tenant = f"t-{uuid.uuid4().hex[:8]}"
        key = control_plane.create_api_key(tenant=tenant)["api_key"]
        with httpx.Client(base_url=control_plane.url + "/v1", headers={"Authorization": f"Bearer {key}"}) as api:
            receipts = [{"tool": "transfer", "allowed": True}, {"tool": "read", "allowed": False}]
            assert api.post("/receipts", json={"receipts": receipts}).json() == {"accepted": 2}
            report = {"tools": [{"name": "transfer"}], "server": "bank"}
            assert api.post("/schemas", json=report).json() == {"accepted": 1}
            assert_error(api.post("/receipts", json={"receipts": "x"}), 400, "validation_error")
            assert_error(api.post("/schemas", content="{", headers={"Content-Type": "application/json"}), 400, "invalid_json")
        assert [r["receipt"] for r in control_plane.receipts(tenant=tenant)] == receipts
        assert [s["report"] for s in control_plane.schemas(tenant=tenant)] == [report]


def decode_connect_token(token):
    assert token.startswith("orvex_qc_") and "=" not in token
    encoded = token[len("orvex_qc_"):]
    return json.loads(base64.urlsafe_b64decode(encoded + "=" * (-len(encoded) % 4)))


class TestQuickConnect:
    @pytest.mark.parametrize("agent", [False, True])
    def test_token_decodes_to_working_settings(self, control_plane, agent):
        minted = control_plane.mint_connect_token(agent=agent)
        payload = decode_connect_token(minted["token"])
        expected_keys = {"v", "e", "k", "a", "t"} if agent else {"v", "e", "k"}
        assert set(payload) == expected_keys
        assert (payload["v"], payload["e"], payload["k"]) == (1, control_plane.url, minted["api_key"])
        assert payload["k"].startswith("ok_") and len(payload["k"]) == 35
        if agent:
            assert payload["t"].startswith("rt_") and len(payload["t"]) == 35 and payload["a"] == minted["agent_id"]
        tenant = httpx.get(payload["e"] + "/v1/tenant", headers={"Authorization": f"Bearer {payload['k']}"})
        assert tenant.status_code == 200

    def test_claim_statuses(self, control_plane):
        payload = decode_connect_token(control_plane.mint_connect_token(agent=True)["token"])
        public_key = SigningKey.generate().public_key.hex()

        def claim(**change):
            body = {"agent_id": payload["a"], "public_key": public_key, "registration_token": payload["t"], **change}
            return httpx.post(payload["e"] + "/v1/agents/claim", json=body, headers={"Authorization": f"Bearer {payload['k']}"})

        assert_error(claim(registration_token="rt_" + "x" * 32), 403, "invalid_registration_token")
        assert_error(claim(agent_id="agt_missing"), 404, "agent_not_found")
        assert_error(claim(public_key="abcd"), 400, "invalid_public_key")
        claimed = claim()
        assert claimed.status_code == 200, claimed.text
        result = claimed.json()
        assert set(result) == {"id", "agent_id", "name", "status", "key_id", "registered_at"}
        assert (result["agent_id"], result["status"]) == (payload["a"], "active") and result["key_id"]
        assert_error(claim(), 409, "agent_not_pending")
        [agent] = [a for a in control_plane.agents() if a["id"] == payload["a"]]
        assert (agent["status"], agent["public_key"]) == ("active", public_key)


def test_fault_injection(control_plane, api, holder):
    try:
        control_plane.inject_fault("/v1/approvals", status=500, count=2)
        for _ in range(2):
            assert_error(api.get("/approvals/requests"), 500, "injected_fault")
        assert api.get("/health").status_code == 200
        assert api.get("/approvals/requests").status_code == 200

        control_plane.inject_fault("/v1/approvals", status=None, delay=0.5, method="POST")
        started = time.monotonic()
        assert api.get("/approvals/requests").status_code == 200
        assert time.monotonic() - started < 0.4
        create(api, body_for(holder))
        assert time.monotonic() - started >= 0.5

        control_plane.inject_fault("/v1/tenant", status=None, delay=1.0)
        with pytest.raises(httpx.ReadTimeout):
            api.get("/tenant", timeout=0.2)
        control_plane.inject_fault("/v1/tenant", status=429, code="rate_limited")
        limited = api.get("/tenant")
        assert_error(limited, 429, "rate_limited")
        assert limited.headers["Retry-After"] == "1"
    finally:
        control_plane.clear_faults()


def test_restart_keeps_everything(control_plane, api_key, holder):
    with httpx.Client(base_url=control_plane.url + "/v1", headers={"Authorization": f"Bearer {api_key}"}) as api:
        carol = control_plane.create_approver("carol")["public_key"]
        pending = create(api, body_for(holder, approver_keys=[carol], idempotency_key=f"k-{uuid.uuid4().hex}"))
        decided = api.post(f"/approvals/requests/{create(api, body_for(holder))['id']}/deny", json={"reason": "no"}).json()
        revoked = control_plane.create_api_key()["api_key"]
        control_plane.revoke_key(revoked)
        agent = decode_connect_token(control_plane.mint_connect_token(agent=True)["token"])
        url = control_plane.url

        control_plane.restart()
        assert control_plane.url == url

        assert api.get(f"/approvals/requests/{pending['id']}").json() == pending
        assert api.get(f"/approvals/requests/{decided['id']}").json() == decided
        assert create(api, body_for(holder, idempotency_key=pending["idempotency_key"]), status=200)["id"] == pending["id"]
        assert_error(httpx.get(url + "/v1/tenant", headers={"Authorization": f"Bearer {revoked}"}), 401, "api_key_revoked")
        approved = api.post(f"/approvals/requests/{pending['id']}/approve", json={"approver": "carol"}).json()
        assert verified_approval(approved["responses"][0], pending["request_hash"]).approver_key.hex() == carol
        claim = {"agent_id": agent["a"], "public_key": holder.public_key.hex(), "registration_token": agent["t"]}
        assert httpx.post(url + "/v1/agents/claim", json=claim, headers={"Authorization": f"Bearer {agent['k']}"}).status_code == 200


def test_start_failure_is_reported_with_stderr(tmp_path):
    with socket.socket() as busy:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        cp = LocalControlPlane(tmp_path / "cp.sqlite3", port=busy.getsockname()[1], startup_timeout=10)
        with pytest.raises(RuntimeError, match="(?s)did not start.*Address already in use"):
            cp.start()
    assert not cp.running
