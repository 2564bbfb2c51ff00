"""list_outputs(), device_info() and output_info() over simulated machines."""

import pytest

from vistrel import _vistrel
from helpers import adapter, needs_sim, output, run_python

DESCRIPTION_OK = "The operation completed successfully."


def test_default_machine(sim):
    outputs = _vistrel.list_outputs()
    assert outputs == [{"device_idx": 0, "output_idx": 0, "name": "Simulated Adapter",
                        "output_name": "\\\\.\\DISPLAY1", "width": 1920, "height": 1080, "rotation": 1,
                        "is_primary": True, "provider": "sim",
                        "pixel_path": "staging-texture"}]
    assert list(outputs[0]) == ["device_idx", "output_idx", "name", "output_name", "width", "height", "rotation",
                                "is_primary", "provider", "pixel_path"]
    assert _vistrel.device_info() == "Device[0]:<Name:Simulated Adapter VendorId:0x1AB8 DeviceId:0x0001 VRAM:1024MB>\n"
    assert _vistrel.output_info() == "Device[0] Output[0]: Res:(1920, 1080) Rot:1 Primary:true\n"


def test_adapters_and_outputs_in_enumeration_order(sim):
    sim.reset([
        adapter("First", outputs=[output("\\\\.\\DISPLAY1"), output("\\\\.\\DISPLAY2", 2560, 1440,
                                                                    desktop_origin=(1920, -200))]),
        adapter("Software", outputs=[]),
        adapter("Third", outputs=[output("\\\\.\\DISPLAY3", 1080, 1920, rotation=2, attached=False)]),
    ])
    outputs = _vistrel.list_outputs()
    assert [(o["device_idx"], o["output_idx"], o["name"], o["output_name"]) for o in outputs] == [
        (0, 0, "First", "\\\\.\\DISPLAY1"), (0, 1, "First", "\\\\.\\DISPLAY2"), (2, 0, "Third", "\\\\.\\DISPLAY3")]
    assert (outputs[1]["width"], outputs[1]["height"]) == (2560, 1440)
    portrait = outputs[2]
    assert (portrait["rotation"], portrait["width"], portrait["height"], portrait["is_primary"]) == (2, 1080, 1920, False)
    # The output-less adapter shows in device_info only.
    assert _vistrel.device_info().splitlines() == [
        "Device[0]:<Name:First VendorId:0x1AB8 DeviceId:0x0001 VRAM:1024MB>",
        "Device[1]:<Name:Software VendorId:0x1AB8 DeviceId:0x0001 VRAM:1024MB>",
        "Device[2]:<Name:Third VendorId:0x1AB8 DeviceId:0x0001 VRAM:1024MB>"]
    assert _vistrel.output_info() == ("Device[0] Output[0]: Res:(1920, 1080) Rot:1 Primary:true\n"
                                      "Device[0] Output[1]: Res:(2560, 1440) Rot:1 Primary:true\n"
                                      "Device[2] Output[0]: Res:(1080, 1920) Rot:2 Primary:false\n")


def test_no_adapter_at_all(sim):
    sim.reset([])
    assert _vistrel.list_outputs() == []
    assert _vistrel.device_info() == ""
    assert _vistrel.output_info() == ""


@pytest.mark.parametrize("vendor, memory, expected", [
    (0x8086, 10737418240, "VendorId:0x8086 DeviceId:0x0001 VRAM:10240MB>"),
    (0xAB, 1048575, "VendorId:0x00AB DeviceId:0x0001 VRAM:0MB>"),
    (0x12345, 1048576, "VendorId:0x12345 DeviceId:0x0001 VRAM:1MB>"),
])
def test_device_info_numbers(sim, vendor, memory, expected):
    sim.reset([adapter(vendor_id=vendor, dedicated_video_memory=memory)])
    assert _vistrel.device_info() == "Device[0]:<Name:Simulated Adapter " + expected + "\n"


def test_wide_names(sim):
    full = "N" * 127 + "\u00e9"  # all 128 units, no NUL
    sim.reset([adapter(full + "cut", outputs=[output("\\\\.\\DISPLAY\ud800X")])])
    (entry,) = _vistrel.list_outputs()
    assert entry["name"] == full
    assert entry["output_name"] == "\\\\.\\DISPLAY\ufffdX"
    assert _vistrel.device_info().startswith("Device[0]:<Name:" + full + " VendorId")


def test_sizes_wrap_in_32_bits(sim):
    # A desktop rectangle whose right edge overflows 32 bits still gives its true width.
    sim.reset([adapter(outputs=[output(width=100, desktop_origin=(2**31 - 50, 0))])])
    assert _vistrel.list_outputs()[0]["width"] == 100
    assert "Res:(100, 1080)" in _vistrel.output_info()


def calls_and_releases(trace):
    calls = [c for c in trace if not c.startswith("Release(") and c != "SetProcessDpiAwarenessContext"]
    return calls, sorted(c for c in trace if c.startswith("Release("))


