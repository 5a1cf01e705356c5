"""Command line of orvex_cloud.

    python -m orvex_cloud doctor [--token T] [--json]

``doctor`` checks whether this process can work with Orvex Cloud (see
:func:`orvex_cloud.connect.doctor`) and prints the report, as a table or as JSON. It exits with 0
when the report is ok and 1 otherwise. Credentials never reach the output: the report is printed
through its redacted view, texts are scrubbed with :mod:`orvex_cloud.redaction`, and the token
and keys this run knows are masked wherever they might still appear.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Dict, Iterable, List, Optional, Sequence, TextIO

_MARKER = "<redacted>"


def _build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m orvex_cloud", description="Orvex Cloud tools.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    doctor = commands.add_parser(
        "doctor",
        help="check the Orvex Cloud set-up of this environment",
        description=(
            "Check configuration, reachability, credential access and the agent claim. "
            "Without --token the Quick Connect token comes from ORVEX_CONNECT_TOKEN, "
            "else ORVEX_API_KEY and ORVEX_CONTROL_PLANE_URL are used."
        ),
    )
    doctor.add_argument("--token", default=None, help="Quick Connect token (default: ORVEX_CONNECT_TOKEN)")
    doctor.add_argument("--json", action="store_true", help="print the report as JSON")
    doctor.set_defaults(run=_doctor)
    return parser


def _scrub(value: Any, redact_text: Any) -> Any:
    """Every text of the view through the redaction patterns (keys stay as they are)."""
    if isinstance(value, str):
        return redact_text(value)
    if isinstance(value, dict):
        return {key: _scrub(item, redact_text) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_scrub(item, redact_text) for item in value]
    return value


def _mask(text: str, secrets: Iterable[Optional[str]]) -> str:
    # Longest first, so a secret that contains another one is masked whole.
    for secret in sorted({s for s in secrets if s}, key=len, reverse=True):
        text = text.replace(secret, _MARKER)
    return text


def _shown(value: Any) -> str:
    if value is None:
        return "(none)"
    if value == "":
        return "(empty)"
    return str(value)


def _format_table(view: Dict[str, Any]) -> str:
    config = view.get("config") or {}
    lines = [
        "Orvex Cloud doctor",
        f"  API base URL        {_shown(config.get('api_base_url'))}",
        f"  API key             {_shown(config.get('api_key'))}",
        f"  Agent id            {_shown(config.get('agent_id'))}",
        f"  Registration token  {_shown(config.get('registration_token'))}",
        "",
    ]
    checks = view.get("checks") or []
    name_width = max([len("CHECK")] + [len(str(c.get("name", ""))) for c in checks])
    lines.append(f"{'STATUS':<8} {'CHECK':<{name_width}} MESSAGE")
    for check in checks:
        lines.append(f"{str(check.get('status', '')):<8} {str(check.get('name', '')):<{name_width}} {check.get('message', '')}")
        remediation = check.get("remediation")
        if remediation:
            lines.append(f"{'':<8} {'':<{name_width}} -> {remediation}")
    claimed = view.get("claimed_agent")
    if claimed:
        lines.append("")
        lines.append(f"Claimed agent {_shown(claimed.get('agent_id'))} (status {_shown(claimed.get('status'))})")
    lines.append("")
    lines.append("Result: ok" if view.get("ok") else "Result: failed")
    return "\n".join(lines)


def _known_secrets(token: Optional[str]) -> List[Optional[str]]:
    """The credentials this run can see: masked in every line it prints, whatever printed them."""
    from orvex_cloud import connect

    effective = token or os.environ.get("ORVEX_CONNECT_TOKEN", "")
    secrets: List[Optional[str]] = [effective, os.environ.get("ORVEX_API_KEY")]
    if effective:
        try:
            payload = connect.parse_connect_token(effective)
        except Exception:  # doctor() reports the malformed token itself
            return secrets
        secrets += [payload.api_key, payload.registration_token]
    return secrets


def _doctor(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from orvex_cloud import connect
    from orvex_cloud.redaction import redact_text

    known_secrets = _known_secrets(args.token)
    try:
        report = connect.doctor(args.token)
    except Exception as exc:  # a problem doctor() does not turn into a check, e.g. a bad endpoint
        text = _mask(redact_text(f"{type(exc).__name__}: {exc}"), known_secrets)
        print(f"python -m orvex_cloud doctor: {text}", file=err)
        return 1

    view = _scrub(report.redacted_dict(), redact_text)
    if args.json:
        text = json.dumps(view, indent=2, default=str)
    else:
        text = _format_table(view)
    print(_mask(text, known_secrets), file=out)
    return 0 if report.ok else 1


def main(argv: Optional[Sequence[str]] = None, *, out: Optional[TextIO] = None, err: Optional[TextIO] = None) -> int:
    """Run the command line with `argv` (default: sys.argv[1:]); returns the exit status."""
    args = _build_parser().parse_args(argv)
    out = out if out is not None else sys.stdout
    err = err if err is not None else sys.stderr
    status: int = args.run(args, out, err)
    return status


if __name__ == "__main__":
    sys.exit(main())
