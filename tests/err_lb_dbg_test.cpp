// The debug trail: emptying at first use, stamps and program name, open lines, spacer lines,
// the console echo, the re-entry guard, failing writes, rotation, and silence at level 0.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>
#include <string>

#include "lb.h"
#define LBTEST_FAKE_CLOCK
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using namespace lbtest;

// The trail writes "dbg.log" in the current directory: each test has a directory of its own.
class Trail : public lbtest::InTempDir<> {
protected:
    Trail() : InTempDir("dbg_trail_") {}
    void SetUp() override {
        InTempDir::SetUp();
        dbg_vd = 0;
    }
};

using TrailFirstUse = Trail;
using TrailLineForm = Trail;
using TrailSpacer = Trail;
using TrailEcho = Trail;
using TrailFailures = Trail;
using TrailRotation = Trail;
using TrailSilence = Trail;

// "HH:MM:SS " + rest; the clock's fields into hms.
bool stamped(const std::string& text, const std::string& rest, int hms[3]) {
    if (text.size() != 9 + rest.size() || text.compare(9, std::string::npos, rest) != 0) return false;
    for (int i = 0; i < 3; ++i) {
        const char hi = text[3 * i];
        const char lo = text[3 * i + 1];
        if (!std::isdigit(static_cast<unsigned char>(hi)) || !std::isdigit(static_cast<unsigned char>(lo)))
            return false;
        if (text[3 * i + 2] != (i < 2 ? ':' : ' ')) return false;
        hms[i] = (hi - '0') * 10 + (lo - '0');
    }
    return true;
}

// What the allocation accounting writes: what + address in lower-case hex + " cnt=" + count.
bool block_line(const std::string& line, const std::string& what, const std::string& cnt) {
    const std::string tail = " cnt=" + cnt;
    if (line.rfind(what, 0) != 0 || line.size() <= what.size() + tail.size()) return false;
    if (line.compare(line.size() - tail.size(), tail.size(), tail) != 0) return false;
    const std::string hex = line.substr(what.size(), line.size() - what.size() - tail.size());
    return hex.find_first_not_of("0123456789abcdef") == std::string::npos;
}

char echo_into_trail(char, char end_line, const char*) {
    S_DBG("inner");
    return end_line;
}

}  // namespace

// ---- First use and stamps ------------------------------------------------------------------

TEST_F(TrailFirstUse, EmptiesTheTrailAndStampsTheLine) {
    put_file("dbg.log", "left from an earlier run\r\n");
    const std::time_t before = std::time(nullptr);
    S_DBG("hello");
    const std::time_t after = std::time(nullptr);
    const std::string trail = get_file("dbg.log");
    int hms[3];
    ASSERT_TRUE(stamped(trail, "hello\r\n", hms)) << trail;
    // The stamp is the local time of the entry.
    bool near = false;
    for (std::time_t t = before; t <= after; ++t) {
        std::tm lt{};
        localtime_r(&t, &lt);
        near |= hms[0] == lt.tm_hour && hms[1] == lt.tm_min && hms[2] == lt.tm_sec;
    }
    EXPECT_TRUE(near) << trail;
    EXPECT_EQ(err_, 0);
}

TEST_F(TrailFirstUse, LaterEntriesAppend) {
    dbg_tm_fmt = nullptr;
    S_DBG("one");
    SM_DBG("two ", "parts", nullptr);
    EXPECT_EQ(get_file("dbg.log"), "one\r\ntwo parts\r\n");
}

TEST_F(TrailFirstUse, ProgramNameFollowsTheStamp) {
    dbg_pgm = "rx";
    S_DBG("text");
    int hms[3];
    EXPECT_TRUE(stamped(get_file("dbg.log"), "rx:text\r\n", hms)) << get_file("dbg.log");
}

TEST_F(TrailFirstUse, ProgramsTimeLastReadIsLeftAlone) {
    utm_ = UTMDF{2001, 2, 3, 7, 4, 5, 6, 7};
    S_DBG("x");
    EXPECT_EQ(utm_.year, 2001);
    EXPECT_EQ(utm_.min, 5);
    EXPECT_EQ(utm_.msec, 7);
}

// ---- Line forms -------------------------------------------------------------------------------

TEST_F(TrailLineForm, OpenLinesContinueUntilANewLineStarts) {
    dbg_tm_fmt = nullptr;
    dbg_pgm = "p";
    S_DBG_UT(1, 0, "a");
    S_DBG_UT(0, 0, "b");
    B_DBG('c');
    S_DBG_UT(0, 1, "d");
    S_DBG_UT(1, 0, "e");
    S_DBG("f");
    SM_DBG_UT(1, 1, "g", "h", nullptr);
    EXPECT_EQ(get_file("dbg.log"), "p:abcd\r\np:e\r\np:f\r\np:gh\r\n");
}

