"""Error types of the core library."""


class OrvexError(Exception):
    """Base of every error the core library raises."""
