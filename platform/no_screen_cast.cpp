// A provider without a screen-cast portal: no dialog, so no token to keep.
#include "platform/screen_cast.h"

namespace vistrel {

void set_cast_restore_token(IDXGIOutput1*, const std::optional<std::string>&) {}

std::optional<std::string> cast_restore_token(IDXGIOutputDuplication*) { return std::nullopt; }

}  // namespace vistrel
