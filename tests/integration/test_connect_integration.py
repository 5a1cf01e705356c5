"""Quick Connect, doctor() and the doctor command line over real HTTP against the local control plane."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from orvex_env import orvex_env

from local_control_plane.harness import LocalControlPlane
from orvex_cloud import connect
from orvex_cloud.client import OrvexCloudClient
from orvex_core import SigningKey

ROOT = Path(__file__).resolve().parents[2]


pytestmark = pytest.mark.usefixtures("clean_orvex_env")


def agent_status(control_plane, agent_id):
    (agent,) = [a for a in control_plane.agents() if a["id"] == agent_id]
    return agent["status"]


def test_connect_claims_the_agent_and_returns_a_working_client(control_plane):
    minted = control_plane.mint_connect_token(agent=True)
    signing_key = SigningKey.generate()

    client = connect.connect(minted["token"], public_key_hex=signing_key.public_key.to_bytes().hex())
    try:
        assert isinstance(client, OrvexCloudClient)
        assert client.get_tenant()["slug"] == "acme"
    finally:
        client.close()

    assert agent_status(control_plane, minted["agent_id"]) == "active"
    assert orvex_env() == {
        "ORVEX_API_KEY": minted["api_key"],
        "ORVEX_CONTROL_PLANE_URL": control_plane.url,
        "ORVEX_AGENT_ID": minted["agent_id"],
    }

    # The registration token works once; a second start finds the agent already claimed.
    again = connect.connect(minted["token"], public_key_hex=signing_key.public_key.to_bytes().hex())
    again.close()


def test_connect_derives_the_public_key_from_the_signing_key(monkeypatch, control_plane):
    minted = control_plane.mint_connect_token(agent=True)
    monkeypatch.setenv("ORVEX_SIGNING_KEY", SigningKey.generate().to_bytes().hex())

    connect.connect(minted["token"], apply_env=False).close()

    assert agent_status(control_plane, minted["agent_id"]) == "active"


def test_doctor_claims_and_reports_every_check(control_plane):
    minted = control_plane.mint_connect_token(agent=True)
    public_hex = SigningKey.generate().public_key.to_bytes().hex()

    report = connect.doctor(minted["token"], public_key_hex=public_hex, claim=True)

    assert [(c.name, c.status) for c in report.checks] == [
        ("config", "ok"),
        ("cloud_reachable", "ok"),
        ("tenant_access", "ok"),
        ("approval_policy_access", "ok"),
        ("agent_claim", "ok"),
    ]
    assert report.ok is True
    assert report.claimed_agent.agent_id == minted["agent_id"]
    assert report.claimed_agent.status == "active"
    assert orvex_env() == {}


def test_doctor_with_a_revoked_key_shows_the_401(control_plane, api_key):
    control_plane.revoke_key(api_key)

    report = connect.doctor(api_key=api_key, base_url=control_plane.url + "/")

    by_name = {c.name: c for c in report.checks}
    assert [c.name for c in report.checks] == [
        "config", "cloud_reachable", "tenant_access", "approval_policy_access", "agent_claim",
    ]
    assert by_name["cloud_reachable"].status == "ok"  # health needs no credential
    tenant = by_name["tenant_access"]
    assert tenant.status == "error"
    assert "HTTP 401" in tenant.message
    assert "ORVEX_API_KEY" in tenant.remediation
    assert tenant.raw["error"]["code"]
    assert by_name["approval_policy_access"].status == "error"
    assert report.ok is False
    with pytest.raises(RuntimeError, match="^tenant_access: "):
        report.raise_for_error()


@pytest.fixture
def stopped_control_plane(tmp_path):
    """A token minted by a control plane that is no longer running."""
    with LocalControlPlane(tmp_path / "gone.sqlite3") as cp:
        minted = cp.mint_connect_token(agent=True)
    return minted


def test_connect_verify_against_a_stopped_server_changes_nothing(stopped_control_plane):
    minted = stopped_control_plane

    with pytest.raises(RuntimeError) as info:
        connect.connect(minted["token"], public_key_hex="ab" * 32, verify=True)

    assert str(info.value).startswith("cloud_reachable: ")
    assert orvex_env() == {}


def run_doctor_cli(*args, env=None):
    full_env = {k: v for k, v in os.environ.items() if not k.startswith("ORVEX_")}
    full_env.update(env or {})
    return subprocess.run(
        [sys.executable, "-m", "orvex_cloud", "doctor", *args],
        cwd=str(ROOT),
        env=full_env,
        capture_output=True,
        text=True,
        timeout=60,
    )


@pytest.mark.parametrize("as_json", [False, True], ids=["table", "json"])
def test_cli_for_a_token_bound_agent_shows_no_credential(control_plane, as_json):
    minted = control_plane.mint_connect_token(agent=True)

    done = run_doctor_cli(*(["--json"] if as_json else []), env={"ORVEX_CONNECT_TOKEN": minted["token"]})

    output = done.stdout + done.stderr
    assert done.returncode == 0, output
    for secret in (minted["api_key"], minted["registration_token"], minted["token"]):
        assert secret not in output
    if as_json:
        view = json.loads(done.stdout)
        assert view["config"]["agent_id"] == minted["agent_id"]
        assert view["checks"][-1]["status"] == "warning"  # no public key to claim with
    else:
        assert "Result: ok" in done.stdout
    assert agent_status(control_plane, minted["agent_id"]) == "pending"


def test_cli_exits_1_when_the_key_is_rejected(control_plane):
    minted = control_plane.mint_connect_token(agent=True)
    control_plane.revoke_key(minted["api_key"])

    done = run_doctor_cli("--token", minted["token"])

    assert done.returncode == 1
    assert "Result: failed" in done.stdout and "HTTP 401" in done.stdout
    for secret in (minted["api_key"], minted["registration_token"]):
        assert secret not in done.stdout + done.stderr
