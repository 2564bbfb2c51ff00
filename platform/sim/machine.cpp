#include "platform/sim/machine.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>

#include "platform/sim/error_info.h"
#include "platform/sim/runtime.h"

namespace vistrel::sim {
namespace {

// The names under which the simulated calls and the os hooks consult the faults: the
// platform's own names, plus "D3D11CreateDevice:context" (a device handed out without
// its context). Sorted, for the lookup.
constexpr std::array<std::string_view, 27> kFailableOperations = {
    "CreateDXGIFactory1",
    "CreateEventW",
    "CreateThread",
    "CreateWaitableTimerExW",
    "D3D11CreateDevice",
    "D3D11CreateDevice:context",
    "DuplicateHandle",
    "GetCursorInfo",
    "ID3D11Device::CreateTexture2D",
    "ID3D11DeviceContext::Map",
    "IDXGIAdapter1::GetDesc1",
    "IDXGIAdapter::EnumOutputs",
    "IDXGIFactory1::EnumAdapters1",
    "IDXGIKeyedMutex::AcquireSync",
    "IDXGIKeyedMutex::ReleaseSync",
    "IDXGIOutput1::DuplicateOutput",
    "IDXGIOutput::GetDesc",
    "IDXGIOutputDuplication::AcquireNextFrame",
    "IDXGIOutputDuplication::GetFramePointerShape",
    "IDXGIOutputDuplication::ReleaseFrame",
    "IDXGIResource1::CreateSharedHandle",
    "QueryInterface(ID3D11Texture2D)",
    "QueryInterface(IDXGIKeyedMutex)",
    "QueryInterface(IDXGIOutput1)",
    "QueryInterface(IDXGIResource1)",
    "SetProcessDpiAwarenessContext",
    "SetWaitableTimer",
};
static_assert(std::is_sorted(kFailableOperations.begin(), kFailableOperations.end()));

bool failable(std::string_view operation) {
    return std::binary_search(kFailableOperations.begin(), kFailableOperations.end(), operation);
}

// A call site consulting a name outside the table could never be made to fail: stop at
// once rather than let its tests pass without their fault.
void require_failable(const char* operation) {
    if (failable(operation)) return;
    std::fprintf(stderr, "simulated machine: \"%s\" is missing from the failable operations\n", operation);
    std::abort();
}

struct State {
    std::mutex mutex;
    std::shared_ptr<Machine> machine = std::make_shared<Machine>(MachineConfig::default_machine());
    std::map<std::string, Fault, std::less<>> faults;
    // The last kTraceLimit calls, oldest first.
    std::deque<std::string> trace;
};

// Threads the module leaked at exit (a capture thread nobody stopped, a presenter) may
// still call in while static destructors run, so the state is never destroyed.
State& state() {
    static State& s = *new State;
    return s;
}

void append_trace(State& s, std::string_view operation) {
    if (s.trace.size() == kTraceLimit) s.trace.pop_front();
    s.trace.emplace_back(operation);
}

std::atomic<long> g_live{0};

// Consults the faults of `operation` with the state locked; fills `fault_copy` when a
// failure is due.
CallResult due_fault(State& s, std::string_view operation, std::optional<Fault>& fault_copy) {
    CallResult result;
    auto it = s.faults.find(operation);
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
    fault_copy = fault;
    return result;
}

// A failing call leaves its error information for GetErrorInfo (or clears it).
void leave_error_info(const std::optional<Fault>& fault) {
    if (fault && (fault->description || fault->restricted_description)) {
        ComPtr<IErrorInfo> info = make_error_info(fault->description, fault->restricted_description);
        set_thread_error_info(info.get());
    } else {
        set_thread_error_info(nullptr);
    }
}

// Tests may place the pointer anywhere in 32 bits; the sum wraps as the 32-bit
// arithmetic that reads it back does (position = screen - hot spot - origin), instead of
// overflowing.
std::int32_t wrapping_sum(std::int32_t a, std::int32_t b, std::int32_t c) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b) +
                                     static_cast<std::uint32_t>(c));
}

}  // namespace

Machine::Machine(MachineConfig machine_config) : config(std::move(machine_config)) {
    for (const AdapterConfig& adapter : config.adapters) {
        auto& states = outputs.emplace_back();
        for (const OutputConfig& output : adapter.outputs) states.push_back(std::make_shared<OutputState>(output));
    }
}

std::shared_ptr<OutputState> Machine::output(std::uint32_t adapter, std::uint32_t index) const {
    if (adapter >= outputs.size() || index >= outputs[adapter].size()) return nullptr;
    return outputs[adapter][index];
}

std::shared_ptr<Machine> current_machine() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.machine;
}

MachineConfig MachineConfig::default_machine() {
    MachineConfig m;
    m.adapters.emplace_back().outputs.emplace_back();
    return m;
}

void reset(MachineConfig machine_config) {
    auto fresh = std::make_shared<Machine>(std::move(machine_config));
    std::shared_ptr<Machine> old;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        old = std::exchange(s.machine, std::move(fresh));
        s.faults.clear();
        s.trace.clear();
    }
    // The old machine's presenter threads stop now, outside the lock; its objects that
    // are still alive keep their own outputs.
    for (auto& adapter : old->outputs)
        for (auto& output : adapter) output->animate(0);
}

std::shared_ptr<const MachineConfig> machine() {
    std::shared_ptr<Machine> m = current_machine();
    return std::shared_ptr<const MachineConfig>(m, &m->config);
}

