// Text search, words, character classes and replacement.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>

#include "lb.h"

namespace {

// Straightforward leftmost search, one start position after the other, to check the fast paths.
std::size_t naive_find(const std::string& nd, const std::string& hay, std::size_t start,
                       bool cs, char wild) {
    if (nd.empty() || nd.size() > hay.size()) return std::string::npos;
    for (std::size_t p = start; p + nd.size() <= hay.size(); ++p) {
        std::size_t j = 0;
        for (; j < nd.size(); ++j) {
            const auto a = static_cast<unsigned char>(nd[j]);
            const auto b = static_cast<unsigned char>(hay[p + j]);
            if (wild && nd[j] == wild) continue;
            if (cs ? a != b : ch_upper[a] != ch_upper[b]) break;
        }
        if (j == nd.size()) return p;
    }
    return std::string::npos;
}

// Replacement one hit at a time, each search starting after the inserted text.
std::string replace_one_by_one(std::string text, const char* find, const std::string& repl,
                               bool all, char group, bool words) {
    std::uint16_t pos = 0;
    char mark = 1;
    for (;;) {
        std::uint16_t end = 0;
        const std::uint16_t p = words ? FND_WD(find, text.c_str(), pos, 65535, group, 0, mark, &end)
                                      : FND_TXT(find, text.c_str(), pos, 65535, group, 0, 0, &end);
        mark = 0;
        if (p == 65535) return text;
        text = text.substr(0, p) + repl + text.substr(end);
        if (!all) return text;
        pos = static_cast<std::uint16_t>(p + repl.size());
    }
}

}  // namespace

TEST(TextSearch, FindsLeftmostAndReportsMatchEnd) {
    std::uint16_t end = 0;
    EXPECT_EQ(FND_TXT("lo", "Hello", 0, 65535, 0, 0, 0, &end), 3);
    EXPECT_EQ(end, 5);
    EXPECT_EQ(FND_TXT("LO", "Hello", 0, 65535, 0, 1, 0, &end), 65535);
    EXPECT_EQ(FND_TXT("LO", "Hello", 0, 65535, 0, 0, 0, nullptr), 3);
    EXPECT_EQ(FND_TXT("l", "Hello", 0, 65535, 0, 1, 0, &end), 2);
    EXPECT_EQ(end, 3);
    // A miss leaves match end alone.
    end = 77;
    EXPECT_EQ(FND_TXT("z", "Hello", 0, 65535, 0, 1, 0, &end), 65535);
    EXPECT_EQ(end, 77);
}

TEST(TextSearch, RangesAreCutAtTheTerminator) {
    std::uint16_t end = 0;
    EXPECT_EQ(FND_TXT("l", "Hello", 3, 65535, 0, 1, 0, &end), 3);
    EXPECT_EQ(FND_TXT("lo", "Hello", 0, 4, 0, 1, 0, &end), 65535);
    EXPECT_EQ(FND_TXT("lo", "Hello", 0, 5, 0, 1, 0, &end), 3);
    EXPECT_EQ(FND_TXT("lo", "Hello", 0, 900, 0, 1, 0, &end), 3);
    EXPECT_EQ(FND_TXT("o", "Hello", 5, 65535, 0, 1, 0, &end), 65535);
    // A start beyond the terminator reads nothing after it.
    EXPECT_EQ(FND_TXT("x", "Hi\0x", 3, 65535, 0, 1, 0, &end), 65535);
    // Needle ranges: "ell" of "yellow".
    EXPECT_EQ(FND_TXT("yellow", 1, 4, "Hello", 0, 65535, 0, 1, 0, &end), 1);
    EXPECT_EQ(end, 4);
    EXPECT_EQ(FND_TXT("yellow", 4, 4, "Hello", 0, 65535, 0, 1, 0, &end), 65535);
    EXPECT_EQ(FND_TXT("yellow", 7, 65535, "Hello", 0, 65535, 0, 1, 0, &end), 65535);
}

