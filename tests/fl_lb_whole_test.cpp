// Whole-file operations: what a name is, size, mode and time, deleting, emptying, writing
// buffers and lines, reading whole files, line statistics and disk space.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>

#include "lb.h"
#include "lb_own.h"
#include "test_support.h"

namespace {

using namespace lbtest;

std::string random_text(std::size_t n, const char* alphabet, unsigned seed) {
    std::mt19937 gen(seed);
    const std::size_t k = std::strlen(alphabet);
    std::string s(n, '\0');
    for (auto& c : s) c = alphabet[gen() % k];
    return s;
}

// Permissions do not stop root: a root test runs the call as "nobody" (and back).
class AsNobody {
public:
    AsNobody() : root_(geteuid() == 0) {
        if (root_) ok_ = seteuid(65534) == 0;
    }
    ~AsNobody() {
        if (root_ && ok_) {
            EXPECT_EQ(seteuid(0), 0);
        }
    }
    bool ok() const { return ok_; }

private:
    bool root_;
    bool ok_ = true;
};

// Each test works in a fresh directory of its own, removed afterwards.
class Whole : public lbtest::InTempDir<> {
protected:
    Whole() : InTempDir("fl_whole_", 022) {}
    void SetUp() override {
        InTempDir::SetUp();
        dbg_vd = 0;
    }
    void TearDown() override {
        FL_CL(&flr_fd, 0);
        InTempDir::TearDown();
    }
};

using NameTests = Whole;
using SizeModeTime = Whole;
using Delete = Whole;
using Clear = Whole;
using WriteBuffer = Whole;
using WriteLine = Whole;
using ReadWhole = Whole;
using LineStats = Whole;
using PendingError = Whole;

// FILE_STATS's counting done the slow, obvious way: one byte at a time.
std::pair<std::uint16_t, std::uint32_t> stats_by_bytes(const std::string& data) {
    std::uint32_t lines = 0, cur = 0, max = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        char c = data[i];
        if (c == '\r') {
            if (++i == data.size()) {
                ++cur;
                break;
            }
            c = data[i];
        } else if (c != '\n') {
            ++cur;
            continue;
        }
        if (c == '\n') {
            ++lines;
            max = std::max(max, cur);
            cur = 0;
        } else {
            ++cur;
        }
    }
    if (cur > 0) ++lines;
    max = std::max(max, cur);
    return {static_cast<std::uint16_t>(std::min<std::uint32_t>(max, 0xFFFF)), lines};
}

}  // namespace

// ---- What a name is ---------------------------------------------------------------------

