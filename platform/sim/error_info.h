// Simulated COM error information and BSTRs.
#pragma once

#include <optional>
#include <string>

#include "platform/com_ptr.h"

namespace vistrel::sim {

// An IErrorInfo whose GetDescription gives `description` (absent: a null BSTR); with a
// restricted description it also answers for IRestrictedErrorInfo.
ComPtr<IErrorInfo> make_error_info(const std::optional<std::u16string>& description,
                                   const std::optional<std::u16string>& restricted_description);

}  // namespace vistrel::sim