TEST(TextSearch, EmptyLongAndNullNeedlesAreNotFound) {
    EXPECT_EQ(FND_TXT("", "abc", 0, 65535, 0, 0, 0, nullptr), 65535);
    EXPECT_EQ(FND_TXT("abcd", "abc", 0, 65535, 0, 0, 0, nullptr), 65535);
    EXPECT_EQ(FND_TXT("bc", "abc", 2, 65535, 0, 0, 0, nullptr), 65535);
    EXPECT_EQ(FND_TXT(nullptr, "abc", 0, 65535, 0, 0, 0, nullptr), 65535);
    EXPECT_EQ(FND_TXT("a", nullptr, 0, 65535, 0, 0, 0, nullptr), 65535);
    S_ERR("pending");
    EXPECT_EQ(FND_TXT("a", "a", 0, 65535, 0, 0, 0, nullptr), 65535);
    EXPECT_EQ(FND_TXT4("a", "a", 0, 4294967295u, 0, 0, 0, nullptr), 4294967295u);
    EXPECT_EQ(FND_B('a', "a", 0, 65535, 0), 65535);
    EXPECT_EQ(FND_CHDM(ch_dm_alpha, "a", 0, 65535, nullptr), 65535);
    EXPECT_EQ(FND_WD("a", "a", 0, 65535, 0, 0, 1, nullptr), 65535);
}

TEST(TextSearch, WildMatchesAnyOneCharacter) {
    std::uint16_t end = 0;
    EXPECT_EQ(FND_TXT("l?o", "hello", 0, 65535, 0, 0, '?', &end), 2);
    EXPECT_EQ(end, 5);
    EXPECT_EQ(FND_TXT("l?o", "hello", 0, 65535, 0, 0, 0, &end), 65535);
    EXPECT_EQ(FND_TXT("???", "hello", 1, 65535, 0, 0, '?', &end), 1);
    // Only the needle's wild counts.
    EXPECT_EQ(FND_TXT("hel", "h?l", 0, 65535, 0, 0, '?', &end), 65535);
}

TEST(TextSearch, GroupSegmentsAreTakenLeftmostFirst) {
    std::uint16_t end = 0;
    EXPECT_EQ(FND_TXT("e*o", "hello", 0, 65535, '*', 0, 0, &end), 1);
    EXPECT_EQ(end, 5);
    EXPECT_EQ(FND_TXT("*lo", "hello", 0, 65535, '*', 0, 0, &end), 0);
    EXPECT_EQ(end, 5);
    EXPECT_EQ(FND_TXT("*lo", "hello", 1, 65535, '*', 0, 0, &end), 1);
    // A trailing group runs the match to the range end.
    EXPECT_EQ(FND_TXT("l*", "hello world", 0, 8, '*', 0, 0, &end), 2);
    EXPECT_EQ(end, 8);
    EXPECT_EQ(FND_TXT("l**o", "hello", 0, 65535, '*', 0, 0, &end), 2);
    EXPECT_EQ(end, 5);
    // The second segment is searched after the first one's match.
    EXPECT_EQ(FND_TXT("lo*l", "hello world", 0, 65535, '*', 0, 0, &end), 3);
    EXPECT_EQ(end, 10);
    EXPECT_EQ(FND_TXT("w*h", "hello world", 0, 65535, '*', 0, 0, &end), 65535);
    // Wild and case still apply inside segments; the pattern may be longer than the text.
    EXPECT_EQ(FND_TXT("H?L*O*", "hello", 0, 65535, '*', 0, '?', &end), 0);
    EXPECT_EQ(end, 5);
    EXPECT_EQ(FND_TXT("H?L*", "hello", 0, 65535, '*', 1, '?', &end), 65535);
}

TEST(TextSearch, NeedleOfOnlyGroupCharactersIsLiteral) {
    std::uint16_t end = 0;
    EXPECT_EQ(FND_TXT("**", "a**b", 0, 65535, '*', 0, 0, &end), 1);
    EXPECT_EQ(end, 3);
    EXPECT_EQ(FND_TXT("*", "ab", 0, 65535, '*', 0, 0, &end), 65535);
}

