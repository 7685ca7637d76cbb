// What the receiver's connection tests share: a receiving directory of their own, the rules
// and a view printing to a file, and a Transfer on one end of a socketpair, maybe after a
// hello.
#ifndef TESTS_RX_SUPPORT_H
#define TESTS_RX_SUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "digest.h"
#include "ext.h"
#include "test_support.h"
#include "transfer.h"

namespace rxtest {

// FROM, the body from there, and SUM, as a sender sends them for content.
inline std::string rest_of(const std::string& content, std::uint64_t from) {
    return wire::from_line(from) + content.substr(from) +
           wire::sum_line(wire::Digest::of(content.data(), from), wire::Digest::of(content.data(), content.size()));
}

// One connection: the test's end of a socketpair and the receiver's Transfer on the other.
struct Link {
    int peer = -1;
    std::unique_ptr<rx::Transfer> t;

    ~Link() {
        t.reset();
        if (peer >= 0) ::close(peer);
    }
    // Sends as the peer; the receiver takes bytes (and reads its work files back) meanwhile.
    void send(const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size() && !t->finished();) {
            const ssize_t n = ::send(peer, bytes.data() + at, std::min<std::size_t>(bytes.size() - at, 1 << 20), MSG_NOSIGNAL);
            if (n > 0) at += static_cast<std::size_t>(n);
            else ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
            t->on_readable(rx::Clock::now());
            settle();
        }
    }
    void settle() {
        while (t->busy()) t->work(rx::Clock::now());
    }
    // Everything the receiver has answered so far.
    std::string answers() {
        std::string all;
        char buf[4096];
        for (ssize_t n; (n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT)) > 0;) all.append(buf, static_cast<std::size_t>(n));
        return all;
    }
    void hang_up() {
        ::shutdown(peer, SHUT_WR);
        t->on_readable(rx::Clock::now());
    }
};

class Receiving : public ::testing::Test {
protected:
    explicit Receiving(const std::string& prefix) : tmp_(prefix) {}

    void SetUp() override {
        ASSERT_FALSE(tmp_.dir().empty());
        rules_.store.root_fd = ::open(tmp_.dir().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        rules_.store.min_free = 0;
        out_ = std::tmpfile();
        view_ = std::make_unique<rx::View>(out_, false, false);
    }
    void TearDown() override {
        ::close(rules_.store.root_fd);
        std::fclose(out_);
        lbtest::pending();
    }

    // A connection from 127.0.0.9:5555; peer becomes the sender's end.
    std::unique_ptr<rx::Transfer> transfer(int& peer) {
        int sv[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv), 0);
        peer = sv[1];
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(0x7F000009);
        addr.sin_port = htons(5555);
        return std::make_unique<rx::Transfer>(sv[0], addr, 9500, rules_, *view_, rx::Clock::now());
    }
    std::unique_ptr<Link> connect() {
        auto link = std::make_unique<Link>();
        link->t = transfer(link->peer);
        return link;
    }
    // A connection that has said hello (with these features) and been answered.
    std::unique_ptr<Link> session(const wire::Hello& hello = wire::our_hello()) {
        auto link = connect();
        link->send(wire::hello_header(hello));
        EXPECT_EQ(link->answers(), wire::hello_line(wire::agreed(wire::our_hello(), hello)) + "\r");
        return link;
    }
    std::string printed() {
        std::fflush(out_);
        std::rewind(out_);
        std::string text;
        for (int c; (c = std::fgetc(out_)) != EOF;) text += static_cast<char>(c);
        return text;
    }
    // Work files and kept parts anywhere in the receiving directory, in name order.
    std::string leftovers() const {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::recursive_directory_iterator(tmp_.dir()))
            if (e.path().filename().string().starts_with(".catchr-")) names.insert(e.path().filename().string());
        std::string found;
        for (const std::string& name : names) found += name + " ";
        return found;
    }

    lbtest::TempDir tmp_;
    rx::Rules rules_;
    std::FILE* out_ = nullptr;
    std::unique_ptr<rx::View> view_;
};

}  // namespace rxtest

#endif
