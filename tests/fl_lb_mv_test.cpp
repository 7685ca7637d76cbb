// Moving, renaming, copying and appending files, and the ring of numbered backups.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "lb.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using namespace lbtest;

struct stat lstat_of(const std::string& name) {
    struct stat st {};
    EXPECT_EQ(::lstat(name.c_str(), &st), 0) << name;
    return st;
}

// Sets access and modification times to fixed moments, with nanoseconds.
void set_times(const std::string& name, std::time_t atime, std::time_t mtime) {
    const struct timespec ts[2] = {{atime, 123456789}, {mtime, 987654321}};
    ASSERT_EQ(::utimensat(AT_FDCWD, name.c_str(), ts, 0), 0);
}

void expect_times_mode(const std::string& name, std::time_t atime, std::time_t mtime, mode_t mode) {
    const struct stat st = lstat_of(name);
    EXPECT_EQ(st.st_atim.tv_sec, atime) << name;
    EXPECT_EQ(st.st_mtim.tv_sec, mtime) << name;
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654321) << name;
    EXPECT_EQ(st.st_mode & 07777, mode) << name;
}

constexpr std::time_t t_a = 1000000000;  // 2001
constexpr std::time_t t_m = 1100000000;  // 2004

// Each test works in a fresh directory of its own, removed afterwards.
class Files : public lbtest::InTempDir<> {
protected:
    Files() : InTempDir("fl_mv_", 022) {}
    void TearDown() override {
        InTempDir::TearDown();
        std::error_code ec;
        if (!other_.empty()) fs::remove_all(other_, ec);
    }
    std::string other_;  // a directory on another file system, when a test makes one
};

using Moving = Files;
using Renaming = Files;
using Copying = Files;
using Appending = Files;
using Backups = Files;

// Every name in dir, hidden ones included, sorted.
std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// A test that needs a file system of its own runs again in a private mount namespace (its
// mounts are seen by nobody else and go with it). The outer run is marked by the identity
// of its namespace, which the inner run must not share.
const char outer_mnt_env[] = "LB_TEST_OUTER_MNTNS";

