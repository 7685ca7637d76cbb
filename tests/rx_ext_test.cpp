// The receiver's side of the extension, driven over socketpairs: the hello, files one after
// another with their times and modes, answers before the body, digests after it, and kept
// parts resumed by a later connection.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "digest.h"
#include "ext.h"
#include "kept.h"
#include "rx_support.h"
#include "wire.h"

namespace {

using rx::Clock;

constexpr std::uint64_t mib = 1 << 20;
const wire::Attrs plain{1700000000, 123456789, 0644};

std::string request(const std::string& name, std::uint64_t size, const wire::Attrs& a = plain, const std::string& dir = "") {
    return wire::request(name, dir, size, a);
}

using rxtest::Link;
using rxtest::rest_of;

class Extension : public rxtest::Receiving {
protected:
    Extension() : Receiving("rxext") {}

    void expect_printed(const std::string& line) {
        const std::string text = printed();
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nnot in\n" << text;
    }
    std::string part_of(const std::string& name) const { return tmp_.path(rx::kept_part_name(name)); }

    // Sends a large file that breaks off after cut bytes, then hangs up.
    void break_off(const std::string& name, const std::string& content, std::size_t cut, const wire::Attrs& a = plain) {
        auto link = session();
        link->send(request(name, content.size(), a));
        EXPECT_EQ(link->answers(), "GO 0\r");
        link->send(wire::from_line(0) + content.substr(0, cut));
        link->hang_up();
        EXPECT_TRUE(link->t->finished());
    }
};

TEST_F(Extension, HelloIsAnsweredOnlyWhenItIsOne) {
    const struct {
        std::string size_line, answer;
        bool open;  // the connection stays for files
    } cases[] = {
        {"CATCHR-EXT 1 verify resume times", "CATCHR-EXT 1 verify resume times\r", true},
        {"CATCHR-EXT 3 times later-feature verify", "CATCHR-EXT 1 verify times\r", true},
        {"CATCHR-EXT x", "bad size line \"CATCHR-EXT x\": digits only\r", false},
        {"5", "", true},  // a classic header: its body is awaited
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size_line);
        auto link = connect();
        link->send("\r\r" + c.size_line + "\r");
        EXPECT_EQ(link->answers(), c.answer);
        EXPECT_EQ(link->t->finished(), !c.open);
    }
    EXPECT_EQ(printed().find("CATCHR-EXT 1"), std::string::npos) << printed();  // a hello prints nothing

    // A second hello breaks the protocol; a classic header after none is still classic.
    auto link = session();
    link->send(wire::hello_header(wire::our_hello()));
    EXPECT_TRUE(link->t->finished());
    auto classic = connect();
    classic->send("a.txt\r\r3\rabc");
    EXPECT_EQ(classic->answers(), "OK\r");
    EXPECT_EQ(lbtest::get_file(tmp_.path("a.txt")), "abc");
    EXPECT_EQ(lbtest::perm(tmp_.path("a.txt")), 0644u);
}

TEST_F(Extension, FilesFollowOneAnotherWithTimesAndModes) {
    const struct {
        const char* name;
        std::string content;
        wire::Attrs attrs;
        bool exec_bits;
        unsigned mode;
    } cases[] = {
        {"run.sh", "#!/bin/sh\n", {-86400 * 365, 999999999, 0777}, true, 0755},
        {"notes.txt", "hello", {1700000000, 250000000, 0664}, true, 0644},
        {"empty", "", {1, 1, 0600}, true, 0600},
        {"tool.bin", "\x7f" "ELF", {1700000000, 0, 0755}, false, 0644},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        rules_.exec_bits = c.exec_bits;
        rules_.umask = 022;
        auto link = session();
        // Two files on one connection: the second one's answers follow the first's.
        for (const std::string& name : {std::string(c.name), std::string("second-") + c.name}) {
            link->send(request(name, c.content.size(), c.attrs));
            EXPECT_EQ(link->answers(), "GO 0\r");
            link->send(rest_of(c.content, 0));
            EXPECT_EQ(link->answers(), "OK\r");
            struct stat st {};
            ASSERT_EQ(::stat(tmp_.path(name).c_str(), &st), 0);
            EXPECT_EQ(lbtest::get_file(tmp_.path(name)), c.content);
            EXPECT_EQ(st.st_mode & 07777, c.mode);
            EXPECT_EQ(st.st_mtim.tv_sec, c.attrs.mtime_sec);
            EXPECT_EQ(st.st_mtim.tv_nsec, c.attrs.mtime_nsec);
        }
        link->hang_up();
        EXPECT_TRUE(link->t->finished());
    }
    EXPECT_EQ(printed().find("ERROR"), std::string::npos) << printed();  // an end between files is no error
    EXPECT_EQ(leftovers(), "");
}

