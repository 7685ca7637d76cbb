// String lists: entry kinds, counts, enumeration and its cache, lookup and the helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lb.h"
// Time ranges start from today: the clock is one the test sets.
#define LBTEST_FAKE_CLOCK
#include "test_support.h"

namespace {

// Noon of a day in Central European time.
void set_today(int y, int mo, int d) {
    lbtest::set_zone(lbtest::cet_zone);
    lbtest::set_now(y, mo, d, 11);
}

// A private directory for the files of one test.
struct TempDir : lbtest::TempDir {
    TempDir() : lbtest::TempDir("cl_lb_test.") {}
};

std::string read_file(const std::string& fnam) { return lbtest::get_file(fnam); }

// A list owning its texts, ended by a null pointer.
class List {
public:
    List(std::initializer_list<std::string> entries) : texts_(entries) { rebuild(); }
    void add(const std::string& entry) {
        texts_.push_back(entry);
        rebuild();
    }
    char** get() { return ptrs_.data(); }
    std::string at(std::size_t i) const { return ptrs_[i]; }

private:
    void rebuild() {
        ptrs_.clear();
        for (std::string& t : texts_) ptrs_.push_back(t.data());
        ptrs_.push_back(nullptr);
    }
    std::vector<std::string> texts_;
    std::vector<char*> ptrs_;
};

std::string item(List& l, std::uint32_t ix) {
    const char* s = CL_T(l.get(), ix, 0);
    return s ? s : "(null)";
}

// Every item, read sequentially.
std::vector<std::string> items(List& l) {
    std::vector<std::string> out;
    for (std::uint32_t i = 0;; ++i) {
        const char* s = CL_T(l.get(), i, 0);
        if (!s) break;
        out.emplace_back(s);
    }
    return out;
}

std::string pending() { return lbtest::pending("(none)"); }

using Items = std::vector<std::string>;

}  // namespace

// ---- Counting and item texts --------------------------------------------------------------

TEST(StringLists, CountsPlainEntriesAndRanges) {
    List ab{"a", "b"};
    EXPECT_EQ(CL_CNT(ab.get()), 2u);
    List dec{"1...10"};
    EXPECT_EQ(CL_CNT(dec.get()), 10u);
    List hex{"X00...X0F"};
    EXPECT_EQ(CL_CNT(hex.get()), 16u);
    List bin{"B000...B111"};
    EXPECT_EQ(CL_CNT(bin.get()), 8u);
    List empty_range{"5...3"};
    EXPECT_EQ(CL_CNT(empty_range.get()), 0u);
    EXPECT_EQ(CL_CNT(nullptr), 0u);
    List none{};
    EXPECT_EQ(CL_CNT(none.get()), 0u);
    EXPECT_EQ(err_, 0);
}

TEST(StringLists, CountsSaturateAtTheLargestIndex) {
    List all{"-2147483648...2147483647"};
    EXPECT_EQ(CL_CNT(all.get()), 4294967295u);
    List two{"X0...", "X0..."};
    EXPECT_EQ(CL_CNT(two.get()), 4294967295u);
}

TEST(StringLists, DecimalRangeItems) {
    List l{"a", "1...3", "z"};
    EXPECT_EQ(item(l, 2), "2");
    EXPECT_EQ(item(l, 4), "z");
    EXPECT_EQ(CL_T(l.get(), 5, 0), nullptr);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(CL_T(l.get(), 5, 1), nullptr);
    EXPECT_EQ(pending(), "5 is undefined index");
    List neg{"-2...2"};
    EXPECT_EQ(items(neg), (Items{"-2", "-1", "0", "1", "2"}));
    List open{"2147483646..."};
    EXPECT_EQ(items(open), (Items{"2147483646", "2147483647"}));
}

TEST(StringLists, BinaryAndHexItemsTakeTheUpperBoundsWidth) {
    List bin{"B000...B111"};
    EXPECT_EQ(item(bin, 0), "B000");
    EXPECT_EQ(item(bin, 5), "B101");
    List lower_b{"b000...b111"};
    EXPECT_EQ(item(lower_b, 5), "0101");  // no prefix, four digits: the upper text's length
    List hex{"X00...X0F"};
    EXPECT_EQ(item(hex, 0), "X00");
    EXPECT_EQ(item(hex, 15), "X0f");
    List open_hex{"x0..."};
    EXPECT_EQ(item(open_hex, 26), "000001a");
    EXPECT_EQ(CL_CNT(open_hex.get()), 4294967295u);
    List open_bin{"B0..."};
    EXPECT_EQ(item(open_bin, 2), "B" + std::string(29, '0') + "10");  // 32 characters in all
}