std::string mnt_ns_id() {
    struct stat st {};
    if (::stat("/proc/self/ns/mnt", &st) != 0) return "";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

bool can_unshare_mounts() {
    return ::geteuid() == 0 && std::system("unshare --mount true > /dev/null 2>&1") == 0;
}

// True inside the namespace; outside, runs this test there, checks that it passed and is
// false.
bool in_own_mounts() {
    if (const char* outer = std::getenv(outer_mnt_env)) {
        if (mnt_ns_id() != outer) return true;
        ADD_FAILURE() << outer_mnt_env << " is set, but this is not a mount namespace of the test's own";
        return false;
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
    const std::string exe = fs::read_symlink("/proc/self/exe");
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::setenv(outer_mnt_env, mnt_ns_id().c_str(), 1);
        ::execlp("unshare", "unshare", "--mount", exe.c_str(), filter.c_str(), "--gtest_brief=1",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = -1;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the run inside the namespace failed";
    return false;
}

// Inside the namespace a 1 MiB tmpfs is mounted at small_, in the test's directory on the
// disk; every test begins with `if (!in_own_mounts()) return;`.
class SmallFs : public Files {
protected:
    void SetUp() override {
        Files::SetUp();
        if (!std::getenv(outer_mnt_env)) {
            if (!can_unshare_mounts()) GTEST_SKIP() << "needs root and mount namespaces";
            return;
        }
        const std::string at = dir_ + "/small";
        ASSERT_TRUE(fs::create_directory(at));
        ASSERT_EQ(::mount("tmpfs", at.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755"), 0)
            << std::strerror(errno);
        small_ = at;
    }
    void TearDown() override {
        // Before the directory is removed: a mount point cannot be.
        if (!small_.empty()) ::umount2(small_.c_str(), MNT_DETACH);
        Files::TearDown();
    }
    std::string small_;
};

// The names a hostile shell line would trip over.
const char* const hostile_src = "we\"ird $HOME `touch pwned1` $(touch pwned2) 2>x \\ 'q'";
const char* const hostile_dst = "-n ta\"rget $PATH `touch pwned3`";

}  // namespace

// ---- FILE_MV ----------------------------------------------------------------------------

TEST_F(Moving, RegularFileTakesItsPlaceWithTimesAndModeAndTheSourceGoes) {
    put_file("a", "new contents");
    ::chmod("a", 0640);
    set_times("a", t_a, t_m);
    const ino_t ino = lstat_of("a").st_ino;
    put_file("b", "old contents that were longer");

    FILE_MV("a", "b");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists("a"));
    // Times first: reading the file may move its access time.
    expect_times_mode("b", t_a, t_m, 0640);
    EXPECT_EQ(get_file("b"), "new contents");
    // On one file system the file itself was renamed, not copied.
    EXPECT_EQ(lstat_of("b").st_ino, ino);

    FILE_MV("b", "sub_missing_name");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(get_file("sub_missing_name"), "new contents");
    EXPECT_FALSE(exists("b"));
}

TEST_F(Moving, AcrossFileSystemsCopiesInBlocksAndDeletesTheSource) {
    other_ = lbtest::make_temp_dir("/dev/shm/fl_mv_XXXXXX");
    if (other_.empty() || lstat_of(other_).st_dev == lstat_of(dir_).st_dev)
        GTEST_SKIP() << "/dev/shm and /tmp are one file system here";

    // Several copy blocks and a ragged end.
    const std::string data = random_bytes(3 * 128 * 1024 + 77, 7);
    const std::string src = other_ + "/a.bin";
    put_file(src, data);
    ::chmod(src.c_str(), 0751);
    set_times(src, t_a, t_m);
    put_file("b.bin", "to be replaced");
    ::chmod("b.bin", 0600);

    FILE_MV(src.c_str(), "b.bin");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists(src));
    expect_times_mode("b.bin", t_a, t_m, 0751);
    EXPECT_TRUE(get_file("b.bin") == data);

    // And back onto a missing name; an empty file too.
    put_file("empty", "");
    FILE_MV("empty", (other_ + "/empty").c_str());
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists("empty"));
    EXPECT_EQ(lstat_of(other_ + "/empty").st_size, 0);
}

TEST_F(Moving, FailedCopyKeepsTheSourceAndNamesBothFiles) {
    other_ = lbtest::make_temp_dir("/dev/shm/fl_mv_XXXXXX");
    if (other_.empty()) GTEST_SKIP() << "no /dev/shm";
    const std::string src = other_ + "/a";
    put_file(src, "data");
    const std::string dst = dir_ + "/no_dir/b";

    FILE_MV(src.c_str(), dst.c_str());
    EXPECT_EQ(pending(), "Open error on \"" + dst + "\" [BF_FILE] (" + src + " -> " + dst +
                             ") [FILE_MV]");
    EXPECT_EQ(get_file(src), "data");
}

TEST_F(Moving, OneFileUnderTwoNames) {
    // The same entry spelt twice stays as it is.
    put_file("a", "only copy");
    FILE_MV("a", "./a");
    FILE_MV("a", "a");
    FILE_MV("a", (dir_ + "/a").c_str());
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(get_file("a"), "only copy");

    // Two links of one file: the move leaves the target's name.
    ASSERT_EQ(::link("a", "b"), 0);
    FILE_MV("a", "b");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists("a"));
    EXPECT_EQ(get_file("b"), "only copy");
}

TEST_F(Moving, ADirectoryAtTheTargetIsRefusedBeforeAnythingMoves) {
    // Through a link too: "mv" would move the file into the directory the link leads to.
    fs::create_directory("d");
    ASSERT_EQ(::symlink("d", "to_d"), 0);
    for (const char* target : {"d", "to_d"}) {
        // A regular file would be renamed; a link goes through the shell.
        for (const bool link_source : {false, true}) {
            SCOPED_TRACE(std::string(target) + (link_source ? ", link source" : ", file source"));
            if (link_source) {
                ASSERT_EQ(::symlink("somewhere", "a"), 0);
            } else {
                put_file("a", "x");
            }
            FILE_MV("a", target);
            EXPECT_EQ(pending(), "\"" + std::string(target) + "\" is a dir (a -> " + target + ") [FILE_MV]");
            EXPECT_TRUE(fs::is_empty("d"));
            EXPECT_TRUE(fs::is_symlink("to_d"));
            EXPECT_TRUE(link_source ? fs::is_symlink("a") : get_file("a") == "x");
            fs::remove("a");
        }
    }
}

