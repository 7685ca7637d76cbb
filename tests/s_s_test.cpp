// Record strings, lengths, byte blocks, trimming, tabs and ordering.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "lb.h"
#include "test_support.h"

namespace {

// A record buffer sized exactly as the file layer sizes one, so that the sanitizers catch
// any write past it.
struct Rec {
    std::vector<char> buf;
    explicit Rec(const std::string& text = "") : buf(fl_rc_mxs + 1u, 0) {
        std::memcpy(buf.data(), text.c_str(), text.size() + 1);
    }
    char* p() { return buf.data(); }
    std::string s() const { return buf.data(); }
};

using lbtest::pending;

}  // namespace

// ---- S_S ----------------------------------------------------------------------------------

TEST(RecordCopy, CopiesTextAndNullSourceEmpties) {
    Rec r("old");
    S_S("hello", r.p(), 0);
    EXPECT_EQ(r.s(), "hello");
    S_S(nullptr, r.p(), 0);
    EXPECT_EQ(r.s(), "");
    EXPECT_EQ(err_, 0);
}

TEST(RecordCopy, FullRecordFitsWithoutTruncation) {
    Rec r;
    std::string t(256, 'k');
    S_S(t.c_str(), r.p(), 0);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(r.s(), t);
}

TEST(RecordCopy, OverlongTextRaisesAndLeavesDestination) {
    Rec r("keep");
    std::string t(300, 'x');
    S_S(t.c_str(), r.p(), 0);
    EXPECT_EQ(pending(), "S_S:Record overflow");
    EXPECT_EQ(r.s(), "keep");
}

TEST(RecordCopy, TruncateCopiesRecordLength) {
    Rec r;
    std::string t(300, 'x');
    t[255] = 'L';
    t[256] = 'N';
    S_S(t.c_str(), r.p(), 1);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(r.s(), t.substr(0, 256));
}

TEST(RecordCopy, FollowsTheRecordLimit) {
    fl_rc_mxs = 4;
    Rec r;
    S_S("abcd", r.p(), 0);
    EXPECT_EQ(r.s(), "abcd");
    S_S("abcde", r.p(), 1);
    EXPECT_EQ(r.s(), "abcd");
    S_S("abcde", r.p(), 0);
    EXPECT_EQ(pending(), "S_S:Record overflow");
}

TEST(RecordCopy, ShiftsTheRestOfATextLeft) {
    Rec r("abcdefgh");
    S_S(r.p() + 3, r.p() + 1, 0);
    EXPECT_EQ(r.s(), "adefgh");
}

TEST(RecordCopy, DoesNothingWithErrorPendingOrNoDestination) {
    Rec r("keep");
    S_S("x", nullptr, 0);
    EXPECT_EQ(err_, 0);
    S_ERR("earlier");
    S_S("new", r.p(), 0);
    S_S(nullptr, r.p(), 0);
    EXPECT_EQ(r.s(), "keep");
    EXPECT_EQ(pending(), "earlier");
}

// ---- S_SA and SM_SA -----------------------------------------------------------------------

TEST(RecordAppend, AppendsWithinTheRecord) {
    Rec r("ab");
    S_SA("cd", r.p(), 0);
    S_SA("", r.p(), 0);
    EXPECT_EQ(r.s(), "abcd");
    std::string t(252, 'y');
    S_SA(t.c_str(), r.p(), 0);  // exactly 256 characters
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(r.s(), "abcd" + t);
}

TEST(RecordAppend, TruncateAppendsWhatFits) {
    std::string base(255, 'b');
    Rec r(base);
    S_SA("abc", r.p(), 1);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(r.s(), base + "a");
    S_SA("abc", r.p(), 1);  // already full
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(r.s(), base + "a");
}

TEST(RecordAppend, OverflowRaisesWithTrailAndLeavesDestination) {
    std::string base(255, 'b');
    Rec r(base);
    S_SA("abc", r.p(), 0);
    EXPECT_EQ(pending(), "String overflow [S_SA]");
    EXPECT_EQ(r.s(), base);
}