TEST(TextSearch, FastPathsAgreeWithDirectSearch) {
    // Needles up to 200 characters (several 64-bit words), over small alphabets so that
    // near misses are common; with and without case, with and without a wild card.
    std::mt19937 rng(12345);
    const std::string alpha = "aAbB?.";
    for (int round = 0; round < 3000; ++round) {
        const std::size_t hn = 1 + rng() % 1500;
        const std::size_t nn = 1 + rng() % (round % 3 == 0 ? 200 : 8);
        std::string hay, nd;
        const std::size_t kinds = 2 + rng() % 4;
        for (std::size_t i = 0; i < hn; ++i) hay += alpha[rng() % kinds];
        // Needles cut from the text (so that many are found) with a few changes.
        const std::size_t from = rng() % hn;
        nd = hay.substr(from, nn);
        if (!nd.empty() && rng() % 2) nd[rng() % nd.size()] = alpha[rng() % alpha.size()];
        const bool cs = rng() % 2;
        const char wild = rng() % 2 ? '?' : 0;
        const std::size_t start = rng() % 4 == 0 ? rng() % hn : 0;
        const std::size_t want = naive_find(nd, hay, start, cs, wild);
        std::uint16_t end = 0;
        const std::uint16_t got =
            FND_TXT(nd.c_str(), hay.c_str(), static_cast<std::uint16_t>(start), 65535, 0, cs, wild, &end);
        ASSERT_EQ(got, want == std::string::npos ? 65535 : want)
            << "needle=" << nd << " cs=" << cs << " wild=" << int(wild) << " start=" << start;
        if (got != 65535) {
            ASSERT_EQ(end, got + nd.size());
        }
    }
}

TEST(TextSearch, LongRepetitiveInputsStayCorrect) {
    const std::string hay = std::string(60000, 'a') + "b";
    const std::string nd = std::string(5000, 'a') + "b";
    std::uint16_t end = 0;
    EXPECT_EQ(FND_TXT(nd.c_str(), hay.c_str(), 0, 65535, 0, 0, 0, &end), 55000);
    EXPECT_EQ(end, 60001);
    std::string wild_nd = nd;
    wild_nd[2500] = '?';
    EXPECT_EQ(FND_TXT(wild_nd.c_str(), hay.c_str(), 0, 65535, 0, 1, '?', &end), 55000);
    wild_nd.back() = 'c';
    EXPECT_EQ(FND_TXT(wild_nd.c_str(), hay.c_str(), 0, 65535, 0, 1, '?', &end), 65535);
}

TEST(TextSearch, LongFormReachesBeyondSixteenBitPositions) {
    std::string hay(70000, '-');
    hay += "Needle";
    std::uint32_t end = 0;
    EXPECT_EQ(FND_TXT4("needle", hay.c_str(), 0, 4294967295u, 0, 0, 0, &end), 70000u);
    EXPECT_EQ(end, 70006u);
    EXPECT_EQ(FND_TXT4("needle", 0, 3, hay.c_str(), 69000, 4294967295u, 0, 0, 0, &end), 70000u);
    EXPECT_EQ(end, 70003u);
    EXPECT_EQ(FND_TXT4("-*", hay.c_str(), 65000, 4294967295u, '*', 0, 0, &end), 65000u);
    EXPECT_EQ(end, 70006u);
    // The 16-bit form stops at position 65534.
    EXPECT_EQ(FND_TXT("needle", hay.c_str(), 0, 65535, 0, 0, 0, nullptr), 65535);
    std::uint16_t end2 = 0;
    EXPECT_EQ(FND_TXT("-*", hay.c_str(), 0, 65535, '*', 0, 0, &end2), 0);
    EXPECT_EQ(end2, 65534);
}

