import subprocess
import sys
import textwrap

import pytest


def _sanitizer_runtime_loaded() -> bool:
    """True when AddressSanitizer's runtime is mapped into this interpreter (the sanitized CI step)."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


SANITIZED = _sanitizer_runtime_loaded()


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "not_under_sanitizer(reason): skip when AddressSanitizer's runtime is loaded, for a check that its "
        "allocator or its slowdown makes meaningless",
    )


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    for item in items:
        marker = item.get_closest_marker("not_under_sanitizer")
        if marker is not None:
            reason = marker.args[0] if marker.args else "meaningless under AddressSanitizer"
            item.add_marker(pytest.mark.skip(reason=reason))


def run_python(code: str, timeout: float = 120.0, env=None) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter and returns the completed process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


@pytest.fixture
def python_subprocess():
    return run_python