TEST(RecordAppend, UnterminatedRecordIsTreatedAsFull) {
    Rec r;
    std::memset(r.p(), 'z', r.buf.size());  // no terminator anywhere in the buffer
    S_SA("abc", r.p(), 1);
    EXPECT_EQ(err_, 0);
    S_SA("abc", r.p(), 0);
    EXPECT_EQ(pending(), "String overflow [S_SA]");
    EXPECT_EQ(std::string(r.buf.begin(), r.buf.end()), std::string(r.buf.size(), 'z'));
}

TEST(RecordAppend, IgnoresNullsAndPendingError) {
    Rec r("ab");
    S_SA(nullptr, r.p(), 0);
    S_SA("x", nullptr, 0);
    EXPECT_EQ(err_, 0);
    S_ERR("earlier");
    S_SA("cd", r.p(), 0);
    EXPECT_EQ(r.s(), "ab");
    EXPECT_EQ(pending(), "earlier");
}

TEST(RecordAppendList, AppendsEachTextInTurn) {
    Rec r("<");
    SM_SA(r.p(), "ab", "", "cd", ">", nullptr);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(r.s(), "<abcd>");
}

TEST(RecordAppendList, StopsAtTheFirstOverflow) {
    std::string base(250, 'b');
    Rec r(base);
    SM_SA(r.p(), "abc", "defg", "h", nullptr);
    EXPECT_EQ(pending(), "String overflow [S_SA] [SM_SA]");
    EXPECT_EQ(r.s(), base + "abc");
}

TEST(RecordAppendList, NullDestinationRaises) {
    SM_SA(nullptr, "a", nullptr);
    EXPECT_EQ(pending(), "SM_SA:dst=NULL");
}

TEST(RecordAppendList, UsesAtMost49Texts) {
    Rec r;
    const char* a = "a";
    SM_SA(r.p(), a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a,
          a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a, a,
          a, a, a, nullptr);  // 60 texts
    EXPECT_EQ(r.s(), std::string(49, 'a'));
}

TEST(RecordAppendList, DoesNothingWithErrorPending) {
    Rec r("ab");
    S_ERR("earlier");
    SM_SA(r.p(), "cd", nullptr);
    SM_SA(nullptr, "cd", nullptr);
    EXPECT_EQ(r.s(), "ab");
    EXPECT_EQ(pending(), "earlier");
}

// ---- S_SZ, B_B, RAW_DATA --------------------------------------------------------------------

TEST(TextLength, CountsInSixteenBits) {
    EXPECT_EQ(S_SZ(nullptr), 0);
    EXPECT_EQ(S_SZ(""), 0);
    EXPECT_EQ(S_SZ("abc"), 3);
    std::string t(65535, 'a');
    EXPECT_EQ(S_SZ(t.c_str()), 65535);
    t += "abcdef";
    EXPECT_EQ(S_SZ(t.c_str()), 5);
}

TEST(ByteBlock, CopiesCountBytesIncludingZeros) {
    const char src[] = {'a', 0, 'b', 'c'};
    char dst[6] = {'x', 'x', 'x', 'x', 'x', 'x'};
    B_B(src, 3, dst);
    EXPECT_EQ(std::string(dst, 6), std::string("a\0bxxx", 6));
}

TEST(ByteBlock, NullSourceClearsTheBytes) {
    char dst[5] = {'x', 'x', 'x', 'x', 'x'};
    B_B(nullptr, 4, dst);
    EXPECT_EQ(std::string(dst, 5), std::string("\0\0\0\0x", 5));
}

TEST(ByteBlock, DoesNothingWithErrorPendingOrNoDestination) {
    B_B("abc", 3, nullptr);
    char dst[3] = {'x', 'x', 'x'};
    S_ERR("earlier");
    B_B("abc", 3, dst);
    B_B(nullptr, 3, dst);
    EXPECT_EQ(std::string(dst, 3), "xxx");
    EXPECT_EQ(pending(), "earlier");
}

TEST(RawData, TextBytesAreNotRaw) {
    EXPECT_EQ(RAW_DATA("line\r\n", 6), 0);
    EXPECT_EQ(RAW_DATA("\t ~\xff", 4), 0);
    EXPECT_EQ(RAW_DATA("", 0), 0);
}

