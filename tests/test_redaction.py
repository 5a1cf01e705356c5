"""Tests of orvex_cloud.redaction: secret key names, credential scrubbing and the value walk."""

import collections
import copy
import gc
import os
import re
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from orvex_cloud import redaction

CONNECT = redaction._CONNECT_PREFIX
API, REG = redaction._CREDENTIAL_PREFIXES
M = "<redacted>"

# The behaviour redact_text must reproduce, written with the host's `re`: the four passes one
# after the other, then the rest of a credential after "Bearer <redacted>" dropped.
REFERENCE_PASSES = [
    re.compile(re.escape(CONNECT) + r"[A-Za-z0-9_-]+"),
    re.compile(re.escape(API) + r"[A-Za-z0-9_-]{8,}"),
    re.compile(re.escape(REG) + r"[A-Za-z0-9_-]{8,}"),
    re.compile(r"Bearer\s+[A-Za-z0-9._~+/=-]+", re.IGNORECASE),
]
BEARER_TAIL = re.compile(r"(?i)(bearer\s+(?-i:<redacted>))(?:[A-Za-z0-9._~+/=-]|(?-i:<redacted>))*")


def reference(text):
    for pattern in REFERENCE_PASSES:
        text = pattern.sub(M, text)
    return BEARER_TAIL.sub(r"\1", text)


# ---- constants ---------------------------------------------------------------------------------


def test_prefixes_have_the_system_wide_form():
    assert re.fullmatch(r"[a-z]{5}_[a-z]{2}_", CONNECT)
    assert len(redaction._CREDENTIAL_PREFIXES) == 2 and API != REG
    assert all(re.fullmatch(r"[a-z]{2}_", prefix) for prefix in (API, REG))


def test_token_patterns_describe_the_four_passes_in_order():
    assert [(p.pattern, p.flags & re.IGNORECASE) for p in redaction._TOKEN_PATTERNS] == [
        (p.pattern, p.flags & re.IGNORECASE) for p in REFERENCE_PASSES
    ]
    assert redaction._REDACTED == M
    assert redaction._SECRET_KEYS == {
        "api_key", "apikey", "authorization", "client_secret", "connect_token",
        "registration_token", "secret", "token", "password",
    }


# ---- _is_secret_key ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "key, secret",
    [
        ("Authorization", True),
        ("API-KEY", True),
        ("Client-Secret", True),
        ("access_token", True),
        ("refresh-token", True),
        ("my_secret", True),
        ("TOKEN", True),
        ("password", True),
        ("DB-Password", True),
        ("x-api-key", True),
        ("Stripe_API_Key", True),
        ("Café-Token", True),  # non-ASCII text is lowered by the host
        ("ÄPI-KEY", False),
        ("secret_name", False),
        ("tokens", False),
        ("key", False),
        ("passwords", False),
        ("password_hint", False),
        ("", False),
    ],
)
def test_is_secret_key(key, secret):
    assert redaction._is_secret_key(key) is secret


def test_is_secret_key_reads_the_module_set_at_every_call(monkeypatch):
    monkeypatch.setattr(redaction, "_SECRET_KEYS", redaction._SECRET_KEYS | {"pin"})
    assert redaction._is_secret_key("PIN")
    assert redaction.redact({"pin": 1234}) == {"pin": M}


def test_a_key_that_is_not_text_fails_as_in_python():
    with pytest.raises(AttributeError, match="'int' object has no attribute 'lower'"):
        redaction._is_secret_key(5)
    with pytest.raises(AttributeError):
        redaction.redact("x", key=5)


