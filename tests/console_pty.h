// Test helpers for the console: standard input on a pseudo-terminal, typing into it and
// reading what was written to it, a scratch directory, and a guard against hanging.
#ifndef TESTS_CONSOLE_PTY_H
#define TESTS_CONSOLE_PTY_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "test_support.h"

// Standard input replaced by the slave side of a fresh pseudo-terminal. It is not the
// process's controlling terminal, so no job control gets in the way.
class StdinPty {
public:
    StdinPty() {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) std::abort();
        saved_stdin_ = dup(0);
        dup2(slave_, 0);
        tcgetattr(slave_, &initial_);
    }
    ~StdinPty() {
        dup2(saved_stdin_, 0);
        close(saved_stdin_);
        close(slave_);
        close(master_);
    }
    StdinPty(const StdinPty&) = delete;
    StdinPty& operator=(const StdinPty&) = delete;

    // Keys as the terminal would send them.
    void type(std::string_view keys) const {
        const auto n = static_cast<ssize_t>(keys.size());
        if (write(master_, keys.data(), keys.size()) != n) std::abort();
    }
    // Everything written to the terminal so far, waiting until it has been quiet for idle_ms.
    std::string output(int idle_ms = 40) const {
        std::string out;
        char bf[4096];
        struct pollfd p = {master_, POLLIN, 0};
        while (poll(&p, 1, idle_ms) == 1 && (p.revents & POLLIN)) {
            const ssize_t n = read(master_, bf, sizeof bf);
            if (n <= 0) break;
            out.append(bf, static_cast<std::size_t>(n));
        }
        return out;
    }
    // Waits until n bytes are ready to be read on standard input (they reach the slave side
    // asynchronously). Counts whole lines only while the terminal is in line mode.
    bool wait_queued(int n, int timeout_ms = 2000) const {
        for (int waited = 0; waited <= timeout_ms; waited += 2) {
            int queued = 0;
            if (ioctl(slave_, FIONREAD, &queued) == 0 && queued >= n) return true;
            usleep(2000);
        }
        return false;
    }
    struct termios settings() const {
        struct termios t{};
        tcgetattr(slave_, &t);
        return t;
    }
    const struct termios& initial() const { return initial_; }
    int slave() const { return slave_; }

private:
    int master_ = -1, slave_ = -1, saved_stdin_ = -1;
    struct termios initial_{};
};

inline bool same_settings(const struct termios& a, const struct termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

// Runs the test inside a fresh directory (files such as screen dumps land there).
class ScratchDir {
public:
    ScratchDir() { std::filesystem::current_path(tmp_.dir()); }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::current_path(old_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

private:
    std::filesystem::path old_ = std::filesystem::current_path();
    lbtest::TempDir tmp_{"console_test"};
};

// A test that blocks where it must not is killed by SIGALRM instead of hanging the suite.
class HangGuard {
public:
    explicit HangGuard(unsigned secs = 10) { alarm(secs); }
    ~HangGuard() { alarm(0); }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;
};

inline std::string read_file(const char* fnam) { return lbtest::get_file(fnam); }

#endif
