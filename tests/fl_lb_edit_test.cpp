// Text files as lines: searching, fetching, counting, comparing, editing and sorting.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "lb.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

using namespace lbtest;

// The work files the edits use; none may be left behind.
bool no_work_files() {
    for (const char* w : {"FILE_WD_RPL.TMP", "FILE_TXT_RPL.TMP", "file_s_remove.tmp",
                          "file_ln_remove.tmp", "file_redund.tmp"})
        if (exists(w)) return false;
    return true;
}

class Files : public lbtest::InTempDir<> {
protected:
    Files() : InTempDir("fl_edit_", 022) {}
};

using Searching = Files;
using Counting = Files;
using Comparing = Files;
using Replacing = Files;
using Removing = Files;
using Sorting = Files;

}  // namespace

// ---- Searches ---------------------------------------------------------------------------

TEST_F(Searching, FirstMatchingLineByOffsetIndexAndText) {
    put_file("f", "abc\nbcd\nBxx\n");
    EXPECT_EQ(FILE_LN("f", "b*", '*'), 1u);
    EXPECT_EQ(FILE_LN_P("f", "b*", '*'), 4);
    EXPECT_EQ(text(FILE_S("f", "b*", '*')), "bcd");
    // Letters without regard to case; without a group character the whole line must match.
    EXPECT_EQ(FILE_LN("f", "BXX", 0), 2u);
    EXPECT_EQ(FILE_LN_P("f", "BXX", 0), 8);
    EXPECT_EQ(FILE_LN("f", "bc", 0), 4294967295u);
    EXPECT_EQ(FILE_LN_P("f", "bc", 0), -1);
    EXPECT_EQ(FILE_S("f", "bc", 0), nullptr);
    EXPECT_EQ(pending(), "<none>");

    // Offsets count the line ends as they are in the file.
    put_file("crlf", "abc\r\nbcd\r\n");
    EXPECT_EQ(FILE_LN_P("crlf", "bcd", 0), 5);
}

TEST_F(Searching, MissingFilesAndPendingErrorsFindNothingSilently) {
    EXPECT_EQ(FILE_LN("nope", "*", '*'), 4294967295u);
    EXPECT_EQ(FILE_LN_P("nope", "*", '*'), -1);
    EXPECT_EQ(FILE_S("nope", "*", '*'), nullptr);
    EXPECT_EQ(FILE_LN_S("nope", 0, 0), nullptr);
    EXPECT_EQ(pending(), "<none>");

    put_file("f", "a\n");
    S_ERR("earlier");
    EXPECT_EQ(FILE_LN("f", "a", 0), 4294967295u);
    EXPECT_EQ(FILE_LN_P("f", "a", 0), -1);
    EXPECT_EQ(FILE_S("f", "a", 0), nullptr);
    EXPECT_EQ(FILE_LN_S("f", 0, 1), nullptr);
    EXPECT_EQ(FILE_LN_CNT("f", 1), 0);
    EXPECT_EQ(pending(), "earlier");
}

TEST_F(Searching, LineByNumber) {
    put_file("f", "zero\r\none\n\nthree");
    EXPECT_EQ(text(FILE_LN_S("f", 0, 1)), "zero");
    EXPECT_EQ(text(FILE_LN_S("f", 1, 1)), "one");
    EXPECT_EQ(text(FILE_LN_S("f", 2, 1)), "");
    EXPECT_EQ(text(FILE_LN_S("f", 3, 1)), "three");
    EXPECT_EQ(pending(), "<none>");

    put_file("g", "a\nb\nc\n");
    EXPECT_EQ(FILE_LN_S("g", 5, 1), nullptr);
    EXPECT_EQ(pending(), "Line 5 not found");
    EXPECT_EQ(FILE_LN_S("g", 3, 0), nullptr);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(FILE_LN_S("nope", 0, 1), nullptr);
    EXPECT_EQ(pending(), "\"nope\" not found [FILE_LN_S]");
}

// ---- Counting ---------------------------------------------------------------------------

