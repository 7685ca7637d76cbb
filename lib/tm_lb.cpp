// Millisecond clock, ticks, elapsed times and delays.
#include "tm_lb.h"

#include <sys/time.h>

#include <cerrno>
#include <ctime>

extern const std::uint32_t min_secs = 60;
extern const std::uint32_t hour_secs = 3600;
extern const std::uint32_t day_secs = 86400;
extern const std::uint32_t year_secs = 31536000;
extern const std::uint32_t min_ms = 60000;
extern const std::uint32_t hour_ms = 3600000;
extern const std::uint32_t day_ms = 86400000;

namespace {

// The tick restarts every 10^7 seconds of wall-clock time.
constexpr long tic_period_secs = 10000000;

// Reads the wall clock once; also hands back the microseconds left in this millisecond.
std::uint32_t read_tick(long* us_to_next) {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    long secs = static_cast<long>(tv.tv_sec % tic_period_secs);
    if (secs < 0) secs += tic_period_secs;  // a clock set before 1970
    long us = static_cast<long>(tv.tv_usec);
    if (us_to_next) *us_to_next = 1000 - us % 1000;
    return static_cast<std::uint32_t>(secs) * 1000u + static_cast<std::uint32_t>(us / 1000);
}

void sleep_us(long us) {
    timespec ts{us / 1000000, (us % 1000000) * 1000};
    nanosleep(&ts, nullptr);
}

}  // namespace

std::uint32_t TIC_C() { return read_tick(nullptr); }

std::uint32_t EL_MS(std::uint32_t start, std::uint32_t end) {
    // With an error pending every time-out loop must end at its next test.
    if (err_) return 0x7FFFFFFFu;
    if (end == tic_now) end = TIC_C();
    return end - start;  // modulo 2^32
}

std::uint32_t EL_SECS(std::uint32_t start, std::uint32_t end) { return EL_MS(start, end) / 1000u; }

std::uint32_t EL_MINS(std::uint32_t start, std::uint32_t end) { return EL_SECS(start, end) / 60u; }

std::uint32_t EL_HOURS(std::uint32_t start, std::uint32_t end) { return EL_MINS(start, end) / 60u; }

std::uint32_t TIC_TRANS() {
    long wait = 0;
    const std::uint32_t first = read_tick(&wait);
    // Sleep to the next millisecond boundary rather than spin; recheck in case the sleep
    // ended early or the clock was moved.
    for (;;) {
        sleep_us(wait);
        std::uint32_t now = read_tick(&wait);
        if (now != first) return now;
    }
}

void SLEEP_MS(std::uint32_t ms) {
    if (!ms) return;
    // Seconds and nanoseconds separately, so long sleeps do not wrap; an interrupted
    // sleep goes on for the rest of the time.
    timespec ts{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
    timespec rest{};
    while (nanosleep(&ts, &rest) == -1 && errno == EINTR) ts = rest;
}