TEST_F(NameTests, EachTypeAnswersAndNamesItself) {
    put_file("f", "x");
    std::filesystem::create_directory("d");
    std::filesystem::create_symlink("f", "lf");
    std::filesystem::create_symlink("d", "ld");
    std::filesystem::create_symlink("gone", "dangling");
    ASSERT_EQ(mkfifo("p", 0644), 0);
    int sd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(sd, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, "s");
    ASSERT_EQ(bind(sd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);

    struct Case {
        const char* name;
        char file, any, dir, link;
        const char* file_msg;
    };
    const Case cases[] = {
        {"f", 1, 1, 0, 0, nullptr},
        {"lf", 1, 1, 0, 1, nullptr},
        {"d", 0, 1, 1, 0, "\"d\" is a dir"},
        {"ld", 0, 1, 1, 1, "\"ld\" is a dir"},
        {"dangling", 0, 0, 0, 1, "\"dangling\" not found"},
        {"p", 0, 1, 0, 0, "\"p\" is a pipe"},
        {"s", 0, 1, 0, 0, "\"s\" is a socket"},
        {"/dev/null", 0, 1, 0, 0, "\"/dev/null\" is a character dvc"},
        {"absent", 0, 0, 0, 0, "\"absent\" not found"},
        {"", 0, 0, 0, 0, "\"\" not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FILE_OK(c.name, 0), c.file);
        EXPECT_EQ(ANY_FILE_OK(c.name, 0), c.any);
        EXPECT_EQ(DIR_OK(c.name, 0), c.dir);
        EXPECT_EQ(LINK_OK(c.name, 0), c.link);
        EXPECT_EQ(err_, 0);
        EXPECT_EQ(FILE_OK(c.name, 1), c.file);
        EXPECT_EQ(pending(), c.file_msg ? c.file_msg : "<none>");
    }
    close(sd);

    EXPECT_EQ(DIR_OK("f", 1), 0);
    EXPECT_EQ(pending(), "\"f\" is not dir");
    EXPECT_EQ(DIR_OK("absent", 1), 0);
    EXPECT_EQ(pending(), "Dir \"absent\" not found");
    EXPECT_EQ(ANY_FILE_OK("absent", 1), 0);
    EXPECT_EQ(pending(), "\"absent\" not found");
    EXPECT_EQ(LINK_OK("f", 1), 0);
    EXPECT_EQ(pending(), "Link \"f\" not found");
    EXPECT_EQ(LINK_OK("absent", 1), 0);
    EXPECT_EQ(pending(), "Link \"absent\" not found");
}

TEST_F(NameTests, NullNameIsTheEmptyName) {
    EXPECT_EQ(FILE_OK(nullptr, 1), 0);
    EXPECT_EQ(pending(), "\"\" not found");
    EXPECT_EQ(ANY_FILE_OK(nullptr, 1), 0);
    EXPECT_EQ(pending(), "\"\" not found");
    EXPECT_EQ(DIR_OK(nullptr, 1), 0);
    EXPECT_EQ(pending(), "Dir \"\" not found");
    EXPECT_EQ(LINK_OK(nullptr, 1), 0);
    EXPECT_EQ(pending(), "Link \"\" not found");
    EXPECT_EQ(FILE_SZ(nullptr, 1), 0);
    EXPECT_EQ(pending(), "\"\" not found");
    EXPECT_EQ(FILE_MODE(nullptr), 0u);
    EXPECT_EQ(pending(), "\"\" not found [FILE_MODE]");
    MODE_FILE(0644, nullptr);
    EXPECT_EQ(pending(), "chmod failure (file=\"\", mode=1a4)");
}

// ---- Size, mode and time ----------------------------------------------------------------

TEST_F(SizeModeTime, SizeOfAnythingStatSeesAndRaisesByTypeOnlyWhenMissing) {
    std::filesystem::create_directory("d");
    EXPECT_GT(FILE_SZ("d", 1), 0);
    EXPECT_EQ(err_, 0);
    put_file("empty", "");
    EXPECT_EQ(FILE_SZ("empty", 1), 0);
    EXPECT_EQ(err_, 0);
    // A dangling link is missing; FILE_OK's message tells so.
    std::filesystem::create_symlink("gone", "dangling");
    EXPECT_EQ(FILE_SZ("dangling", 1), 0);
    EXPECT_EQ(pending(), "\"dangling\" not found");
}

TEST_F(SizeModeTime, SizesBeyond31BitsKeepTheirLow32Bits) {
    // Sparse files: no disk space is used.
    int fd = open("big", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t{1} << 32) + 5), 0);
    close(fd);
    EXPECT_EQ(FILE_SZ("big", 1), 5);
    fd = open("three", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, off_t{3} << 30), 0);
    close(fd);
    EXPECT_EQ(FILE_SZ("three", 1), static_cast<std::int32_t>(0xC0000000u));
    EXPECT_EQ(err_, 0);
}

TEST_F(SizeModeTime, WholeSizeIn64Bits) {
    const struct {
        const char* name;
        off_t size;
        std::int32_t low;  // what FILE_SZ keeps
    } cases[] = {
        {"empty", 0, 0},
        {"small", 5, 5},
        {"three", off_t{3} << 30, static_cast<std::int32_t>(0xC0000000u)},
        {"four", (off_t{1} << 32) + 5, 5},
        {"five", off_t{5} << 30, 1 << 30},
    };
    for (const auto& c : cases) {
        // Sparse files: no disk space is used.
        int fd = open(c.name, O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0) << c.name;
        ASSERT_EQ(ftruncate(fd, c.size), 0) << c.name;
        close(fd);
        EXPECT_EQ(FILE_SZ8(c.name, 1), static_cast<std::uint64_t>(c.size)) << c.name;
        EXPECT_EQ(FILE_SZ(c.name, 1), c.low) << c.name;
    }
    EXPECT_EQ(FILE_SZ8("five", 0), 5368709120u);
    std::filesystem::create_directory("d");
    EXPECT_GT(FILE_SZ8("d", 1), 0u);
    EXPECT_EQ(err_, 0);
}