TEST_F(Counting, CountsLineFeedsOnly) {
    put_file("a", "a\nb");
    EXPECT_EQ(FILE_LN_CNT("a", 1), 1);
    put_file("b", "a\nb\n");
    EXPECT_EQ(FILE_LN_CNT("b", 1), 2);
    put_file("cr", "a\rb\r");
    EXPECT_EQ(FILE_LN_CNT("cr", 1), 0);
    put_file("empty", "");
    EXPECT_EQ(FILE_LN_CNT("empty", 1), 0);
    // Across many blocks, with line feeds on the block edges.
    put_file("big", std::string(16384 * 5, '\n') + "x\n");
    EXPECT_EQ(FILE_LN_CNT("big", 1), 16384 * 5 + 1);
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Counting, FailureIsRaisedOnlyWithReport) {
    EXPECT_EQ(FILE_LN_CNT("nope", 0), 0);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(FILE_LN_CNT("nope", 1), 0);
    EXPECT_EQ(pending(), "\"nope\" not found [FILE_LN_CNT]");
    fs::create_directory("d");
    EXPECT_EQ(FILE_LN_CNT("d", 1), 0);
    EXPECT_EQ(pending(), "\"d\" is a dir [FILE_LN_CNT]");
}

// ---- Comparing --------------------------------------------------------------------------

TEST_F(Comparing, ContentsDecideBlockByBlock) {
    std::string data(40000, '\0');
    std::mt19937 gen(5);
    for (auto& c : data) c = static_cast<char>(gen() & 0xFF);
    put_file("a", data);
    put_file("b", data);
    EXPECT_EQ(FILE_CMP("a", "b", 1), 1);
    data.back() = static_cast<char>(data.back() ^ 1);
    put_file("c", data);
    EXPECT_EQ(FILE_CMP("a", "c", 1), 0);
    data.front() = static_cast<char>(data.front() ^ 1);
    put_file("d", data.substr(0, 39999));
    EXPECT_EQ(FILE_CMP("a", "d", 1), 0);
    put_file("e1", "");
    put_file("e2", "");
    EXPECT_EQ(FILE_CMP("e1", "e2", 1), 1);
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Comparing, NamesEqualApartFromCaseCountAsOneFile) {
    put_file("ab", "one");
    put_file("AB", "two");
    EXPECT_EQ(FILE_CMP("ab", "AB", 1), 1);
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Comparing, BothMustBeRegularFiles) {
    put_file("a", "x");
    EXPECT_EQ(FILE_CMP("a", "nope", 0), 0);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(FILE_CMP("a", "nope", 1), 0);
    EXPECT_EQ(pending(), "\"nope\" not found [FILE_CMP]");
    EXPECT_EQ(FILE_CMP("nope", "nope", 1), 0);
    EXPECT_EQ(pending(), "\"nope\" not found [FILE_CMP]");
}

// ---- Replacing --------------------------------------------------------------------------

TEST_F(Replacing, WholeWordsOrAnyTextWithTheWorkFilesLineEnds) {
    put_file("w", "cat catalog cat\nno match\n");
    EXPECT_EQ(FILE_WD_RPL("w", "cat", "dog", 1, 0, 0), 1);
    // Lines leave through the work file, whose name gives CR LF.
    EXPECT_EQ(get_file("w"), "dog catalog dog\r\nno match\r\n");

    put_file("t", "cat catalog cat\nno match\n");
    EXPECT_EQ(FILE_TXT_RPL("t", "cat", "dog", 1, 0, 0), 1);
    EXPECT_EQ(get_file("t"), "dog dogalog dog\r\nno match\r\n");

    // Only the first occurrence in a line without all; letters without regard to case.
    put_file("f", "Cat cat\n");
    EXPECT_EQ(FILE_TXT_RPL("f", "CAT", "dog", 0, 0, 0), 1);
    EXPECT_EQ(get_file("f"), "dog cat\r\n");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_TRUE(no_work_files());
}