def test_call_sequence(sim):
    sim.trace()
    _vistrel.list_outputs()
    calls, releases = calls_and_releases(sim.trace())
    assert calls == ["CreateDXGIFactory1", "IDXGIFactory1::EnumAdapters1", "IDXGIAdapter1::GetDesc1",
                     "IDXGIAdapter::EnumOutputs", "IDXGIOutput::GetDesc", "IDXGIAdapter::EnumOutputs",
                     "IDXGIFactory1::EnumAdapters1"]
    # Every interface obtained is released before the call returns.
    assert releases == ["Release(IDXGIAdapter1)", "Release(IDXGIFactory1)", "Release(IDXGIOutput1)"]
    _vistrel.device_info()
    calls, releases = calls_and_releases(sim.trace())
    assert calls == ["CreateDXGIFactory1", "IDXGIFactory1::EnumAdapters1", "IDXGIAdapter1::GetDesc1",
                     "IDXGIFactory1::EnumAdapters1"]
    assert releases == ["Release(IDXGIAdapter1)", "Release(IDXGIFactory1)"]
    _vistrel.output_info()
    assert "IDXGIAdapter1::GetDesc1" not in sim.trace()


FUNCTIONS = [_vistrel.list_outputs, _vistrel.device_info, _vistrel.output_info]


@pytest.mark.parametrize("function", FUNCTIONS)
def test_factory_failures(sim, function):
    sim.fail("CreateDXGIFactory1", 0x887A0004)
    with pytest.raises(_vistrel.CaptureError) as raised:
        function()
    assert raised.value.hresult == 0x887A0004
    assert str(raised.value).startswith("DXGI 0x887A0004: ")
    sim.fail("CreateDXGIFactory1", null=True)
    with pytest.raises(_vistrel.CaptureError) as raised:
        function()
    assert raised.value.hresult == 0
    assert str(raised.value) == "DXGI 0x00000000: " + DESCRIPTION_OK


@pytest.mark.parametrize("function", FUNCTIONS)
@pytest.mark.parametrize("how", [{"hresult": 0x887A0002}, {"hresult": 0x80004005}, {"null": True}])
def test_enumeration_ends_quietly(sim, function, how):
    def entries(result):
        return len(result) if isinstance(result, list) else result.count("\n")

    sim.reset([adapter("A"), adapter("B")])
    sim.fail("IDXGIFactory1::EnumAdapters1", skip=1, **how)
    assert entries(function()) == 1  # the walk ends at adapter 1, without an error
    assert entries(function()) == 2  # the fault is used up
    sim.fail("IDXGIAdapter::EnumOutputs", **how)  # adapter 0's output walk ends at once
    result = function()
    if function is _vistrel.list_outputs:
        assert [(o["device_idx"], o["output_idx"]) for o in result] == [(1, 0)]
    elif function is _vistrel.output_info:
        assert result == "Device[1] Output[0]: Res:(1920, 1080) Rot:1 Primary:true\n"
    else:
        assert entries(result) == 2


def test_walk_stops_at_the_failing_adapter(sim):
    sim.reset([adapter("A"), adapter("B"), adapter("C")])
    sim.fail("IDXGIFactory1::EnumAdapters1", 0x80004005, skip=1)
    assert [o["name"] for o in _vistrel.list_outputs()] == ["A"]
    sim.fail("IDXGIFactory1::EnumAdapters1", null=True, skip=2)
    assert _vistrel.device_info().count("\n") == 2


@pytest.mark.parametrize("code, cls", [(0x887A0005, "DeviceError"), (0x887A0007, "DeviceError"),
                                       (0x887A0026, "AccessLost"), (0x80070057, "CaptureError")])
def test_description_failures_abort_the_call(sim, code, cls):
    sim.reset([adapter("A"), adapter("B")])
    sim.fail("IDXGIAdapter1::GetDesc1", code, skip=1, description="Adapter gone.\r\n")
    with pytest.raises(getattr(_vistrel, cls)) as raised:
        _vistrel.list_outputs()
    assert type(raised.value) is getattr(_vistrel, cls)
    assert raised.value.hresult == code
    assert str(raised.value) == f"DXGI 0x{code:08X}: Adapter gone."
    sim.fail("IDXGIOutput::GetDesc", code)
    with pytest.raises(getattr(_vistrel, cls)):
        _vistrel.output_info()
    sim.fail("IDXGIOutput::GetDesc", code)
    assert _vistrel.device_info().count("\n") == 2  # device_info never reads outputs
    sim.clear_faults()


@needs_sim
def test_dpi_awareness_is_set_once_and_its_failure_ignored():
    script = ("import _vistrel_sim as s\nfrom vistrel import _vistrel\n"
              "s.fail('SetProcessDpiAwarenessContext', 0x80070005)\n"
              "assert _vistrel.list_outputs(), 'no outputs'\n"
              "first = s.trace()\n"
              "_vistrel.device_info(); _vistrel.output_info()\n"
              "assert first[0] == 'SetProcessDpiAwarenessContext', first\n"
              "assert 'SetProcessDpiAwarenessContext' not in s.trace()\n")
    result = run_python(script, timeout=60)
    assert result.returncode == 0, result.stderr
