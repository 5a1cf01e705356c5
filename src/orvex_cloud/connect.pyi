"""Quick Connect bootstrap and diagnostics."""

import base64 as base64
import json as json
import logging
import logging as logging
import os as os
from typing import List, Optional, Union

from orvex_cloud.client import AsyncOrvexCloudClient as AsyncOrvexCloudClient
from orvex_cloud.client import OrvexCloudClient as OrvexCloudClient
from orvex_cloud.exceptions import AuthenticationError as AuthenticationError
from orvex_cloud.exceptions import OrvexCloudError as OrvexCloudError
from orvex_cloud.models import BootstrapCheck as BootstrapCheck
from orvex_cloud.models import BootstrapReport as BootstrapReport
from orvex_cloud.models import ClaimAgentResult as ClaimAgentResult
from orvex_cloud.models import ConnectConfig as ConnectConfig
from orvex_cloud.models import ConnectTokenPayload as ConnectTokenPayload

logger: logging.Logger
_CONNECT_PREFIX: str
_ENV_CONNECT_TOKEN: str
_ENV_API_KEY: str
_ENV_CONTROL_PLANE_URL: str
_DEFAULT_API_BASE_URL: str

def parse_connect_token(token: str) -> ConnectTokenPayload: ...
def connect_config_from_token(token: str) -> ConnectConfig: ...
def apply_connect_config(config: ConnectConfig, *, overwrite: bool = False) -> None: ...
def claim_agent(
    client: OrvexCloudClient, *, agent_id: str, public_key_hex: str, registration_token: str
) -> ClaimAgentResult: ...
def _claim_or_already_active(
    client: OrvexCloudClient, *, agent_id: str, public_key_hex: str, registration_token: str
) -> ClaimAgentResult: ...
def _already_claimed(exc: OrvexCloudError) -> bool: ...
def _resolve_public_key_hex() -> Optional[str]: ...
def doctor(
    token: Optional[str] = None,
    *,
    api_key: Optional[str] = None,
    base_url: Optional[str] = None,
    public_key_hex: Optional[str] = None,
    claim: bool = False,
    apply_env: bool = False,
) -> BootstrapReport: ...
def _resolve_doctor_config(
    token: Optional[str],
    *,
    api_key: Optional[str],
    base_url: Optional[str],
    checks: List[BootstrapCheck],
) -> ConnectConfig: ...
def _probe_health(client: OrvexCloudClient, checks: List[BootstrapCheck]) -> None: ...
def _probe_tenant(client: OrvexCloudClient, checks: List[BootstrapCheck]) -> None: ...
def _probe_approval_policies(client: OrvexCloudClient, checks: List[BootstrapCheck]) -> None: ...
def _probe_agent_claim(
    client: OrvexCloudClient,
    config: ConnectConfig,
    *,
    public_key_hex: Optional[str],
    claim: bool,
    checks: List[BootstrapCheck],
) -> Optional[ClaimAgentResult]: ...
def _report(
    config: ConnectConfig, checks: List[BootstrapCheck], claimed_agent: Optional[ClaimAgentResult] = None
) -> BootstrapReport: ...
def connect(
    token: Optional[str] = None,
    *,
    public_key_hex: Optional[str] = None,
    claim: bool = True,
    apply_env: bool = True,
    async_client: bool = False,
    verify: bool = False,
) -> Union[OrvexCloudClient, AsyncOrvexCloudClient]: ...
