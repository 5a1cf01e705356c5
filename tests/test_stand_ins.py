import base64

import cbor2
import pytest

from orvex.approval import ApprovalDenied, ApprovalRequest
from orvex.cp_approval import ControlPlaneApprovalResponseV1, signed_approvals_from_response
from orvex.decorators import bound_key, bound_warrant, key_scope, warrant_scope
from orvex_core import (
    PublicKey,
    SignedApproval,
    SigningKey,
    compute_request_hash,
    py_build_approval_context_attestation,
    verify_approval_context_attestation,
)

# RFC 8032, section 7.1, test 1: proves the keys are real Ed25519, not a look-alike.
RFC_SEED = "9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"
RFC_PUBLIC = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a"
RFC_SIG_EMPTY = (
    "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46bd25bf5f0595bbe24655141438e7a100b"
)
HASH = bytes(range(32))


@pytest.fixture(scope="module")
def key():
    return SigningKey.from_hex(RFC_SEED)


class TestKeys:
    def test_rfc8032_vector(self, key):
        assert key.public_key.hex() == RFC_PUBLIC
        assert key.sign(b"").hex() == RFC_SIG_EMPTY
        assert key.public_key.verify(bytes.fromhex(RFC_SIG_EMPTY), b"")
        assert not key.public_key.verify(bytes.fromhex(RFC_SIG_EMPTY), b"x")

    def test_round_trips_and_equality(self, key):
        assert SigningKey.from_bytes(key.to_bytes()) == key
        pub = PublicKey.from_bytes(bytes(key.public_key))
        assert pub == key.public_key and hash(pub) == hash(key.public_key)
        assert pub != SigningKey.generate().public_key
        assert RFC_SEED not in repr(key)

    @pytest.mark.parametrize("bad", [b"", b"\x01" * 31, b"\x01" * 33, "00" * 32, None, 5])
    def test_from_bytes_rejects_anything_but_32_bytes(self, bad):
        with pytest.raises(ValueError):
            SigningKey.from_bytes(bad)
        with pytest.raises(ValueError):
            PublicKey.from_bytes(bad)

    @pytest.mark.parametrize("bad", ["zz" * 32, "abc", "00" * 31])
    def test_from_hex_rejects_bad_text(self, bad):
        with pytest.raises(ValueError):
            SigningKey.from_hex(bad)

    @pytest.mark.parametrize("signature", [b"", b"\x00" * 63, b"\x00" * 64, "not bytes"])
    def test_verify_is_false_for_garbage(self, key, signature):
        assert key.public_key.verify(signature, b"msg") is False


class TestSignedApproval:
    def test_round_trip_layout_and_verify(self, key):
        approval = SignedApproval.create(key, HASH, approved_at=1_700_000_000)
        raw = approval.to_bytes()
        assert len(raw) == 106 + len(HASH)
        assert raw[0] == 1 and raw[1:33] == key.public_key.to_bytes() and raw[33] == len(HASH)
        assert raw[34:66] == HASH and int.from_bytes(raw[66:74], "big") == 1_700_000_000
        decoded = SignedApproval.from_bytes(raw)
        assert decoded == approval
        assert decoded.verify() and decoded.verify(HASH)

    def test_bound_to_the_request_hash(self, key):
        approval = SignedApproval.create(key, HASH)
        assert not approval.verify(bytes(32))
        assert not approval.verify(HASH.hex())

    @pytest.mark.parametrize(
        "offset", [1, 34, 65, 70, 80, -1], ids=["approver", "hash-first", "hash-last", "time", "sig", "sig-last"]
    )
    def test_any_flipped_byte_fails_verification(self, key, offset):
        raw = bytearray(SignedApproval.create(key, HASH).to_bytes())
        raw[offset] ^= 0x01
        try:
            tampered = SignedApproval.from_bytes(bytes(raw))
        except ValueError:
            return  # an approver key that is not a curve point may already be refused
        assert not tampered.verify()

    def test_signature_is_domain_separated(self, key):
        # The approver's plain signature of the hash must not pass as an approval.
        approval = SignedApproval.create(key, HASH, approved_at=1)
        forged = SignedApproval(key.public_key, HASH, 1, key.sign(HASH))
        assert approval.verify() and not forged.verify()

    @pytest.mark.parametrize(
        "mutate",
        [
            lambda raw: b"",
            lambda raw: raw[:-1],
            lambda raw: raw + b"\x00",
            lambda raw: b"\x02" + raw[1:],
            lambda raw: raw[:33] + b"\x00" + raw[34:],
            lambda raw: raw[:33] + b"\x40" + raw[34:],
            lambda raw: base64.b64encode(raw).decode(),
        ],
        ids=["empty", "truncated", "trailing", "version", "zero-hash-len", "wrong-hash-len", "text"],
    )
    def test_from_bytes_rejects_malformed(self, key, mutate):
        raw = SignedApproval.create(key, HASH).to_bytes()
        with pytest.raises(ValueError):
            SignedApproval.from_bytes(mutate(raw))


