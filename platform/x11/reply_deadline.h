// How long this thread may wait for the X server. Every reply the provider waits for
// (through the loaded library's reply functions) ends by the innermost deadline in force,
// so a stopped or unreachable server holds no caller longer than its call allows.
#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>

namespace vistrel::x11 {

// Opening a display and reading its layout, when no shorter deadline is in force.
inline constexpr std::chrono::milliseconds kOpenTimeout{5000};
// A frame's replies get at least this long: a short acquisition slice must not abandon
// every image fetch on a slow link.
inline constexpr std::chrono::milliseconds kReplyFloor{250};

// In force for its scope on the constructing thread; scopes nest, the earliest deadline wins.
class ReplyDeadline {
public:
    explicit ReplyDeadline(std::chrono::milliseconds budget);
    ReplyDeadline(const ReplyDeadline&) = delete;
    ReplyDeadline& operator=(const ReplyDeadline&) = delete;
    ~ReplyDeadline();

    // Whether a wait in this scope gave up: the server did not answer in time, or a
    // signal interrupted the wait so that the caller can run its handlers.
    bool ran_out() const;

private:
    std::chrono::steady_clock::time_point outer_deadline_;
    bool outer_had_deadline_;
    bool outer_ran_out_;
};

// The innermost deadline in force on this thread (kOpenTimeout from now outside any).
std::chrono::steady_clock::time_point current_reply_deadline();

// The reply (or error) to `sequence`, waited for until the thread's deadline; null with
// the request's reply discarded when the deadline passes first. What the typed reply
// functions of the loaded library do.
void* wait_for_reply(xcb_connection_t* c, unsigned int sequence, xcb_generic_error_t** error);

// Waits, within the deadline, until the server has answered everything sent so far.
// False when it did not.
bool sync_with_server(xcb_connection_t* c);

}  // namespace vistrel::x11
