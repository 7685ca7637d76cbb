// Directory listing: what a file-spec selects, the line layout of each option
// letter, hidden entries, recursion, the age filter, and squeezing the list's blank columns.
#include <dirent.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "lb.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

using lbtest::get_file;
using lbtest::pending;
using lbtest::put_file;

// The lines of a file, whatever their line ends.
Lines lines_of(const std::string& name) {
    Lines out;
    std::string text = get_file(name);
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(at, nl - at);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
        at = nl + 1;
    }
    return out;
}

Lines sorted(Lines l) {
    std::sort(l.begin(), l.end());
    return l;
}

// Names of a directory in the order the system hands them out.
Lines dir_order(const std::string& dir) {
    Lines names;
    DIR* d = opendir(dir.c_str());
    while (const dirent* e = d ? readdir(d) : nullptr) names.push_back(e->d_name);
    if (d) closedir(d);
    return names;
}

// A link's own times, not those of what it leads to.
void set_mtime(const std::string& name, std::time_t t) { lbtest::set_mtime(name, t, true); }

// Each test works in a fresh directory of its own, removed afterwards.
class Listing : public lbtest::InTempDir<> {
protected:
    Listing() : InTempDir("fl_dir_", 022) {}
    void SetUp() override {
        InTempDir::SetUp();
        dbg_vd = 0;
    }
    // a.c, b.c, x.h; sub/ with x.c, y and deeper/ with z.c
    void make_tree() {
        put_file("a.c", "aa");
        put_file("b.c", "bbb");
        put_file("x.h", "x");
        fs::create_directories("sub/deeper");
        put_file("sub/x.c", "x");
        put_file("sub/y", "y");
        put_file("sub/deeper/z.c", "z");
    }
};

using DirSpecs = Listing;
using DirHidden = Listing;
using DirRecursion = Listing;
using DirLayout = Listing;
using DirFilters = Listing;
using DirSqueeze = Listing;
using DirTrace = Listing;

}  // namespace

// ---- What a file-spec selects ----------------------------------------------------

TEST_F(DirSpecs, PatternInCurrentDirectoryGivesAbsolutePathsInDirectoryOrder) {
    make_tree();
    EXPECT_EQ(DIR_FILE("*.c", 0, 0, "F", 0, "list", 1, 0), 2u);
    EXPECT_EQ(pending(), "<none>");
    Lines expected;
    for (const std::string& n : dir_order("."))
        if (n == "a.c" || n == "b.c") expected.push_back(dir_ + "/" + n);
    EXPECT_EQ(lines_of("list"), expected);
}

TEST_F(DirSpecs, DirectoryNamedListsItsEntriesInTheFormPassed) {
    make_tree();
    EXPECT_EQ(DIR_FILE("sub", 0, 0, "F", 0, "list", 1, 0), 2u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"sub/x.c", "sub/y"}));
    EXPECT_EQ(DIR_FILE("sub/", 0, 0, "F", 0, "list", 1, 0), 2u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"sub/x.c", "sub/y"}));
    EXPECT_EQ(DIR_FILE((dir_ + "/sub").c_str(), 0, 0, "F", 0, "list", 1, 0), 2u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{dir_ + "/sub/x.c", dir_ + "/sub/y"}));
}

TEST_F(DirSpecs, PathWithPatternAndBarePattern) {
    make_tree();
    EXPECT_EQ(DIR_FILE("sub/*.c", 0, 0, "F", 0, "list", 1, 0), 1u);
    EXPECT_EQ(lines_of("list"), (Lines{"sub/x.c"}));
    // Letters match in either case; a name without wild cards is a pattern too.
    EXPECT_EQ(DIR_FILE("A.C", 0, 0, "f", 0, "list", 1, 0), 1u);
    EXPECT_EQ(lines_of("list"), (Lines{"a.c"}));
    EXPECT_EQ(DIR_FILE("*b*", 0, 0, "f", 1, "list", 1, 0), 2u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"b.c", "sub"}));
}

TEST_F(DirSpecs, EmptyNullAndDotSlashAreTheCurrentDirectory) {
    make_tree();
    const Lines all = {dir_ + "/a.c", dir_ + "/b.c", dir_ + "/x.h"};
    for (const char* fspec : {static_cast<const char*>(nullptr), "", "./"}) {
        EXPECT_EQ(DIR_FILE(fspec, 0, 0, "F", 0, "list", 1, 0), 3u) << (fspec ? fspec : "null");
        EXPECT_EQ(sorted(lines_of("list")), all) << (fspec ? fspec : "null");
    }
}

