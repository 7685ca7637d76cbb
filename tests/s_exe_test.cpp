// Shell commands with error capture, the error-file convention, process and system queries.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/sysinfo.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "lb.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::string str(const char* s) { return lbtest::text(s, "(nullptr)"); }
std::string slurp(const fs::path& p) { return lbtest::get_file(p); }

// The process's work directory, known once a command has run.
fs::path work_dir() { return fs::path(s_exe_err_fl).parent_path(); }

// The capture number N when text is head + " 2>" + the capture file N + tail, else -1.
int cap_num(const std::string& text, const std::string& head, const std::string& tail) {
    const std::string lead = head + " 2>" + (work_dir() / "s_exe_stderr").string();
    if (text.rfind(lead, 0) != 0 || text.size() < lead.size() + tail.size()) return -1;
    if (text.compare(text.size() - tail.size(), tail.size(), tail) != 0) return -1;
    const std::string digits = text.substr(lead.size(), text.size() - lead.size() - tail.size());
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
    return std::stoi(digits);
}

// Checks a whole S_EXE message: the command's words, then the command as run with the
// capture redirection; returns the capture number used.
int expect_msg(const std::string& msg, const std::string& words, const std::string& cmd) {
    const int n = cap_num(msg, "S_EXE:" + words + " (cmd=" + cmd, ".tmp)");
    EXPECT_GE(n, 0) << msg;
    return n;
}

fs::path cap_path(int n) { return work_dir() / ("s_exe_stderr" + std::to_string(n) + ".tmp"); }

// Runs fn in a child process made by fork() and returns the text it returned. The child
// ends through exit(), as a program does, so that what it does at exit is done.
template <class Fn>
std::string in_child(Fn fn) {
    int p[2];
    if (pipe(p) != 0) return "";
    std::fflush(nullptr);
    const pid_t kid = fork();
    if (kid == 0) {
        close(p[0]);
        const std::string out = fn();
        (void)!write(p[1], out.data(), out.size());
        std::exit(0);
    }
    close(p[1]);
    std::string out;
    char bf[512];
    for (ssize_t n; (n = read(p[0], bf, sizeof bf)) > 0;) out.append(bf, static_cast<std::size_t>(n));
    close(p[0]);
    waitpid(kid, nullptr, 0);
    return out;
}

// Every test works in a fresh directory, which the routines must leave alone.
class Shell : public lbtest::InTempDir<fs::path> {
protected:
    Shell() : InTempDir("s_exe_") {}
};

// A copy of sleep under a name no other process has, running until the test ends.
class Sleeper {
public:
    Sleeper(const fs::path& dir, const std::string& name, const char* argv0 = nullptr) {
        path_ = dir / name;
        if (!fs::exists(path_)) fs::copy_file("/bin/sleep", path_);
        pid_ = fork();
        if (pid_ == 0) {
            const std::string arg0 = argv0 ? argv0 : path_.string();
            execl(path_.c_str(), arg0.c_str(), "30", static_cast<char*>(nullptr));
            _exit(127);
        }
        // Wait until the new program image shows under its name.
        const std::string comm = "/proc/" + std::to_string(pid_) + "/comm";
        for (int i = 0; i < 200 && slurp(comm).rfind(name.substr(0, 15), 0) != 0; ++i) usleep(5000);
    }
    ~Sleeper() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_t pid() const { return pid_; }

private:
    fs::path path_;
    pid_t pid_ = -1;
};

}  // namespace

TEST_F(Shell, QuietCommandsRaiseNothing) {
    S_EXE(0, "true");
    S_EXE(0, "false");  // failing without a word is no failure
    S_EXE(0, "echo to stdout > out.txt");
    EXPECT_FALSE(err_);
    EXPECT_EQ(slurp("out.txt"), "to stdout\n");
}

TEST_F(Shell, ErrorOutputBecomesTheErrorAndTheCaptureIsRemoved) {
    S_EXE(0, "cat no_such_file");
    ASSERT_TRUE(err_);
    const int n = expect_msg(ERR_S(), "cat: no_such_file: No such file or directory",
                             "cat no_such_file");
    EXPECT_FALSE(fs::exists(fs::symlink_status(cap_path(n))));
}

TEST_F(Shell, ErrorOutputOnOneLine) {
    const char* cmd = R"((printf 'one\r\ntwo\nthree\rfour \t\n\n' >&2))";
    S_EXE(0, cmd);
    expect_msg(str(ERR_S()), "one two three four", cmd);
}

