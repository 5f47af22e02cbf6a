"""Stand-in for the host framework's ``quelbrin.trevask.steps``."""

__all__ = ["Steps"]


class Steps:
    """A test case's step container: a list of steps and a numbering offset."""

    def __init__(self, steps=None, offset=0):
        self.steps = list(steps) if steps is not None else []
        self.offset = offset

    def __repr__(self):
        return f"Steps(steps={self.steps!r}, offset={self.offset!r})"
