"""quelbrin: test-automation framework (this distribution carries its asynchronous-execution layer)."""