TEST_F(Shell, ShellLinePrefixIsRemoved) {
    S_EXE(0, "(echo 'sh: line 1: boom' >&2)");
    expect_msg(str(ERR_S()), "boom", "(echo 'sh: line 1: boom' >&2)");

    S_EXE(0, "no_such_cmd_qz");
    const std::string msg = str(ERR_S());
    EXPECT_EQ(msg.rfind("S_EXE:", 0), 0u) << msg;
    EXPECT_NE(msg.rfind("S_EXE:sh: line 1: ", 0), 0u) << msg;
    EXPECT_LT(msg.find("no_such_cmd_qz"), msg.find(" (cmd=")) << msg;  // named in the words
    EXPECT_NE(msg.find("not found (cmd=no_such_cmd_qz 2>" + work_dir().string() + "/"),
              std::string::npos) << msg;
}

TEST_F(Shell, ListingSomethingMissingIsNoError) {
    S_EXE(0, "ls no_such_dir");
    EXPECT_FALSE(err_);
    S_EXE(0, "LS_COLORS= ls no_such_dir");  // only a command that begins with "ls "
    expect_msg(str(ERR_S()), "ls: cannot access 'no_such_dir': No such file or directory",
               "LS_COLORS= ls no_such_dir");
}

TEST_F(Shell, OwnRedirectionOrBackgroundGetsNoCapture) {
    testing::internal::CaptureStdout();
    S_EXE(1, "echo boom 2>own.err >&2");
    S_EXE(1, "true &   ");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "echo boom 2>own.err >&2\r\ntrue &\r\n");
    EXPECT_FALSE(err_);
    EXPECT_EQ(slurp("own.err"), "boom\n");
}

TEST_F(Shell, DisplayPrintsTheCommandAsRun) {
    testing::internal::CaptureStdout();
    S_EXE(1, "true  ");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GE(cap_num(out, "true", ".tmp\r\n"), 0) << out;

    daemon_op = 1;
    testing::internal::CaptureStdout();
    S_EXE(1, "true");
    S_EXE_HIDE("true");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(err_);
}

TEST_F(Shell, LogSwitchTracesEveryCommand) {
    s_exe_log = 1;
    S_EXE(1, "true 2>/dev/null");
    s_exe_log = 0;
    S_EXE(0, "false 2>/dev/null");
    EXPECT_FALSE(err_);
    const std::string trail = slurp(dbg_log);
    EXPECT_NE(trail.find("S_EXE:cmd=true 2>/dev/null dsp=1"), std::string::npos) << trail;
    EXPECT_EQ(trail.find("false"), std::string::npos) << trail;
}

TEST_F(Shell, TestModePrintsOnceAndRunsNothing) {
    s_exe_tst = 1;
    testing::internal::CaptureStdout();
    S_EXE(0, "touch made  ");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "touch made  \n");
    EXPECT_FALSE(fs::exists("made"));

    // A list joins its first 49 texts only.
    std::vector<std::string> parts;
    std::vector<const char*> texts;
    for (int i = 0; i < 60; ++i) parts.push_back(" " + std::to_string(i));
    for (const auto& p : parts) texts.push_back(p.c_str());
    texts.push_back(nullptr);
    std::string first49;
    for (int i = 0; i < 49; ++i) first49 += parts[i];
    testing::internal::CaptureStdout();
    SM_EXE_list(0, texts.data(), texts.size());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), first49 + "\n");

    testing::internal::CaptureStdout();
    SM_EXE_HIDE("touch ", "a", "b", nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "touch ab\n");
    EXPECT_FALSE(err_);
}

TEST_F(Shell, PendingErrorRunsNothing) {
    S_ERR("first");
    S_EXE(0, "touch made");
    SM_EXE(0, "touch ", "made", nullptr);
    EXPECT_EQ(PROC_PID("init"), 65535);
    EXPECT_EQ(PROC_CNT("init"), 0);
    EXPECT_FALSE(fs::exists("made"));
    EXPECT_EQ(str(ERR_S()), "first");
}

