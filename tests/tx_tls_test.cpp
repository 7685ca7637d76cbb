// The sender inside TLS, against a receiver played by scripts that is the TLS server: the
// pairing that pins the receiver's key, a file's bytes through the channel, and the
// receivers it refuses rather than send them anything in plain text.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "pins.h"
#include "session.h"
#include "test_support.h"
#include "tls_support.h"
#include "tx_fake_rx.h"

namespace {

using namespace std::chrono_literals;
using What = tx::Outcome::What;
using txtest::FakeRx;
using txtest::Printed;
using txtest::RxEnd;

const tx::Peer peer{"127.0.0.1", 9500};
const std::string hello_tls = "CATCHR-EXT 1 verify resume times tls";
const std::string hello_plain = "CATCHR-EXT 1 verify resume times";

// The sender's hello read, answered with line; true when the sender offered tls.
bool hello(RxEnd& rx, const std::string& line) {
    EXPECT_EQ(rx.line(), "");
    EXPECT_EQ(rx.line(), "");
    const bool offered = rx.line().ends_with(" tls");
    rx.say(line + "\r");
    return offered;
}

class Tls : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.dir().empty());
        SCK_SYS_OP();
        rules_.hello_wait = 1s;
        rules_.answer_wait = 5s;
        rules_.retries = 0;
        rules_.tls = std::make_shared<const tls::Context>(tls::Channel::Role::client, tlstest::identity());
        rules_.pins_dir = tmp_.dir() + "/pitchr";
    }
    void TearDown() override { SCK_SYS_CL(); }

    tx::Outcome send(FakeRx& rx, const std::string& data) {
        tx::Outcome o;
        {
            tx::Session s(peer, rx.dial(), rules_, printed_.console());
            o = s.send({tmp_.write("f.bin", data), "f.bin", ""});
        }
        rx.join();
        return o;
    }
    void pin(const std::string& fingerprint) {
        tls::KnownReceivers pins;
        std::string why;
        ASSERT_TRUE(pins.load(rules_.pins_dir, why)) << why;
        ASSERT_TRUE(pins.add("127.0.0.1:9500", fingerprint, why)) << why;
    }
    tls::KnownReceivers::Pinned pinned(const std::string& fingerprint) {
        tls::KnownReceivers pins;
        std::string why;
        EXPECT_TRUE(pins.load(rules_.pins_dir, why)) << why;
        return pins.check("127.0.0.1:9500", fingerprint);
    }

    lbtest::TempDir tmp_{"tx_tls"};
    tx::SendRules rules_;
    Printed printed_;
    const tlstest::Side rx_{tls::Channel::Role::server};
};

// The first meeting: the code on both sides, the file whole through TLS, the key pinned.
TEST_F(Tls, PairingShowsTheCodeSendsTheFileInsideTlsAndPinsTheReceiver) {
    std::string data(3 << 20, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4096);
    std::string code, body, sender_key;
    FakeRx rx({[&](RxEnd& end) {
        EXPECT_TRUE(hello(end, hello_tls));
        ASSERT_TRUE(end.secure(rx_.context));
        code = end.channel()->pairing_code();
        sender_key = end.channel()->peer_fingerprint();
        end.say("PAIR " + code + "\r");
        end.say("PAIRED\r");
        for (int i = 0; i < 4; ++i) end.line();
        end.say("GO 0\r");
        EXPECT_EQ(end.line(), "FROM 0");
        body = end.bytes(data.size());
        EXPECT_TRUE(end.line().starts_with("SUM "));
        end.say("OK\r");
        EXPECT_TRUE(end.ended());
    }});
    const tx::Outcome o = send(rx, data);
    EXPECT_EQ(o.what, What::stored) << o.reply;
    EXPECT_EQ(sender_key, rules_.tls->fingerprint());
    EXPECT_TRUE(body == data) << "the body differs";
    EXPECT_NE(printed_.text().find("Pairing with 127.0.0.1:9500 (key " + rx_.id.fingerprint() + "): code " + code +
                                   " \u2014 press y on the receiver if it shows the same code"),
              std::string::npos)
        << printed_.text();
    EXPECT_EQ(pinned(rx_.id.fingerprint()), tls::KnownReceivers::Pinned::same);
}

// Receivers that get nothing: no request, and no plain connection made instead.
TEST_F(Tls, RefusedReceiversGetNoRequest) {
    struct Case {
        const char* name;
        bool pin_other, pin_this, secure;
        std::string answer;       // to the hello; "" closes without one
        bool handshake;           // the receiver goes into TLS
        std::string first;        // its first line inside TLS
        std::string why;          // in the refusal
    };
    const std::string other = tlstest::identity().fingerprint();
    const std::vector<Case> cases = {
        {"key changed", true, false, false, hello_tls, true, "", "known_receivers to meet it again"},
        {"pinned, no tls in its hello", false, true, false, hello_plain, false, "", "offers no TLS"},
        {"pinned, classic receiver", false, true, false, "", false, "", "offers no TLS"},
        {"--secure, plain receiver", false, false, true, hello_plain, false, "", "--secure"},
        {"--secure, OPEN", false, false, true, hello_tls, true, "OPEN", "--secure"},
        {"receiver says NO", false, false, false, hello_tls, true, "NO not confirmed", "not confirmed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(rules_.pins_dir);
        if (c.pin_other) pin(other);
        if (c.pin_this) pin(rx_.id.fingerprint());
        rules_.secure = c.secure;
        FakeRx rx({[&](RxEnd& end) {
            if (c.answer.empty()) return;
            hello(end, c.answer);
            if (c.handshake) {
                ASSERT_TRUE(end.secure(rx_.context));
            }
            if (!c.first.empty()) end.say(c.first + "\r");
            EXPECT_TRUE(end.ended()) << "the sender sent on";
        }});
        const tx::Outcome o = send(rx, "hello");
        EXPECT_EQ(o.what, What::refused);
        EXPECT_NE(o.reply.find(c.why), std::string::npos) << o.reply;
        EXPECT_EQ(rx.dialled(), 1u) << "a refused receiver was tried again";
    }
}

}  // namespace
