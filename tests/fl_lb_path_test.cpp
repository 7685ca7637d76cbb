// Path texts, the current directory and the search of the executable search path.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "lb.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::string str(const char* s) { return lbtest::text(s, "(nullptr)"); }

// Runs each test in a fresh directory of its own.
class InTmpDir : public lbtest::InTempDir<fs::path> {
protected:
    InTmpDir() : InTempDir("fl_lb_path_") {}
    static void touch(const fs::path& p) { std::ofstream(p) << "x"; }
};

class CurrentDirectory : public InTmpDir {};
class SearchPath : public InTmpDir {};

}  // namespace

TEST(PathTexts, NameAndDirectoryParts) {
    EXPECT_EQ(str(FSPEC_FNAM("a/b/c.txt")), "c.txt");
    EXPECT_EQ(str(FSPEC_FNAM("a/b/")), "");
    EXPECT_EQ(str(FSPEC_FNAM("file")), "file");
    EXPECT_EQ(str(FSPEC_FNAM("")), "");
    EXPECT_EQ(FSPEC_FNAM(nullptr), nullptr);

    EXPECT_EQ(str(FSPEC_DIR("a/b/c.txt", 1)), "a/b/");
    EXPECT_EQ(str(FSPEC_DIR("a/b/c.txt", 0)), "a/b");
    EXPECT_EQ(FSPEC_DIR("file", 1), nullptr);
    EXPECT_EQ(FSPEC_DIR("", 1), nullptr);
    EXPECT_EQ(FSPEC_DIR(nullptr, 1), nullptr);
    // The root keeps its delimiter either way.
    EXPECT_EQ(str(FSPEC_DIR("/x", 1)), "/");
    EXPECT_EQ(str(FSPEC_DIR("/x", 0)), "/");
    EXPECT_FALSE(err_);
}

TEST(PathTexts, ExtensionsSplitAtTheLastDot) {
    EXPECT_EQ(str(FILE_EXT("archive.tar.gz")), "gz");
    EXPECT_EQ(str(FILE_EXT("dir.d/file")), "d/file");
    EXPECT_EQ(str(FILE_EXT("name.")), "");
    EXPECT_EQ(FILE_EXT("noext"), nullptr);
    EXPECT_EQ(FILE_EXT(""), nullptr);

    EXPECT_EQ(str(FILE_LESS_EXT("archive.tar.gz")), "archive.tar");
    EXPECT_EQ(str(FILE_LESS_EXT(".profile")), "");
    const char* bare = "noext";
    EXPECT_EQ(FILE_LESS_EXT(bare), bare);  // the argument itself, not a copy
    const char* empty = "";
    EXPECT_EQ(FILE_LESS_EXT(empty), empty);
    EXPECT_EQ(FILE_LESS_EXT(nullptr), nullptr);
    EXPECT_FALSE(err_);
}

TEST(PathTexts, NewExtensionReplacesFromTheFirstDot) {
    EXPECT_EQ(str(EXT_FL("archive.tar.gz", ".bak")), "archive.bak");
    EXPECT_EQ(str(EXT_FL("readme", ".txt")), "readme.txt");
    EXPECT_EQ(str(EXT_FL("a.b", "")), "a");
    EXPECT_EQ(str(EXT_FL("a.b", nullptr)), "a");
    EXPECT_EQ(EXT_FL(nullptr, ".x"), nullptr);
    EXPECT_FALSE(err_);
}

TEST(PathTexts, PendingErrorGivesNeutralResults) {
    S_ERR("first");
    EXPECT_EQ(FSPEC_FNAM("a/b"), nullptr);
    EXPECT_EQ(FSPEC_DIR("a/b", 1), nullptr);
    EXPECT_EQ(FILE_EXT("a.b"), nullptr);
    EXPECT_EQ(FILE_LESS_EXT("a.b"), nullptr);
    EXPECT_EQ(str(EXT_FL("a.b", ".c")), "?");
    EXPECT_EQ(CUR_DIR(nullptr), nullptr);
    EXPECT_EQ(FIND_FILE("sh", 1), nullptr);
    PTH_OP();
    EXPECT_EQ(PTH_S("sh"), nullptr);
    CHG_DRV('C');
    CHG_DRV_DIR("/");
    EXPECT_EQ(str(ERR_S()), "first");
}

TEST_F(CurrentDirectory, ReadInBothForms) {
    EXPECT_EQ(str(CUR_DIR(nullptr)), dir_.string());
    char bf[257] = {};
    EXPECT_EQ(CUR_DIR(bf), bf);
    EXPECT_EQ(std::string(bf), dir_.string());

    CHG_DIR("/");
    EXPECT_EQ(str(CUR_DIR(nullptr)), "/");
    EXPECT_FALSE(err_);
}

TEST_F(CurrentDirectory, TooLongToReadIsHere) {
    fs::path deep = dir_;
    while (deep.string().size() <= 300) deep /= std::string(40, 'd');
    fs::create_directories(deep);
    fs::current_path(deep);
    char bf[257] = {};
    EXPECT_EQ(std::string(CUR_DIR(bf)), ".");
    EXPECT_EQ(str(CUR_DIR(nullptr)), ".");
    EXPECT_FALSE(err_);
}

