"""What the README promises a Linux user, run for real: its quick start, copied from
README.md itself, and `make demo`'s program, on Xvfb."""
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading

import av
import pytest
from PIL import Image

ROOT = pathlib.Path(__file__).resolve().parents[2]


def quick_start():
    """The first Python block after the README's "Quick start" heading."""
    text = (ROOT / "README.md").read_text()
    section = text[text.index("\n## Quick start"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


@pytest.fixture
def moving(painter):
    """A corner of the screen that changes every 10 ms, as a busy desktop does."""
    stop = threading.Event()

    def draw():
        n = 0
        while not stop.wait(0.01):
            n += 1
            painter.fill(0, 0, 16, 16, (n % 256, 40, 90))

    thread = threading.Thread(target=draw)
    thread.start()
    yield
    stop.set()
    thread.join()


def test_readme_quick_start_runs_verbatim(moving, capsys):
    scope = {}
    exec(compile(quick_start(), "README.md quick start", "exec"), scope)
    # What its comments promise.
    listed = capsys.readouterr().out.splitlines()[0].split()
    assert listed[:2] == ["0", "0"] and listed[-2:] == ["1920", "1080"]
    assert scope["now"].shape == (1080, 1920, 3)
    assert scope["part"].shape == (480, 640, 4)
    assert scope["seconds"] >= 5
    assert scope["latest"].shape == (1080, 1920, 4)
    assert not scope["capturer"].is_capturing


def run_demo(out, **kwargs):
    env = dict(os.environ, VISTREL_DEMO_OUT=str(out))
    env.pop("DISPLAY", None)  # it brings its own server
    return subprocess.Popen([sys.executable, str(ROOT / "tools" / "demo.py")], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, **kwargs)


def server_gone(output):
    """The demo's Xvfb, named in its first line, has ended: X removes its lock file then."""
    display = re.match(r"Xvfb on :(\d+)", output).group(1)
    return not os.path.exists(f"/tmp/.X{display}-lock")


def test_demo_writes_its_files_and_ends_its_server(tmp_path):
    demo = run_demo(tmp_path)
    out, err = demo.communicate(timeout=120)
    assert demo.returncode == 0, err
    assert server_gone(out)
    with Image.open(tmp_path / "screenshot.png") as shot:
        assert shot.size == (1280, 720) and shot.mode == "RGB"
    with Image.open(tmp_path / "region.png") as strip:
        assert strip.size == (10 * 200, 150)
    with av.open(str(tmp_path / "desktop.mp4")) as container:
        stream = container.streams.video[0]
        frames = list(container.decode(stream))
        assert stream.average_rate == 30
    assert len(frames) == 90 and (frames[0].width, frames[0].height) == (1280, 720)
    # The content moves: the video is not one frame repeated.
    first, last = frames[0].to_ndarray(format="rgb24"), frames[-1].to_ndarray(format="rgb24")
    assert (first != last).any()


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_demo_ends_its_server_when_stopped(tmp_path, sig):
    demo = run_demo(tmp_path, start_new_session=True)
    first = demo.stdout.readline()
    assert first.startswith("Xvfb on :")
    demo.send_signal(sig)
    demo.communicate(timeout=60)
    assert demo.returncode != 0
    assert server_gone(first)