TEST_F(DirSpecs, DotDotIsTheParentOfTheCurrentDirectory) {
    make_tree();
    fs::current_path("sub");
    for (const char* fspec : {"..", "../"}) {
        EXPECT_EQ(DIR_FILE(fspec, 0, 0, "F", 1, "list", 1, 0), 4u) << fspec;
        EXPECT_EQ(sorted(lines_of("list")), (Lines{dir_ + "/a.c", dir_ + "/b.c", dir_ + "/sub", dir_ + "/x.h"}))
            << fspec;
    }
    // The root has no parent: ".." there is the root itself.
    fs::current_path("/");
    const std::uint32_t root = DIR_FILE("", 1, 0, "f", 1, nullptr, 1, 0);
    EXPECT_GT(root, 0u);
    EXPECT_EQ(DIR_FILE("..", 1, 0, "f", 1, nullptr, 1, 0), root);
}

TEST_F(DirSpecs, NothingMatchedRaisesOnlyWhenAsked) {
    make_tree();
    EXPECT_EQ(DIR_FILE("nothing*", 0, 0, "F", 0, "list", 1, 1), 0u);
    EXPECT_EQ(pending(), "\"nothing*\" not found");
    EXPECT_EQ(DIR_FILE("nothing*", 0, 0, "F", 0, "list", 1, 0), 0u);
    EXPECT_EQ(pending(), "<none>");
    EXPECT_TRUE(fs::exists("list"));
    EXPECT_EQ(get_file("list"), "");
    // A missing directory lists nothing; an empty directory's pattern is "*".
    EXPECT_EQ(DIR_FILE("nosuch/x*", 0, 0, "F", 0, nullptr, 1, 1), 0u);
    EXPECT_EQ(pending(), "\"x*\" not found");
    fs::create_directory("empty");
    EXPECT_EQ(DIR_FILE("empty", 0, 0, "F", 0, nullptr, 1, 1), 0u);
    EXPECT_EQ(pending(), "\"*\" not found");
}

TEST_F(DirSpecs, AppendingKeepsWhatTheListHeld) {
    make_tree();
    dir_file_remove_extra_spaces = 0;
    put_file("list", "first\n");
    EXPECT_EQ(DIR_FILE("*.h", 0, 0, "f", 0, "list", 2, 0), 1u);
    EXPECT_EQ(lines_of("list"), (Lines{"first", "x.h"}));
    EXPECT_EQ(DIR_FILE("*.h", 0, 0, "f", 0, "list", 1, 0), 1u);
    EXPECT_EQ(lines_of("list"), (Lines{"x.h"}));
}

TEST_F(DirSpecs, ListFileNeverListsItself) {
    make_tree();
    // By the name it was given (letters in either case, in any directory scanned)...
    put_file("sub/LIST", "");
    EXPECT_EQ(DIR_FILE("", 0, 1, "f", 0, "list", 1, 0), 6u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"a.c", "b.c", "x.c", "x.h", "y", "z.c"}));
    // ...and when named with a directory, by being the very same file.
    const std::string abs = dir_ + "/out.lst";
    EXPECT_EQ(DIR_FILE("*", 0, 0, "f", 0, abs.c_str(), 1, 0), 4u);
    EXPECT_EQ(sorted(lines_of(abs)), (Lines{"a.c", "b.c", "list", "x.h"}));
    EXPECT_EQ(DIR_FILE("*", 0, 0, "f", 0, "./out.lst", 1, 0), 4u);
    EXPECT_EQ(sorted(lines_of(abs)), (Lines{"a.c", "b.c", "list", "x.h"}));
}

TEST_F(DirSpecs, ListFileThatCannotBeOpened) {
    make_tree();
    EXPECT_EQ(DIR_FILE("*", 0, 0, "F", 0, "nodir/list", 1, 0), 0u);
    EXPECT_EQ(pending(), "Open error on \"nodir/list\" [DIR_FILE]");
}

TEST_F(DirSpecs, PendingErrorChangesNothing) {
    make_tree();
    EXPECT_EQ(DIR_FILE("*.c", 0, 0, "f", 0, nullptr, 1, 0), 2u);
    S_ERR("earlier");
    EXPECT_EQ(DIR_FILE("*", 0, 0, "f", 0, "list", 1, 1), 2u);  // the last count, untouched
    EXPECT_FALSE(fs::exists("list"));
    EXPECT_EQ(FILE_CNT("*", 0, 0), 2u);
    EXPECT_EQ(pending(), "earlier");
}

