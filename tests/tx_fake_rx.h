// A receiver played by scripts over socket pairs, for the sender's tests: each connection the
// sender dials runs the next script on a thread of its own. Also what the sender printed.
#ifndef TESTS_TX_FAKE_RX_H
#define TESTS_TX_FAKE_RX_H

#include <fcntl.h>
#include <poll.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel.h"
#include "console.h"
#include "link.h"

namespace txtest {

using What = tx::Outcome::What;

// The receiver's end of one connection, read blocking; inside TLS once secure() said so.
class RxEnd {
public:
    explicit RxEnd(int fd) : fd_(fd) {}
    ~RxEnd() {
        tls_.reset();
        ::close(fd_);
    }

    // The server's handshake with the sender; false when it failed or took more than 5 s.
    bool secure(const tls::Context& server) {
        ::fcntl(fd_, F_SETFL, O_NONBLOCK);
        tls_ = std::make_unique<tls::Channel>(fd_, server);
        for (auto step = tls_->handshake(); step != tls::Channel::Step::done; step = tls_->handshake())
            if (step == tls::Channel::Step::failed || !ready(tls_->events())) return false;
        return true;
    }
    tls::Channel* channel() { return tls_.get(); }

    // Exactly n bytes, fewer when the sender closed first.
    std::string bytes(std::size_t n) {
        std::string got(n, '\0');
        std::size_t at = 0;
        while (at < n) {
            const ssize_t r = tls_ ? tls_->read(got.data() + at, n - at) : ::read(fd_, got.data() + at, n - at);
            if (r < 0 && errno == EAGAIN && ready(tls_->events())) continue;
            closed_ = r <= 0;
            if (r <= 0) break;
            at += static_cast<std::size_t>(r);
        }
        got.resize(at);
        return got;
    }
    // A line without its CR; what came before the sender closed, else.
    std::string line() {
        std::string got;
        for (std::string c; (c = bytes(1)).size() == 1 && c != "\r";) got += c;
        return got;
    }
    void say(const std::string& text) {
        for (std::size_t at = 0; at < text.size();) {
            const ssize_t r = tls_ ? tls_->write(text.data() + at, text.size() - at)
                                   : ::write(fd_, text.data() + at, text.size() - at);
            if (r < 0 && tls_ && errno == EAGAIN && ready(tls_->events())) continue;
            ASSERT_GT(r, 0) << "the sender went away";
            at += static_cast<std::size_t>(r);
        }
    }
    // Whether the sender closed without sending anything more.
    bool ended() { return bytes(1).empty(); }
    // Whether the last read found the sender gone.
    bool closed() const { return closed_; }
    // Whether nothing comes within ms.
    bool quiet(int ms) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, ms) == 0;
    }

private:
    bool ready(short events) {
        pollfd p{fd_, events, 0};
        return ::poll(&p, 1, 5000) > 0;
    }

    int fd_;
    bool closed_ = false;
    std::unique_ptr<tls::Channel> tls_;
};

// What a receiver read of one file under the extension.
struct Arrived {
    std::string request;  // the four header lines, each with its CR
    std::uint64_t from = 0;
    std::string body;
    std::string sum;  // the SUM line without its CR
};

// A receiver played by scripts: each connection the sender makes runs the next script on a
// thread of its own; once they are used up, nothing listens.
class FakeRx {
public:
    using Script = std::function<void(RxEnd&)>;
    explicit FakeRx(std::vector<Script> scripts) : scripts_(std::move(scripts)) {}
    ~FakeRx() { join(); }

    tx::Dial dial() {
        return [this](tx::Outcome& o) {
            const std::lock_guard lock(m_);
            const std::size_t n = dialled_++;
            int sd[2];
            if (n >= scripts_.size() || ::socketpair(AF_UNIX, SOCK_STREAM, 0, sd) != 0) {
                o.what = What::no_connection;
                o.failure.sys_errno = ECONNREFUSED;
                return -1;
            }
            ::fcntl(sd[0], F_SETFL, O_NONBLOCK);
            threads_.emplace_back([this, n, rx = sd[1]] {
                RxEnd end(rx);
                scripts_[n](end);
            });
            return sd[0];
        };
    }
    void join() {
        const std::lock_guard lock(m_);
        for (auto& t : threads_) t.join();
        threads_.clear();
    }
    std::size_t dialled() const { return dialled_; }

private:
    std::vector<Script> scripts_;
    std::mutex m_;  // the sessions of -j dial from threads of their own
    std::vector<std::thread> threads_;
    std::atomic<std::size_t> dialled_{0};
};

// What the sender printed, from a console on a file of its own (a log, not a terminal).
class Printed {
public:
    Printed() : file_(std::tmpfile()), console_(file_, false) {}
    ~Printed() { std::fclose(file_); }
    cli::Console& console() { return console_; }
    std::string text() {
        std::fflush(file_);
        std::rewind(file_);
        std::string all;
        for (int c; (c = std::fgetc(file_)) != EOF;) all += static_cast<char>(c);
        return all;
    }

private:
    std::FILE* file_;
    cli::Console console_;
};

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

}  // namespace txtest

#endif
