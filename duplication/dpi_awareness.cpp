#include "duplication/dpi_awareness.h"

#include <mutex>

#include "platform/os.h"

namespace vistrel {

void ensure_dpi_awareness() {
    static std::once_flag once;
    std::call_once(once, [] { (void)os::set_process_dpi_awareness(); });
}

}  // namespace vistrel