TEST_F(SizeModeTime, WholeSizeFailsAsTheThirtyTwoBitOne) {
    std::filesystem::create_symlink("gone", "dangling");
    const struct {
        const char* name;
        const char* message;
    } cases[] = {
        {"absent", "\"absent\" not found"},
        {"dangling", "\"dangling\" not found"},
        {nullptr, "\"\" not found"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FILE_SZ8(c.name, 0), 0u);
        EXPECT_EQ(err_, 0);
        EXPECT_EQ(FILE_SZ8(c.name, 1), 0u);
        EXPECT_EQ(pending(), c.message);
        FILE_SZ(c.name, 1);
        EXPECT_EQ(pending(), c.message);
    }
    put_file("f", "12345");
    S_ERR("first");
    EXPECT_EQ(FILE_SZ8("f", 1), 0u);
    EXPECT_EQ(pending(), "first");
}

TEST_F(SizeModeTime, ModeKeepsTypeBitsAndSettingItKeepsOnlyPermissions) {
    put_file("f.txt", "x");
    std::filesystem::create_directory("d");
    EXPECT_EQ(FILE_MODE("f.txt"), 0100644u);
    EXPECT_EQ(FILE_MODE("d"), 040755u);
    // The way the receiver adds execute bits.
    MODE_FILE(FILE_MODE("f.txt") | 0111, "f.txt");
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(FILE_MODE("f.txt"), 0100755u);
    MODE_FILE(04750, "f.txt");
    EXPECT_EQ(perm("f.txt"), 04750u);
}

TEST_F(SizeModeTime, ModificationTimeInLocalTimeOfTheFileOrTheLink) {
    put_file("f", "x");
    std::filesystem::create_symlink("f", "l");
    const std::time_t tf = 1700000000, tl = 1600000000;
    set_mtime("f", tf);
    set_mtime("l", tl, true);
    for (bool link : {false, true}) {
        SCOPED_TRACE(link);
        const std::time_t t = link ? tl : tf;
        std::tm tm{};
        localtime_r(&t, &tm);
        UTMDF u{};
        u.msec = 999;
        FILE_UTM("l", &u, link);
        EXPECT_EQ(err_, 0);
        EXPECT_EQ(u.year, tm.tm_year + 1900);
        EXPECT_EQ(u.mon, tm.tm_mon + 1);
        EXPECT_EQ(u.day, tm.tm_mday);
        EXPECT_EQ(u.wday, tm.tm_wday + 1);
        EXPECT_EQ(u.hour, tm.tm_hour);
        EXPECT_EQ(u.min, tm.tm_min);
        EXPECT_EQ(u.sec, tm.tm_sec);
        EXPECT_EQ(u.msec, 0);
    }

    UTMDF u{};
    FILE_UTM("absent", &u, 0);
    EXPECT_EQ(pending(), "Open error on \"absent\" [FILE_UTM]");
    FILE_UTM("f", nullptr, 0);
    EXPECT_EQ(pending(), "FILE_UTM:utm=NULL");

    // It works while an error is pending and leaves that error alone.
    S_ERR("earlier");
    u = UTMDF{};
    FILE_UTM("f", &u, 0);
    EXPECT_NE(u.year, 0);
    EXPECT_EQ(pending(), "earlier");
}

TEST_F(SizeModeTime, NewerComparesWholeSecondsStrictly) {
    put_file("a", "a");
    put_file("b", "b");
    set_mtime("a", 1700000001);
    set_mtime("b", 1700000000);
    EXPECT_EQ(FILE_NEWER("a", "b"), 1);
    EXPECT_EQ(FILE_NEWER("b", "a"), 0);
    EXPECT_EQ(FILE_NEWER("a", "a"), 0);
    EXPECT_EQ(err_, 0);
    // A directory counts as anything else that exists.
    std::filesystem::create_directory("d");
    set_mtime("d", 1);
    EXPECT_EQ(FILE_NEWER("b", "d"), 1);

    EXPECT_EQ(FILE_NEWER("a", "absent"), 0);
    EXPECT_EQ(pending(), "\"absent\" not found");
    EXPECT_EQ(FILE_NEWER("gone", "absent"), 0);
    EXPECT_EQ(pending(), "\"gone\" not found");
}

