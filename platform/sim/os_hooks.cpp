// The simulated machine's answer to os_posix.cpp: every os-level call is traced and
// can be made to fail like any other operation.
#include "platform/provider.h"
#include "platform/sim/machine.h"

namespace vistrel::provider {

bool os_call_fails(const char* operation) { return sim::enter(operation).outcome != sim::Outcome::Proceed; }

void live_object(int delta) { sim::adjust_live_objects(delta); }

}  // namespace vistrel::provider
