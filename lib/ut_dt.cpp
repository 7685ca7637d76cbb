// Calendar record: reading the local time, month lengths, adding milliseconds with carries,
// elapsed times between records, the month's Sundays and the daylight-saving rule.
#include "ut_dt.h"
#include "ut_dt_own.h"

#include <sys/time.h>

#include <cstdint>
#include <ctime>

#include "mem_lb.h"
#include "s_mt.h"
#include "tm_lb.h"

UTMDF utm_{};

std::uint16_t sunday_1 = 0, sunday_2 = 0, sunday_3 = 0, sunday_4 = 0, sunday_5 = 0, sunday_last = 0;

const char* const cl_month[14] = {"NUL",  "January", "February",  "March",   "April",    "May",      "June",
                                  "July", "August",  "September", "October", "November", "December", nullptr};
const char* const cl_wday[9] = {"NUL",       "Sunday",   "Monday", "Tuesday", "Wednesday",
                                "Thursday",  "Friday",   "Saturday", nullptr};
const char* const cl_wday_short[9] = {"NUL", "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", nullptr};

const char cur_uns_lnx[] = " is currently unsupported under LINUX";

namespace {

constexpr std::uint16_t current = 65535;
constexpr std::int32_t el_max = 2147483647;

// Month length for the carries: a month outside 1-12 (an unknown field) has no days, so
// stepping a day moves straight on to the next month instead of reading past the table.
std::uint16_t month_len(unsigned mon, std::uint16_t year) {
    return mon > 12 ? 0 : MONTH_DAYS(static_cast<std::uint16_t>(mon), year);
}

// An unknown weekday stays unknown when days are stepped.
bool wday_known(const UTMDF& t) { return t.wday >= 1 && t.wday <= 7; }

void month_fwd(UTMDF& t) {
    if (t.mon >= 12) {
        t.mon = 1;
        ++t.year;
    } else {
        ++t.mon;
    }
}

void day_fwd(UTMDF& t) {
    if (wday_known(t)) t.wday = static_cast<std::uint8_t>(t.wday % 7 + 1);
    if (t.day >= month_len(t.mon, t.year)) {
        t.day = 1;
        month_fwd(t);
    } else {
        ++t.day;
    }
}

void hour_fwd(UTMDF& t) {
    if (t.hour >= 23) {
        t.hour = 0;
        day_fwd(t);
    } else {
        ++t.hour;
    }
}

void min_fwd(UTMDF& t) {
    if (t.min >= 59) {
        t.min = 0;
        hour_fwd(t);
    } else {
        ++t.min;
    }
}

void sec_fwd(UTMDF& t) {
    if (t.sec >= 59) {
        t.sec = 0;
        min_fwd(t);
    } else {
        ++t.sec;
    }
}

void day_back(UTMDF& t) {
    if (wday_known(t)) t.wday = static_cast<std::uint8_t>(t.wday == 1 ? 7 : t.wday - 1);
    if (t.day <= 1) {
        if (t.mon <= 1) {
            t.mon = 12;
            --t.year;
        } else {
            --t.mon;
        }
        t.day = static_cast<std::uint8_t>(month_len(t.mon, t.year));
    } else {
        --t.day;
    }
}

void hour_back(UTMDF& t) {
    if (t.hour == 0) {
        t.hour = 23;
        day_back(t);
    } else {
        --t.hour;
    }
}

void min_back(UTMDF& t) {
    if (t.min == 0) {
        t.min = 59;
        hour_back(t);
    } else {
        --t.min;
    }
}

void sec_back(UTMDF& t) {
    if (t.sec == 0) {
        t.sec = 59;
        min_back(t);
    } else {
        --t.sec;
    }
}

enum class Unit { ms, sec, min, hour, day };

// The record as a count of the unit; the fields below the unit play no part.
std::int64_t count_of(const UTMDF& t, Unit unit) {
    std::int64_t n = tm_civil_days(t.year, t.mon, t.day);
    if (unit == Unit::day) return n;
    n = n * 24 + t.hour;
    if (unit == Unit::hour) return n;
    n = n * 60 + t.min;
    if (unit == Unit::min) return n;
    n = n * 60 + t.sec;
    if (unit == Unit::sec) return n;
    return n * 1000 + t.msec;
}

// The elapsed routines count the steps from the earlier record to the later one; counting
// them by the difference of the two day numbers gives the same count without the walk.
std::int32_t elapsed(const UTMDF* from, const UTMDF* to, Unit unit) {
    if (err_) return el_max;
    // Copy first: a record passed as &utm_ must keep the value it had before "now" is read.
    UTMDF a{}, b{};
    if (from) a = *from;
    if (to) b = *to;
    if (!from || !to) {
        UTMDF now{};
        TM_RD(&now);
        if (!from) a = now;
        if (!to) b = now;
    }
    const std::int64_t diff = count_of(b, unit) - count_of(a, unit);
    if (diff > el_max) return el_max;
    if (diff < -el_max) return -el_max;
    return static_cast<std::int32_t>(diff);
}

}  // namespace

