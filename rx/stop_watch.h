// What ends the receiver: a key pressed on its terminal, or SIGTERM, SIGINT or SIGHUP. Both
// are waited for in the same poll as the sockets, so an idle receiver sleeps.
#ifndef RX_STOP_WATCH_H
#define RX_STOP_WATCH_H

#include <signal.h>
#include <termios.h>

#include <functional>
#include <string>

#include "loop.h"

namespace rx {

class StopWatch {
public:
    // Catches the signals; from here on they are let through only while waiting.
    StopWatch();
    // Leaves the terminal as it was found.
    ~StopWatch();
    StopWatch(const StopWatch&) = delete;
    StopWatch& operator=(const StopWatch&) = delete;

    // Before each turn of the loop: watches the keyboard through it while keys can be read
    // now, and gives the longest wait that allows (timeout_ms, -1 for none, or shorter).
    int before_turn(Loop& loop, int timeout_ms);
    // The signal mask while the loop waits: the stop signals get through only then.
    const sigset_t* wait_mask() const { return &wait_mask_; }
    bool requested() const;
    // Whether keys can come at all: standard input is a terminal.
    bool keys() const { return tty_; }
    // What asked for the stop: "a key press", "SIGTERM"...
    std::string why() const;
    // Decides whether a key stops the receiver; without one, any key does.
    void key_rule(std::function<bool(int key)> rule) { key_rule_ = std::move(rule); }

private:
    bool watch_keys();

    bool key_ = false;
    bool tty_ = false;
    bool key_mode_ = false;  // the terminal is set so that one key wakes the poll
    termios saved_{};
    bool pause_keys_ = false;
    int key_id_ = -1;
    std::function<bool(int key)> key_rule_;  // the keyboard's registration in the loop, while watched
    sigset_t wait_mask_{};
};

}  // namespace rx

#endif