class TestAttestation:
    def test_fields_bind_the_call(self, key):
        args_b64, att = py_build_approval_context_attestation(key, "w1", "transfer", {"b": 2, "a": 1}, key.public_key)
        args_cbor = base64.b64decode(args_b64, validate=True)
        assert cbor2.loads(args_cbor) == {"a": 1, "b": 2}
        assert att["holder_key"] == key.public_key.hex()
        assert att["request_hash"] == compute_request_hash("w1", "transfer", args_cbor, key.public_key.to_bytes()).hex()
        assert verify_approval_context_attestation(att, args_b64)

    def test_canonical_regardless_of_key_order(self, key):
        first = py_build_approval_context_attestation(key, "w", "t", {"a": 1, "bb": [1, 2]}, key.public_key)
        second = py_build_approval_context_attestation(key, "w", "t", {"bb": [1, 2], "a": 1}, key.public_key)
        assert first == second

    @pytest.mark.parametrize(
        "field, value", [("tool", "other"), ("warrant_id", "w2"), ("request_hash", "00" * 32), ("v", 2)]
    )
    def test_tampered_attestation_fails(self, key, field, value):
        _, att = py_build_approval_context_attestation(key, "w", "t", {"a": 1}, key.public_key)
        assert not verify_approval_context_attestation({**att, field: value})

    def test_other_arguments_fail(self, key):
        _, att = py_build_approval_context_attestation(key, "w", "t", {"a": 1}, key.public_key)
        other_b64, _ = py_build_approval_context_attestation(key, "w", "t", {"a": 2}, key.public_key)
        assert not verify_approval_context_attestation(att, other_b64)

    def test_holder_must_sign(self, key):
        with pytest.raises(ValueError):
            py_build_approval_context_attestation(key, "w", "t", {}, SigningKey.generate().public_key)


def test_approval_request_for_call(key):
    approver = SigningKey.generate().public_key
    request = ApprovalRequest.for_call(
        key, warrant_id="w", tool="t", arguments={"x": 1}, required_approvers=[approver, b"\x01" * 32], min_approvals=2
    )
    assert request.holder_key == key.public_key.to_bytes()
    assert request.request_hash.hex() == request.approval_context_attestation["request_hash"]
    assert request.required_approvers == [approver.to_bytes(), b"\x01" * 32]
    assert (request.min_approvals, request.ttl_seconds, request.policy_id, request.request_id) == (2, None, None, None)
    assert SignedApproval.create(key, request.request_hash).verify(request.request_hash)


class TestControlPlaneResponse:
    def test_decodes_each_approval(self, key):
        approvals = [SignedApproval.create(key, HASH), SignedApproval.create(SigningKey.generate(), HASH)]
        response = ControlPlaneApprovalResponseV1(
            status="approved", signed_approvals_b64=[base64.b64encode(a.to_bytes()).decode() for a in approvals]
        )
        assert signed_approvals_from_response(response) == approvals

    @pytest.mark.parametrize("value", [None, []])
    def test_nothing_to_decode(self, value):
        assert signed_approvals_from_response(ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=value)) == []

    @pytest.mark.parametrize("mangle", [lambda t: t.rstrip("="), lambda t: t[:10] + "\n" + t[10:], lambda t: t.replace("+", "-").replace("/", "_") + "-"])
    def test_strict_base64(self, key, mangle):
        text = base64.b64encode(SignedApproval.create(key, bytes(31)).to_bytes()).decode()
        with pytest.raises(ValueError):
            signed_approvals_from_response(ControlPlaneApprovalResponseV1(status="approved", signed_approvals_b64=[mangle(text)]))


@pytest.mark.parametrize("bind, scope", [(bound_key, key_scope), (bound_warrant, warrant_scope)])
def test_scopes_nest_and_restore(bind, scope):
    assert scope() is None
    with bind("outer"):
        with pytest.raises(RuntimeError), bind("inner"):
            assert scope() == "inner"
            raise RuntimeError
        assert scope() == "outer"
    assert scope() is None


def test_approval_denied_carries_request_and_reason():
    request = object()
    exc = ApprovalDenied(request, reason="not today")
    assert isinstance(exc, Exception)
    assert (exc.request, exc.reason, str(exc)) == (request, "not today", "not today")
