// One connection's life, driven over a socketpair: no network, no sleeping.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "lb.h"
#include "rx_support.h"

namespace {

using rx::Clock;

// A file system that will not take bytes from a pipe.
ssize_t refusing_splice(int, int, std::uint64_t, std::size_t) {
    errno = EINVAL;
    return -1;
}

class Connection : public rxtest::Receiving {
protected:
    Connection() : Receiving("rxtransfer") {}

    void TearDown() override {
        transfer_.reset();
        if (peer_ >= 0) ::close(peer_);
        EXPECT_EQ(leftovers(), "");
        Receiving::TearDown();
    }

    void start() { transfer_ = transfer(peer_); }

    // Sends bytes as the peer, the receiver taking them as they fit in the socket.
    void send(const std::string& bytes, std::size_t piece = 1 << 20) {
        for (std::size_t at = 0; at < bytes.size();) {
            const ssize_t n = ::send(peer_, bytes.data() + at, std::min(piece, bytes.size() - at), MSG_NOSIGNAL);
            if (n > 0) at += static_cast<std::size_t>(n);
            else ASSERT_EQ(errno, EAGAIN) << "send: " << std::strerror(errno);
            transfer_->on_readable(Clock::now());
            if (transfer_->finished()) return;
        }
    }
    void close_peer_side() {
        ::shutdown(peer_, SHUT_WR);
        transfer_->on_readable(Clock::now());
    }
    // The reply line, "" when none came.
    std::string reply() {
        char buf[600];
        const ssize_t n = ::recv(peer_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    }

    std::unique_ptr<rx::Transfer> transfer_;
    int peer_ = -1;
};

TEST_F(Connection, ArrivesWhateverThePieces) {
    const std::string big = lbtest::random_bytes(2 * 1024 * 1024 + 5, 7);
    const struct {
        const char* what;
        std::string body;
        std::size_t piece;
        rx::Sink::FileSplice splice;
    } cases[] = {
        {"a byte at a time", "abc", 1, nullptr},
        {"all in one segment", "xyz", 1 << 20, nullptr},
        {"large, in uneven pieces, spliced", big, 77777, nullptr},
        {"large, where the file refuses splicing", big, 77777, refusing_splice},
        {"empty", "", 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        rules_.file_splice = c.splice;
        start();
        send("f.bin\r\r" + std::to_string(c.body.size()) + "\r" + c.body, c.piece);
        EXPECT_TRUE(transfer_->finished());
        EXPECT_EQ(reply(), "OK\r");
        EXPECT_EQ(lbtest::get_file(tmp_.path("f.bin")), c.body);
        ::close(peer_);
        peer_ = -1;
    }
}

TEST_F(Connection, APeerThatClosesAtAnyPhaseLeavesNothing) {
    const char* cut[] = {"", "f.bin", "f.bin\r", "f.bin\rsub\r", "f.bin\rsub\r10", "f.bin\rsub\r10\r", "f.bin\rsub\r10\rabc"};
    for (const char* sent : cut) {
        SCOPED_TRACE(sent);
        start();
        send(sent);
        close_peer_side();
        EXPECT_TRUE(transfer_->finished());
        EXPECT_EQ(reply(), "");
        EXPECT_FALSE(lbtest::exists(tmp_.path("sub/f.bin")));
        EXPECT_FALSE(lbtest::exists(tmp_.path("f.bin")));
        ::close(peer_);
        peer_ = -1;
    }
    const std::string text = printed();
    for (const char* line : {"-> sub/f.bin (10)\n", "ERROR: sub/f.bin: the sender went away after 0 B of 10 B; nothing stored",
                             "ERROR: sub/f.bin: the sender went away after 3 B of 10 B; nothing stored",
                             "ERROR: the sender went away before its header was complete (from 127.0.0.9:5555)"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    EXPECT_EQ(text.find("SCK_RECV"), std::string::npos) << text;  // the trail only with -v
}

TEST_F(Connection, RefusalsAreRepliedAfterTheBodyOrAtOnce) {
    ::mkdir(tmp_.path("taken").c_str(), 0777);
    const struct {
        std::string header, body, reply;
        bool at_once;
    } cases[] = {
        {"taken\r\r3\r", "abc", "taken: not stored: a directory of that name is in the way\r", false},
        {"a/b\r\r1\r", "x",
         "\"a/b\": not stored: a file name may not be empty, \".\" or \"..\", nor hold \"/\" or a control character\r", false},
        {".catchr-0123456789.part\r\r1\r", "x",
         ".catchr-0123456789.part: not stored: names of the form .catchr-*.part are the receiver's own work files\r", false},
        {"f\rd\x1b\r1\r", "x", "d\\x1B/f: not stored: the directory \"d\\x1B\" holds a control character\r", false},
        {"f\rnew/..\r1\r", "x", "new/../f: not stored: directory \"new\" cannot be made or opened (No such file or directory)\r",
         false},
        {"f\r\r+3\r", "abc", "bad size line \"+3\": digits only\r", true},
        {"f\r\r18446744073709551615\r", "", "f: not stored: 16.0 EiB will never fit on the receiving disk (", true},
        {"f\rnew/deep\r18446744073709551615\r", "", "new/deep/f: not stored: 16.0 EiB will never fit", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        start();
        send(c.header);
        EXPECT_EQ(transfer_->finished(), c.at_once);
        if (!c.at_once) send(c.body);
        EXPECT_TRUE(transfer_->finished());
        EXPECT_EQ(reply().substr(0, c.reply.size()), c.reply);
        ::close(peer_);
        peer_ = -1;
    }
    EXPECT_FALSE(lbtest::exists(tmp_.path("f")));
    transfer_.reset();
    EXPECT_FALSE(lbtest::exists(tmp_.path("new")));  // made for a file that was not stored, and gone
}

}  // namespace