TEST_F(Moving, ArgumentAndSourceFailures) {
    FILE_MV("", "b");
    EXPECT_EQ(pending(), "FILE_MV:fnam0=(empty)");
    FILE_MV("a", "");
    EXPECT_EQ(pending(), "FILE_MV:fnam1=(empty)");
    FILE_MV(nullptr, "");
    EXPECT_EQ(pending(), "FILE_MV:fnam0=NULL");
    FILE_MV("", nullptr);
    EXPECT_EQ(pending(), "FILE_MV:fnam1=NULL");
    FILE_MV("nope", "b");
    EXPECT_EQ(pending(), "\"nope\" not found (nope -> b) [FILE_MV]");
    EXPECT_FALSE(exists("b"));

    put_file("a", "x");
    S_ERR("earlier");
    FILE_MV("a", "b");
    EXPECT_EQ(pending(), "earlier");
    EXPECT_TRUE(exists("a"));
    EXPECT_FALSE(exists("b"));
}

TEST_F(Moving, ShellFailureCarriesTheCommandsWordsAndTheCommand) {
    ASSERT_EQ(::symlink("target", "l"), 0);
    FILE_MV("l", "no_dir/x");
    const std::string msg = pending();
    // The move program's own words vary a little between versions; the frame does not.
    const std::string head = "S_EXE:mv: ";
    const std::string cmd = "No such file or directory (cmd=mv -f -T \"l\" \"no_dir/x\" > /dev/null "
                            "2>" + fs::path(s_exe_err_fl).replace_filename("s_exe_stderr").string();
    const std::string tail = ".tmp) (l -> no_dir/x) [FILE_MV]";
    EXPECT_EQ(msg.rfind(head, 0), 0u) << msg;
    EXPECT_NE(msg.find(cmd), std::string::npos) << msg;
    ASSERT_GE(msg.size(), tail.size());
    EXPECT_EQ(msg.substr(msg.size() - tail.size()), tail) << msg;
    EXPECT_TRUE(exists("l"));
}

TEST_F(Moving, HostileNamesReachTheShellAsPlainNames) {
    // A link is not a regular file: it goes through "mv -f".
    ASSERT_EQ(::symlink("somewhere", hostile_src), 0);
    FILE_MV(hostile_src, hostile_dst);
    // The target is a link again, so FILE_OK has its say; the shell did the move.
    EXPECT_EQ(pending(), std::string("\"") + hostile_dst + "\" not found (" + hostile_src +
                             " -> " + hostile_dst + ") [FILE_MV]");
    EXPECT_FALSE(exists(hostile_src));
    ASSERT_TRUE(fs::is_symlink(hostile_dst));
    EXPECT_EQ(fs::read_symlink(hostile_dst), "somewhere");
    EXPECT_FALSE(exists("pwned1"));
    EXPECT_FALSE(exists("pwned2"));
    EXPECT_FALSE(exists("pwned3"));
    EXPECT_FALSE(exists("x"));
}

