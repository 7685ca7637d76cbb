// Calendar record: reading the clock, leap years, adding time, elapsed times, Sundays, DST.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <string>

#include "lb.h"
// The calendar reads the clock: every "now" is a time the test sets.
#define LBTEST_FAKE_CLOCK
#include "test_support.h"

namespace {

namespace fake_clock = lbtest::fake_clock;
using namespace lbtest;

// A record with its weekday taken from the C library's calendar.
UTMDF rec(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    std::time_t t = utc_secs(y, mo, d, h, mi, s);
    std::tm tm{};
    gmtime_r(&t, &tm);
    return UTMDF{static_cast<std::uint16_t>(y),  static_cast<std::uint8_t>(mo),
                 static_cast<std::uint8_t>(d),   static_cast<std::uint8_t>(tm.tm_wday + 1),
                 static_cast<std::uint8_t>(h),   static_cast<std::uint8_t>(mi),
                 static_cast<std::uint8_t>(s),   static_cast<std::uint16_t>(ms)};
}

// "2024-02-29 w5 23:59:59.999": every field, so a failure shows the whole record.
std::string show(const UTMDF& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u w%u %02u:%02u:%02u.%03u", t.year, t.mon, t.day, t.wday,
                  t.hour, t.min, t.sec, t.msec);
    return text;
}

// Elapsed time between two records given by value.
std::int32_t el(std::int32_t (*routine)(const UTMDF*, const UTMDF*), UTMDF from, UTMDF to) {
    return routine(&from, &to);
}

UTMDF added(UTMDF t, std::int32_t ms) {
    TM_ADD(ms, &t);
    return t;
}

std::string pending_message() { return lbtest::pending("(none)"); }

// Each case starts in UTC with the clock stopped, no DST switch and no error, and leaves
// no error behind for the next case when the binary runs them all in one process.
class CalendarCase : public ::testing::Test {
protected:
    void SetUp() override {
        set_zone("UTC0");
        unsetenv("DST");
        set_now(2024, 6, 15, 12, 0, 0);
        fake_clock::gtod_ahead = 0;
    }
    void TearDown() override {
        ERR_S();
        fake_clock::on = false;
    }
};

class Calendar : public CalendarCase {};
class ReadClock : public CalendarCase {};
class AddTime : public CalendarCase {};
class ElapsedBetweenRecords : public CalendarCase {};
class Sundays : public CalendarCase {};
class DaylightSaving : public CalendarCase {};
class MonthNames : public CalendarCase {};

}  // namespace

TEST_F(Calendar, LeapYearsFollowTheGregorianRule) {
    EXPECT_EQ(LEAP_YEAR(1900), 0);
    EXPECT_EQ(LEAP_YEAR(2000), 1);
    EXPECT_EQ(LEAP_YEAR(2024), 1);
    EXPECT_EQ(LEAP_YEAR(2023), 0);
    EXPECT_EQ(LEAP_YEAR(2100), 0);
    EXPECT_EQ(LEAP_YEAR(2400), 1);
}

