"""The command line against the simulated machine: what each subcommand wrote, and how
it fails."""
import contextlib
import os
import re
import select
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

    # Whatever Pillow writes: lossless types hold the exact pixels, JPEG its own approximation.
    for name, kind in (("shot.bmp", "BMP"), ("shot.TIFF", "TIFF"), ("shot.jpg", "JPEG")):
        assert main(["grab", "-o", str(tmp_path / name), "--region", "0,0,64,32", "--no-cursor"]) == 0
        with Image.open(tmp_path / name) as shot:
            assert (shot.format, shot.size, shot.mode) == (kind, (64, 32), "RGB")
            if kind != "JPEG":
                np.testing.assert_array_equal(np.asarray(shot), to_layout(image_of(sim)[:32, :64], "rgb"))


@pytest.mark.parametrize("argv, status, message", [
    (["grab", "-o", "x.xyz"], 2, "vistrel grab: unknown output type '.xyz': use .npy or an image type Pillow writes"),
    (["grab", "-o", "x.png", "--fmt", "bgra"], 1, "vistrel grab: PNG holds rgb, rgba or gray pixels, not bgra"),
    (["grab", "-o", "x.jpg", "--fmt", "rgba"], 1, "vistrel grab: JPEG cannot hold rgba pixels"),
    (["grab", "-o", "x.npy", "--output", "4"], 1, "vistrel grab: ValueError: output index 4 out of range"),
    (["grab", "-o", "x.npy", "--region", "0,0,5000,10"], 1, "vistrel grab: ValueError: region (0,0,5000,10) exceeds"),
    (["grab", "-o", "x.npy", "--fmt", "yuv"], 2, "argument --fmt: unknown fmt 'yuv'"),
    (["grab", "-o", "x.png", "--fmt", "rgbx"], 2, "argument --fmt: unknown fmt 'rgbx'"),  # the typo, not PNG
    (["grab", "-o", "x.npy", "--region", "1,2,3"], 2, "argument --region: expected L,T,R,B"),
    (["grab", "-o", "x.npy", "--region", "-1,0,10,10"], 2, "argument --region: expected L,T,R,B"),
    (["grab", "-o", "x.npy", "-m", "-1"], 2, "argument -m/--output: expected a whole number from 0 to 4294967295"),
    (["grab", "-o", "x.npy", "-d", "4294967296"], 2, "argument -d/--device: expected a whole number"),
    (["grab"], 2, "the following arguments are required: -o"),
    (["record", "-o", "x.mp4", "--fps", "0"], 2, "argument --fps: must be at least 1"),
    (["record", "-o", "x.mp4", "--seconds", "nan"], 2, "argument --seconds: expected a positive number"),
    (["record", "-o", "x.mp4", "--seconds", "inf"], 2, "argument --seconds: expected a positive number"),
    (["record", "-o", "x.mp4", "--codec", "nonesuch", "--seconds", "0.1"], 1,
     "vistrel record: codec 'nonesuch' unavailable"),
    (["record", "-o", "x.mkv", "--codec", "png"], 1, "vistrel record: png cannot record into matroska (x.mkv): "),
    (["record", "-o", "clip.png"], 2, "vistrel record: .png is a still image: record writes video"),
    (["record", "-o", "clip.xyz"], 2, "vistrel record: unknown video type '.xyz'"),
    (["record", "-o", "missing/r.mp4", "--seconds", "20"], 1, "vistrel record: cannot write missing/r.mp4: No such"),
    (["bench", "--seconds", "0"], 2, "argument --seconds: expected a positive number of seconds, got '0'"),
    (["frobnicate"], 2, "invalid choice: 'frobnicate'"),
])
def test_failures(sim, tmp_path, monkeypatch, capsys, argv, status, message):
    monkeypatch.chdir(tmp_path)
    started = time.monotonic()
    try:
        result = main(argv)
    except SystemExit as exit:  # argparse's usage errors
        result = exit.code
    assert result == status
    last_line = capsys.readouterr().err.strip().splitlines()[-1]  # after argparse's usage lines
    assert last_line.startswith("vistrel") and message in last_line
    assert not any(tmp_path.iterdir())  # nothing half-written
    assert time.monotonic() - started < 10  # refused before recording


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
def test_grab_to_an_image_never_imports_numpy(tmp_path):
    # NumPy's import costs the command more than the capture and the encoding together.
    shot = tmp_path / "shot.png"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    code = ("import sys; from vistrel.cli import main\n"
            f"status = main(['grab', '-o', {str(shot)!r}, '--fmt', 'rgba', '--region', '0,0,64,32'])\n"
            "sys.exit(status or ('numpy' in sys.modules and 'numpy imported'))")
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    with Image.open(shot) as image:
        assert (image.mode, image.size) == ("RGBA", (64, 32))


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


@pytest.mark.parametrize("name, codec", [("clip.webm", "vp9"), ("clip.gif", "gif"), ("clip.mkv", "h264")])
def test_record_takes_the_containers_codec(sim, tmp_path, name, codec):
    clip = tmp_path / name
    sim.animate(0, 0, 60)
    try:
        assert main(["record", "-o", str(clip), "--fps", "10", "--seconds", "0.5", "--region", "0,0,64,48"]) == 0
    finally:
        sim.animate(0, 0, 0)
    with av.open(str(clip)) as container:
        assert container.streams.video[0].codec_context.name == codec
    frames, duration, _ = decoded(clip)
    assert len(frames) == 5 and frames[0].shape == (48, 64, 3)


