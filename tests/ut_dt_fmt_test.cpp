// Time formatting by example (TM_S) and free-form time parsing (S_TM).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "lb.h"
// S_TM's start modes read the clock: "now" is what a test sets.
#define LBTEST_FAKE_CLOCK
#include "test_support.h"

namespace {

// Stops the clock at a UTC instant (and a quarter second) and reads it in Central European time.
void set_now_cet(int y, int mo, int d, int h, int mi, int s) {
    lbtest::set_zone(lbtest::cet_zone);
    lbtest::set_now(y, mo, d, h, mi, s, 250000);
}

// 7 March 2026, 15:04:05.678, a Saturday.
constexpr UTMDF sample_rec{2026, 3, 7, 7, 15, 4, 5, 678};

std::string fmt(const UTMDF& rec, const char* sample) {
    const char* s = TM_S(&rec, sample);
    return s ? s : "(null)";
}

UTMDF parse(const char* text, char strict = 0) {
    UTMDF out{};
    S_TM(text, &out, 0, strict);
    return out;
}

std::string pending() { return lbtest::pending("(none)"); }

constexpr std::uint8_t u1 = 255;
constexpr std::uint16_t u2 = 65535;

void expect_rec(const UTMDF& r, int year, int mon, int day, int wday, int hour, int min, int sec, int msec) {
    EXPECT_EQ(r.year, year);
    EXPECT_EQ(r.mon, mon);
    EXPECT_EQ(r.day, day);
    EXPECT_EQ(r.wday, wday);
    EXPECT_EQ(r.hour, hour);
    EXPECT_EQ(r.min, min);
    EXPECT_EQ(r.sec, sec);
    EXPECT_EQ(r.msec, msec);
}

}  // namespace

// ---- TM_S -------------------------------------------------------------------------------

TEST(TimeFormat, DocumentedSamples) {
    EXPECT_EQ(fmt(sample_rec, "12:00:00"), "3:04:05");
    EXPECT_EQ(fmt(sample_rec, "00:00"), "15:04");
    EXPECT_EQ(fmt(sample_rec, "01/31/2026"), "03/07/2026");
    EXPECT_EQ(fmt(sample_rec, "1-31-99"), "3-7-26");
    EXPECT_EQ(fmt(sample_rec, "2026/01/01"), "2026/03/07");
    EXPECT_EQ(fmt(sample_rec, "12:00:00:000 AM"), "3:04:05:678 PM");
    EXPECT_EQ(fmt(sample_rec, "Weekday, Month dd Year"), "Saturday, March 07 2026");
    EXPECT_EQ(err_, 0);
}

TEST(TimeFormat, NullSampleAndNullRecord) {
    EXPECT_EQ(fmt(sample_rec, nullptr), "3:04:05");
    utm_ = UTMDF{2024, 12, 31, 3, 9, 30, 0, 0};
    EXPECT_STREQ(TM_S(nullptr, "Month Date, Year 00:00"), "December 31, 2024 09:30");
}

TEST(TimeFormat, SampleHourChoosesClockAndPadding) {
    // 1 to 12 asks for the 12-hour clock, a leading zero or an hour above 12 for two digits,
    // so "01:00" is the 12-hour clock with two digits.
    EXPECT_EQ(fmt(sample_rec, "13:00"), "15:04");
    EXPECT_EQ(fmt(sample_rec, "01:00"), "03:04");
    EXPECT_EQ(fmt(sample_rec, "0:00"), "15:04");
    UTMDF morning = sample_rec;
    morning.hour = 9;
    EXPECT_EQ(fmt(morning, "1:00"), "9:04");
    EXPECT_EQ(fmt(morning, "23:00"), "09:04");
    morning.hour = 0;
    EXPECT_EQ(fmt(morning, "12:00"), "12:04");
    EXPECT_EQ(fmt(morning, "00:00"), "00:04");
    morning.hour = 12;
    EXPECT_EQ(fmt(morning, "12:00"), "12:04");
}