TEST(StringLists, FixedPointRanges) {
    List tenths{"0.1...0.3"};
    EXPECT_EQ(items(tenths), (Items{"0.1", "0.2", "0.3"}));
    List hundredths{"1.50...1.53"};
    EXPECT_EQ(items(hundredths), (Items{"1.50", "1.51", "1.52", "1.53"}));
    // The lower bound's digits set the step; the upper bound ends the count.
    List uneven{"0.5...1.25"};
    EXPECT_EQ(CL_CNT(uneven.get()), 8u);
    EXPECT_EQ(item(uneven, 7), "1.2");
    List neg{"-0.2...0.1"};
    EXPECT_EQ(items(neg), (Items{"-0.2", "-0.1", "0.0", "0.1"}));
}

TEST(StringLists, TextsThatAreNoRangeArePlain) {
    List l{"Loading...", "...", "B...B1", "1...x", "1.0...2", "1...2...3", "X1..X2"};
    EXPECT_EQ(CL_CNT(l.get()), 7u);
    EXPECT_EQ(items(l), (Items{"Loading...", "...", "B...B1", "1...x", "1.0...2", "1...2...3", "X1..X2"}));
    EXPECT_EQ(err_, 0);
}

// ---- File entries and the enumeration cache -------------------------------------------------

TEST(StringLists, FileEntriesGiveTheirLines) {
    TempDir tmp;
    const std::string f = tmp.write("l.txt", "one\r\ntwo\nthree");
    List l{"a", "FILE:" + f, "file:" + f, "z"};
    EXPECT_EQ(CL_CNT(l.get()), 8u);
    EXPECT_EQ(items(l), (Items{"a", "one", "two", "three", "one", "two", "three", "z"}));
    // Random access gives the same items.
    EXPECT_EQ(item(l, 6), "three");
    EXPECT_EQ(item(l, 2), "two");
    EXPECT_EQ(item(l, 7), "z");
}

TEST(StringLists, FileLineCountsFollowTheLineReader) {
    TempDir tmp;
    struct Case {
        const char* bytes;
        std::uint32_t lines;
    } cases[] = {{"", 0}, {"\n", 1}, {"a\nb", 2}, {"a\nb\n", 2}, {"a\rb", 2}, {"a\r\n\r\nb", 3}, {"\r\n", 1}};
    int n = 0;
    for (const Case& c : cases) {
        const std::string f = tmp.write("f" + std::to_string(n++), c.bytes);
        List l{"FILE:" + f};
        EXPECT_EQ(CL_CNT(l.get()), c.lines) << '"' << c.bytes << '"';
        EXPECT_EQ(items(l).size(), c.lines) << '"' << c.bytes << '"';
    }
    // Counting goes block by block: a CR LF split by a block boundary is one line end.
    std::string big(16383, 'x');
    big += "\r\ny\n";
    List l{"FILE:" + tmp.write("big", big)};
    EXPECT_EQ(CL_CNT(l.get()), 2u);
}

TEST(StringLists, UnreadableFileEntriesHaveNoItems) {
    TempDir tmp;
    dbg_log = strdup(tmp.path("dbg.log").c_str());
    dbg_ = 1;
    const std::string missing = tmp.path("missing.txt");
    List l{"a", "FILE:" + missing, "b"};
    EXPECT_EQ(CL_CNT(l.get()), 2u);
    EXPECT_EQ(item(l, 1), "b");
    EXPECT_EQ(CL_X(l.get(), "b", 0, 0), 1);
    EXPECT_EQ(err_, 0);
    const std::string trail = read_file(tmp.path("dbg.log"));
    EXPECT_NE(trail.find("CL_T:Open error on \"" + missing + "\""), std::string::npos) << trail;
    EXPECT_NE(trail.find("CL_X:Open error on \"" + missing + "\""), std::string::npos) << trail;
    dbg_ = 0;
}