# The command line in a process of its own, over the simulated machine; `hz` animates it.
RECORDER = """import sys, _vistrel_sim
{setup}
_vistrel_sim.animate(0, 0, {hz})
from vistrel.cli import main
sys.exit(main())
"""


@contextlib.contextmanager
def recording(argv, hz=0, setup=""):
    """A `vistrel record` process, yielded once it records; killed if it outlives the test."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    process = subprocess.Popen([sys.executable, "-c", RECORDER.format(hz=hz, setup=setup), "record", *map(str, argv)],
                               stderr=subprocess.PIPE, env=env)
    try:
        seen, deadline = b"", time.monotonic() + 30
        while b"; Ctrl-C stops" not in seen:
            ready, _, _ = select.select([process.stderr], [], [], max(0.0, deadline - time.monotonic()))
            chunk = os.read(process.stderr.fileno(), 4096) if ready else b""
            if not chunk:
                pytest.fail(f"the recording did not start: {seen.decode()}")
            seen += chunk
        process.err = lambda: (seen + process.stderr.read()).decode()  # all of stderr, once ended
        yield process
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        process.stderr.close()


@needs_sim
@pytest.mark.parametrize("hz, signals, gap, status", [
    (60, [signal.SIGINT, signal.SIGINT], 0.2, 130),  # a second Ctrl-C while the first is handled
    (0, [signal.SIGTERM], 0, 143),  # kill, timeout, systemd; the desktop still
    (60, [signal.SIGHUP], 0, 129),  # the terminal closed
    (0, [signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGTERM, signal.SIGINT], 0.01, 143),
], ids=["int-int", "term-still", "hup", "many-still"])
def test_record_stopped_by_signals(tmp_path, hz, signals, gap, status):
    clip = tmp_path / "stopped.mp4"
    with recording(["-o", clip, "--fps", "10", "--seconds", "60", "--region", "0,0,64,64"], hz) as process:
        time.sleep(0.6)
        first = time.monotonic()
        for k, number in enumerate(signals):
            time.sleep(gap if k else 0)
            process.send_signal(number)
        process.wait(timeout=60)
        ended = time.monotonic() - first
        err = process.err()
    assert process.returncode == status, err
    assert ended < 0.5, err
    assert "Traceback" not in err and "(stopped)" in err
    frames, duration, _ = decoded(clip)
    assert len(frames) >= 5 and duration == pytest.approx(len(frames) / 10, abs=0.01)


@needs_sim
def test_record_faster_than_the_encoder_stays_bounded(tmp_path):
    # Full 1080p slots at 1000 fps: the encoder keeps up with a fraction, the rest waits.
    clip = tmp_path / "fast.mp4"
    with recording(["-o", clip, "--fps", "1000", "--seconds", "60"], hz=60) as process:
        time.sleep(1.5)
        process.send_signal(signal.SIGTERM)
        _, status, usage = os.wait4(process.pid, 0)
        process.returncode = os.waitstatus_to_exitcode(status)
        err = process.err()
    assert process.returncode == 143, err
    assert usage.ru_maxrss < 600 * 1024, usage.ru_maxrss  # KiB: 64 MiB of queue, not gigabytes
    late = int(re.search(r"(\d+) slots served late", err).group(1))
    frames, duration, _ = decoded(clip)
    assert late > 0 and frames and duration == pytest.approx(len(frames) / 1000, abs=0.002)


@needs_sim
def test_record_onto_a_full_disk(tmp_path):
    # A file size limit fails the writes as a full disk does.
    clip = tmp_path / "full.mp4"
    setup = ("import resource, signal\n"
             "resource.setrlimit(resource.RLIMIT_FSIZE, (50000, 50000))\n"
             "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)")
    started = time.monotonic()
    with recording(["-o", clip, "--fps", "30", "--seconds", "20", "--region", "0,0,640,480"], 60, setup) as process:
        process.wait(timeout=60)
        err = process.err()
    assert process.returncode == 1, err
    assert err.strip().splitlines()[-1] == (f"vistrel record: writing {clip} failed: File too large; "
                                            f"the incomplete file was removed")
    assert not clip.exists() and time.monotonic() - started < 20


def test_bench(sim, capsys):
    sim.animate(0, 0, 120)
    try:
        assert main(["bench", "--seconds", "0.2", "--fps", "30"]) == 0
    finally:
        sim.animate(0, 0, 0)
    out = capsys.readouterr().out
    layouts = ("bgra", "bgr", "rgba", "rgb", "gray")
    rows = {line.split()[0]: line.split() for line in out.splitlines() if line.startswith(layouts)}
    assert sorted(rows) == sorted(layouts)
    # New frames come no faster than the desktop changes (120 a second here); copies do.
    assert all(0 < float(row[1]) <= 130 and float(row[3]) > 0 for row in rows.values()), rows
    slots = [line.split() for line in out.splitlines() if line.startswith("30 fps")]
    assert len(slots) == 1 and int(slots[0][2]) == 6


def test_module_entry_point():
    result = subprocess.run([sys.executable, "-m", "vistrel", "--version"], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == "vistrel 0.1.2"
