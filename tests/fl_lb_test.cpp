// File records: opening and closing, slots, positions, the cache, and reading and writing
// bytes, blocks and lines forwards and backwards.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "lb.h"
#include "test_support.h"

namespace {

using namespace lbtest;

// Each test works in a fresh directory of its own, removed afterwards.
class Files : public lbtest::InTempDir<> {
protected:
    Files() : InTempDir("fl_lb_", 022) {}
    void TearDown() override {
        FL_CL(&flr_fd, 0);
        FL_CL(&flr1_fd, 0);
        FL_CL(&flw_fd, 0);
        InTempDir::TearDown();
    }
};

// A caller's line buffer sized exactly, so that the sanitizers catch a write past it.
struct Line {
    std::vector<char> buf;
    explicit Line(std::size_t mx) : buf(mx + 1, 'Q') {}
    char* p() { return buf.data(); }
    std::string s() const { return buf.data(); }
};

using FileOpen = Files;
using FilePositions = Files;
using FileLines = Files;
using FileBlocks = Files;
using FileBackward = Files;
using FileWrite = Files;
using FileWhole = Files;

}  // namespace

// ---- Opening and closing ----------------------------------------------------------------

TEST_F(FileOpen, FailuresNameTheFileAndLeaveNothingBehind) {
    mem_al_dbg = 1;
    S_ERR("the error state holds one message from now on");
    ERR_S();
    std::int32_t before = mem_al_cnt;
    EXPECT_EQ(FL_OP("absent.txt", 0, 2, 0, nullptr), nullptr);
    EXPECT_EQ(pending(), "Open error on \"absent.txt\"");
    EXPECT_EQ(FL_OP("new.txt", 3, 0, 0, nullptr), nullptr);
    EXPECT_EQ(pending(), "Open error on \"new.txt\" (invalid wtc)");
    EXPECT_FALSE(std::filesystem::exists("new.txt"));
    EXPECT_EQ(FL_OP(nullptr, 0, 0, 0, &flr_fd), nullptr);
    EXPECT_EQ(pending(), "FL_OP:fnam=NULL");
    EXPECT_EQ(flr_fd.fp, nullptr);
    EXPECT_EQ(mem_al_cnt, before);

    // While an error is pending nothing is opened.
    put_file("there.txt", "x");
    S_ERR("earlier");
    EXPECT_EQ(FL_OP("there.txt", 0, 2, 0, nullptr), nullptr);
    EXPECT_EQ(pending(), "earlier");
    mem_al_dbg = 0;
}

TEST_F(FileOpen, BusySlotStaysOnItsFile) {
    ASSERT_EQ(FLW_OP("a.txt", 1, 0, 0), &flw_fd);
    EXPECT_EQ(FLW_OP("b.txt", 1, 0, 0), nullptr);
    EXPECT_EQ(pending(), "Open error on \"b.txt\" (FLW used)");
    EXPECT_STREQ(flw_fd.fnam, "a.txt");
    EXPECT_FALSE(std::filesystem::exists("b.txt"));
    S_FLW("still here");
    FLW_CL();
    EXPECT_EQ(get_file("a.txt"), "still here\n");

    put_file("r.txt", "r");
    ASSERT_EQ(FLR1_OP("r.txt", 0), &flr1_fd);
    EXPECT_EQ(FLR1_OP("other.txt", 0), nullptr);
    EXPECT_EQ(pending(), "Open error on \"other.txt\" (FLR1 used)");
    EXPECT_EQ(FLR1_B(), 'r');
}

TEST_F(FileOpen, CacheIsSizedByTheFileForReading) {
    put_file("300", std::string(300, 'a'));
    put_file("empty", "");
    put_file("big", std::string(100000, 'b'));
    FLDF* fd = FL_OP("300", 0, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->cache_sz, 300u);
    EXPECT_EQ(fd->sz, 300u);
    FL_CL(fd, 1);
    fd = FL_OP("empty", 0, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->cache_sz, 16u);
    EXPECT_EQ(fd->sz, 0u);
    FL_CL(fd, 1);
    fd = FL_OP("big", 0, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->cache_sz, 65280u);
    EXPECT_EQ(fd->sz, 100000u);
    FL_CL(fd, 1);
    fd = FL_OP("big", 2, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->cache_sz, 65280u);
    EXPECT_EQ(fd->sz, 0u);
    FL_CL(fd, 1);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileOpen, StatFillsModeAndLocalModificationTime) {
    put_file("t.txt", "x");
    chmod("t.txt", 0640);
    std::tm when{};
    when.tm_year = 2021 - 1900;
    when.tm_mon = 2;  // March
    when.tm_mday = 14;
    when.tm_hour = 15;
    when.tm_min = 9;
    when.tm_sec = 26;
    when.tm_isdst = -1;
    struct utimbuf times {};
    times.actime = times.modtime = std::mktime(&when);
    ASSERT_EQ(utime("t.txt", &times), 0);

    FLDF* fd = FL_OP("t.txt", 0, 0, 1, nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->mode & 07777, 0640u);
    EXPECT_TRUE(S_ISREG(fd->mode));
    EXPECT_EQ(fd->utm.year, 2021);
    EXPECT_EQ(fd->utm.mon, 3);
    EXPECT_EQ(fd->utm.day, 14);
    EXPECT_EQ(fd->utm.wday, 1);  // a Sunday
    EXPECT_EQ(fd->utm.hour, 15);
    EXPECT_EQ(fd->utm.min, 9);
    EXPECT_EQ(fd->utm.sec, 26);
    EXPECT_EQ(fd->utm.msec, 0);
    FL_CL(fd, 1);
}

