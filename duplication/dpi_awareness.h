// DPI awareness, so that output sizes, desktop coordinates and captured images are in
// physical pixels.
#pragma once

#include "platform/os.h"

namespace vistrel {

// Runs once per process, before the first enumeration or device creation. A host
// that fixed its own awareness already makes the call fail; that is ignored.
void ensure_dpi_awareness();

// Held around every call that reads sizes or positions of outputs (enumeration,
// duplication, the system cursor): runs ensure_dpi_awareness, then makes the calling
// thread per-monitor aware until the scope ends, which covers a host whose own choice
// made the process-wide call fail. On the thread that made it only.
class PerMonitorDpiScope {
    struct ProcessWide {
        ProcessWide() { ensure_dpi_awareness(); }
    };
    ProcessWide process_;  // declared first: the process-wide switch comes before the thread's
    os::ThreadDpiAwareness thread_;
};

}  // namespace vistrel