TEST(RawData, ControlAndHighBytesAreRaw) {
    const char zero[] = {'a', 0, 'b'};
    EXPECT_EQ(RAW_DATA(zero, 3), 1);
    EXPECT_EQ(RAW_DATA("ab\x7f", 3), 1);
    EXPECT_EQ(RAW_DATA("ab\x80", 3), 1);
    EXPECT_EQ(RAW_DATA("\xfe", 1), 1);
    EXPECT_EQ(RAW_DATA("\x1b", 1), 1);
}

TEST(RawData, LooksOnlyAtCountBytes) {
    const char buf[] = {'o', 'k', 1, 2};
    EXPECT_EQ(RAW_DATA(buf, 2), 0);
    EXPECT_EQ(RAW_DATA(buf, 3), 1);
}

// ---- RM_TRL and RM_LEAD -------------------------------------------------------------------

TEST(Trimming, TrailingBlanksGo) {
    char a[] = "ab \t ";
    EXPECT_EQ(RM_TRL(a), 2);
    EXPECT_STREQ(a, "ab");
    char b[] = "   ";
    EXPECT_EQ(RM_TRL(b), 0);
    EXPECT_STREQ(b, "");
    char c[] = " a\tb";
    EXPECT_EQ(RM_TRL(c), 4);
    EXPECT_STREQ(c, " a\tb");
    EXPECT_EQ(RM_TRL(nullptr), 0);
}

TEST(Trimming, LeadingBlanksGoUnlessTextIsBlank) {
    char a[] = " \tab c ";
    RM_LEAD(a);
    EXPECT_STREQ(a, "ab c ");
    char b[] = "   ";
    RM_LEAD(b);
    EXPECT_STREQ(b, "   ");
    char c[] = "";
    RM_LEAD(c);
    EXPECT_STREQ(c, "");
    RM_LEAD(nullptr);
}

TEST(Trimming, NothingChangesWithErrorPending) {
    S_ERR("earlier");
    char a[] = " ab ";
    EXPECT_EQ(RM_TRL(a), 0);
    RM_LEAD(a);
    EXPECT_STREQ(a, " ab ");
    EXPECT_EQ(pending(), "earlier");
}

// ---- TAB_SPC and SPC_TAB ------------------------------------------------------------------

TEST(TabExpansion, TabsReachTheNextStop) {
    EXPECT_STREQ(TAB_SPC("a\tb"), "a       b");
    EXPECT_STREQ(TAB_SPC("12345678\tx"), "12345678        x");
    EXPECT_STREQ(TAB_SPC("1234567\t\tx"), "1234567         x");
    EXPECT_STREQ(TAB_SPC("\t"), "        ");
    EXPECT_STREQ(TAB_SPC("no tabs"), "no tabs");
}

TEST(TabExpansion, EmptyNullAndPendingError) {
    EXPECT_STREQ(TAB_SPC(nullptr), "");
    EXPECT_STREQ(TAB_SPC(""), "");
    S_ERR("earlier");
    EXPECT_STREQ(TAB_SPC("a\tb"), "?");
    EXPECT_EQ(pending(), "earlier");
}

TEST(TabExpansion, ResultIsAFreshTemporaryCopy) {
    char text[] = "x\ty";
    char* r = TAB_SPC(text);
    EXPECT_NE(r, text);
    EXPECT_STREQ(text, "x\ty");
    EXPECT_STREQ(TAB_SPC("q"), "q");
    EXPECT_STREQ(r, "x       y");
}

TEST(TabExpansion, ExpansionStopsAtTheWorkBlockSize) {
    std::string t(10000, '\t');
    const char* r = TAB_SPC(t.c_str());
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(std::string(r), std::string(65534, ' '));
}

TEST(TabCompression, RunsEndingAtStopsBecomeTabs) {
    char a[] = "abcdefg         x";  // nine spaces
    SPC_TAB(a, 65535);
    EXPECT_STREQ(a, "abcdefg\t\tx");
    char b[] = "abcdefg ";
    SPC_TAB(b, 65535);
    EXPECT_STREQ(b, "abcdefg\t");
    char c[] = "                x";
    SPC_TAB(c, 65535);
    EXPECT_STREQ(c, "\t\tx");
}

