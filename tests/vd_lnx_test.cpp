// Keyboard: single-key polling on a terminal, without one and in the background; the open
// keyboard's decoding, control keys, type-ahead and settings; bells.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "console_pty.h"
#include "lb.h"
#include "test_support.h"

namespace {

std::string pending_message() { return lbtest::pending("(none)"); }

// Polls like the receiver does, for at most a second.
bool kbhit_within_a_second() {
    for (int i = 0; i < 200; ++i) {
        if (kbhit()) return true;
        usleep(5000);
    }
    return false;
}

std::vector<int> queued_keys() {
    std::vector<int> keys;
    for (char c; (c = KB_B(0, 0)) != 0;) keys.push_back(static_cast<unsigned char>(c));
    return keys;
}

using Keys = std::vector<int>;

// Reads up to n bytes from fd, waiting at most timeout_ms for each piece.
std::string read_report(int fd, int timeout_ms = 8000) {
    std::string s;
    char bf[256];
    struct pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, timeout_ms) == 1) {
        const ssize_t n = read(fd, bf, sizeof bf);
        if (n <= 0) break;
        s.append(bf, static_cast<std::size_t>(n));
    }
    return s;
}

// A child process on a terminal of its own. The child runs body(report), where report is
// a pipe to the test on which it writes "R" once it is ready for keys, and exits with what
// body returns; alarm() ends it if it hangs. The test types on master().
class PtyChild {
public:
    template <class Body>
    explicit PtyChild(Body body) {
        if (pipe(report_) != 0) return;
        std::fflush(nullptr);
        pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
        if (pid_ == 0) {
            close(report_[0]);
            alarm(10);
            _exit(body(report_[1]));
        }
        close(report_[1]);
    }
    ~PtyChild() {
        wait();
        close(report_[0]);
        if (master_ >= 0) close(master_);
    }
    PtyChild(const PtyChild&) = delete;
    PtyChild& operator=(const PtyChild&) = delete;

    // True once the child has said it is ready (within 5 s).
    bool ready() const {
        char c = 0;
        struct pollfd p = {report_[0], POLLIN, 0};
        return pid_ > 0 && poll(&p, 1, 5000) == 1 && read(report_[0], &c, 1) == 1;
    }
    int master() const { return master_; }
    int report() const { return report_[0]; }
    // The child's wait status once it has ended.
    int wait() {
        if (pid_ > 0) {
            waitpid(pid_, &status_, 0);
            pid_ = -1;
        }
        return status_;
    }

private:
    int report_[2] = {-1, -1};
    int master_ = -1;
    pid_t pid_ = -1;
    int status_ = 0;
};

class OpenKeyboard : public ::testing::Test {
protected:
    void SetUp() override {
        dbg_ = 0;
        KB_OP();
        ASSERT_EQ(err_, 0);
    }
    void TearDown() override {
        KB_CL();
        ERR_S();
        dbg_ = 0;
    }
    // Types keys and waits until the terminal holds all of them.
    void type(std::string_view keys) {
        pty.type(keys);
        ASSERT_TRUE(pty.wait_queued(static_cast<int>(keys.size())));
    }
    HangGuard guard;
    ScratchDir dir;
    StdinPty pty;
};

}  // namespace

TEST(Kbhit, ReportsAWaitingKeyWithoutTakingItAndLeavesSettingsAlone) {
    HangGuard guard;
    StdinPty pty;
    EXPECT_EQ(kbhit(), 0);
    EXPECT_TRUE(same_settings(pty.settings(), pty.initial()));
    pty.type("x");
    ASSERT_TRUE(kbhit_within_a_second());
    EXPECT_EQ(kbhit(), 1) << "asking must not consume the key";
    EXPECT_TRUE(same_settings(pty.settings(), pty.initial()));
    EXPECT_EQ(getch(), 'x');
    EXPECT_EQ(kbhit(), 0);
    EXPECT_TRUE(same_settings(pty.settings(), pty.initial()));
}