TEST_F(FileOpen, LineEndConventionComesFromContentThenName) {
    struct Case {
        const char* name;
        char expected;
    };
    for (Case c : {Case{"notes.txt", 1}, Case{"run.sh", 0}, Case{"RUN.SH", 0}, Case{"Makefile", 0},
                   Case{".profile", 0}}) {
        FLDF* fd = FL_OP(c.name, 1, 2, 0, nullptr);
        ASSERT_NE(fd, nullptr) << c.name;
        EXPECT_EQ(fd->crlf, c.expected) << c.name;
        FL_CL(fd, 1);
    }
    // A written file is emptied before it is judged, so only its name counts.
    put_file("was_lf.txt", "a\nb\n");
    FLDF* fd = FL_OP("was_lf.txt", 1, 2, 0, nullptr);
    EXPECT_EQ(fd->crlf, 1);
    FL_CL(fd, 1);
    // Read and appended files are judged by their first line end.
    put_file("lf.txt", "a\nb\r\n");
    put_file("crlf", "a\r\nb\n");
    fd = FL_OP("lf.txt", 0, 2, 0, nullptr);
    EXPECT_EQ(fd->crlf, 0);
    FL_CL(fd, 1);
    fd = FL_OP("crlf", 2, 2, 0, nullptr);
    EXPECT_EQ(fd->crlf, 1);
    FL_CL(fd, 1);
    // An explicit convention is kept as given.
    fd = FL_OP("crlf", 0, 0, 0, nullptr);
    EXPECT_EQ(fd->crlf, 0);
    FL_CL(fd, 1);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileOpen, LineEndAnswerIsKeptForTheSamePointer) {
    put_file("one.txt", "x\n");
    put_file("two.txt", "x\r\n");
    char name[] = "one.txt";
    EXPECT_EQ(FILE_CRLF(name), 0);
    std::memcpy(name, "two", 3);
    EXPECT_EQ(FILE_CRLF(name), 0);  // same pointer: first answer
    std::string copy = name;
    EXPECT_EQ(FILE_CRLF(copy.c_str()), 1);
    // The first line end in the first 512 bytes decides; past them the name decides.
    put_file("late.txt", std::string(512, 'a') + "\n");
    put_file("late", std::string(511, 'a') + "\r\n");
    EXPECT_EQ(FILE_CRLF("late.txt"), 1);
    EXPECT_EQ(FILE_CRLF("late"), 1);
    S_ERR("pending");
    EXPECT_EQ(FILE_CRLF("lf.sh"), 1);
    EXPECT_EQ(pending(), "pending");
}

TEST_F(FileOpen, ClosingAWrittenScriptOrDotlessNameMakesItExecutable) {
    std::filesystem::create_directory("out");
    for (const char* name : {"run.sh", "RUN.Sh", "script", "a.txt", "./out/tool"}) {
        ASSERT_NE(FLW_OP(name, 1, 2, 0), nullptr) << name;
        S_FLW("x");
        FLW_CL();
    }
    EXPECT_EQ(perm("run.sh"), 0755u);
    EXPECT_EQ(perm("RUN.Sh"), 0755u);
    EXPECT_EQ(perm("script"), 0755u);
    EXPECT_EQ(perm("a.txt"), 0644u);
    EXPECT_EQ(perm("out/tool"), 0644u);  // the path holds a "."

    // Appending counts as writing; reading changes nothing.
    put_file("appended", "a");
    put_file("readonly", "r");
    FLDF* fd = FL_OP("appended", 2, 0, 0, nullptr);
    FL_CL(fd, 1);
    fd = FL_OP("readonly", 0, 0, 0, nullptr);
    FL_CL(fd, 1);
    EXPECT_EQ(perm("appended"), 0755u);
    EXPECT_EQ(perm("readonly"), 0644u);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileOpen, ErrorPendingAtCloseStillFlushesAndStaysTheReportedOne) {
    ASSERT_NE(FLW_OP("tool", 1, 0, 0), nullptr);
    S_FLW("data");
    S_ERR("earlier failure");
    EXPECT_EQ(FLW_CL(), &flw_fd);
    EXPECT_EQ(pending(), "earlier failure");
    EXPECT_EQ(get_file("tool"), "data\n");
    EXPECT_EQ(perm("tool"), 0755u);
}