# ---- redact_text -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, expected",
    [
        ("Authorization: bearer abc.DEF-12", "Authorization: " + M),
        (f"token={CONNECT}eyJlIjoiaHR0cHM6Ly9hIn0=", f"token={M}="),
        (f"{CONNECT}eyJlIjoiaHR0cHMifQ==", M + "=="),
        (CONNECT, CONNECT),  # a prefix alone is no token
        (f"{API}1234567", f"{API}1234567"),  # 7 characters: too short
        (f"{API}12345678", M),
        (f"key x{REG}abcdefgh-_Z rest", f"key x{M} rest"),  # inside a longer word, the letter kept
        # An earlier pass wins; its marker keeps "Bearer" and the white space in front of it.
        (f"Bearer {API}12345678", f"Bearer {M}"),
        (f"{CONNECT}{API}12345678", M),
        (f"{API}1234{CONNECT}abc", f"{API}1234{M}"),  # a marker cuts the run: 4 characters left
        (f"{REG}12345678{API}12345678", M + M),
        # The rest of a credential after a marker that stands after "Bearer" goes with it.
        (f"Authorization: Bearer {API}12345678.eyJzdWIiOiJ4In0.c2ln", f"Authorization: Bearer {M}"),
        (f"BEARER\t{API}aaaaaaaa.{REG}bbbbbbbb", f"BEARER\t{M}"),
        (f"bearer {API}12345678~x<redacted>y/z next", f"bearer {M} next"),
        (f"Bearer {API}12345678.xBearer more", f"Bearer {M}"),  # a bearer match inside the tail
        ("Bearer <redacted>.left-over", f"Bearer {M}"),
        ("Bearer <REDACTED>.left-over", "Bearer <REDACTED>.left-over"),  # the marker is exact
        (f"Bearer  Bearer {API}12345678", f"{M} {M}"),
        # White space and letters as the host's `re` reads them.
        ("Bearer\u3000abc", M),
        ("Bearer\x1cabc", M),
        ("Bearer\u200babc", "Bearer\u200babc"),  # zero-width space is no white space
        ("Bearer \u212aey", M),  # Kelvin sign folds to k
        ("Bearer \u017f\u0130\u0131", M),
        ("Bearer \u00e9t\u00e9", "Bearer \u00e9t\u00e9"),
        ("Be\u0430rer abc", "Be\u0430rer abc"),  # Cyrillic a
        ("ok_\U0001f600 plain text", "ok_\U0001f600 plain text"),
    ],
)
def test_redact_text(text, expected):
    assert redaction.redact_text(text) == expected
    assert reference(text) == expected


def test_text_without_a_match_is_returned_as_it_is():
    text = "nothing to hide here: ok_short, Bearer <, rt_"
    assert redaction.redact_text(text) is text

    class Text(str):
        pass

    result = redaction.redact_text(Text(text))
    assert type(result) is str and result == text


@pytest.mark.parametrize("value, message", [(5, "expected string"), (b"ok_12345678", "string pattern")])
def test_redact_text_of_a_non_text_raises_the_hosts_error(value, message):
    with pytest.raises(TypeError, match=message):
        redaction.redact_text(value)


FRAGMENTS = [
    CONNECT, API, REG, CONNECT[:-1], "Bearer", "bEaReR", "BEARER", "bearer", "Bearer ", M, M, "<REDACTED>",
    " ", "\t", "\n", "\xa0", "\u3000", "\x1c", "\u2028", "\x85", "\u200b",
    ".", "~", "+", "/", "=", "-", "_", "<", ">", "!", ",",
    "a", "Z", "9", "12345678", "abcd", "x", "r", "t",
    "\u0130", "\u0131", "\u017f", "\u212a", "\u00e9", "\u0430", "\U0001f600",
]


@settings(max_examples=1500, deadline=None)
@given(st.lists(st.sampled_from(FRAGMENTS) | st.characters(), max_size=24).map("".join))
def test_redact_text_equals_the_host_passes(text):
    assert redaction.redact_text(text) == reference(text)


@pytest.mark.parametrize(
    "template",
    ["Bearer {}!", "Bearer{}x!", f"Bearer {M}{{}}!", f"{API}1234567{{}}!"],
    ids=["bearer class", "white space", "tail class", "word class"],
)
def test_every_code_point_is_classified_as_the_host_does(template):
    # "!" is in no class and no white space: each probe stands alone.
    for block in range(0, 0x110000, 0x10000):
        text = "".join(template.format(chr(c)) for c in range(block, block + 0x10000))
        assert redaction.redact_text(text) == reference(text), hex(block)


# ---- monkeypatching ---------------------------------------------------------------------------


def test_rebound_patterns_and_marker_are_used(monkeypatch):
    monkeypatch.setattr(redaction, "_TOKEN_PATTERNS", redaction._TOKEN_PATTERNS + [re.compile(r"pin-\d{4}")])
    assert redaction.redact_text("pin-1234 and Bearer x") == f"{M} and {M}"

    monkeypatch.setattr(redaction, "_REDACTED", "[hidden]")
    assert redaction.redact_text(f"Bearer {API}12345678.sig pin-1234") == "Bearer [hidden] [hidden]"
    assert redaction.redact({"token": "t"}) == {"token": "[hidden]"}


def test_redact_calls_through_the_module_attributes(monkeypatch):
    seen = []
    monkeypatch.setattr(redaction, "redact_text", lambda value: seen.append(value) or value.upper())
    monkeypatch.setattr(redaction, "_is_secret_key", lambda key: key == "pin")
    assert redaction.redact({"pin": 1, "token": "abc", "x": ["def"]}) == {"pin": M, "token": "ABC", "x": ["DEF"]}
    assert seen == ["abc", "def"]