TEST_F(CurrentDirectory, Changing) {
    fs::create_directory("sub");
    CHG_DIR("sub");
    EXPECT_FALSE(err_);
    EXPECT_EQ(fs::current_path(), dir_ / "sub");

    CHG_DIR("no_such_dir");
    EXPECT_EQ(str(ERR_S()), "Failure changing to directory no_such_dir");
    EXPECT_EQ(fs::current_path(), dir_ / "sub");

    // Changing back works even with an error pending, which it leaves alone.
    S_ERR("pending");
    CHG_DIR(dir_.c_str());
    EXPECT_EQ(fs::current_path(), dir_);
    EXPECT_EQ(str(ERR_S()), "pending");
}

TEST_F(CurrentDirectory, DriveLettersRaiseAndTheRestIsStillUsed) {
    fs::create_directory("sub");
    CHG_DRV_DIR("C:");
    EXPECT_EQ(str(ERR_S()), "CHG_DRV");
    EXPECT_EQ(fs::current_path(), dir_);

    // The drive error stands, and the directory after it is changed to all the same.
    CHG_DRV_DIR("C:sub");
    EXPECT_EQ(str(ERR_S()), "CHG_DRV");
    EXPECT_EQ(fs::current_path(), dir_ / "sub");

    CHG_DRV_DIR("..");
    EXPECT_FALSE(err_);
    EXPECT_EQ(fs::current_path(), dir_);
    CHG_DRV_DIR("");
    CHG_DRV_DIR(nullptr);
    EXPECT_FALSE(err_);
}

TEST_F(SearchPath, CandidatesInOrder) {
    setenv("PATH", "/usr/bin::/bin", 1);
    EXPECT_EQ(str(PTH_OP()), "/usr/bin::/bin");
    EXPECT_EQ(str(PTH_S("ls")), dir_.string() + "/ls");
    EXPECT_EQ(str(PTH_S("ls")), "/usr/bin/ls");
    EXPECT_EQ(str(PTH_S("ls")), "/bin/ls");
    EXPECT_EQ(PTH_S("ls"), nullptr);
    EXPECT_EQ(PTH_S("ls"), nullptr);
    EXPECT_EQ(pth_x, 65534);

    // Separators at either end are skipped, a directory's own "/" is not doubled.
    setenv("PATH", ":/opt/x/::", 1);
    PTH_OP();
    PTH_S("tool");
    EXPECT_EQ(str(PTH_S("tool")), "/opt/x/tool");
    EXPECT_EQ(PTH_S("tool"), nullptr);

    // Closing ends the scan at once.
    PTH_OP();
    PTH_S("tool");
    PTH_CL();
    EXPECT_EQ(PTH_S("tool"), nullptr);
    EXPECT_FALSE(err_);
}

TEST_F(SearchPath, NamesWithADirectoryAreTriedAsGiven) {
    setenv("PATH", "/bin", 1);
    PTH_OP();
    EXPECT_EQ(str(PTH_S("./tool")), "./tool");
    EXPECT_EQ(PTH_S("./tool"), nullptr);
    PTH_OP();
    EXPECT_EQ(str(PTH_S("c:tool")), "c:tool");
    EXPECT_EQ(PTH_S("c:tool"), nullptr);

    unsetenv("PATH");
    EXPECT_EQ(PTH_OP(), nullptr);
    EXPECT_EQ(str(PTH_S("tool")), dir_.string() + "/tool");
    EXPECT_EQ(PTH_S("tool"), nullptr);
}

TEST_F(SearchPath, FindFileTakesTheFirstRegularFile) {
    fs::create_directories("d1/prog");  // a directory of that name does not count
    fs::create_directory("d2");
    touch("d2/prog");
    fs::create_directory("d3");
    touch("d3/prog");
    const std::string path = (dir_ / "d1").string() + ":" + (dir_ / "d2").string() + ":" +
                             (dir_ / "d3").string();
    setenv("PATH", path.c_str(), 1);
    EXPECT_EQ(str(FIND_FILE("prog", 1)), (dir_ / "d2/prog").string());
    EXPECT_EQ(pth_x, 65534);

    // The current directory comes first.
    touch("prog");
    EXPECT_EQ(str(FIND_FILE("prog", 1)), (dir_ / "prog").string());
    EXPECT_FALSE(err_);
}

TEST_F(SearchPath, FindFileMisses) {
    setenv("PATH", dir_.c_str(), 1);
    EXPECT_EQ(FIND_FILE("./tool", 0), nullptr);
    EXPECT_FALSE(err_);
    EXPECT_EQ(FIND_FILE("./tool", 1), nullptr);
    EXPECT_EQ(str(ERR_S()), "\"./tool\" not found in path");

    // A name with a directory is not looked for anywhere else.
    fs::create_directory("sub");
    touch("sub/tool");
    EXPECT_EQ(FIND_FILE("./tool", 1), nullptr);
    EXPECT_EQ(str(ERR_S()), "\"./tool\" not found in path");
    EXPECT_EQ(str(FIND_FILE("sub/tool", 1)), "sub/tool");
    EXPECT_FALSE(err_);
}
