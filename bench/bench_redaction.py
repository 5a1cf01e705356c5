"""redact_text and redact against a pure-Python baseline (the host's `re` passes and a Python walk)."""

import re

from _timing import compare

from orvex_cloud import redaction

MARKER = "<redacted>"
PATTERNS = [
    re.compile(re.escape(redaction._CONNECT_PREFIX) + r"[A-Za-z0-9_-]+"),
    *(re.compile(re.escape(prefix) + r"[A-Za-z0-9_-]{8,}") for prefix in redaction._CREDENTIAL_PREFIXES),
    re.compile(r"Bearer\s+[A-Za-z0-9._~+/=-]+", re.IGNORECASE),
]
BEARER_TAIL = re.compile(r"(?i)(bearer\s+(?-i:<redacted>))(?:[A-Za-z0-9._~+/=-]|(?-i:<redacted>))*")
SECRET_KEYS = {
    "api_key", "apikey", "authorization", "client_secret", "connect_token",
    "registration_token", "secret", "token", "password",
}


def py_redact_text(value):
    for pattern in PATTERNS:
        value = pattern.sub(MARKER, value)
    return BEARER_TAIL.sub(r"\1", value)


def py_is_secret_key(key):
    normalized = key.lower().replace("-", "_")
    return normalized in SECRET_KEYS or normalized.endswith(("_token", "_secret", "_password", "_api_key"))


def py_redact(value, *, key=""):
    if key and py_is_secret_key(key):
        return MARKER
    if isinstance(value, str):
        return py_redact_text(value)
    if isinstance(value, dict):
        return {str(k): py_redact(v, key=str(k)) for k, v in value.items()}
    if isinstance(value, list):
        return [py_redact(v) for v in value]
    if isinstance(value, tuple):
        return tuple(py_redact(v) for v in value)
    return value


API_KEY = "ok_" + "Zq3v9XbT2mNc7Lp4" * 2
REGISTRATION = "rt_" + "a8F2kQ9sLm3Vx7Pw"
CONNECT = redaction._CONNECT_PREFIX + "eyJlIjoiaHR0cHM6Ly9hcGkub3J2ZXguZXhhbXBsZSIsImsiOiJva18xMjM0NTY3OCJ9"

LOG_LINE = (
    "2026-12-11T05:35:29Z INFO orvex_cloud.connect POST https://api.orvex.example/v1/agents/claim "
    f"headers={{'Authorization': 'Bearer {API_KEY}.eyJzdWIiOiJhZ2VudCJ9.c2ln', "
    "'Content-Type': 'application/json'} status=200 elapsed=0.183s"
)
PLAIN_BODY = (
    '{"id": "req_01HZX3", "status": "pending", "warrant_id": "wrt_7f3a", "tool": "transfer_funds", '
    '"policy_id": "pol_finance", "threshold": 2, "expires_at": "2026-12-11T06:35:29Z", '
    '"message": "waiting for two reviewers of the finance team to approve the transfer"}'
) * 8
TOKEN_HINT = f"set ORVEX_CONNECT_TOKEN={CONNECT} and ORVEX_API_KEY={API_KEY} before starting the worker"

CLAIM_RESPONSE = {
    "id": "agt_3k9q",
    "agent_id": "agt_3k9q",
    "name": "billing-agent",
    "status": "active",
    "key_id": "key_81b2",
    "registered_at": "2026-12-11T05:35:29Z",
    "registration_token": REGISTRATION,
    "tenant": {"id": "acme", "plan": "team", "api_key": API_KEY, "owners": ["ops@acme.example"]},
    "policies": [
        {"id": f"pol_{n}", "tool_pattern": "transfer_*", "threshold": 2, "approver_keys": ["a1" * 32, "b2" * 32],
         "ttl_seconds": 300, "enabled": True, "note": f"created with Bearer {API_KEY}" if n == 3 else "ok"}
        for n in range(6)
    ],
    "headers": {"Authorization": f"Bearer {API_KEY}", "X-Request-Id": "7b1e0c2d", "x-api-key": API_KEY},
    "history": [("claimed", 1702273000), ("rotated", 1702274000)],
}


def main():
    for text in (LOG_LINE, PLAIN_BODY, TOKEN_HINT):
        assert redaction.redact_text(text) == py_redact_text(text)
    assert redaction.redact(CLAIM_RESPONSE) == py_redact(CLAIM_RESPONSE)

    compare("redact_text: log line with bearer credential",
            lambda: redaction.redact_text(LOG_LINE), lambda: py_redact_text(LOG_LINE), number=20000)
    compare("redact_text: 2 KB body without credentials",
            lambda: redaction.redact_text(PLAIN_BODY), lambda: py_redact_text(PLAIN_BODY), number=5000)
    compare("redact_text: hint with connect token and key",
            lambda: redaction.redact_text(TOKEN_HINT), lambda: py_redact_text(TOKEN_HINT), number=20000)
    compare("redact: claim response (nested, 60 values)",
            lambda: redaction.redact(CLAIM_RESPONSE), lambda: py_redact(CLAIM_RESPONSE), number=5000)


if __name__ == "__main__":
    main()
