// The sender's conversation with a receiver played by scripts over socket pairs: the hello
// that decides the protocol, a file's bytes under the extension, resumed sends, answers after
// the body, and sends that broke and were tried again.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "digest.h"
#include "session.h"
#include "test_support.h"
#include "tx_fake_rx.h"

namespace {

using namespace std::chrono_literals;
using What = tx::Outcome::What;
using txtest::Arrived;
using txtest::count;
using txtest::FakeRx;
using txtest::Printed;
using txtest::RxEnd;

constexpr std::size_t MiB = 1 << 20;
const tx::Peer peer{"127.0.0.1", 9500};
const std::string our_hello = "CATCHR-EXT 1 verify resume times batch";
// A receiver of the extension from before batches.
const std::string unbatched = "CATCHR-EXT 1 verify resume times";

// The receiver's side of a hello it answers.
void hello(RxEnd& rx) {
    EXPECT_EQ(rx.bytes(our_hello.size() + 3), "\r\r" + our_hello + "\r");
    rx.say(unbatched + "\r");
}

std::string request(RxEnd& rx) {
    std::string lines;
    for (int i = 0; i < 4; ++i) lines += rx.line() + "\r";
    return lines;
}

// Answers the request with GO kept and reads what follows, for a file of size bytes.
Arrived take(RxEnd& rx, std::uint64_t size, std::uint64_t kept) {
    Arrived a;
    a.request = request(rx);
    rx.say("GO " + std::to_string(kept) + "\r");
    const std::string from = rx.line();
    EXPECT_TRUE(from.starts_with("FROM ")) << from;
    a.from = std::stoull(from.substr(5));
    a.body = rx.bytes(size - a.from);
    a.sum = rx.line();
    return a;
}

std::string sum_of(const std::string& data, std::size_t prefix) {
    return "SUM " + wire::Digest::of(data.data(), prefix) + " " + wire::Digest::of(data.data(), data.size());
}

class Session : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(tmp_.dir().empty());
        SCK_SYS_OP();  // a receiver that closes mid-body must not end the test by SIGPIPE
        rules_.hello_wait = 200ms;
        rules_.answer_wait = 2s;
        rules_.first_pause = 10ms;
    }
    void TearDown() override { SCK_SYS_CL(); }

    tx::Item file(const std::string& name, const std::string& data, const std::string& dir = "") {
        return {tmp_.write(name, data), name, dir};
    }
    // Sends the items in turn through one session, as a run does; the session's connection
    // is closed before the receiver's scripts are waited for.
    std::vector<tx::Outcome> run(FakeRx& rx, const std::vector<tx::Item>& items) {
        std::vector<tx::Outcome> got;
        {
            tx::Session s(peer, rx.dial(), rules_, printed_.console());
            for (const auto& item : items) got.push_back(s.send(item));
        }
        rx.join();
        return got;
    }

    lbtest::TempDir tmp_{"tx_session"};
    tx::SendRules rules_;
    Printed printed_;
};