TEST_F(Shell, WindowsProgramRunsThroughWine) {
    S_EXE(0, "no_such_setup.EXE /q");
    const std::string msg = str(ERR_S());
    const std::size_t at = msg.find(" (cmd=wine ");
    ASSERT_NE(at, std::string::npos) << msg;
    EXPECT_GE(cap_num(msg.substr(at), " (cmd=wine no_such_setup.EXE /q", ".tmp)"), 0) << msg;
}

TEST_F(Shell, ChildErrorFileIsPickedUpWhenNothingWasCaptured) {
    // The command finds the error file under the name in its environment.
    const char* child = R"(printf 'child failed\r\n' > "$S_EXE_ERR_FL")";
    S_EXE(0, child);
    expect_msg(str(ERR_S()), "child failed", child);
    EXPECT_FALSE(fs::exists(s_exe_err_fl));

    // Captured words win over the error file.
    const char* both = R"((echo file > "$S_EXE_ERR_FL"; echo real >&2))";
    S_EXE(0, both);
    expect_msg(str(ERR_S()), "real", both);

    // An error file left from before is no error of this command.
    std::ofstream(s_exe_err_fl) << "stale\n";
    S_EXE(0, "true");
    EXPECT_FALSE(err_);
    EXPECT_FALSE(fs::exists(s_exe_err_fl));
}

TEST_F(Shell, CommandsFindTheErrorFileInTheirEnvironmentForTheirTimeOnly) {
    // As in a program that a parent of this library ran: the parent's file stays named.
    const std::string parents = (dir_ / "parent.err").string();
    ASSERT_EQ(setenv(s_exe_err_env, parents.c_str(), 1), 0);
    S_EXE(0, R"(printf %s "$S_EXE_ERR_FL" > seen.txt)");
    EXPECT_FALSE(err_);
    EXPECT_EQ(slurp("seen.txt"), s_exe_err_fl);
    EXPECT_EQ(fs::path(s_exe_err_fl).parent_path(), work_dir());
    EXPECT_EQ(str(getenv(s_exe_err_env)), parents);

    // This program's own error goes to its parent.
    daemon_op = 1;
    S_EXE_ERR("for the parent");
    EXPECT_EQ(slurp(parents), "for the parent\r\n");
    EXPECT_FALSE(fs::exists(s_exe_err_fl));

    ASSERT_EQ(unsetenv(s_exe_err_env), 0);
    S_EXE(0, "true");
    EXPECT_EQ(getenv(s_exe_err_env), nullptr);
    EXPECT_FALSE(err_);
}

TEST_F(Shell, ChildReportsThroughTheErrorFile) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    S_EXE_ERR("bad thing");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bad thing\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "\a");
    daemon_op = 1;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    S_EXE_ERR("worse");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(err_);
    // Run by no parent of this library, the program keeps the text in its own error file.
    // A new error file takes CR LF (its name has an extension) and keeps it.
    EXPECT_EQ(fs::path(s_exe_err_fl).filename(), "s_exe.err");
    EXPECT_NE(fs::path(s_exe_err_fl).parent_path(), dir_);
    EXPECT_EQ(slurp(s_exe_err_fl), "bad thing\r\nworse\r\n");
}

TEST_F(Shell, EscapedTextSurvivesDoubleQuotes) {
    const char* hostile = "a\"b$(touch pwned)`touch pwned2`\\c'd";
    EXPECT_EQ(str(UT_SH_DQ(hostile)), "a\\\"b\\$(touch pwned)\\`touch pwned2\\`\\\\c'd");
    SM_EXE(0, "printf %s \"", UT_SH_DQ(hostile), "\" > out.txt", nullptr);
    EXPECT_FALSE(err_);
    EXPECT_EQ(slurp("out.txt"), hostile);
    EXPECT_FALSE(fs::exists("pwned"));
    EXPECT_FALSE(fs::exists("pwned2"));
    EXPECT_EQ(UT_SH_DQ(nullptr), nullptr);
}

