"""Real desktop duplication on this Windows machine, checked against the system itself.

    python tools/windows_smoke.py

Needs the vistrel package and NumPy, an interactive desktop and output 0 of adapter 0.
Checks, each printed as ok, skip or FAIL:
- a screenshot (pointer off) equals a GDI BitBlt of the same moment;
- a pointer moved with SetCursorPos appears in the next grab;
- a second Capturer on an output already captured in this process is refused;
- after the resolution changes and changes back, new Capturers capture at each size.
Where the display adapter refuses duplication (remote sessions, services, basic display
drivers), the whole run is skipped with the HRESULT printed. The display mode is always
restored, also when a check fails. Exit status 1 when a check failed, else 0.
"""
from __future__ import annotations

import ctypes
import sys
import time
from typing import Callable, List, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

import vistrel

Frame = NDArray[np.uint8]
E_INVALIDARG = 0x80070057


class Report:
    def __init__(self) -> None:
        self.failed = False

    def ok(self, text: str) -> None:
        print(f"ok: {text}")

    def skip(self, text: str) -> None:
        print(f"skip: {text}")

    def fail(self, text: str) -> None:
        print(f"FAIL: {text}")
        self.failed = True


def hresult_of(error: vistrel.CaptureError) -> str:
    code = getattr(error, "hresult", None)
    return f"HRESULT 0x{code:08X}" if code is not None else "no HRESULT"


def settle(seconds: float = 0.3) -> None:
    # The compositor presents at the display's rate; give it a few frames.
    time.sleep(seconds)


