// Allocation, owned strings replaced in place, the ring of temporary strings and the small
// utilities beside it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lb.h"
#include "test_support.h"

namespace {

std::string take_error() { return lbtest::pending(); }

std::string alloc_failure_prefix(const char* req) { return std::string("Mem alloc failure (req=") + req + " free="; }

}  // namespace

TEST(Allocation, SizeZeroRaisesTheFailureMessage) {
    EXPECT_EQ(MEM_AL(0), nullptr);
    std::string msg = take_error();
    EXPECT_EQ(msg.rfind(alloc_failure_prefix("0"), 0), 0u) << msg;
    EXPECT_EQ(msg.back(), ')');
    EXPECT_EQ(msg.find(' ', alloc_failure_prefix("0").size()), std::string::npos) << msg;
}

TEST(Allocation, NothingWhileAnErrorIsPending) {
    S_ERR("pending");
    EXPECT_EQ(MEM_AL(10), nullptr);
    EXPECT_EQ(S_CP("x"), nullptr);
    EXPECT_EQ(take_error(), "pending");
}

TEST(Allocation, ReleaseClearsTheHolder) {
    char* p = MEM_AL(4);
    ASSERT_NE(p, nullptr);
    MEM_FR(&p);
    EXPECT_EQ(p, nullptr);
    MEM_FR(&p);  // already null: nothing happens
    MEM_FR(static_cast<char**>(nullptr));
    S_ERR("pending");
    char* q = MEM_AL(1);
    EXPECT_EQ(q, nullptr);
    ERR_S();
    q = S_CP("abc");
    S_ERR("pending");
    MEM_FR(&q);  // releases also while an error is pending
    EXPECT_EQ(q, nullptr);
    ERR_S();
}

TEST(Allocation, AccountingCountsLiveBlocks) {
    mem_al_dbg = 1;
    std::int32_t before = mem_al_cnt;
    char* p = MEM_AL(16);
    EXPECT_EQ(mem_al_cnt, before + 1);
    char* q = MEM_REAL(nullptr, 8);  // resizing nothing allocates, and counts
    EXPECT_EQ(mem_al_cnt, before + 2);
    MEM_FR(&p);
    q = MEM_REAL(q, 0);  // resizing to 0 releases
    EXPECT_EQ(q, nullptr);
    EXPECT_EQ(mem_al_cnt, before);
    // Temporary strings never show in the count.
    UT_S_CP("temporary");
    UT_FREE();
    EXPECT_EQ(mem_al_cnt, before);
    mem_al_dbg = 0;
}

TEST(Allocation, ResizeKeepsContentsAndHandlesEdges) {
    EXPECT_EQ(MEM_REAL(nullptr, 0), nullptr);
    EXPECT_EQ(err_, 0);
    char* p = S_CP("abc");
    p = MEM_REAL(p, 100);
    EXPECT_STREQ(p, "abc");
    S_ERR("pending");
    EXPECT_EQ(MEM_REAL(p, 5), p);
    ERR_S();
    MEM_FR(&p);
}

TEST(OwnedStrings, CopyAndReplace) {
    EXPECT_EQ(S_CP(nullptr), nullptr);
    char* p = S_CP("abc");
    EXPECT_STREQ(p, "abc");
    p = S_RP(p, p);  // a fresh copy of itself; the old block is released
    EXPECT_STREQ(p, "abc");
    p = S_RP(p, nullptr);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(err_, 0);
}

TEST(OwnedStrings, AppendOne) {
    EXPECT_EQ(S_A(nullptr, ""), nullptr);
    char* p = S_A(nullptr, "ab");
    EXPECT_STREQ(p, "ab");
    char* same = S_A(p, nullptr);
    EXPECT_EQ(same, p);
    p = S_A(p, "cd");
    EXPECT_STREQ(p, "abcd");
    EXPECT_EQ(B_A(p, 0), p);
    p = B_A(p, 'e');
    EXPECT_STREQ(p, "abcde");
    MEM_FR(&p);
}

