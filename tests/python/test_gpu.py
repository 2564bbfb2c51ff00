"""grab_gpu and GpuTexture: the shared texture, its keyed mutex and its handles."""
import gc
import sys

import pytest

from vistrel import _vistrel
from helpers import H, W, _vistrel_sim, needs_sim, run_in_thread, uniform


def test_shared_texture_shows_the_grabbed_frame(sim):
    c = _vistrel.Capturer(region=(10, 10, 50, 50))  # the region does not crop the texture
    sim.present(0, 0, uniform(1).tobytes())
    first = c.grab_gpu()
    assert (first.width, first.height, first.luid) == (W, H, (0x1000, 0))
    assert first.format == "DXGI_FORMAT_B8G8R8A8_UNORM"
    assert first.keyed_mutex_acquire_key == 0 and first.keyed_mutex_release_key == 0
    assert sim.read_shared(first.shared_handle) == uniform(1).tobytes()
    sim.present(0, 0, uniform(2).tobytes())
    second = c.grab_gpu()
    assert second.shared_handle != first.shared_handle
    assert sim.read_shared(first.shared_handle) == uniform(2).tobytes()  # one texture per session
    assert repr(second) == f"<vistrel.GpuTexture 1920x1080 BGRA8 handle=0x{second.shared_handle:X} luid=(4096, 0)>"


def test_luid_signs(sim):
    sim.reset([{"description": "A", "vendor_id": 1, "device_id": 1, "dedicated_video_memory": 0,
                "luid": (0xFFFFFFFF, -2), "outputs": [{"device_name": "D", "width": 64, "height": 32,
                                                       "rotation": 1, "attached": True, "desktop_origin": (0, 0)}]}])
    c = _vistrel.Capturer()
    sim.present(0, 0, bytes(64 * 32 * 4))
    texture = c.grab_gpu()
    assert texture.luid == (4294967295, -2)
    assert repr(texture).endswith("luid=(4294967295, -2)>")


def test_timeouts_and_a_busy_key(sim):
    c = _vistrel.Capturer()
    assert c.grab_gpu(timeout_ms=0) is None  # static screen
    sim.present(0, 0, uniform(3).tobytes())
    held = c.grab_gpu()
    sim.hold_shared(held.shared_handle, 400)
    sim.present(0, 0, uniform(4).tobytes())
    assert c.grab_gpu(timeout_ms=50) is None  # the consumer holds key 0 longer
    assert sim.read_shared(held.shared_handle) == uniform(3).tobytes()
    with pytest.raises(OverflowError):
        c.grab_gpu(timeout_ms=-1)
    with pytest.raises(TypeError, match="^argument 'timeout_ms': "):
        c.grab_gpu(timeout_ms="1")


def test_close_and_context_manager(sim):
    c = _vistrel.Capturer()
    sim.present(0, 0, uniform(5).tobytes())
    with c.grab_gpu() as texture:
        handle = texture.shared_handle
    with pytest.raises(RuntimeError, match="^GpuTexture is closed$"):
        texture.shared_handle
    assert texture.width == W and texture.luid == (4096, 0)
    assert repr(texture).endswith(f"handle=0x{handle:X} luid=(4096, 0)>")
    assert texture.close() is None and texture.close() is None
    with pytest.raises(KeyError):
        sim.present(0, 0, uniform(6).tobytes())
        with c.grab_gpu() as other:
            raise KeyError("propagates")
    with pytest.raises(RuntimeError):
        other.shared_handle
    with pytest.raises(TypeError, match=r"^cannot create 'vistrel._vistrel.GpuTexture' instances$"):
        _vistrel.GpuTexture()


@pytest.mark.parametrize("operation, code", [
    ("ID3D11Device::CreateTexture2D", 0x8007000E),
    ("QueryInterface(IDXGIKeyedMutex)", 0x80004002),
    ("QueryInterface(IDXGIResource1)", 0x80004002),
    ("IDXGIResource1::CreateSharedHandle", 0x80070005),
])
def test_slot_failures_leave_it_empty(sim, operation, code):
    c = _vistrel.Capturer()
    before = sim.live_objects()
    sim.fail(operation, code)
    with pytest.raises(_vistrel.CaptureError) as raised:
        c.grab_gpu(timeout_ms=0)
    assert raised.value.hresult == code
    assert sim.live_objects() == before  # nothing of the slot survived
    sim.present(0, 0, uniform(7).tobytes())
    assert c.grab_gpu() is not None  # filled on the next call


@pytest.mark.parametrize("operation", ["QueryInterface(IDXGIKeyedMutex)", "QueryInterface(IDXGIResource1)"])
def test_query_without_interface_is_e_pointer(sim, operation):
    c = _vistrel.Capturer()
    sim.fail(operation, null=True)
    with pytest.raises(_vistrel.CaptureError) as raised:
        c.grab_gpu(timeout_ms=0)
    assert raised.value.hresult == 0x80004003


