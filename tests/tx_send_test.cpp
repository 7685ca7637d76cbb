// Sending one file over a socket pair: the reply as it comes, and the reply a receiver sent
// before it ended the connection.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "send.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using What = tx::Outcome::What;

// Two connected stream sockets: ours (the sender's, not blocking, as a connection is made)
// and the receiver's end.
class Pair {
public:
    Pair() {
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sd_) != 0) std::abort();
        ::fcntl(sd_[0], F_SETFL, O_NONBLOCK);
    }
    ~Pair() {
        ::close(sd_[0]);
        close_receiver();
    }
    int ours() const { return sd_[0]; }
    void say(const std::string& bytes) { ASSERT_EQ(::write(sd_[1], bytes.data(), bytes.size()), ssize_t(bytes.size())); }
    void close_receiver() {
        if (sd_[1] >= 0) ::close(sd_[1]);
        sd_[1] = -1;
    }

private:
    int sd_[2];
};

TEST(SenderReply, WhatTheReplyLineSays) {
    const struct {
        std::string bytes;
        bool then_close;
        What what;
        std::string reply;
    } cases[] = {
        {"OK\r", false, What::stored, "OK"},
        {"ok\rjunk after the line", false, What::stored, "ok"},
        {"disk full\r", false, What::not_stored, "disk full"},
        {"\r", false, What::empty_reply, ""},
        {std::string(600, 'x') + "\r", false, What::long_reply, std::string(512, 'x')},
        {"", true, What::closed, ""},
        {"half a li", true, What::closed, ""},
        {"", false, What::no_reply, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 20));
        Pair pair;
        pair.say(c.bytes);
        if (c.then_close) pair.close_receiver();
        const tx::Outcome o = tx::await_reply(pair.ours(), {}, 50ms);
        EXPECT_EQ(o.what, c.what);
        EXPECT_EQ(o.reply, c.reply);
        EXPECT_EQ(err_, 0);
    }
}

TEST(SenderReply, AReplySentBeforeTheReceiverClosedIsReadAfterTheFailedSend) {
    lbtest::TempDir dir("tx_send");
    // A small file goes with its header in one send; a large one after it, from the descriptor.
    for (const std::size_t size : {std::size_t{3}, std::size_t{4} << 20}) {
        SCOPED_TRACE(size);
        const std::string path = dir.path("f.bin");
        lbtest::put_file(path, std::string(size, 'b'));
        const tx::Item item{path, "f.bin", ""};
        tx::Source src(item);
        Pair pair;
        // Refused at the header: the reply, then the connection ends with nothing read.
        pair.say("not allowed from 10.0.0.9\r");
        pair.close_receiver();
        const tx::Outcome o = tx::send_over(pair.ours(), item, src, nullptr);
        EXPECT_EQ(o.what, What::not_stored);
        EXPECT_EQ(o.reply, "not allowed from 10.0.0.9");
        EXPECT_EQ(o.failure.sock_status, sck_st_broken_pipe) << o.failure.text;
        EXPECT_EQ(tx::told(o, "f.bin", "f.bin", {}, false), "f.bin: not stored: not allowed from 10.0.0.9");
        EXPECT_EQ(err_, 0);
    }
}

TEST(SenderReply, AReceiverThatEndsWithoutAWordIsSaidToHaveClosed) {
    lbtest::TempDir dir("tx_send");
    const std::string path = dir.path("f.bin");
    lbtest::put_file(path, std::string(1 << 20, 'b'));
    const tx::Item item{path, "f.bin", ""};
    tx::Source src(item);
    Pair pair;
    pair.close_receiver();
    const tx::Outcome o = tx::send_over(pair.ours(), item, src, nullptr);
    EXPECT_EQ(o.what, What::closed);
    EXPECT_EQ(o.failure.sys_errno, EPIPE);
    EXPECT_EQ(tx::told(o, "f.bin", "f.bin", {}, false),
              "f.bin: the receiver closed the connection without a reply after 0 B of 1.0 MiB");
}

}  // namespace