// ---- Deleting ------------------------------------------------------------------------------

TEST_F(Delete, FilesAndEmptyDirectoriesGoMissingIsAnErrorOnlyWithReport) {
    put_file("f", "x");
    EXPECT_EQ(FILE_DL("f", 1), 1);
    EXPECT_FALSE(exists("f"));
    std::filesystem::create_directory("d");
    EXPECT_EQ(FILE_DL("d", 1), 1);
    EXPECT_FALSE(exists("d"));
    // A link goes, its target stays.
    put_file("t", "x");
    std::filesystem::create_symlink("t", "l");
    EXPECT_EQ(FILE_DL("l", 0), 1);
    EXPECT_FALSE(exists("l"));
    EXPECT_TRUE(exists("t"));
    EXPECT_EQ(err_, 0);

    EXPECT_EQ(FILE_DL("absent", 0), 0);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(FILE_DL("absent", 1), 0);
    EXPECT_EQ(pending(), "Delete error on \"absent\" (file not found)");
    EXPECT_EQ(FILE_DL("t/below", 0), 0);
    EXPECT_EQ(err_, 0);

    // A directory that is not empty cannot go, even without report.
    std::filesystem::create_directory("full");
    put_file("full/x", "x");
    EXPECT_EQ(FILE_DL("full", 0), 0);
    EXPECT_EQ(pending(), "Delete error on \"full\"");
    EXPECT_TRUE(exists("full/x"));

    EXPECT_EQ(FILE_DL(nullptr, 0), 0);
    EXPECT_EQ(pending(), "FILE_DL:fnam=NULL");
}

TEST_F(Delete, RefusedPermissionIsReadonly) {
    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    std::filesystem::create_directory("ro");
    put_file("ro/f", "x");
    ASSERT_EQ(chmod("ro", 0555), 0);
    {
        AsNobody nobody;
        ASSERT_TRUE(nobody.ok());
        EXPECT_EQ(FILE_DL("ro/f", 0), 0);
    }
    EXPECT_EQ(pending(), "Delete error on \"ro/f\" (readonly)");
    EXPECT_TRUE(exists("ro/f"));
    chmod("ro", 0755);
}

TEST_F(Delete, WorksWhileAnErrorIsPendingAndAddsItsWordsToIt) {
    put_file("f", "x");
    S_ERR("earlier");
    EXPECT_EQ(FILE_DL("f", 1), 1);
    EXPECT_FALSE(exists("f"));
    EXPECT_EQ(FILE_DL("f", 0), 0);
    EXPECT_EQ(err_, 1);
    EXPECT_EQ(FILE_DL("f", 1), 0);
    EXPECT_EQ(pending(), "earlier (file not found)");
}

