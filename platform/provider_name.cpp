// A provider fixed at build time names itself through the build.
#include "platform/provider_name.h"

namespace vistrel {

const char* provider_name() { return VISTREL_PROVIDER_NAME; }

}  // namespace vistrel