TEST_F(DirSpecs, FileCountWritesNothing) {
    make_tree();
    put_file("n.txt", "");
    put_file("m.TXT", "");
    fs::create_directory("d.txt");
    EXPECT_EQ(FILE_CNT("*.txt", 0, 0), 2u);
    EXPECT_EQ(FILE_CNT("*.txt", 1, 0), 2u);
    EXPECT_EQ(FILE_CNT("*.c", 1, 0), 4u);
    EXPECT_EQ(FILE_CNT("*.none", 0, 1), 0u);
    EXPECT_EQ(pending(), "\"*.none\" not found");
    EXPECT_EQ(sorted(dir_order(".")),
              (Lines{".", "..", "a.c", "b.c", "d.txt", "m.TXT", "n.txt", "sub", "x.h"}));
}

// ---- Hidden entries -----------------------------------------------------------------------

TEST_F(DirHidden, DotNamesOnlyWhenAsked) {
    put_file(".x", "");
    put_file(".hidden1", "");
    put_file("y", "");
    EXPECT_EQ(DIR_FILE("*", 0, 0, "f", 0, "list", 1, 0), 1u);
    EXPECT_EQ(lines_of("list"), (Lines{"y"}));
    EXPECT_EQ(DIR_FILE("*", 1, 0, "f", 1, "list", 1, 0), 3u);  // "." and ".." never
    EXPECT_EQ(sorted(lines_of("list")), (Lines{".hidden1", ".x", "y"}));
}

TEST_F(DirHidden, TransmitterExpandsADotPatternWithHiddenOn) {
    put_file(".hidden1", "1");
    put_file(".hidden2", "2");
    put_file(".other", "");
    put_file("hidden3", "");
    const std::string list = dir_ + "/pitchr.tmp";
    EXPECT_EQ(DIR_FILE(".hidden*", 1, 0, "F", 0, list.c_str(), 1, 0), 2u);
    EXPECT_EQ(sorted(lines_of(list)), (Lines{dir_ + "/.hidden1", dir_ + "/.hidden2"}));
    EXPECT_EQ(DIR_FILE(".hidden*", 0, 0, "F", 0, list.c_str(), 1, 0), 0u);
    EXPECT_EQ(DIR_FILE("*", 0, 0, "F", 0, list.c_str(), 1, 0), 1u);
    EXPECT_EQ(lines_of(list), (Lines{dir_ + "/hidden3"}));
}

// ---- Recursion ------------------------------------------------------------------------------

TEST_F(DirRecursion, PatternAppliesAtEveryLevel) {
    make_tree();
    EXPECT_EQ(DIR_FILE("*.c", 0, 1, "F", 0, "list", 1, 0), 4u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{dir_ + "/a.c", dir_ + "/b.c", dir_ + "/sub/deeper/z.c",
                                               dir_ + "/sub/x.c"}));
    EXPECT_EQ(DIR_FILE("sub", 0, 1, "F", 1, "list", 1, 0), 4u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"sub/deeper", "sub/deeper/z.c", "sub/x.c", "sub/y"}));
    EXPECT_EQ(DIR_FILE("", 0, 1, "f", 2, "list", 1, 0), 2u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"deeper", "sub"}));
}

TEST_F(DirRecursion, LinksAreNotFollowedAndHiddenDirectoriesNotEntered) {
    make_tree();
    fs::create_directory_symlink("sub", "lnk");
    fs::create_directory_symlink(".", "loop");
    fs::create_directory(".git");
    put_file(".git/h.c", "");
    EXPECT_EQ(DIR_FILE("*.c", 0, 1, "f", 0, "list", 1, 0), 4u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"a.c", "b.c", "x.c", "z.c"}));
    EXPECT_EQ(DIR_FILE("*.c", 1, 1, "f", 0, "list", 1, 0), 5u);
    // Links to directories are listed as entries of their own, never as directories.
    EXPECT_EQ(DIR_FILE("l*", 0, 1, "f", 0, "list", 1, 0), 2u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"lnk", "loop"}));
}

TEST_F(DirRecursion, DepthIsBounded) {
    std::string path;
    for (int i = 0; i < 300; ++i) {
        path += "d/";
        ASSERT_TRUE(fs::create_directory(path));
        put_file(path + "f", "");
    }
    put_file("f", "");
    // The top level and 256 levels below it.
    EXPECT_EQ(FILE_CNT("f", 1, 0), 257u);
    EXPECT_EQ(pending(), "<none>");
}