TEST_F(TrailLineForm, NullTextsAddNothing) {
    dbg_tm_fmt = nullptr;
    S_DBG(nullptr);
    S_DBG_UT(1, 1, nullptr);
    SM_DBG("a", nullptr, "b", nullptr);
    EXPECT_EQ(get_file("dbg.log"), "\r\n\r\na\r\n");
}

// ---- Spacer lines -------------------------------------------------------------------------------

TEST_F(TrailSpacer, PauseOfWholeSecondsBringsABlankLine) {
    dbg_tm_fmt = nullptr;
    s_dbg_spacer_secs = 1;
    fake_clock::on = true;
    fake_clock::secs = 1700000000;
    S_DBG("a");
    S_DBG("b");
    fake_clock::secs += 1;
    S_DBG("c");
    S_DBG("d");
    fake_clock::on = false;
    EXPECT_EQ(get_file("dbg.log"), "a\r\nb\r\n\r\nc\r\nd\r\n");
}

TEST_F(TrailSpacer, ZeroMeansNever) {
    dbg_tm_fmt = nullptr;
    s_dbg_spacer_secs = 0;
    fake_clock::on = true;
    fake_clock::secs = 1700000000;
    S_DBG("a");
    fake_clock::secs += 5;
    S_DBG("b");
    fake_clock::on = false;
    EXPECT_EQ(get_file("dbg.log"), "a\r\nb\r\n");
}

// ---- Console echo ------------------------------------------------------------------------------

TEST_F(TrailEcho, EntriesShowOnStandardOutput) {
    dbg_tm_fmt = nullptr;
    dbg_vd = 1;
    testing::internal::CaptureStdout();
    S_DBG_UT(1, 0, "a");
    B_DBG('b');
    S_DBG("c");
    SM_DBG("d", "e", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "ab\nc\nde\n");
    EXPECT_EQ(get_file("dbg.log"), "ab\r\nc\r\nde\r\n");
}

TEST_F(TrailEcho, SwitchesAndDaemonModeSilenceTheConsole) {
    dbg_tm_fmt = nullptr;
    dbg_vd = 1;
    testing::internal::CaptureStdout();
    daemon_op = 1;
    S_DBG("quiet");
    daemon_op = 0;
    dbg_vd = 0;
    S_DBG("unechoed");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(get_file("dbg.log"), "quiet\r\nunechoed\r\n");
}

TEST_F(TrailEcho, ErrorDumpWhileEchoingPrintsTheLineOnce) {
    dbg_tm_fmt = nullptr;
    dbg_vd = 1;
    S_ERR("broken");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(UT_ERR_DMP(nullptr), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "broken\n");
    EXPECT_EQ(err_, 0);
}

TEST_F(TrailEcho, ReentryIsToldOnTheConsoleNotWritten) {
    dbg_tm_fmt = nullptr;
    dbg_vd = 1;
    s_dbg_ut_callback_def = 0;
    s_dbg_ut_callback = echo_into_trail;
    testing::internal::CaptureStdout();
    S_DBG("outer");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\a\a\aS_DBG_UT RECURSION:inner\n");
    EXPECT_EQ(get_file("dbg.log"), "outer\r\n");
    EXPECT_EQ(dbg_active, 0);
}

// ---- Failures ---------------------------------------------------------------------------------

TEST_F(TrailFailures, FailingWriteLeavesItsErrorWithTheLine) {
    dbg_tm_fmt = nullptr;
    dbg_log = "nodir/dbg.log";
    S_DBG("lost");
    EXPECT_EQ(pending(), "Open error on \"nodir/dbg.log\" [BF_FILE] [S_FILE] txt=lost");
    // With an error pending the failure of the record is not allowed to replace it.
    S_ERR("first");
    S_DBG("also lost");
    EXPECT_EQ(pending(), "first");
}

TEST_F(TrailFailures, ErrorDumpThatCannotWriteTellsBoth) {
    dbg_tm_fmt = nullptr;
    dbg_log = "nodir/dbg.log";
    S_ERR("original");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(UT_ERR_DMP("lbl"), 1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "err=original [lbl]\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Open error on \"nodir/dbg.log\" [BF_FILE] [S_FILE] txt=original [lbl] [UT_ERR_DMP]\n\a");
    EXPECT_EQ(err_, 0);
}

// ---- Rotation ---------------------------------------------------------------------------------

