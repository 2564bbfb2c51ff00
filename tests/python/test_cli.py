"""The command line against the simulated machine: what each subcommand wrote, and how
it fails."""
import os
import signal
import subprocess
import sys
import time

import av
import numpy as np
import pytest
from PIL import Image

from vistrel.cli import main
from helpers import adapter, needs_sim, output
from pixels import to_layout

W, H = 1920, 1080


def image_of(sim, out=0):
    width, height = (W, H) if out == 0 else (640, 480)
    return np.frombuffer(sim.image(0, out), np.uint8).reshape(height, width, 4)


def decoded(path):
    with av.open(str(path)) as container:
        stream = container.streams.video[0]
        frames = [f.to_ndarray(format="rgb24") for f in container.decode(stream)]
        return frames, container.duration / 1e6, stream.average_rate


def test_list(sim, capsys):
    sim.reset([adapter(outputs=[output(), output("\\\\.\\DISPLAY2", 640, 480, rotation=2, attached=False)]),
               adapter("Second", outputs=[])])
    assert main(["list"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].split() == ["device", "output", "adapter", "output", "name", "resolution", "rotation", "attached"]
    assert lines[1].split() == ["0", "0", "Simulated", "Adapter", "\\\\.\\DISPLAY1", "1920x1080", "1", "(none)", "yes"]
    assert lines[2].split() == ["0", "1", "Simulated", "Adapter", "\\\\.\\DISPLAY2", "640x480", "2", "(90°)", "no"]
    assert len(lines) == 3
    sim.reset([])
    assert main(["list"]) == 1
    assert "no outputs" in capsys.readouterr().err


def test_grab_png_and_npy(sim, tmp_path):
    sim.reset([adapter(outputs=[output(), output("\\\\.\\DISPLAY2", 640, 480)])])
    png = tmp_path / "shot.png"
    assert main(["grab", "-o", str(png), "--no-cursor"]) == 0
    with Image.open(png) as shot:
        assert shot.size == (W, H) and shot.mode == "RGB"
        np.testing.assert_array_equal(np.asarray(shot), to_layout(image_of(sim), "rgb"))

    gray = tmp_path / "gray.png"
    assert main(["grab", "-o", str(gray), "-m", "1", "--region", "10,20,110,70", "--fmt", "gray", "--no-cursor"]) == 0
    with Image.open(gray) as shot:
        assert shot.size == (100, 50) and shot.mode == "L"
        np.testing.assert_array_equal(np.asarray(shot), to_layout(image_of(sim, 1)[20:70, 10:110], "gray")[..., 0])

    npy = tmp_path / "shot.npy"
    assert main(["grab", "-o", str(npy), "--output", "1", "--fmt", "bgra", "--no-cursor"]) == 0
    np.testing.assert_array_equal(np.load(npy), image_of(sim, 1))


@pytest.mark.parametrize("argv, status, message", [
    (["grab", "-o", "x.jpg"], 1, "vistrel grab: unknown output type '.jpg': use .png or .npy"),
    (["grab", "-o", "x.png", "--fmt", "bgra"], 1, "vistrel grab: PNG holds rgb, rgba or gray pixels, not bgra"),
    (["grab", "-o", "x.npy", "--output", "4"], 1, "vistrel grab: ValueError: output index 4 out of range"),
    (["grab", "-o", "x.npy", "--region", "0,0,5000,10"], 1, "vistrel grab: ValueError: region (0,0,5000,10) exceeds"),
    (["grab", "-o", "x.npy", "--fmt", "yuv"], 1, 'vistrel grab: ValueError: unknown fmt "yuv"'),
    (["grab", "-o", "x.npy", "--region", "1,2,3"], 2, "argument --region: expected L,T,R,B"),
    (["grab"], 2, "the following arguments are required: -o"),
    (["record", "-o", "x.mp4", "--fps", "0"], 1, "vistrel record: --fps must be at least 1"),
    (["record", "-o", "x.mp4", "--codec", "nonesuch", "--seconds", "0.1"], 1,
     "vistrel record: codec 'nonesuch' unavailable"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
])
def test_failures(sim, tmp_path, monkeypatch, capsys, argv, status, message):
    monkeypatch.chdir(tmp_path)
    try:
        result = main(argv)
    except SystemExit as exit:  # argparse's usage errors
        result = exit.code
    assert result == status
    assert message in capsys.readouterr().err
    assert not any(tmp_path.iterdir())  # nothing half-written


@pytest.mark.parametrize("module, argv, hint", [
    ("PIL", ["grab", "-o", "x.png"], "pip install 'vistrel[png]'"),
    ("av", ["record", "-o", "x.mp4"], "pip install 'vistrel[video]'"),
])
def test_missing_extras(sim, tmp_path, monkeypatch, capsys, module, argv, hint):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setitem(sys.modules, module, None)
    assert main(argv) == 1
    assert hint in capsys.readouterr().err


def test_record_a_changing_desktop(sim, tmp_path, capsys):
    clip = tmp_path / "clip.mp4"
    sim.animate(0, 0, 60)
    try:
        started = time.monotonic()
        assert main(["record", "-o", str(clip), "--fps", "10", "--seconds", "1.5", "--region", "0,0,320,241"]) == 0
        elapsed = time.monotonic() - started
    finally:
        sim.animate(0, 0, 0)
    frames, duration, rate = decoded(clip)
    assert len(frames) == 15 and rate == 10
    assert duration == pytest.approx(1.5, abs=0.01)
    assert frames[0].shape == (240, 320, 3)  # the odd last row is left out
    assert 1.4 < elapsed < 15
    # The animation changes the image: the video is not one picture repeated.
    assert len({f.tobytes() for f in frames}) > 3
    assert "15 frames, 1.50 s at 10 fps" in capsys.readouterr().err


def test_record_a_still_desktop(sim, tmp_path, capsys):
    clip = tmp_path / "still.mkv"
    started = time.monotonic()
    assert main(["record", "-o", str(clip), "--fps", "8", "--seconds", "1", "--no-cursor", "--region",
                 "100,100,164,132"]) == 0
    assert time.monotonic() - started < 10
    frames, duration, rate = decoded(clip)
    assert len(frames) == 8 and duration == pytest.approx(1.0, abs=0.01)
    expected = to_layout(image_of(sim)[100:132, 100:164], "rgb").astype(int)
    for frame in frames:  # lossy: close to the desktop, not equal
        assert np.abs(frame.astype(int) - expected).mean() < 12
    err = capsys.readouterr().err
    assert "8/8 frames" in err and "0 late" in err


@needs_sim
def test_record_stopped_with_ctrl_c(tmp_path):
    clip = tmp_path / "stopped.mp4"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen([sys.executable, "-m", "vistrel", "record", "-o", str(clip), "--fps", "10",
                                "--seconds", "60", "--region", "0,0,64,64"],
                               stderr=subprocess.PIPE, text=True, env=env)
    # Interrupt once it records (its first progress report), however slowly it started.
    seen = ""
    while " frames " not in seen:
        char = process.stderr.read(1)
        if not char:
            break
        seen += char
    time.sleep(0.5)
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=60)
    err = seen + err
    assert process.returncode == 130, err
    frames, duration, _ = decoded(clip)
    assert 5 <= len(frames) < 60, err
    assert duration == pytest.approx(len(frames) / 10, abs=0.01)
    assert "(stopped)" in err


def test_bench(sim, capsys):
    sim.animate(0, 0, 120)
    try:
        assert main(["bench", "--seconds", "0.2", "--fps", "30"]) == 0
    finally:
        sim.animate(0, 0, 0)
    out = capsys.readouterr().out
    rows = {line.split()[1]: line.split() for line in out.splitlines() if line.startswith("screenshot ")}
    assert sorted(rows) == ["bgr", "bgra", "gray", "rgb", "rgba"]
    assert all(float(row[2]) > 0 for row in rows.values())
    slots = [line.split() for line in out.splitlines() if line.startswith("30 fps")]
    assert len(slots) == 1 and int(slots[0][2]) == 6


def test_module_entry_point():
    result = subprocess.run([sys.executable, "-m", "vistrel", "--version"], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == "vistrel 0.1.2"
