import pickle

import pytest

from orvex_cloud import exceptions
from orvex_cloud.exceptions import ApprovalTimeoutError, OrvexCloudError, RateLimitError

KEYWORD_ERRORS = [getattr(exceptions, name) for name in exceptions.__all__ if name != "ApprovalTimeoutError"]


@pytest.mark.parametrize("cls", KEYWORD_ERRORS, ids=lambda c: c.__name__)
def test_error_keeps_details_through_pickle(cls):
    err = cls(
        "boom",
        status_code=409,
        code="agent_not_pending",
        remediation="do something",
        body={"error": {"code": "agent_not_pending"}},
    )
    copy = pickle.loads(pickle.dumps(err))

    assert isinstance(copy, OrvexCloudError)
    assert type(copy) is cls
    assert str(copy) == "boom"
    assert (copy.message, copy.status_code, copy.code, copy.remediation, copy.body) == (
        "boom",
        409,
        "agent_not_pending",
        "do something",
        {"error": {"code": "agent_not_pending"}},
    )


@pytest.mark.parametrize("remediation", [None, ""])
def test_defaults_leave_remediation_empty_text(remediation):
    err = OrvexCloudError("x", remediation=remediation)
    assert (err.status_code, err.code, err.remediation, err.body) == (None, None, "", None)


def test_rate_limit_retry_after_survives_pickle():
    err = pickle.loads(pickle.dumps(RateLimitError("slow down", status_code=429, retry_after=2.5)))
    assert (err.retry_after, err.status_code) == (2.5, 429)


def test_approval_timeout_takes_id_and_timeout_positionally():
    err = ApprovalTimeoutError("req_1", 300.0)
    copy = pickle.loads(pickle.dumps(err))

    for e in (err, copy):
        assert isinstance(e, OrvexCloudError)
        assert (e.request_id, e.timeout) == ("req_1", 300.0)
        assert str(e) == "approval request req_1 still pending after 300.0s"
