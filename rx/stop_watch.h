// What ends the receiver: a key pressed on its terminal, or SIGTERM, SIGINT or SIGHUP. Both
// are waited for in the same poll as the sockets, so an idle receiver sleeps.
#ifndef RX_STOP_WATCH_H
#define RX_STOP_WATCH_H

#include <poll.h>
#include <termios.h>

#include <vector>

namespace rx {

class StopWatch {
public:
    // Catches the signals; from here on they are let through only while waiting.
    StopWatch();
    // Leaves the terminal as it was found.
    ~StopWatch();
    StopWatch(const StopWatch&) = delete;
    StopWatch& operator=(const StopWatch&) = delete;

    // Waits until one of fds is ready, a key or a signal arrives, or timeout_ms passes
    // (-1: no limit). fds is as it was given, with the results in revents.
    void wait(std::vector<pollfd>& fds, int timeout_ms);
    bool requested() const;
    // The stop came from a key, which stays queued for getch.
    bool by_key() const { return key_; }

private:
    bool watch_keys();

    bool key_ = false;
    bool tty_ = false;
    bool key_mode_ = false;  // the terminal is set so that one key wakes the poll
    termios saved_{};
    bool pause_keys_ = false;
};

}  // namespace rx

#endif
