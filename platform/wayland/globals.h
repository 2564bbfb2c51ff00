// A connection with the compositor's globals bound: wl_shm, the screencopy manager, and
// every output with its name, mode and xdg-output position.
#pragma once

#include <memory>
#include <vector>

#include "platform/wayland/connection.h"

namespace vistrel::wayland {

struct OutputState {
    std::uint32_t global = 0;  // the registry's name for it
    Proxy output;
    Proxy xdg_output;
    std::string name, description;
    std::int32_t x = 0, y = 0;  // xdg-output logical position
    // The current mode, in output pixels, as of the last "done".
    std::uint32_t width = 0, height = 0;
    std::uint32_t pending_width = 0, pending_height = 0;
    // wl_output's transform, as of the last "done": frames come in the mode's orientation.
    std::int32_t transform = 0, pending_transform = 0;
    // xdg-output's logical size: the mode rotated by the transform and divided by the scale.
    std::int32_t logical_width = 0, logical_height = 0;
    bool removed = false;  // the global went away
};

class Globals {
public:
    // Connects to `name` and learns the globals and outputs (two round trips, each
    // bounded); null with `failure` filled.
    static std::unique_ptr<Globals> open(const std::string& name, WlFailure& failure);
    Globals(const Globals&) = delete;
    Globals& operator=(const Globals&) = delete;

    Connection& connection() { return *connection_; }
    wl_proxy* shm() const { return shm_.get(); }
    // Null when the compositor offers no screencopy (GNOME, KDE).
    const Proxy& screencopy() const { return screencopy_; }
    const std::vector<std::unique_ptr<OutputState>>& outputs() const { return outputs_; }
    OutputState* find(const std::string& name) const;

private:
    explicit Globals(std::unique_ptr<Connection> connection) : connection_(std::move(connection)) {}
    static void on_global(void* data, wl_proxy*, std::uint32_t name, const char* interface, std::uint32_t version);
    static void on_global_remove(void* data, wl_proxy*, std::uint32_t name);
    void add_output(std::uint32_t global, std::uint32_t version);
    void add_xdg_output(OutputState& output);

    // First, so it goes last: every proxy below lives on it.
    std::unique_ptr<Connection> connection_;
    Proxy registry_, shm_, screencopy_, xdg_manager_;
    std::vector<std::unique_ptr<OutputState>> outputs_;
};

}  // namespace vistrel::wayland