TEST_F(Extension, RefusedBeforeTheBodyAndTheNextFileStillComes) {
    rules_.store.no_clobber = true;
    lbtest::put_file(tmp_.path("kept.txt"), "old");
    ::mkdir(tmp_.path("dir").c_str(), 0777);
    auto link = session();
    link->send(request("kept.txt", 3));
    EXPECT_EQ(link->answers(), "NO kept.txt: not stored: it exists, and --no-clobber keeps it\r");
    link->send(request(".catchr-0123456789abcdef.part", 5 * mib));
    EXPECT_EQ(link->answers(),
              "NO .catchr-0123456789abcdef.part: not stored: names of the form .catchr-*.part are the receiver's own "
              "work files\r");
    link->send(request("new.txt", 3));
    EXPECT_EQ(link->answers(), "GO 0\r");
    link->send(rest_of("abc", 0));
    EXPECT_EQ(link->answers(), "OK\r");
    EXPECT_EQ(lbtest::get_file(tmp_.path("kept.txt")), "old");
    EXPECT_EQ(lbtest::get_file(tmp_.path("new.txt")), "abc");
    // A fourth line that is none ends the connection after its NO.
    link->send(wire::header("x", "", 1) + "mtime=1.5 mode=644\r");
    EXPECT_EQ(link->answers(), "NO x: not stored: a bad modification time\r");
    EXPECT_TRUE(link->t->finished());
    EXPECT_EQ(leftovers(), "");
}

TEST_F(Extension, BytesThatDifferAreNeverPlaced) {
    for (const std::size_t size : {std::size_t{10}, std::size_t{2 * mib + 3}}) {
        SCOPED_TRACE(size);
        const std::string content = lbtest::random_bytes(size, 3);
        std::string sent = rest_of(content, 0);
        sent[wire::from_line(0).size() + size / 2] ^= 0x20;
        auto link = session();
        link->send(request("f", size));
        EXPECT_EQ(link->answers(), "GO 0\r");
        link->send(sent);
        EXPECT_EQ(link->answers(), "BADSUM f: not stored: the bytes that arrived differ from the sender's file\r");
        EXPECT_FALSE(lbtest::exists(tmp_.path("f")));
        EXPECT_EQ(leftovers(), "");
        EXPECT_FALSE(link->t->finished());
    }
}

