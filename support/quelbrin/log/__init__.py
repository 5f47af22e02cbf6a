"""Stand-in for the host framework's logging package ``quelbrin.log``."""

from . import managed_handlers

__all__ = ["managed_handlers"]
