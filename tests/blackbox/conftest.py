"""Fixtures of the black-box tests: one sandboxed supervisor run per test. Without root
there is no sandbox, and the run fails at once rather than skip every test."""
import os
import re
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "harness"))
import harness  # noqa: E402


def pytest_configure(config):
    if os.geteuid() != 0:
        raise pytest.UsageError("the black-box tests need root: the sandbox is a private "
                                "PID and mount namespace")


@pytest.fixture(scope="session")
def paths():
    return harness.Paths()


@pytest.fixture
def sv(request, paths):
    """A supervisor run in its own work dir under the build tree; always torn down."""
    name = re.sub(r"[^A-Za-z0-9_.-]+", "_", f"{request.module.__name__}.{request.node.name}")[:150]
    run = harness.Run(paths.build / "blackbox-work" / name, paths)
    yield run
    run.close()
