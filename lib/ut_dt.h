// Calendar record, calendar arithmetic, time formatting and parsing.
#ifndef LB_UT_DT_H
#define LB_UT_DT_H

#include "err_lb.h"

// Broken-down local date and time. 65535 or 255 in a field means unknown.
struct UTMDF {
    std::uint16_t year;  // full year, e.g. 2026
    std::uint8_t mon;    // 1-12
    std::uint8_t day;    // 1-31
    std::uint8_t wday;   // 1-7, 1 = Sunday
    std::uint8_t hour;   // 0-23
    std::uint8_t min;    // 0-59
    std::uint8_t sec;    // 0-59
    std::uint16_t msec;  // 0-999
};

#endif
