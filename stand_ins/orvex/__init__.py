"""Stand-in of the core authorization library (tests and demo only, never shipped).

Submodules are imported on demand, as with the real library.
"""

__version__ = "0.0.0+stand-in"
