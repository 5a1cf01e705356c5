import logging

import pytest

from orvex_cloud.enforcement import observe_first_from_env


@pytest.fixture
def env(monkeypatch):
    def set_env(enforcement, dry_run):
        for name, value in (("ORVEX_ENFORCEMENT", enforcement), ("ORVEX_DRY_RUN", dry_run)):
            if value is None:
                monkeypatch.delenv(name, raising=False)
            else:
                monkeypatch.setenv(name, value)

    return set_env


@pytest.mark.parametrize(
    "enforcement, dry_run, observe",
    [
        (None, None, True),
        ("", "", True),
        ("observe", None, True),
        ("enforce", None, False),
        ("  ENFORCE\n", None, False),
        ("Observe", None, True),
        (None, "false", False),
        (None, "0", False),
        (None, " No ", False),
        (None, "true", True),
        (None, "1", True),
        (None, "YES", True),
        ("", "false", False),
        ("enforce", "true", False),
        ("observe", "false", True),
        ("enforce", "garbage", False),
    ],
)
def test_switch_table(env, enforcement, dry_run, observe):
    env(enforcement, dry_run)
    assert observe_first_from_env() is observe


@pytest.mark.parametrize(
    "enforcement, dry_run, variable",
    [
        ("enforse", None, "ORVEX_ENFORCEMENT"),
        ("off", "false", "ORVEX_ENFORCEMENT"),
        (None, "maybe", "ORVEX_DRY_RUN"),
        ("", "enforce", "ORVEX_DRY_RUN"),
    ],
)
def test_unknown_value_raises_instead_of_weakening(env, enforcement, dry_run, variable):
    env(enforcement, dry_run)
    with pytest.raises(ValueError, match=variable) as info:
        observe_first_from_env()
    if variable == "ORVEX_ENFORCEMENT":
        assert "'observe'" in str(info.value) and "'enforce'" in str(info.value)


def test_contradicting_alias_is_warned_about(env, caplog):
    env("enforce", "true")
    with caplog.at_level(logging.WARNING, logger="orvex_cloud.enforcement"):
        assert observe_first_from_env() is False
    assert "ORVEX_DRY_RUN" in caplog.text
