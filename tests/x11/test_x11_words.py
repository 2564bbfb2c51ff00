"""On Linux the messages speak X11: no DXGI codes in the text (the `hresult` attribute keeps
the code), counts where an index is wrong, what to do next where a wait ran out."""
import threading

import pytest

from vistrel import _vistrel


def raised_in(thread_name, call):
    caught = []

    def run():
        try:
            call()
        except BaseException as e:  # noqa: BLE001 - the internal fault derives from BaseException
            caught.append(e)

    worker = threading.Thread(target=run, name=thread_name)
    worker.start()
    worker.join()
    return caught[0]


def test_messages_speak_x11(xvfb, monkeypatch):
    with pytest.raises(ValueError) as e:
        _vistrel.Capturer(output=1)
    assert str(e.value) == "output index 1 out of range: the X screen has 1 monitor (output 0)"

    c = _vistrel.Capturer()
    error = raised_in("worker", c.grab)
    assert type(error).__name__ == "InternalFault"
    assert str(error) == ("vistrel::capture::Capturer is unsendable, but sent to another thread: the Capturer was "
                          "created on thread 'MainThread' and used on thread 'worker'; use each object on the thread "
                          "that made it")
    with c.frames(30, timeout_ms=300) as frames, pytest.raises(_vistrel.CaptureTimeout) as e:
        next(frames)  # a still desktop: only the opening's image exists
    assert str(e.value) == "no desktop change within 300 ms; start from screenshot()"
    c.close()

    monkeypatch.setenv("DISPLAY", ":nonesuch")
    with pytest.raises(_vistrel.CaptureError) as e:
        _vistrel.list_outputs()
    assert str(e.value) == "cannot connect to X display ':nonesuch': the display name cannot be parsed"
    assert e.value.hresult == 0x887A0022
