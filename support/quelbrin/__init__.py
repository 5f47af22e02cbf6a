"""Stand-in for the quelbrin test-automation framework's top-level package.

Part of the test-support distribution: never installed beside the framework.
"""