TEST(TabCompression, RunsNotEndingAtAStopStay) {
    char a[] = "a  b   c";
    SPC_TAB(a, 65535);
    EXPECT_STREQ(a, "a  b   c");
    char b[] = "a\t b";  // the tab resets the column to 8
    SPC_TAB(b, 65535);
    EXPECT_STREQ(b, "a\t b");
    char c[] = "abc\t     x";
    SPC_TAB(c, 65535);
    EXPECT_STREQ(c, "abc\t     x");
}

TEST(TabCompression, OneColumnOnly) {
    char a[] = "ab              x";  // spaces from column 2 to 16
    SPC_TAB(a, 16);
    EXPECT_STREQ(a, "ab\t\tx");
    char b[] = "ab              x";
    SPC_TAB(b, 8);
    EXPECT_STREQ(b, "ab\t        x");
}

TEST(TabCompression, ExpandingGivesBackTheText) {
    std::mt19937 rnd(12345);
    for (int n = 0; n < 500; ++n) {
        std::string t;
        std::size_t len = rnd() % 60;
        for (std::size_t i = 0; i < len; ++i) t += (rnd() % 3) ? ' ' : 'a' + static_cast<char>(rnd() % 26);
        std::vector<char> buf(t.begin(), t.end());
        buf.push_back(0);
        SPC_TAB(buf.data(), 65535);
        ASSERT_EQ(err_, 0);
        EXPECT_EQ(std::string(TAB_SPC(buf.data())), t) << '"' << t << '"';
    }
}

TEST(TabCompression, RestLongerThanARecordRaisesAndLeavesText) {
    std::string t = "a       " + std::string(300, 'x');
    std::vector<char> buf(t.begin(), t.end());
    buf.push_back(0);
    SPC_TAB(buf.data(), 65535);
    EXPECT_EQ(pending(), "S_S:Record overflow [SPC_TAB]");
    EXPECT_EQ(std::string(buf.data()), t);
}

TEST(TabCompression, NothingChangesWithErrorPending) {
    S_ERR("earlier");
    char a[] = "abcdefg x";
    SPC_TAB(a, 65535);
    EXPECT_STREQ(a, "abcdefg x");
    SPC_TAB(nullptr, 65535);
    EXPECT_EQ(pending(), "earlier");
}

// ---- S_ORD ----------------------------------------------------------------------------------

TEST(Ordering, IgnoringCase) {
    EXPECT_EQ(S_ORD("abc", "ABD", 0), 1);
    EXPECT_EQ(S_ORD("ABD", "abc", 0), 0);
    EXPECT_EQ(S_ORD("B", "a", 0), 0);
    EXPECT_EQ(S_ORD("ab", "ABC", 0), 1);
    EXPECT_EQ(S_ORD("ABC", "ab", 0), 0);
    // Letters are compared in lower case, so "_" (95) sorts before "a" and "A".
    EXPECT_EQ(S_ORD("_", "A", 0), 1);
}

TEST(Ordering, EqualApartFromCaseFallsBackToExact) {
    EXPECT_EQ(S_ORD("a", "A", 0), 0);
    EXPECT_EQ(S_ORD("A", "a", 0), 1);
    EXPECT_EQ(S_ORD("same", "same", 0), 1);
}

TEST(Ordering, ExactCase) {
    EXPECT_EQ(S_ORD("B", "a", 1), 1);
    EXPECT_EQ(S_ORD("a", "B", 1), 0);
    EXPECT_EQ(S_ORD("abc", "abc", 1), 1);
    EXPECT_EQ(S_ORD("z", "\xe9", 1), 1);  // bytes compare unsigned
    EXPECT_EQ(S_ORD("\xe9", "z", 0), 0);
}

TEST(Ordering, NullSortsAsEmptyAndPendingErrorGivesOne) {
    EXPECT_EQ(S_ORD(nullptr, "a", 1), 1);
    EXPECT_EQ(S_ORD("a", nullptr, 0), 0);
    S_ERR("earlier");
    EXPECT_EQ(S_ORD("b", "a", 1), 1);
    EXPECT_EQ(pending(), "earlier");
}