TEST(OwnedStrings, ConcatenationsAndTheirNullRules) {
    EXPECT_EQ(SM_CP(nullptr), nullptr);
    char* p = SM_CP("a", "b", "c", nullptr, "d", nullptr);
    EXPECT_STREQ(p, "abc");
    EXPECT_EQ(SM_A(p, nullptr), p);
    p = SM_A(p, "x", p, nullptr);  // the holder's own text may be listed
    EXPECT_STREQ(p, "abcxabc");
    p = SM_RP(p, "<", p, ">", nullptr);
    EXPECT_STREQ(p, "<abcxabc>");
    p = SM_RP(p, nullptr);
    EXPECT_EQ(p, nullptr);
    char* q = S_CP("keep");
    S_ERR("pending");
    EXPECT_EQ(SM_A(q, "x", nullptr), nullptr);
    EXPECT_EQ(SM_RP(q, "x", nullptr), q);
    EXPECT_EQ(S_RP(q, "x"), q);
    EXPECT_EQ(S_A(q, "x"), q);
    ERR_S();
    EXPECT_STREQ(q, "keep");
    MEM_FR(&q);
}

TEST(OwnedStrings, LengthLimitIsExactly65534) {
    std::string half(32767, 'a');
    char* p = SM_CP(half.c_str(), half.c_str(), nullptr);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p).size(), 65534u);
    MEM_FR(&p);

    p = SM_CP(half.c_str(), half.c_str(), "b", nullptr);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(take_error(), "String overflow [SM_CP]");

    char* dst = S_CP(half.c_str());
    EXPECT_EQ(SM_A(dst, half.c_str(), "b", nullptr), nullptr);
    EXPECT_EQ(take_error(), "String overflow [SM_A]");
    EXPECT_EQ(SM_RP(dst, half.c_str(), half.c_str(), "b", nullptr), nullptr);
    EXPECT_EQ(take_error(), "String overflow [SM_RP]");
    EXPECT_EQ(std::string(dst).size(), 32767u);  // failed concatenations leave dst alone
    EXPECT_EQ(UT_SM_CP(half.c_str(), half.c_str(), "b", nullptr), nullptr);
    EXPECT_EQ(take_error(), "String overflow [UT_SM_CP]");
    dst = S_A(dst, (half + "bb").c_str());  // S_A releases dst even when it fails
    EXPECT_EQ(dst, nullptr);
    EXPECT_EQ(take_error(), "String overflow [S_A]");

    SM_ERR(half.c_str(), half.c_str(), "b", nullptr);
    EXPECT_EQ(take_error(), "String overflow [S_A]");
}

TEST(OwnedStrings, AtMost49ListedTextsAreJoined) {
    const char* texts[60];
    for (auto& t : texts) t = "x";
    char* p = SM_CP_list(texts, 60);
    EXPECT_EQ(std::string(p), std::string(49, 'x'));
    MEM_FR(&p);
}

TEST(OwnedStrings, Excerpts) {
    char* p = S_X("abcdef", 2, 4);
    EXPECT_STREQ(p, "cd");
    MEM_FR(&p);
    p = S_X("abc", 1, 4294967295u);
    EXPECT_STREQ(p, "bc");
    MEM_FR(&p);
    p = S_X("abc", 3, 3);
    EXPECT_STREQ(p, "");
    MEM_FR(&p);
    p = S_X("abc", 0, 99);
    EXPECT_STREQ(p, "abc");
    MEM_FR(&p);
    EXPECT_EQ(S_X("abc", 4, 5), nullptr);
    EXPECT_EQ(S_X("abc", 2, 1), nullptr);
    EXPECT_EQ(S_X(nullptr, 0, 1), nullptr);
    EXPECT_EQ(err_, 0);
    EXPECT_STREQ(UT_S_X("abcdef", 2, 4), "cd");
    EXPECT_EQ(UT_S_X("abc", 4, 5), nullptr);
}

TEST(OwnedStrings, BufferCopyKeepsZeroBytes) {
    const char data[] = {'a', 0, 'b'};
    char* p = BF_CP(data, 3);
    EXPECT_EQ(std::string(p, 3), std::string(data, 3));
    MEM_FR(&p);
    EXPECT_EQ(BF_CP(nullptr, 3), nullptr);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(BF_CP(data, 0), nullptr);
    EXPECT_EQ(take_error().rfind(alloc_failure_prefix("0"), 0), 0u);
}

TEST(OwnedStrings, PadToWidth) {
    char* p = S_CP("ab");
    p = PAD_RP(p, 5);
    EXPECT_STREQ(p, "ab   ");
    char* same = PAD_RP(p, 5);
    EXPECT_EQ(same, p);
    p = PAD_RP(p, 3);
    EXPECT_EQ(same, p);
    p = PAD_RP(p, 40000);  // a difference beyond a signed 16-bit count pads nothing
    EXPECT_STREQ(p, "ab   ");
    MEM_FR(&p);
    EXPECT_EQ(PAD_RP(nullptr, 5), nullptr);
}