TEST_F(SmallFs, AFullTargetFileSystemLeavesTheTargetAsItWas) {
    if (!in_own_mounts()) return;
    const std::string data = random_bytes(3 << 20, 11);
    const std::string old = random_bytes(300 << 10, 12);
    const std::string dst = small_ + "/f.bin";
    for (const bool existing : {false, true}) {
        SCOPED_TRACE(existing ? "over an existing target" : "onto a free name");
        put_file("big", data);
        if (existing) put_file(dst, old);

        FILE_MV("big", dst.c_str());
        const std::string msg = pending();
        const std::string head = "Write error on \"" + dst + "\" (cnt=3145728 cnt1=";
        const std::string tail = ") [BF_FILE] (big -> " + dst + ") [FILE_MV]";
        ASSERT_EQ(msg.rfind(head, 0), 0u) << msg;
        ASSERT_TRUE(msg.ends_with(tail)) << msg;
        const std::string cnt1 = msg.substr(head.size(), msg.size() - head.size() - tail.size());
        EXPECT_LE(std::stoul(cnt1), (1u << 20) - (existing ? old.size() : 0)) << msg;
        EXPECT_TRUE(get_file("big") == data);
        // No copy left behind, whole or partial, under any name.
        EXPECT_EQ(entries(small_), existing ? std::vector<std::string>{"f.bin"} : std::vector<std::string>{});
        if (existing) {
            EXPECT_TRUE(get_file(dst) == old);
        }

        // What fits still moves, over the same name.
        put_file("little", "fits");
        ::chmod("little", 0640);
        set_times("little", t_a, t_m);
        FILE_MV("little", dst.c_str());
        EXPECT_EQ(pending(), "<none>");
        expect_times_mode(dst, t_a, t_m, 0640);
        EXPECT_EQ(get_file(dst), "fits");
        EXPECT_EQ(entries(small_), std::vector<std::string>{"f.bin"});
        EXPECT_FALSE(exists("little"));
        fs::remove(dst);
    }
}

TEST_F(SmallFs, FromAnotherFileSystemWithTimesAndMode) {
    if (!in_own_mounts()) return;
    // Several copy blocks and a ragged end.
    const std::string data = random_bytes(5 * 128 * 1024 + 33, 13);
    const std::string src = small_ + "/a.bin";
    put_file(src, data);
    ::chmod(src.c_str(), 0751);
    set_times(src, t_a, t_m);
    put_file("b.bin", "to be replaced");

    FILE_MV(src.c_str(), "b.bin");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists(src));
    expect_times_mode("b.bin", t_a, t_m, 0751);
    EXPECT_TRUE(get_file("b.bin") == data);
    EXPECT_EQ(entries("."), (std::vector<std::string>{"b.bin", "small"}));
}

// ---- FILE_REN ---------------------------------------------------------------------------

TEST_F(Renaming, RenamesOnlyOntoAFreeName) {
    put_file("a", "A");
    put_file("b", "B");
    FILE_REN("a", "b");
    EXPECT_EQ(pending(), "\"b\" already exists (a -> b) [FILE_REN]");
    EXPECT_EQ(get_file("a"), "A");
    EXPECT_EQ(get_file("b"), "B");

    FILE_REN("a", "c");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists("a"));
    EXPECT_EQ(get_file("c"), "A");

    FILE_REN("c", "c");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(get_file("c"), "A");

    FILE_REN("nope", "d");
    EXPECT_EQ(pending(), "\"nope\" not found (nope -> d) [FILE_REN]");
    fs::create_directory("d");
    FILE_REN("d", "e");
    EXPECT_EQ(pending(), "\"d\" is a dir (d -> e) [FILE_REN]");
    FILE_REN("c", "d");
    EXPECT_EQ(pending(), "rename failure (c -> d) [FILE_REN]");
    EXPECT_EQ(get_file("c"), "A");
    FILE_REN(nullptr, "x");
    EXPECT_EQ(pending(), "FILE_REN:fnam0=NULL");
    FILE_REN("c", "");
    EXPECT_EQ(pending(), "FILE_REN:fnam1=(empty)");
}

// ---- FILE_CP ----------------------------------------------------------------------------

TEST_F(Copying, CopiesContentsTimesAndModeAndKeepsTheSource) {
    const std::string data = random_bytes(300000, 3);
    put_file("a", data);
    ::chmod("a", 0604);
    set_times("a", t_a, t_m);
    put_file("b", std::string(400000, 'z'));

    FILE_CP("a", "b");
    EXPECT_EQ(pending(), "<none>");
    expect_times_mode("b", t_a, t_m, 0604);
    EXPECT_TRUE(get_file("b") == data);
    EXPECT_TRUE(get_file("a") == data);
    EXPECT_NE(lstat_of("a").st_ino, lstat_of("b").st_ino);
}

TEST_F(Copying, TargetEndingInAColonGetsTheDataOnly) {
    put_file("a", "abc");
    ::chmod("a", 0600);
    set_times("a", t_a, t_m);
    FILE_CP("a", "x:");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(get_file("x:"), "abc");
    const struct stat st = lstat_of("x:");
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_GT(st.st_mtim.tv_sec, t_m);
}