TEST(StringLists, OverlongLineEndsTheFileEntry) {
    TempDir tmp;
    std::string text = "first\n" + std::string(fl_s_rcsz + 1, 'x') + "\nlast\n";
    List l{"FILE:" + tmp.write("long", text), "z"};
    EXPECT_EQ(items(l), (Items{"first", "z"}));
    EXPECT_EQ(err_, 0);
}

TEST(StringLists, SequentialAccessKeepsTheFileOpen) {
    TempDir tmp;
    const std::string f = tmp.write("l.txt", "one\ntwo\n");
    List l{"FILE:" + f, "z"};
    EXPECT_EQ(item(l, 0), "one");
    std::remove(f.c_str());
    // The next index continues with the reader that is still open...
    EXPECT_EQ(item(l, 1), "two");
    EXPECT_EQ(item(l, 2), "z");
    // ...while any other index starts again, and the file is gone.
    EXPECT_EQ(item(l, 0), "z");
}

TEST(StringLists, ResetClosesTheCachedReader) {
    TempDir tmp;
    const std::string f = tmp.write("l.txt", "one\ntwo\n");
    List l{"FILE:" + f, "z"};
    EXPECT_EQ(item(l, 0), "one");
    CL_T_RESET();
    std::remove(f.c_str());
    EXPECT_EQ(item(l, 1), "(null)");
    EXPECT_EQ(item(l, 0), "z");
}

TEST(StringLists, InterleavedListsRestartEachOther) {
    List a{"a0", "a1", "a2"};
    List b{"1...3"};
    EXPECT_EQ(item(a, 0), "a0");
    EXPECT_EQ(item(b, 0), "1");
    EXPECT_EQ(item(a, 1), "a1");
    EXPECT_EQ(item(b, 1), "2");
    EXPECT_EQ(item(b, 2), "3");
    EXPECT_EQ(item(b, 3), "(null)");
    EXPECT_EQ(item(b, 0), "1");
}

TEST(StringLists, T0NamesAMissingIndex) {
    List l{"a"};
    EXPECT_STREQ(CL_T0(l.get(), 0), "a");
    EXPECT_STREQ(CL_T0(l.get(), 5), "?(5)");
    EXPECT_STREQ(CL_T0(nullptr, 4294967295u), "?(4294967295)");
    EXPECT_EQ(err_, 0);
}

TEST(StringLists, PendingErrorMakesEveryRoutineNeutral) {
    List l{"a", "1...3"};
    char* sortable[] = {const_cast<char*>("b"), const_cast<char*>("a"), nullptr};
    S_ERR("earlier");
    EXPECT_EQ(CL_CNT(l.get()), 0u);
    EXPECT_EQ(CL_T(l.get(), 0, 1), nullptr);
    EXPECT_EQ(CL_X(l.get(), "a", 1, 0), -1);
    EXPECT_EQ(CL_LAST(l.get(), 1), nullptr);
    EXPECT_EQ(CL_I4_MIN(l.get(), 1), 2147483647);
    EXPECT_EQ(CL_I4_MAX(l.get(), 1), -2147483647 - 1);
    CL_SORT(sortable);
    EXPECT_STREQ(sortable[0], "b");
    EXPECT_EQ(pending(), "earlier");
}

// ---- Lookup ------------------------------------------------------------------------------

TEST(StringLists, LookupOfPlainEntries) {
    EXPECT_EQ(CL_X(cl_wday + 1, "Monday", 1, 0), 1);
    EXPECT_EQ(CL_X(cl_wday + 1, "MONDAY", 0, 0), 1);
    EXPECT_EQ(CL_X(cl_wday + 1, "MONDAY", 0, 1), -1);  // the flag makes letter case count
    List any{"a", "[ANY]"};
    EXPECT_EQ(CL_X(any.get(), "q", 0, 0), 1);
    EXPECT_EQ(CL_X(any.get(), "A", 0, 0), 0);
    EXPECT_EQ(err_, 0);
}

