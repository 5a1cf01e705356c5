"""Orvex Cloud client: human approval of AI agents' tool calls through the Orvex Cloud control plane.

Submodules are imported on demand (``orvex_cloud.approval``, ``orvex_cloud.client`` ...); importing
the package itself loads nothing else.
"""

__version__ = "0.1.0"

__all__ = ["__version__"]