TEST_F(Delete, TracedAboveDebugLevelOne) {
    put_file("a", "x");
    put_file("b", "x");
    dbg_ = 1;
    FILE_DL("a", 0);
    EXPECT_FALSE(exists("dbg.log"));
    dbg_ = 2;
    FILE_DL("b", 0);
    dbg_ = 0;
    const std::string log = get_file("dbg.log");
    EXPECT_NE(log.find("FILE_DL:b\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("FILE_DL:a"), std::string::npos) << log;
    EXPECT_EQ(err_, 0);
}

// ---- Emptying --------------------------------------------------------------------------------

TEST_F(Clear, EmptiesRegularFilesAndCreatesOnlyWhenAsked) {
    FILE_CLR("work.tmp", 0);
    EXPECT_FALSE(exists("work.tmp"));
    EXPECT_EQ(err_, 0);
    FILE_CLR("work.tmp", 1);
    ASSERT_TRUE(exists("work.tmp"));
    EXPECT_EQ(get_file("work.tmp"), "");
    EXPECT_EQ(perm("work.tmp"), 0644u);
    put_file("work.tmp", "old content");
    FILE_CLR("work.tmp", 0);
    EXPECT_EQ(get_file("work.tmp"), "");
    EXPECT_EQ(err_, 0);

    // The rule of written files: scripts and names without a "." become executable.
    FILE_CLR("tool", 1);
    EXPECT_EQ(perm("tool"), 0755u);
    FILE_CLR("run.sh", 1);
    EXPECT_EQ(perm("run.sh"), 0755u);

    // Not a regular file: left alone, unless creation is asked, which then fails.
    std::filesystem::create_directory("d.dir");
    FILE_CLR("d.dir", 0);
    EXPECT_EQ(err_, 0);
    FILE_CLR("d.dir", 1);
    EXPECT_EQ(pending(), "Open error on \"d.dir\" [FILE_CLR]");
    FILE_CLR(nullptr, 0);
    EXPECT_EQ(err_, 0);
    FILE_CLR(nullptr, 1);
    EXPECT_EQ(pending(), "FL_OP:fnam=NULL [FILE_CLR]");
}

// ---- Writing a buffer ------------------------------------------------------------------------

TEST_F(WriteBuffer, AppendOrReplaceAndZeroCountStillCreatesOrTruncates) {
    BF_FILE("f.txt", "abc", 4294967295u, 2);
    BF_FILE("f.txt", "abc", 4294967295u, 2);
    EXPECT_EQ(get_file("f.txt"), "abcabc");
    BF_FILE("f.txt", "abc", 4294967295u, 1);
    EXPECT_EQ(get_file("f.txt"), "abc");
    // Any mode other than 2 replaces.
    BF_FILE("f.txt", "xyz", 2, 0);
    EXPECT_EQ(get_file("f.txt"), "xy");
    BF_FILE("f.txt", "abc", 0, 1);
    EXPECT_TRUE(exists("f.txt"));
    EXPECT_EQ(get_file("f.txt"), "");
    BF_FILE("new.txt", "abc", 0, 2);
    EXPECT_TRUE(exists("new.txt"));
    EXPECT_EQ(get_file("new.txt"), "");
    // A null buffer does nothing at all.
    BF_FILE("none.txt", nullptr, 3, 1);
    EXPECT_FALSE(exists("none.txt"));
    EXPECT_EQ(err_, 0);
}

TEST_F(WriteBuffer, BytesGoOutExactlyWithNoLineEndsOrExecuteBits) {
    const std::string data = random_text(300000, "ab\r\n\0\xff", 7);
    BF_FILE("tool", data.data(), static_cast<std::uint32_t>(data.size()), 1);
    BF_FILE("tool", data.data(), 10, 2);
    EXPECT_EQ(get_file("tool"), data + data.substr(0, 10));
    EXPECT_EQ(perm("tool"), 0644u);
    EXPECT_EQ(err_, 0);
}

TEST_F(WriteBuffer, FailuresNameTheFile) {
    BF_FILE("no/such/dir.txt", "abc", 3, 1);
    EXPECT_EQ(pending(), "Open error on \"no/such/dir.txt\" [BF_FILE]");
    BF_FILE(nullptr, "abc", 3, 1);
    EXPECT_EQ(pending(), "BF_FILE:fnam=NULL");
    if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    BF_FILE("/dev/full", "abc", 3, 1);
    EXPECT_EQ(pending(), "Write error on \"/dev/full\" (cnt=3 cnt1=0) [BF_FILE]");
}

TEST_F(WriteBuffer, ToADescriptorAllOrTheCauseOfTheShortfall) {
    const std::string data = random_text(300000, "ab\r\n\0\xff", 3);
    {
        LbFd fd(::open("out.bin", O_WRONLY | O_CREAT | O_TRUNC, 0600));
        BF_FD(fd.get(), "out.bin", data.data(), static_cast<std::uint32_t>(data.size()));
        BF_FD(fd.get(), "out.bin", "tail", 4);
    }
    EXPECT_EQ(get_file("out.bin"), data + "tail");
    EXPECT_EQ(err_, 0);
    BF_FD(-1, "gone", "abc", 3);
    EXPECT_EQ(pending(), "Write error on \"gone\" (cnt=3 cnt1=0) (err #9:Bad file descriptor) [BF_FD]");
    if (!exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    LbFd full(::open("/dev/full", O_WRONLY));
    BF_FD(full.get(), "/dev/full", "abc", 3);
    EXPECT_EQ(pending(), "Write error on \"/dev/full\" (cnt=3 cnt1=0) (err #28:No space left on device) [BF_FD]");
}

// ---- Writing a line --------------------------------------------------------------------------

TEST_F(WriteLine, LineEndComesFromTheFileThenItsName) {
    S_FILE("a.txt", "one", 2);
    S_FILE("a.txt", nullptr, 2);
    EXPECT_EQ(get_file("a.txt"), "one\r\n\r\n");
    S_FILE("log", "one", 2);
    EXPECT_EQ(get_file("log"), "one\n");
    S_FILE("x.sh", "one", 1);
    EXPECT_EQ(get_file("x.sh"), "one\n");
    // The file's own first line end wins over its name.
    put_file("unix.txt", "first\nsecond\r\n");
    S_FILE("unix.txt", "third", 2);
    EXPECT_EQ(get_file("unix.txt"), "first\nsecond\r\nthird\n");
    // Replacing: the line is all that is left; no execute bits from S_FILE.
    S_FILE("log", "only", 1);
    EXPECT_EQ(get_file("log"), "only\n");
    EXPECT_EQ(perm("log"), 0644u);
    EXPECT_EQ(err_, 0);
}

TEST_F(WriteLine, LongLinesAreWrittenWhole) {
    for (std::size_t n : {1021u, 1022u, 1023u, 200000u}) {
        const std::string line = random_text(n, "abc", static_cast<unsigned>(n));
        S_FILE("longlog", line.c_str(), 1);
        EXPECT_TRUE(get_file("longlog") == line + "\n") << n;
    }
    EXPECT_EQ(err_, 0);
}

TEST_F(WriteLine, SeveralTextsMakeOneAppendedLine) {
    SM_FILE("m.txt", "a", "b", "c", nullptr);
    SM_FILE("m.txt", nullptr);
    SM_FILE("m.txt", "d", nullptr, "ignored", nullptr);
    EXPECT_EQ(get_file("m.txt"), "abc\r\n\r\nd\r\n");
    SM_FILE("mlog", "x", "y", nullptr);
    EXPECT_EQ(get_file("mlog"), "xy\n");
    EXPECT_EQ(err_, 0);
}

TEST_F(WriteLine, FailuresCarryTheTrail) {
    S_FILE("no/dir.txt", "x", 2);
    EXPECT_EQ(pending(), "Open error on \"no/dir.txt\" [BF_FILE] [S_FILE]");
    SM_FILE("no/dir.txt", "x", nullptr);
    EXPECT_EQ(pending(), "Open error on \"no/dir.txt\" [SM_FILE]");
    SM_FILE(nullptr, "x", nullptr);
    EXPECT_EQ(pending(), "SM_FILE:fnam=NULL");
}

// ---- Reading a whole file --------------------------------------------------------------------

TEST_F(ReadWhole, WholeFileWithSizeAndATerminatingNul) {
    mem_al_dbg = 1;
    S_ERR("the error state holds one message from now on");
    ERR_S();
    const std::int32_t before = mem_al_cnt;
    const std::string data = random_text(200000, "xy\0\n\r", 3);  // several caches
    put_file("data.bin", data);
    std::uint32_t n = 12345;
    char* bf = FILE_BF("data.bin", &n);
    ASSERT_NE(bf, nullptr);
    EXPECT_EQ(n, data.size());
    EXPECT_EQ(std::string(bf, n), data);
    EXPECT_EQ(bf[n], '\0');
    MEM_FR(&bf);

    put_file("empty", "");
    n = 12345;
    bf = FILE_BF("empty", &n);
    ASSERT_NE(bf, nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_STREQ(bf, "");
    MEM_FR(&bf);
    bf = FILE_BF("data.bin", nullptr);
    ASSERT_NE(bf, nullptr);
    MEM_FR(&bf);
    EXPECT_EQ(mem_al_cnt, before);
    EXPECT_EQ(err_, 0);
    mem_al_dbg = 0;
}

TEST_F(ReadWhole, FailuresGiveNullAndReleaseEverything) {
    mem_al_dbg = 1;
    S_ERR("the error state holds one message from now on");
    ERR_S();
    const std::int32_t before = mem_al_cnt;
    std::uint32_t n = 7;
    EXPECT_EQ(FILE_BF("absent", &n), nullptr);
    EXPECT_EQ(pending(), "\"absent\" not found [FILE_BF]");
    EXPECT_EQ(n, 7u);  // a failed size query leaves n alone

    int fd = open("big", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t{1} << 32) + 5), 0);
    close(fd);
    EXPECT_EQ(FILE_BF("big", &n), nullptr);
    EXPECT_EQ(pending(), "\"big\" too large [FILE_BF]");
    EXPECT_EQ(n, 0u);

    ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
    put_file("secret", "x");
    chmod("secret", 0);
    n = 7;
    {
        AsNobody nobody;
        ASSERT_TRUE(nobody.ok());
        EXPECT_EQ(FILE_BF("secret", &n), nullptr);
    }
    EXPECT_EQ(pending(), "Open error on \"secret\" [FILE_BF]");
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(mem_al_cnt, before);
    mem_al_dbg = 0;
}

TEST_F(ReadWhole, SizeIsWhatWasReadWhenThereIsLessThanStatSays) {
    // A directory has a size but yields no bytes: no stale memory is handed out as data.
    std::filesystem::create_directory("d");
    std::uint32_t n = 7;
    char* bf = FILE_BF("d", &n);
    ASSERT_NE(bf, nullptr);
    EXPECT_EQ(n, 0u);
    EXPECT_STREQ(bf, "");
    MEM_FR(&bf);
    EXPECT_EQ(err_, 0);
}

// ---- Line statistics -------------------------------------------------------------------------

TEST_F(LineStats, LongestLineAndLineCount) {
    struct Case {
        const char* data;
        std::size_t len;
        std::uint16_t longest;
        std::uint32_t lines;
    };
    const Case cases[] = {
        {"ab\ncde", 6, 3, 2},
        {"", 0, 0, 0},
        {"\n\n\n", 3, 0, 3},
        {"a\r\nbb\r\n", 7, 2, 2},
        {"abc\rdef\n", 8, 6, 1},  // a lone CR ends no line and is not counted
        {"ab\r", 3, 3, 1},        // but a CR that ends the file is
        {"a\r\r\n", 4, 2, 1},     // the byte after a CR is taken as plain
        {"a\r\rb", 4, 3, 1},
        {"x\0y\n", 4, 3, 1},
    };
    for (const Case& c : cases) {
        const std::string data(c.data, c.len);
        SCOPED_TRACE(testing::PrintToString(data));
        put_file("t.txt", data);
        std::uint32_t lines = 99;
        EXPECT_EQ(FILE_STATS("t.txt", &lines), c.longest);
        EXPECT_EQ(lines, c.lines);
        EXPECT_EQ(stats_by_bytes(data), std::make_pair(c.longest, c.lines));
        EXPECT_EQ(flr_fd.fp, nullptr);
    }
    EXPECT_EQ(err_, 0);
}

TEST_F(LineStats, BlocksAgreeWithByteByByteAcrossCacheBoundaries) {
    // CR LF pairs split by the 65280-byte cache, and lone CRs at its edges.
    std::string edge(65279, 'a');
    edge += "\r\n";
    edge += std::string(65278, 'b') + "\r\r" + "cc\r";
    for (const std::string& data :
         {edge, random_text(400000, "aaaaab\r\n", 11), random_text(300000, "\r\r\n", 12),
          std::string(70000, 'z') + "\n" + std::string(10, 'y')}) {
        put_file("r.txt", data);
        std::uint32_t lines = 0;
        const std::uint16_t longest = FILE_STATS("r.txt", &lines);
        EXPECT_EQ(std::make_pair(longest, lines), stats_by_bytes(data));
    }
    // A line longer than 65535 is told as 65535.
    put_file("r.txt", std::string(70000, 'z'));
    EXPECT_EQ(FILE_STATS("r.txt", nullptr), 65535);
    EXPECT_EQ(err_, 0);
}

TEST_F(LineStats, UsesTheFirstReadingSlot) {
    put_file("a.txt", "a\n");
    put_file("b.txt", "bbb\n");
    ASSERT_EQ(FLR_OP("a.txt", 0), &flr_fd);
    std::uint32_t lines = 99;
    EXPECT_EQ(FILE_STATS("b.txt", &lines), 0);
    EXPECT_EQ(pending(), "Open error on \"b.txt\" (FLR used) [FILE_STATS]");
    EXPECT_EQ(lines, 0u);
    EXPECT_STREQ(flr_fd.fnam, "a.txt");  // the slot stays on its file
    FLR_CL();
    EXPECT_EQ(FILE_STATS("b.txt", nullptr), 3);
    EXPECT_EQ(FILE_STATS("absent", &lines), 0);
    EXPECT_EQ(pending(), "Open error on \"absent\" [FILE_STATS]");
    EXPECT_EQ(flr_fd.fp, nullptr);
}

// ---- Disk space ------------------------------------------------------------------------------

TEST_F(PendingError, DiskSpaceIsInBlocksOfTheRootFileSystem) {
    struct statfs fs {};
    ASSERT_EQ(statfs("/", &fs), 0);
    const std::uint32_t total = TOTAL_DRV('C');
    const std::uint32_t avail = AVAIL_DRV('C');
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(total % 1024, 0u);
    EXPECT_EQ(avail % 1024, 0u);
    EXPECT_EQ(total, static_cast<std::uint32_t>(fs.f_blocks) & ~1023u);
    EXPECT_LE(avail, total);
    S_ERR("earlier");
    EXPECT_EQ(TOTAL_DRV(0), 0u);
    EXPECT_EQ(AVAIL_DRV(0), 0u);
    EXPECT_EQ(pending(), "earlier");
}

// ---- Pending error -----------------------------------------------------------------------------

TEST_F(PendingError, NothingIsTouchedAndTheFirstErrorStays) {
    put_file("keep.txt", "keep\n");
    S_ERR("first");
    EXPECT_EQ(FILE_OK("keep.txt", 1), 0);
    EXPECT_EQ(ANY_FILE_OK("keep.txt", 1), 0);
    EXPECT_EQ(FILE_SZ("keep.txt", 1), 0);
    EXPECT_EQ(FILE_MODE("keep.txt"), 0u);
    MODE_FILE(0600, "keep.txt");
    FILE_CLR("keep.txt", 1);
    FILE_CLR("new.txt", 1);
    BF_FILE("keep.txt", "x", 1, 1);
    BF_FILE("new.txt", "x", 1, 2);
    S_FILE("keep.txt", "x", 2);
    SM_FILE("keep.txt", "x", nullptr);
    std::uint32_t n = 7;
    EXPECT_EQ(FILE_BF("keep.txt", &n), nullptr);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(FILE_STATS("keep.txt", &n), 0);
    EXPECT_EQ(FILE_NEWER("keep.txt", "keep.txt"), 0);
    EXPECT_EQ(pending(), "first");
    EXPECT_EQ(get_file("keep.txt"), "keep\n");
    EXPECT_EQ(perm("keep.txt"), 0644u);
    EXPECT_FALSE(exists("new.txt"));
}

TEST(UniqueFiles, EachCallMakesANewEmptyFileOfItsOwn) {
    char* a = FILE_UNIQUE("/tmp", "lbuniq");
    char* b = FILE_UNIQUE("/tmp", "lbuniq");
    ASSERT_NE(a, nullptr) << pending();
    ASSERT_NE(b, nullptr) << pending();
    EXPECT_STRNE(a, b);
    for (const char* name : {a, b}) {
        const std::string s = name;
        EXPECT_EQ(s.rfind("/tmp/lbuniq", 0), 0u) << s;
        EXPECT_EQ(s.size(), std::strlen("/tmp/lbuniq") + 6 + 4) << s;
        EXPECT_EQ(s.substr(s.size() - 4), ".tmp");
        struct stat st {};
        ASSERT_EQ(lstat(name, &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_size, 0);
        std::remove(name);
    }
    MEM_FR(&a);
    MEM_FR(&b);
}

TEST(UniqueFiles, AMissingDirectoryRaises) {
    EXPECT_EQ(FILE_UNIQUE("/nonexistent-dir", "x"), nullptr);
    EXPECT_EQ(pending().rfind("FILE_UNIQUE:mkstemps \"/nonexistent-dir/xXXXXXX.tmp\" (err #2:", 0), 0u);
    S_ERR("pending");
    EXPECT_EQ(FILE_UNIQUE("/tmp", "x"), nullptr);
    EXPECT_EQ(pending(), "pending");
}