TEST(CharacterSearch, FindsFirstOfEitherCase) {
    EXPECT_EQ(FND_B('L', "hello", 0, 65535, 0), 2);
    EXPECT_EQ(FND_B('L', "hello", 0, 65535, 1), 65535);
    EXPECT_EQ(FND_B('a', "xAya", 0, 65535, 0), 1);
    EXPECT_EQ(FND_B('A', "xayA", 0, 65535, 0), 1);
    EXPECT_EQ(FND_B('a', "xAya", 0, 65535, 1), 3);
    EXPECT_EQ(FND_B('.', "2.50", 0, 65535, 0), 1);
    EXPECT_EQ(FND_B('l', "hello", 3, 65535, 1), 3);
    EXPECT_EQ(FND_B('o', "hello", 0, 4, 1), 65535);
    EXPECT_EQ(FND_B('x', "ab\0x", 0, 65535, 1), 65535);
    EXPECT_EQ(FND_B(0, "ab", 0, 65535, 1), 65535);
    EXPECT_EQ(FND_B('a', nullptr, 0, 65535, 1), 65535);
}

TEST(CharacterSearch, ClassRunsAndTheirEnds) {
    std::uint16_t run = 0;
    EXPECT_EQ(FND_CHDM(ch_dm_dec, "ab12cd", 0, 65535, &run), 2);
    EXPECT_EQ(run, 4);
    EXPECT_EQ(FND_CHDM(ch_dm_dec, "ab12cd", 0, 3, &run), 2);
    EXPECT_EQ(run, 3);
    EXPECT_EQ(FND_CHDM(ch_dm_dec, "ab12cd", 4, 65535, &run), 65535);
    EXPECT_EQ(FND_CHDM(ch_dm_nbl, " \t x y", 0, 65535, &run), 3);
    EXPECT_EQ(run, 4);
    EXPECT_EQ(FND_CHDM(0x29, "--Abc9_x", 0, 65535, &run), 2);
    EXPECT_EQ(run, 6);
    EXPECT_EQ(FND_CHDM(ch_dm_alpha, "12", 0, 65535, &run), 65535);
}

TEST(CharacterSearch, ClassTableMarksEachCodesClasses) {
    EXPECT_EQ(ch_dm['\t'], ch_dm_txt);
    EXPECT_EQ(ch_dm[' '], ch_dm_txt);
    EXPECT_EQ(ch_dm['\n'], 0);
    EXPECT_EQ(ch_dm[7], 0);
    EXPECT_EQ(ch_dm[0], 0);
    EXPECT_EQ(ch_dm[255], 0);
    EXPECT_EQ(ch_dm['-'], ch_dm_nbl | ch_dm_txt);
    EXPECT_EQ(ch_dm[0x80], ch_dm_nbl | ch_dm_txt);
    EXPECT_EQ(ch_dm['0'], ch_dm_nbl | ch_dm_txt | ch_dm_bin | ch_dm_dec | ch_dm_oct | ch_dm_hex);
    EXPECT_EQ(ch_dm['8'], ch_dm_nbl | ch_dm_txt | ch_dm_dec | ch_dm_hex);
    EXPECT_EQ(ch_dm['f'], ch_dm_nbl | ch_dm_txt | ch_dm_alpha | ch_dm_hex);
    EXPECT_EQ(ch_dm['G'], ch_dm_nbl | ch_dm_txt | ch_dm_alpha);
    int words = 0;
    for (unsigned char c : ch_dm) words += (c & ch_dm_wd) != 0;
    EXPECT_EQ(words, 0);
}

TEST(WordSearch, MatchesWholeWordsOnly) {
    std::uint16_t end = 0;
    EXPECT_EQ(FND_WD("cat", "concat cat", 0, 65535, 0, 0, 1, &end), 7);
    EXPECT_EQ(end, 10);
    EXPECT_EQ(FND_WD("cat", "cats concat", 0, 65535, 0, 0, 1, &end), 65535);
    EXPECT_EQ(FND_WD("CAT", "the cat.", 0, 65535, 0, 0, 1, &end), 4);
    EXPECT_EQ(FND_WD("CAT", "the cat.", 0, 65535, 0, 1, 1, &end), 65535);
    // "_" belongs to words once marked, so "my_cat" is one word.
    EXPECT_EQ(FND_WD("cat", "my_cat cat", 0, 65535, 0, 0, 1, &end), 7);
    // The needle's own characters join words: "a-b" is one word, "xa-b" another.
    EXPECT_EQ(FND_WD("a-b", "xa-b a-b", 0, 65535, 0, 0, 1, &end), 5);
    EXPECT_EQ(end, 8);
}

