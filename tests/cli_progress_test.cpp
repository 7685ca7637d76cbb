// Human sizes, rates and durations; the terminal progress line and the batch summary.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "progress.h"
#include "units.h"

namespace {

using namespace std::chrono_literals;
using cli::ProgressLine;

constexpr std::uint64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024;

// A FILE* whose writes can be read back; not a terminal, so the line is 80 columns.
class Captured {
public:
    Captured() : file_(open_memstream(&buf_, &len_)) {}
    ~Captured() {
        std::fclose(file_);
        std::free(buf_);
    }
    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buf_, len_);
    }
    // The text of the last draw, between "\r" and the erase sequence.
    std::string last_line() {
        const std::string all = text();
        const auto from = all.rfind('\r') + 1;
        return all.substr(from, all.rfind("\x1b[K") - from);
    }

private:
    char* buf_ = nullptr;
    std::size_t len_ = 0;
    std::FILE* file_;
};

std::size_t columns(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

const ProgressLine::Clock::time_point t0{};

}  // namespace

TEST(HumanUnits, SizesChangeUnitWithoutReadingAsTheLimit) {
    const struct { std::uint64_t bytes; const char* want; } cases[] = {
        {0, "0 B"},           {1023, "1023 B"},         {1024, "1.0 KiB"},  {1536, "1.5 KiB"},
        {99 * KiB + 972, "99.9 KiB"}, {99 * KiB + 1000, "100 KiB"},  // 99.98 leaves one decimal
        {1048575, "1.0 MiB"},  // 1023.999 KiB
        {100 * MiB, "100 MiB"}, {1023 * MiB, "1023 MiB"}, {1024 * MiB - MiB / 20, "1.0 GiB"},
        {GiB, "1.0 GiB"},     {(std::uint64_t{1} << 63) - 1, "8.0 EiB"}, {UINT64_MAX, "16.0 EiB"},
    };
    for (const auto& c : cases) EXPECT_EQ(cli::human_size(c.bytes), c.want) << c.bytes;
}

TEST(HumanUnits, RatesAreSizesPerSecondOrADash) {
    const struct { double rate; const char* want; } cases[] = {
        {0, "0 B/s"},  {1023.6, "1.0 KiB/s"}, {12.34 * MiB, "12.3 MiB/s"}, {1e30, "16.0 EiB/s"},
        {-1, "-"},     {1.0 / 0.0, "-"},       {0.0 / 0.0, "-"},
    };
    for (const auto& c : cases) EXPECT_EQ(cli::human_rate(c.rate), c.want) << c.rate;
}

TEST(HumanUnits, DurationsPickTheirFormAfterRounding) {
    const struct { double secs; const char* want; } cases[] = {
        {0.04, "0.0 s"}, {0.4, "0.4 s"},  {12.34, "12.3 s"}, {59.94, "59.9 s"},
        {59.96, "1:00"}, {65, "1:05"},    {3599.6, "1:00:00"}, {3723, "1:02:03"},
        {-0.1, "-"},     {1.0 / 0.0, "-"},
    };
    for (const auto& c : cases) EXPECT_EQ(cli::human_duration(c.secs), c.want) << c.secs;
}

TEST(ProgressLine, RedrawsAtMostTenTimesASecond) {
    Captured out;
    ProgressLine line(out.file(), "f", 1000, t0);
    const struct { std::chrono::milliseconds at; long draws_so_far; } steps[] = {
        {0ms, 1}, {50ms, 1}, {99ms, 1}, {100ms, 2}, {150ms, 2}, {199ms, 2}, {200ms, 3},
    };
    for (const auto& s : steps) {
        line.update(10, t0 + s.at);
        EXPECT_EQ(std::ranges::count(out.text(), '\r'), s.draws_so_far) << s.at.count() << " ms";
    }
    EXPECT_TRUE(out.text().ends_with("\x1b[K"));
}

TEST(ProgressLine, ShowsDonePercentRateAndTimeLeft) {
    const struct {
        std::uint64_t total, done;
        std::chrono::milliseconds at;
        const char* want;
    } cases[] = {
        {100 * MiB, 10 * MiB, 1000ms, "f  10.0 MiB / 100 MiB  10%  10.0 MiB/s  0:09 left"},
        {100 * MiB, 0, 0ms, "f  0 B / 100 MiB  0%  -  -"},
        {100 * MiB, 0, 500ms, "f  0 B / 100 MiB  0%  0 B/s  -"},
        {1000, 999, 1000ms, "f  999 B / 1000 B  99%  999 B/s  0:01 left"},  // never 100% early
        {0, 0, 1000ms, "f  0 B / 0 B  100%  0 B/s  0:00 left"},
        {10 * MiB, 1 * MiB, 1000ms, "f  1.0 MiB / 10.0 MiB  10%  1.0 MiB/s  0:09 left"},
    };
    for (const auto& c : cases) {
        Captured out;
        ProgressLine line(out.file(), "f", c.total, t0);
        line.update(c.done, t0 + c.at);
        EXPECT_EQ(out.last_line(), c.want);
    }
}

