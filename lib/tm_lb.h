// Millisecond clock, ticks, elapsed times and delays.
#ifndef LB_TM_LB_H
#define LB_TM_LB_H

#include "err_lb.h"

extern const std::uint32_t min_secs;   // 60
extern const std::uint32_t hour_secs;  // 3600
extern const std::uint32_t day_secs;   // 86400
extern const std::uint32_t year_secs;  // 31536000, a 365-day year
extern const std::uint32_t min_ms;     // 60000
extern const std::uint32_t hour_ms;    // 3600000
extern const std::uint32_t day_ms;     // 86400000

// End tick meaning "read the clock now".
inline constexpr std::uint32_t tic_now = 0xFFFFFFFFu;

// Millisecond tick from the wall clock; wraps at 2^32 and falls back every 10^7 seconds.
std::uint32_t TIC_C();
// Elapsed time from start to end (tic_now, written -1 by callers, for now), modulo 2^32.
// With an error pending the result is 2147483647 ms so that every time-out loop ends.
std::uint32_t EL_MS(std::uint32_t start, std::uint32_t end);
std::uint32_t EL_SECS(std::uint32_t start, std::uint32_t end);
std::uint32_t EL_MINS(std::uint32_t start, std::uint32_t end);
std::uint32_t EL_HOURS(std::uint32_t start, std::uint32_t end);
// Waits for the tick to change and returns the new value.
std::uint32_t TIC_TRANS();
// Sleeps for ms milliseconds; 0 returns at once.
void SLEEP_MS(std::uint32_t ms);

#endif
