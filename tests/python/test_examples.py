"""The examples, run as a user runs them, against the simulated machine."""
import pathlib
import runpy
import sys
import threading

import av
import numpy as np
import pytest
from PIL import Image

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def run(monkeypatch, name, *args):
    monkeypatch.setattr(sys, "argv", [name, *map(str, args)])
    runpy.run_path(str(EXAMPLES / name), run_name="__main__")


def desktop_rgb(sim):
    return np.frombuffer(sim.image(0, 0), np.uint8).reshape(1080, 1920, 4)[..., [2, 1, 0]]


def test_screenshot(sim, tmp_path, monkeypatch, capsys):
    sim.set_cursor_info(flags=0)  # no pointer on the picture
    run(monkeypatch, "screenshot.py", tmp_path / "shot.png")
    with Image.open(tmp_path / "shot.png") as shot:
        np.testing.assert_array_equal(np.asarray(shot), desktop_rgb(sim))
    run(monkeypatch, "screenshot.py", tmp_path / "shot.npy")
    np.testing.assert_array_equal(np.load(tmp_path / "shot.npy"), desktop_rgb(sim))
    assert capsys.readouterr().out.endswith("shot.npy: 1920x1080\n")


def test_region_to_opencv(sim, monkeypatch, capsys):
    sim.animate(0, 0, 100)
    try:
        run(monkeypatch, "region_to_opencv.py", 0.5)
    finally:
        sim.animate(0, 0, 0)
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith("current mean: ")
    slots = [float(line.split()[0]) for line in lines[1:]]
    assert slots == pytest.approx([k / 30 for k in range(len(slots))], abs=0.001) and slots[-1] >= 0.5


def test_record_mp4(sim, tmp_path, monkeypatch):
    sim.animate(0, 0, 60)
    try:
        run(monkeypatch, "record_mp4.py", tmp_path / "clip.mp4", 0.5)
    finally:
        sim.animate(0, 0, 0)
    with av.open(str(tmp_path / "clip.mp4")) as container:
        frames = list(container.decode(video=0))
    assert len(frames) == 15 and (frames[0].width, frames[0].height) == (1920, 1080)


def test_wait_for_change(sim, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    run(monkeypatch, "wait_for_change.py", 0.3)  # a still desktop
    assert capsys.readouterr().out == "no change within 0.3 s\n"
    changed = np.frombuffer(sim.image(0, 0), np.uint8).reshape(1080, 1920, 4).copy()
    changed[1000:, :] = 7        # outside the watched region: not what we wait for
    sim.present(0, 0, changed.tobytes())
    changed[50:60, 150:160] = 9  # inside it
    later = threading.Timer(0.3, lambda: sim.present(0, 0, changed.tobytes()))
    later.start()
    run(monkeypatch, "wait_for_change.py", 10)
    later.join()
    assert capsys.readouterr().out.startswith("changed: ")
    np.testing.assert_array_equal(np.load(tmp_path / "changed.npy"), changed[:100, :200])