TEST_F(Session, TheHelloDecidesTheProtocolOnceForTheRun) {
    const std::string classic_line =
        "127.0.0.1:9500 speaks only the classic protocol: files are neither verified nor resumed\n";
    const auto classic_file = [](const std::string& header) {
        return [header](RxEnd& rx) {
            EXPECT_EQ(rx.bytes(header.size()), header);
            rx.say("OK\r");
        };
    };
    const struct {
        const char* what;
        FakeRx::Script first;
        bool extension;
    } cases[] = {
        {"a hello back", hello, true},
        {"an older receiver's error",
         [](RxEnd& rx) {
             rx.bytes(our_hello.size() + 3);
             rx.say("bad size line \"" + our_hello + "\": digits only\r");
         },
         false},
        {"a close without a word", [](RxEnd& rx) { rx.bytes(our_hello.size() + 3); }, false},
        {"silence",
         [](RxEnd& rx) {
             rx.bytes(our_hello.size() + 3);
             rx.ended();
         },
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Printed printed;
        std::vector<FakeRx::Script> scripts{c.first};
        if (c.extension) {
            scripts[0] = [](RxEnd& rx) {
                hello(rx);
                for (const std::string data : {"abc", "hello"}) {
                    EXPECT_EQ(take(rx, data.size(), 0).body, data);
                    rx.say("OK\r");
                }
            };
        } else {
            scripts.push_back(classic_file("a.txt\r\r3\rabc"));
            scripts.push_back(classic_file("b.txt\r\r5\rhello"));
        }
        FakeRx rx(scripts);
        std::vector<tx::Outcome> got;
        {
            tx::Session s(peer, rx.dial(), rules_, printed.console());
            got.push_back(s.send(file("a.txt", "abc")));
            got.push_back(s.send(file("b.txt", "hello")));
        }
        rx.join();
        for (const auto& o : got) {
            EXPECT_EQ(o.what, What::stored) << o.reply;
            EXPECT_EQ(o.verified, c.extension);
        }
        // The extension keeps its one connection; the classic protocol makes one per file.
        EXPECT_EQ(rx.dialled(), c.extension ? 1u : 3u);
        EXPECT_EQ(count(printed.text(), classic_line), c.extension ? 0u : 1u) << printed.text();
    }
}

TEST_F(Session, ClassicOnlySaysNoHello) {
    rules_.classic_only = true;
    FakeRx rx({[](RxEnd& rx) {
        EXPECT_EQ(rx.bytes(12), "a.txt\r\r3\rabc");
        rx.say("OK\r");
    }});
    const auto got = run(rx, {file("a.txt", "abc")});
    EXPECT_TRUE(got[0].ok());
    EXPECT_FALSE(got[0].verified);
    EXPECT_EQ(printed_.text(), tmp_.path("a.txt") + " -> 127.0.0.1:9500\n");
}

TEST_F(Session, AFileGoesByteForByteAsTheWireHasIt) {
    const tx::Item notes = file("notes.txt", "hello", "backup");
    const tx::Item empty = file("empty", "", "backup");
    const struct timespec t[2] = {{1700000000, 250000000}, {1700000000, 250000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, notes.path.c_str(), t, 0), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, empty.path.c_str(), t, 0), 0);
    ASSERT_EQ(::chmod(notes.path.c_str(), 0644), 0);
    ASSERT_EQ(::chmod(empty.path.c_str(), 04751), 0);  // set-user-ID never travels
    const std::string nothing = "99aa06d3014798d86001c324468d497f";
    FakeRx rx({[&](RxEnd& rx) {
        hello(rx);
        const std::string req = "notes.txt\rbackup\r5\rmtime=1700000000.250000000 mode=644\r";
        EXPECT_EQ(rx.bytes(req.size()), req);
        rx.say("GO 0\r");
        const std::string body = "FROM 0\rhelloSUM " + nothing + " b5e9c1ad071b3e7fc779cfaa5e523818\r";
        EXPECT_EQ(rx.bytes(body.size()), body);
        rx.say("OK\r");
        // A file of no bytes goes like any other, on the same connection.
        const std::string req0 = "empty\rbackup\r0\rmtime=1700000000.250000000 mode=751\r";
        EXPECT_EQ(rx.bytes(req0.size()), req0);
        rx.say("GO 0\r");
        const std::string sum0 = "FROM 0\rSUM " + nothing + " " + nothing + "\r";
        EXPECT_EQ(rx.bytes(sum0.size()), sum0);
        rx.say("OK\r");
        EXPECT_TRUE(rx.ended());
    }});
    for (const tx::Outcome& o : run(rx, {notes, empty})) {
        EXPECT_TRUE(o.ok()) << o.reply;
        EXPECT_TRUE(o.verified);
        EXPECT_FALSE(o.resumed || o.sent_again);
    }
}

TEST_F(Session, GoNSendsFromNAndTheDigestsCoverTheFileFromItsStart) {
    // Small files go in one piece, large ones from the descriptor with a digesting thread.
    for (const std::size_t size : {std::size_t{40000}, 4 * MiB + 123}) {
        const std::string data = lbtest::random_bytes(size, static_cast<unsigned>(size));
        for (const std::size_t kept : {std::size_t{0}, std::size_t{65536}, 3 * MiB, size}) {
            if (kept > size) continue;
            SCOPED_TRACE(std::to_string(size) + " from " + std::to_string(kept));
            Printed printed;
            Arrived a;
            FakeRx rx({[&](RxEnd& rx) {
                hello(rx);
                a = take(rx, size, kept);
                rx.say("OK\r");
            }});
            tx::Outcome o;
            {
                tx::Session s(peer, rx.dial(), rules_, printed.console());
                o = s.send(file("f.bin", data));
            }
            rx.join();
            EXPECT_TRUE(o.ok()) << o.reply;
            EXPECT_EQ(o.resumed, kept > 0);
            EXPECT_EQ(a.from, kept);
            EXPECT_TRUE(a.body == data.substr(kept)) << a.body.size();
            EXPECT_EQ(a.sum, sum_of(data, kept));
            EXPECT_EQ(count(printed.text(), ": resumed at "), kept > 0 ? 1u : 0u) << printed.text();
        }
    }
}

TEST_F(Session, ARefusalBeforeTheBodyLeavesTheConnectionToTheNextFile) {
    const std::string refusal = "big.bin: not stored: it exists, and --no-clobber keeps it";
    FakeRx rx({[&](RxEnd& rx) {
        hello(rx);
        EXPECT_TRUE(request(rx).starts_with("big.bin\r\r2097152\r"));
        rx.say("NO " + refusal + "\r");
        // Not a byte of the refused body: the next thing on the wire is the next request.
        EXPECT_EQ(take(rx, 3, 0).request.substr(0, 10), "small.txt\r");
        rx.say("OK\r");
    }});
    const auto got = run(rx, {file("big.bin", std::string(2 * MiB, 'b')), file("small.txt", "abc")});
    EXPECT_EQ(got[0].what, What::not_stored);
    EXPECT_EQ(tx::told(got[0], tmp_.path("big.bin"), "big.bin", peer, false), refusal);
    EXPECT_TRUE(got[1].ok());
    EXPECT_EQ(rx.dialled(), 1u);
}

