#include "platform/sim/machine.h"

#include <atomic>
#include <map>
#include <mutex>

#include "platform/sim/error_info.h"

namespace vistrel::sim {
namespace {

struct State {
    std::mutex mutex;
    std::shared_ptr<const MachineConfig> machine =
        std::make_shared<const MachineConfig>(MachineConfig::default_machine());
    std::map<std::string, Fault, std::less<>> faults;
    std::vector<std::string> trace;
};

State& state() {
    static State s;
    return s;
}

std::atomic<long> g_live{0};

}  // namespace

MachineConfig MachineConfig::default_machine() {
    MachineConfig m;
    m.adapters.emplace_back().outputs.emplace_back();
    return m;
}

void reset(MachineConfig machine) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.machine = std::make_shared<const MachineConfig>(std::move(machine));
    s.faults.clear();
    s.trace.clear();
}

std::shared_ptr<const MachineConfig> machine() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.machine;
}

void fail(const std::string& operation, Fault fault) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.faults[operation] = std::move(fault);
}

void clear_faults() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.faults.clear();
}

std::vector<std::string> trace(bool clear) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<std::string> out = s.trace;
    if (clear) s.trace.clear();
    return out;
}

long live_objects() { return g_live.load(); }

void record(const std::string& operation) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.trace.push_back(operation);
}

CallResult enter(const char* operation) {
    CallResult result;
    std::optional<std::u16string> description, restricted;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        s.trace.emplace_back(operation);
        auto it = s.faults.find(std::string_view(operation));
        if (it == s.faults.end()) return result;
        Fault& fault = it->second;
        if (fault.skip > 0) {
            --fault.skip;
            return result;
        }
        if (fault.times == 0) return result;
        if (fault.times > 0) --fault.times;
        if (fault.null) {
            result.outcome = Outcome::Null;
            return result;
        }
        result.outcome = Outcome::Fail;
        result.hresult = fault.hresult;
        description = fault.description;
        restricted = fault.restricted_description;
    }
    // Outside the lock: the error information is itself a counted object.
    if (description || restricted) {
        ComPtr<IErrorInfo> info = make_error_info(description, restricted);
        set_thread_error_info(info.get());
    } else {
        set_thread_error_info(nullptr);
    }
    return result;
}

Counted::Counted() { ++g_live; }
Counted::Counted(const Counted&) { ++g_live; }
Counted::~Counted() { --g_live; }

}  // namespace vistrel::sim