TEST(StringLists, LookupFailures) {
    List a{"a"};
    EXPECT_EQ(CL_X(a.get(), "q", 0, 0), -1);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(CL_X(a.get(), "q", 1, 0), -1);
    EXPECT_EQ(pending(), "\"q\" is undefined selection");
    EXPECT_EQ(CL_X(a.get(), nullptr, 1, 0), -1);
    EXPECT_EQ(pending(), "CL_X:txt=NULL");
    EXPECT_EQ(CL_X(nullptr, "q", 1, 0), -1);
    EXPECT_EQ(pending(), "CL_X:cl=NULL");
    EXPECT_EQ(CL_X(nullptr, nullptr, 0, 0), -1);
    EXPECT_EQ(err_, 0);
}

TEST(StringLists, LookupInRanges) {
    List l{"a", "10...20", "X00...X0F", "B00...B11", "0.5...1.5", "b"};
    EXPECT_EQ(CL_X(l.get(), "15", 0, 0), 6);
    EXPECT_EQ(CL_X(l.get(), "x0a", 0, 0), 22);
    EXPECT_EQ(CL_X(l.get(), "B10", 0, 0), 30);
    EXPECT_EQ(CL_X(l.get(), "1.0", 0, 0), 37);
    EXPECT_EQ(CL_X(l.get(), "b", 0, 0), 43);
    EXPECT_EQ(CL_CNT(l.get()), 44u);
    // Every index CL_X gives names the item CL_T gives.
    EXPECT_EQ(item(l, 22), "X0a");
    EXPECT_EQ(item(l, 30), "B10");
    EXPECT_EQ(item(l, 37), "1.0");
    // Text outside a range, or not of its kind, is counted past it.
    EXPECT_EQ(CL_X(l.get(), "21", 0, 0), -1);
    EXPECT_EQ(CL_X(l.get(), "0A", 0, 0), -1);
    EXPECT_EQ(err_, 0);
}

TEST(StringLists, LookupInFileEntries) {
    TempDir tmp;
    List l{"a", "FILE:" + tmp.write("w.txt", "red\nGreen\n"), "FILE:" + tmp.write("any.txt", "x\n[ANY]\n")};
    EXPECT_EQ(CL_X(l.get(), "green", 0, 0), 2);
    EXPECT_EQ(CL_X(l.get(), "green", 0, 1), 4);  // exact case: only "[ANY]" takes it
    EXPECT_EQ(CL_X(l.get(), "blue", 0, 0), 4);
}

TEST(StringLists, LookupGivesUpWhenTheIndexWouldOverflow) {
    List l{"X0...", "a"};
    EXPECT_EQ(CL_X(l.get(), "a", 1, 0), -1);
    EXPECT_EQ(CL_X(l.get(), "X7fffffff", 0, 0), 2147483647);
    EXPECT_EQ(CL_X(l.get(), "X80000000", 0, 0), -1);
    EXPECT_EQ(err_, 0);
}

// ---- Time ranges -------------------------------------------------------------------------

TEST(StringLists, TimeRangesOfMinutes) {
    set_today(2026, 3, 7);
    List l{"10:00...10:03"};
    EXPECT_EQ(CL_CNT(l.get()), 4u);
    EXPECT_EQ(items(l), (Items{"10:00", "10:01", "10:02", "10:03"}));
    EXPECT_EQ(item(l, 2), "10:02");
    EXPECT_EQ(CL_X(l.get(), "10:02", 0, 0), 2);
    EXPECT_EQ(CL_LAST(l.get(), 1), std::string("10:03"));
    // Past midnight the range goes on into the next day.
    List wrap{"23:58...00:01"};
    EXPECT_EQ(items(wrap), (Items{"23:58", "23:59", "00:00", "00:01"}));
}

TEST(StringLists, TimeRangesStepByTheSmallestPart) {
    set_today(2026, 3, 7);
    List secs{"10:00:58...10:01:01"};
    EXPECT_EQ(items(secs), (Items{"10:00:58", "10:00:59", "10:01:00", "10:01:01"}));
    List ms{"10:00:00:998...10:00:01:001"};
    EXPECT_EQ(items(ms), (Items{"10:00:00:998", "10:00:00:999", "10:00:01:000", "10:00:01:001"}));
    EXPECT_EQ(CL_X(ms.get(), "10:00:01:000", 0, 0), 2);
    EXPECT_EQ(CL_X(ms.get(), "10:00:01:00", 0, 0), -1);
    List pm{"11:00 AM...1:00 PM"};
    EXPECT_EQ(CL_CNT(pm.get()), 121u);
    EXPECT_EQ(item(pm, 60), "12:00 PM");
    EXPECT_EQ(CL_LAST(pm.get(), 1), std::string("1:00 PM"));
}