TEST_F(Replacing, StopsChangingAfterMxLines) {
    put_file("f", "a x\nb x\nc x\nd x\n");
    EXPECT_EQ(FILE_WD_RPL("f", "x", "y", 1, 0, 2), 2);
    EXPECT_EQ(get_file("f"), "a y\r\nb y\r\nc x\r\nd x\r\n");
    // A replacement that gives the same text is no change.
    put_file("g", "x x\n");
    EXPECT_EQ(FILE_TXT_RPL("g", "x", "x", 1, 0, 0), 0);
    EXPECT_EQ(get_file("g"), "x x\r\n");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_TRUE(no_work_files());
}

TEST_F(Replacing, MissingFileGivesTheOpenError) {
    EXPECT_EQ(FILE_WD_RPL("nope", "a", "b", 1, 0, 0), 0);
    EXPECT_EQ(pending(), "Open error on \"nope\" [FILE_WD_RPL]");
    EXPECT_EQ(FILE_TXT_RPL("nope", "a", "b", 1, 0, 0), 0);
    EXPECT_EQ(pending(), "Open error on \"nope\" [FILE_TXT_RPL]");
    EXPECT_FALSE(exists("nope"));
    EXPECT_TRUE(no_work_files());
}

// ---- Removing ---------------------------------------------------------------------------

TEST_F(Removing, LinesMatchingAPattern) {
    const std::string lines = "keep\nx1\nXyz\nkeep x\nx2\n";
    put_file("f", lines);
    EXPECT_EQ(FILE_LN_REMOVE("f", "x*", 0, '*'), 1);
    EXPECT_EQ(get_file("f"), "keep\r\nXyz\r\nkeep x\r\nx2\r\n");
    put_file("g", lines);
    EXPECT_EQ(FILE_LN_REMOVE("g", "x*", 1, '*'), 3);
    EXPECT_EQ(get_file("g"), "keep\r\nkeep x\r\n");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_TRUE(no_work_files());
}

TEST_F(Removing, LinesHoldingAText) {
    const std::string lines = "alpha\nBETA one\nbeta two\ngamma\n";
    put_file("f", lines);
    EXPECT_EQ(FILE_S_REMOVE("f", "beta", 1, 0), 2);
    EXPECT_EQ(get_file("f"), "alpha\r\ngamma\r\n");
    put_file("g", lines);
    EXPECT_EQ(FILE_S_REMOVE("g", "beta", 1, 1), 1);
    EXPECT_EQ(get_file("g"), "alpha\r\nBETA one\r\ngamma\r\n");
    put_file("h", lines);
    EXPECT_EQ(FILE_S_REMOVE("h", "a", 0, 0), 1);
    EXPECT_EQ(get_file("h"), "BETA one\r\nbeta two\r\ngamma\r\n");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_TRUE(no_work_files());
}

TEST_F(Removing, NothingRemovedLeavesTheFileUntouched) {
    put_file("f", "a\nb\n");
    EXPECT_EQ(FILE_S_REMOVE("f", "zzz", 1, 0), 0);
    EXPECT_EQ(FILE_LN_REMOVE("f", "z*", 1, '*'), 0);
    EXPECT_EQ(FILE_REDUND("f"), 0);
    EXPECT_EQ(get_file("f"), "a\nb\n");
    EXPECT_EQ(FILE_S_REMOVE("nope", "a", 1, 0), 0);
    EXPECT_EQ(FILE_LN_REMOVE("nope", "a", 1, 0), 0);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_TRUE(no_work_files());
}

TEST_F(Removing, AdjacentRepeatsOnly) {
    put_file("f", "a\nA\nb\na\n");
    EXPECT_EQ(FILE_REDUND("f"), 1);
    EXPECT_EQ(get_file("f"), "a\r\nb\r\na\r\n");
    put_file("g", "x\nx\nX\nx\n\n\n");
    EXPECT_EQ(FILE_REDUND("g"), 4);
    EXPECT_EQ(get_file("g"), "x\r\n\r\n");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(FILE_REDUND("nope"), 0);
    EXPECT_EQ(pending(), "Open error on \"nope\" [FILE_REDUND]");
    EXPECT_TRUE(no_work_files());
}

// ---- Sorting ----------------------------------------------------------------------------

