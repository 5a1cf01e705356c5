"""The signing key and warrant bound to the current context.

Bound with context variables, so each thread and each asyncio task sees its own binding.
"""

from __future__ import annotations

from contextlib import contextmanager
from contextvars import ContextVar
from typing import Any, Iterator, Optional

_current_key: ContextVar[Optional[Any]] = ContextVar("orvex_signing_key", default=None)
_current_warrant: ContextVar[Optional[Any]] = ContextVar("orvex_warrant", default=None)


def key_scope() -> Optional[Any]:
    """The signing key bound to the current context, or None."""
    return _current_key.get()


def warrant_scope() -> Optional[Any]:
    """The warrant bound to the current context, or None."""
    return _current_warrant.get()


@contextmanager
def bound_key(key: Any) -> Iterator[Any]:
    token = _current_key.set(key)
    try:
        yield key
    finally:
        _current_key.reset(token)


@contextmanager
def bound_warrant(warrant: Any) -> Iterator[Any]:
    token = _current_warrant.set(warrant)
    try:
        yield warrant
    finally:
        _current_warrant.reset(token)
