// user32: the system cursor.
#pragma once

#include "platform/shim/windows_types.h"

constexpr DWORD CURSOR_SHOWING = 0x1;

struct CURSORINFO {
    DWORD cbSize;
    DWORD flags;
    HCURSOR hCursor;
    POINT ptScreenPos;
};
static_assert(sizeof(CURSORINFO) == 24, "CURSORINFO is 24 bytes on 64-bit Windows");

BOOL GetCursorInfo(CURSORINFO* info);
