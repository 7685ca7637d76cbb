// The receiver's side of batches, driven over socketpairs: files sent without waiting for
// their answers, many to one write; the question which files are here already; directories
// made and given their times; and a hello without batches that gets none of it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "ext.h"
#include "rx_support.h"
#include "wire.h"

namespace {

using rx::Clock;
using rxtest::rest_of;

const wire::Attrs plain{1700000000, 123456789, 0644};

wire::Attrs now_attrs(wire::Attrs a = plain) {
    a.body_now = true;
    return a;
}

// A file as a batch sends it: the request, then at once FROM 0, the body and SUM.
std::string sent_now(const std::string& name, const std::string& content, const std::string& dir = "",
                     const wire::Attrs& a = now_attrs()) {
    return wire::request(name, dir, content.size(), a) + rest_of(content, 0);
}

// Sets a modification time to the nanosecond, of a link itself too.
void set_time(const std::string& path, const wire::Attrs& a) {
    const timespec ts[2] = {{0, UTIME_OMIT}, {a.mtime_sec, a.mtime_nsec}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), ts, AT_SYMLINK_NOFOLLOW), 0) << path;
}

std::string content_of(int i) { return lbtest::random_bytes(static_cast<std::size_t>(i * 13 % 160), i); }

class Batches : public rxtest::Receiving {
protected:
    Batches() : Receiving("rxbatch") {}

    struct stat stat_of(const std::string& rel) const {
        struct stat st {};
        EXPECT_EQ(::lstat(tmp_.path(rel).c_str(), &st), 0) << rel;
        return st;
    }
};

