#include "platform/x11/stall_watch.h"

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/x11/forks.h"

namespace vistrel::x11 {
namespace {

using Clock = std::chrono::steady_clock;

// One thread per process, started on first need, sleeping until the earliest watch is due.
struct Watchdog {
    struct Watch {
        int fd;
        Clock::time_point due;
    };

    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::uint64_t, Watch> watches;                     // guarded by mutex
    std::uint64_t next_id = 0;                                  // guarded by mutex
    Clock::time_point sleeps_until = Clock::time_point::max();  // guarded by mutex
    const std::uint64_t generation = fork_generation();

    void run() {
        std::unique_lock lock(mutex);
        for (;;) {
            auto earliest = watches.end();
            for (auto it = watches.begin(); it != watches.end(); ++it)
                if (earliest == watches.end() || it->second.due < earliest->second.due) earliest = it;
            if (earliest != watches.end() && earliest->second.due <= Clock::now()) {
                shutdown(earliest->second.fd, SHUT_RDWR);  // ends libxcb's wait; the owner sees a lost connection
                earliest->second.due = Clock::time_point::max();
                continue;
            }
            sleeps_until = earliest == watches.end() ? Clock::time_point::max() : earliest->second.due;
            if (sleeps_until == Clock::time_point::max())
                changed.wait(lock);
            else
                changed.wait_until(lock, sleeps_until);
        }
    }
};

// The process's watchdog. A fork's child gets one of its own: the parent's thread was not
// copied, and its record is left as it was (its mutex may have been held).
Watchdog& watchdog() {
    static std::mutex creating;
    static Watchdog* current = nullptr;
    std::lock_guard lock(creating);
    if (!current || current->generation != fork_generation()) {
        current = new Watchdog();  // lives for the process, as its thread does
        std::thread([dog = current] { dog->run(); }).detach();
    }
    return *current;
}

}  // namespace

StallWatch::StallWatch(int fd, Clock::time_point deadline) {
    Watchdog& dog = watchdog();
    const Clock::time_point due = deadline + kStallGrace;
    std::lock_guard lock(dog.mutex);
    id_ = dog.next_id++;
    dog.watches.emplace(id_, Watchdog::Watch{fd, due});
    if (due < dog.sleeps_until) dog.changed.notify_one();
}

StallWatch::~StallWatch() {
    Watchdog& dog = watchdog();
    std::lock_guard lock(dog.mutex);
    dog.watches.erase(id_);
}

}  // namespace vistrel::x11
