// Matching of whole texts, buffer prefixes and endings.
#include <gtest/gtest.h>

#include <string>

#include "lb.h"

TEST(WholeTextMatch, CaseFlagDecidesLetterCase) {
    EXPECT_EQ(S_MT("ABC", "abc", 0, 1, 0, 0), 1);
    EXPECT_EQ(S_MT("ABC", "abc", 1, 1, 0, 0), 0);
    EXPECT_EQ(S_MT("127.0.0.1", "127.0.0.1", 0, 1, 0, 0), 1);
    EXPECT_EQ(S_MT("127.0.0.1", "127.0.0.10", 0, 1, 0, 0), 0);
    // Only A-Z fold: bytes above 127 compare as themselves.
    EXPECT_EQ(S_MT("\xe9", "\xc9", 0, 1, 0, 0), 0);
    // Case folding also holds on the character-by-character walk (wild set).
    EXPECT_EQ(S_MT("AbC", "aBc", 0, 1, '?', 0), 1);
    EXPECT_EQ(S_MT("AbC", "aBc", 1, 1, '?', 0), 0);
}

TEST(WholeTextMatch, RelaxedPunctuationMatchesAnyNonAlphanumeric) {
    EXPECT_EQ(S_MT("a-b", "a b", 0, 0, 0, 0), 1);
    EXPECT_EQ(S_MT("a-b", "a b", 0, 1, 0, 0), 0);
    EXPECT_EQ(S_MT("a1b", "a b", 0, 0, 0, 0), 0);
    EXPECT_EQ(S_MT("a1b", "a b", 0, 1, 0, 0), 0);
    EXPECT_EQ(S_MT("x.y/z", "X/Y\xff" "Z", 0, 0, 0, 0), 1);
    EXPECT_EQ(S_MT("x.y", "X/Y", 1, 0, 0, 0), 0);
    // Lengths still count.
    EXPECT_EQ(S_MT("a-", "a", 0, 0, 0, 0), 0);
}

TEST(WholeTextMatch, WildStandsInFirstTextOnly) {
    EXPECT_EQ(S_MT("a?c", "abc", 0, 1, '?', 0), 1);
    EXPECT_EQ(S_MT("abc", "a?c", 0, 1, '?', 0), 0);
    EXPECT_EQ(S_MT("a?", "abc", 0, 1, '?', 0), 0);
    EXPECT_EQ(S_MT("???", "ab", 0, 1, '?', 0), 0);
    EXPECT_EQ(S_MT("a?", "a-", 0, 0, '?', 0), 1);
}

TEST(WholeTextMatch, EmptyAndNullTexts) {
    EXPECT_EQ(S_MT("", "", 0, 1, 0, 0), 1);
    EXPECT_EQ(S_MT("", "x", 0, 1, 0, 0), 0);
    EXPECT_EQ(S_MT("x", "", 0, 0, '?', 0), 0);
    EXPECT_EQ(S_MT(nullptr, nullptr, 0, 1, 0, 0), 1);
    EXPECT_EQ(S_MT(nullptr, "", 0, 1, 0, 0), 0);
    EXPECT_EQ(S_MT("", nullptr, 0, 1, 0, '*'), 0);
    EXPECT_EQ(S_MT(nullptr, nullptr, 0, 1, 0, '*'), 1);
    EXPECT_EQ(err_, 0);
}

TEST(WholeTextMatch, PendingErrorGivesNoMatchAndIsKept) {
    S_ERR("earlier");
    EXPECT_EQ(S_MT("a", "a", 0, 1, 0, 0), 0);
    EXPECT_EQ(S_MT(nullptr, nullptr, 0, 1, 0, 0), 0);
    EXPECT_EQ(BF_MT("a", "a", 65535, 0, 1, 0), 0);
    EXPECT_EQ(S_END_MT("a", "a", 0, 1, 0), 0);
    EXPECT_STREQ(ERR_S(), "earlier");
}