TEST_F(Session, AnswersAfterTheBody) {
    const std::size_t size = 300 * 1024;
    const std::string data = lbtest::random_bytes(size, 7);
    const std::string path = tmp_.write("f.bin", data);
    const struct {
        std::vector<std::string> answers;  // one per send of the file
        What what;
        bool sent_again;
        std::string said;  // a line the sender printed about it
    } cases[] = {
        {{"BADSUM f.bin: differs", "OK"}, What::stored, true,
         path + ": the copy that arrived differed from this file; sending it again from the start\n"},
        {{"BADSUM f.bin: differs", "BADSUM f.bin: differs"}, What::differed_twice, true,
         path + ": the copy that arrived differed from this file; sending it again from the start\n"},
        {{"STALE f.bin: the kept part was not of this file", "OK"}, What::stored, false,
         path + ": the receiver's kept part was not of this file; sending all of it again\n"},
        {{"NO f.bin: not stored: the receiving disk is full"}, What::not_stored, false, ""},
        {{"MAYBE"}, What::protocol_error, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answers[0]);
        Printed printed;
        std::vector<Arrived> sends;
        FakeRx rx({[&](RxEnd& rx) {
            hello(rx);
            for (const std::string& answer : c.answers) {
                sends.push_back(take(rx, size, 65536));  // a part is offered each time
                rx.say(answer + "\r");
            }
        }});
        tx::Outcome o;
        {
            tx::Session s(peer, rx.dial(), rules_, printed.console());
            o = s.send({path, "f.bin", ""});
        }
        rx.join();
        EXPECT_EQ(o.what, c.what) << o.reply;
        EXPECT_EQ(o.sent_again, c.sent_again);
        ASSERT_EQ(sends.size(), c.answers.size());
        // The first send takes the part; one after a mismatch or a stale part sends it all.
        for (std::size_t i = 0; i < sends.size(); ++i) {
            EXPECT_EQ(sends[i].from, i == 0 ? 65536u : 0u);
            EXPECT_EQ(sends[i].sum, sum_of(data, sends[i].from));
        }
        EXPECT_NE(printed.text().find(c.said), std::string::npos) << printed.text();
    }
    tx::Outcome twice;
    twice.what = What::differed_twice;
    EXPECT_EQ(tx::told(twice, "f.bin", "f.bin", peer, false),
              "f.bin: the copy that arrived differed from this file twice; not stored");
}

TEST_F(Session, ASendThatBrokeIsTriedAgainAndResumed) {
    const std::size_t size = 4 * MiB;
    const std::string data = lbtest::random_bytes(size, 3);
    const auto breaks = [](RxEnd& rx) {
        hello(rx);
        request(rx);
        rx.say("GO 0\r");
        rx.bytes(MiB);  // then the link fails
    };
    Arrived resumed;
    const auto resumes = [&](RxEnd& rx) {
        hello(rx);
        resumed = take(rx, 4 * MiB, MiB);
        rx.say("OK\r");
    };
    const struct {
        unsigned retries;
        std::vector<FakeRx::Script> connections;
        What what;
        std::size_t tries_said;
        std::size_t dialled;
    } cases[] = {
        {3, {breaks, resumes}, What::stored, 1, 2},
        {0, {breaks, resumes}, What::closed, 0, 1},
        // A receiver gone for good: every try again finds nothing, then that is the account.
        {2, {breaks}, What::no_connection, 2, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.retries);
        rules_.retries = c.retries;
        Printed printed;
        FakeRx rx(c.connections);
        tx::Outcome o;
        {
            tx::Session s(peer, rx.dial(), rules_, printed.console());
            o = s.send(file("movie.mkv", data));
        }
        rx.join();
        EXPECT_EQ(o.what, c.what);
        EXPECT_EQ(o.sent_again, c.retries > 0);
        EXPECT_EQ(rx.dialled(), c.dialled);
        const std::string out = printed.text();
        EXPECT_EQ(count(out, "; trying again in "), c.tries_said) << out;
        EXPECT_EQ(count(out, ": the connection broke after "), c.tries_said ? 1u : 0u) << out;
        if (c.what != What::stored) continue;
        EXPECT_NE(out.find("; trying again in 1 s (1 of 3)\n"), std::string::npos) << out;
        EXPECT_NE(out.find("movie.mkv: resumed at 1.0 MiB\n"), std::string::npos) << out;
        EXPECT_TRUE(o.resumed);
        EXPECT_EQ(resumed.from, MiB);
        EXPECT_TRUE(resumed.body == data.substr(MiB));
        EXPECT_EQ(resumed.sum, sum_of(data, MiB));
    }
}

}  // namespace
