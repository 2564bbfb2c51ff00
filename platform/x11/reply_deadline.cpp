#include "platform/x11/reply_deadline.h"

#include <poll.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/x11/stall_watch.h"
#include "platform/x11/xcb_library.h"

namespace vistrel::x11 {
namespace {

using Clock = std::chrono::steady_clock;

struct ThreadDeadline {
    bool set = false;
    Clock::time_point at;
    bool ran_out = false;
};
thread_local ThreadDeadline t_deadline;

const XcbApi& api() {
    std::string unused;
    return *xcb_api(unused);  // loaded: only its own functions call here
}

}  // namespace

Clock::time_point current_reply_deadline() {
    // Outside any scope a wait is still bounded: nothing in the provider may wait for ever.
    return t_deadline.set ? t_deadline.at : Clock::now() + kOpenTimeout;
}

ReplyDeadline::ReplyDeadline(std::chrono::milliseconds budget)
    : outer_deadline_(t_deadline.at), outer_had_deadline_(t_deadline.set), outer_ran_out_(t_deadline.ran_out) {
    const Clock::time_point at = Clock::now() + budget;
    t_deadline.at = t_deadline.set ? std::min(t_deadline.at, at) : at;
    t_deadline.set = true;
    t_deadline.ran_out = false;
}

ReplyDeadline::~ReplyDeadline() {
    t_deadline.at = outer_deadline_;
    t_deadline.set = outer_had_deadline_;
    t_deadline.ran_out = outer_ran_out_ || t_deadline.ran_out;
}

bool ReplyDeadline::ran_out() const { return t_deadline.ran_out; }

void* wait_for_reply(xcb_connection_t* c, unsigned int sequence, xcb_generic_error_t** error) {
    const XcbApi& x = api();
    if (error) *error = nullptr;
    const Clock::time_point deadline = current_reply_deadline();
    const int fd = x.xcb_get_file_descriptor(c);
    {
        const StallWatch watch(fd, deadline);
        x.xcb_flush(c);
    }
    for (;;) {
        void* reply = nullptr;
        xcb_generic_error_t* failed = nullptr;
        // Reads what has arrived without waiting, events queued for later, except the rest
        // of a packet already begun, which the watch bounds.
        int answered;
        {
            const StallWatch watch(fd, deadline);
            answered = x.xcb_poll_for_reply(c, sequence, &reply, &failed);
        }
        if (answered) {
            if (error)
                *error = failed;
            else
                std::free(failed);
            return reply;
        }
        if (x.xcb_connection_has_error(c)) return nullptr;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left > 0) {
            pollfd descriptor{fd, POLLIN, 0};
            // An interrupting signal gives up too: the caller's thread runs its handlers next.
            if (poll(&descriptor, 1, static_cast<int>(std::min<long long>(left, 1000))) >= 0) continue;
        }
        // Given up: a reply that arrives later is dropped instead of answering another request.
        x.xcb_discard_reply(c, sequence);
        t_deadline.ran_out = true;
        return nullptr;
    }
}

bool sync_with_server(xcb_connection_t* c) {
    // Replies come in request order: once this one is in, every earlier one is too.
    void* reply = wait_for_reply(c, api().xcb_get_input_focus(c).sequence, nullptr);
    std::free(reply);
    return reply != nullptr;
}

}  // namespace vistrel::x11
