"""The environment a test passes to servers started by the MCP SDK, which otherwise hands children only
a minimal one: the test session's module path and, in sanitizer runs, the preloaded runtime."""

import os

PASSED_ON = ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")


def child_env() -> dict[str, str]:
    return {name: os.environ[name] for name in PASSED_ON if name in os.environ}