TEST(GroupMatch, PatternMustCoverTheWholeSubject) {
    EXPECT_EQ(S_MT("abc", "a*c", 0, 1, 0, '*'), 1);
    EXPECT_EQ(S_MT("abc", "a*", 0, 1, 0, '*'), 1);
    EXPECT_EQ(S_MT("abc", "*c", 0, 1, 0, '*'), 1);
    EXPECT_EQ(S_MT("abc", "*b", 0, 1, 0, '*'), 0);
    EXPECT_EQ(S_MT("abc", "b*", 0, 1, 0, '*'), 0);
    EXPECT_EQ(S_MT("abc", "abc", 0, 1, 0, '*'), 1);
    EXPECT_EQ(S_MT("abcd", "abc", 0, 1, 0, '*'), 0);
    // A group stands for an empty run too, and runs of group characters are one.
    EXPECT_EQ(S_MT("ab", "a**b*", 0, 1, 0, '*'), 1);
    EXPECT_EQ(S_MT("report.TXT", "*.txt", 0, 1, 0, '*'), 1);
    EXPECT_EQ(S_MT("report.TXT", "*.txt", 1, 1, 0, '*'), 0);
}

TEST(GroupMatch, SegmentsTakeTheirFirstOccurrence) {
    EXPECT_EQ(S_MT("abcbc", "*bc", 0, 1, 0, '*'), 0);
    EXPECT_EQ(S_MT("abcbc", "a*bc", 0, 1, 0, '*'), 0);
    EXPECT_EQ(S_MT("abcbc", "*bc*", 0, 1, 0, '*'), 1);
    EXPECT_EQ(S_MT("aXbXc", "a*X*c", 0, 1, 0, '*'), 1);
}

TEST(GroupMatch, WildAndGroupStandInThePattern) {
    EXPECT_EQ(S_MT("abc", "a?c", 0, 1, '?', '*'), 1);
    EXPECT_EQ(S_MT("a?c", "abc", 0, 1, '?', '*'), 0);
    EXPECT_EQ(S_MT("file1.log", "file?.*", 0, 1, '?', '*'), 1);
    // The literal flag plays no part here.
    EXPECT_EQ(S_MT("a-b", "a b*", 0, 0, 0, '*'), 0);
}

TEST(GroupMatch, PatternOfOnlyGroupCharactersIsLiteral) {
    EXPECT_EQ(S_MT("*", "*", 0, 1, 0, '*'), 1);
    EXPECT_EQ(S_MT("x", "*", 0, 1, 0, '*'), 0);
    EXPECT_EQ(S_MT("", "*", 0, 1, 0, '*'), 0);
    // Empty ranges never match in the search, so neither do two empty texts here.
    EXPECT_EQ(S_MT("", "", 0, 1, 0, '*'), 0);
}

TEST(GroupMatch, LongHostilePatternsAnswerCorrectly) {
    // Many segments against a long run that holds all but the last one: each segment is
    // tried once, so this is quick, and the answer is no.
    const std::string subject(60000, 'a');
    std::string pattern;
    for (int i = 0; i < 2000; ++i) pattern += "*a";
    EXPECT_EQ(S_MT(subject.c_str(), (pattern + "*b").c_str(), 0, 1, 0, '*'), 0);
    EXPECT_EQ(S_MT(subject.c_str(), (pattern + "*").c_str(), 0, 1, 0, '*'), 1);
    EXPECT_EQ(S_MT((subject + "b").c_str(), (pattern + "*B").c_str(), 0, 1, 0, '*'), 1);
    // A long segment with wild cards, matched near the end of a repetitive subject.
    const std::string seg = std::string(300, 'a') + "?" + std::string(300, 'a') + "b";
    EXPECT_EQ(S_MT((subject + "xb").c_str(), ("*" + seg).c_str(), 0, 1, '?', '*'), 0);
    EXPECT_EQ(S_MT((subject + "b").c_str(), ("*" + seg).c_str(), 0, 1, '?', '*'), 1);
}