TEST(StringLists, TimeRangesOfDays) {
    set_today(2026, 3, 7);
    List dates{"12/30/2026...01/02/2027"};
    EXPECT_EQ(items(dates), (Items{"12/30/2026", "12/31/2026", "1/1/2027", "1/2/2027"}));
    EXPECT_EQ(CL_X(dates.get(), "1/2/2027", 0, 0), 3);
    List padded{"01/30/2026...02/01/2026"};
    EXPECT_EQ(items(padded), (Items{"01/30/2026", "01/31/2026", "02/01/2026"}));
    List leap{"2/27/2028...3/1/2028"};
    EXPECT_EQ(items(leap), (Items{"2/27/2028", "2/28/2028", "2/29/2028", "3/1/2028"}));
    List days{"Monday...Friday"};
    EXPECT_EQ(items(days), (Items{"Monday", "Tuesday", "Wednesday", "Thursday", "Friday"}));
    EXPECT_EQ(CL_X(days.get(), "Thursday", 0, 0), 3);
    List wrap{"Friday...Monday"};
    EXPECT_EQ(CL_CNT(wrap.get()), 4u);
    EXPECT_EQ(CL_X(wrap.get(), "sunday", 0, 0), 2);
    // A range that never reaches its end has no items.
    List back{"01/02/2027...12/30/2026"};
    EXPECT_EQ(CL_CNT(back.get()), 0u);
    // A date that does not exist is no time range.
    List bad{"2/30/2026...3/2/2026"};
    EXPECT_EQ(items(bad), (Items{"2/30/2026...3/2/2026"}));
}

TEST(StringLists, TimeRangesOfMonthsStartOnTheFirst) {
    // On the 31st, stepping by month lengths from today's day would skip February.
    set_today(2026, 1, 31);
    List l{"Jan...Apr"};
    EXPECT_EQ(items(l), (Items{"January", "February", "March", "April"}));
    EXPECT_EQ(CL_X(l.get(), "march", 0, 0), 2);
    EXPECT_EQ(CL_X(l.get(), "march", 0, 1), -1);
    List wrap{"November...February"};
    EXPECT_EQ(CL_CNT(wrap.get()), 4u);
    List years{"Nov 2026...Feb 2028"};
    EXPECT_EQ(CL_CNT(years.get()), 16u);
}

TEST(StringLists, TimeRangeNeedsTwoReadableBoundsItCanFormat) {
    set_today(2026, 3, 7);
    // No end, an end that is no time, or a lower bound with nothing to format: plain.
    List l{"10:00...", "10:00...later", "2026,...2028,", "5,...9,"};
    EXPECT_EQ(CL_CNT(l.get()), 4u);
    EXPECT_EQ(item(l, 2), "2026,...2028,");
    EXPECT_EQ(err_, 0);
}

// ---- Last item, file output, integer scans, sorting ----------------------------------------

TEST(StringLists, LastItem) {
    List ab{"a", "b"};
    EXPECT_STREQ(CL_LAST(ab.get(), 1), "b");
    List range{"a", "1...5"};
    EXPECT_STREQ(CL_LAST(range.get(), 1), "5");
    List written_as_is{"X00...X0F"};
    EXPECT_STREQ(CL_LAST(written_as_is.get(), 1), "X0F");
    List open{"a", "1..."};
    EXPECT_STREQ(CL_LAST(open.get(), 1), "2147483647");
    List open_hex{"X0..."};
    EXPECT_STREQ(CL_LAST(open_hex.get(), 1), "Xffffffff");
    TempDir tmp;
    List file{"a", "FILE:" + tmp.write("l", "x\ny\n")};
    EXPECT_STREQ(CL_LAST(file.get(), 1), "y");
    EXPECT_EQ(err_, 0);
    List none{};
    EXPECT_EQ(CL_LAST(none.get(), 0), nullptr);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(CL_LAST(none.get(), 1), nullptr);
    EXPECT_EQ(pending(), "{last} is undefined index");
    List empty_file{"FILE:" + tmp.write("e", "")};
    EXPECT_EQ(CL_LAST(empty_file.get(), 1), nullptr);
    EXPECT_EQ(pending(), "{last} is undefined index");
}

