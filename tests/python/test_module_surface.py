"""The module as Python sees it on import: names, classes, exceptions, functions."""
import importlib.util
import inspect

import pytest

from vistrel import _vistrel
from helpers import needs_sim, run_python

EXPECTED_ALL = ['__version__', 'Capturer', 'FramesIter', 'GpuTexture', 'CaptureError', 'DeviceError',
                'DuplicationError', 'AccessLost', 'CaptureTimeout', 'list_outputs', 'device_info', 'output_info']
SUBCLASSES = ['DeviceError', 'DuplicationError', 'AccessLost', 'CaptureTimeout']


def test_namespace_lists_the_twelve_names_in_order():
    assert _vistrel.__all__ == EXPECTED_ALL
    assert _vistrel.__version__ == "0.1.2"
    assert _vistrel.__doc__ == ""
    for name in EXPECTED_ALL:
        assert hasattr(_vistrel, name)


def test_exception_hierarchy_and_names():
    assert _vistrel.CaptureError.__bases__ == (Exception,)
    for name in SUBCLASSES:
        cls = getattr(_vistrel, name)
        assert cls.__bases__ == (_vistrel.CaptureError,)
    for name in ['CaptureError'] + SUBCLASSES:
        cls = getattr(_vistrel, name)
        assert cls.__name__ == name
        assert cls.__module__ == "_vistrel"
        assert cls.__doc__ is None
    lost = _vistrel.AccessLost("x")
    with pytest.raises(_vistrel.CaptureError):
        raise lost


def test_classes_report_the_package_path_and_their_docs():
    for name in ['Capturer', 'FramesIter', 'GpuTexture']:
        cls = getattr(_vistrel, name)
        assert cls.__module__ == "vistrel._vistrel"
        assert cls.__name__ == name
    assert _vistrel.Capturer.__doc__.endswith(
        "Capturer is the user-facing pyclass. Holds the live D3D11 state and orchestrates grabs.")
    assert _vistrel.GpuTexture.__doc__ == "Public Python object handed to the consumer."
    assert _vistrel.FramesIter.__doc__ is None


@pytest.mark.parametrize("name", ["FramesIter", "GpuTexture"])
def test_python_cannot_instantiate_handed_out_classes(name):
    with pytest.raises(TypeError) as raised:
        getattr(_vistrel, name)()
    assert str(raised.value) == f"cannot create 'vistrel._vistrel.{name}' instances"


def test_functions_are_bound_builtins_without_parameters():
    docs = {"list_outputs": "Returns a list of dicts (one per output across all adapters).",
            "device_info": None, "output_info": None}
    for name, doc in docs.items():
        function = getattr(_vistrel, name)
        assert function.__name__ == name
        assert function.__module__ == "_vistrel"
        assert function.__self__ is _vistrel
        assert function.__doc__ == doc
        assert str(inspect.signature(function)) == "()"
        with pytest.raises(TypeError):
            function(1)
        with pytest.raises(TypeError):
            function(x=1)


def test_loading_again_reuses_the_process_wide_classes():
    spec = importlib.util.spec_from_file_location("_vistrel", _vistrel.__file__)
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not _vistrel
    assert again.__all__ == EXPECTED_ALL
    for name in ['Capturer', 'FramesIter', 'GpuTexture', 'CaptureError'] + SUBCLASSES:
        assert getattr(again, name) is getattr(_vistrel, name)


@needs_sim
def test_numpy_arrays_through_the_loader():
    import numpy
    import _vistrel_sim
    array = _vistrel_sim.make_array(3, 5, 4, 200)
    assert isinstance(array, numpy.ndarray)
    assert array.shape == (3, 5, 4) and array.dtype == numpy.uint8
    assert array.flags.c_contiguous and array.flags.owndata and array.flags.writeable
    assert int(array.sum()) == 200 * 60
    assert _vistrel_sim.make_array(0, 7, 1).shape == (0, 7, 1)


