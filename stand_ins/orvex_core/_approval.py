"""Signed approvals: one approver's Ed25519 signature over a request hash.

Binary layout of `SignedApproval.to_bytes()` (all integers big-endian):

    offset  size  field
    0       1     format version, 0x01
    1       32    approver's Ed25519 public key
    33      1     n, length of the request hash (1..255)
    34      n     request hash
    34+n    8     approved-at, unsigned unix seconds
    42+n    64    Ed25519 signature of the approver over `signing_message(...)`

Total 106 + n bytes (138 for a SHA-256 request hash).

The signed message is the domain tag b"orvex/signed-approval/v1\\x00" followed by the
same key, length, hash and time fields, so a signature made for anything else (an
attestation, another request hash, another time) never verifies as an approval.
"""

from __future__ import annotations

import struct
import time
from dataclasses import dataclass
from typing import Any, Optional

from orvex_core._keys import KEY_LENGTH, SIGNATURE_LENGTH, PublicKey, SigningKey

FORMAT_VERSION = 1
DOMAIN = b"orvex/signed-approval/v1\x00"
MAX_HASH_LENGTH = 255
_TIME = struct.Struct(">Q")
_FIXED_LENGTH = 1 + KEY_LENGTH + 1 + _TIME.size + SIGNATURE_LENGTH


def _fields(approver_key: bytes, request_hash: bytes, approved_at: int) -> bytes:
    return (
        approver_key
        + bytes([len(request_hash)])
        + request_hash
        + _TIME.pack(approved_at)
    )


def _check_hash(request_hash: Any) -> bytes:
    if not isinstance(request_hash, (bytes, bytearray, memoryview)):
        raise ValueError(f"request hash must be bytes, not {type(request_hash).__name__}")
    value = bytes(request_hash)
    if not 1 <= len(value) <= MAX_HASH_LENGTH:
        raise ValueError(f"request hash must be 1..{MAX_HASH_LENGTH} bytes, got {len(value)}")
    return value


def _check_time(approved_at: Any) -> int:
    if isinstance(approved_at, bool) or not isinstance(approved_at, int):
        raise ValueError("approved_at must be an integer of unix seconds")
    if not 0 <= approved_at < 2**64:
        raise ValueError("approved_at out of range")
    return approved_at


@dataclass(frozen=True)
class SignedApproval:
    approver_key: PublicKey
    request_hash: bytes
    approved_at: int
    signature: bytes

    @staticmethod
    def signing_message(approver_key: PublicKey, request_hash: bytes, approved_at: int) -> bytes:
        return DOMAIN + _fields(approver_key.to_bytes(), _check_hash(request_hash), _check_time(approved_at))

    @classmethod
    def create(
        cls, signing_key: SigningKey, request_hash: Any, approved_at: Optional[int] = None
    ) -> "SignedApproval":
        request_hash = _check_hash(request_hash)
        when = int(time.time()) if approved_at is None else _check_time(approved_at)
        message = cls.signing_message(signing_key.public_key, request_hash, when)
        return cls(signing_key.public_key, request_hash, when, signing_key.sign(message))

    def to_bytes(self) -> bytes:
        return (
            bytes([FORMAT_VERSION])
            + _fields(self.approver_key.to_bytes(), self.request_hash, self.approved_at)
            + self.signature
        )

    def __bytes__(self) -> bytes:
        return self.to_bytes()

    @classmethod
    def from_bytes(cls, data: Any) -> "SignedApproval":
        if not isinstance(data, (bytes, bytearray, memoryview)):
            raise ValueError(f"signed approval must be bytes, not {type(data).__name__}")
        raw = bytes(data)
        if len(raw) < _FIXED_LENGTH + 1:
            raise ValueError(f"signed approval too short: {len(raw)} bytes")
        if raw[0] != FORMAT_VERSION:
            raise ValueError(f"unsupported signed approval version {raw[0]}")
        hash_len = raw[1 + KEY_LENGTH]
        if hash_len == 0:
            raise ValueError("signed approval has an empty request hash")
        if len(raw) != _FIXED_LENGTH + hash_len:
            raise ValueError(
                f"signed approval length {len(raw)} does not match its request hash length {hash_len}"
            )
        approver_key = PublicKey.from_bytes(raw[1 : 1 + KEY_LENGTH])
        pos = 2 + KEY_LENGTH
        request_hash = raw[pos : pos + hash_len]
        pos += hash_len
        (approved_at,) = _TIME.unpack_from(raw, pos)
        pos += _TIME.size
        return cls(approver_key, request_hash, approved_at, raw[pos:])

    def verify(self, expected_request_hash: Any = None) -> bool:
        """True when the signature is valid and, if given, binds `expected_request_hash`."""
        if expected_request_hash is not None:
            if not isinstance(expected_request_hash, (bytes, bytearray, memoryview)):
                return False
            if bytes(expected_request_hash) != self.request_hash:
                return False
        try:
            message = self.signing_message(self.approver_key, self.request_hash, self.approved_at)
        except ValueError:
            return False
        return self.approver_key.verify(self.signature, message)

    def __repr__(self) -> str:
        return (
            f"SignedApproval(approver_key={self.approver_key.hex()}, "
            f"request_hash={self.request_hash.hex()}, approved_at={self.approved_at})"
        )