TEST(ProgressLine, FinishReplacesTheLineWithTheOutcome) {
    Captured out;
    ProgressLine line(out.file(), "a.bin", 100 * MiB, t0);
    line.update(100 * MiB, t0 + 2s);
    line.finish("OK", t0 + 2s);
    EXPECT_TRUE(out.text().ends_with("\r\x1b[Ka.bin  100 MiB  2.0 s  50.0 MiB/s  OK\n")) << out.text();

    // A failure rates only what arrived, even if that count was never drawn.
    Captured failed;
    ProgressLine cut(failed.file(), "a.bin", 100 * MiB, t0);
    cut.update(0, t0);
    cut.update(20 * MiB, t0 + 1s + 10ms);
    cut.update(30 * MiB, t0 + 1s + 50ms);
    cut.finish("connection reset", t0 + 3s);
    EXPECT_TRUE(failed.text().ends_with("\r\x1b[Ka.bin  100 MiB  3.0 s  10.0 MiB/s  connection reset\n"));
}

TEST(ProgressLine, ARestartCountsFromWhereTheSendResumed) {
    Captured out;
    ProgressLine line(out.file(), "f", 4 * GiB, t0);
    line.update(GiB, t0 + 1s);
    // Resumed at 3 GiB after a break: the line starts there, and the rate is of what moved since.
    line.restart(3 * GiB, "resumed at 3.0 GiB", t0 + 10s);
    EXPECT_EQ(out.last_line(), "f  3.0 GiB / 4.0 GiB  75%  -  -  resumed at 3.0 GiB");
    line.update(3 * GiB + 512 * MiB, t0 + 12s);
    EXPECT_EQ(out.last_line(), "f  3.5 GiB / 4.0 GiB  87%  256 MiB/s  0:02 left  resumed at 3.0 GiB");
    line.finish("OK, verified", t0 + 14s);
    EXPECT_TRUE(out.text().ends_with("\r\x1b[Kf  4.0 GiB  4.0 s  128 MiB/s  OK, verified\n")) << out.text();
}

TEST(ProgressLine, LongNamesLoseTheirStartToFitTheWidth) {
    const std::string tail = "/the/end.bin";
    std::string accented;
    for (int i = 0; i < 150; ++i) accented += "\xc3\xa9";  // two bytes, one column
    for (const std::string& lead : {std::string(300, 'a'), accented}) {
        Captured out;
        ProgressLine line(out.file(), lead + tail, 1000, t0);
        line.update(500, t0 + 1s);
        const std::string shown = out.last_line();
        // Within the width, and cut no more than needed (the last column may stay free).
        EXPECT_LE(columns(shown), 80u) << shown;
        EXPECT_GE(columns(shown), 79u) << shown;
        ASSERT_TRUE(shown.starts_with("...")) << shown;
        EXPECT_NE(static_cast<unsigned char>(shown[3]) & 0xC0, 0x80) << "cut inside a character";
        EXPECT_TRUE(shown.ends_with(tail + "  500 B / 1000 B  50%  500 B/s  0:01 left")) << shown;
    }
}

TEST(ProgressLine, FollowsTheWidthOfARealTerminal) {
    int master = -1, slave = -1;
    winsize ws{};
    ws.ws_col = 60;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, &ws), 0);
    std::FILE* term = fdopen(slave, "w");
    ASSERT_NE(term, nullptr);
    ProgressLine line(term, std::string(100, 'a') + "/end.bin", 1000, t0);
    line.update(500, t0 + 1s);

    std::string got;
    char buf[512];
    pollfd p{master, POLLIN, 0};
    while (poll(&p, 1, 200) == 1 && got.find("\x1b[K") == std::string::npos) {
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    std::fclose(term);
    close(master);
    ASSERT_TRUE(got.starts_with("\r...")) << got;
    const std::string shown = got.substr(1, got.find("\x1b[K") - 1);
    EXPECT_LE(shown.size(), 60u) << shown;
    EXPECT_TRUE(shown.ends_with("/end.bin  500 B / 1000 B  50%  500 B/s  0:01 left")) << shown;
}

TEST(ProgressLine, ControlCharactersInNamesAndOutcomesAreNotSentToTheTerminal) {
    Captured out;
    ProgressLine line(out.file(), "a\x1b]0;x\x07\n\xc2\x9b" "b", 0, t0);
    line.finish("peer says \x1b[2J", t0 + 1s);
    EXPECT_EQ(out.text(), "a\\x1B]0;x\\x07\\x0A\\xC2\\x9Bb  0 B  1.0 s  0 B/s  peer says \\x1B[2J\n");
}

TEST(ProgressLine, SharesAConsoleWithTheProgramsOtherLines) {
    Captured out;
    cli::Console console(out.file(), true);
    {
        ProgressLine first(console, "a", 10, t0);
        first.update(5, t0);
    }
    // The next file's line is drawn at once, however soon after the last one; a line of the
    // program's own clears it first.
    ProgressLine next(console, "b", 10, t0);
    next.update(1, t0 + 10ms);
    console.error("b: not stored: full");
    EXPECT_EQ(out.text(), "\ra  5 B / 10 B  50%  -  -\x1b[K\rb  1 B / 10 B  10%  100 B/s  0:01 left\x1b[K"
                          "\r\x1b[KERROR: b: not stored: full\a\n");
}

TEST(BatchSummary, CountsFilesInTheRightNumber) {
    EXPECT_EQ(cli::batch_summary(1, 1536, 0.5), "1 file, 1.5 KiB in 0.5 s (3.0 KiB/s)");
    EXPECT_EQ(cli::batch_summary(3, 12 * MiB, 1.2), "3 files, 12.0 MiB in 1.2 s (10.0 MiB/s)");
    EXPECT_EQ(cli::batch_summary(0, 0, 0), "0 files, 0 B in 0.0 s (-)");
}
