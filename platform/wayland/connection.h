// One connection to a Wayland compositor, owned, and the proxies made on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dxgi.h"
#include "platform/wayland/client_library.h"

namespace vistrel::wayland {

using Clock = std::chrono::steady_clock;

// What went wrong below a COM call: the HRESULT to return and the description to leave.
struct WlFailure {
    HRESULT code = S_OK;
    std::string text;
};

// The compositor the provider captures: $WAYLAND_DISPLAY ("" when unset).
std::string display_name();

// An owned proxy: destroyed with its protocol's destructor request where it has one, so
// the compositor frees its side too. Must go before the connection it was made on.
class Proxy {
public:
    static constexpr std::int32_t kNoDestructor = -1;
    Proxy() = default;
    Proxy(const WaylandApi* api, wl_proxy* proxy, std::int32_t destructor)
        : api_(api), proxy_(proxy), destructor_(destructor) {}
    Proxy(Proxy&& other) noexcept { *this = std::move(other); }
    Proxy& operator=(Proxy&& other) noexcept;
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;
    ~Proxy() { reset(); }

    void reset();
    // Forgets the proxy without a word to the compositor: for a forked child, whose
    // socket is its parent's.
    void abandon() { proxy_ = nullptr; }
    wl_proxy* get() const { return proxy_; }
    explicit operator bool() const { return proxy_ != nullptr; }
    std::uint32_t version() const { return api_->wl_proxy_get_version(proxy_); }

private:
    const WaylandApi* api_ = nullptr;
    wl_proxy* proxy_ = nullptr;
    std::int32_t destructor_ = kNoDestructor;
};

class Connection {
public:
    // A new connection to `name`, or null with `failure` filled (the library cannot be
    // loaded, no display is named, or the compositor cannot be reached).
    static std::unique_ptr<Connection> open(const std::string& name, WlFailure& failure);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection();

    const WaylandApi& api() const { return api_; }
    wl_display* display() const { return display_; }
    wl_proxy* display_proxy() const { return reinterpret_cast<wl_proxy*>(display_); }
    const std::string& name() const { return name_; }
    // The compositor went away or reported a protocol error: nothing more will come.
    bool broken() const { return broken_ || api_.wl_display_get_error(display_) != 0; }

    // Dispatches events until `done()` holds or `deadline` passes (false) or the
    // connection breaks (false). Waits on the connection's descriptor, never polls; a
    // readable `wake` descriptor (an eventfd, drained here) makes it look at done() again.
    bool wait(Clock::time_point deadline, const std::function<bool()>& done, int wake = -1);
    // Waits until the compositor has answered every request sent so far.
    bool roundtrip(Clock::time_point deadline);

    // A request that creates an object of `interface` at `version`.
    template <class... Args>
    wl_proxy* create(wl_proxy* on, std::uint32_t opcode, const wl_interface* interface, std::uint32_t version,
                     Args... args) {
        return api_.wl_proxy_marshal_flags(on, opcode, interface, version, 0, args...);
    }
    template <class... Args>
    void send(wl_proxy* on, std::uint32_t opcode, Args... args) {
        api_.wl_proxy_marshal_flags(on, opcode, nullptr, api_.wl_proxy_get_version(on), 0, args...);
    }
    // Events of `proxy` go to `listener` (a struct of one function per event, in the
    // protocol's order) with `data`.
    void listen(wl_proxy* proxy, const void* listener, void* data) const {
        api_.wl_proxy_add_listener(proxy, reinterpret_cast<void (**)(void)>(const_cast<void*>(listener)), data);
    }
    Proxy own(wl_proxy* proxy, std::int32_t destructor = Proxy::kNoDestructor) const {
        return Proxy(&api_, proxy, destructor);
    }

private:
    Connection(const WaylandApi& api, wl_display* display, std::string name)
        : api_(api), display_(display), name_(std::move(name)) {}

    const WaylandApi& api_;
    wl_display* display_;
    std::string name_;
    bool broken_ = false;
};

// Text for "lost the connection", naming the compositor.
std::string lost_connection_text(const Connection& connection);

}  // namespace vistrel::wayland