TEST(WordSearch, GroupCharactersAtEitherEndOrInside) {
    std::uint16_t end = 0;
    EXPECT_EQ(FND_WD("cat*", "concat cats", 0, 65535, '*', 0, 1, &end), 7);
    EXPECT_EQ(end, 11);
    EXPECT_EQ(FND_WD("*cat", "cats concat", 0, 65535, '*', 0, 1, &end), 5);
    EXPECT_EQ(end, 11);
    // Later matches inside the word are tried until one reaches its end.
    EXPECT_EQ(FND_WD("a*b", "xx abab", 0, 65535, '*', 0, 1, &end), 3);
    EXPECT_EQ(end, 7);
    EXPECT_EQ(FND_WD("*b", "abcb", 0, 65535, '*', 0, 1, &end), 0);
    // Each repeat restarts the whole needle after the last match, so this word is missed.
    EXPECT_EQ(FND_WD("a*b", "axbxb", 0, 65535, '*', 0, 1, &end), 65535);
}

TEST(WordSearch, MarksLastUntilTheNextMarkedCall) {
    std::uint16_t end = 0;
    EXPECT_EQ(FND_WD("a-b", "a-b", 0, 65535, 0, 0, 1, &end), 0);
    EXPECT_NE(ch_dm['-'] & ch_dm_wd, 0);
    // Unmarked calls use the earlier marks.
    EXPECT_EQ(FND_WD("b", "a-b b", 0, 65535, 0, 0, 0, &end), 4);
    // A new mark clears the old ones.
    EXPECT_EQ(FND_WD("b", "a-b b", 0, 65535, 0, 0, 1, &end), 2);
    EXPECT_EQ(ch_dm['-'] & ch_dm_wd, 0);
    EXPECT_NE(ch_dm['_'] & ch_dm_wd, 0);
    // The group character itself is not marked.
    FND_WD("x*", "x", 0, 65535, '*', 0, 1, &end);
    EXPECT_EQ(ch_dm['*'] & ch_dm_wd, 0);
}

TEST(Replace, FirstOrEveryOccurrence) {
    char* t = C_TXT(S_CP("a.b.c"), ".", "--", 1, 0);
    EXPECT_STREQ(t, "a--b--c");
    t = C_TXT(t, "--", ".", 0, 0);
    EXPECT_STREQ(t, "a.b--c");
    t = C_TXT(t, "A", "x", 1, 0);
    EXPECT_STREQ(t, "x.b--c");
    t = C_TXT(t, "\r\n", " ", 1, 0);
    EXPECT_STREQ(t, "x.b--c");
    MEM_FR(&t);
    EXPECT_EQ(err_, 0);
}

TEST(Replace, UnchangedTextComesBackAsTheSamePointer) {
    char* t = S_CP("abc");
    char* same = t;
    EXPECT_EQ(C_TXT(t, "x", "y", 1, 0), same);
    EXPECT_EQ(C_TXT(t, "", "", 1, 0), same);
    EXPECT_EQ(C_TXT(t, nullptr, nullptr, 1, 0), same);
    char* changed = C_TXT(t, "b", "b", 0, 0);
    EXPECT_NE(changed, same);
    EXPECT_STREQ(changed, "abc");
    MEM_FR(&changed);
    char* empty = S_CP("");
    char* e2 = empty;
    EXPECT_EQ(C_TXT(empty, "x", "y", 1, 0), e2);
    MEM_FR(&e2);
}

