import sys
from pathlib import Path

import pytest

_ROOT = Path(__file__).resolve().parents[2]
for _path in (_ROOT / "stand_ins", _ROOT):
    if str(_path) not in sys.path:
        sys.path.insert(0, str(_path))

from local_control_plane.harness import LocalControlPlane  # noqa: E402


@pytest.fixture(scope="module")
def control_plane(tmp_path_factory):
    """A running local control plane on a fresh database, shared by the tests of one module."""
    with LocalControlPlane(tmp_path_factory.mktemp("control-plane") / "control-plane.sqlite3") as cp:
        yield cp


@pytest.fixture
def api_key(control_plane):
    """A fresh API key of tenant "acme"."""
    return control_plane.create_api_key()["api_key"]