TEST(TimeFormat, Markers) {
    EXPECT_EQ(fmt(sample_rec, "1:00 A"), "3:04 P");
    EXPECT_EQ(fmt(sample_rec, "1:00am"), "3:04PM");
    EXPECT_EQ(fmt(sample_rec, "1:00:00 pm"), "3:04:05 PM");
    UTMDF morning = sample_rec;
    morning.hour = 11;
    EXPECT_EQ(fmt(morning, "1:00 PM"), "11:04 AM");
    // Only a single blank may stand between the time and its marker.
    EXPECT_EQ(fmt(sample_rec, "1:00  AM"), "3:04  AM");
    EXPECT_EQ(fmt(sample_rec, "1:00 AMX"), "3:04 AMX");
}

TEST(TimeFormat, DatesByPattern) {
    EXPECT_EQ(fmt(sample_rec, "1/1"), "3/7");
    EXPECT_EQ(fmt(sample_rec, "01-01"), "03-07");
    // A zero-padded month pads the day too; a padded day alone pads only itself.
    EXPECT_EQ(fmt(sample_rec, "01-31"), "03-07");
    EXPECT_EQ(fmt(sample_rec, "1-05"), "3-07");
    EXPECT_EQ(fmt(sample_rec, "1-31"), "3-7");
    EXPECT_EQ(fmt(sample_rec, "99/01/01"), "26/03/07");
    EXPECT_EQ(fmt(sample_rec, "12/31/0099"), "3/7/26");  // the sample's value decides the width
    // Values out of range leave the sample as it is.
    EXPECT_EQ(fmt(sample_rec, "13/40/2026"), "13/40/2026");
    EXPECT_EQ(fmt(sample_rec, "1/2/10000"), "3/7/10000");  // no year: the two-part date remains
    EXPECT_EQ(fmt(sample_rec, "24:00"), "24:00");
    EXPECT_EQ(fmt(sample_rec, "99999999999999999999:00"), "99999999999999999999:00");
    // Milliseconds need a ":" before them; ".000" stays.
    EXPECT_EQ(fmt(sample_rec, "12:00:00.000"), "3:04:05.000");
}

TEST(TimeFormat, Words) {
    EXPECT_EQ(fmt(sample_rec, "Year Date dd"), "2026 7 07");
    EXPECT_EQ(fmt(sample_rec, "year DATE DD"), "2026 7 07");
    EXPECT_EQ(fmt(sample_rec, "Sunday"), "Saturday");
    EXPECT_EQ(fmt(sample_rec, "Mar"), "March");
    EXPECT_EQ(fmt(sample_rec, "dec"), "March");
    // Short weekday names, too-short month names and other words stay.
    EXPECT_EQ(fmt(sample_rec, "Sat De Hello Mayday"), "Sat De Hello Mayday");
    UTMDF unknown = sample_rec;
    unknown.wday = 0;
    unknown.mon = 13;
    EXPECT_EQ(fmt(unknown, "Weekday Month"), "? ?");
}

TEST(TimeFormat, ThirtyTokenLimit) {
    std::string lead;
    for (int i = 0; i < 14; ++i) lead += "a ";  // 28 tokens
    // "1" and "Year" are tokens 29 and 30, the last of the text: both are read.
    EXPECT_EQ(fmt(sample_rec, (lead + "1Year").c_str()), lead + "12026");
    // With more after it, the 30th token is the whole rest and stays as it is.
    EXPECT_EQ(fmt(sample_rec, (lead + "1Year!").c_str()), lead + "1Year!");
    // "12" is token 29: the ":" it needs is inside the rest, so it is not a time.
    EXPECT_EQ(fmt(sample_rec, (lead + "12:00").c_str()), lead + "12:00");
    EXPECT_EQ(fmt(sample_rec, ("b " + lead.substr(4) + "12:00").c_str()), "b " + lead.substr(4) + "3:04");
}

