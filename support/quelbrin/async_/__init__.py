"""Asynchronous execution: parallel calls in forked processes (tandemix) and
fork-safe per-instance locks (synchronize)."""