TEST_F(Shell, CommandsOfTwoProcessesAtOnceKeepTheirOwnWords) {
    S_EXE(0, "true");  // our work directory is there before the fork
    const fs::path ours = work_dir();
    const pid_t kid = fork();
    if (kid == 0) {
        S_EXE(0, "(touch started; echo theirs >&2; sleep 0.5)");
        std::ofstream("kid.msg") << work_dir().string() << "\n" << str(ERR_S());
        std::exit(0);
    }
    for (int i = 0; i < 400 && !fs::exists("started"); ++i) usleep(5000);
    S_EXE(0, "(echo mine >&2)");
    EXPECT_EQ(expect_msg(str(ERR_S()), "mine", "(echo mine >&2)"), 0);
    waitpid(kid, nullptr, 0);
    // The child made a work directory of its own, and its exit took that one away only.
    const std::string report = slurp("kid.msg");
    const fs::path theirs = report.substr(0, report.find('\n'));
    EXPECT_NE(theirs, ours);
    EXPECT_EQ(report, theirs.string() + "\nS_EXE:theirs (cmd=(touch started; echo theirs >&2; "
                                        "sleep 0.5) 2>" + (theirs / "s_exe_stderr0.tmp").string() + ")");
    EXPECT_FALSE(lbtest::exists(theirs.string()));
    EXPECT_TRUE(fs::is_directory(ours));
}

TEST_F(Shell, FilesOfTheWorkingDirectoryAreLeftAlone) {
    // The names the routines give their own files, held by the user here.
    const std::vector<std::string> names = {"s_exe.err", "s_exe_stderr0.tmp", "proc_pid.tmp",
                                            "proc_cnt.tmp"};
    for (const auto& name : names) std::ofstream(name) << "user's " << name;
    const std::pair<const char*, void (*)()> steps[] = {
        {"a failing command", [] { S_EXE(0, "cat no_such_file"); }},
        {"a quiet command", [] { S_EXE(0, "true"); }},
        {"a child's error picked up", [] { S_EXE(0, R"(echo child > "$S_EXE_ERR_FL")"); }},
        {"the child side", [] {
             daemon_op = 1;
             S_EXE_ERR("child");
         }},
        {"process queries", [] {
             // A name of its own: another test counts "no_such_prog_qz" meanwhile.
             PROC_PID("absent_prog_qz");
             PROC_CNT("absent_prog_qz");
         }},
    };
    for (const auto& [what, step] : steps) {
        step();
        ERR_S();
        for (const auto& name : names) EXPECT_EQ(slurp(name), "user's " + name) << what;
        std::vector<std::string> here;
        for (const auto& e : fs::directory_iterator(".")) here.push_back(e.path().filename());
        EXPECT_EQ(here.size(), names.size()) << what;  // nothing new either
    }
}

TEST_F(Shell, WorkDirectoryIsPrivateAndGoesAtExit) {
    fs::create_directory("tmp");
    fs::create_directory("relative");
    const std::string tmp = (dir_ / "tmp").string();
    // TMPDIR (set or not) and the directory the work directory is made in.
    const struct {
        bool set;
        std::string tmpdir;
        fs::path base;
    } cases[] = {
        {false, "", "/var/tmp"},
        {true, "", "/var/tmp"},
        {true, "relative", "/var/tmp"},  // never under the caller's directory
        {true, "/no/such/dir", "/var/tmp"},
        {true, tmp + "/", tmp},
    };
    const std::string cmd = "(readlink /proc/self/fd/2 >&2)";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.set ? "TMPDIR=" + c.tmpdir : "no TMPDIR");
        // The child reports its error (the name of the file its error output went to) and
        // the mode and owner of its work directory.
        const std::string report = in_child([&] {
            if (c.set) setenv("TMPDIR", c.tmpdir.c_str(), 1);
            else unsetenv("TMPDIR");
            S_EXE(0, cmd.c_str());
            struct stat st {};
            lstat(work_dir().c_str(), &st);
            return str(ERR_S()) + "\n" + std::to_string(st.st_mode) + " " + std::to_string(st.st_uid);
        });
        const std::size_t nl = report.find('\n');
        ASSERT_NE(nl, std::string::npos) << report;
        const std::string msg = report.substr(0, nl);
        const std::string cap = msg.substr(6, msg.find(' ') - 6);
        EXPECT_EQ(msg, "S_EXE:" + cap + " (cmd=" + cmd + " 2>" + cap + ")");
        const fs::path dir = fs::path(cap).parent_path();
        EXPECT_EQ(dir.parent_path(), c.base);
        EXPECT_EQ(dir.filename().string().rfind("s_exe.", 0), 0u) << dir;
        EXPECT_EQ(fs::path(cap).filename(), "s_exe_stderr0.tmp");
        EXPECT_EQ(report.substr(nl + 1),
                  std::to_string(S_IFDIR | 0700) + " " + std::to_string(geteuid()));
        EXPECT_FALSE(lbtest::exists(dir.string()));
    }
}

