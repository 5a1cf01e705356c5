"""Shared test set-up: the core-library stand-in is importable as `orvex` / `orvex_core`, and the
tests folder for its small helper modules.

The package under test is the installed one (the source tree holds no built modules)."""

import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
for path in (ROOT / "stand_ins", ROOT, ROOT / "tests"):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))

from orvex_env import ORVEX_ENV_VARS  # noqa: E402


@pytest.fixture
def clean_orvex_env(monkeypatch):
    """No ORVEX_ variable set; whatever a test (or the code under test) writes is undone afterwards."""
    for name in ORVEX_ENV_VARS:
        monkeypatch.setenv(name, "placeholder")  # recorded, so monkeypatch restores it afterwards
        monkeypatch.delenv(name)
