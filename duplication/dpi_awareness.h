// The process-wide DPI-awareness switch, so that output sizes, desktop coordinates
// and captured images are in physical pixels.
#pragma once

namespace vistrel {

// Runs once per process, before the first enumeration or device creation. A host
// that fixed its own awareness already makes the call fail; that is ignored.
void ensure_dpi_awareness();

}  // namespace vistrel
