// The TLS channel over a socket pair that does not block, each end driven by poll() as the
// programs' loops drive it: a handshake with both certificates, the same pairing code on
// both ends, bytes both ways, and bytes that are not TLS, a stalled peer or an older
// protocol version failing cleanly.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "channel.h"
#include "keys.h"
#include "test_support.h"
#include "tls_support.h"

namespace {

using Step = tls::Channel::Step;
using Role = tls::Channel::Role;
constexpr int wait_ms = 2000;

struct Pair {
    int sd[2] = {-1, -1};
    Pair() { EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sd), 0); }
    ~Pair() {
        close(sd[0]);
        close(sd[1]);
    }
};

// Waits until one of the channels' sockets is ready for what it wants; false on time-out.
bool wait_for(const tls::Channel& a, int sa, const tls::Channel& b, int sb) {
    pollfd fds[] = {{sa, a.events(), 0}, {sb, b.events(), 0}};
    return poll(fds, 2, wait_ms) > 0;
}

// Both handshakes to their end, as a loop would drive them.
void shake(tls::Channel& c, tls::Channel& s, const Pair& p) {
    while (c.handshake() != Step::failed && s.handshake() != Step::failed && !(c.done() && s.done()))
        ASSERT_TRUE(wait_for(c, p.sd[0], s, p.sd[1])) << "the handshake stalled";
    ASSERT_TRUE(c.done() && s.done()) << c.why() << " / " << s.why();
}

// Moves bytes from one channel to the other through a socket that takes less than all of them.
std::string pass(tls::Channel& from, int from_sd, tls::Channel& to, int to_sd, const std::string& bytes) {
    std::string got;
    std::size_t sent = 0;
    char buf[65536];
    while (got.size() < bytes.size()) {
        const ssize_t w = sent < bytes.size() ? from.write(bytes.data() + sent, bytes.size() - sent) : 0;
        if (w > 0) {
            sent += static_cast<std::size_t>(w);
        } else if (w < 0) {
            EXPECT_EQ(errno, EAGAIN) << from.why();
        }
        const ssize_t r = to.read(buf, sizeof buf);
        if (r > 0) got.append(buf, static_cast<std::size_t>(r));
        else if (r < 0 && errno != EAGAIN) break;
        if (w <= 0 && r <= 0 && !wait_for(from, from_sd, to, to_sd)) break;
    }
    return got;
}

TEST(Channel, BothEndsAgreeOnCodeAndKeysAndBytesGoBothWays) {
    Pair p;
    const tlstest::Side cl(Role::client), sv(Role::server);
    tls::Channel c(p.sd[0], cl.context), s(p.sd[1], sv.context);
    shake(c, s, p);
    EXPECT_EQ(c.pairing_code().size(), 6u);
    EXPECT_EQ(c.pairing_code().find_first_not_of("0123456789"), std::string::npos) << c.pairing_code();
    EXPECT_EQ(c.pairing_code(), s.pairing_code());
    EXPECT_EQ(c.peer_fingerprint(), sv.id.fingerprint());
    EXPECT_EQ(s.peer_fingerprint(), cl.id.fingerprint());

    const std::string big = lbtest::random_bytes(3 << 20, 7);  // more than the socket holds
    EXPECT_TRUE(pass(c, p.sd[0], s, p.sd[1], big) == big);
    EXPECT_EQ(pass(s, p.sd[1], c, p.sd[0], "OK\r"), "OK\r");
    EXPECT_EQ(c.close_notify(), Step::done);
    char byte;
    EXPECT_EQ(s.read(&byte, 1), 0);
}

TEST(Channel, EachConnectionHasACodeOfItsOwn) {
    const tlstest::Side cl(Role::client), sv(Role::server);
    std::string codes[2];
    for (auto& code : codes) {
        Pair p;
        tls::Channel c(p.sd[0], cl.context), s(p.sd[1], sv.context);
        shake(c, s, p);
        code = s.pairing_code();
    }
    // One chance in a million of a false alarm.
    EXPECT_NE(codes[0], codes[1]);
}

// The server fed what came from a peer that then stops sending: it must fail with a reason
// within a few turns, never wait for more.
TEST(Channel, WhatIsNotTlsFailsTheServerCleanly) {
    const tlstest::Side sv(Role::server);
    const struct {
        const char* what;
        std::string bytes, why;
    } cases[] = {
        {"random bytes", lbtest::random_bytes(4096, 1), "the TLS handshake failed: the peer does not speak TLS"},
        {"a record that claims more than it holds", std::string("\x16\x03\x01\x40\x00hello", 10),
         "the TLS handshake failed: the peer closed the connection"},
        {"a hello of the extension", "\r\rCATCHR-EXT 1 verify resume times\r",
         "the TLS handshake failed: the peer does not speak TLS"},
        {"nothing at all", "", "the TLS handshake failed: the peer closed the connection"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Pair p;
        ASSERT_EQ(write(p.sd[0], c.bytes.data(), c.bytes.size()), static_cast<ssize_t>(c.bytes.size()));
        shutdown(p.sd[0], SHUT_WR);
        tls::Channel s(p.sd[1], sv.context);
        int turns = 0;
        for (; turns < 10 && s.handshake() != Step::failed; ++turns) {
            pollfd fd{p.sd[1], s.events(), 0};
            ASSERT_EQ(poll(&fd, 1, wait_ms), 1);
        }
        EXPECT_TRUE(s.failed());
        EXPECT_EQ(s.events(), 0);
        EXPECT_EQ(s.why(), c.why);
        char byte;
        EXPECT_EQ(s.read(&byte, 1), -1);
    }
}

TEST(Channel, AStalledClientLeavesTheServerWaitingToRead) {
    Pair p;
    const tlstest::Side cl(Role::client), sv(Role::server);
    const auto t0 = tls::Channel::Clock::now();
    tls::Channel c(p.sd[0], cl.context), s(p.sd[1], sv.context, t0);
    ASSERT_EQ(c.handshake(), Step::want_read);  // its hello went; it does not go on
    Step step;
    while ((step = s.handshake()) == Step::want_write) {
        pollfd fd{p.sd[1], POLLOUT, 0};
        ASSERT_EQ(poll(&fd, 1, wait_ms), 1);
    }
    ASSERT_EQ(step, Step::want_read) << s.why();
    EXPECT_EQ(s.events(), POLLIN);
    // Nothing to read: a loop that polls for it sleeps rather than spins.
    pollfd fd{p.sd[1], s.events(), 0};
    EXPECT_EQ(poll(&fd, 1, 50), 0);
    EXPECT_EQ(s.handshake(), Step::want_read);
    EXPECT_GE(s.waited(), std::chrono::milliseconds(50));
    EXPECT_EQ(s.pairing_code(), "");
    EXPECT_EQ(s.peer_fingerprint(), "");
}

TEST(Channel, AnOlderProtocolVersionIsRefused) {
    Pair p;
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL* old = SSL_new(ctx);
    SSL_set_fd(old, p.sd[0]);
    SSL_set_connect_state(old);
    const tlstest::Side sv(Role::server);
    tls::Channel s(p.sd[1], sv.context);
    for (int turns = 0; turns < 10 && s.handshake() != Step::failed; ++turns) {
        SSL_do_handshake(old);
        pollfd fd{p.sd[1], s.events(), 0};
        poll(&fd, 1, wait_ms);
    }
    EXPECT_EQ(s.why(), "the TLS handshake failed: the peer does not speak TLS 1.3");
    SSL_free(old);
    SSL_CTX_free(ctx);
}

}  // namespace