void TM_RD(UTMDF* out) {
    if (err_) return;
    const std::time_t now = std::time(nullptr);
    const std::tm* lt = std::localtime(&now);
    if (!lt) return;  // only for a clock beyond the calendar's years
    utm_.year = static_cast<std::uint16_t>(lt->tm_year + 1900);
    utm_.mon = static_cast<std::uint8_t>(lt->tm_mon + 1);
    utm_.day = static_cast<std::uint8_t>(lt->tm_mday);
    utm_.wday = static_cast<std::uint8_t>(lt->tm_wday + 1);
    utm_.hour = static_cast<std::uint8_t>(lt->tm_hour);
    utm_.min = static_cast<std::uint8_t>(lt->tm_min);
    utm_.sec = static_cast<std::uint8_t>(lt->tm_sec);
    // time() has no milliseconds; take them from a second reading, unless the second has
    // moved on in between, in which case the first reading was at the very end of its second.
    timeval tv{};
    gettimeofday(&tv, nullptr);
    utm_.msec = tv.tv_sec % 60 == lt->tm_sec ? static_cast<std::uint16_t>(tv.tv_usec / 1000) : 999;
    if (out) *out = utm_;
}

char LEAP_YEAR(std::uint16_t year) {
    if (year == current) {
        TM_RD(nullptr);
        year = utm_.year;
    }
    return tm_leap(year) ? 1 : 0;
}

std::uint16_t MONTH_DAYS(std::uint16_t month, std::uint16_t year) {
    if (month == current) {
        TM_RD(nullptr);
        month = utm_.mon;
    }
    return static_cast<std::uint16_t>(tm_month_len(month, month == 2 && LEAP_YEAR(year)));
}

void TM_ADD(std::int32_t ms, UTMDF* rec) {
    if (err_) return;
    // Work on a copy: a month length for an unknown year reads the clock into utm_.
    UTMDF t = rec ? *rec : utm_;
    std::int64_t rest = ms;
    while (rest >= 1) {
        if (rest >= day_ms) {
            rest -= day_ms;
            day_fwd(t);
        } else if (rest >= hour_ms) {
            rest -= hour_ms;
            hour_fwd(t);
        } else if (rest >= min_ms) {
            rest -= min_ms;
            min_fwd(t);
        } else if (rest > 999) {
            rest -= 1000;
            sec_fwd(t);
        } else {
            const std::int64_t msec = t.msec + rest;
            if (msec <= 999) {
                t.msec = static_cast<std::uint16_t>(msec);
            } else {
                t.msec = static_cast<std::uint16_t>(msec - 1000);
                sec_fwd(t);
            }
            break;
        }
    }
    while (rest < 0) {
        if (rest < -static_cast<std::int64_t>(day_ms)) {
            rest += day_ms;
            day_back(t);
        } else if (rest < -static_cast<std::int64_t>(hour_ms)) {
            rest += hour_ms;
            hour_back(t);
        } else if (rest < -static_cast<std::int64_t>(min_ms)) {
            rest += min_ms;
            min_back(t);
        } else if (rest <= -1000) {
            rest += 1000;
            sec_back(t);
        } else {
            const std::int64_t msec = t.msec + rest;
            if (msec >= 0) {
                t.msec = static_cast<std::uint16_t>(msec);
            } else {
                t.msec = static_cast<std::uint16_t>(msec + 1000);
                sec_back(t);
            }
            break;
        }
    }
    (rec ? *rec : utm_) = t;
}

