#include "platform/wayland/connection.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/wayland/protocols.h"

namespace vistrel::wayland {

std::string display_name() {
    const char* name = std::getenv("WAYLAND_DISPLAY");
    return name ? name : "";
}

Proxy& Proxy::operator=(Proxy&& other) noexcept {
    if (this != &other) {
        reset();
        api_ = other.api_;
        proxy_ = other.proxy_;
        destructor_ = other.destructor_;
        other.proxy_ = nullptr;
    }
    return *this;
}

void Proxy::reset() {
    if (!proxy_) return;
    if (destructor_ == kNoDestructor)
        api_->wl_proxy_destroy(proxy_);
    else
        api_->wl_proxy_marshal_flags(proxy_, static_cast<std::uint32_t>(destructor_), nullptr,
                                     api_->wl_proxy_get_version(proxy_), WL_MARSHAL_FLAG_DESTROY);
    proxy_ = nullptr;
}

std::unique_ptr<Connection> Connection::open(const std::string& name, WlFailure& failure) {
    std::string load_error;
    const WaylandApi* api = wayland_api(load_error);
    if (!api) {
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, "cannot connect to Wayland display: " + load_error};
        return nullptr;
    }
    if (name.empty()) {
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, "cannot connect to Wayland display: WAYLAND_DISPLAY is not set"};
        return nullptr;
    }
    wl_display* display = api->wl_display_connect(name.c_str());
    if (!display) {
        const int error = errno;
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE,
                   "cannot connect to Wayland display '" + name + "': " + std::strerror(error)};
        return nullptr;
    }
    return std::unique_ptr<Connection>(new Connection(*api, display, name));
}

Connection::~Connection() { api_.wl_display_disconnect(display_); }

bool Connection::wait(Clock::time_point deadline, const std::function<bool()>& done, int wake) {
    // Once the deadline has passed, what already arrived is still read and dispatched
    // once, so a zero time-out takes a waiting event instead of never looking.
    bool last_look = false;
    for (;;) {
        if (api_.wl_display_dispatch_pending(display_) < 0) broken_ = true;
        if (broken()) return false;
        if (done()) return true;
        if (last_look) return false;
        // Events queued since the dispatch are dispatched first, so the read below never
        // takes the place of an event already queued.
        if (api_.wl_display_prepare_read(display_) != 0) continue;
        if (api_.wl_display_flush(display_) < 0 && errno != EAGAIN) {
            api_.wl_display_cancel_read(display_);
            broken_ = true;
            return false;
        }
        int timeout_ms = -1;  // no deadline
        if (deadline != Clock::time_point::max()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now() +
                                                                                    std::chrono::microseconds(999));
            timeout_ms = static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT_MAX));
        }
        pollfd descriptors[2] = {{api_.wl_display_get_fd(display_), POLLIN, 0}, {wake, POLLIN, 0}};
        const int ready = poll(descriptors, wake >= 0 ? 2 : 1, timeout_ms);
        if (ready > 0 && descriptors[1].revents) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t drained = read(wake, &count, sizeof count);
        }
        if (ready > 0 && descriptors[0].revents) {
            if (api_.wl_display_read_events(display_) < 0) broken_ = true;
        } else {
            api_.wl_display_cancel_read(display_);
            if (ready < 0 && errno != EINTR) broken_ = true;
        }
        last_look = deadline != Clock::time_point::max() && Clock::now() >= deadline;
    }
}

bool Connection::roundtrip(Clock::time_point deadline) {
    bool answered = false;
    static const struct {
        void (*done)(void*, wl_proxy*, std::uint32_t);
    } listener = {[](void* data, wl_proxy*, std::uint32_t) { *static_cast<bool*>(data) = true; }};
    Proxy callback = own(create(display_proxy(), request::kDisplaySync, api_.wl_callback_interface, 1, nullptr));
    if (!callback) return false;
    listen(callback.get(), &listener, &answered);
    return wait(deadline, [&] { return answered; });
}

std::string lost_connection_text(const Connection& connection) {
    return "lost the connection to Wayland display '" + connection.name() + "'";
}

}  // namespace vistrel::wayland
