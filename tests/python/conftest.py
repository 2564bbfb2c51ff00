import gc

import pytest

from helpers import _vistrel_sim


@pytest.fixture
def sim():
    """A fresh default machine; the test must leave no simulated object alive."""
    if _vistrel_sim is None:
        pytest.skip("needs the simulated machine")
    _vistrel_sim.reset()
    before = _vistrel_sim.live_objects()
    yield _vistrel_sim
    _vistrel_sim.clear_faults()
    gc.collect()  # objects kept alive only by reference cycles (tracebacks) go now
    assert _vistrel_sim.live_objects() == before