@pytest.mark.parametrize("operation, code, cls, expected", [
    ("IDXGIKeyedMutex::AcquireSync", 0x887A0005, _vistrel.DeviceError, 0x887A0005),
    ("IDXGIKeyedMutex::ReleaseSync", 0x80070057, _vistrel.CaptureError, 0x80070057),
    ("DuplicateHandle", 0x80070008, _vistrel.CaptureError, 0x80070008),  # ERROR_NOT_ENOUGH_MEMORY
])
def test_copy_and_handle_failures(sim, operation, code, cls, expected):
    c = _vistrel.Capturer()
    sim.present(0, 0, uniform(1).tobytes())
    first = c.grab_gpu()
    handles = sim.open_handles()
    sim.present(0, 0, uniform(8).tobytes())
    sim.fail(operation, code)
    with pytest.raises(cls) as raised:
        c.grab_gpu()
    assert raised.value.hresult == expected
    assert sim.open_handles() == handles  # no handle handed out, the slot kept
    sim.present(0, 0, uniform(9).tobytes())
    again = c.grab_gpu()
    assert sim.read_shared(again.shared_handle) == uniform(9).tobytes() == sim.read_shared(first.shared_handle)


def test_abandoned_key_replaces_texture_and_mutex(sim):
    c = _vistrel.Capturer()
    sim.present(0, 0, uniform(3).tobytes())
    old = c.grab_gpu()
    sim.present(0, 0, uniform(4).tobytes())
    sim.fail("IDXGIKeyedMutex::AcquireSync", 0x80)  # WAIT_ABANDONED: a success code, yet no copy may follow
    sim.trace()
    texture = c.grab_gpu()
    calls = sim.trace()
    assert calls.count("ID3D11Device::CreateTexture2D") == 1 and calls.count("IDXGIKeyedMutex::AcquireSync") == 2
    assert sim.read_shared(texture.shared_handle) == uniform(4).tobytes()
    assert sim.read_shared(old.shared_handle) == uniform(3).tobytes()  # the consumer's old texture, untouched
    assert sim.open_handles() == 3  # the session's new one and the two handed out; the old session handle closed
    old.close()
    texture.close()
    c.close()
    assert sim.open_handles() == 0


@pytest.mark.parametrize("faults, code", [
    ([("ID3D11Device::CreateTexture2D", 0x8007000E)], 0x8007000E),  # no new texture
    ([], 0x80),  # the new key abandoned as well
])
def test_abandoned_key_without_a_new_texture_raises(sim, faults, code):
    c = _vistrel.Capturer()
    sim.present(0, 0, uniform(3).tobytes())
    c.grab_gpu().close()
    sim.present(0, 0, uniform(4).tobytes())
    sim.fail("IDXGIKeyedMutex::AcquireSync", 0x80, times=1 if faults else 2)
    for operation, hresult in faults:
        sim.fail(operation, hresult)
    with pytest.raises(_vistrel.CaptureError) as raised:
        c.grab_gpu()
    assert raised.value.hresult == code
    assert sim.open_handles() == 0  # the slot is empty
    sim.present(0, 0, uniform(5).tobytes())
    again = c.grab_gpu()  # and filled anew
    assert sim.read_shared(again.shared_handle) == uniform(5).tobytes()
    again.close()


def test_state_errors_and_reopening(sim):
    c = _vistrel.Capturer()
    c.start()
    with pytest.raises(RuntimeError, match="^Capturer is in background mode$"):
        c.grab_gpu()
    c.stop()
    sim.present(0, 0, uniform(1).tobytes())
    session_texture = c.grab_gpu()
    frames = c.frames(30)
    with pytest.raises(RuntimeError, match=r"^Capturer is busy: a frames\(\) iterator is active$"):
        c.grab_gpu()
    frames.close()  # the session and its shared texture are released
    assert c.grab_gpu(timeout_ms=0) is None  # reopened: a new session, a new texture
    sim.present(0, 0, uniform(2).tobytes())
    reopened = c.grab_gpu()
    assert sim.read_shared(reopened.shared_handle) == uniform(2).tobytes()
    assert sim.read_shared(session_texture.shared_handle) == uniform(1).tobytes()  # the old texture lives on its handle
    c.close()
    with pytest.raises(RuntimeError, match="^Capturer is closed$"):
        c.grab_gpu()


def test_no_handle_leaks_over_many_grabs(sim):
    c = _vistrel.Capturer()
    sim.animate(0, 0, 1000)
    try:
        for _ in range(1000):
            texture = c.grab_gpu(timeout_ms=100)
            del texture
    finally:
        sim.animate(0, 0, 0)
    assert sim.open_handles() == 1  # the session's own
    c.close()
    assert sim.open_handles() == 0


def test_acquisition_failures_are_raised(sim):
    c = _vistrel.Capturer()
    sim.fail("IDXGIOutput1::DuplicateOutput", 0x887A0004, times=-1)
    sim.lose_access(0, 0)
    with pytest.raises(_vistrel.AccessLost) as raised:
        c.grab_gpu(timeout_ms=0)
    assert raised.value.hresult == 0x887A0026


@needs_sim
def test_dropped_on_another_thread_is_released(monkeypatch):
    _vistrel_sim.reset()
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    c = _vistrel.Capturer()
    _vistrel_sim.present(0, 0, uniform(7).tobytes())
    holder = [c.grab_gpu()]
    handles = _vistrel_sim.open_handles()
    run_in_thread(holder.clear)
    gc.collect()
    assert reports == []
    # Its handle is closed; the Capturer is unaffected.
    assert _vistrel_sim.open_handles() < handles
    _vistrel_sim.present(0, 0, uniform(8).tobytes())
    texture = c.grab_gpu()
    assert _vistrel_sim.read_shared(texture.shared_handle) == uniform(8).tobytes()
    texture.close()
    c.close()
    _vistrel_sim.reset()
