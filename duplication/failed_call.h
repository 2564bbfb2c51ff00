// The Failure of a failed platform call: its HRESULT with the error information the
// thread holds right after the call.
#pragma once

#include "duplication/failure.h"
#include "platform/os.h"

namespace vistrel {

inline Failure failed_call(HRESULT code) { return Failure::hresult(code, os::take_error_info()); }

}  // namespace vistrel