TEST(TimeFormat, LongSampleIsCopiedSafely) {
    std::string big(100000, 'x');
    big = "12:00 " + big;
    const std::string out = fmt(sample_rec, big.c_str());
    EXPECT_EQ(out.size(), 65535u);  // temporary strings are cut there
    EXPECT_EQ(out.substr(0, 10), "3:04 xxxxx");
    EXPECT_EQ(fmt(sample_rec, ""), "");
}

TEST(TimeFormat, PendingErrorGivesQuestionMark) {
    S_ERR("earlier");
    EXPECT_STREQ(TM_S(&sample_rec, "12:00"), "?");
    EXPECT_EQ(pending(), "earlier");
}

// ---- S_TM -------------------------------------------------------------------------------

TEST(TimeParse, MonthNameDayYearTimeAndMarker) {
    expect_rec(parse("Jan. 5 2026 10:30 PM"), 2026, 1, 5, u1, 22, 30, u1, u2);
    expect_rec(parse("Jan 5"), u2, 1, 5, u1, u1, u1, u1, u2);
    EXPECT_EQ(err_, 0);
}

TEST(TimeParse, MarkersMoveTheHour) {
    EXPECT_EQ(parse("12:15 AM").hour, 0);
    EXPECT_EQ(parse("12:15 PM").hour, 12);
    EXPECT_EQ(parse("1:15P").hour, 13);
    EXPECT_EQ(parse("11:00 pm").hour, 23);
    EXPECT_EQ(parse("13:00 pm").hour, 13);
    EXPECT_EQ(parse("9:00 am").hour, 9);
}

TEST(TimeParse, DatesAndTimes) {
    expect_rec(parse("12/25/99"), 2099, 12, 25, u1, u1, u1, u1, u2);
    expect_rec(parse("12-25-2026 10:30:15:250", 1), 2026, 12, 25, u1, 10, 30, 15, 250);
    expect_rec(parse("3/4 08:09:10"), u2, 3, 4, u1, 8, 9, 10, u2);
}

TEST(TimeParse, OutOfRangeDateLeavesOnlyTheYear) {
    expect_rec(parse("13/40/2026", 1), 2026, u1, u1, u1, u1, u1, u1, u2);
    EXPECT_EQ(err_, 0);
}

TEST(TimeParse, MonthOrDayZeroIsOutOfRange) {
    // As with month 13, the date sets nothing.
    expect_rec(parse("0/5/2026", 1), 2026, u1, u1, u1, u1, u1, u1, u2);
    expect_rec(parse("12/0/2026", 1), 2026, u1, u1, u1, u1, u1, u1, u2);
    EXPECT_EQ(err_, 0);
    // A month name takes no day 0 after it; alone, 0 is no day either.
    expect_rec(parse("Jan 0"), u2, 1, u1, u1, u1, u1, u1, u2);
    parse("Jan 0", 1);
    EXPECT_EQ(pending(), "Unexp time text \"0\"");
}

TEST(TimeParse, WeekdayNamesFullAndShort) {
    EXPECT_EQ(parse("Mon").wday, 2);
    EXPECT_EQ(parse("tuesday").wday, 3);
    // A second weekday or month name is passed over, even in strict mode.
    const UTMDF r = parse("Sat Sun Mar Apr", 1);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(r.wday, 7);
    EXPECT_EQ(r.mon, 3);
}

TEST(TimeParse, LoneNumbers) {
    EXPECT_EQ(parse("2026").year, 2026);
    // A lone 1 to 31 is the day, so the day may stand before the month name.
    expect_rec(parse("5 Jan 2026", 1), 2026, 1, 5, u1, u1, u1, u1, u2);
    expect_rec(parse("31 Dec", 1), u2, 12, 31, u1, u1, u1, u1, u2);
    // Once the day is known, or outside both ranges, a number is unexpected.
    parse("Jan 5 6", 1);
    EXPECT_EQ(pending(), "Unexp time text \"6\"");
    parse("1979", 1);
    EXPECT_EQ(pending(), "Unexp time text \"1979\"");
    EXPECT_EQ(parse("1979 2026").year, 2026);
}