def test_nested_values_go_through_the_module_redact(monkeypatch):
    original = redaction.redact
    calls = []

    def spy(value, *, key=""):
        calls.append(key)
        return original(value, key=key)

    monkeypatch.setattr(redaction, "redact", spy)
    assert redaction.redact_dict({"a": {"b": "x"}}) == {"a": {"b": "x"}}
    assert calls == ["", "a", "b"]


# ---- redact ------------------------------------------------------------------------------------


@pytest.fixture
def claim_response():
    return {
        "id": "agt_1",
        "api_key": {"nested": f"{API}12345678"},
        "note": "word",
        "X-Api-Key": f"{API}12345678",
        "headers": [{"Authorization": "Bearer abc"}, {"Refresh-Token": None}],
        "names": ["Authorization", "token", f"Bearer {API}12345678.sig"],
        7: (f"{REG}12345678", 7, None),
        "raw": b"Bearer abc",
    }


def test_redact_walks_a_nested_value(claim_response):
    before = copy.deepcopy(claim_response)
    assert redaction.redact(claim_response) == {
        "id": "agt_1",
        "api_key": M,
        "note": "word",
        "X-Api-Key": M,
        "headers": [{"Authorization": M}, {"Refresh-Token": M}],
        "names": ["Authorization", "token", f"Bearer {M}"],
        "7": (M, 7, None),
        "raw": b"Bearer abc",
    }
    assert claim_response == before
    assert redaction.redact_dict(claim_response) == redaction.redact(claim_response)
    assert redaction.redact_list([claim_response]) == [redaction.redact(claim_response)]


@pytest.mark.parametrize("value", [7, 2.5, True, None, b"Bearer abc", frozenset({"token"}), {"ok_12345678"}, object()])
def test_values_that_are_not_walked_come_back_as_the_same_object(value):
    assert redaction.redact(value) is value


@pytest.mark.parametrize(
    "value, expected_type",
    [
        (collections.OrderedDict(token="t"), dict),
        (collections.defaultdict(list, token="t"), dict),
        (type("Text", (str,), {})("Bearer abc"), str),
        (type("Items", (list,), {})(["Bearer abc"]), list),
        (collections.namedtuple("Pair", "a b")("Bearer abc", 1), tuple),
    ],
)
def test_subtypes_are_rebuilt_as_their_plain_base(value, expected_type):
    assert type(redaction.redact(value)) is expected_type


def test_a_secret_key_hides_any_value_whole():
    assert redaction.redact({"a": 1}, key="Client-Secret") == M
    assert redaction.redact(["x"], key="my_api_key") == M
    assert redaction.redact("plain", key="") == "plain"


@pytest.mark.parametrize("make", [lambda: [], lambda: {}], ids=["list", "dict"])
def test_a_value_that_contains_itself_raises_recursion_error(make):
    value = make()
    if isinstance(value, list):
        value.append(value)
    else:
        value["self"] = value
    with pytest.raises(RecursionError):
        redaction.redact(value)


def test_deep_nesting_raises_recursion_error_even_with_a_raised_limit_on_a_small_stack():
    # A crash would take the interpreter down: run it in its own.
    script = textwrap.dedent(
        """
        import sys, threading
        from orvex_cloud import redaction
        sys.setrecursionlimit(10**6)
        threading.stack_size(512 * 1024)
        deep = "x"
        for _ in range(200000):
            deep = [{"k": deep}]
        outcome = []
        def run():
            try:
                redaction.redact(deep)
            except RecursionError:
                outcome.append("RecursionError")
        thread = threading.Thread(target=run)
        thread.start()
        thread.join()
        print(outcome)
        """
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "['RecursionError']"


def test_a_mapping_changed_during_the_walk_raises_instead_of_crashing(monkeypatch):
    data = {f"k{n}": "v" for n in range(50)}

    def clearing(value):
        data.clear()
        gc.collect()
        return value

    monkeypatch.setattr(redaction, "redact_text", clearing)
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        redaction.redact(data)


# ---- memory ------------------------------------------------------------------------------------


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.no_sanitizer
@pytest.mark.parametrize(
    "call",
    [
        lambda: redaction.redact_text(f"Authorization: Bearer {API}12345678.eyJ9.sig \u3000 {CONNECT}abc=="),
        lambda: redaction.redact({"a": [f"{REG}12345678", ("x", {1: None})], "token": "t", "s": "\U0001f600"}),
        lambda: redaction._is_secret_key("X-Refresh-Token"),
    ],
    ids=["redact_text", "redact", "_is_secret_key"],
)
def test_memory_stays_flat(call):
    for _ in range(2_000):
        call()
    gc.collect()
    before = resident_bytes()
    for _ in range(100_000):
        call()
    gc.collect()
    assert resident_bytes() - before < 4 * 1024 * 1024
