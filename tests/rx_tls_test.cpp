// The receiver's side of TLS, with a tls::Channel client as the sender on a socketpair: files
// stored through it byte for byte, the line that tells a sender whether it is trusted, and
// --secure refusing everything outside TLS.
#include <algorithm>

#include "channel.h"
#include "pins.h"
#include "rx_support.h"
#include "tls_support.h"
#include "wire.h"

namespace {

using Tag = wire::Answer::Tag;
using Step = tls::Channel::Step;
constexpr int max_turns = 2000;
const std::string outside_tls = "this receiver takes files only over TLS (catchr --secure)";

wire::Hello with_tls() {
    wire::Hello h = wire::our_hello();
    h.features.emplace_back(wire::feat_tls);
    return h;
}

// The sender's end once the hello is answered: TLS over the link's socket.
struct TlsSender {
    rxtest::Link& link;
    tls::Channel c;

    TlsSender(rxtest::Link& l, const tls::Context& side) : link(l), c(l.peer, side) {}
    void pump() {
        link.t->on_readable(rx::Clock::now());
        link.settle();
    }
    bool shake() {
        for (int i = 0; i < max_turns && !c.done() && c.handshake() != Step::failed; ++i) pump();
        return c.done();
    }
    void write(const std::string& bytes) {
        for (std::size_t at = 0; at < bytes.size() && !link.t->finished();) {
            const ssize_t n = c.write(bytes.data() + at, std::min<std::size_t>(bytes.size() - at, 16384));
            if (n > 0) at += static_cast<std::size_t>(n);
            else ASSERT_EQ(errno, EAGAIN) << c.why();
            pump();
        }
    }
    // The receiver's next lines through TLS; fewer when the connection ends first.
    std::string lines(std::size_t count) {
        std::string got;
        char buf[4096];
        for (int i = 0; i < max_turns && std::ranges::count(got, '\r') < static_cast<long>(count); ++i) {
            pump();
            const ssize_t n = c.read(buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EAGAIN) break;
        }
        return got;
    }
};

class Tls : public rxtest::Receiving {
protected:
    Tls() : Receiving("rxtls"), pins_("rxtlspins") {}
    void SetUp() override {
        Receiving::SetUp();
        rules_.tls = &receiver_.context;
        rules_.pins_dir = pins_.dir();
    }
    // A connection whose hello named tls, answered so.
    std::unique_ptr<rxtest::Link> tls_hello() {
        auto link = connect();
        link->send(wire::hello_header(with_tls()));
        EXPECT_EQ(link->answers(), wire::hello_line(with_tls()) + "\r");
        return link;
    }
    void trust(const tls::Identity& id) {
        tls::TrustedSenders senders;
        std::string why;
        ASSERT_TRUE(senders.load(pins_.dir(), why) && senders.add(id.fingerprint(), "a test", why)) << why;
    }