TEST_F(DirRecursion, LongNamesAreListed) {
    const std::string longest(255, 'n');
    fs::create_directory("sub");
    put_file("sub/" + longest, "");
    put_file("sub/" + std::string(254, 'm') + "*", "");
    fs::create_directory("sub/s*t");
    put_file("sub/s*t/u", "");
    EXPECT_EQ(DIR_FILE("*", 0, 1, "F", 0, "list", 1, 0), 3u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{dir_ + "/sub/" + std::string(254, 'm') + "*",
                                               dir_ + "/sub/" + longest, dir_ + "/sub/s*t/u"}));
}

TEST_F(DirRecursion, NamesWithLineEndsAreLeftOut) {
    put_file("plain", "");
    put_file("a\n/etc/passwd", "");
    put_file("b\r", "");
    fs::create_directory("d\nx");
    put_file("d\nx/inner", "");
    fs::create_symlink("two\nlines", "ln");
    EXPECT_EQ(DIR_FILE("*", 0, 1, "fl", 0, "list", 1, 0), 2u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"ln -> two?lines", "plain"}));
    EXPECT_EQ(FILE_CNT("*", 1, 0), 3u);  // the list file is not named when counting
}

// ---- Line layout ------------------------------------------------------------------------------

TEST_F(DirLayout, EveryOptionLetter) {
    dir_file_remove_extra_spaces = 0;
    put_file("f", "12345");
    chmod("f", 0644);
    fs::create_directory("d");
    chmod("d", 0755);
    fs::create_symlink("f", "ln");
    std::tm when{};
    when.tm_year = 2023 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 7;
    when.tm_hour = 15;
    when.tm_min = 4;
    when.tm_sec = 5;
    when.tm_isdst = -1;
    const std::time_t t = std::mktime(&when);
    for (const char* n : {"f", "d", "ln"}) set_mtime(n, t);

    char owner[40];
    char group[40];
    std::snprintf(owner, sizeof owner, "%-32.32s", getpwuid(getuid())->pw_name);
    std::snprintf(group, sizeof group, "%-32.32s", getgrgid(getgid())->gr_name);
    const std::string secs = std::to_string(static_cast<long long>(t));
    const std::string common = "03/07/2023|03:04P|";
    const std::string tail = "|" + std::string(10 - secs.size(), ' ') + secs + "|" + owner + "|" + group + "|";

    EXPECT_EQ(DIR_FILE("*", 0, 0, "f|l|d|t|s|T|o|g|m|x", 1, "list", 1, 0), 3u);
    EXPECT_EQ(sorted(lines_of("list")),
              (Lines{"d||" + common + "       <DIR>" + tail + "-rwxr-xr-x|x",
                     "f||" + common + "           5" + tail + "-rw-r--r--|x",
                     "ln| -> f|" + common + "           1" + tail + "lrwxrwxrwx|x"}));
}

TEST_F(DirLayout, DefaultLayoutIsDateTimeSizeAndPath) {
    dir_file_remove_extra_spaces = 0;
    put_file("f", "123");
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 31;
    when.tm_hour = 0;
    when.tm_min = 30;
    when.tm_isdst = -1;
    set_mtime("f", std::mktime(&when));
    EXPECT_EQ(DIR_FILE("f", 0, 0, nullptr, 0, "list", 1, 0), 1u);
    EXPECT_EQ(lines_of("list"), (Lines{"12/31/2026 12:30A " + std::string(11, ' ') + "3 " + dir_ + "/f"}));
}

TEST_F(DirLayout, OwnerWithoutANameShowsTheNumber) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
    put_file("f", "");
    ASSERT_EQ(chown("f", 54321, 54322), 0);
    if (getpwuid(54321) || getgrgid(54322)) GTEST_SKIP() << "ids have names here";
    dir_file_remove_extra_spaces = 0;
    EXPECT_EQ(DIR_FILE("f", 0, 0, "o|g", 0, "list", 1, 0), 1u);
    EXPECT_EQ(lines_of("list"), (Lines{std::string(27, ' ') + "54321|" + std::string(27, ' ') + "54322"}));
}

// ---- Filters ------------------------------------------------------------------------------------

TEST_F(DirFilters, DirsSelectsEntriesByKind) {
    make_tree();
    dir_file_remove_extra_spaces = 0;
    EXPECT_EQ(DIR_FILE("", 0, 0, "s f", 2, "list", 1, 0), 1u);
    EXPECT_EQ(lines_of("list"), (Lines{"       <DIR> sub"}));
    EXPECT_EQ(DIR_FILE("", 0, 0, "f", 1, "list", 1, 0), 4u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"a.c", "b.c", "sub", "x.h"}));
    EXPECT_EQ(DIR_FILE("", 0, 0, "f", 0, "list", 1, 0), 3u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"a.c", "b.c", "x.h"}));
}