TEST(Replace, EmptyFindPutsReplacementInFront) {
    char* t = C_TXT(S_CP("abc"), "", "x", 1, 0);
    EXPECT_STREQ(t, "xabc");
    t = C_TXT(t, nullptr, "y", 0, 0);
    EXPECT_STREQ(t, "yxabc");
    MEM_FR(&t);
}

TEST(Replace, NullText) {
    char* t = C_TXT(nullptr, nullptr, "new", 1, 0);
    EXPECT_STREQ(t, "new");
    MEM_FR(&t);
    EXPECT_EQ(C_TXT(nullptr, "a", "new", 1, 0), nullptr);
    EXPECT_EQ(C_TXT(nullptr, nullptr, nullptr, 1, 0), nullptr);
    EXPECT_EQ(err_, 0);
}

TEST(Replace, InsertedTextIsNotSearchedAgain) {
    char* t = C_TXT(S_CP("aa"), "a", "aa", 1, 0);
    EXPECT_STREQ(t, "aaaa");
    t = C_TXT(t, "aa", "a", 1, 0);
    EXPECT_STREQ(t, "aa");
    t = C_TXT(t, "a", "", 1, 0);
    EXPECT_STREQ(t, "");
    MEM_FR(&t);
}

TEST(Replace, GroupFindReplacesWholeSpans) {
    char* t = C_TXT(S_CP("a <b>x</b> c"), "<*>", "", 1, '*');
    EXPECT_STREQ(t, "a x c");
    t = C_TXT(t, "x*", "END", 0, '*');
    EXPECT_STREQ(t, "a END");
    MEM_FR(&t);
}

TEST(Replace, ManyHitsLeaveNoBlocksBehind) {
    mem_al_dbg = 1;
    const std::int32_t before = mem_al_cnt;
    std::string text, want;
    for (int i = 0; i < 1000; ++i) {
        text += "w" + std::to_string(i) + ",";
        want += "w" + std::to_string(i) + ";;";
    }
    char* t = C_TXT(S_CP(text.c_str()), ",", ";;", 1, 0);
    EXPECT_EQ(t, want);
    EXPECT_EQ(mem_al_cnt, before + 1);
    MEM_FR(&t);
    EXPECT_EQ(mem_al_cnt, before);
    mem_al_dbg = 0;
}