TEST_F(Sorting, AscendingDescendingAndExactCase) {
    put_file("f", "b\nC\na\n");
    FILE_SORT("f", 0, 0, 0, 0);
    EXPECT_EQ(get_file("f"), "a\nb\nC\n");
    FILE_SORT("f", 0, 0, 1, 0);
    EXPECT_EQ(get_file("f"), "C\na\nb\n");
    FILE_SORT("f", 0, 0, 0, 1);
    EXPECT_EQ(get_file("f"), "C\nb\na\n");
    // Equal apart from case: the exact order breaks the tie.
    put_file("g", "b\nB\nA\na\n");
    FILE_SORT("g", 0, 0, 0, 0);
    EXPECT_EQ(get_file("g"), "A\na\nB\nb\n");
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Sorting, ManyLinesFollowTheCaseBlindOrderWithExactTies) {
    std::mt19937 gen(11);
    std::vector<std::string> lines;
    std::string data;
    for (int i = 0; i < 3000; ++i) {
        std::string l;
        for (std::size_t n = gen() % 6; n > 0; --n) l += "aAbB_zZ9"[gen() % 8];
        lines.push_back(l);
        data += l + "\n";
    }
    put_file("f.lst", data);
    FILE_SORT("f.lst", 0, 0, 0, 0);
    auto lower = [](std::string s) {
        for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return s;
    };
    std::sort(lines.begin(), lines.end(), [&](const std::string& x, const std::string& y) {
        return std::make_pair(lower(x), x) < std::make_pair(lower(y), y);
    });
    std::string want;
    for (const auto& l : lines) want += l + "\n";
    EXPECT_TRUE(get_file("f.lst") == want);

    FILE_SORT("f.lst", 0, 0, 0, 1);
    std::reverse(lines.begin(), lines.end());
    want.clear();
    for (const auto& l : lines) want += l + "\n";
    EXPECT_TRUE(get_file("f.lst") == want);
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Sorting, FromAColumnShortLinesCompareWhole) {
    put_file("f", "1 zeta\n2 alpha\n3 mid\n");
    FILE_SORT("f", 2, 0, 0, 0);
    EXPECT_EQ(get_file("f"), "2 alpha\n3 mid\n1 zeta\n");
    // "a" is not longer than the column, so it compares whole against the others.
    put_file("g", "xxb\na\nyya\n");
    FILE_SORT("g", 2, 0, 0, 0);
    EXPECT_EQ(get_file("g"), "a\nyya\nxxb\n");
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Sorting, TabsAreExpandedInTheSortedFile) {
    put_file("f", "x\ty\n\ta\n");
    FILE_SORT("f", 0, 1, 0, 0);
    EXPECT_EQ(get_file("f"), "        a\nx       y\n");
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Sorting, LineEndsStayAsTheFileHadThem) {
    put_file("crlf", "b\r\na\r\n");
    FILE_SORT("crlf", 0, 0, 0, 0);
    EXPECT_EQ(get_file("crlf"), "a\r\nb\r\n");
    put_file("lf.txt", "b\na\n");
    FILE_SORT("lf.txt", 0, 0, 0, 0);
    EXPECT_EQ(get_file("lf.txt"), "a\nb\n");
    // Without any line end, the name decides.
    put_file("one.txt", "only");
    FILE_SORT("one.txt", 0, 0, 0, 0);
    EXPECT_EQ(get_file("one.txt"), "only\r\n");
    put_file("empty.txt", "");
    FILE_SORT("empty.txt", 0, 0, 0, 0);
    EXPECT_EQ(get_file("empty.txt"), "");
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(Sorting, AFileThatCannotBeReadWholeIsLeftAlone) {
    const std::string data = "b\n" + std::string(40, 'x') + "\na\n";
    put_file("f", data);
    fl_s_rcsz = 16;
    FILE_SORT("f", 0, 0, 0, 0);
    EXPECT_EQ(pending(), "Read error on \"f\" (rec overflow on line 1) [FL_S] [FILE_SORT]");
    EXPECT_EQ(get_file("f"), data);

    FILE_SORT("nope", 0, 0, 0, 0);
    EXPECT_EQ(pending(), "Open error on \"nope\" [FILE_SORT]");
    EXPECT_FALSE(exists("nope"));
}