NO_NUMPY_SCRIPT = r"""
import sys
sys.modules['numpy'] = None  # NumPy is not importable in this process
from vistrel import _vistrel
import _vistrel_sim
assert 'numpy' in sys.modules and sys.modules['numpy'] is None
try:
    _vistrel_sim.make_array(1, 1, 1)
except Exception as e:
    raise SystemExit(f"caught as Exception: {e!r}")
except BaseException as e:
    assert type(e).__name__ == 'InternalFault', repr(e)
    assert str(e).startswith("Failed to access NumPy array API capsule"), str(e)
else:
    raise SystemExit("no fault without NumPy")
del sys.modules['numpy']  # NumPy becomes importable: the next array works
assert _vistrel_sim.make_array(2, 2, 3).shape == (2, 2, 3)
print("ok")
"""


@needs_sim
def test_import_without_numpy_and_recovery():
    result = run_python(NO_NUMPY_SCRIPT, timeout=60)
    assert result.returncode == 0, result.stderr + result.stdout
    assert result.stdout.strip() == "ok"


@needs_sim
def test_import_touches_neither_numpy_nor_the_platform():
    script = ("import sys, _vistrel_sim\nfrom vistrel import _vistrel\n"
              "assert 'numpy' not in sys.modules, 'numpy imported'\n"
              "assert _vistrel_sim.trace() == [], _vistrel_sim.trace()\n")
    result = run_python(script, timeout=60)
    assert result.returncode == 0, result.stderr


def _fresh_module():
    spec = importlib.util.spec_from_file_location("_vistrel", _vistrel.__file__)
    return spec, spec.loader.create_module(spec)


def test_exec_extends_an_existing_all_list():
    spec, module = _fresh_module()
    module.__all__ = ["extra"]
    spec.loader.exec_module(module)
    assert module.__all__ == ["extra"] + EXPECTED_ALL


def test_exec_refuses_an_all_that_is_not_a_list():
    spec, module = _fresh_module()
    module.__all__ = ("extra",)
    with pytest.raises(TypeError):
        spec.loader.exec_module(module)
    assert not hasattr(module, "__version__")


METHOD_DOCS = {
    (_vistrel.Capturer, "grab"): ("(self, /, timeout_ms=1000, fmt='bgra', region=None)",
                                  "One-shot capture. Returns a (H, W, C) uint8 ndarray, or None on WAIT_TIMEOUT."),
    (_vistrel.Capturer, "start"): ("(self, /, target_fps=60, region=None, video_mode=False)",
                                   "Spawn a background capture thread fed by AcquireNextFrame.\n"
                                   "Subsequent calls to get_latest_frame() block until a new frame arrives."),
    (_vistrel.Capturer, "get_latest_frame"): ("(self, /, timeout_ms=None)",
                                              "Blocking read of the latest published frame. Always BGRA in v0.0.3."),
    (_vistrel.Capturer, "frames"): ("(self, /, fps, fmt='bgra', region=None, timeout_ms=5000)",
                                    "Paced CFR iterator yielding (ndarray, slot_wallclock_seconds)."),
    (_vistrel.Capturer, "grab_gpu"): ("(self, /, timeout_ms=1000)",
                                      "Zero-copy GPU mode. Returns a `GpuTexture` opaque handle, or None on timeout."),
    (_vistrel.Capturer, "__exit__"): ("(self, /, _exc_type, _exc, _tb)", None),
    (_vistrel.FramesIter, "close"): ("(self, /)",
                                     "Explicit close \u2014 wind down bg thread, release Capturer busy flag."),
    (_vistrel.GpuTexture, "close"): ("(self, /)", None),
}


@pytest.mark.parametrize("cls, name", list(METHOD_DOCS))
def test_method_signatures_and_docs(cls, name):
    signature, doc = METHOD_DOCS[(cls, name)]
    method = getattr(cls, name)
    assert str(inspect.signature(method)) == signature
    assert method.__doc__ == doc


def test_debug_docs():
    assert _vistrel.Capturer._debug_cursor.__doc__.startswith(
        "DEBUG: read the current cursor state (visibility, position, shape kind).\n")
    assert _vistrel.Capturer._debug_publish_seq.__doc__.startswith(
        "DEBUG: read the capture thread's current published seq counter.\n")
    assert _vistrel.GpuTexture.keyed_mutex_acquire_key.__doc__.startswith(
        "Reserved for a future opt-in keyed-mutex mode. v0.0.3 returns 0 for\n")