TEST(Getch, GivesEnterAndLineFeedBothAsCarriageReturn) {
    HangGuard guard;
    StdinPty pty;
    pty.type("\r");
    EXPECT_EQ(getch(), 13);
    pty.type("\n");
    EXPECT_EQ(getch(), 13);
    // One key at a time, without waiting for a line.
    pty.type("q");
    EXPECT_EQ(getch(), 'q');
    EXPECT_TRUE(same_settings(pty.settings(), pty.initial()));
}

TEST(NoTerminal, NullDeviceHasNoKeysAndEndsAtOnce) {
    HangGuard guard;
    const int saved = dup(0);
    const int null_fd = open("/dev/null", O_RDONLY);
    dup2(null_fd, 0);
    EXPECT_EQ(kbhit(), 0);
    EXPECT_EQ(getch(), -1);
    KB_OP();
    EXPECT_EQ(KB_HIT(), 0);
    EXPECT_EQ(KB_B(1, 0), 0) << "a closed or keyless input must not be waited on forever";
    KB_CL();
    EXPECT_EQ(err_, 0);
    dup2(saved, 0);
    close(saved);
    close(null_fd);
}

TEST(NoTerminal, PipeIsNeverWaitedOnByPolling) {
    HangGuard guard;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const int saved = dup(0);
    dup2(p[0], 0);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kbhit(), 0);
    KB_OP();
    EXPECT_EQ(KB_B(0, 0), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));

    ASSERT_EQ(write(p[1], "ab", 2), 2);
    EXPECT_EQ(KB_B(0, 0), 'a');
    EXPECT_EQ(KB_B(0, 0), 'b');
    EXPECT_EQ(KB_B(0, 0), 0);
    KB_CL();

    // Without a terminal there is no key to poll for, even with input waiting; reading
    // takes the input and ends with its end.
    ASSERT_EQ(write(p[1], "\n", 1), 1);
    close(p[1]);
    EXPECT_EQ(kbhit(), 0);
    EXPECT_EQ(getch(), 13);
    EXPECT_EQ(getch(), -1);
    EXPECT_EQ(err_, 0);
    dup2(saved, 0);
    close(saved);
    close(p[0]);
}

// The receiver started with "&": kbhit from a background process group must answer 0
// without touching the terminal, which would stop the process. A direct settings change
// from the same place shows that the situation is real.
TEST(Kbhit, BackgroundProcessIsAnsweredNoKeyAndNotStopped) {
    HangGuard guard(15);
    PtyChild child([](int report) {
        // Foreground: a key typed by the parent is seen.
        if (write(report, "R", 1) != 1) return 1;
        std::string out = kbhit_within_a_second() ? "fg=1" : "fg=0";
        getch();
        const auto in_background = [](bool use_kbhit) -> std::string {
            int p[2];
            if (pipe(p) != 0) return "pipe";
            const pid_t g = fork();
            if (g == 0) {
                setpgid(0, 0);
                signal(SIGTTOU, SIG_DFL);
                sigset_t none;
                sigemptyset(&none);
                sigprocmask(SIG_SETMASK, &none, nullptr);
                struct termios before{}, after{};
                tcgetattr(0, &before);
                char r = 'x';
                if (use_kbhit)
                    r = static_cast<char>('0' + kbhit());
                else if (tcsetattr(0, TCSANOW, &before) == 0)
                    r = 's';
                tcgetattr(0, &after);
                const char msg[2] = {r, same_settings(before, after) ? '=' : '!'};
                if (write(p[1], msg, 2) != 2) _exit(1);
                _exit(0);
            }
            setpgid(g, g);
            close(p[1]);
            int st = 0;
            waitpid(g, &st, WUNTRACED);
            if (WIFSTOPPED(st)) {
                kill(g, SIGKILL);
                waitpid(g, &st, 0);
                close(p[0]);
                return "stopped";
            }
            char msg[3] = {};
            if (read(p[0], msg, 2) != 2) msg[0] = '?';
            close(p[0]);
            return msg;
        };
        out += " kbhit=" + in_background(true) + " direct=" + in_background(false);
        return write(report, out.data(), out.size()) < 0 ? 1 : 0;
    });
    ASSERT_TRUE(child.ready());
    ASSERT_EQ(write(child.master(), "k", 1), 1);
    // The child's terminal output (the echo) is drained so that it never waits on it.
    std::string result;
    for (int i = 0; i < 100 && result.find("direct=") == std::string::npos; ++i) {
        char bf[256];
        struct pollfd fds[2] = {{child.report(), POLLIN, 0}, {child.master(), POLLIN, 0}};
        if (poll(fds, 2, 100) <= 0) continue;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = read(child.report(), bf, sizeof bf);
            if (n > 0) result.append(bf, static_cast<std::size_t>(n));
        }
        if (fds[1].revents & POLLIN) {
            if (read(child.master(), bf, sizeof bf) <= 0) break;
        }
    }
    result += read_report(child.report(), 200);
    child.wait();
    EXPECT_EQ(result, "fg=1 kbhit=0= direct=stopped");
}

