// Keyboard: single-key polling, the open keyboard with its type-ahead and key decoding,
// and the bells.
#include "vd_lnx.h"

#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ch_echt.h"
#include "cnv_lb.h"
#include "fl_lb.h"
#include "mem_lb.h"
#include "sm_vd.h"
#include "tm_lb.h"

struct termio old_setup{};
struct termio new_setup{};
char kb_op = 0;
FF1DF kb_tpa_ff{};
char snd_ena = 1;

char ky_fnc[256] = {
    0, 0, 0, 1, 0, 0, 0, 0,  // Ctrl-C aborts
    0, 0, 0, 1, 0, 0, 0, 4,  // Ctrl-K aborts, Ctrl-O switches screen output
    0, 0, 0, 0, 0, 0, 5, 0,  // Ctrl-V dumps the screen image
    2,                       // Ctrl-X steps the debug level
};

namespace {

constexpr int stdin_fd = 0;
// The type-ahead holds one key less than its size.
constexpr std::uint32_t tpa_sz = 41;
constexpr std::uint32_t tpa_min_keys = 40;
constexpr std::uint32_t kb_poll_ms = 10;
constexpr std::uint32_t err_snd_ms = 100;
constexpr char dbg_mx = 4;
// Attribute of the keyboard's on-screen notices: reverse video.
constexpr char notice_att = 0x70;

// Local modes off while one key is polled or read: no line editing, no echo, and no stop
// of a background writer or reprint of pending input getting in the way.
constexpr tcflag_t key_lflag_off = ICANON | ECHO | TOSTOP | PENDIN;
// The open keyboard also turns off signals from Ctrl-C and the like: those keys are its own.
constexpr tcflag_t kb_lflag_off = ISIG | ICANON | ECHO | PENDIN;
static_assert(key_lflag_off == 0x410A && kb_lflag_off == 0x400B && ICRNL == 0x0100 &&
              TABDLY == 0x1800 && ONLCR == 0x0004);

// Whether the open keyboard's raw settings could be applied: then a read never waits.
bool kb_raw = false;
bool kb_atexit = false;
// Standard input (not a terminal) has ended: no key will ever come, so none is waited for.
bool kb_eof = false;

// True when standard input is this process's controlling terminal but another process
// group is in front: changing the settings or reading would stop the process.
bool in_background() {
    const pid_t front = tcgetpgrp(stdin_fd);
    return front != -1 && front != getpgrp();
}

// Applies terminal settings even from the background: restoring them must not be the
// thing that stops the process (at exit, for example).
void restore_setup(const struct termio* setup) {
    sigset_t ttou, old;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    sigprocmask(SIG_BLOCK, &ttou, &old);
    ioctl(stdin_fd, TCSETA, setup);
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void restore_at_exit() { KB_CL(); }

void queue_key(unsigned char key) {
    if (!V_FF(static_cast<char>(key), &kb_tpa_ff, 0) && !err_) ATT_SND(1);
}

// The bytes after ESC of every sequence a key sends, and its key code. No sequence is the
// beginning of another, so the first whole match decides.
struct EscKey {
    const char* seq;
    unsigned char key;
};
constexpr EscKey esc_keys[] = {
    {"OP", ky_f1},      {"[11~", ky_f1},   {"OQ", ky_f2},       {"[12~", ky_f2},
    {"OR", ky_f2 + 1},  {"[13~", ky_f2 + 1}, {"OS", ky_f2 + 2}, {"[14~", ky_f2 + 2},
    {"[15~", ky_f2 + 3}, {"[17~", ky_f2 + 4}, {"[18~", ky_f2 + 5}, {"[19~", ky_f2 + 6},
    {"[20~", ky_f2 + 7}, {"[21~", ky_f10},  {"[23~", ky_f11},    {"[24~", ky_f12},
    {"[A", ky_up},      {"A", ky_up},      {"[B", ky_dwn},      {"B", ky_dwn},
    {"[C", ky_rgt},     {"C", ky_rgt},     {"[D", ky_lft},      {"D", ky_lft},
    {"[H", ky_home},    {"[1~", ky_home},  {"[F", ky_end},      {"[4~", ky_end},
    {"[2~", ky_insert}, {"[3~", ky_delete}, {"[5~", ky_pgup},   {"5~", ky_pgup},
    {"[6~", ky_pgdn},   {"6~", ky_pgdn},
};
constexpr std::size_t esc_seq_mxsz = 4;

// Reads the rest of an escape sequence, only as far as some sequence could still match,
// and queues its key code, or ESC and the bytes read when nothing matched.
void decode_escape() {
    char seq[esc_seq_mxsz + 1] = {};
    std::size_t n = 0;
    while (n < esc_seq_mxsz) {
        const char b = KB_B_SYS();
        if (!b) break;
        seq[n++] = b;
        bool prefix = false;
        for (const EscKey& k : esc_keys) {
            if (std::strncmp(k.seq, seq, n) != 0) continue;
            if (k.seq[n] == '\0') {
                queue_key(k.key);
                return;
            }
            prefix = true;
        }
        if (!prefix) break;
    }
    queue_key(27);
    for (std::size_t i = 0; i < n; ++i) queue_key(static_cast<unsigned char>(seq[i]));
}

// A notice in reverse video at the cursor, outside the screen image; the attribute and the
// terminal cursor go back to where the screen has them.
void notice(char att, const char* text) {
    A_VD(notice_att);
    S_VD_SYS(text);
    A_VD(att);
    YX_TCRS(65535, 65535, 1);
}

}  // namespace

int kbhit() {
    if (in_background()) return 0;
    struct termios saved;
    if (tcgetattr(stdin_fd, &saved) != 0) return 0;
    struct termios poll_setup = saved;
    poll_setup.c_lflag &= ~key_lflag_off;
    poll_setup.c_cc[VMIN] = 0;
    poll_setup.c_cc[VTIME] = 0;
    // Already in that state (an open keyboard, for one): no need to touch the settings.
    const bool change = (saved.c_lflag & key_lflag_off) != 0 || saved.c_cc[VMIN] != 0 ||
                        saved.c_cc[VTIME] != 0;
    if (change && tcsetattr(stdin_fd, TCSANOW, &poll_setup) != 0) return 0;
    int waiting = 0;
    const int rc = ioctl(stdin_fd, FIONREAD, &waiting);
    if (change) tcsetattr(stdin_fd, TCSANOW, &saved);
    return rc == 0 && waiting > 0 ? 1 : 0;
}

int getch() {
    struct termios saved;
    bool changed = tcgetattr(stdin_fd, &saved) == 0;
    if (changed) {
        struct termios key_setup = saved;
        key_setup.c_lflag &= ~key_lflag_off;
        key_setup.c_cc[VMIN] = 1;
        key_setup.c_cc[VTIME] = 0;
        changed = tcsetattr(stdin_fd, TCSANOW, &key_setup) == 0;
    }
    // Straight from the descriptor: a stream buffer would hide further keys from kbhit.
    unsigned char c = 0;
    const ssize_t n = read(stdin_fd, &c, 1);
    if (changed) tcsetattr(stdin_fd, TCSANOW, &saved);
    if (n != 1) return -1;
    return c == '\n' ? '\r' : c;
}

void KB_OP() {
    static const char rtn[] = "KB_OP";
    if (err_) return;
    KB_CL();
    FF_CL(&kb_tpa_ff);
    FF_OP(&kb_tpa_ff, tpa_sz);
    if (RTN_ERR(rtn)) return;
    kb_raw = false;
    kb_eof = false;
    if (ioctl(stdin_fd, TCGETA, &old_setup) == 0) {
        new_setup = old_setup;
        new_setup.c_iflag &= static_cast<unsigned short>(~ICRNL);
        new_setup.c_oflag &= static_cast<unsigned short>(~TABDLY);
        new_setup.c_lflag &= static_cast<unsigned short>(~kb_lflag_off);
        new_setup.c_cc[VTIME] = 0;
        new_setup.c_cc[VMIN] = 0;
        kb_raw = ioctl(stdin_fd, TCSETA, &new_setup) == 0;
    }
    kb_op = 1;
    if (!kb_atexit) kb_atexit = std::atexit(restore_at_exit) == 0;
}

void KB_CL() {
    if (!kb_op) return;
    if (kb_raw) restore_setup(&old_setup);
    kb_raw = false;
    FF_CL(&kb_tpa_ff);
    kb_op = 0;
}

char KB_B_SYS() {
    if (err_) return 0;
    // Without raw settings in force a read could wait (a line-buffered terminal, a pipe):
    // look first.
    if (!kb_raw) {
        struct pollfd p = {stdin_fd, POLLIN, 0};
        if (poll(&p, 1, 0) != 1) return 0;
        if (!(p.revents & POLLIN)) {
            kb_eof = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
            return 0;
        }
    }
    char b = 0;
    const ssize_t n = read(stdin_fd, &b, 1);
    if (n != 1) {
        if (!kb_raw && n == 0) kb_eof = true;
        return 0;
    }
    return b;
}

char KB_HIT() {
    static const char rtn[] = "KB_HIT";
    if (err_) return 1;
    if (!kb_op) return 0;
    const char att = vd_att;
    if (!in_background()) {
        for (;;) {
            unsigned char b = static_cast<unsigned char>(KB_B_SYS());
            if (b == 0 || err_) break;
            if (b == 127) b = 8;
            if (b == 27) {
                decode_escape();
                continue;
            }
            switch (ky_fnc[b]) {
            case 1:
                S_ERR("Process aborted by user");
                // Keys typed before the abort are not for whatever runs next.
                PSH_ERR();
                FF_CL(&kb_tpa_ff);
                FF_OP(&kb_tpa_ff, tpa_sz);
                POP_ERR();
                return 1;
            case 2:
                dbg_ = static_cast<char>(dbg_ >= dbg_mx ? 0 : dbg_ + 1);
                notice(att, UT_SM_CP("DBG_=", V_S10(dbg_, nullptr, 0), nullptr));
                break;
            case 4:
                // The notice goes out while output is on, so that the attribute and the
                // cursor can still be put back.
                if (vd_out) {
                    notice(att, "Output off");
                    vd_out = 0;
                } else {
                    vd_out = 1;
                    notice(att, "Output on");
                }
                break;
            case 5:
                VDI_FL();
                RTN_ERR(rtn);
                break;
            default:
                queue_key(b);
            }
        }
    }
    return err_ || FF_CNT(&kb_tpa_ff) > 0 ? 1 : 0;
}

char KB_B(char wait, char peek) {
    KB_HIT();
    if (err_) return 0;
    while (FF_CNT(&kb_tpa_ff) == 0) {
        // A closed keyboard or an ended input brings no more keys: waiting would never end.
        if (!wait || !kb_op || kb_eof) return 0;
        SLEEP_MS(kb_poll_ms);
        KB_HIT();
        if (err_) return 0;
    }
    return FF_V(&kb_tpa_ff, peek);
}

char KB_KY(char wait, char peek) { return KB_B(wait, peek); }

void KB_LF_CRLF(char on) {
    static struct termio lf_setup;
    if (ioctl(stdin_fd, TCGETA, &lf_setup) != 0) return;
    if (on)
        lf_setup.c_oflag |= ONLCR;
    else
        lf_setup.c_oflag &= static_cast<unsigned short>(~ONLCR);
    ioctl(stdin_fd, TCSETA, &lf_setup);
}

void FL_KB_TPA(const char* fnam) {
    static const char rtn[] = "FL_KB_TPA";
    if (err_) return;
    FLDF fd;
    FL_OP(fnam, 0, 0, 0, &fd);
    if (RTN_ERR(rtn)) return;
    FF_CL(&kb_tpa_ff);
    FF_OP(&kb_tpa_ff, std::max(fd.sz, tpa_min_keys) + 1);
    bool after_cr = false;
    while (!err_) {
        const std::uint16_t b = FL_B(&fd);
        if (b == 65535) break;
        if (b == '\n' && after_cr) {
            after_cr = false;
            continue;
        }
        after_cr = b == '\r';
        if (!V_FF(static_cast<char>(b), &kb_tpa_ff, 0)) {
            // The file grew since it was opened.
            ERR_SND(2);
            break;
        }
    }
    FL_CL(&fd, 0);
    RTN_ERR(rtn);
}

namespace {

// One bell to the terminal, or to standard output when the terminal is not known.
void bell() {
    static const char bel = '\a';
    if (vd_known) {
        if (write(stdin_fd, &bel, 1) < 0) return;
    } else {
        std::fputc(bel, stdout);
        std::fflush(stdout);
    }
}

}  // namespace

void ATT_SND(std::uint16_t count) {
    if (!snd_ena || !count) return;
    if (vd_known) {
        char bells[64];
        std::memset(bells, '\a', sizeof bells);
        for (std::uint32_t left = count; left > 0;) {
            const std::size_t n = std::min<std::size_t>(left, sizeof bells);
            if (write(stdin_fd, bells, n) < 0) return;
            left -= static_cast<std::uint32_t>(n);
        }
        return;
    }
    for (std::uint16_t i = 0; i < count; ++i) bell();
}

void ERR_SND(std::uint16_t count) {
    if (!snd_ena || !count) return;
    for (std::uint16_t i = 0; i < count; ++i) {
        bell();
        SLEEP_MS(err_snd_ms);
        bell();
        SLEEP_MS(err_snd_ms);
    }
}
