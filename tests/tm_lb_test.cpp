// Millisecond tick, elapsed times and sleeps.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <ctime>

#include "lb.h"
#define LBTEST_FAKE_CLOCK
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

// Stops the clock at secs.usecs since 1970.
void clock_at(std::time_t secs, long usecs) {
    lbtest::fake_clock::on = true;
    lbtest::fake_clock::secs = secs;
    lbtest::fake_clock::usecs = usecs;
}

}  // namespace

TEST(TimeUnits, Values) {
    EXPECT_EQ(min_secs, 60u);
    EXPECT_EQ(hour_secs, 3600u);
    EXPECT_EQ(day_secs, 86400u);
    EXPECT_EQ(year_secs, 31536000u);
    EXPECT_EQ(min_ms, 60000u);
    EXPECT_EQ(hour_ms, 3600000u);
    EXPECT_EQ(day_ms, 86400000u);
}

TEST(Ticks, AreMillisecondsOfTheWallClockWithinItsPeriod) {
    clock_at(1700001234, 567890);
    EXPECT_EQ(TIC_C(), 1234567u);
    clock_at(1700001234, 999);
    EXPECT_EQ(TIC_C(), 1234000u);
    lbtest::fake_clock::on = false;
}

TEST(Elapsed, SameTickIsZeroAndNowIsClose) {
    std::uint32_t t = TIC_C();
    EXPECT_EQ(EL_MS(t, t), 0u);
    std::uint32_t start = TIC_C();
    EXPECT_LT(EL_MS(start, -1), 50u);
    EXPECT_EQ(EL_SECS(start, -1), 0u);
}

TEST(Elapsed, WrapsAtTwoToThe32) {
    EXPECT_EQ(EL_MS(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(EL_SECS(0xFFFFFC18u, 1000u), 2u);  // 1000 ms before the wrap to 1000 ms after
}

TEST(Elapsed, DerivedUnitsTruncate) {
    EXPECT_EQ(EL_SECS(0, 1999), 1u);
    EXPECT_EQ(EL_MINS(0, 119999), 1u);
    EXPECT_EQ(EL_HOURS(0, 7199999), 1u);
    EXPECT_EQ(EL_HOURS(100, 100 + 2 * hour_ms), 2u);
}

TEST(Elapsed, FallBackOfTheTickReadsTooLarge) {
    // Last millisecond of one 10^7-second period, then the first of the next.
    clock_at(9999999, 999000);
    const std::uint32_t a = TIC_C();
    clock_at(10000000, 0);
    const std::uint32_t b = TIC_C();
    lbtest::fake_clock::on = false;
    EXPECT_EQ(a, 1410065407u);  // 9,999,999,999 modulo 2^32
    EXPECT_EQ(b, 0u);
    EXPECT_EQ(EL_MS(a, b), 1u + 2884901888u);
}

TEST(Elapsed, PendingErrorReadsAsForever) {
    S_ERR("boom");
    std::uint32_t t = TIC_C();
    EXPECT_EQ(EL_MS(t, -1), 2147483647u);
    EXPECT_EQ(EL_MS(5, 5), 2147483647u);
    EXPECT_EQ(EL_SECS(t, -1), 2147483u);
    EXPECT_EQ(EL_MINS(t, -1), 35791u);
    EXPECT_EQ(EL_HOURS(t, -1), 596u);
    EXPECT_STREQ(ERR_S(), "boom");  // reading the clock raises nothing
    EXPECT_EQ(EL_MS(5, 5), 0u);
}

TEST(Sleep, ZeroReturnsAtOnce) {
    auto t0 = Clock::now();
    for (int i = 0; i < 1000; ++i) SLEEP_MS(0);
    EXPECT_LT(ms_since(t0), 20.0);
}

TEST(Sleep, SleepsAtLeastTheTime) {
    auto t0 = Clock::now();
    SLEEP_MS(10);
    double ms = ms_since(t0);
    EXPECT_GE(ms, 10.0);
    EXPECT_LT(ms, 500.0);
}

extern "C" void on_alarm(int) {}

TEST(Sleep, ASignalDoesNotCutItShort) {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;  // no SA_RESTART: the sleep is interrupted
    sigaction(SIGALRM, &sa, nullptr);
    itimerval it{};
    it.it_value.tv_usec = 5000;
    setitimer(ITIMER_REAL, &it, nullptr);
    auto t0 = Clock::now();
    SLEEP_MS(40);
    EXPECT_GE(ms_since(t0), 40.0);
}

TEST(TickTransition, ReturnsTheNextTick) {
    for (int i = 0; i < 20; ++i) {
        std::uint32_t before = TIC_C();
        std::uint32_t next = TIC_TRANS();
        std::uint32_t after = TIC_C();
        EXPECT_NE(next, before);
        EXPECT_LE(EL_MS(before, next), EL_MS(before, after));
        EXPECT_LE(EL_MS(before, next), 20u);
    }
}

TEST(TickTransition, WaitsWithoutSpinning) {
    auto t0 = Clock::now();
    double c0 = cpu_ms();
    for (int i = 0; i < 200; ++i) TIC_TRANS();
    double wall = ms_since(t0), cpu = cpu_ms() - c0;
    EXPECT_GE(wall, 150.0);
    EXPECT_LT(cpu, wall / 2);
}
