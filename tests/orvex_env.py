"""The ORVEX_ environment variables that Quick Connect reads and writes, for tests that watch them."""

import os

ORVEX_ENV_VARS = (
    "ORVEX_CONNECT_TOKEN",
    "ORVEX_API_KEY",
    "ORVEX_CONTROL_PLANE_URL",
    "ORVEX_AGENT_ID",
    "ORVEX_AGENT_PUBLIC_KEY",
    "ORVEX_SIGNING_KEY",
    "ORVEX_ISSUER_KEY",
)


def orvex_env():
    """The ORVEX_ variables set now."""
    return {name: os.environ[name] for name in ORVEX_ENV_VARS if name in os.environ}
