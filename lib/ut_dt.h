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

// The time last read by TM_RD (also by the routines that read "now" implicitly).
extern UTMDF utm_;

// Day-of-month numbers of the current month's Sundays, set by TM_SUNDAYS; sunday_5 is 0
// in a month with four Sundays, sunday_last is the last of them.
extern std::uint16_t sunday_1, sunday_2, sunday_3, sunday_4, sunday_5, sunday_last;

// Name lists ended by a null pointer; entry 0 is the placeholder "NUL" so that index n
// names month n or weekday n of a record.
extern const char* const cl_month[14];
extern const char* const cl_wday[9];
extern const char* const cl_wday_short[9];

// Tail of the message raised by routines this platform does not offer.
extern const char cur_uns_lnx[];

// Reads the local time into utm_ and, when out is given, into *out.
void TM_RD(UTMDF* out);
// 65535 as year or month means the current one (read with TM_RD).
char LEAP_YEAR(std::uint16_t year);
std::uint16_t MONTH_DAYS(std::uint16_t month, std::uint16_t year);
// Adds a signed number of milliseconds with all carries; null record = utm_.
void TM_ADD(std::int32_t ms, UTMDF* rec);
// Elapsed time from one record to another (null = now), wall-clock fields only: negative
// when to is earlier, saturating at +-2147483647.
std::int32_t EL_MS_UTM(const UTMDF* from, const UTMDF* to);
std::int32_t EL_SECS_UTM(const UTMDF* from, const UTMDF* to);
std::int32_t EL_MINS_UTM(const UTMDF* from, const UTMDF* to);
std::int32_t EL_HOURS_UTM(const UTMDF* from, const UTMDF* to);
std::int32_t EL_DAYS_UTM(const UTMDF* from, const UTMDF* to);
void TM_SUNDAYS();
// Daylight-saving time in force now by the fixed April-October rule; "DST" set to a
// false value in the environment turns it off.
char TM_DST();
// Setting the system date or clock: always raise on this platform.
void TM_DATE_WT(UTMDF* rec);
void TM_CLOCK_WT(UTMDF* rec);
// Month number 1-12 of a month name or a leading part of it (at least 3 characters,
// any case); 65535 when none.
std::uint16_t S_MONTH(const char* text);

// ---- Time formatting and parsing ----
//
// Both routines cut their text into at most 30 tokens: runs of digits, of letters, or of
// anything else; the 30th token is the whole rest of the text.

// The sample with each recognised date or time part replaced by rec's value in the
// sample's own style (padding, 2- or 4-digit year, 12- or 24-hour clock, A/P or AM/PM).
// Null rec = utm_ as last read; null sample = "12:00:00". A temporary string; the constant
// "?" while an error is pending.
char* TM_S(const UTMDF* rec, const char* sample);
// Reads a free-form date and time into *out (null = utm_). start_mode 0: fields not found
// are unknown; 1: today at 00:00:00.000; other: now. strict raises on any other text.
// Raises "No time found" when nothing is recognised; out then keeps the start values.
void S_TM(const char* text, UTMDF* out, char start_mode, char strict);

#endif
