import subprocess
import sys
import textwrap

import pytest


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