TEST(GroupMatch, SubjectBeyondTheLongestRangeNeverMatches) {
    const std::string subject(65535, 'a');
    EXPECT_EQ(S_MT(subject.c_str(), "*", 0, 1, 0, '*'), 0);
    EXPECT_EQ(S_MT(subject.c_str(), "a*", 0, 1, 0, '*'), 0);
    EXPECT_EQ(S_MT(subject.c_str() + 1, "a*", 0, 1, 0, '*'), 1);
}

TEST(BufferMatch, PrefixOfTheWholePattern) {
    EXPECT_EQ(BF_MT("to:/home", "TO:", 65535, 0, 1, 0), 1);
    EXPECT_EQ(BF_MT("T", "TO:", 65535, 0, 1, 0), 0);
    EXPECT_EQ(BF_MT("to:", "TO:", 65535, 1, 1, 0), 0);
    EXPECT_EQ(BF_MT("Mar", "March", 3, 0, 1, 0), 1);
    EXPECT_EQ(BF_MT("anything", "else", 0, 1, 1, 0), 1);
    EXPECT_EQ(BF_MT("", "", 65535, 1, 1, 0), 1);
}

TEST(BufferMatch, ExactCompareReadsBytesPastTerminators) {
    EXPECT_EQ(BF_MT("a\0b", "a\0b", 3, 1, 1, 0), 1);
    EXPECT_EQ(BF_MT("a\0b", "a\0c", 3, 1, 1, 0), 0);
    // Without regard to case the comparison stops where both texts end.
    EXPECT_EQ(BF_MT("a\0b", "A\0c", 3, 0, 1, 0), 1);
    EXPECT_EQ(BF_MT("ab", "AB", 10, 0, 1, 0), 1);
    EXPECT_EQ(BF_MT("ab", "ABC", 10, 0, 1, 0), 0);
}

TEST(BufferMatch, WildAndRelaxedComparePairByPair) {
    EXPECT_EQ(BF_MT("T?:x", "TO:", 65535, 0, 1, '?'), 1);
    EXPECT_EQ(BF_MT("TO:", "T?:", 65535, 0, 1, '?'), 0);
    EXPECT_EQ(BF_MT("a b/c", "A-B", 65535, 0, 0, 0), 1);
    EXPECT_EQ(BF_MT("a b/c", "A-B", 65535, 1, 0, 0), 0);
    // A text that ends matches only where the other ends too.
    EXPECT_EQ(BF_MT("ab", "ab", 5, 0, 0, 0), 1);
    EXPECT_EQ(BF_MT("a", "a-", 5, 0, 0, 0), 0);
    EXPECT_EQ(BF_MT("a?", "a", 5, 0, 1, '?'), 0);
}

TEST(EndingMatch, SuffixComparedWithTheSameOptions) {
    EXPECT_EQ(S_END_MT("file.BIN", ".bin", 0, 1, 0), 1);
    EXPECT_EQ(S_END_MT("file.BIN", ".bin", 1, 1, 0), 0);
    EXPECT_EQ(S_END_MT("in", ".bin", 0, 1, 0), 0);
    EXPECT_EQ(S_END_MT(".bin", ".bin", 0, 1, 0), 1);
    EXPECT_EQ(S_END_MT("run.sh", ".bin", 0, 1, 0), 0);
    EXPECT_EQ(S_END_MT("cmd &", "&", 0, 1, 0), 1);
    EXPECT_EQ(S_END_MT("abc", "", 0, 1, 0), 1);
    EXPECT_EQ(S_END_MT("x.b?n", ".bin", 0, 1, '?'), 1);
    EXPECT_EQ(S_END_MT("x.bin", ".b?n", 0, 1, '?'), 0);
    EXPECT_EQ(S_END_MT("x_bin", ".bin", 0, 0, 0), 1);
    EXPECT_EQ(S_END_MT(nullptr, nullptr, 0, 1, 0), 1);
    EXPECT_EQ(S_END_MT("a", nullptr, 0, 1, 0), 0);
}