TEST_F(OpenKeyboard, TerminalIsRawWhileOpenAndAsFoundAfterwards) {
    const struct termios raw = pty.settings();
    EXPECT_EQ(raw.c_lflag & (ISIG | ICANON | ECHO), 0u);
    EXPECT_EQ(raw.c_iflag & ICRNL, 0u);
    EXPECT_EQ(raw.c_cc[VMIN], 0);
    EXPECT_EQ(raw.c_cc[VTIME], 0);
    EXPECT_EQ(kb_op, 1);
    KB_CL();
    EXPECT_EQ(kb_op, 0);
    EXPECT_TRUE(same_settings(pty.settings(), pty.initial()));
}

TEST_F(OpenKeyboard, EscapeSequencesBecomeTheirKeyCodes) {
    // Every sequence, each checked by the name its key code carries.
    const struct {
        const char* seq;
        const char* name;
    } cases[] = {
        {"OP", "<F1>"},      {"[11~", "<F1>"},   {"OQ", "<F2>"},    {"[12~", "<F2>"},
        {"OR", "<F3>"},      {"[13~", "<F3>"},   {"OS", "<F4>"},    {"[14~", "<F4>"},
        {"[15~", "<F5>"},    {"[17~", "<F6>"},   {"[18~", "<F7>"},  {"[19~", "<F8>"},
        {"[20~", "<F9>"},    {"[21~", "<F10>"},  {"[23~", "<F11>"}, {"[24~", "<F12>"},
        {"[A", "<Up>"},      {"A", "<Up>"},      {"[B", "<Dwn>"},   {"B", "<Dwn>"},
        {"[C", "<Rgt>"},     {"C", "<Rgt>"},     {"[D", "<Lft>"},   {"D", "<Lft>"},
        {"[H", "<Home>"},    {"[1~", "<Home>"},  {"[F", "<End>"},   {"[4~", "<End>"},
        {"[2~", "<Insert>"}, {"[3~", "<Delete>"}, {"[5~", "<PageUp>"}, {"5~", "<PageUp>"},
        {"[6~", "<PageDown>"}, {"6~", "<PageDown>"},
    };
    std::string all;
    for (const auto& c : cases) all += std::string("\x1b") + c.seq;
    type(all);
    const Keys keys = queued_keys();
    ASSERT_EQ(keys.size(), std::size(cases));
    for (std::size_t i = 0; i < keys.size(); ++i)
        EXPECT_STREQ(ky_ech[keys[i]], cases[i].name) << "ESC " << cases[i].seq;
    EXPECT_EQ(err_, 0);
}

TEST_F(OpenKeyboard, UnrecognisedSequencesArriveByteForByte) {
    type("\x1b");
    EXPECT_EQ(queued_keys(), (Keys{27}));
    type("\x1b[Z");
    EXPECT_EQ(queued_keys(), (Keys{27, '[', 'Z'}));
    // Read only as far as a sequence could still match: "x" ends it.
    type("\x1b[15x");
    EXPECT_EQ(queued_keys(), (Keys{27, '[', '1', '5', 'x'}));
    type("\x1bOx");
    EXPECT_EQ(queued_keys(), (Keys{27, 'O', 'x'}));
    // Bytes after the point of mismatch are keys of their own again.
    type("\x1b[1xA\x1b[A");
    EXPECT_EQ(queued_keys(), (Keys{27, '[', '1', 'x', 'A', ky_up}));
    // An abort key inside an unrecognised sequence is just a byte of it.
    type("\x1b\x03");
    EXPECT_EQ(queued_keys(), (Keys{27, 3}));
    EXPECT_EQ(err_, 0);
}