TEST_F(Shell, LeftoverInTheWorkDirectoryIsNeitherReusedNorWrittenThrough) {
    S_EXE(0, "true");
    std::ofstream("victim") << "keep";
    fs::create_symlink(dir_ / "victim", cap_path(0));
    S_EXE(0, "(echo boom >&2)");
    EXPECT_EQ(expect_msg(str(ERR_S()), "boom", "(echo boom >&2)"), 1);
    EXPECT_EQ(slurp("victim"), "keep");
    EXPECT_TRUE(fs::is_symlink(cap_path(0)));
    EXPECT_FALSE(lbtest::exists(cap_path(1).string()));
}

TEST_F(Shell, WorkDirectoryRemovedMeanwhileIsMadeAgain) {
    S_EXE(0, "true");
    fs::remove_all(work_dir());  // as a cleaner of old files in /var/tmp would
    S_EXE(0, "(echo again >&2)");
    expect_msg(str(ERR_S()), "again", "(echo again >&2)");
    EXPECT_TRUE(fs::is_directory(work_dir()));
}

TEST_F(Shell, ProcessQueriesForAProgramNotRunning) {
    EXPECT_EQ(PROC_PID("no_such_prog_qz"), 65535);
    EXPECT_EQ(str(ERR_S()), "pidof failure [PROC_PID]");
    EXPECT_EQ(PROC_CNT("no_such_prog_qz"), 0);
    EXPECT_FALSE(err_);
    EXPECT_TRUE(fs::is_empty(work_dir()));  // the queries' output files do not stay

    // A hostile name reaches pidof as one word, not as shell syntax.
    EXPECT_EQ(PROC_PID("x\"; touch pwned; echo \"$(touch pwned2)"), 65535);
    EXPECT_EQ(str(ERR_S()), "pidof failure [PROC_PID]");
    EXPECT_FALSE(fs::exists("pwned"));
    EXPECT_FALSE(fs::exists("pwned2"));
}

TEST_F(Shell, ProcessQueriesForARunningProgram) {
    const std::string name = "slp" + std::to_string(getpid());
    Sleeper one(dir_, name);
    // The same program started in a terminal window is not counted.
    const std::string xterm = "xterm -T t -e " + name;
    Sleeper window(dir_, name, xterm.c_str());
    // Nor is a program whose name merely contains it.
    Sleeper longer(dir_, name + "x");

    const std::uint16_t pid = PROC_PID((name + "x").c_str());
    EXPECT_FALSE(err_) << ERR_S();
    EXPECT_EQ(pid, longer.pid() <= 65534 ? longer.pid() : 65535);
    EXPECT_EQ(PROC_CNT(name.c_str()), 1);
    EXPECT_FALSE(err_);
}

TEST_F(Shell, ProcessQueriesRunAtOnceFromSeveralProcesses) {
    const std::string name = "slq" + std::to_string(getpid());
    Sleeper one(dir_, name);
    const std::uint16_t want = one.pid() <= 65534 ? one.pid() : 65535;
    std::vector<pid_t> kids;
    for (int k = 0; k < 4; ++k) {
        const pid_t kid = fork();
        if (kid == 0) {
            bool all = true;
            for (int i = 0; i < 10; ++i) all = all && PROC_PID(name.c_str()) == want && !err_;
            std::exit(all ? 0 : 1);
        }
        kids.push_back(kid);
    }
    for (pid_t kid : kids) {
        int status = -1;
        waitpid(kid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

TEST(SystemQueries, VersionIsOne) {
    EXPECT_EQ(lnx_vsn_maj, 255);
    EXPECT_EQ(OS_VSN(0), 1);
    EXPECT_EQ(lnx_vsn_maj, 1);
    EXPECT_EQ(lnx_vsn_min, 1);
}

TEST(SystemQueries, MemoryCountsStayIn32Bits) {
    struct sysinfo si {};
    ASSERT_EQ(sysinfo(&si), 0);
    const std::uint32_t total =
        si.totalram > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(si.totalram);
    EXPECT_EQ(TOTAL_MEM(), total);
    EXPECT_EQ(TOTAL_PMEM(), total);
    EXPECT_LE(AVAIL_MEM(), TOTAL_MEM());
    EXPECT_GT(AVAIL_PMEM(), 0u);
    EXPECT_FALSE(err_);
}