bool fail(const std::string& operation, Fault fault) {
    if (!failable(operation)) return false;
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.faults[operation] = std::move(fault);
    return true;
}

const std::vector<std::string_view>& failable_operations() {
    static const std::vector<std::string_view> names(kFailableOperations.begin(), kFailableOperations.end());
    return names;
}

void clear_faults() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.faults.clear();
}

std::vector<std::string> trace(bool clear) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    std::vector<std::string> out(s.trace.begin(), s.trace.end());
    if (clear) s.trace.clear();
    return out;
}

long live_objects() { return g_live.load(); }

void record(const std::string& operation) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    append_trace(s, operation);
}

CallResult enter(const char* operation) {
    require_failable(operation);
    std::optional<Fault> fault;
    CallResult result;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        append_trace(s, operation);
        result = due_fault(s, operation, fault);
    }
    // Outside the lock: the error information is itself a counted object.
    if (result.outcome == Outcome::Fail) leave_error_info(fault);
    return result;
}

CallResult consult(const char* operation) {
    require_failable(operation);
    std::optional<Fault> fault;
    CallResult result;
    {
        State& s = state();
        std::lock_guard lock(s.mutex);
        result = due_fault(s, operation, fault);
    }
    if (result.outcome == Outcome::Fail) leave_error_info(fault);
    return result;
}

std::int64_t present(std::uint32_t adapter, std::uint32_t output, const std::vector<std::uint8_t>* image,
                     const PointerUpdate* pointer) {
    std::shared_ptr<OutputState> state = current_machine()->output(adapter, output);
    if (!state) return -1;
    SurfacePtr surface;
    if (image) {
        std::uint32_t width, height;
        {
            std::lock_guard lock(state->mutex);
            width = state->mode_width;
            height = state->mode_height;
        }
        if (image->size() != std::size_t{width} * height * 4) return -1;
        surface = surface_from_packed(width, height, image->data());
    }
    const std::int64_t time = state->present(std::move(surface), pointer);
    if (pointer && (pointer->x || pointer->y || pointer->visible)) {
        // The system cursor is where the hot spot is, in desktop coordinates.
        CursorInfoAnswer system;
        {
            std::lock_guard lock(state->mutex);
            const std::int32_t hot_x = state->shape ? state->shape->hotspot_x : 0;
            const std::int32_t hot_y = state->shape ? state->shape->hotspot_y : 0;
            system.x = wrapping_sum(state->config.origin_x, state->pointer_x, hot_x);
            system.y = wrapping_sum(state->config.origin_y, state->pointer_y, hot_y);
            system.flags = state->pointer_visible ? 1 : 0;
        }
        std::shared_ptr<Machine> m = current_machine();
        std::lock_guard lock(m->answers_mutex);
        m->system_cursor = system;
    }
    return time;
}

std::vector<std::uint8_t> image(std::uint32_t adapter, std::uint32_t output) {
    std::shared_ptr<OutputState> state = current_machine()->output(adapter, output);
    if (!state) return {};
    SurfacePtr surface;
    {
        std::lock_guard lock(state->mutex);
        surface = state->image;
    }
    return packed(*surface);
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> mode(std::uint32_t adapter, std::uint32_t output) {
    std::shared_ptr<OutputState> state = current_machine()->output(adapter, output);
    if (!state) return std::nullopt;
    std::lock_guard lock(state->mutex);
    return std::make_pair(state->mode_width, state->mode_height);
}

bool animate(std::uint32_t adapter, std::uint32_t output, double hz) {
    std::shared_ptr<OutputState> state = current_machine()->output(adapter, output);
    if (!state) return false;
    state->animate(hz);
    return true;
}

bool lose_access(std::uint32_t adapter, std::uint32_t output,
                 std::optional<std::pair<std::uint32_t, std::uint32_t>> new_mode) {
    std::shared_ptr<OutputState> state = current_machine()->output(adapter, output);
    if (!state) return false;
    state->lose_access(new_mode);
    return true;
}

bool secure_desktop(std::uint32_t adapter, std::uint32_t output, bool on) {
    std::shared_ptr<OutputState> state = current_machine()->output(adapter, output);
    if (!state) return false;
    state->set_secure_desktop(on);
    return true;
}

void set_cursor_info(CursorInfoAnswer answer) {
    std::shared_ptr<Machine> m = current_machine();
    std::lock_guard lock(m->answers_mutex);
    m->cursor_override = answer;
}

CreateDeviceCall last_create_device_call() {
    std::shared_ptr<Machine> m = current_machine();
    std::lock_guard lock(m->answers_mutex);
    return m->last_create_device;
}

void adjust_live_objects(int delta) { g_live += delta; }

}  // namespace vistrel::sim

BOOL GetCursorInfo(CURSORINFO* info) {
    using namespace vistrel::sim;
    if (enter("GetCursorInfo").outcome != Outcome::Proceed) return FALSE;
    if (!info || info->cbSize != sizeof(CURSORINFO)) return FALSE;
    std::shared_ptr<Machine> m = current_machine();
    std::lock_guard lock(m->answers_mutex);
    const CursorInfoAnswer& answer = m->cursor_override ? *m->cursor_override : m->system_cursor;
    if (!answer.ok) return FALSE;
    info->flags = answer.flags;
    info->hCursor = nullptr;
    info->ptScreenPos = {answer.x, answer.y};
    return TRUE;
}
