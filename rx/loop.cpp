// One wait for every descriptor, then each ready one's handler.
#include "loop.h"

#include <cerrno>
#include <ctime>

#include "lb.h"

namespace rx {

int Loop::watch(int fd, short events, Handler handler) {
    const int id = next_id_++;
    entries_.emplace(id, Entry{fd, events, std::move(handler)});
    return id;
}

void Loop::interest(int id, short events) {
    if (auto it = entries_.find(id); it != entries_.end()) it->second.events = events;
}

void Loop::forget(int id) { entries_.erase(id); }

void Loop::turn(int timeout_ms, const sigset_t* wait_mask) {
    fds_.clear();
    ids_.clear();
    for (const auto& [id, e] : entries_) {
        fds_.push_back({e.fd, e.events, 0});
        ids_.push_back(id);
    }
    timespec ts{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    if (ppoll(fds_.data(), fds_.size(), timeout_ms < 0 ? nullptr : &ts, wait_mask) < 0) {
        if (errno != EINTR) SLEEP_MS(10);  // never spin on a failing poll
        return;
    }
    for (std::size_t i = 0; i < fds_.size(); ++i) {
        if (!fds_[i].revents) continue;
        // A handler before may have ended this registration.
        const auto it = entries_.find(ids_[i]);
        if (it != entries_.end()) it->second.handler(fds_[i].revents);
    }
}

}  // namespace rx
