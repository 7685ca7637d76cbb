// The receiver's event loop: each descriptor is registered with what it waits for and the
// handler that runs when it is ready, so nothing finds a descriptor by its position.
#ifndef RX_LOOP_H
#define RX_LOOP_H

#include <poll.h>
#include <signal.h>

#include <functional>
#include <map>
#include <vector>

namespace rx {

class Loop {
public:
    using Handler = std::function<void(short revents)>;

    // Registers fd; gives the registration's number, for interest() and forget().
    int watch(int fd, short events, Handler handler);
    void interest(int id, short events);
    // Ends a registration. Safe from inside a handler: a ready descriptor whose registration
    // is gone is not handled, even when its number has been reused meanwhile.
    void forget(int id);

    // Waits until a registered descriptor is ready or timeout_ms passes (-1: no limit),
    // letting the signals not in wait_mask through only while waiting, then runs the handler
    // of each ready descriptor.
    void turn(int timeout_ms, const sigset_t* wait_mask);

private:
    struct Entry {
        int fd;
        short events;
        Handler handler;
    };
    std::map<int, Entry> entries_;
    int next_id_ = 0;
    std::vector<pollfd> fds_;
    std::vector<int> ids_;  // the registration of each of fds_
};

}  // namespace rx

#endif
