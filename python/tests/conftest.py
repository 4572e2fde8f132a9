import numpy as np
import pytest

BLOCK = 4190208  # uncompressed bytes of a full block
RECORD = np.dtype([("id", "<i8"), ("x", "<f8"), ("tag", "S4")])


def pytest_addoption(parser):
    parser.addoption("--veld-program", help="the veld program built beside the module")


@pytest.fixture
def veld_program(request):
    program = request.config.getoption("--veld-program")
    if not program:
        pytest.skip("needs --veld-program")
    return program


def records(n, seed=1):
    """Records that deflate shrinks, but not to nothing."""
    rng = np.random.default_rng(seed)
    r = np.empty(n, RECORD)
    r["id"] = np.arange(n)
    r["x"] = rng.integers(0, 1000, n) / 8
    r["tag"] = rng.choice([b"abcd", b"efgh", b"ijkl"], n)
    return r
