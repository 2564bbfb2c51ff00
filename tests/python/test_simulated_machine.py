"""The control module of the simulated machine itself: what it refuses, and that no C++
exception of its own reaches the interpreter."""
import pytest

from vistrel import _vistrel
from helpers import H, W, adapter, output


@pytest.mark.parametrize("name", ["CreateDXGIFactory", "createdxgifactory1", "IDXGIOutput1::DuplicateOutput ",
                                  "ID3D11DeviceContext::Unmap", "CloseHandle", ""])
def test_unknown_operations_are_refused(sim, name):
    with pytest.raises(ValueError) as raised:
        sim.fail(name, 0x887A0004, times=-1)
    assert str(raised.value) == f'unknown operation "{name}": no simulated call consults it'
    assert _vistrel.Capturer().grab(timeout_ms=0) is None  # nothing was armed


def test_known_operations_fire(sim):
    sim.fail("D3D11CreateDevice:context", null=True)  # a second switch of one call
    with pytest.raises(ValueError, match="^D3D11CreateDevice returned no context$"):
        _vistrel.Capturer()
    sim.fail("SetProcessDpiAwarenessContext", 0x80070005)  # consulted by the os layer
    assert sim.trace() != []


def test_a_cpp_exception_is_raised_not_thrown(sim):
    # A desktop image of 2**62 bytes: its allocation throws inside the machine.
    with pytest.raises(MemoryError):
        sim.reset([adapter(outputs=[output(width=1 << 29, height=0x7FFFFFFF)])])
    assert len(sim.image(0, 0)) == W * H * 4  # the machine was not replaced