TEST_F(Copying, ALinkOfTheSourceKeepsItsData) {
    put_file("a", "precious");
    ASSERT_EQ(::link("a", "b"), 0);
    FILE_CP("a", "b");
    FILE_CP("a", "./a");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(get_file("a"), "precious");
    EXPECT_EQ(get_file("b"), "precious");
}

TEST_F(Copying, NonRegularSourcesGoThroughCp) {
    ASSERT_EQ(::symlink("dangling", hostile_src), 0);
    FILE_CP(hostile_src, hostile_dst);
    EXPECT_EQ(pending(), "<none>");
    ASSERT_TRUE(fs::is_symlink(hostile_dst));
    EXPECT_EQ(fs::read_symlink(hostile_dst), "dangling");
    EXPECT_TRUE(fs::is_symlink(hostile_src));
    EXPECT_FALSE(exists("pwned1"));
    EXPECT_FALSE(exists("pwned2"));
    EXPECT_FALSE(exists("pwned3"));

    FILE_CP("nope", "b");
    EXPECT_EQ(pending(), "\"nope\" not found (nope -> b) [FILE_CP]");
    FILE_CP("", "b");
    EXPECT_EQ(pending(), "FILE_CP:fnam0=(empty)");
}

TEST_F(Copying, MissingDirectoriesAreMadeOnceThenRetried) {
    put_file("a", "payload");
    const std::string deep = dir_ + "/d1/d2/f";
    FILE_CPD("a", deep.c_str());
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(get_file(deep), "payload");

    // A relative name has its first directory taken as given: only "r1/r2" is tried.
    FILE_CPD("a", "r1/r2/f");
    EXPECT_EQ(pending(), "Open error on \"r1/r2/f\" [BF_FILE] (a -> r1/r2/f) [FILE_CP]");
    EXPECT_FALSE(exists("r1"));
    fs::create_directory("r1");
    FILE_CPD("a", "r1/r2/f");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(get_file("r1/r2/f"), "payload");

    // Directory names are never read by a shell.
    const std::string odd = dir_ + "/$(touch pwned)/`touch pwned`/f";
    FILE_CPD("a", odd.c_str());
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(get_file(odd), "payload");
    EXPECT_FALSE(exists("pwned"));
}

// ---- FILE_AP ----------------------------------------------------------------------------

TEST_F(Appending, AppendsTheSecondFileToTheFirst) {
    const std::string tail = random_bytes(40000, 9);
    put_file("a.dat", "head:");
    put_file("b.dat", tail);
    FILE_AP("a.dat", "b.dat");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_TRUE(get_file("a.dat") == "head:" + tail);
    EXPECT_TRUE(get_file("b.dat") == tail);

    // A missing first file is created.
    FILE_AP("c.dat", "b.dat");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_TRUE(get_file("c.dat") == tail);
}

TEST_F(Appending, AFileAppendedToItselfDoublesOnce) {
    // Larger than a record's cache, so the appended part reaches the file while reading.
    const std::string data = random_bytes(200000, 4);
    put_file("self.dat", data);
    FILE_AP("self.dat", "self.dat");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_TRUE(get_file("self.dat") == data + data);
}

TEST_F(Appending, FailuresNameBothFiles) {
    put_file("a.dat", "x");
    FILE_AP("a.dat", "nope");
    EXPECT_EQ(pending(), "\"nope\" not found (fnam=a.dat fnam1=nope) [FILE_AP]");
    EXPECT_EQ(get_file("a.dat"), "x");
    FILE_AP(nullptr, "a.dat");
    EXPECT_EQ(pending(), "FILE_AP:fnam0=NULL (fnam= fnam1=a.dat) [FILE_AP]");
    FILE_AP("a.dat", nullptr);
    EXPECT_EQ(pending(), "FILE_AP:fnam1=NULL (fnam=a.dat fnam1=) [FILE_AP]");
}

// ---- FILE_BK ----------------------------------------------------------------------------

