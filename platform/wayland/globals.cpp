// Outputs are named by wl_output 4 or, on older compositors, by xdg-output 2; their
// position comes from xdg-output, the one place a client learns the layout.
#include "platform/wayland/globals.h"

#include <algorithm>
#include <cstring>

#include "platform/wayland/protocols.h"

namespace vistrel::wayland {
namespace {

// A compositor that takes longer than this to answer a round trip is taken as hung.
constexpr auto kRoundtripLimit = std::chrono::seconds(5);

OutputState& state(void* data) { return *static_cast<OutputState*>(data); }

struct OutputListener {
    void (*geometry)(void*, wl_proxy*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                     const char*, const char*, std::int32_t);
    void (*mode)(void*, wl_proxy*, std::uint32_t, std::int32_t, std::int32_t, std::int32_t);
    void (*done)(void*, wl_proxy*);
    void (*scale)(void*, wl_proxy*, std::int32_t);
    void (*name)(void*, wl_proxy*, const char*);
    void (*description)(void*, wl_proxy*, const char*);
};

const OutputListener kOutputListener = {
    [](void* data, wl_proxy*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t, const char*,
       const char*, std::int32_t transform) { state(data).pending_transform = transform; },
    [](void* data, wl_proxy*, std::uint32_t flags, std::int32_t width, std::int32_t height, std::int32_t) {
        if (!(flags & kOutputModeCurrent) || width <= 0 || height <= 0) return;
        state(data).pending_width = static_cast<std::uint32_t>(width);
        state(data).pending_height = static_cast<std::uint32_t>(height);
    },
    [](void* data, wl_proxy*) {
        state(data).width = state(data).pending_width;
        state(data).height = state(data).pending_height;
        state(data).transform = state(data).pending_transform;
    },
    [](void*, wl_proxy*, std::int32_t) {},
    [](void* data, wl_proxy*, const char* name) { state(data).name = name; },
    [](void* data, wl_proxy*, const char* text) { state(data).description = text; },
};

struct XdgOutputListener {
    void (*logical_position)(void*, wl_proxy*, std::int32_t, std::int32_t);
    void (*logical_size)(void*, wl_proxy*, std::int32_t, std::int32_t);
    void (*done)(void*, wl_proxy*);
    void (*name)(void*, wl_proxy*, const char*);
    void (*description)(void*, wl_proxy*, const char*);
};

const XdgOutputListener kXdgOutputListener = {
    [](void* data, wl_proxy*, std::int32_t x, std::int32_t y) {
        state(data).x = x;
        state(data).y = y;
    },
    [](void* data, wl_proxy*, std::int32_t width, std::int32_t height) {
        state(data).logical_width = width;
        state(data).logical_height = height;
    },
    [](void*, wl_proxy*) {},
    [](void* data, wl_proxy*, const char* name) {
        if (state(data).name.empty()) state(data).name = name;
    },
    [](void* data, wl_proxy*, const char* text) {
        if (state(data).description.empty()) state(data).description = text;
    },
};

struct RegistryListener {
    void (*global)(void*, wl_proxy*, std::uint32_t, const char*, std::uint32_t);
    void (*global_remove)(void*, wl_proxy*, std::uint32_t);
};

}  // namespace

std::unique_ptr<Globals> Globals::open(const std::string& name, WlFailure& failure) {
    std::unique_ptr<Connection> connection = Connection::open(name, failure);
    if (!connection) return nullptr;
    std::unique_ptr<Globals> globals(new Globals(std::move(connection)));
    Connection& c = *globals->connection_;
    static const RegistryListener listener = {&Globals::on_global, &Globals::on_global_remove};
    globals->registry_ =
        c.own(c.create(c.display_proxy(), request::kDisplayGetRegistry, c.api().wl_registry_interface, 1, nullptr));
    c.listen(globals->registry_.get(), &listener, globals.get());
    // The first answer binds the globals, the second brings the outputs' descriptions.
    const bool answered = c.roundtrip(Clock::now() + kRoundtripLimit) && c.roundtrip(Clock::now() + kRoundtripLimit);
    if (!answered) {
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE,
                   c.broken() ? lost_connection_text(c)
                              : "Wayland display '" + c.name() + "' did not answer within 5 seconds"};
        return nullptr;
    }
    for (auto& output : globals->outputs_)
        if (output->name.empty()) output->name = "output-" + std::to_string(output->global);
    return globals;
}

OutputState* Globals::find(const std::string& name) const {
    for (const auto& output : outputs_)
        if (output->name == name && !output->removed) return output.get();
    return nullptr;
}

void Globals::on_global(void* data, wl_proxy*, std::uint32_t name, const char* interface, std::uint32_t version) {
    auto& self = *static_cast<Globals*>(data);
    Connection& c = *self.connection_;
    auto bind = [&](const wl_interface* type, std::uint32_t wanted) {
        const std::uint32_t v = std::min(version, wanted);
        return c.create(self.registry_.get(), request::kRegistryBind, type, v, name, type->name, v, nullptr);
    };
    if (std::strcmp(interface, "wl_output") == 0) {
        self.add_output(name, version);
    } else if (std::strcmp(interface, "wl_shm") == 0 && !self.shm_) {
        self.shm_ = c.own(bind(c.api().wl_shm_interface, 1));
    } else if (std::strcmp(interface, kScreencopyManager.name) == 0 && !self.screencopy_) {
        self.screencopy_ = c.own(bind(&kScreencopyManager, 3), request::kScreencopyManagerDestroy);
    } else if (std::strcmp(interface, kXdgOutputManager.name) == 0 && !self.xdg_manager_) {
        self.xdg_manager_ = c.own(bind(&kXdgOutputManager, 3), request::kXdgOutputManagerDestroy);
        for (auto& output : self.outputs_) self.add_xdg_output(*output);
    }
}

void Globals::on_global_remove(void* data, wl_proxy*, std::uint32_t name) {
    for (auto& output : static_cast<Globals*>(data)->outputs_)
        if (output->global == name) output->removed = true;
}

void Globals::add_output(std::uint32_t global, std::uint32_t version) {
    Connection& c = *connection_;
    auto output = std::make_unique<OutputState>();
    output->global = global;
    const std::uint32_t v = std::min<std::uint32_t>(version, 4);
    output->output = c.own(c.create(registry_.get(), request::kRegistryBind, c.api().wl_output_interface, v, global,
                                    c.api().wl_output_interface->name, v, nullptr),
                           v >= 3 ? static_cast<std::int32_t>(request::kOutputRelease) : Proxy::kNoDestructor);
    c.listen(output->output.get(), &kOutputListener, output.get());
    if (xdg_manager_) add_xdg_output(*output);
    outputs_.push_back(std::move(output));
}

void Globals::add_xdg_output(OutputState& output) {
    if (output.xdg_output) return;
    Connection& c = *connection_;
    output.xdg_output =
        c.own(c.create(xdg_manager_.get(), request::kXdgOutputManagerGetOutput, &kXdgOutput,
                       std::min<std::uint32_t>(xdg_manager_.version(), 3), nullptr, output.output.get()),
              request::kXdgOutputDestroy);
    c.listen(output.xdg_output.get(), &kXdgOutputListener, &output);
}

}  // namespace vistrel::wayland