std::int32_t EL_MS_UTM(const UTMDF* from, const UTMDF* to) { return elapsed(from, to, Unit::ms); }
std::int32_t EL_SECS_UTM(const UTMDF* from, const UTMDF* to) { return elapsed(from, to, Unit::sec); }
std::int32_t EL_MINS_UTM(const UTMDF* from, const UTMDF* to) { return elapsed(from, to, Unit::min); }
std::int32_t EL_HOURS_UTM(const UTMDF* from, const UTMDF* to) { return elapsed(from, to, Unit::hour); }
std::int32_t EL_DAYS_UTM(const UTMDF* from, const UTMDF* to) { return elapsed(from, to, Unit::day); }

void TM_SUNDAYS() {
    if (err_) return;
    UTMDF now{};
    TM_RD(&now);
    if (err_) return;
    // Weekday (0 = Sunday) of the 1st, worked back from today's.
    const unsigned first = (now.wday + 6u + 35u - (now.day - 1u) % 7u) % 7u;
    std::uint16_t* const slots[] = {&sunday_1, &sunday_2, &sunday_3, &sunday_4, &sunday_5};
    for (std::uint16_t* s : slots) *s = 0;
    const std::uint16_t days = MONTH_DAYS(now.mon, now.year);
    std::size_t n = 0;
    // The first Sunday falls on day 1 + (7 - first) % 7, the others every 7 days.
    for (unsigned d = 1 + (7 - first) % 7; d <= days && n < 5; d += 7) *slots[n++] = static_cast<std::uint16_t>(d);
    sunday_last = sunday_5 ? sunday_5 : sunday_4;
}

char TM_DST() {
    if (err_) return 0;
    if (!ENV_VAR_TF("DST", 1)) return 0;
    TM_SUNDAYS();
    UTMDF now{};
    TM_RD(&now);
    if (err_) return 0;
    // Summer time from 02:00 on the first Sunday of April to 02:00 on the last of October.
    switch (now.mon) {
        case 4:
            return now.day > sunday_1 || (now.day == sunday_1 && now.hour >= 2);
        case 5:
        case 6:
        case 7:
        case 8:
        case 9:
            return 1;
        case 10:
            return now.day < sunday_last || (now.day == sunday_last && now.hour < 2);
        default:
            return 0;
    }
}

void TM_DATE_WT(UTMDF*) {
    static const char rtn[] = "TM_DATE_WT";
    if (err_) return;
    SM_ERR(rtn, cur_uns_lnx, nullptr);
}

void TM_CLOCK_WT(UTMDF*) {
    static const char rtn[] = "TM_CLOCK_WT";
    if (err_) return;
    SM_ERR(rtn, cur_uns_lnx, nullptr);
}

std::uint16_t S_MONTH(const char* text) {
    if (err_ || !text || !text[0] || !text[1] || !text[2]) return 65535;
    // The text is the pattern, so "Mar" finds March; letters in any case.
    for (std::uint16_t m = 1; m <= 12; ++m) {
        if (BF_MT(cl_month[m], text, 65535, 0, 1, 0)) return m;
    }
    return 65535;
}
