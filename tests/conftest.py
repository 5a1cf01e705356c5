"""Shared test set-up: the core-library stand-in is importable as `orvex` / `orvex_core`.

The package under test is the installed one (the source tree holds no built modules)."""

import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
for path in (ROOT / "stand_ins", ROOT):
    if str(path) not in sys.path:
        sys.path.insert(0, str(path))