TEST_F(FileOpen, CloseReleasesWhatTheRecordOwnsAndKeepsItsCounters) {
    mem_al_dbg = 1;
    std::int32_t before = mem_al_cnt;
    put_file("l.txt", "a\nb\n");
    ASSERT_EQ(FLR_OP("l.txt", 0), &flr_fd);
    EXPECT_NE(FL_S(&flr_fd, 0), nullptr);  // allocates the record's line buffer
    EXPECT_EQ(FLR_LN(), 1u);
    EXPECT_EQ(FLR_SZ(), 4u);
    EXPECT_EQ(FLR_CL(), &flr_fd);
    EXPECT_EQ(flr_fd.fp, nullptr);
    EXPECT_EQ(flr_fd.fnam, nullptr);
    EXPECT_EQ(flr_fd.cache, nullptr);
    EXPECT_EQ(flr_fd.rc, nullptr);
    EXPECT_EQ(flr_fd.ln, 1u);
    EXPECT_EQ(flr_fd.sz, 4u);
    EXPECT_EQ(flr_fd.fpos, 4u);

    FLDF* fd = FL_OP("l.txt", 0, 2, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(FL_CL(fd, 1), nullptr);
    EXPECT_EQ(FL_CL(nullptr, 1), nullptr);
    EXPECT_EQ(mem_al_cnt, before);
    mem_al_dbg = 0;
}

TEST_F(FileOpen, QueriesOnMissingOrClosedRecordsRaise) {
    EXPECT_EQ(FLR_SZ(), 0u);
    EXPECT_EQ(pending(), "Read error (no file opened)");
    EXPECT_EQ(FLR2_LN(), 0u);
    EXPECT_EQ(pending(), "Read error (no file opened)");
    EXPECT_EQ(FL_P(nullptr), 0u);
    EXPECT_EQ(pending(), "FL_P:NULL fd");
    EXPECT_EQ(FLW1_P(), 0u);
    EXPECT_EQ(pending(), "Write error (no file opened)");
    P_FL(nullptr, 3);
    EXPECT_EQ(pending(), "P_FL:NULL fd");
    P_FLR(3);
    EXPECT_EQ(pending(), "Write error (no file opened)");
}

// ---- Positions ----------------------------------------------------------------------------

TEST_F(FilePositions, ReadPositionMovesInsideTheCacheWithoutReloading) {
    std::string data = random_bytes(300, 1);
    put_file("f", data);
    ASSERT_EQ(FLR_OP("f", 0), &flr_fd);
    char bf[100];
    EXPECT_EQ(FLR_BF(bf, 100u, 0), 100u);
    EXPECT_EQ(FLR_P(), 100u);
    EXPECT_EQ(flr_fd.fpos, 300u);

    P_FLR(250);
    EXPECT_EQ(flr_fd.cache_ix, 250);
    EXPECT_EQ(flr_fd.cache_cnt, 300);
    EXPECT_EQ(FLR_B(), static_cast<unsigned char>(data[250]));
    P_FLR(0);
    EXPECT_EQ(FLR_B(), static_cast<unsigned char>(data[0]));
    EXPECT_EQ(flr_fd.fpos, 300u);

    // The end of the cache is not inside it: the cache is dropped.
    P_FLR(300);
    EXPECT_EQ(flr_fd.cache_cnt, 0);
    EXPECT_EQ(FLR_P(), 300u);
    EXPECT_EQ(FLR_B(), 65535);
    EXPECT_EQ(err_, 0);

    P_FLR(301);
    EXPECT_EQ(pending(), "fseek failure:301/300");
}

TEST_F(FilePositions, SeekingOutsideTheCacheReloadsFromThere) {
    std::string data = random_bytes(150000, 2);
    put_file("f", data);
    ASSERT_EQ(FLR_OP("f", 0), &flr_fd);
    for (std::uint32_t pos : {140000u, 5u, 70000u, 65279u, 65280u, 149999u}) {
        P_FLR(pos);
        EXPECT_EQ(FLR_P(), pos);
        EXPECT_EQ(FLR_B(), static_cast<unsigned char>(data[pos])) << pos;
        EXPECT_EQ(FLR_P(), pos + 1);
    }
    EXPECT_EQ(err_, 0);
}

TEST_F(FilePositions, PositionZeroRestartsTheLineCount) {
    put_file("l", "a\nb\nc\n");
    ASSERT_EQ(FLR_OP("l", 0), &flr_fd);
    char line[8];
    FLR_S(line, 7, 0);
    FLR_S(line, 7, 0);
    EXPECT_EQ(FLR_LN(), 2u);
    P_FLR(2);
    EXPECT_EQ(FLR_LN(), 2u);
    P_FLR(0);
    EXPECT_EQ(FLR_LN(), 0u);
}

TEST_F(FilePositions, WritePositionInsideWaitingBytesDropsTheRest) {
    ASSERT_EQ(FLW_OP("w.txt", 1, 0, 0), &flw_fd);
    BF_FLW("hello world", 4294967295u);
    EXPECT_EQ(FLW_P(), 11u);
    P_FLW(5);
    EXPECT_EQ(FLW_P(), 5u);
    BF_FLW("!", 1u);
    // Position 0 is inside the waiting bytes too while nothing has been flushed.
    P_FLW(0);
    EXPECT_EQ(FLW_P(), 0u);
    BF_FLW("hello!", 4294967295u);
    FLW_CL();
    EXPECT_EQ(get_file("w.txt"), "hello!");
    EXPECT_EQ(err_, 0);
}

TEST_F(FilePositions, WriteThenRewindThenReadBack) {
    ASSERT_EQ(FLW_OP("w.txt", 1, 0, 0), &flw_fd);
    S_FLW("hello world");
    FLW_FLUSH(0);
    EXPECT_EQ(flw_fd.fpos, 12u);
    EXPECT_EQ(flw_fd.ln, 1u);
    P_FLW(0);
    EXPECT_EQ(flw_fd.ln, 0u);
    EXPECT_EQ(FLW_P(), 0u);
    B_FLW('J');
    EXPECT_EQ(FLW_P(), 1u);
    FLW_CL();
    ASSERT_EQ(FLR_OP("w.txt", 0), &flr_fd);
    Line line(20);
    EXPECT_EQ(FLR_S(line.p(), 20, 0), 11);
    EXPECT_EQ(line.s(), "Jello world");
    EXPECT_EQ(err_, 0);

    // Elsewhere outside the cache a written record cannot go: its size bound is 0.
    ASSERT_EQ(FLW_OP("w2.txt", 1, 0, 0), &flw_fd);
    BF_FLW("0123456789", 4294967295u);
    P_FLW(20);
    EXPECT_EQ(pending(), "fseek failure:20/0");
    FLW_CL();
    EXPECT_EQ(get_file("w2.txt"), "0123456789");  // flushed before the seek was refused
}

TEST_F(FilePositions, AppendedPositionsCountFromTheOldSize) {
    put_file("a.log", "abc");
    ASSERT_EQ(FLW_OP("a.log", 2, 0, 0), &flw_fd);
    EXPECT_EQ(FLW_P(), 3u);
    S_FLW("de");
    EXPECT_EQ(FLW_P(), 6u);
    FLW_CL();
    EXPECT_EQ(get_file("a.log"), "abcde\n");
}

TEST_F(FilePositions, FailedFlushRaisesWriteError) {
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    unsigned mode = perm("/dev/full");
    ASSERT_EQ(FLW_OP("/dev/full", 1, 0, 0), &flw_fd);
    BF_FLW("x", 1u);
    FLW_FLUSH(1);
    EXPECT_EQ(pending(), "Write error on \"/dev/full\" [FL_FLUSH]");
    FLW_CL();
    ERR_S();
    EXPECT_EQ(perm("/dev/full"), mode);  // a device gets no execute bits

    // Bytes that only the close hands to the system are not lost silently.
    ASSERT_EQ(FLW_OP("/dev/full", 1, 0, 0), &flw_fd);
    S_FLW("x");
    FLW_CL();
    EXPECT_EQ(pending(), "Write error on \"/dev/full\" [FL_CL]");
}

// ---- Lines --------------------------------------------------------------------------------

TEST_F(FileLines, LfCrLfAndUnterminatedLastLine) {
    put_file("m.txt", "a\r\nb\nc");
    FLDF* fd = FL_OP("m.txt", 0, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_EQ(fd->crlf, 0);
    char* s = FL_S(fd, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s, "a");
    EXPECT_EQ(fd->crlf, 1);
    EXPECT_EQ(FL_P(fd), 3u);
    EXPECT_STREQ(FL_S(fd, 0), "b");
    EXPECT_STREQ(FL_S(fd, 0), "c");
    EXPECT_EQ(FL_S(fd, 0), nullptr);
    EXPECT_EQ(fd->ln, 3u);
    EXPECT_EQ(FL_P(fd), 6u);
    EXPECT_EQ(FL_S(fd, 1), nullptr);
    EXPECT_EQ(pending(), "Read error on \"m.txt\" (EOF) [FL_S]");
    FL_CL(fd, 1);
}

TEST_F(FileLines, LoneCrEndsALineAndLeavesTheConvention) {
    put_file("cr", "a\rb\r\rc\r");
    FLDF* fd = FL_OP("cr", 0, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    for (const char* want : {"a", "b", "", "c"}) {
        char* s = FL_S(fd, 0);
        ASSERT_NE(s, nullptr) << want;
        EXPECT_STREQ(s, want);
    }
    EXPECT_EQ(FL_S(fd, 0), nullptr);
    EXPECT_EQ(fd->crlf, 0);
    EXPECT_EQ(fd->ln, 4u);
    FL_CL(fd, 1);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileLines, EmptyLinesAndEmptyFiles) {
    put_file("e.txt", "\n\nx");
    put_file("empty.txt", "");
    ASSERT_EQ(FLR_OP("e.txt", 0), &flr_fd);
    Line line(10);
    EXPECT_EQ(FLR_S(line.p(), 10, 1), 0);
    EXPECT_EQ(FLR_S(line.p(), 10, 1), 0);
    EXPECT_EQ(FLR_S(line.p(), 10, 1), 1);
    EXPECT_EQ(FLR_S(line.p(), 10, 0), 65535);
    EXPECT_EQ(err_, 0);
    FLR_CL();

    ASSERT_EQ(FLR_OP("empty.txt", 0), &flr_fd);
    EXPECT_EQ(FLR_S(line.p(), 10, 0), 65535);
    EXPECT_EQ(line.s(), "");
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(FLR_S(line.p(), 10, 1), 65535);
    EXPECT_EQ(pending(), "Read error on \"empty.txt\" (EOF) [FL_S]");
    EXPECT_EQ(FLR_B(), 65535);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileLines, LineLongerThanTheLimitOverflows) {
    put_file("o.txt", "abc\nabcd\n");
    ASSERT_EQ(FLR_OP("o.txt", 0), &flr_fd);
    Line line(3);
    EXPECT_EQ(FLR_S(line.p(), 3, 0), 3);
    EXPECT_EQ(line.s(), "abc");
    EXPECT_EQ(fl_overflow_rdsz, 4294967295u);
    EXPECT_EQ(FLR_S(line.p(), 3, 0), 65535);
    EXPECT_EQ(pending(), "Read error on \"o.txt\" (rec overflow on line 1) [FL_S]");
    EXPECT_EQ(fl_overflow_rdsz, 3u);
    // The position stays on the first byte that did not fit.
    EXPECT_EQ(FLR_P(), 7u);
    EXPECT_EQ(FLR_B(), 'd');
    // The next read starts afresh.
    EXPECT_EQ(FLR_S(line.p(), 3, 0), 0);
    EXPECT_EQ(fl_overflow_rdsz, 4294967295u);
    FLR_CL();

    put_file("first.txt", "abcd\n");
    ASSERT_EQ(FLR_OP("first.txt", 0), &flr_fd);
    EXPECT_EQ(FLR_S(line.p(), 3, 0), 65535);
    EXPECT_EQ(pending(), "Read error on \"first.txt\" (rec overflow on line 0) [FL_S]");
}

TEST_F(FileLines, LimitOf65535MeansTheRecordSize) {
    put_file("l.txt", std::string(256, 'k') + "\n" + std::string(257, 'k') + "\n");
    ASSERT_EQ(FLR_OP("l.txt", 0), &flr_fd);
    Line line(256);
    EXPECT_EQ(FLR_S(line.p(), 65535, 0), 256);
    EXPECT_EQ(line.s(), std::string(256, 'k'));
    EXPECT_EQ(FLR_S(line.p(), 65535, 0), 65535);
    EXPECT_EQ(pending(), "Read error on \"l.txt\" (rec overflow on line 1) [FL_S]");
    EXPECT_EQ(fl_overflow_rdsz, 256u);
}

TEST_F(FileLines, MissingRecordOrBufferRaises) {
    Line line(4);
    EXPECT_EQ(FL_S(nullptr, line.p(), 4, 0), 65535);
    EXPECT_EQ(pending(), "FL_S:NULL fd");
    EXPECT_EQ(FL_S(nullptr, 0), nullptr);
    EXPECT_EQ(pending(), "FL_S:NULL fd");
    EXPECT_EQ(FLR_S(line.p(), 4, 0), 65535);
    EXPECT_EQ(pending(), "Read error (no file opened)");
    EXPECT_EQ(FL_S(&flr_fd, 0), nullptr);
    EXPECT_EQ(pending(), "Read error (no file opened)");
    EXPECT_EQ(flr_fd.rc, nullptr);
    put_file("n.txt", "x\n");
    ASSERT_EQ(FLR_OP("n.txt", 0), &flr_fd);
    EXPECT_EQ(FLR_S(nullptr, 4, 0), 65535);
    EXPECT_EQ(pending(), "Read error on \"n.txt\" (NULL rc) [FL_S]");
    EXPECT_EQ(FL_B(nullptr), 65535);
    EXPECT_EQ(pending(), "FL_B:NULL fd");
}

TEST_F(FileLines, CrLfSplitAcrossACacheBoundaryIsOneLineEnd) {
    // 652 lines of 100 bytes, then a line whose CR is the cache's last byte.
    std::string data;
    for (int i = 0; i < 652; ++i) data += std::string(99, 'x') + "\n";
    data += std::string(79, 'y') + "\r\ntail\n";
    ASSERT_EQ(data[65279], '\r');
    put_file("split.txt", data);
    FLDF* fd = FL_OP("split.txt", 0, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    for (int i = 0; i < 652; ++i) ASSERT_NE(FL_S(fd, 0), nullptr);
    EXPECT_EQ(fd->crlf, 0);
    EXPECT_EQ(text(FL_S(fd, 0)), std::string(79, 'y'));
    EXPECT_EQ(fd->crlf, 1);
    EXPECT_EQ(FL_P(fd), 65281u);
    EXPECT_EQ(fd->fpos, data.size());  // the LF came with the next cache-full
    EXPECT_STREQ(FL_S(fd, 0), "tail");
    EXPECT_EQ(FL_S(fd, 0), nullptr);
    EXPECT_EQ(fd->ln, 654u);
    FL_CL(fd, 1);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileLines, LoneCrAtACacheBoundaryKeepsTheNextByte) {
    std::string data;
    for (int i = 0; i < 652; ++i) data += std::string(99, 'x') + "\n";
    data += std::string(79, 'y') + "\rztail";
    put_file("split", data);
    FLDF* fd = FL_OP("split", 0, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    for (int i = 0; i < 652; ++i) ASSERT_NE(FL_S(fd, 0), nullptr);
    EXPECT_EQ(text(FL_S(fd, 0)), std::string(79, 'y'));
    EXPECT_EQ(FL_P(fd), 65280u);
    EXPECT_STREQ(FL_S(fd, 0), "ztail");
    EXPECT_EQ(fd->crlf, 0);
    FL_CL(fd, 1);
}

TEST_F(FileLines, PointerFormAcceptsLongLinesUpToItsLimit) {
    std::string longest(65520, 'L');
    put_file("long.txt", "s\n" + longest + "\n" + longest + "M\n");
    FLDF* fd = FL_OP("long.txt", 0, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    EXPECT_STREQ(FL_S(fd, 0), "s");
    char* s = FL_S(fd, 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(std::string(s), longest);
    EXPECT_EQ(FL_S(fd, 0), nullptr);
    EXPECT_EQ(pending(), "Read error on \"long.txt\" (rec overflow on line 2) [FL_S]");
    EXPECT_EQ(fl_overflow_rdsz, 65520u);
    EXPECT_EQ(FL_P(fd), 2u + 65521u + 65520u);
    FL_CL(fd, 1);
}

TEST_F(FileLines, ManyLinesOverManyCachesKeepPositionsAndCounts) {
    // Mixed line ends and lengths, across five cache-fulls.
    std::mt19937 gen(7);
    std::string data;
    std::vector<std::string> lines;
    std::vector<std::uint32_t> ends;
    const char* terminators[] = {"\n", "\r\n", "\r"};
    while (data.size() < 300000) {
        std::string text(gen() % 200, 'a');
        for (auto& c : text) c = static_cast<char>('a' + gen() % 26);
        // After a lone CR an empty line ended by LF would read as one CR LF.
        if (text.empty() && !data.empty() && data.back() == '\r') text = "q";
        data += text + terminators[gen() % 3];
        lines.push_back(text);
        ends.push_back(static_cast<std::uint32_t>(data.size()));
    }
    put_file("many", data);
    ASSERT_EQ(FLR_OP("many", 0), &flr_fd);
    Line line(200);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::uint16_t len = FLR_S(line.p(), 200, 1);
        ASSERT_EQ(len, lines[i].size()) << "line " << i;
        ASSERT_EQ(line.s(), lines[i]) << "line " << i;
        ASSERT_EQ(FLR_P(), ends[i]) << "line " << i;
    }
    EXPECT_EQ(FLR_S(line.p(), 200, 0), 65535);
    EXPECT_EQ(FLR_LN(), lines.size());
    EXPECT_EQ(flr_fd.crlf, 1);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileLines, HostileBytesNeverOverrunTheRecord) {
    std::string data = random_bytes(200000, 3);
    put_file("bin", data);
    ASSERT_EQ(FLR_OP("bin", 0), &flr_fd);
    Line line(16);
    std::uint32_t lines = 0;
    for (;;) {
        std::uint16_t len = FLR_S(line.p(), 16, 0);
        if (len == 65535) {
            if (!err_) break;
            std::string msg = pending();
            ASSERT_EQ(msg.rfind("Read error on \"bin\" (rec overflow on line ", 0), 0u) << msg;
            std::uint32_t at = FLR_P();
            ASSERT_EQ(FLR_B(), static_cast<unsigned char>(data[at]));
            continue;
        }
        ASSERT_LE(len, 16);
        ++lines;
    }
    EXPECT_EQ(FLR_LN(), lines);
    EXPECT_EQ(FLR_P(), data.size());
}

TEST_F(FileLines, LineNumberPositionsBeforeThatLine) {
    put_file("3.txt", "x\ny\nz\n");
    FLDF* fd = FL_OP("3.txt", 0, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    FL_S(fd, 0);
    FL_S(fd, 0);
    EXPECT_EQ(LN_FL(fd, 0, 1), 1);
    EXPECT_EQ(FL_P(fd), 0u);
    EXPECT_EQ(fd->ln, 0u);
    EXPECT_EQ(LN_FL(fd, 1, 1), 1);
    EXPECT_STREQ(FL_S(fd, 0), "y");
    EXPECT_EQ(LN_FL(fd, 3, 1), 1);
    EXPECT_EQ(FL_P(fd), 6u);
    EXPECT_EQ(FL_S(fd, 0), nullptr);
    EXPECT_EQ(LN_FL(fd, 5, 0), 0);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(LN_FL(fd, 5, 1), 0);
    EXPECT_EQ(pending(), "Line 5 not found");
    FL_CL(fd, 0);
    EXPECT_EQ(LN_FL(fd, 0, 1), 0);
    EXPECT_EQ(pending(), "Write error (no file opened)");
    EXPECT_EQ(LN_FL(nullptr, 0, 1), 0);
    EXPECT_EQ(pending(), "LN_FL:NULL fd");
    FL_CL(fd, 1);
}

// ---- Blocks -------------------------------------------------------------------------------

TEST_F(FileBlocks, ShortFileDeliversWhatItHasThenEnds) {
    put_file("4.bin", "abcd");
    ASSERT_EQ(FLR_OP("4.bin", 0), &flr_fd);
    char bf[11] = "##########";
    EXPECT_EQ(FLR_BF(bf, 10u, 1), 4u);
    EXPECT_EQ(std::string(bf, 5), std::string("abcd#"));  // not terminated
    EXPECT_EQ(FLR_BF(bf, 10u, 0), 4294967295u);
    EXPECT_EQ(bf[0], '\0');
    EXPECT_EQ(FLR_BF(bf, std::uint16_t{10}, 0), 65535);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(FLR_BF(bf, 10u, 1), 4294967295u);
    EXPECT_EQ(pending(), "Read error on \"4.bin\" (EOF) [FL_BF]");
    EXPECT_EQ(FLR_BF(bf, 0u, 1), 4294967295u);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(FLR_BF(nullptr, 3u, 1), 4294967295u);
    EXPECT_EQ(pending(), "Read error on \"4.bin\" (NULL bf) [FL_BF]");
    EXPECT_EQ(FL_BF(nullptr, bf, 3u, 1), 4294967295u);
    EXPECT_EQ(pending(), "FL_BF:NULL fd");
}

TEST_F(FileBlocks, BlocksAcrossCachesMatchTheFile) {
    std::string data = random_bytes(200000, 4);
    put_file("big", data);
    ASSERT_EQ(FLR_OP("big", 0), &flr_fd);
    std::string got;
    std::vector<char> bf(7777);
    for (;;) {
        std::uint32_t n = FLR_BF(bf.data(), 7777u, 0);
        if (n == 4294967295u) break;
        got.append(bf.data(), n);
        ASSERT_EQ(FLR_P(), got.size());
    }
    EXPECT_EQ(got, data);
    EXPECT_EQ(err_, 0);
}

// ---- Backward reading ---------------------------------------------------------------------

TEST_F(FileBackward, StepsBackHalfACacheSoTheOldStartSitsInTheMiddle) {
    std::string data = random_bytes(150000, 5);
    put_file("f", data);
    ASSERT_EQ(FLR_OP("f", 0), &flr_fd);
    std::vector<char> bf(65280);
    ASSERT_EQ(FLR_BF(bf.data(), 65280u, 0), 65280u);
    EXPECT_EQ(FLR_B(), static_cast<unsigned char>(data[65280]));  // second cache-full
    EXPECT_EQ(FLR_B_RV(), static_cast<unsigned char>(data[65280]));
    EXPECT_EQ(flr_fd.fpos, 130560u);

    EXPECT_EQ(FLR_B_RV(), static_cast<unsigned char>(data[65279]));
    EXPECT_EQ(flr_fd.fpos, 97920u);  // loaded from 65280 - 32640
    EXPECT_EQ(flr_fd.cache_cnt, 65280);
    EXPECT_EQ(flr_fd.cache_ix, 32639);
    EXPECT_EQ(FLR_P(), 65279u);
    // Back and forth over the old boundary needs no reload.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(FLR_B(), static_cast<unsigned char>(data[65279]));
        EXPECT_EQ(FLR_B(), static_cast<unsigned char>(data[65280]));
        EXPECT_EQ(FLR_B_RV(), static_cast<unsigned char>(data[65280]));
        EXPECT_EQ(FLR_B_RV(), static_cast<unsigned char>(data[65279]));
    }
    EXPECT_EQ(flr_fd.fpos, 97920u);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileBackward, EmptyCacheStepsBackAWholeCacheAndClampsAtZero) {
    std::string data = random_bytes(150000, 6);
    put_file("f", data);
    ASSERT_EQ(FLR_OP("f", 0), &flr_fd);
    P_FLR(150000);
    EXPECT_EQ(FLR_B_RV(), static_cast<unsigned char>(data[149999]));
    EXPECT_EQ(flr_fd.fpos, 150000u);
    EXPECT_EQ(flr_fd.fpos - flr_fd.cache_cnt, 84720u);

    // A cache starting at 20000: half a cache back would pass the start of the file.
    P_FLR(20000);
    EXPECT_EQ(FLR_B(), static_cast<unsigned char>(data[20000]));
    EXPECT_EQ(FLR_B_RV(), static_cast<unsigned char>(data[20000]));
    EXPECT_EQ(FLR_B_RV(), static_cast<unsigned char>(data[19999]));
    EXPECT_EQ(flr_fd.fpos, 65280u);
    EXPECT_EQ(flr_fd.cache_ix, 19999);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileBackward, WholeFileBackwardsByteByByte) {
    std::string data = random_bytes(150001, 7);
    put_file("f", data);
    ASSERT_EQ(FLR_OP("f", 0), &flr_fd);
    P_FLR(150001);
    std::string back;
    for (std::uint16_t b; (b = FLR_B_RV()) != 65535;) back += static_cast<char>(b);
    EXPECT_EQ(std::string(back.rbegin(), back.rend()), data);
    EXPECT_EQ(FLR_P(), 0u);
    EXPECT_EQ(err_, 0);

    put_file("empty", "");
    FLDF* fd = FL_OP("empty", 0, 0, 0, nullptr);
    EXPECT_EQ(FL_B_RV(fd), 65535);
    FL_CL(fd, 1);
    EXPECT_EQ(FL_B_RV(nullptr), 65535);
    EXPECT_EQ(pending(), "FL_B_RV:NULL fd");
}

TEST_F(FileBackward, BlocksBeforeThePosition) {
    put_file("h", "0123456789abcdef");
    ASSERT_EQ(FLR_OP("h", 0), &flr_fd);
    P_FLR(10);
    char bf[16];
    EXPECT_EQ(FLR_BF_RV(bf, 4u, 1), 4u);
    EXPECT_EQ(std::string(bf, 4), "6789");
    EXPECT_EQ(FLR_P(), 6u);
    EXPECT_EQ(FLR_BF_RV(bf, 10u, 1), 4294967295u);
    EXPECT_EQ(pending(), "Read error on \"h\" (BOF) [FL_BF_RV]");
    EXPECT_EQ(FLR_P(), 6u);
    EXPECT_EQ(FLR_BF_RV(bf, std::uint16_t{10}, 0), 6);
    EXPECT_EQ(std::string(bf, 6), "012345");
    EXPECT_EQ(FLR_P(), 0u);
    EXPECT_EQ(FLR_BF_RV(bf, 3u, 0), 4294967295u);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileBackward, LinesFromTheEndBackToTheStart) {
    put_file("3.txt", "x\ny\nz\n");
    ASSERT_EQ(FLR_OP("3.txt", 0), &flr_fd);
    Line line(8);
    while (FLR_S(line.p(), 8, 0) != 65535) {
    }
    EXPECT_EQ(FLR_LN(), 3u);
    std::uint32_t starts[] = {4, 2, 0};
    int i = 0;
    for (const char* want : {"z", "y", "x"}) {
        EXPECT_EQ(FLR_S_RV(line.p(), 8, 1), 1) << want;
        EXPECT_EQ(line.s(), want);
        EXPECT_EQ(FLR_P(), starts[i]);
        EXPECT_EQ(FLR_LN(), 2u - i);
        ++i;
    }
    EXPECT_EQ(FLR_S_RV(line.p(), 8, 0), 65535);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(FLR_S_RV(line.p(), 8, 1), 65535);
    EXPECT_EQ(pending(), "Read error on \"3.txt\" (BOF) [FL_S_RV]");
    FLR_CL();

    // Backward lines are found by their LF: an unterminated last line is passed over.
    put_file("2.txt", "x\ny");
    ASSERT_EQ(FLR_OP("2.txt", 0), &flr_fd);
    P_FLR(3);
    EXPECT_EQ(FLR_S_RV(line.p(), 8, 1), 1);
    EXPECT_EQ(line.s(), "x");
}

TEST_F(FileBackward, LinesBackwardsAcrossHalfCacheSteps) {
    std::mt19937 gen(8);
    std::string data;
    std::vector<std::string> lines;
    while (data.size() < 250000) {
        std::string text(gen() % 300, 'a');
        for (auto& c : text) c = static_cast<char>('a' + gen() % 26);
        data += text + (gen() % 2 ? "\n" : "\r\n");
        lines.push_back(text);
    }
    put_file("many.txt", data);
    FLDF* fd = FL_OP("many.txt", 0, 0, 0, nullptr);
    ASSERT_NE(fd, nullptr);
    P_FL(fd, static_cast<std::uint32_t>(data.size()));
    for (std::size_t i = lines.size(); i-- > 0;) {
        char* s = FL_S_RV(fd, 1);
        ASSERT_NE(s, nullptr) << "line " << i << ": " << pending();
        ASSERT_EQ(std::string(s), lines[i]) << "line " << i;
    }
    EXPECT_EQ(FL_P(fd), 0u);
    EXPECT_EQ(FL_S_RV(fd, 0), nullptr);
    EXPECT_EQ(err_, 0);
    FL_CL(fd, 1);
}

// ---- Writing ------------------------------------------------------------------------------

TEST_F(FileWrite, LinesTakeTheRecordsLineEnd) {
    ASSERT_EQ(FLW_OP("dos.txt", 1, 1, 0), &flw_fd);
    S_FLW(nullptr);
    SM_FLW("a", "b", nullptr);
    SM_FLW(nullptr);
    B_FLW('z');
    EXPECT_EQ(flw_fd.ln, 3u);
    FLW_CL();
    EXPECT_EQ(get_file("dos.txt"), "\r\nab\r\n\r\nz");

    ASSERT_EQ(FLW1_OP("unix.sh", 1, 2, 0), &flw1_fd);
    SM_FLW1("#!/bin/sh", nullptr);
    S_FLW1("exit 0");
    FLW1_CL();
    EXPECT_EQ(get_file("unix.sh"), "#!/bin/sh\nexit 0\n");
    EXPECT_EQ(err_, 0);
}

TEST_F(FileWrite, LargeWritesPassThroughTheCache) {
    std::string data = random_bytes(300000, 9);
    ASSERT_EQ(FLW_OP("big.bin", 1, 0, 0), &flw_fd);
    std::size_t at = 0;
    for (std::uint32_t n : {1u, 65279u, 1u, 1u, 65280u, 70000u, 3u}) {
        BF_FLW(data.data() + at, n);
        at += n;
        ASSERT_EQ(FLW_P(), at);
        ASSERT_LE(flw_fd.cache_cnt, flw_fd.cache_sz);
    }
    BF_FLW(data.data() + at, 0u);
    for (; at < data.size(); ++at) B_FLW(data[at]);
    EXPECT_EQ(FLW_P(), data.size());
    FLW_CL();
    EXPECT_EQ(get_file("big.bin"), data);
    EXPECT_EQ(err_, 0);
}

TEST_F(FileWrite, NothingReachesTheFileBeforeAFlush) {
    ASSERT_EQ(FLW_OP("lazy.txt", 1, 0, 0), &flw_fd);
    S_FLW("waiting");
    EXPECT_EQ(std::filesystem::file_size("lazy.txt"), 0u);
    FLW_FLUSH(1);
    EXPECT_EQ(std::filesystem::file_size("lazy.txt"), 8u);
    EXPECT_EQ(flw_fd.cache_cnt, 0);
    EXPECT_EQ(flw_fd.fpos, 8u);
    FLW_CL();
}

TEST_F(FileWrite, WritesOnMissingOrClosedRecordsRaise) {
    BF_FL(nullptr, "x", 1u);
    EXPECT_EQ(pending(), "BF_FL:NULL fd");
    S_FL(nullptr, "x");
    EXPECT_EQ(pending(), "S_FL:NULL fd");
    SM_FL(nullptr, nullptr);
    EXPECT_EQ(pending(), "S_FL:NULL fd");
    BF_FLW("x", 1u);
    EXPECT_EQ(pending(), "Write error (no file opened)");
    BF_FLW(nullptr, 1u);
    EXPECT_EQ(err_, 0);
    S_FLW2("x");
    EXPECT_EQ(pending(), "Write error (no file opened)");
    B_FLW1('x');
    EXPECT_EQ(pending(), "Write error (no file opened)");
    SM_FLW("a", nullptr);
    EXPECT_EQ(pending(), "Write error (no file opened)");
}

TEST_F(FileWrite, AppendingAFileConvertsItsLineEnds) {
    put_file("src.txt", "a\r\nb\rc");
    ASSERT_EQ(FLW_OP("dst.txt", 1, 0, 0), &flw_fd);
    S_FLW("head");
    FILE_WFP("src.txt", &flw_fd);
    EXPECT_EQ(flw_fd.ln, 4u);
    FILE_WFP("absent.txt", &flw_fd);
    EXPECT_EQ(pending(), "Open error on \"absent.txt\" [FILE_WFP]");
    FLW_CL();
    EXPECT_EQ(get_file("dst.txt"), "head\na\nb\nc\n");
}

// ---- Whole-file helpers -------------------------------------------------------------------

TEST_F(FileWhole, SizeModeAndTheirFailures) {
    put_file("s.txt", "12345");
    std::filesystem::create_directory("d");
    EXPECT_EQ(FILE_SZ("s.txt", 1), 5);
    EXPECT_EQ(FILE_SZ("nope", 0), 0);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(FILE_SZ("nope", 1), 0);
    EXPECT_EQ(pending(), "\"nope\" not found");
    EXPECT_EQ(FILE_OK("d", 1), 0);
    EXPECT_EQ(pending(), "\"d\" is a dir");
    EXPECT_EQ(FILE_MODE("s.txt") & 07777, 0644u);
    EXPECT_EQ(FILE_MODE("nope"), 0u);
    EXPECT_EQ(pending(), "\"nope\" not found [FILE_MODE]");
    MODE_FILE(0600, "s.txt");
    EXPECT_EQ(perm("s.txt"), 0600u);
    MODE_FILE(0755, "nope");
    EXPECT_EQ(pending(), "chmod failure (file=\"nope\", mode=1ed)");
}
