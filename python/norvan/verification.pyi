"""The common error type of signature verification."""

class VerificationError(Exception):
    """A verification that failed; the underlying failure, if any, is ``__cause__``."""