TEST_F(DirFilters, AgeKeepsOnlyRecentEntries) {
    put_file("new", "");
    put_file("old", "");
    set_mtime("old", std::time(nullptr) - 3600);
    dir_file_age_secs = 60;
    EXPECT_EQ(DIR_FILE("*", 0, 0, "f", 0, "list", 1, 0), 1u);
    EXPECT_EQ(lines_of("list"), (Lines{"new"}));
    dir_file_age_secs = 0;
    EXPECT_EQ(FILE_CNT("*", 0, 0), 3u);  // the list file too: counting names none
}

// ---- Squeezing blank columns ----------------------------------------------------------------

TEST_F(DirSqueeze, ListColumnsAreCompactedByDefault) {
    put_file("a", "12345");
    put_file("bb", std::string(123, 'x'));
    EXPECT_EQ(DIR_FILE("*", 0, 0, "s f", 0, "list", 1, 0), 2u);
    EXPECT_EQ(sorted(lines_of("list")), (Lines{"   5 a", " 123 bb"}));
    EXPECT_FALSE(fs::exists("file_remove_extra_spaces.tmp"));
}

TEST_F(DirSqueeze, RunsBlankInEveryLineKeepOneColumn) {
    put_file("t", "a   b  c  \n"
                  "d   e  fg\n"
                  "\n"
                  "h      i\n");
    FILE_REMOVE_EXTRA_SPACES("t");
    EXPECT_EQ(pending(), "<none>");
    // Columns 1-3 and 5-6 are blank in every non-empty line: each run keeps one column.
    // Column 4 is blank in the last line only and stays; trailing blanks go.
    EXPECT_EQ(lines_of("t"), (Lines{"a b c", "d e fg", "", "h   i"}));
    EXPECT_FALSE(fs::exists("file_remove_extra_spaces.tmp"));
}

TEST_F(DirSqueeze, ColumnsFrom512OnAreKept) {
    const std::string head = "x" + std::string(509, ' ') + "y";  // columns 0-510
    put_file("t", head + "    z\n" + head + "    w\n");
    FILE_REMOVE_EXTRA_SPACES("t");
    EXPECT_EQ(pending(), "<none>");
    const std::string squeezed = "x y";
    // Columns 511-514 are blank in both lines, but only 511 is tracked: 512 on stay.
    EXPECT_EQ(lines_of("t"), (Lines{squeezed + "    z", squeezed + "    w"}));
}

TEST_F(DirSqueeze, WorkFileGoesBesideTheList) {
    fs::create_directory("out");
    put_file("out/list", "a  b\n");
    // A work file in the current directory could not be made.
    fs::create_directory("file_remove_extra_spaces.tmp");
    FILE_REMOVE_EXTRA_SPACES("out/list");
    EXPECT_EQ(pending(), "<none>");
    EXPECT_EQ(lines_of("out/list"), (Lines{"a b"}));
    EXPECT_EQ(sorted(dir_order("out")), (Lines{".", "..", "list"}));
}

TEST_F(DirSqueeze, MissingFileRaisesWithTrail) {
    FILE_REMOVE_EXTRA_SPACES("missing");
    EXPECT_EQ(pending(), "Open error on \"missing\" [FILE_REMOVE_EXTRA_SPACES]");
}

// ---- Debug trace ---------------------------------------------------------------------------

TEST_F(DirTrace, WrittenAboveLevelTwoOnly) {
    make_tree();
    dbg_ = 2;
    EXPECT_EQ(DIR_FILE("*.c", 0, 0, "f", 0, nullptr, 1, 0), 2u);
    EXPECT_FALSE(fs::exists("dbg.log"));
    dbg_ = 3;
    dbg_tm_fmt = nullptr;
    EXPECT_EQ(DIR_FILE("*.c", 0, 0, "f", 0, nullptr, 1, 0), 2u);
    dbg_ = 0;
    const Lines trail = lines_of("dbg.log");
    ASSERT_GE(trail.size(), 5u);
    EXPECT_EQ(Lines(trail.begin(), trail.begin() + 5),
              (Lines{"DIR_FILE:0:fspec=*.c", "DIR_FILE:1:dir0=" + dir_,
                     "DIR_FILE:7:dir=" + dir_ + " fspec=*.c", "DIR_FILE:8:dir=" + dir_ + "/",
                     "DIR_FILE:9:fspec0=*.c"}));
    for (const char* line : {"DIR_FILE:10:d_name=a.c", "DIR_FILE:16:fspec0=*.c", "DIR_FILE:16:proc=0"})
        EXPECT_NE(std::find(trail.begin(), trail.end(), line), trail.end()) << line;
}
