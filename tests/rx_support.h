// What the receiver's connection tests share: a receiving directory of their own, the rules
// and a view printing to a file, and a Transfer on one end of a socketpair.
#ifndef TESTS_RX_SUPPORT_H
#define TESTS_RX_SUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "test_support.h"
#include "transfer.h"

namespace rxtest {

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