TEST_F(TrailRotation, FullTrailBecomesABackupAndStartsAfresh) {
    dbg_tm_fmt = nullptr;
    dbg_log_mxsz = 50;
    const std::string a(28, 'a');
    const std::string b(28, 'b');
    S_DBG(a.c_str());
    EXPECT_EQ(get_file("dbg.log"), a + "\r\n");
    S_DBG(b.c_str());  // 60 bytes: past the cap
    EXPECT_FALSE(fs::exists("dbg.log"));
    EXPECT_EQ(get_file("bk/dbg.log.0"), a + "\r\n" + b + "\r\n");
    S_DBG("c");
    EXPECT_EQ(get_file("dbg.log"), "c\r\n");
    EXPECT_EQ(err_, 0);
}

TEST_F(TrailRotation, BackupsFormARingOfTen) {
    dbg_tm_fmt = nullptr;
    dbg_log_mxsz = 10;
    for (int i = 0; i < 12; ++i) S_DBG(("entry number " + std::to_string(i)).c_str());
    int kept = 0;
    for (int i = 0; i < 12; ++i) kept += fs::exists("bk/dbg.log." + std::to_string(i)) ? 1 : 0;
    EXPECT_EQ(kept, 9);
    EXPECT_EQ(get_file("bk/dbg.log.1"), "entry number 11\r\n");
    EXPECT_FALSE(fs::exists("bk/dbg.log.2"));
    EXPECT_EQ(err_, 0);
}

TEST_F(TrailRotation, ItsErrorsAreCleared) {
    dbg_tm_fmt = nullptr;
    dbg_log_mxsz = 10;
    put_file("bk", "a file where the backups' directory should be");
    S_DBG("long enough to pass the cap");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(fs::exists("dbg.log"));
    S_DBG("next");
    EXPECT_EQ(get_file("dbg.log"), "next\r\n");
}

TEST_F(TrailRotation, ZeroCapMeansNone) {
    dbg_tm_fmt = nullptr;
    dbg_log_mxsz = 0;
    for (int i = 0; i < 20; ++i) S_DBG("0123456789");
    EXPECT_EQ(get_file("dbg.log").size(), 240u);
    EXPECT_FALSE(fs::exists("bk"));
}

// ---- Silence ----------------------------------------------------------------------------------

TEST_F(TrailSilence, NothingIsWrittenAtLevelZero) {
    put_file("a", "text\n");
    put_file("b.txt", "line one  x\nline two  y\n");
    fs::create_directory("sub");
    FILE_CP("a", "c");
    FILE_CPD("a", "r1/r2/f");
    FILE_AP("c", "a");
    FILE_MV("c", "sub/c");
    FILE_REN("sub/c", "sub/d");
    FILE_BK("a", 10);
    FILE_BK_DL("a");
    FILE_DL("a", 0);
    FILE_CLR("b.txt", 0);
    S_FILE("b.txt", "line  one", 2);
    FILE_SZ("b.txt", 0);
    DIR_FILE("*", 1, 1, "d t s F l m o g T", 1, "list.tmp", 1, 1);
    FILE_CNT("*.txt", 1, 1);
    FILE_SORT("b.txt", 0, 0, 0, 0);
    FILE_TXT_RPL("b.txt", "one", "two", 1, 0, 0);
    S_EXE(0, "true");
    S_EXE(0, "ls nosuch_file_here");
    ERR_S();
    char* block = S_CP("owned");
    MEM_FR(&block);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_FALSE(fs::exists("dbg.log"));
}

TEST_F(TrailSilence, AllocationTraceDoesNotTraceTheTrail) {
    dbg_tm_fmt = nullptr;
    mem_al_dbg = 2;
    const std::int32_t count = mem_al_cnt;
    testing::internal::CaptureStdout();
    S_DBG("plain");
    char* block = MEM_AL(8);
    MEM_FR(&block);
    mem_al_dbg = 0;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(mem_al_cnt, count);
    const std::string trail = get_file("dbg.log");
    const std::size_t first = trail.find("\r\n");
    const std::size_t second = trail.find("\r\n", first + 2);
    ASSERT_NE(second, std::string::npos) << trail;
    EXPECT_EQ(trail.substr(0, first), "plain");
    EXPECT_TRUE(block_line(trail.substr(first + 2, second - first - 2), "MEM_AL:pt=", "1")) << trail;
    EXPECT_TRUE(block_line(trail.substr(second + 2, trail.size() - second - 4), "MEM_FR:pt=", "0")) << trail;
    EXPECT_EQ(trail.substr(trail.size() - 2), "\r\n");
    EXPECT_EQ(std::count(trail.begin(), trail.end(), '\n'), 3);
}
