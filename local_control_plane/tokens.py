"""Credentials and Quick Connect tokens."""

from __future__ import annotations

import base64
import hashlib
import json
import secrets
from typing import Optional

API_KEY_PREFIX = "ok_"
REGISTRATION_TOKEN_PREFIX = "rt_"
CONNECT_TOKEN_PREFIX = "orvex_qc_"


def _random_32() -> str:
    # 24 random bytes are exactly 32 URL-safe base64 characters, without padding.
    return secrets.token_urlsafe(24)


def new_api_key() -> str:
    return API_KEY_PREFIX + _random_32()


def new_registration_token() -> str:
    return REGISTRATION_TOKEN_PREFIX + _random_32()


def new_id(prefix: str) -> str:
    return f"{prefix}_{secrets.token_hex(12)}"


def secret_hash(secret: str) -> str:
    # Only hashes are stored: a copied database does not leak usable credentials.
    return hashlib.sha256(secret.encode("utf-8")).hexdigest()


def encode_connect_token(
    endpoint: str, api_key: str, agent_id: Optional[str] = None, registration_token: Optional[str] = None
) -> str:
    payload = {"v": 1, "e": endpoint, "k": api_key}
    if agent_id and registration_token:
        payload["a"] = agent_id
        payload["t"] = registration_token
    raw = json.dumps(payload, separators=(",", ":")).encode("utf-8")
    return CONNECT_TOKEN_PREFIX + base64.urlsafe_b64encode(raw).decode("ascii").rstrip("=")
