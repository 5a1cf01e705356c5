"""Ed25519 signing and public keys."""

from __future__ import annotations

import hmac
from typing import Any

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import (
    Ed25519PrivateKey,
    Ed25519PublicKey,
)

KEY_LENGTH = 32
SIGNATURE_LENGTH = 64

_RAW = serialization.Encoding.Raw


def _require_bytes(value: Any, what: str) -> bytes:
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise ValueError(f"{what} must be bytes, not {type(value).__name__}")


def _from_hex(text: Any, what: str) -> bytes:
    if not isinstance(text, str):
        raise ValueError(f"{what} must be hex text, not {type(text).__name__}")
    try:
        return bytes.fromhex(text.strip())
    except ValueError as exc:
        raise ValueError(f"{what} is not valid hex: {exc}") from exc


class PublicKey:
    """An Ed25519 public key (32 raw bytes)."""

    __slots__ = ("_raw", "_key")

    def __init__(self, key: Ed25519PublicKey) -> None:
        self._key = key
        self._raw = key.public_bytes(_RAW, serialization.PublicFormat.Raw)

    @classmethod
    def from_bytes(cls, data: Any) -> "PublicKey":
        raw = _require_bytes(data, "public key")
        if len(raw) != KEY_LENGTH:
            raise ValueError(f"Ed25519 public key must be {KEY_LENGTH} bytes, got {len(raw)}")
        try:
            return cls(Ed25519PublicKey.from_public_bytes(raw))
        except ValueError as exc:
            raise ValueError(f"not an Ed25519 public key: {exc}") from exc

    @classmethod
    def from_hex(cls, text: Any) -> "PublicKey":
        return cls.from_bytes(_from_hex(text, "public key"))

    def to_bytes(self) -> bytes:
        return self._raw

    def __bytes__(self) -> bytes:
        return self._raw

    def hex(self) -> str:
        return self._raw.hex()

    def verify(self, signature: Any, message: Any) -> bool:
        """True when `signature` is this key's valid signature of `message`."""
        try:
            sig = _require_bytes(signature, "signature")
            msg = _require_bytes(message, "message")
        except ValueError:
            return False
        if len(sig) != SIGNATURE_LENGTH:
            return False
        try:
            self._key.verify(sig, msg)
        except InvalidSignature:
            return False
        return True

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PublicKey):
            return NotImplemented
        return self._raw == other._raw

    def __hash__(self) -> int:
        return hash(("PublicKey", self._raw))

    def __str__(self) -> str:
        # Key objects turn into approver-key text with str(); hex keeps that readable.
        return self._raw.hex()

    def __repr__(self) -> str:
        return f"PublicKey({self._raw.hex()})"


class SigningKey:
    """An Ed25519 signing key, built from its 32-byte seed."""

    __slots__ = ("_seed", "_key", "public_key")

    def __init__(self, key: Ed25519PrivateKey) -> None:
        self._key = key
        self._seed = key.private_bytes(
            _RAW, serialization.PrivateFormat.Raw, serialization.NoEncryption()
        )
        self.public_key = PublicKey(key.public_key())

    @classmethod
    def generate(cls) -> "SigningKey":
        return cls(Ed25519PrivateKey.generate())

    @classmethod
    def from_bytes(cls, data: Any) -> "SigningKey":
        seed = _require_bytes(data, "signing key")
        if len(seed) != KEY_LENGTH:
            raise ValueError(f"Ed25519 signing key seed must be {KEY_LENGTH} bytes, got {len(seed)}")
        return cls(Ed25519PrivateKey.from_private_bytes(seed))

    @classmethod
    def from_hex(cls, text: Any) -> "SigningKey":
        return cls.from_bytes(_from_hex(text, "signing key"))

    def to_bytes(self) -> bytes:
        return self._seed

    def sign(self, message: Any) -> bytes:
        return self._key.sign(_require_bytes(message, "message"))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, SigningKey):
            return NotImplemented
        return hmac.compare_digest(self._seed, other._seed)

    def __hash__(self) -> int:
        return hash(("SigningKey", self.public_key.to_bytes()))

    def __repr__(self) -> str:
        # Never show the seed.
        return f"SigningKey(public_key={self.public_key.hex()})"