TEST(StringLists, WritesEveryItemToAFile) {
    TempDir tmp;
    const std::string in = tmp.write("in", "p\nq\n");
    List l{"a", "1...3", "FILE:" + in, "z"};
    const std::string out = tmp.path("out.txt");
    CL_FILE(l.get(), out.c_str(), 1);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(read_file(out), "a\n1\n2\n3\np\nq\nz\n");
    List more{"end"};
    CL_FILE(more.get(), out.c_str(), 2);
    EXPECT_EQ(read_file(out), "a\n1\n2\n3\np\nq\nz\nend\n");
    CL_FILE(more.get(), out.c_str(), 0);
    EXPECT_EQ(pending(), "CL_FILE:mode=0");
    CL_FILE(more.get(), tmp.path("no/such/dir").c_str(), 1);
    EXPECT_EQ(pending(), "Open error on \"" + tmp.path("no/such/dir") + "\" [CL_FILE]");
}

TEST(StringLists, SmallestAndLargestIntegerItems) {
    List l{"a", "-5", "3", "b"};
    EXPECT_EQ(CL_I4_MIN(l.get(), 0), -5);
    EXPECT_EQ(CL_I4_MAX(l.get(), 0), 3);
    EXPECT_EQ(err_, 0);
    List mode1{"42,5", "x"};
    EXPECT_EQ(CL_I4_MIN(mode1.get(), 0), 42);
    List range{"x", "1...1000"};
    EXPECT_EQ(CL_I4_MAX(range.get(), 0), 1000);
    EXPECT_EQ(CL_I4_MIN(range.get(), 0), 1);
    List none{"a", "b"};
    EXPECT_EQ(CL_I4_MIN(none.get(), 0), 2147483647);
    EXPECT_EQ(CL_I4_MAX(none.get(), 0), -2147483647 - 1);
    List empty{};
    EXPECT_EQ(CL_I4_MAX(empty.get(), 0), -2147483647 - 1);
    EXPECT_EQ(err_, 0);
}

TEST(StringLists, IntegerScansLookAt51Items) {
    List fifty{};
    for (int i = 0; i < 50; ++i) fifty.add("x");
    fifty.add("7");
    EXPECT_EQ(CL_I4_MIN(fifty.get(), 0), 7);  // item 50
    List fifty_one{};
    for (int i = 0; i < 51; ++i) fifty_one.add("x");
    fifty_one.add("7");
    EXPECT_EQ(CL_I4_MIN(fifty_one.get(), 0), 2147483647);
    List back{"7"};
    for (int i = 0; i < 50; ++i) back.add("x");
    EXPECT_EQ(CL_I4_MAX(back.get(), 0), 7);
    back.add("x");
    EXPECT_EQ(CL_I4_MAX(back.get(), 0), -2147483647 - 1);
}

TEST(StringLists, StrictIntegerScansStopAtTheFirstMiss) {
    List l{"a", "1"};
    EXPECT_EQ(CL_I4_MIN(l.get(), 1), 2147483647);
    EXPECT_EQ(pending(), "Unexp dec digit \"a\" in \"a\"");
    List r{"1", "b"};
    EXPECT_EQ(CL_I4_MAX(r.get(), 1), -2147483647 - 1);
    EXPECT_EQ(pending(), "Unexp dec digit \"b\" in \"b\"");
}

TEST(StringLists, SortIgnoresCaseThenFallsBackToExact) {
    List l{"b", "a", "C", "A"};
    CL_SORT(l.get());
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(l.at(0), "A");
    EXPECT_EQ(l.at(1), "a");
    EXPECT_EQ(l.at(2), "b");
    EXPECT_EQ(l.at(3), "C");
    CL_SORT(nullptr);
    EXPECT_EQ(err_, 0);
}

TEST(StringLists, SortRefusesVirtualLists) {
    List l{"b", "1...5", "a"};
    CL_SORT(l.get());
    EXPECT_EQ(pending(), "CL_SORT:Sorts not supported for virtual lists");
    EXPECT_EQ(l.at(0), "b");
    EXPECT_EQ(l.at(1), "1...5");
    EXPECT_EQ(l.at(2), "a");
}
