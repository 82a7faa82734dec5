"""Fixtures of the black-box tests: one sandboxed supervisor run per test."""
import os
import re
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "harness"))
import harness  # noqa: E402


@pytest.fixture(scope="session")
def paths():
    if os.geteuid() != 0:
        pytest.skip("the sandbox needs root")
    return harness.Paths()


@pytest.fixture
def sv(request, paths):
    """A supervisor run in its own work dir under the build tree; always torn down."""
    name = re.sub(r"[^A-Za-z0-9_.-]+", "_", f"{request.module.__name__}.{request.node.name}")[:150]
    run = harness.Run(paths.build / "blackbox-work" / name, paths)
    yield run
    run.close()
