// COM error information for the provider's failures (what X reported).
#pragma once

#include "platform/posix/error_info.h"

namespace vistrel::x11 {

using posix::fail_with;

}  // namespace vistrel::x11
