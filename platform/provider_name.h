// Which provider answers the Windows names in this process: "windows", "sim", "x11",
// "wayland" or "none". The Linux provider chooses X11 or Wayland anew at every factory,
// so its answer follows the environment.
#pragma once

namespace vistrel {

const char* provider_name();

}  // namespace vistrel
