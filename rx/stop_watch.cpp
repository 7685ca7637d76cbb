// Signals and the keyboard as events of the receiver's poll.
#include "stop_watch.h"

#include <signal.h>
#include <unistd.h>


#include "lb.h"

namespace rx {

namespace {

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int sig) { stop_signal = sig; }

constexpr int stop_signals[] = {SIGTERM, SIGINT, SIGHUP};

// While the receiver runs in the background its terminal belongs to another job; the
// keyboard is looked at again after this long.
constexpr int background_look_ms = 1000;

sigset_t stop_set() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : stop_signals) sigaddset(&set, sig);
    return set;
}

}  // namespace

StopWatch::StopWatch() : tty_(::isatty(STDIN_FILENO) == 1) {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : stop_signals) sigaction(sig, &sa, nullptr);
    // Blocked outside the wait: a signal that comes between two waits ends the next one at
    // once instead of being missed until some other event.
    const sigset_t set = stop_set();
    sigprocmask(SIG_BLOCK, &set, &wait_mask_);
    for (int sig : stop_signals) sigdelset(&wait_mask_, sig);
}

StopWatch::~StopWatch() {
    if (key_mode_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

bool StopWatch::requested() const { return stop_signal || key_; }

std::string StopWatch::why() const {
    if (key_) return "a key press";
    switch (stop_signal) {
        case SIGTERM: return "SIGTERM";
        case SIGINT: return "SIGINT (Ctrl-C)";
        case SIGHUP: return "SIGHUP";
        default: return "";
    }
}

// True when keys can be waited for now: standard input is a terminal and this process is
// in its foreground. The terminal is then set so that a single key (not a whole line)
// makes standard input readable; echo and the signal keys stay as they were.
bool StopWatch::watch_keys() {
    if (!tty_ || pause_keys_ || tcgetpgrp(STDIN_FILENO) != getpgrp()) return false;
    if (!key_mode_) {
        if (tcgetattr(STDIN_FILENO, &saved_) != 0) return false;
        termios one_key = saved_;
        one_key.c_lflag &= ~static_cast<tcflag_t>(ICANON);
        one_key.c_cc[VMIN] = 0;
        one_key.c_cc[VTIME] = 0;
        if (tcsetattr(STDIN_FILENO, TCSANOW, &one_key) != 0) return false;
        key_mode_ = true;
    }
    return true;
}

int StopWatch::before_turn(Loop& loop, int timeout_ms) {
    const bool keys = !requested() && watch_keys();
    pause_keys_ = false;
    if (keys && key_id_ < 0) {
        key_id_ = loop.watch(STDIN_FILENO, POLLIN, [this](short) {
            if (kbhit()) key_ = !key_rule_ || key_rule_(getch());
            // Readable but no key for us (the terminal went to another job, or hung up):
            // look again later rather than spin on it.
            else pause_keys_ = true;
        });
    } else if (!keys && key_id_ >= 0) {
        loop.forget(key_id_);
        key_id_ = -1;
    }
    if (!keys && tty_ && (timeout_ms < 0 || timeout_ms > background_look_ms)) timeout_ms = background_look_ms;
    return requested() ? 0 : timeout_ms;
}

}  // namespace rx