if sys.platform == "win32":
    from ctypes import wintypes

    user32 = ctypes.WinDLL("user32", use_last_error=True)
    gdi32 = ctypes.WinDLL("gdi32", use_last_error=True)

    class DEVMODEW(ctypes.Structure):
        # The display variant of the union after dmFields.
        _fields_ = [
            ("dmDeviceName", wintypes.WCHAR * 32),
            ("dmSpecVersion", wintypes.WORD),
            ("dmDriverVersion", wintypes.WORD),
            ("dmSize", wintypes.WORD),
            ("dmDriverExtra", wintypes.WORD),
            ("dmFields", wintypes.DWORD),
            ("dmPositionX", wintypes.LONG),
            ("dmPositionY", wintypes.LONG),
            ("dmDisplayOrientation", wintypes.DWORD),
            ("dmDisplayFixedOutput", wintypes.DWORD),
            ("dmColor", ctypes.c_short),
            ("dmDuplex", ctypes.c_short),
            ("dmYResolution", ctypes.c_short),
            ("dmTTOption", ctypes.c_short),
            ("dmCollate", ctypes.c_short),
            ("dmFormName", wintypes.WCHAR * 32),
            ("dmLogPixels", wintypes.WORD),
            ("dmBitsPerPel", wintypes.DWORD),
            ("dmPelsWidth", wintypes.DWORD),
            ("dmPelsHeight", wintypes.DWORD),
            ("dmDisplayFlags", wintypes.DWORD),
            ("dmDisplayFrequency", wintypes.DWORD),
            ("dmICMMethod", wintypes.DWORD),
            ("dmICMIntent", wintypes.DWORD),
            ("dmMediaType", wintypes.DWORD),
            ("dmDitherType", wintypes.DWORD),
            ("dmReserved1", wintypes.DWORD),
            ("dmReserved2", wintypes.DWORD),
            ("dmPanningWidth", wintypes.DWORD),
            ("dmPanningHeight", wintypes.DWORD),
        ]

    class BITMAPINFOHEADER(ctypes.Structure):
        _fields_ = [
            ("biSize", wintypes.DWORD),
            ("biWidth", wintypes.LONG),
            ("biHeight", wintypes.LONG),
            ("biPlanes", wintypes.WORD),
            ("biBitCount", wintypes.WORD),
            ("biCompression", wintypes.DWORD),
            ("biSizeImage", wintypes.DWORD),
            ("biXPelsPerMeter", wintypes.LONG),
            ("biYPelsPerMeter", wintypes.LONG),
            ("biClrUsed", wintypes.DWORD),
            ("biClrImportant", wintypes.DWORD),
        ]

    class CURSORINFO(ctypes.Structure):
        _fields_ = [
            ("cbSize", wintypes.DWORD),
            ("flags", wintypes.DWORD),
            ("hCursor", wintypes.HANDLE),
            ("ptScreenPos", wintypes.POINT),
        ]

    # Handles are 64 bits: every signature is spelled out, or ctypes would cut them to int.
    user32.GetDC.argtypes = [wintypes.HWND]
    user32.GetDC.restype = wintypes.HDC
    user32.ReleaseDC.argtypes = [wintypes.HWND, wintypes.HDC]
    user32.SetCursorPos.argtypes = [ctypes.c_int, ctypes.c_int]
    user32.GetCursorInfo.argtypes = [ctypes.POINTER(CURSORINFO)]
    user32.EnumDisplaySettingsW.argtypes = [wintypes.LPCWSTR, wintypes.DWORD, ctypes.POINTER(DEVMODEW)]
    user32.ChangeDisplaySettingsExW.argtypes = [wintypes.LPCWSTR, ctypes.POINTER(DEVMODEW), wintypes.HWND,
                                                wintypes.DWORD, ctypes.c_void_p]
    user32.ChangeDisplaySettingsExW.restype = wintypes.LONG
    gdi32.CreateCompatibleDC.argtypes = [wintypes.HDC]
    gdi32.CreateCompatibleDC.restype = wintypes.HDC
    gdi32.CreateCompatibleBitmap.argtypes = [wintypes.HDC, ctypes.c_int, ctypes.c_int]
    gdi32.CreateCompatibleBitmap.restype = wintypes.HBITMAP
    gdi32.SelectObject.argtypes = [wintypes.HDC, wintypes.HGDIOBJ]
    gdi32.SelectObject.restype = wintypes.HGDIOBJ
    gdi32.BitBlt.argtypes = [wintypes.HDC, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                             wintypes.HDC, ctypes.c_int, ctypes.c_int, wintypes.DWORD]
    gdi32.GetDIBits.argtypes = [wintypes.HDC, wintypes.HBITMAP, wintypes.UINT, wintypes.UINT, ctypes.c_void_p,
                                ctypes.POINTER(BITMAPINFOHEADER), wintypes.UINT]
    gdi32.DeleteObject.argtypes = [wintypes.HGDIOBJ]
    gdi32.DeleteDC.argtypes = [wintypes.HDC]

    ENUM_CURRENT_SETTINGS = 0xFFFFFFFF
    SRCCOPY = 0x00CC0020
    CAPTUREBLT = 0x40000000  # layered windows too, as the compositor shows them
    CURSOR_SHOWING = 1
    DISP_CHANGE_SUCCESSFUL = 0
    DM_PELSWIDTH_HEIGHT = 0x00080000 | 0x00100000

    def display_mode(name: str, index: int = ENUM_CURRENT_SETTINGS) -> Optional[DEVMODEW]:
        mode = DEVMODEW()
        mode.dmSize = ctypes.sizeof(DEVMODEW)
        return mode if user32.EnumDisplaySettingsW(name, index, ctypes.byref(mode)) else None

    def gdi_capture(left: int, top: int, width: int, height: int) -> Frame:
        """The screen's pixels in desktop coordinates as BGRA rows, fourth byte zeroed."""
        screen = user32.GetDC(None)
        memory = gdi32.CreateCompatibleDC(screen)
        bitmap = gdi32.CreateCompatibleBitmap(screen, width, height)
        try:
            previous = gdi32.SelectObject(memory, bitmap)
            copied = gdi32.BitBlt(memory, 0, 0, width, height, screen, left, top, SRCCOPY | CAPTUREBLT)
            gdi32.SelectObject(memory, previous)  # GetDIBits wants the bitmap deselected
            if not copied:
                raise OSError(ctypes.get_last_error(), "BitBlt failed")
            header = BITMAPINFOHEADER(biSize=ctypes.sizeof(BITMAPINFOHEADER), biWidth=width,
                                      biHeight=-height, biPlanes=1, biBitCount=32)  # top-down BI_RGB
            pixels = np.zeros((height, width, 4), np.uint8)
            if gdi32.GetDIBits(screen, bitmap, 0, height, pixels.ctypes.data, ctypes.byref(header), 0) != height:
                raise OSError(ctypes.get_last_error(), "GetDIBits failed")
        finally:
            gdi32.DeleteObject(bitmap)
            gdi32.DeleteDC(memory)
            user32.ReleaseDC(None, screen)
        pixels[..., 3] = 0
        return pixels

    def pointer_showing() -> bool:
        info = CURSORINFO(cbSize=ctypes.sizeof(CURSORINFO))
        return bool(user32.GetCursorInfo(ctypes.byref(info))) and info.flags == CURSOR_SHOWING

    def change_mode(name: str, mode: Optional[DEVMODEW]) -> int:
        """Changes the mode for now only (None: back to the saved one); the system's code."""
        pointer = ctypes.byref(mode) if mode is not None else None
        return int(user32.ChangeDisplaySettingsExW(name, pointer, None, 0, None))

    def other_mode(name: str, current: DEVMODEW) -> Optional[DEVMODEW]:
        """A smaller mode of the same depth and rate, if the display offers one."""
        index = 0
        while (mode := display_mode(name, index)) is not None:
            index += 1
            if (mode.dmBitsPerPel == current.dmBitsPerPel and mode.dmDisplayFrequency == current.dmDisplayFrequency
                    and mode.dmPelsWidth < current.dmPelsWidth and mode.dmPelsHeight < current.dmPelsHeight):
                mode.dmFields = DM_PELSWIDTH_HEIGHT
                return mode
        return None

    def check_screenshot(report: Report, name: str, width: int, height: int) -> None:
        mode = display_mode(name)
        if mode is None:
            report.fail(f"EnumDisplaySettingsW({name}) failed")
            return
        with vistrel.Capturer(cursor=False) as capturer:
            differing = -1
            for _ in range(10):
                before = capturer.screenshot(fmt="bgra")
                gdi = gdi_capture(mode.dmPositionX, mode.dmPositionY, width, height)
                settle(0.1)
                after = capturer.screenshot(fmt="bgra")
                if not np.array_equal(before, after):
                    continue  # the desktop changed meanwhile: not one moment
                before[..., 3] = 0
                differing = int(np.count_nonzero(np.any(before != gdi, axis=2)))
                if differing == 0:
                    report.ok(f"screenshot equals GDI's BitBlt ({width}x{height})")
                    return
            if differing < 0:
                report.fail("the desktop never held still for a comparison")
            else:
                report.fail(f"screenshot differs from GDI's BitBlt in {differing} pixels")

    def changed_box(a: Frame, b: Frame) -> Optional[Tuple[int, int, int, int]]:
        ys, xs = np.nonzero(np.any(a != b, axis=2))
        if len(xs) == 0:
            return None
        return int(xs.min()), int(ys.min()), int(xs.max()) + 1, int(ys.max()) + 1

    def check_pointer(report: Report, name: str, width: int, height: int) -> None:
        if not pointer_showing():
            report.skip("the pointer is hidden on this machine (no mouse?)")
            return
        mode = display_mode(name)
        if mode is None or width < 400 or height < 300:
            report.skip("output too small or its position unknown")
            return
        first = (width // 4, height // 3)
        second = (width // 2, height // 2)
        with vistrel.Capturer(cursor=True) as capturer:
            user32.SetCursorPos(mode.dmPositionX + first[0], mode.dmPositionY + first[1])
            settle()
            capturer.grab(timeout_ms=200)
            before = capturer.screenshot()
            user32.SetCursorPos(mode.dmPositionX + second[0], mode.dmPositionY + second[1])
            after = capturer.grab(timeout_ms=1000)
        if after is None:
            report.fail("moving the pointer gave no new frame")
            return
        box = changed_box(before, after)
        if box is None:
            report.fail("the frame after the pointer moved is unchanged")
        elif not (box[0] - 2 <= second[0] <= box[2] + 2 and box[1] - 2 <= second[1] <= box[3] + 2):
            report.fail(f"the pointer moved to {second}, yet the frame changed only in {box}")
        else:
            report.ok(f"the moved pointer appears in the next grab (change {box})")

    def check_second_capturer(report: Report) -> None:
        with vistrel.Capturer():
            try:
                vistrel.Capturer().close()
            except vistrel.CaptureError as error:
                if getattr(error, "hresult", None) == E_INVALIDARG and "already captured in this process" in str(error):
                    report.ok(f"a second Capturer on the output is refused: {error}")
                else:
                    report.fail(f"a second Capturer raised something else: {error!r} ({hresult_of(error)})")
            else:
                report.fail("a second Capturer on a captured output opened")
        try:
            vistrel.Capturer().close()
            report.ok("after closing the first, a new Capturer opens")
        except vistrel.CaptureError as error:
            report.fail(f"no Capturer after closing the first: {error} ({hresult_of(error)})")

    def wait_for_access_lost(capturer: vistrel.Capturer, seconds: float = 5.0) -> bool:
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            try:
                capturer.grab(timeout_ms=200)
            except vistrel.AccessLost:
                return True
        return False

    def capture_at(report: Report, size: Tuple[int, int], when: str) -> vistrel.Capturer:
        capturer = vistrel.Capturer()
        if (capturer.width, capturer.height) != size:
            report.fail(f"{when}: a new Capturer is {capturer.width}x{capturer.height}, the mode {size[0]}x{size[1]}")
        elif capturer.screenshot().shape[:2] != (size[1], size[0]):
            report.fail(f"{when}: the screenshot has the wrong shape")
        else:
            report.ok(f"{when}: a new Capturer captures at {size[0]}x{size[1]}")
        return capturer

    def check_mode_change(report: Report, name: str) -> None:
        current = display_mode(name)
        smaller = other_mode(name, current) if current is not None else None
        if current is None or smaller is None:
            report.skip(f"{name} offers no other mode to change to")
            return
        original = (int(current.dmPelsWidth), int(current.dmPelsHeight))
        changed = (int(smaller.dmPelsWidth), int(smaller.dmPelsHeight))
        try:
            with vistrel.Capturer() as capturer:
                code = change_mode(name, smaller)
                if code != DISP_CHANGE_SUCCESSFUL:
                    report.skip(f"ChangeDisplaySettingsExW refused {changed}: {code}")
                    return
                if not wait_for_access_lost(capturer):
                    report.fail("the open Capturer did not report AccessLost after the mode change")
            with capture_at(report, changed, "after the change") as capturer:
                change_mode(name, None)
                if not wait_for_access_lost(capturer):
                    report.fail("the open Capturer did not report AccessLost after changing back")
            settle(1.0)
            capture_at(report, original, "after changing back").close()
        finally:
            change_mode(name, None)

    def run(report: Report) -> None:
        try:
            outputs = vistrel.list_outputs()  # also makes the process per-monitor DPI aware
        except vistrel.CaptureError as error:
            report.skip(f"no adapters to duplicate: {error} ({hresult_of(error)})")
            return
        if not outputs:
            report.skip("no outputs")
            return
        name, width, height = outputs[0]["output_name"], outputs[0]["width"], outputs[0]["height"]
        try:
            vistrel.Capturer().close()
        except vistrel.CaptureError as error:
            report.skip(f"this adapter refuses duplication: {hresult_of(error)}: {error}")
            return
        print(f"output 0: {name} {width}x{height}, {vistrel.device_info().strip()}")
        checks: List[Callable[[], None]] = [
            lambda: check_screenshot(report, name, width, height),
            lambda: check_pointer(report, name, width, height),
            lambda: check_second_capturer(report),
            lambda: check_mode_change(report, name),
        ]
        for check in checks:
            try:
                check()
            except vistrel.CaptureError as error:
                report.fail(f"{error!r} ({hresult_of(error)})")


def main() -> int:
    report = Report()
    if sys.platform == "win32":
        run(report)
    else:
        report.skip("needs Windows")
    return 1 if report.failed else 0


if __name__ == "__main__":
    sys.exit(main())