TEST(OwnedStrings, UtSmAIsOwnedAndNamedInTheTrail) {
    char* p = S_CP("a");
    p = UT_SM_A(p, "b", "c", nullptr);
    EXPECT_STREQ(p, "abc");
    MEM_FR(&p);
    std::string big(65534, 'z');
    p = S_CP("a");
    EXPECT_EQ(UT_SM_A(p, big.c_str(), nullptr), nullptr);
    EXPECT_EQ(take_error(), "String overflow [UT_SM_A]");
    MEM_FR(&p);
}

TEST(TemporaryStrings, SurviveExactly2047FurtherAllocations) {
    char* first = UT_S_CP("first");
    char* second = UT_S_CP("second");
    for (int i = 0; i < 2046; ++i) UT_AL(1);
    // first has seen 2,047 further allocations and is intact.
    EXPECT_STREQ(first, "first");
    mem_al_dbg = 1;
    std::int32_t before = mem_al_cnt;
    char* again = UT_AL(5);  // the 2,049th allocation reuses slot 0
    EXPECT_EQ(mem_al_cnt, before);
    mem_al_dbg = 0;
    EXPECT_STREQ(second, "second");
    (void)again;
}

TEST(TemporaryStrings, FreshPoolAfterFree) {
    UT_S_CP("x");
    UT_FREE();
    UT_FREE();
    char* p = UT_SM_CP("a", "b", nullptr);
    EXPECT_STREQ(p, "ab");
    EXPECT_EQ(UT_SM_CP(nullptr), nullptr);
    EXPECT_EQ(UT_S_CP(nullptr), nullptr);
    S_ERR("pending");
    EXPECT_EQ(UT_AL(3), nullptr);
    ERR_S();
}

TEST(Utilities, EnvironmentSwitch) {
    const char* name = "LB_TEST_SWITCH";
    unsetenv(name);
    EXPECT_EQ(ENV_VAR_TF(name, 1), 1);
    EXPECT_EQ(ENV_VAR_TF(name, 0), 0);
    for (const char* off : {"0", "n", "No", "f", "FALSE"}) {
        setenv(name, off, 1);
        EXPECT_EQ(ENV_VAR_TF(name, 1), 0) << off;
    }
    for (const char* on : {"1", "y", "yes", "", "true", "x0"}) {
        setenv(name, on, 1);
        EXPECT_EQ(ENV_VAR_TF(name, 0), 1) << on;
    }
    unsetenv(name);
}

TEST(Utilities, RemoveCharacter) {
    char text[] = ",a,,b,,,c,";
    REMOVE_CH(text, ',');
    EXPECT_STREQ(text, "abc");
    char commas[] = ",,,";
    REMOVE_CH(commas, ',');
    EXPECT_STREQ(commas, "");
    char keep[] = "abc";
    REMOVE_CH(keep, 0);
    EXPECT_STREQ(keep, "abc");
    REMOVE_CH(nullptr, ',');
}

TEST(Utilities, CaseTablesAndConversions) {
    for (int c = 0; c < 256; ++c) {
        bool lower = c >= 'a' && c <= 'z';
        bool upper = c >= 'A' && c <= 'Z';
        EXPECT_EQ(ch_upper[c], lower ? c - 32 : c) << c;
        EXPECT_EQ(ch_lower[c], upper ? c + 32 : c) << c;
    }
    const char mixed[] = "MiXeD 123 \xe4\xc4!";
    char* low = LOWER_S(mixed);
    EXPECT_STREQ(low, "mixed 123 \xe4\xc4!");
    EXPECT_STREQ(mixed, "MiXeD 123 \xe4\xc4!");
    char up[] = "MiXeD 123 \xe4\xc4!";
    EXPECT_EQ(S_UPPER(up), up);
    EXPECT_STREQ(up, "MIXED 123 \xe4\xc4!");
    EXPECT_STREQ(S_LOWER(up), "mixed 123 \xe4\xc4!");
    EXPECT_STREQ(UPPER_S("ab"), "AB");
    EXPECT_EQ(S_LOWER(nullptr), nullptr);
    EXPECT_EQ(LOWER_S(nullptr), nullptr);
}

TEST(Utilities, RecordBufferAndFixedAnswers) {
    char* rc = RCDF_AL();
    ASSERT_NE(rc, nullptr);
    rc[fl_rc_mxs] = '\0';  // room for a whole record and its terminator
    MEM_FR(&rc);
    EXPECT_EQ(PC_MODEL(), 0);
    EXPECT_EQ(CONSOLE_PGM(), 1);
}
