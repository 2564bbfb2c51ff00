// The running simulated machine: the configuration plus the live desktop state of
// each output. Internal to the simulated machine's objects.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "platform/sim/desktop.h"

namespace vistrel::sim {

struct Machine {
    explicit Machine(MachineConfig machine_config);

    MachineConfig config;
    std::vector<std::vector<std::shared_ptr<OutputState>>> outputs;  // [adapter][output]

    std::mutex answers_mutex;  // guards the three records below
    // What GetCursorInfo answers: set by set_cursor_info, or else the system cursor,
    // which follows the pointer presented on any output (in desktop coordinates).
    std::optional<CursorInfoAnswer> cursor_override;
    CursorInfoAnswer system_cursor;
    CreateDeviceCall last_create_device;

    std::shared_ptr<OutputState> output(std::uint32_t adapter, std::uint32_t index) const;
};

std::shared_ptr<Machine> current_machine();

}  // namespace vistrel::sim
