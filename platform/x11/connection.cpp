#include "platform/x11/connection.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/x11/forks.h"
#include "platform/x11/refusal.h"
#include "platform/x11/reply_deadline.h"

namespace vistrel::x11 {
namespace {

const char* connection_error_reason(int code) {
    switch (code) {
        case XCB_CONN_ERROR:
            return "the server is not running or refused the connection";
        case XCB_CONN_CLOSED_EXT_NOTSUPPORTED:
            return "an extension is not supported";
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
            return "out of memory";
        case XCB_CONN_CLOSED_REQ_LEN_EXCEED:
            return "request too long";
        case XCB_CONN_CLOSED_PARSE_ERR:
            return "the display name cannot be parsed";
        case XCB_CONN_CLOSED_INVALID_SCREEN:
            return "no such screen";
        case XCB_CONN_CLOSED_FDPASSING_FAILED:
            return "file descriptor passing failed";
        default:
            return "connection error";
    }
}

// One xcb_connect, shared between the caller and the thread that makes it: whichever
// finishes last owns (and, if abandoned, disconnects) the connection. The thread signals
// through a pipe, which the caller polls: a signal (Ctrl+C) ends that wait too.
struct ConnectAttempt {
    ConnectAttempt() {
        if (pipe2(pipe, O_CLOEXEC) != 0) pipe[0] = pipe[1] = -1;
    }
    ConnectAttempt(const ConnectAttempt&) = delete;
    ConnectAttempt& operator=(const ConnectAttempt&) = delete;
    ~ConnectAttempt() {
        for (int fd : pipe)
            if (fd >= 0) close(fd);
    }

    int pipe[2];
    std::mutex mutex;
    bool finished = false;   // guarded by mutex
    bool abandoned = false;  // guarded by mutex
    xcb_connection_t* connection = nullptr;
};

// xcb_connect, which waits for the server's handshake without limit, made on a thread of
// its own so that the caller waits only until its deadline or a signal. Null when it gave
// up; a connection that completes later is closed by that thread.
xcb_connection_t* connect_within_deadline(const XcbApi& api, const std::string& display) {
    auto attempt = std::make_shared<ConnectAttempt>();
    if (attempt->pipe[0] < 0) return api.xcb_connect(display.c_str(), nullptr);  // no pipe: connect here
    try {
        std::thread([attempt, &api, display] {
            xcb_connection_t* connection = api.xcb_connect(display.c_str(), nullptr);
            std::lock_guard lock(attempt->mutex);
            if (attempt->abandoned) {
                api.xcb_disconnect(connection);
                return;
            }
            attempt->connection = connection;
            attempt->finished = true;
            const char done = 1;
            (void)!write(attempt->pipe[1], &done, 1);
        }).detach();
    } catch (const std::system_error&) {
        return api.xcb_connect(display.c_str(), nullptr);  // no thread to spare: connect here
    }
    const auto deadline = current_reply_deadline();
    for (;;) {
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd descriptor{attempt->pipe[0], POLLIN, 0};
        const int ready = left > 0 ? poll(&descriptor, 1, static_cast<int>(std::min<long long>(left, 1000))) : 0;
        std::lock_guard lock(attempt->mutex);
        if (attempt->finished) return attempt->connection;
        if (ready < 0 || left <= 0) {
            attempt->abandoned = true;
            return nullptr;
        }
    }
}

}  // namespace

std::string display_name() {
    const char* name = std::getenv("DISPLAY");
    return name ? name : "";
}

std::shared_ptr<Connection> Connection::open(const std::string& display, XFailure& failure) {
    std::string load_error;
    const XcbApi* api = xcb_api(load_error);
    if (!api) {
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, "cannot connect to X display: " + load_error};
        return nullptr;
    }
    if (display.empty()) {
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, "cannot connect to X display: DISPLAY is not set"};
        return nullptr;
    }
    xcb_connection_t* connection = connect_within_deadline(*api, display);
    if (!connection) {
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, no_answer_text(display)};
        return nullptr;
    }
    if (int code = api->xcb_connection_has_error(connection)) {
        api->xcb_disconnect(connection);  // xcb hands out an error object even on failure
        // libxcb says the same for no server and a refused handshake: ask the server why.
        std::string reason = code == XCB_CONN_ERROR ? refusal_reason(display) : std::string();
        if (reason.empty()) reason = connection_error_reason(code);
        failure = {DXGI_ERROR_NOT_CURRENTLY_AVAILABLE, "cannot connect to X display '" + display + "': " + reason};
        return nullptr;
    }
    return std::shared_ptr<Connection>(new Connection(*api, connection, display));
}

Connection::Connection(const XcbApi& api, xcb_connection_t* connection, std::string display)
    : api_(api), connection_(connection), display_(std::move(display)), generation_(fork_generation()) {}

bool Connection::inherited() const { return fork_generation() != generation_; }

Connection::~Connection() {
    // The socket is shared with the parent after a fork: disconnecting would shut it down
    // for the parent too. The child only closes its copy and leaves libxcb's record.
    if (inherited())
        close(api_.xcb_get_file_descriptor(connection_));
    else
        api_.xcb_disconnect(connection_);
}

const xcb_screen_t* Connection::screen(std::uint32_t index) const {
    xcb_screen_iterator_t it = api_.xcb_setup_roots_iterator(api_.xcb_get_setup(connection_));
    for (std::uint32_t i = 0; it.rem > 0; ++i, api_.xcb_screen_next(&it))
        if (i == index) return it.data;
    return nullptr;
}

std::string lost_connection_text(const Connection& connection) {
    return "lost the connection to X display '" + connection.display() + "'";
}

std::string no_answer_text(const std::string& display) {
    return "X display '" + display + "' did not answer within " + std::to_string(kOpenTimeout.count()) +
           " ms (a stopped server, or a network that stopped passing its traffic)";
}

}  // namespace vistrel::x11