// A peer that sends and sends and never reads its answers is let go once they fill the
// socket, rather than holding the receiver in a send.
TEST_F(Batches, APeerThatNeverReadsItsAnswersIsLetGo) {
    auto link = session();
    const int small = 4096;
    ASSERT_EQ(::setsockopt(link->peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    std::string file = sent_now("", "");  // refused at once, answered NO: the longest answer for the fewest bytes
    for (int round = 0; round < 200 && !link->t->finished(); ++round) {
        std::string bytes;
        for (int i = 0; i < 50; ++i) bytes += file;
        ::send(link->peer, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        link->t->on_readable(Clock::now());
        link->settle();
    }
    EXPECT_TRUE(link->t->finished());
    EXPECT_NE(printed().find("the sender does not read its answers; connection closed"), std::string::npos) << printed();
}

// Hundreds of files in one write, more than one turn takes: the answers come in order, one
// refused at its header is answered NO after its body, and the rest are stored.
TEST_F(Batches, ManyFilesInOneWriteAreAnsweredInOrder) {
    constexpr int files = 600, refused = 300;
    rules_.store.no_clobber = true;
    lbtest::put_file(tmp_.path("old"), "old");
    std::string bytes, expected;
    for (int i = 0; i < files; ++i) {
        const std::string name = i == refused ? "old" : "f" + std::to_string(i);
        bytes += sent_now(name, content_of(i), i % 3 ? "d" + std::to_string(i % 7) : "");
        expected += i == refused ? "NO old: not stored: it exists, and --no-clobber keeps it\r" : "OK\r";
    }
    auto link = session();
    ASSERT_EQ(::send(link->peer, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
    link->t->on_readable(Clock::now());
    // One turn does not take them all; the socket is not read while bytes wait.
    EXPECT_TRUE(link->t->busy());
    EXPECT_FALSE(link->t->reading());
    link->settle();
    EXPECT_TRUE(link->t->reading());
    EXPECT_EQ(link->answers(), expected);
    for (int i = 0; i < files; i += 41) {
        if (i == refused) continue;
        const std::string rel = (i % 3 ? "d" + std::to_string(i % 7) + "/" : "") + "f" + std::to_string(i);
        EXPECT_EQ(lbtest::get_file(tmp_.path(rel)), content_of(i)) << rel;
        EXPECT_EQ(stat_of(rel).st_mtim.tv_nsec, plain.mtime_nsec);
    }
    EXPECT_EQ(lbtest::get_file(tmp_.path("old")), "old");
    EXPECT_EQ(leftovers(), "");
    EXPECT_EQ(printed().find("GO"), std::string::npos);
}

TEST_F(Batches, AFileWithoutWaitingIsCheckedAndNeverKept) {
    const std::string big = lbtest::random_bytes(2 << 20, 4);
    std::string spoiled = sent_now("f", "0123456789");
    spoiled[spoiled.find("0123")] ^= 1;
    const struct {
        const char* what;
        std::string bytes;
        std::string answers;
        bool open;
    } cases[] = {
        {"a spoiled body, then the next file", spoiled + sent_now("g", "x"),
         "BADSUM f: not stored: the bytes that arrived differ from the sender's file\rOK\r", true},
        {"a large body that breaks off", wire::request("big", "", big.size(), now_attrs()) + wire::from_line(0) +
                                              big.substr(0, big.size() - 10),
         "", true},
        {"FROM at another offset", wire::request("h", "", 5, now_attrs()) + wire::from_line(3), "", false},
        {"a file without body=now waits for its GO", wire::request("i", "", 1, plain), "GO 0\r", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto link = session();
        link->send(c.bytes);
        EXPECT_EQ(link->answers(), c.answers);
        EXPECT_EQ(!link->t->finished(), c.open);
        link->hang_up();
        EXPECT_EQ(leftovers(), "");
    }
    EXPECT_FALSE(lbtest::exists(tmp_.path("f")));
    EXPECT_FALSE(lbtest::exists(tmp_.path("big")));
    EXPECT_EQ(lbtest::get_file(tmp_.path("g")), "x");
}

// Which entries stand here as the sender has them, with and without --confine.
TEST_F(Batches, CheckAnswersWhichFilesAreHere) {
    ::mkdir(tmp_.path("d").c_str(), 0755);
    ::mkdir(tmp_.path("dir").c_str(), 0755);
    lbtest::put_file(tmp_.path("same"), "12345");
    lbtest::put_file(tmp_.path("d/same"), "12345");
    ASSERT_EQ(::symlink("same", tmp_.path("link").c_str()), 0);
    ASSERT_EQ(::symlink("d", tmp_.path("via").c_str()), 0);
    for (const char* rel : {"same", "d/same", "dir", "link"}) set_time(tmp_.path(rel), plain);
    const auto dir_size = static_cast<std::uint64_t>(stat_of("dir").st_size);
    const wire::Attrs later{plain.mtime_sec, plain.mtime_nsec + 1, 0644};
    const struct {
        const char *name, *dir;
        std::uint64_t size;
        wire::Attrs attrs;
        char plain, confined;
    } entries[] = {
        {"same", "", 5, plain, '=', '='},         {"same", "d", 5, plain, '=', '='},
        {"same", "./d/", 5, plain, '=', '='},     {"same", "", 4, plain, '+', '+'},
        {"same", "", 5, later, '+', '+'},         {"none", "", 5, plain, '+', '+'},
        {"same", "missing", 5, plain, '+', '+'},  {"dir", "", dir_size, plain, '+', '+'},
        {"link", "", 5, plain, '+', '+'},         {"same", "via", 5, plain, '=', '+'},
        {"same", "d/../d", 5, plain, '=', '+'},   {"a/b", "", 5, plain, '+', '+'},
    };
    for (const bool confine : {false, true}) {
        SCOPED_TRACE(confine);
        rules_.store.confine = confine;
        std::string bytes = wire::check_request(std::size(entries)), expected;
        for (const auto& e : entries) {
            bytes += wire::check_entry(e.name, e.dir, e.size, e.attrs);
            expected += confine ? e.confined : e.plain;
        }
        auto link = session();
        link->send(bytes);
        EXPECT_EQ(link->answers(), wire::checked_line(std::size(entries)) + expected);
        // The connection goes on; an entry that is none ends it.
        link->send(wire::check_request(2) + wire::check_entry("same", "", 5, plain) + wire::header("x", "", 1) +
                   "mode=1\r");
        EXPECT_EQ(link->answers(),
                  "NO entry 2 of a CHECK: the modification time or the mode is missing\r");
        EXPECT_TRUE(link->t->finished());
    }
    EXPECT_EQ(lbtest::get_file(tmp_.path("same")), "12345");
    EXPECT_FALSE(lbtest::exists(tmp_.path("missing")));
}

TEST_F(Batches, DirMakesTheDirectoryWithItsTime) {
    rules_.umask = 022;
    ::mkdir(tmp_.path("old").c_str(), 0700);
    ::mkdir(tmp_.path("out").c_str(), 0755);
    ASSERT_EQ(::symlink("out", tmp_.path("via").c_str()), 0);
    rules_.store.confine = true;
    const wire::Attrs a{1600000000, 5, 0777};
    auto link = session();
    // A file's directory made by this connection takes the mode; one that stood keeps its own.
    link->send(sent_now("f", "x", "t"));
    const struct {
        const char* dir;
        std::string answer;
        unsigned mode;  // 0: not there
    } cases[] = {
        {"new/empty", "OK\r", 0755},
        {"old", "OK\r", 0700},
        {"t", "OK\r", 0755},
        {"", "OK\r", 0},
        {"../up", "NO ../up: directory not made: the destination \"../up\" is outside the receiving directory "
                  "(--confine)\r", 0},
        {"via/x", "NO via/x: directory not made: the destination \"via/x\" passes through a symbolic link at "
                  "\"via\" (--confine)\r", 0},
    };
    wire::Attrs tight = a;
    tight.mode = 0750;
    link->send(wire::dir_request("t", tight));
    EXPECT_EQ(link->answers(), "OK\rOK\r");
    EXPECT_EQ(stat_of("t").st_mode & 07777, 0750u);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dir);
        link->send(wire::dir_request(c.dir, a));
        EXPECT_EQ(link->answers(), c.answer);
        if (c.mode == 0) continue;
        const struct stat st = stat_of(c.dir);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, c.mode);
        EXPECT_EQ(st.st_mtim.tv_sec, a.mtime_sec);
        EXPECT_EQ(st.st_mtim.tv_nsec, a.mtime_nsec);
    }
    EXPECT_FALSE(lbtest::exists(tmp_.path("out/x")));
    EXPECT_FALSE(link->t->finished());
}

// A sender that did not name batch in its hello gets the extension as it was: a body=now
// file waits for its GO, and CHECK and DIR are no size lines.
TEST_F(Batches, WithoutBatchInTheHelloNoneOfIt) {
    const wire::Hello older{1, {"verify", "resume", "times"}};
    auto link = session(older);
    link->send(sent_now("f", "abc").substr(0, wire::request("f", "", 3, now_attrs()).size()));
    EXPECT_EQ(link->answers(), "GO 0\r");
    link->send(rest_of("abc", 0));
    EXPECT_EQ(link->answers(), "OK\r");
    const struct {
        std::string request, size_line;
    } cases[] = {{wire::check_request(1), "CHECK 1"}, {wire::dir_request("d", plain), "DIR"}};
    for (const auto& c : cases) {
        auto again = session(older);
        again->send(c.request);
        EXPECT_EQ(again->answers(), "NO bad size line \"" + c.size_line + "\": digits only\r");
        EXPECT_TRUE(again->t->finished());
    }
    EXPECT_FALSE(lbtest::exists(tmp_.path("d")));
}

}  // namespace