TEST_F(Backups, RingOfThreeKeepsAFreeNumberAhead) {
    put_file("f", "v0");
    EXPECT_STREQ(FILE_BK("f", 3), "./bk/f.0");
    EXPECT_TRUE(fs::is_directory("bk"));
    put_file("f", "v1");
    put_file("bk/f.2", "stale");
    EXPECT_STREQ(FILE_BK("f", 3), "./bk/f.1");
    EXPECT_FALSE(exists("bk/f.2"));
    put_file("f", "v2");
    EXPECT_STREQ(FILE_BK("f", 3), "./bk/f.2");
    EXPECT_FALSE(exists("bk/f.0"));
    EXPECT_EQ(get_file("bk/f.1"), "v1");
    EXPECT_EQ(get_file("bk/f.2"), "v2");
    put_file("f", "v3");
    EXPECT_STREQ(FILE_BK("f", 3), "./bk/f.0");
    EXPECT_FALSE(exists("bk/f.1"));
    EXPECT_EQ(get_file("bk/f.0"), "v3");
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Backups, TrailRingOfTenIsNamedAfterTheFileAlone) {
    fs::create_directory("logs");
    const std::string log = dir_ + "/logs/dbg.log";
    for (int i = 0; i < 12; ++i) {
        put_file(log, "entry " + std::to_string(i));
        const char* name = FILE_BK(log.c_str(), 10);
        const int slot = i < 10 ? i : i - 10;
        ASSERT_STREQ(name, ("./bk/dbg.log." + std::to_string(slot)).c_str()) << i;
        EXPECT_EQ(get_file(name), "entry " + std::to_string(i));
    }
    int kept = 0;
    for (const auto& e : fs::directory_iterator("bk")) kept += e.is_regular_file() ? 1 : 0;
    EXPECT_EQ(kept, 9);
    EXPECT_FALSE(exists("bk/dbg.log.2"));
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Backups, RingsOfOneOrNoneKeepNothing) {
    put_file("f.txt", "x");
    EXPECT_STREQ(FILE_BK("f.txt", 1), "./bk/f.txt.0");
    EXPECT_FALSE(exists("bk/f.txt.0"));
    EXPECT_STREQ(FILE_BK("f.txt", 0), "./bk/f.txt.0");
    EXPECT_FALSE(exists("bk/f.txt.0"));
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Backups, OnlyRegularFilesAndAUsableDirectory) {
    EXPECT_EQ(FILE_BK("nope", 3), nullptr);
    fs::create_directory("d");
    EXPECT_EQ(FILE_BK("d", 3), nullptr);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists("bk"));

    put_file("bk", "a file in the way");
    put_file("f", "x");
    EXPECT_EQ(FILE_BK("f", 3), nullptr);
    EXPECT_EQ(pending(), std::string("mkdir (err #17:") + std::strerror(17) + ") [FILE_BK]");
}

TEST_F(Backups, DeletingStopsAtTheFirstMissingNumber) {
    put_file("f", "x");
    FILE_BK("f", 5);
    FILE_BK("f", 5);
    FILE_BK("f", 5);
    put_file("bk/f.4", "beyond the gap");
    FILE_BK_DL("f");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(exists("bk/f.0"));
    EXPECT_FALSE(exists("bk/f.1"));
    EXPECT_FALSE(exists("bk/f.2"));
    EXPECT_TRUE(exists("bk/f.4"));
    EXPECT_TRUE(exists("f"));
}

TEST_F(Copying, TraceShowsTheDirectoriesMadeAndTheRetry) {
    put_file("a", "x");
    fs::create_directory("r1");
    dbg_vd = 0;
    dbg_ = 2;
    FILE_CPD("a", "r1/r2/f");
    dbg_ = 0;
    EXPECT_EQ(pending(), "<none>");
    const std::string trail = get_file("dbg.log");
    for (const char* line : {"a -> r1/r2/f\r\n", "FILE_CP:a -> r1/r2/f\r\n", "mkdir r1/r2\r\n",
                             "a -> r1/r2/f (RETRY)\r\n"})
        EXPECT_NE(trail.find(line), std::string::npos) << line << " in:\n" << trail;
    EXPECT_EQ(trail.find("mkdir r1\r\n"), std::string::npos) << trail;
}
