import pytest

from helpers import HOOKS


@pytest.fixture
def hooks():
    """The testing build's hooks; tests that need them skip on a release build."""
    if HOOKS is None:
        pytest.skip("needs the testing build (QUORVEL_TESTING=ON)")
    yield HOOKS
    HOOKS("fail_allocation", 0)
