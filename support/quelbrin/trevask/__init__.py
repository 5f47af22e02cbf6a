"""Stand-in for the host framework's test harness ``quelbrin.trevask``."""
