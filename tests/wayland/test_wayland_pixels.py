"""Captured bytes against the reference client's, in every layout and region, on each
output, with and without the pointer."""
import subprocess
import sys

import numpy as np
import pytest

from vistrel import _vistrel
from pixels import to_layout
from scenes import noise, show_and_settle

LAYOUTS = ["bgra", "bgr", "rgba", "rgb", "gray"]
REGIONS = [None, (0, 0, 1, 1), (100, 50, 420, 250), (1001, 601, 1280, 720), (7, 3, 1273, 717)]


def test_outputs_name_the_provider_and_the_mode(sway):
    outputs = _vistrel.list_outputs()
    assert [(o["output_name"], o["width"], o["height"], o["provider"]) for o in outputs] == [
        ("HEADLESS-1", 1280, 720, "wayland")]
    assert outputs[0]["name"] == f"Wayland compositor {sway.display} (wlr-screencopy)"
    out = subprocess.run([sys.executable, "-m", "vistrel", "list"], capture_output=True, text=True, timeout=60)
    assert "HEADLESS-1" in out.stdout and "provider: wayland" in out.stderr, out


def test_every_layout_and_region_is_what_the_reference_client_sees(sway):
    reference = show_and_settle(sway, noise(1280, 720, 1))
    c = _vistrel.Capturer(cursor=False)
    assert (c.width, c.height) == (1280, 720)
    for fmt in LAYOUTS:
        for region in REGIONS:
            kwargs = {} if region is None else {"region": region}
            left, top, right, bottom = region or (0, 0, 1280, 720)
            frame = c.screenshot(fmt=fmt, **kwargs)
            assert np.array_equal(frame, to_layout(reference[top:bottom, left:right], fmt)), (fmt, region)

    # A change wakes grab(), and the image it leaves is the reference client's.
    for seed, fmt in zip(range(2, 7), LAYOUTS):
        reference = show_and_settle(sway, noise(1280, 720, seed))
        assert c.grab(timeout_ms=3000) is not None, fmt
        # The compositor may have shown the change in several repaints: each is a frame.
        while c.grab(timeout_ms=300) is not None:
            pass
        frame = c.screenshot(fmt=fmt, region=(5, 5, 1000, 700))
        assert np.array_equal(frame, to_layout(reference[5:700, 5:1000], fmt)), fmt
    c.close()


def test_second_output_has_its_own_index_and_pixels(own_sway):
    own_sway.msg("create_output")
    outputs = _vistrel.list_outputs()
    assert [(o["output_idx"], o["output_name"]) for o in outputs] == [(0, "HEADLESS-1"), (1, "HEADLESS-2")]
    left, right = show_and_settle(own_sway, noise(1280, 720, 8), "HEADLESS-1", "HEADLESS-1"), None
    second = _vistrel.Capturer(1, cursor=False)
    right_size = (second.width, second.height)
    right = show_and_settle(own_sway, noise(*right_size, 9), "HEADLESS-2", "HEADLESS-2")
    first = _vistrel.Capturer(0, cursor=False)
    assert np.array_equal(first.screenshot(), left)
    assert np.array_equal(second.screenshot(), right)
    # A change on one output (a bar appearing there) does not wake the other's capturer.
    while first.grab(timeout_ms=300) is not None or second.grab(timeout_ms=300) is not None:
        pass
    bar = own_sway.bar("HEADLESS-2")
    try:
        assert second.grab(timeout_ms=3000) is not None
        assert first.grab(timeout_ms=300) is None
    finally:
        bar.kill()
        bar.wait()
    first.close()
    second.close()


@pytest.mark.parametrize("cursor", [False, True])
def test_pointer_flag_is_honoured(sway, cursor):
    # The headless compositor draws its pointer in software into every frame, so the
    # capture matches the reference client's with either flag; on a compositor with a
    # hardware pointer, cursor=False leaves it out.
    reference = show_and_settle(sway, noise(1280, 720, 11))
    c = _vistrel.Capturer(cursor=cursor)
    assert c.cursor is cursor
    assert np.array_equal(c.screenshot(), reference)
    c.close()


# How many quarter turns counter-clockwise (np.rot90's k) make a frame upright, by the
# rotation it reports: DXGI's 90 turns the frame a quarter clockwise.
UPRIGHT_TURNS = {1: 0, 2: 3, 3: 2, 4: 1}


def test_turned_and_scaled_outputs_give_mode_pixels_and_say_how_to_turn_them(own_sway):
    own_sway.msg("output HEADLESS-1 mode 800x600")
    show_and_settle(own_sway, noise(800, 600, 12))
    for transform, scale, rotation, desktop in [("90", 1, 4, (600, 800)), ("180", 1, 3, (800, 600)),
                                                ("270", 1, 2, (600, 800)), ("normal", 2, 1, (400, 300))]:
        own_sway.msg(f"output HEADLESS-1 transform {transform} scale {scale}")
        [listed] = _vistrel.list_outputs()
        assert (listed["width"], listed["height"], listed["rotation"]) == (*desktop, rotation), transform
        c = _vistrel.Capturer(cursor=False)
        assert (c.width, c.height, c.rotation) == (800, 600, rotation), transform
        upright = np.rot90(c.screenshot(), UPRIGHT_TURNS[rotation])
        assert np.array_equal(upright, own_sway.grim()), transform
        if transform == "90":
            # Turning the output under an open capture is a new mode.
            own_sway.msg("output HEADLESS-1 transform 180")
            with pytest.raises(_vistrel.AccessLost):
                for _ in range(20):
                    c.grab(timeout_ms=1000)
        c.close()