    lbtest::TempDir pins_;
    tlstest::Side receiver_{tls::Channel::Role::server};
    tlstest::Side sender_{tls::Channel::Role::client};
};

// A large file goes the way of the work file and its check, a small one without waiting:
// a body spliced from the socket would store the TLS records instead of the file.
TEST_F(Tls, FilesAreStoredThroughTlsByteForByte) {
    auto link = tls_hello();
    TlsSender s(*link, sender_.context);
    ASSERT_TRUE(s.shake()) << s.c.why();
    EXPECT_EQ(s.lines(1), "OPEN\r");
    const std::string big = lbtest::random_bytes(3 << 20, 7), small = "tiny body";
    s.write("big.bin\r\r" + std::to_string(big.size()) + "\rmtime=1700000000.000000000 mode=644\r");
    EXPECT_EQ(s.lines(1), wire::go_line(0));
    s.write(rxtest::rest_of(big, 0));
    EXPECT_EQ(s.lines(1), "OK\r");
    s.write("small.txt\r\r" + std::to_string(small.size()) + "\rmtime=1700000000.000000000 mode=644 body=now\r" +
            rxtest::rest_of(small, 0));
    EXPECT_EQ(s.lines(1), "OK\r");
    for (const auto& [name, content] : {std::pair{"big.bin", big}, {"small.txt", small}}) {
        EXPECT_EQ(lbtest::get_file(tmp_.dir() + "/" + name), content) << name;
    }
    EXPECT_EQ(leftovers(), "");
}

TEST_F(Tls, TheSenderHearsWhetherItIsTrusted) {
    struct Case {
        bool trusted, secure;
        std::string greeting;
        bool closes;
    };
    const std::string no =
        wire::answer_line(Tag::no, "not paired: on the receiver, run catchr --trust " + sender_.id.fingerprint());
    for (const Case& c : {Case{true, false, "PAIRED\r", false}, {true, true, "PAIRED\r", false},
                          {false, false, "OPEN\r", false}, {false, true, no, true}}) {
        SCOPED_TRACE(c.greeting);
        if (c.trusted) trust(sender_.id);
        rules_.secure = c.secure;
        auto link = tls_hello();
        TlsSender s(*link, sender_.context);
        ASSERT_TRUE(s.shake()) << s.c.why();
        EXPECT_EQ(s.lines(1), c.greeting);
        EXPECT_EQ(link->t->finished(), c.closes);
        std::filesystem::remove(pins_.dir() + "/" + tls::trusted_senders_file);
    }
}

// Under --secure with a person at the terminal, a sender it does not know waits for a key:
// y trusts it for good, n or the end of the window refuse it, and a sender that leaves takes
// its question with it.
TEST_F(Tls, APersonPairsASenderByAKey) {
    rules_.secure = true;
    rx::Pairing pairing(*view_, pins_.dir());
    rules_.pairing = &pairing;
    const auto no = [](const std::string& why) { return wire::answer_line(Tag::no, why); };
    enum class Then { key_y, key_n, window_ends, sender_leaves };
    const struct {
        Then then;
        std::string answer;
    } cases[] = {{Then::key_n, no("the pairing was refused at the receiver")},
                 {Then::window_ends, no("the pairing was not confirmed within 60 s")},
                 {Then::sender_leaves, ""},
                 {Then::key_y, "PAIRED\r"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        auto link = tls_hello();
        TlsSender s(*link, sender_.context);
        ASSERT_TRUE(s.shake()) << s.c.why();
        EXPECT_EQ(s.lines(1), "PAIR " + s.c.pairing_code() + "\r");
        EXPECT_FALSE(link->t->busy());
        const auto now = rx::Clock::now();
        switch (c.then) {
            case Then::key_y:
            case Then::key_n:
                EXPECT_TRUE(pairing.key('x', now));  // another key only shows the question again
                EXPECT_FALSE(link->t->busy());
                EXPECT_TRUE(pairing.key(c.then == Then::key_y ? 'y' : 'n', now));
                ASSERT_TRUE(link->t->busy());
                link->t->work(now);
                break;
            case Then::window_ends: link->t->on_clock(now + std::chrono::seconds(61)); break;
            case Then::sender_leaves:
                ::shutdown(link->peer, SHUT_RDWR);
                s.pump();
                break;
        }
        if (c.then != Then::sender_leaves) {
            EXPECT_EQ(s.lines(1), c.answer);
        }
        EXPECT_EQ(link->t->finished(), c.then != Then::key_y);
        EXPECT_FALSE(pairing.key('y', now)) << "the question is still shown";
        tls::TrustedSenders trusted;
        std::string why;
        ASSERT_TRUE(trusted.load(pins_.dir(), why)) << why;
        EXPECT_EQ(trusted.trusted(sender_.id.fingerprint()), c.then == Then::key_y);
    }
    EXPECT_NE(printed().find("Paired with 127.0.0.9:5555: its key is trusted from now on"), std::string::npos) << printed();
}

// Nothing outside TLS: a classic header hears the refusal as its reply, a hello without tls
// its answer and then the refusal.
TEST_F(Tls, SecureRefusesWhatComesOutsideTls) {
    rules_.secure = true;
    auto classic = connect();
    classic->send("a.txt\r\r3\rabc");
    EXPECT_EQ(classic->answers(), wire::reply(outside_tls));
    EXPECT_TRUE(classic->t->finished());
    auto plain = connect();
    plain->send(wire::hello_header(wire::our_hello()));
    EXPECT_EQ(plain->answers(), wire::hello_line(wire::our_hello()) + "\r" + wire::answer_line(Tag::no, outside_tls));
    EXPECT_TRUE(plain->t->finished());
    EXPECT_FALSE(lbtest::exists(tmp_.dir() + "/a.txt"));
}

// A receiver without a key offers no TLS, and a sender that asked for it goes on without.
TEST_F(Tls, WithoutAKeyTheHelloLeavesTlsOut) {
    rules_.tls = nullptr;
    auto link = connect();
    link->send(wire::hello_header(with_tls()));
    EXPECT_EQ(link->answers(), wire::hello_line(wire::our_hello()) + "\r");
    EXPECT_FALSE(link->t->finished());
}

// What is not TLS where the handshake is due ends the connection with a reason, whether it
// came with the hello or after its answer.
TEST_F(Tls, BytesThatAreNotTlsEndTheConnection) {
    const std::string noise = lbtest::random_bytes(4096, 3);
    const struct {
        bool with_hello;
        std::string printed;
    } cases[] = {{false, "the TLS handshake failed"}, {true, "bytes before the TLS handshake"}};
    for (const auto& c : cases) {
        auto link = c.with_hello ? connect() : tls_hello();
        link->send(c.with_hello ? wire::hello_header(with_tls()) + noise : noise);
        EXPECT_TRUE(link->t->finished());
        EXPECT_NE(printed().find(c.printed), std::string::npos) << printed();
    }
    EXPECT_EQ(leftovers(), "");
}

}  // namespace