TEST_F(OpenKeyboard, DeleteArrivesAsBackspaceAndEnterStaysCarriageReturn) {
    type("a\x7f\r");
    EXPECT_EQ(queued_keys(), (Keys{'a', 8, 13}));
}

TEST_F(OpenKeyboard, AbortKeysRaiseTheErrorAndDropTheTypeAhead) {
    type("ab\x03z");
    EXPECT_EQ(KB_HIT(), 1);
    EXPECT_EQ(KB_B(0, 0), 0);
    EXPECT_EQ(pending_message(), "Process aborted by user");
    // The keys before the abort are gone; the one after it is still in the terminal.
    EXPECT_EQ(queued_keys(), (Keys{'z'}));

    type("\x0b");
    EXPECT_EQ(KB_HIT(), 1);
    EXPECT_EQ(pending_message(), "Process aborted by user");
}

TEST_F(OpenKeyboard, DebugKeyStepsTheLevelRoundAndIsNotQueued) {
    type("\x18");
    EXPECT_EQ(KB_HIT(), 0);
    EXPECT_EQ(dbg_, 1);
    type("\x18\x18\x18\x18\x18");
    EXPECT_EQ(queued_keys(), Keys{});
    EXPECT_EQ(dbg_, 1) << "six presses: 1 2 3 4 0 1";
    dbg_ = 0;
}

TEST_F(OpenKeyboard, FullTypeAheadDropsTheFortyFirstKeyWithABell) {
    std::string keys;
    for (int i = 0; i < 41; ++i) keys += static_cast<char>('0' + i);
    type(keys);
    EXPECT_EQ(KB_HIT(), 1);
    EXPECT_EQ(pty.output(), "\a");
    Keys expected;
    for (int i = 0; i < 40; ++i) expected.push_back('0' + i);
    EXPECT_EQ(queued_keys(), expected);
}

TEST_F(OpenKeyboard, PeekLeavesTheKeyAndReopeningEmptiesTheTypeAhead) {
    type("pq");
    EXPECT_EQ(KB_KY(0, 1), 'p');
    EXPECT_EQ(KB_KY(0, 1), 'p');
    EXPECT_EQ(KB_KY(0, 0), 'p');
    KB_OP();
    EXPECT_EQ(KB_B(0, 0), 0);
}

TEST_F(OpenKeyboard, WaitingEndsWithAKeyOrWithAnAbort) {
    std::thread typist([this] {
        usleep(60000);
        pty.type("w");
    });
    EXPECT_EQ(KB_B(1, 0), 'w');
    typist.join();

    std::thread aborter([this] {
        usleep(60000);
        pty.type("\x03");
    });
    EXPECT_EQ(KB_B(1, 0), 0);
    aborter.join();
    EXPECT_EQ(pending_message(), "Process aborted by user");
}

TEST_F(OpenKeyboard, TypeAheadFromAFileTakesCrLfAsOneKeyAndGrowsToTheFile) {
    {
        std::FILE* f = std::fopen("keys.txt", "wb");
        std::fputs("ab\r\ncd\n\r", f);
        for (int i = 0; i < 60; ++i) std::fputc('0' + i % 10, f);
        std::fclose(f);
    }
    FL_KB_TPA("keys.txt");
    ASSERT_EQ(err_, 0);
    Keys expected = {'a', 'b', '\r', 'c', 'd', '\n', '\r'};
    for (int i = 0; i < 60; ++i) expected.push_back('0' + i % 10);
    EXPECT_EQ(queued_keys(), expected);
    EXPECT_EQ(pty.output(), "") << "no bell: everything fitted";

    FL_KB_TPA("missing.txt");
    EXPECT_EQ(pending_message(), "Open error on \"missing.txt\" [FL_KB_TPA]");
}