TEST_F(Calendar, MonthLengths) {
    EXPECT_EQ(MONTH_DAYS(2, 2024), 29);
    EXPECT_EQ(MONTH_DAYS(2, 2023), 28);
    EXPECT_EQ(MONTH_DAYS(2, 1900), 28);
    EXPECT_EQ(MONTH_DAYS(2, 2000), 29);
    EXPECT_EQ(MONTH_DAYS(0, 2024), 0);
    const int expect[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    for (std::uint16_t m = 1; m <= 12; ++m) EXPECT_EQ(MONTH_DAYS(m, 2023), expect[m - 1]) << "month " << m;
}

TEST_F(Calendar, CurrentYearAndMonthComeFromTheClock) {
    set_now(2024, 2, 10);
    EXPECT_EQ(LEAP_YEAR(65535), 1);
    EXPECT_EQ(MONTH_DAYS(65535, 65535), 29);
    EXPECT_EQ(MONTH_DAYS(2, 65535), 29);
    EXPECT_EQ(show(utm_), "2024-02-10 w7 00:00:00.000");
    set_now(2023, 4, 30);
    EXPECT_EQ(LEAP_YEAR(65535), 0);
    EXPECT_EQ(MONTH_DAYS(65535, 2024), 30);
    EXPECT_EQ(MONTH_DAYS(2, 65535), 28);
}

TEST_F(Calendar, NameListsStartWithPlaceholderAndEndWithNull) {
    EXPECT_STREQ(cl_month[0], "NUL");
    EXPECT_STREQ(cl_month[1], "January");
    EXPECT_STREQ(cl_month[9], "September");
    EXPECT_STREQ(cl_month[12], "December");
    EXPECT_EQ(cl_month[13], nullptr);
    EXPECT_STREQ(cl_wday[0], "NUL");
    EXPECT_STREQ(cl_wday[1], "Sunday");
    EXPECT_STREQ(cl_wday[7], "Saturday");
    EXPECT_EQ(cl_wday[8], nullptr);
    EXPECT_STREQ(cl_wday_short[1], "Sun");
    EXPECT_STREQ(cl_wday_short[4], "Wed");
    EXPECT_STREQ(cl_wday_short[7], "Sat");
    EXPECT_EQ(cl_wday_short[8], nullptr);
}

TEST_F(ReadClock, FillsLocalFieldsAndMilliseconds) {
    set_now(2024, 2, 29, 13, 45, 7, 123456);
    UTMDF out{};
    TM_RD(&out);
    EXPECT_EQ(show(out), "2024-02-29 w5 13:45:07.123");
    EXPECT_EQ(show(utm_), show(out));

    set_now(2023, 12, 31, 23, 59, 59, 999999);
    TM_RD(nullptr);
    EXPECT_EQ(show(utm_), "2023-12-31 w1 23:59:59.999");
    EXPECT_EQ(show(out), "2024-02-29 w5 13:45:07.123");
}

TEST_F(ReadClock, SecondTurningBetweenReadingsGives999) {
    set_now(2024, 5, 1, 8, 0, 41, 2000);
    fake_clock::gtod_ahead = 1;
    UTMDF out{};
    TM_RD(&out);
    EXPECT_EQ(show(out), "2024-05-01 w4 08:00:41.999");
}

TEST_F(ReadClock, FollowsTheZoneAcrossDstChanges) {
    set_zone("CET-1CEST,M3.5.0,M10.5.0/3");
    UTMDF before{}, after{};
    set_now(2024, 3, 31, 0, 59, 59, 500000);
    TM_RD(&before);
    set_now(2024, 3, 31, 1, 0, 0, 500000);
    TM_RD(&after);
    EXPECT_EQ(show(before), "2024-03-31 w1 01:59:59.500");
    EXPECT_EQ(show(after), "2024-03-31 w1 03:00:00.500");
    // The records are local wall-clock times: one real second reads as an hour and a second.
    EXPECT_EQ(EL_SECS_UTM(&before, &after), 3601);

    // In autumn the hour from 02:00 to 03:00 comes twice and reads the same both times.
    set_now(2024, 10, 27, 0, 30, 0);
    TM_RD(&before);
    set_now(2024, 10, 27, 1, 30, 0);
    TM_RD(&after);
    EXPECT_EQ(show(before), "2024-10-27 w1 02:30:00.000");
    EXPECT_EQ(show(after), show(before));
    EXPECT_EQ(EL_MS_UTM(&before, &after), 0);

    set_zone("EST5EDT,M3.2.0,M11.1.0");
    set_now(2024, 1, 1, 3, 0, 0);
    TM_RD(&after);
    EXPECT_EQ(show(after), "2023-12-31 w1 22:00:00.000");
}

TEST_F(AddTime, DayCarriesThroughYearEnd) {
    EXPECT_EQ(show(added(rec(2023, 12, 31, 23, 10), day_ms)), "2024-01-01 w2 23:10:00.000");
    EXPECT_EQ(show(added(rec(2023, 12, 31, 23, 59, 59, 999), 1)), "2024-01-01 w2 00:00:00.000");
    EXPECT_EQ(show(added(rec(2024, 1, 1), -1)), "2023-12-31 w1 23:59:59.999");
    EXPECT_EQ(show(added(rec(2024, 1, 1, 23, 10), -static_cast<std::int32_t>(day_ms))), "2023-12-31 w1 23:10:00.000");
}

TEST_F(AddTime, LeapDayOnlyInLeapYears) {
    EXPECT_EQ(show(added(rec(2024, 3, 1), -1)), "2024-02-29 w5 23:59:59.999");
    EXPECT_EQ(show(added(rec(2023, 3, 1), -1)), "2023-02-28 w3 23:59:59.999");
    EXPECT_EQ(show(added(rec(1900, 3, 1), -1)), "1900-02-28 w4 23:59:59.999");
    EXPECT_EQ(show(added(rec(2000, 3, 1), -1)), "2000-02-29 w3 23:59:59.999");
    EXPECT_EQ(show(added(rec(1900, 2, 28, 6), day_ms)), "1900-03-01 w5 06:00:00.000");
    EXPECT_EQ(show(added(rec(2000, 2, 28, 6), day_ms)), "2000-02-29 w3 06:00:00.000");
    EXPECT_EQ(show(added(rec(2024, 2, 28, 6), day_ms)), "2024-02-29 w5 06:00:00.000");
}

TEST_F(AddTime, MonthEnds) {
    EXPECT_EQ(show(added(rec(2024, 4, 30, 12), day_ms)), "2024-05-01 w4 12:00:00.000");
    EXPECT_EQ(show(added(rec(2024, 1, 31, 23, 30), hour_ms)), "2024-02-01 w5 00:30:00.000");
    EXPECT_EQ(show(added(rec(2024, 5, 1, 0, 0, 30), -static_cast<std::int32_t>(min_ms))),
              "2024-04-30 w3 23:59:30.000");
    EXPECT_EQ(show(added(rec(2024, 8, 1), -1000)), "2024-07-31 w4 23:59:59.000");
}

TEST_F(AddTime, MillisecondsCarryAndBorrow) {
    // 600 ms and 1500 ms make 2100 ms: two seconds more.
    EXPECT_EQ(show(added(rec(2024, 6, 1, 10, 0, 0, 600), 1500)), "2024-06-01 w7 10:00:02.100");
    EXPECT_EQ(show(added(rec(2024, 6, 1, 10, 0, 0, 100), -1500)), "2024-06-01 w7 09:59:58.600");
    EXPECT_EQ(show(added(rec(2024, 6, 1, 10, 0, 0, 999), 1)), "2024-06-01 w7 10:00:01.000");
    EXPECT_EQ(show(added(rec(2024, 6, 1, 10, 0, 0, 0), -1000)), "2024-06-01 w7 09:59:59.000");
    EXPECT_EQ(show(added(rec(2024, 6, 1, 10, 0, 0, 0), 0)), "2024-06-01 w7 10:00:00.000");
}

TEST_F(AddTime, WeekdayWrapsAndUnknownStaysUnknown) {
    EXPECT_EQ(show(added(rec(2024, 6, 1), day_ms)), "2024-06-02 w1 00:00:00.000");
    EXPECT_EQ(show(added(rec(2024, 6, 2), -static_cast<std::int32_t>(day_ms))), "2024-06-01 w7 00:00:00.000");
    UTMDF t = rec(2024, 6, 1);
    t.wday = 0;
    EXPECT_EQ(show(added(t, 3 * day_ms)), "2024-06-04 w0 00:00:00.000");
    t.wday = 255;
    EXPECT_EQ(show(added(t, -static_cast<std::int32_t>(day_ms))), "2024-05-31 w255 00:00:00.000");
}

TEST_F(AddTime, NullRecordIsTheCurrentTimeRecord) {
    utm_ = rec(2024, 2, 28, 23, 59, 59, 500);
    TM_ADD(500, nullptr);
    EXPECT_EQ(show(utm_), "2024-02-29 w5 00:00:00.000");
}

TEST_F(AddTime, AgreesWithTheCLibraryCalendarOverTheWholeRange) {
    // Random records from 1890 to 2110 and amounts over the whole signed 32-bit range,
    // checked against gmtime and against the elapsed count back.
    std::mt19937 gen(20240229);
    std::uniform_int_distribution<std::int64_t> secs(utc_secs(1890, 1, 1, 0, 0, 0), utc_secs(2110, 1, 1, 0, 0, 0));
    std::uniform_int_distribution<std::int32_t> amount(INT32_MIN, INT32_MAX);
    std::uniform_int_distribution<int> ms(0, 999);
    for (int i = 0; i < 3000; ++i) {
        const std::time_t start = secs(gen);
        const int start_ms = ms(gen);
        std::int32_t delta = amount(gen);
        if (i < 4) delta = (i & 1 ? INT32_MIN : INT32_MAX) / (i < 2 ? 1 : 1000);
        std::tm a{}, b{};
        gmtime_r(&start, &a);
        const std::int64_t end_ms = std::int64_t{start} * 1000 + start_ms + delta;
        const std::time_t end = static_cast<std::time_t>(end_ms >= 0 ? end_ms / 1000 : (end_ms - 999) / 1000);
        gmtime_r(&end, &b);
        const UTMDF from = rec(a.tm_year + 1900, a.tm_mon + 1, a.tm_mday, a.tm_hour, a.tm_min, a.tm_sec, start_ms);
        const UTMDF want = rec(b.tm_year + 1900, b.tm_mon + 1, b.tm_mday, b.tm_hour, b.tm_min, b.tm_sec,
                               static_cast<int>(end_ms - std::int64_t{end} * 1000));
        const UTMDF got = added(from, delta);
        ASSERT_EQ(show(got), show(want)) << show(from) << " + " << delta;
        ASSERT_EQ(EL_MS_UTM(&from, &got), delta == INT32_MIN ? -INT32_MAX : delta) << show(from) << " + " << delta;
    }
}

TEST_F(ElapsedBetweenRecords, SameRecordIsZeroAndSwappingFlipsTheSign) {
    const UTMDF a = rec(2024, 7, 14, 9, 30, 15, 250);
    const UTMDF b = rec(2024, 7, 16, 11, 45, 40, 750);
    EXPECT_EQ(EL_SECS_UTM(&a, &a), 0);
    EXPECT_EQ(EL_MS_UTM(&a, &a), 0);
    EXPECT_EQ(EL_MS_UTM(&a, &b), 2 * 86400000 + 2 * 3600000 + 15 * 60000 + 25500);
    EXPECT_EQ(EL_MS_UTM(&b, &a), -(2 * 86400000 + 2 * 3600000 + 15 * 60000 + 25500));
    EXPECT_EQ(EL_SECS_UTM(&a, &b), 2 * 86400 + 2 * 3600 + 15 * 60 + 25);
    EXPECT_EQ(EL_SECS_UTM(&b, &a), -(2 * 86400 + 2 * 3600 + 15 * 60 + 25));
    EXPECT_EQ(EL_MINS_UTM(&a, &b), 2 * 1440 + 2 * 60 + 15);
    EXPECT_EQ(EL_HOURS_UTM(&b, &a), -(2 * 24 + 2));
    EXPECT_EQ(EL_DAYS_UTM(&a, &b), 2);
}

TEST_F(ElapsedBetweenRecords, AcrossTheYearEnd) {
    const UTMDF a = rec(2023, 12, 31, 23, 59, 59, 900);
    const UTMDF b = rec(2024, 1, 1, 0, 0, 1, 100);
    EXPECT_EQ(EL_SECS_UTM(&a, &b), 2);
    EXPECT_EQ(EL_MS_UTM(&a, &b), 1200);
    EXPECT_EQ(EL_MINS_UTM(&a, &b), 1);
    EXPECT_EQ(EL_HOURS_UTM(&a, &b), 1);
    EXPECT_EQ(EL_DAYS_UTM(&a, &b), 1);
}

TEST_F(ElapsedBetweenRecords, EachUnitIgnoresTheSmallerFieldsAndTheWeekday) {
    EXPECT_EQ(el(EL_DAYS_UTM, rec(2024, 3, 1, 23), rec(2024, 3, 2, 1)), 1);
    EXPECT_EQ(el(EL_DAYS_UTM, rec(2024, 3, 2, 1), rec(2024, 3, 1, 23)), -1);
    EXPECT_EQ(el(EL_HOURS_UTM, rec(2024, 3, 1, 10, 59), rec(2024, 3, 1, 11, 0)), 1);
    EXPECT_EQ(el(EL_MINS_UTM, rec(2024, 3, 1, 10, 0, 59), rec(2024, 3, 1, 10, 1, 0)), 1);
    EXPECT_EQ(el(EL_SECS_UTM, rec(2024, 3, 1, 10, 0, 0, 999), rec(2024, 3, 1, 10, 0, 1, 0)), 1);
    UTMDF other_wday = rec(2024, 3, 1, 10);
    other_wday.wday = 3;
    EXPECT_EQ(el(EL_MS_UTM, rec(2024, 3, 1, 10), other_wday), 0);
}

TEST_F(ElapsedBetweenRecords, LeapDaysAndCenturies) {
    EXPECT_EQ(el(EL_DAYS_UTM, rec(2024, 2, 28), rec(2024, 3, 1)), 2);
    EXPECT_EQ(el(EL_DAYS_UTM, rec(2023, 2, 28), rec(2023, 3, 1)), 1);
    EXPECT_EQ(el(EL_DAYS_UTM, rec(1900, 2, 28), rec(1900, 3, 1)), 1);
    EXPECT_EQ(el(EL_DAYS_UTM, rec(2000, 2, 28), rec(2000, 3, 1)), 2);
    EXPECT_EQ(el(EL_DAYS_UTM, rec(1900, 1, 1), rec(2000, 1, 1)), 36524);
    EXPECT_EQ(el(EL_DAYS_UTM, rec(2000, 1, 1), rec(2100, 1, 1)), 36525);
    EXPECT_EQ(el(EL_HOURS_UTM, rec(2024, 1, 1), rec(2025, 1, 1)), 366 * 24);
}

TEST_F(ElapsedBetweenRecords, SaturatesInsteadOfWrapping) {
    const UTMDF a = rec(2024, 1, 1);
    const UTMDF b = rec(2024, 1, 31);
    EXPECT_EQ(EL_MS_UTM(&a, &b), 2147483647);
    EXPECT_EQ(EL_MS_UTM(&b, &a), -2147483647);
    // 2^31 - 1 ms is 24 days 20:31:23.647 and still fits; one more saturates.
    const UTMDF max_ok = rec(2024, 1, 25, 20, 31, 23, 647);
    const UTMDF one_more = rec(2024, 1, 25, 20, 31, 23, 648);
    EXPECT_EQ(EL_MS_UTM(&a, &max_ok), 2147483647);
    EXPECT_EQ(EL_MS_UTM(&max_ok, &a), -2147483647);
    EXPECT_EQ(el(EL_MS_UTM, rec(2024, 1, 1, 0, 0, 0, 1), max_ok), 2147483646);
    EXPECT_EQ(EL_MS_UTM(&a, &one_more), 2147483647);
    EXPECT_EQ(EL_MS_UTM(&one_more, &a), -2147483647);
    EXPECT_EQ(el(EL_SECS_UTM, rec(1900, 1, 1), rec(2000, 1, 1)), 2147483647);
    EXPECT_EQ(el(EL_SECS_UTM, rec(2000, 1, 1), rec(1900, 1, 1)), -2147483647);
    EXPECT_EQ(el(EL_MINS_UTM, rec(1900, 1, 1), rec(2000, 1, 1)), 36524 * 1440);
}

TEST_F(ElapsedBetweenRecords, NullMeansNow) {
    set_now(2024, 6, 15, 12, 1, 30);
    const UTMDF start = rec(2024, 6, 15, 12, 0, 0);
    EXPECT_EQ(EL_SECS_UTM(&start, nullptr), 90);
    EXPECT_EQ(EL_SECS_UTM(nullptr, &start), -90);
    EXPECT_EQ(EL_MS_UTM(nullptr, nullptr), 0);
    EXPECT_EQ(show(utm_), "2024-06-15 w7 12:01:30.000");
    // The current-time record itself as "from" keeps the value it had before now is read.
    set_now(2024, 6, 15, 12, 1, 35);
    EXPECT_EQ(EL_SECS_UTM(&utm_, nullptr), 5);
}

namespace {

std::string sundays() {
    char text[64];
    std::snprintf(text, sizeof text, "%u %u %u %u %u last %u", sunday_1, sunday_2, sunday_3, sunday_4, sunday_5,
                  sunday_last);
    return text;
}

}  // namespace

TEST_F(Sundays, OfTheCurrentMonth) {
    set_now(2024, 3, 15);
    TM_SUNDAYS();
    EXPECT_EQ(sundays(), "3 10 17 24 31 last 31");
    set_now(2023, 2, 20);
    TM_SUNDAYS();
    EXPECT_EQ(sundays(), "5 12 19 26 0 last 26");
    // The 1st a Sunday, read on the 1st and on the last day.
    set_now(2026, 2, 1);
    TM_SUNDAYS();
    EXPECT_EQ(sundays(), "1 8 15 22 0 last 22");
    set_now(2026, 2, 28, 23, 59, 59);
    TM_SUNDAYS();
    EXPECT_EQ(sundays(), "1 8 15 22 0 last 22");
    // The fifth Sunday of a leap February is its 29th.
    set_now(2004, 2, 10);
    TM_SUNDAYS();
    EXPECT_EQ(sundays(), "1 8 15 22 29 last 29");
    set_now(2024, 4, 30);
    TM_SUNDAYS();
    EXPECT_EQ(sundays(), "7 14 21 28 0 last 28");
}

TEST_F(Sundays, UseTheLocalDate) {
    // 23:30 UTC on 31 March is already 1 April in Central Europe.
    set_zone("CET-1CEST,M3.5.0,M10.5.0/3");
    set_now(2024, 3, 31, 23, 30, 0);
    TM_SUNDAYS();
    EXPECT_EQ(sundays(), "7 14 21 28 0 last 28");
}

TEST_F(DaylightSaving, SummerMonthsOnlyAndFixedChangeTimes) {
    const struct {
        int y, mo, d, h, mi, s;
        char dst;
    } cases[] = {
        {2024, 1, 15, 12, 0, 0, 0},   {2024, 3, 31, 12, 0, 0, 0},   {2024, 5, 1, 0, 0, 0, 1},
        {2024, 6, 15, 12, 0, 0, 1},   {2024, 9, 30, 23, 59, 59, 1}, {2024, 11, 1, 0, 0, 0, 0},
        {2024, 12, 31, 23, 0, 0, 0},
        // First Sunday of April 2024 is the 7th.
        {2024, 4, 6, 23, 59, 59, 0},  {2024, 4, 7, 1, 59, 59, 0},   {2024, 4, 7, 2, 0, 0, 1},
        {2024, 4, 8, 0, 0, 0, 1},     {2024, 4, 1, 12, 0, 0, 0},
        // April 2029 starts on a Sunday.
        {2029, 4, 1, 1, 59, 0, 0},    {2029, 4, 1, 2, 0, 0, 1},
        // Last Sunday of October 2024 is the 27th (four Sundays).
        {2024, 10, 26, 23, 59, 59, 1}, {2024, 10, 27, 1, 59, 59, 1}, {2024, 10, 27, 2, 0, 0, 0},
        {2024, 10, 31, 0, 0, 0, 0},
        // October 2023 has five Sundays; the last is the 29th.
        {2023, 10, 22, 12, 0, 0, 1},  {2023, 10, 29, 1, 59, 0, 1},  {2023, 10, 29, 2, 0, 0, 0},
    };
    for (const auto& c : cases) {
        set_now(c.y, c.mo, c.d, c.h, c.mi, c.s);
        EXPECT_EQ(TM_DST(), c.dst) << c.y << "-" << c.mo << "-" << c.d << " " << c.h << ":" << c.mi << ":" << c.s;
    }
}

TEST_F(DaylightSaving, EnvironmentSwitch) {
    set_now(2024, 6, 15);
    for (const char* off : {"0", "N", "no", "f", "False"}) {
        setenv("DST", off, 1);
        EXPECT_EQ(TM_DST(), 0) << off;
    }
    for (const char* on : {"1", "yes", "", "true"}) {
        setenv("DST", on, 1);
        EXPECT_EQ(TM_DST(), 1) << on;
    }
}

TEST_F(Calendar, SettingDateOrClockIsUnsupported) {
    UTMDF t = rec(2024, 6, 15);
    TM_DATE_WT(&t);
    EXPECT_EQ(pending_message(), "TM_DATE_WT is currently unsupported under LINUX");
    TM_CLOCK_WT(&t);
    EXPECT_EQ(pending_message(), "TM_CLOCK_WT is currently unsupported under LINUX");
}

TEST_F(MonthNames, NamesAndLeadingParts) {
    const struct {
        const char* text;
        std::uint16_t month;
    } cases[] = {
        {"January", 1}, {"Jan", 1},        {"feb", 2},        {"Mar", 3},   {"MARCH", 3},      {"May", 5},
        {"Jun", 6},     {"jul", 7},        {"Sept", 9},       {"dec", 12},  {"December", 12},  {"De", 65535},
        {"", 65535},    {"Ju", 65535},     {"Decembers", 65535}, {"Mar.", 65535}, {"Jux", 65535}, {"Smarch", 65535},
    };
    for (const auto& c : cases) EXPECT_EQ(S_MONTH(c.text), c.month) << '"' << c.text << '"';
    EXPECT_EQ(S_MONTH(nullptr), 65535);
}

TEST_F(Calendar, PendingErrorMakesEveryRoutineNeutralButLeapYearAndMonthDays) {
    set_now(2024, 3, 15);
    TM_SUNDAYS();
    const UTMDF kept = rec(2001, 2, 3, 4, 5, 6, 7);
    utm_ = kept;
    UTMDF out = kept;
    set_now(2023, 2, 20);
    S_ERR("earlier");

    TM_RD(&out);
    EXPECT_EQ(show(out), "2001-02-03 w7 04:05:06.007");
    EXPECT_EQ(show(utm_), show(kept));
    TM_ADD(day_ms, &out);
    EXPECT_EQ(show(out), show(kept));
    for (auto routine : {EL_MS_UTM, EL_SECS_UTM, EL_MINS_UTM, EL_HOURS_UTM, EL_DAYS_UTM}) {
        EXPECT_EQ(routine(&kept, &kept), 2147483647);
        EXPECT_EQ(routine(&kept, nullptr), 2147483647);
    }
    TM_SUNDAYS();
    EXPECT_EQ(sundays(), "3 10 17 24 31 last 31");
    set_now(2024, 6, 15);
    EXPECT_EQ(TM_DST(), 0);
    EXPECT_EQ(S_MONTH("March"), 65535);
    TM_CLOCK_WT(&out);
    EXPECT_EQ(LEAP_YEAR(2024), 1);
    EXPECT_EQ(MONTH_DAYS(2, 2024), 29);
    EXPECT_EQ(pending_message(), "earlier");
}
