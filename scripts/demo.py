"""An agent bootstrapped from a Quick Connect token, and one gated tool call approved through a
local control plane.

Starts the local control plane on a free loopback port, mints a Quick Connect token for a new
agent, lets the agent check its set-up with doctor() and claim itself with connect(), then makes
a tool call that needs human approval, lets a reviewer approve it, and prints the signed
approval that comes back.
"""

import logging
import os
import pathlib
import sys
import tempfile
import threading
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "stand_ins"), str(ROOT)]

from local_control_plane.harness import LocalControlPlane  # noqa: E402
from orvex.approval import ApprovalRequest  # noqa: E402
from orvex_core import SigningKey  # noqa: E402

from orvex_cloud import approval  # noqa: E402
from orvex_cloud.client import DEFAULT_DASHBOARD_URL, OrvexCloudClient  # noqa: E402
from orvex_cloud.connect import connect, doctor  # noqa: E402


def reviewer(control_plane, api_key, approver):
    """Plays the human at the dashboard: approves the first pending request it sees."""
    with OrvexCloudClient(api_key, base_url=control_plane.url) as client:
        for _ in range(200):
            pending = client.list_requests(status="pending")["requests"]
            if pending:
                request_id = pending[0]["id"]
                print(f"reviewer: {DEFAULT_DASHBOARD_URL}/approvals?request={request_id} -> approve as {approver}")
                control_plane.approve(request_id, approver=approver)
                return
            time.sleep(0.05)


def main():
    logging.basicConfig(level=logging.INFO, format="%(name)s: %(message)s", stream=sys.stdout)
    logging.getLogger("httpx").setLevel(logging.WARNING)
    with tempfile.TemporaryDirectory() as folder, LocalControlPlane(pathlib.Path(folder) / "cp.sqlite3") as cp:
        approver = cp.create_approver("alice")
        print(f"local control plane at {cp.url}; approver alice = {approver['public_key'][:16]}...")

        # Bootstrap: one token carries the endpoint, the API key and the agent binding.
        token = cp.mint_connect_token(agent=True, tenant="demo")["token"]
        agent_key = SigningKey.generate()
        public_key_hex = agent_key.public_key.to_bytes().hex()
        report = doctor(token, public_key_hex=public_key_hex)
        for check in report.checks:
            print(f"doctor: {check.status:<8} {check.name:<24} {check.message}")
        with connect(token, public_key_hex=public_key_hex):
            print(f"agent: claimed {os.environ['ORVEX_AGENT_ID']}; settings applied to the environment")
        api_key, base_url = os.environ["ORVEX_API_KEY"], os.environ["ORVEX_CONTROL_PLANE_URL"]

        request = ApprovalRequest.for_call(
            agent_key, warrant_id="warrant-demo", tool="transfer_funds", arguments={"to": "acct-42", "amount": 250}
        )
        print(f"agent: calling transfer_funds{request.arguments} needs approval")

        threading.Thread(target=reviewer, args=(cp, api_key, "alice"), daemon=True).start()
        handler = approval.cloud_approval(api_key, base_url=base_url, poll_interval=0.1, timeout=30)
        signed = handler(request)

        ok = signed.verify(expected_request_hash=request.request_hash)
        print(f"agent: got {signed}")
        print(f"signature over the request hash verifies: {ok}")
        return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
