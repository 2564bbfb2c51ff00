// The simulated machine: a model of adapters and outputs, and the switches and
// counters tests drive it with (faults, the call trace, the live-object count).
// One machine per process, shared by _vistrel and _vistrel_sim through this library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dxgi.h"

namespace vistrel::sim {

struct OutputConfig {
    std::u16string device_name = u"\\\\.\\DISPLAY1";
    std::int32_t width = 1920;
    std::int32_t height = 1080;
    std::uint32_t rotation = 1;
    bool attached = true;
    std::int32_t origin_x = 0;
    std::int32_t origin_y = 0;
    // The duplication's size. When absent: the desktop size, turned back for a 90 or 270
    // degree rotation (a rotated output's surface keeps the display's own orientation).
    std::optional<std::pair<std::uint32_t, std::uint32_t>> mode;
    // A new duplication's first frame has no present time and a blank surface, as when
    // another duplication on the adapter acquired first.
    bool blank_first_frame = false;
    // Frames without a new image carry a 16-bit float surface, as with HDR on.
    bool hdr = false;
    // The format of every desktop surface a frame carries.
    std::uint32_t surface_format = DXGI_FORMAT_B8G8R8A8_UNORM;
};

struct AdapterConfig {
    std::u16string description = u"Simulated Adapter";
    std::uint32_t vendor_id = 0x1AB8;
    std::uint32_t device_id = 0x0001;
    std::uint64_t dedicated_video_memory = std::uint64_t{1} << 30;
    LUID luid = {0x1000, 0};
    bool feature_level_11_0 = true;
    std::vector<OutputConfig> outputs;
};

struct MachineConfig {
    std::vector<AdapterConfig> adapters;
    // One adapter with one 1920x1080 output.
    static MachineConfig default_machine();
};

// Replaces the machine and clears faults and the trace. Objects of the old machine
// that are still alive keep the model they were created from.
void reset(MachineConfig machine = MachineConfig::default_machine());
std::shared_ptr<const MachineConfig> machine();

struct Fault {
    HRESULT hresult = E_FAIL;
    int times = 1;      // -1: until cleared
    int skip = 0;       // good calls before the first failure
    bool null = false;  // succeed without an object instead of failing
    // Error information left for GetErrorInfo by the failing call, when set.
    std::optional<std::u16string> description;
    std::optional<std::u16string> restricted_description;
};
// Arms `fault` for the next calls of `operation`. False, changing nothing, for a name no
// simulated call consults: a misspelt fault would otherwise never fire.
[[nodiscard]] bool fail(const std::string& operation, Fault fault);
void clear_faults();
// Every operation name that can be made to fail, sorted.
const std::vector<std::string_view>& failable_operations();

// The calls made since the last clear, oldest first. Only the last kTraceLimit are kept,
// so a process that never reads the trace (a soak, a demo) does not grow with it.
constexpr std::size_t kTraceLimit = 16384;
std::vector<std::string> trace(bool clear);
long live_objects();

// --- the desktop (outputs addressed by adapter and output index) ---

struct PointerShape {
    std::uint32_t type = 2;
    std::uint32_t width = 0;
    std::uint32_t height = 0;  // as the platform reports it: both masks for monochrome
    std::uint32_t pitch = 0;
    std::int32_t hotspot_x = 0;
    std::int32_t hotspot_y = 0;
    std::vector<std::uint8_t> data;
};

struct PointerUpdate {
    std::optional<std::int32_t> x;
    std::optional<std::int32_t> y;
    std::optional<bool> visible;
    std::optional<PointerShape> shape;
};

// Queues a desktop update on every live duplication of the output; returns its present
// time. `image` is packed BGRA of the output's mode size, or null for a pointer-only
// update. Returns -1 for an unknown output or an image of the wrong size.
std::int64_t present(std::uint32_t adapter, std::uint32_t output, const std::vector<std::uint8_t>* image,
                     const PointerUpdate* pointer);
// The output's current desktop image, packed BGRA; empty for an unknown output.
std::vector<std::uint8_t> image(std::uint32_t adapter, std::uint32_t output);
// The duplication size of an output (its mode), or nullopt for an unknown output.
std::optional<std::pair<std::uint32_t, std::uint32_t>> mode(std::uint32_t adapter, std::uint32_t output);
// A presenter thread changing the image `hz` times a second (0 stops it). Each image
// carries a frame counter in its first pixel. Returns false for an unknown output.
bool animate(std::uint32_t adapter, std::uint32_t output, double hz);
// Every existing duplication of the output fails from now on with ACCESS_LOST; new ones
// work, at `mode` when given (a display-mode change).
bool lose_access(std::uint32_t adapter, std::uint32_t output,
                 std::optional<std::pair<std::uint32_t, std::uint32_t>> mode);

// The secure desktop (UAC, Ctrl+Alt+Del, the lock screen) shown on the output or gone:
// while it shows, existing duplications fail with ACCESS_LOST and new ones are refused
// with E_ACCESSDENIED. False for an unknown output.
bool secure_desktop(std::uint32_t adapter, std::uint32_t output, bool on);

// A consumer's view of a shared texture through its NT handle: its pixels, packed BGRA
// (empty for an unknown handle), and holding its key 0 for `milliseconds` (false for an
// unknown handle).
std::vector<std::uint8_t> read_shared(std::uintptr_t handle);
bool hold_shared(std::uintptr_t handle, std::uint32_t milliseconds);
// NT handles open in the process table.
std::size_t open_handles();

struct CursorInfoAnswer {
    std::uint32_t flags = 1;
    std::int32_t x = 0;
    std::int32_t y = 0;
    bool ok = true;
};
// What GetCursorInfo answers from now on. Until it is called (after a reset), it answers
// the system cursor: where the last presented pointer's hot spot is, in desktop coordinates.
void set_cursor_info(CursorInfoAnswer answer);

// The arguments of the last D3D11CreateDevice call, for checking how the core calls it.
struct CreateDeviceCall {
    int driver_type = -1;
    bool software = false;
    std::uint32_t flags = 0;
    std::vector<int> feature_levels;
    std::uint32_t sdk_version = 0;
    bool wants_feature_level = false;
};
CreateDeviceCall last_create_device_call();

// --- for the simulated objects ---

enum class Outcome { Proceed, Fail, Null };
struct CallResult {
    Outcome outcome = Outcome::Proceed;
    HRESULT hresult = S_OK;
};
// Records `operation` in the trace and consults the faults. `operation` must be one of
// failable_operations(). A failing call also sets
// the thread's error information (to the fault's description, or to none).
CallResult enter(const char* operation);
// Records a call that cannot fail.
void record(const std::string& operation);
// Consults the faults of `operation` without recording it (a second switch of one call).
CallResult consult(const char* operation);

// Counts objects in or out of the live objects (COM objects, BSTRs, os events, timers,
// threads, handles).
void adjust_live_objects(int delta);

// Sets the calling thread's error information (null clears it), as SetErrorInfo does.
void set_thread_error_info(IErrorInfo* info);

}  // namespace vistrel::sim