// A send that broke leaves its part; the next one for the same version resumes it, with the
// body, its digests and the next file's header arriving together while the kept bytes are
// still being read back.
TEST_F(Extension, ABrokenSendIsResumed) {
    const std::string content = lbtest::random_bytes(20 * mib + 100, 5);
    break_off("big.iso", content, 20 * mib + 50);
    expect_printed("big.iso: the sender went away after 20.0 MiB of 20.0 MiB; 20.0 MiB kept to resume");
    EXPECT_EQ(std::filesystem::file_size(part_of("big.iso")), 20 * mib + 50);

    auto link = session();
    link->send(request("big.iso", content.size()));
    EXPECT_EQ(link->answers(), "GO " + std::to_string(20 * mib) + "\r");
    const std::string bytes = rest_of(content, 20 * mib) + request("next", 2);
    ASSERT_EQ(::send(link->peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    link->t->on_readable(Clock::now());
    EXPECT_TRUE(link->t->busy());
    EXPECT_FALSE(link->t->reading());
    link->settle();
    EXPECT_EQ(link->answers(), "OK\rGO 0\r");
    link->send(rest_of("ab", 0));
    EXPECT_EQ(link->answers(), "OK\r");
    EXPECT_TRUE(lbtest::get_file(tmp_.path("big.iso")) == content);
    expect_printed("big.iso: resuming at 20.0 MiB (kept from an earlier send)");
    EXPECT_EQ(leftovers(), "");
}

TEST_F(Extension, AKeptPartOfAnotherVersionGoes) {
    const std::string content = lbtest::random_bytes(2 * mib, 6);
    // The sender's first bytes are not those kept: STALE, and the part is gone.
    break_off("a", content, mib + 5);
    auto link = session();
    link->send(request("a", content.size()));
    EXPECT_EQ(link->answers(), "GO " + std::to_string(mib) + "\r");
    std::string other = content;
    other[7] ^= 1;
    link->send(rest_of(other, mib));
    EXPECT_EQ(link->answers(), "STALE a: the kept part was not of this file; removed\r");
    EXPECT_EQ(leftovers(), "");

    // Another modification time: started over, and nothing of the old part stays.
    break_off("a", content, mib + 5);
    wire::Attrs newer = plain;
    newer.mtime_nsec += 1;
    link->send(request("a", content.size(), newer));
    EXPECT_EQ(link->answers(), "GO 0\r");
    expect_printed("a: a kept part (1.0 MiB) was of another version of the file; starting over");
    link->send(rest_of(content, 0));
    EXPECT_EQ(link->answers(), "OK\r");
    EXPECT_TRUE(lbtest::get_file(tmp_.path("a")) == content);

    // FROM 0 in answer to GO N drops what was kept; any other offset breaks the protocol.
    break_off("b", content, mib + 5);
    link->send(request("b", content.size()));
    EXPECT_EQ(link->answers(), "GO " + std::to_string(mib) + "\r");
    link->send(rest_of(content, 0));
    EXPECT_EQ(link->answers(), "OK\r");
    EXPECT_TRUE(lbtest::get_file(tmp_.path("b")) == content);
    link->send(request("c", content.size()) + wire::from_line(5));
    EXPECT_TRUE(link->t->finished());
    EXPECT_EQ(leftovers(), "");
}

TEST_F(Extension, APartHeldByALiveConnectionIsLeftAlone) {
    const std::string content = lbtest::random_bytes(2 * mib, 8);
    auto first = session();
    first->send(request("f", content.size()));
    EXPECT_EQ(first->answers(), "GO 0\r");
    first->send(wire::from_line(0) + content.substr(0, mib));

    auto second = session();
    second->send(request("f", content.size()));
    EXPECT_EQ(second->answers(), "GO 0\r");
    second->send(rest_of(content, 0));
    EXPECT_EQ(second->answers(), "OK\r");
    EXPECT_EQ(std::filesystem::file_size(part_of("f")), mib);  // untouched by the second

    first->send(content.substr(mib) + wire::sum_line(wire::Digest::of("", 0), wire::Digest::of(content.data(), content.size())));
    EXPECT_EQ(first->answers(), "OK\r");
    EXPECT_EQ(leftovers(), "");
}

TEST_F(Extension, OldKeptPartsAreSweptWhereAFileArrives) {
    ::mkdir(tmp_.path("d").c_str(), 0777);
    const int dir_fd = ::open(tmp_.path("d").c_str(), O_RDONLY | O_DIRECTORY);
    const struct {
        const char* name;
        std::time_t age_days;
    } parts[] = {{"old.iso", 8}, {"recent.iso", 6}};
    for (const auto& p : parts) {
        lbtest::put_file(tmp_.path("d/" + rx::kept_part_name(p.name)), std::string(3000, 'x'));
        ASSERT_TRUE(rx::write_info(dir_fd, rx::kept_info_name(p.name), {5 * mib, 1, 0, p.name}));
        lbtest::set_mtime(tmp_.path("d/" + rx::kept_part_name(p.name)), std::time(nullptr) - p.age_days * 86400);
    }
    ::close(dir_fd);
    auto link = session();
    link->send(request("x", 1, plain, "d"));
    EXPECT_EQ(link->answers(), "GO 0\r");
    link->send(rest_of("y", 0));
    EXPECT_EQ(link->answers(), "OK\r");
    expect_printed("Removed a kept part of d/old.iso (2.9 KiB, last written ");
    expect_printed("): older than 7 days");
    EXPECT_EQ(printed().find("recent.iso"), std::string::npos);
    EXPECT_EQ(leftovers(), rx::kept_info_name("recent.iso") + " " + rx::kept_part_name("recent.iso") + " ");
}

TEST_F(Extension, KeepPartialZeroKeepsNothing) {
    rules_.store.keep_days = 0;
    break_off("f", lbtest::random_bytes(2 * mib, 9), mib);
    expect_printed("f: the sender went away after 1.0 MiB of 2.0 MiB; nothing stored");
    EXPECT_EQ(leftovers(), "");
}

TEST(KeptPartInfo, ReadsBackWhatItWrote) {
    const rx::PartInfo info{5 * mib, -12, 7, "name with spaces"};
    rx::PartInfo back;
    EXPECT_TRUE(rx::parse_info(rx::info_text(info), back));
    EXPECT_EQ(back, info);
    for (const char* bad : {"", "catchr-part-1 5 1.0 x", "catchr-part-2 5 1.000000000 x\n", "catchr-part-1 5\n"})
        EXPECT_FALSE(rx::parse_info(bad, back)) << bad;
    EXPECT_EQ(rx::kept_part_name("a").size(), std::string(".catchr-0123456789abcdef.part").size());
    EXPECT_NE(rx::kept_part_name("a"), rx::kept_part_name("b"));
}

}  // namespace
