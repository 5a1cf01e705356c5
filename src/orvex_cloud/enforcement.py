"""The observe-first switch: whether denials are only recorded or actually block tool calls.

``ORVEX_ENFORCEMENT`` is ``observe`` (default) or ``enforce``. ``ORVEX_DRY_RUN`` is an older
alias, read only when ``ORVEX_ENFORCEMENT`` is unset or empty. Unknown values raise instead of
falling back, because a typo such as ``enforse`` must not quietly leave enforcement off.
"""

from __future__ import annotations

import logging
import os
from typing import Dict, Optional

__all__ = ["ENV_ENFORCEMENT", "ENV_DRY_RUN", "observe_first_from_env"]

logger = logging.getLogger("orvex_cloud.enforcement")

ENV_ENFORCEMENT = "ORVEX_ENFORCEMENT"
ENV_DRY_RUN = "ORVEX_DRY_RUN"

_ENFORCEMENT_VALUES: Dict[str, bool] = {"observe": True, "enforce": False}
_DRY_RUN_VALUES: Dict[str, bool] = {
    "true": True,
    "1": True,
    "yes": True,
    "false": False,
    "0": False,
    "no": False,
}


def _read(name: str) -> Optional[str]:
    """Return the normalised value of an environment variable, None when unset or blank."""
    value = os.environ.get(name, "").strip().lower()
    return value or None


def _parse(name: str, value: str, accepted: Dict[str, bool]) -> bool:
    try:
        return accepted[value]
    except KeyError:
        choices = ", ".join(repr(v) for v in accepted)
        raise ValueError(f"{name}={value!r} is not recognised; accepted values: {choices}") from None


def observe_first_from_env() -> bool:
    """Return True for observe-first (denials recorded, calls run), False for enforcement.

    Raises:
        ValueError: ``ORVEX_ENFORCEMENT`` or ``ORVEX_DRY_RUN`` holds an unrecognised value.
    """
    enforcement = _read(ENV_ENFORCEMENT)
    dry_run = _read(ENV_DRY_RUN)
    if enforcement is not None:
        observe = _parse(ENV_ENFORCEMENT, enforcement, _ENFORCEMENT_VALUES)
        if dry_run is not None and _DRY_RUN_VALUES.get(dry_run, observe) != observe:
            logger.warning(
                "%s=%s overrides the contradicting %s=%s",
                ENV_ENFORCEMENT, enforcement, ENV_DRY_RUN, dry_run,
            )
        return observe
    if dry_run is not None:
        return _parse(ENV_DRY_RUN, dry_run, _DRY_RUN_VALUES)
    return True