TEST(TimeParse, StrictNamesTheUnexpectedText) {
    UTMDF out{};
    S_TM("10:30 xyz", &out, 0, 1);
    EXPECT_EQ(pending(), "Unexp time text \"xyz\"");
    expect_rec(out, u2, u1, u1, u1, u1, u1, u1, u2);  // nothing copied after the error
    expect_rec(parse("10:30 xyz"), u2, u1, u1, u1, 10, 30, u1, u2);
    parse("25:00", 1);
    EXPECT_EQ(pending(), "Unexp time text \"00\"");
    // Punctuation and blanks are never unexpected.
    expect_rec(parse("Monday, 10:30;", 1), u2, u1, u1, 2, 10, 30, u1, u2);
    EXPECT_EQ(err_, 0);
}

TEST(TimeParse, NothingFound) {
    UTMDF out{1, 1, 1, 1, 1, 1, 1, 1};
    S_TM(nullptr, &out, 0, 0);
    EXPECT_EQ(pending(), "No time found");
    expect_rec(out, u2, u1, u1, u1, u1, u1, u1, u2);
    S_TM("", &out, 0, 0);
    EXPECT_EQ(pending(), "No time found");
    S_TM("hello, world", &out, 0, 0);
    EXPECT_EQ(pending(), "No time found");
}

TEST(TimeParse, StartModes) {
    set_now_cet(2026, 3, 7, 14, 4, 5);  // 15:04:05 in CET
    UTMDF out{};
    S_TM("10:30", &out, 1, 1);
    expect_rec(out, 2026, 3, 7, 7, 10, 30, 0, 0);
    S_TM("Mar 9", &out, 2, 1);
    expect_rec(out, 2026, 3, 9, 7, 15, 4, 5, 250);  // the weekday is not worked out from the date
    S_TM("nothing", &out, 1, 0);
    EXPECT_EQ(pending(), "No time found");
    expect_rec(out, 2026, 3, 7, 7, 0, 0, 0, 0);
    S_TM("12:00", nullptr, 0, 0);
    EXPECT_EQ(utm_.hour, 12);
    EXPECT_EQ(utm_.year, 65535);
}

TEST(TimeParse, ThirtyTokenLimit) {
    std::string lead;
    for (int i = 0; i < 14; ++i) lead += "Mar, ";  // 28 tokens, names passed over
    // "12" is token 29 and ":00" the rest: one mixed token, ignored or, when strict, unexpected.
    const std::string text = lead + "12:00";
    expect_rec(parse(text.c_str()), u2, 3, 12, u1, u1, u1, u1, u2);
    parse(text.c_str(), 1);
    EXPECT_EQ(pending(), "Unexp time text \":00\"");
    const std::string shorter = lead.substr(5) + "12:00";
    expect_rec(parse(shorter.c_str(), 1), u2, 3, u1, u1, 12, 0, u1, u2);
}

TEST(TimeParse, ReadsWhatTimeFormatWrites) {
    const char* text = TM_S(&sample_rec, "Weekday, Month dd Year 12:00:00:000 AM");
    ASSERT_STREQ(text, "Saturday, March 07 2026 3:04:05:678 PM");
    UTMDF back{};
    S_TM(text, &back, 0, 1);
    EXPECT_EQ(err_, 0);
    expect_rec(back, 2026, 3, 7, 7, 15, 4, 5, 678);
}

TEST(TimeParse, PendingErrorChangesNothing) {
    UTMDF out{1, 2, 3, 4, 5, 6, 7, 8};
    S_ERR("earlier");
    S_TM("10:30", &out, 0, 1);
    EXPECT_EQ(pending(), "earlier");
    expect_rec(out, 1, 2, 3, 4, 5, 6, 7, 8);
}
