// The simulated machine's test hooks: every os-level call is traced and can be made to
// fail like any other operation, and every object is counted.
#include <string>

#include "platform/sim/machine.h"
#include "platform/test_hooks.h"

namespace vistrel::test_hooks {

bool os_call_fails(const char* operation) { return sim::enter(operation).outcome != sim::Outcome::Proceed; }

void live_object(int delta) { sim::adjust_live_objects(delta); }

void released(const char* interface_name) { sim::record(std::string("Release(") + interface_name + ")"); }

}  // namespace vistrel::test_hooks