// Screen notices of the control keys go to the screen in reverse video, off the image,
// and the cursor goes back to where the screen has it.
TEST_F(OpenKeyboard, ControlKeysShowTheirNoticesOnAnOpenScreen) {
    KB_LF_CRLF(0);
    VD_OP();
    ASSERT_EQ(err_, 0);
    EXPECT_EQ(pty.output(), "\x1b[25;1H");
    type("\x18");
    EXPECT_EQ(KB_HIT(), 0);
    EXPECT_EQ(pty.output(), "\x1b[7mDBG_=1\x1b[0m\x1b[25;1H");
    dbg_ = 0;

    type("\x0f");
    KB_HIT();
    EXPECT_EQ(vd_out, 0);
    EXPECT_EQ(pty.output(), "\x1b[7mOutput off\x1b[0m\x1b[25;1H");
    S_VD("hidden");
    EXPECT_EQ(pty.output(), "");
    type("\x0f");
    KB_HIT();
    EXPECT_EQ(vd_out, 1);
    EXPECT_EQ(pty.output(), "\x1b[7mOutput on\x1b[0m\x1b[25;1H");

    S_VD("shown");
    type("\x16");
    KB_HIT();
    EXPECT_EQ(err_, 0);
    const std::string dump = read_file("img0.tmp");
    EXPECT_EQ(dump, std::string(24, '\n') + "shown\n");
    EXPECT_EQ(vd_att, 7);
    VD_CL();
}

TEST(KeyboardSettings, RestoredByCloseWithAnErrorPending) {
    HangGuard guard;
    StdinPty pty;
    KB_OP();
    EXPECT_FALSE(same_settings(pty.settings(), pty.initial()));
    S_ERR("boom");
    KB_CL();
    EXPECT_TRUE(same_settings(pty.settings(), pty.initial()));
    EXPECT_EQ(pending_message(), "boom");
}

TEST(KeyboardSettings, RestoredWhenTheProgramExitsWithTheKeyboardOpen) {
    HangGuard guard;
    StdinPty pty;
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        KB_OP();
        std::exit(0);
    }
    int st = 0;
    waitpid(child, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_TRUE(same_settings(pty.settings(), pty.initial()));
}

TEST(KeyboardSettings, LineFeedTranslationSwitches) {
    HangGuard guard;
    StdinPty pty;
    KB_LF_CRLF(0);
    EXPECT_EQ(pty.settings().c_oflag & ONLCR, 0u);
    KB_LF_CRLF(1);
    EXPECT_NE(pty.settings().c_oflag & ONLCR, 0u);
}

// Ctrl-C on the controlling terminal: a signal normally, the abort error while open.
TEST(KeyboardSettings, CtrlCAbortsInsteadOfKillingWhileOpen) {
    HangGuard guard(15);
    PtyChild child([](int report) {
        signal(SIGINT, SIG_DFL);
        KB_OP();
        if (write(report, "R", 1) != 1) return 1;
        char key = 0;
        for (int i = 0; i < 200 && !err_; ++i) {
            key = KB_B(0, 0);
            usleep(5000);
        }
        const std::string msg = err_ ? ERR_S() : "no error";
        if (write(report, msg.data(), msg.size()) < 0) return 1;
        return key == 0 ? 0 : 2;
    });
    ASSERT_TRUE(child.ready());
    ASSERT_EQ(write(child.master(), "\x03", 1), 1);
    const std::string msg = read_report(child.report(), 3000);
    const int st = child.wait();
    EXPECT_EQ(msg, "Process aborted by user");
    EXPECT_TRUE(WIFEXITED(st)) << "killed by signal " << (WIFSIGNALED(st) ? WTERMSIG(st) : 0);
}

TEST(Bells, RingOnTheTerminalOnlyWhenEnabled) {
    HangGuard guard;
    StdinPty pty;
    ATT_SND(3);
    EXPECT_EQ(pty.output(), "\a\a\a");
    const auto start = std::chrono::steady_clock::now();
    ERR_SND(1);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(190));
    EXPECT_EQ(pty.output(), "\a\a");
    snd_ena = 0;
    ATT_SND(2);
    ERR_SND(2);
    EXPECT_EQ(pty.output(), "");
    snd_ena = 1;
}
