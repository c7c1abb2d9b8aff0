import pytest

import quorvex


@pytest.fixture
def QuorDict():
    return quorvex.QuorDict
