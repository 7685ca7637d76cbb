// The sender's words for what became of a file: chosen by numbers, never by the library's
// words, and every outside text escaped.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "lb.h"
#include "outcome.h"

namespace {

using tx::Outcome;
using What = Outcome::What;

constexpr std::uint64_t MiB = 1024 * 1024;
const tx::Peer peer{"10.9.3.1", 9500};

Outcome make(What what, int no = 0, std::uint64_t sent = 0, std::uint64_t size = 0, std::string reply = "") {
    Outcome o;
    o.what = what;
    o.failure = {"the library's words", no, 0};
    o.sent = sent;
    o.size = size;
    o.reply = std::move(reply);
    return o;
}

TEST(SenderWords, SayWhatHappenedToWhichFileAndWhatToDo) {
    Outcome fifo = make(What::not_regular);
    fifo.kind = "a FIFO";
    Outcome shrank = make(What::shrank, 0, 0, 16 * MiB);
    shrank.now = MiB;
    const struct {
        Outcome o;
        const char* want;
    } cases[] = {
        {make(What::no_connection, ECONNREFUSED),
         "notes.txt: not sent: nothing listens at 10.9.3.1:9500 (is catchr running there? is the port right?)"},
        {make(What::no_connection, ETIMEDOUT),
         "notes.txt: not sent: no answer from 10.9.3.1 within 10 s (is the address right? is the PC on?)"},
        {make(What::no_connection, EHOSTUNREACH),
         "notes.txt: not sent: 10.9.3.1 cannot be reached: No route to host (is the address right? is the PC on?)"},
        {make(What::no_connection, EACCES), "notes.txt: not sent: no connection to 10.9.3.1:9500 (Permission denied)"},
        {make(What::stalled, 0, 12 * MiB, 3072 * MiB),
         "notes.txt: the receiver stopped taking data for 60 s after 12.0 MiB of 3.0 GiB; not stored"},
        {make(What::closed, ECONNRESET, 5 * MiB, 15 * MiB),
         "notes.txt: the receiver closed the connection without a reply after 5.0 MiB of 15.0 MiB"},
        {make(What::closed, 0, 3, 3), "notes.txt: the receiver closed the connection without a reply after all 3 B"},
        {make(What::no_reply, 0, 3, 3), "notes.txt: no reply within 20 s after all 3 B; it may or may not be stored"},
        {make(What::not_stored, 0, 3, 3, "disk full"), "notes.txt: not stored: disk full"},
        {make(What::empty_reply), "notes.txt: not stored: the receiver replied with an empty line"},
        {make(What::older_receiver, ECONNRESET, 0, 3072 * MiB),
         "notes.txt: not stored: the receiver does not take files of 2 GiB or more (an older catchr; update catchr "
         "there)"},
        {make(What::cannot_open, ENOENT), "notes.txt: not sent: it cannot be opened (No such file or directory)"},
        {fifo, "notes.txt: not sent: it is a FIFO, not a regular file"},
        {make(What::bad_name), "notes.txt: not sent: its name holds a CR or LF, which no header line can carry"},
        {shrank, "notes.txt: it shrank from 16.0 MiB to 1.0 MiB while being sent; not stored"},
        {make(What::failed, EHOSTUNREACH, MiB, 2 * MiB),
         "notes.txt: sending failed after 1.0 MiB of 2.0 MiB (No route to host)"},
        {make(What::failed, ETIMEDOUT, 3, 3),
         "notes.txt: no reply: the connection failed after all 3 B (Connection timed out)"},
        {make(What::unreadable, EIO), "notes.txt: not sent: it cannot be read (Input/output error)"},
        {make(What::protocol_error, 0, 0, 1, "GO 7"),
         "notes.txt: not stored: the receiver broke the protocol, answering \"GO 7\" (is catchr there of this "
         "version?)"},
        {make(What::differed_twice, 0, 3, 3), "notes.txt: the copy that arrived differed from this file twice; not stored"},
        // Without a system error, the library's words are all there is.
        {make(What::failed, 0, 0, 1), "notes.txt: sending failed after 0 B of 1 B (the library's words)"},
    };
    for (const auto& c : cases) EXPECT_EQ(tx::told(c.o, "notes.txt", "notes.txt", peer, false), c.want);
}

TEST(SenderWords, ATryAgainSaysHowTheSendBrokeAndWhenTheNextGoes) {
    const struct {
        Outcome o;
        unsigned attempt;
        const char* want;
    } cases[] = {
        {make(What::closed, ECONNRESET, 2254857830, 4294967296), 2,
         "big.iso: the connection broke after 2.1 GiB of 4.0 GiB; trying again in 2 s (2 of 3)"},
        {make(What::failed, EHOSTUNREACH, MiB, 2 * MiB), 1,
         "big.iso: the connection broke after 1.0 MiB of 2.0 MiB (No route to host); trying again in 2 s (1 of 3)"},
        {make(What::no_reply, 0, 3, 3), 1,
         "big.iso: no answer within 20 s after all 3 B; trying again in 2 s (1 of 3)"},
        {make(What::stalled, 0, MiB, 2 * MiB), 3,
         "big.iso: the receiver took nothing for 60 s after 1.0 MiB of 2.0 MiB; trying again in 2 s (3 of 3)"},
        // A connection made again for a try may not be made at all.
        {make(What::no_connection, ECONNREFUSED), 1,
         "big.iso: not sent: nothing listens at 10.9.3.1:9500 (is catchr running there? is the port right?); trying "
         "again in 2 s (1 of 3)"},
    };
    for (const auto& c : cases) EXPECT_EQ(tx::told_retry(c.o, "big.iso", peer, c.attempt, 3, 2), c.want);
    EXPECT_EQ(tx::told_resumed("a\x1b.iso", 3072 * MiB), "a\\x1B.iso: resumed at 3.0 GiB");
    EXPECT_EQ(tx::told_classic(peer),
              "10.9.3.1:9500 speaks only the classic protocol: files are neither verified nor resumed");
}

TEST(SenderWords, DecisionsFollowTheNumbersNotTheWords) {
    // Words that read like a refusal do not make one; the number does.
    Outcome o = make(What::no_connection, ETIMEDOUT);
    o.failure.text = "connect (err #111:Connection refused)";
    EXPECT_EQ(tx::told(o, "a", "a", peer, false),
              "a: not sent: no answer from 10.9.3.1 within 10 s (is the address right? is the PC on?)");
}

TEST(SenderWords, VerboseAddsTheTrailAfterTheMessage) {
    Outcome o = make(What::no_connection, ECONNREFUSED);
    o.failure.text = "connect (err #111:Connection refused) [SAI_CONN]";
    EXPECT_EQ(tx::told(o, "a", "a", peer, true),
              "a: not sent: nothing listens at 10.9.3.1:9500 (is catchr running there? is the port right?) "
              "(connect (err #111:Connection refused) [SAI_CONN])");
    // A reply has no trail of its own; one read after a failed send keeps that send's.
    Outcome reply = make(What::not_stored, 0, 1, 1, "no");
    reply.failure = {};
    EXPECT_EQ(tx::told(reply, "a", "a", peer, true), "a: not stored: no");
    reply.failure = {"send (err #32:Broken pipe)", EPIPE, sck_st_broken_pipe};
    EXPECT_EQ(tx::told(reply, "a", "a", peer, true), "a: not stored: no (send (err #32:Broken pipe))");
}

TEST(SenderWords, AReplyThatNamesTheFileStandsAsItIs) {
    const Outcome o = make(What::not_stored, 0, 1, 1, "in/a.txt: not stored: it exists, and --no-clobber keeps it");
    EXPECT_EQ(tx::told(o, "/home/u/a.txt", "in/a.txt", peer, false),
              "in/a.txt: not stored: it exists, and --no-clobber keeps it");
    // Another file's name, or the name without ": ", is only part of what the receiver said.
    EXPECT_EQ(tx::told(o, "/home/u/b.txt", "in/b.txt", peer, false),
              "/home/u/b.txt: not stored: in/a.txt: not stored: it exists, and --no-clobber keeps it");
}

TEST(SenderWords, HostileBytesInRepliesAndNamesAreEscaped) {
    const std::string hostile = "a\x1b[2J\xc2\x9b" "1m\x9b" "b\r\n";
    const std::string shown = "a\\x1B[2J\\xC2\\x9B1m\\x9Bb\\x0D\\x0A";
    EXPECT_EQ(tx::told(make(What::not_stored, 0, 1, 1, hostile), "x", "x", peer, false), "x: not stored: " + shown);
    EXPECT_EQ(tx::told(make(What::bad_name), "x\ny", "x\ny", peer, false),
              "x\\x0Ay: not sent: its name holds a CR or LF, which no header line can carry");
    // A reply that names the file with hostile bytes in it is escaped as well.
    EXPECT_EQ(tx::told(make(What::not_stored, 0, 1, 1, "x: " + hostile), "/p/x", "x", peer, false), "x: " + shown);
    const std::string longest(512, 'x');
    EXPECT_EQ(tx::told(make(What::long_reply, 0, 1, 1, longest), "a", "a", peer, false),
              "a: not stored: the receiver's reply is longer than 512 bytes: " + longest);
}

}  // namespace