TEST(Replace, GrowingPastTheLimitFailsAndReleasesTheText) {
    mem_al_dbg = 1;
    // The error state keeps one message block from the first error on.
    S_ERR("first");
    ERR_S();
    const std::int32_t before = mem_al_cnt;
    // 65,533 characters and one more fit exactly; two more do not.
    std::string text(65530, '.');
    text += "abx";
    char* t = C_TXT(S_CP(text.c_str()), "X", "yy", 1, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(std::string(t), std::string(65530, '.') + "abyy");
    t = C_TXT(t, "A", "zz", 1, 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(mem_al_cnt, before);
    EXPECT_STREQ(ERR_S(), "String overflow [SM_RP] [C_TXT]");
    // Hits before the one that overflows do not save it.
    std::string many(65500, '.');
    for (int i = 0; i < 30; ++i) many += "q";
    t = C_TXT(S_CP(many.c_str()), "q", "qq", 1, 0);
    EXPECT_EQ(t, nullptr);
    EXPECT_STREQ(ERR_S(), "String overflow [SM_RP] [C_TXT]");
    EXPECT_EQ(mem_al_cnt, before);
    mem_al_dbg = 0;
}

TEST(Replace, AgreesWithReplacingHitByHit) {
    // Texts with up to a few hundred hits, adjacent ones included; group finds whose hits
    // differ in length; whole words.
    std::mt19937 rng(777);
    const char* finds[] = {"a", "ab", "A*b", "*a", "b*", "ba", "a?"};
    const char* repls[] = {"", "x", "aa", "Ab", "--"};
    for (int round = 0; round < 600; ++round) {
        std::string text;
        const std::size_t n = rng() % 700;
        for (std::size_t i = 0; i < n; ++i) text += "aab b-"[rng() % 6];
        const char* find = finds[rng() % 7];
        const std::string repl = repls[rng() % 5];
        const bool all = rng() % 4 != 0;
        const char group = rng() % 2 ? '*' : 0;
        const bool words = rng() % 3 == 0;
        const std::string want = replace_one_by_one(text, find, repl, all, group, words);
        char* got = words ? C_WD(S_CP(text.c_str()), find, repl.c_str(), all, group)
                          : C_TXT(S_CP(text.c_str()), find, repl.c_str(), all, group);
        ASSERT_EQ(err_, 0);
        ASSERT_EQ(std::string(got), want) << "text=" << text << " find=" << find << " repl=" << repl
                                          << " all=" << all << " group=" << int(group)
                                          << " words=" << words;
        MEM_FR(&got);
    }
}

TEST(Replace, PendingErrorReturnsTheArgument) {
    char* t = S_CP("abc");
    S_ERR("pending");
    EXPECT_EQ(C_TXT(t, "a", "b", 1, 0), t);
    EXPECT_EQ(C_WD(t, "abc", "b", 1, 0), t);
    const char* ro = "abc";
    EXPECT_EQ(UT_C_TXT(ro, "a", "b", 1, 0), ro);
    EXPECT_EQ(UT_C_WD(ro, "abc", "b", 1, 0), ro);
    EXPECT_STREQ(ERR_S(), "pending");
    EXPECT_STREQ(t, "abc");
    MEM_FR(&t);
}

TEST(Replace, WholeWordsOnly) {
    char* t = C_WD(S_CP("cat concat cat. Cat"), "cat", "dog", 1, 0);
    EXPECT_STREQ(t, "dog concat dog. dog");
    t = C_WD(t, "dog", "cat", 0, 0);
    EXPECT_STREQ(t, "cat concat dog. dog");
    t = C_WD(t, "con*", "x", 1, '*');
    EXPECT_STREQ(t, "cat x dog. dog");
    char* same = t;
    EXPECT_EQ(C_WD(t, "do", "x", 1, 0), same);
    MEM_FR(&t);
}

TEST(Replace, TemporaryFormsLeaveTheArgumentAlone) {
    const char line[] = "a&lt;b&gt;";
    char* r = UT_C_TXT(line, "&lt;", "<", 1, 0);
    EXPECT_STREQ(r, "a<b&gt;");
    EXPECT_STREQ(line, "a&lt;b&gt;");
    EXPECT_STREQ(UT_C_TXT(line, "zz", "<", 1, 0), line);
    EXPECT_STREQ(UT_C_WD("old older old", "old", "new", 1, 0), "new older new");
    EXPECT_STREQ(UT_C_TXT(nullptr, nullptr, "r", 1, 0), "r");
    EXPECT_EQ(UT_C_TXT(nullptr, "x", "r", 1, 0), nullptr);
    const std::string big(65534, 'a');
    EXPECT_EQ(UT_C_TXT(big.c_str(), "a", "bb", 0, 0), nullptr);
    EXPECT_STREQ(ERR_S(), "String overflow [SM_RP] [C_TXT] [UT_C_TXT]");
}

TEST(CharacterReplace, FirstOrAllInPlace) {
    char t[] = "a/b/c";
    RPL_CH('/', '-', t, 0);
    EXPECT_STREQ(t, "a-b/c");
    RPL_CH('/', '-', t, 1);
    EXPECT_STREQ(t, "a-b-c");
    RPL_CH('-', '-', t, 1);
    RPL_CH(0, 'x', t, 1);
    EXPECT_STREQ(t, "a-b-c");
    RPL_CH('-', 0, t, 1);
    EXPECT_STREQ(t, "a");
    EXPECT_STREQ(t + 2, "b-c");
    RPL_CH('a', 'b', nullptr, 1);
    S_ERR("pending");
    RPL_CH('a', 'z', t, 1);
    EXPECT_STREQ(t, "a");
}
