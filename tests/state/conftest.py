import pytest

import quelvar_core_rs as core


@pytest.fixture(autouse=True)
def cleared_engine():
    """Each state test starts and leaves the engine empty."""
    core.clear_state_engine_rs()
    yield
    core.clear_state_engine_rs()
