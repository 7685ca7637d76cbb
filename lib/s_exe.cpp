// Shell commands: running a command line with its error output captured into the error
// state, the child side of the error-file convention, and process queries through pidof/ps.
#include "s_exe.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cnv_lb.h"
#include "fl_lb.h"
#include "fnd_lb.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "os_vsn.h"
#include "rm_trl.h"
#include "s_mt.h"

char s_exe_tst = 0;
char s_exe_log = 0;
char s_exe_hide = 0;
char daemon_op = 0;
const char* s_exe_err_fl = "s_exe.err";

namespace {

constexpr char cap_pfx[] = "/var/tmp/s_exe_stderr";
constexpr char cap_sfx[] = ".tmp";
constexpr char cap_tmpl[] = "/var/tmp/s_exe_stderr.XXXXXX";
constexpr char pid_fl[] = "/var/tmp/proc_pid.tmp";
constexpr char ps_fl[] = "proc_pid.tmp";
// Longest file read whole into memory: sizes are signed 32-bit in the file layer.
constexpr off_t rd_mxsz = 0x7FFFFFFF;

// Reads a whole file from its descriptor into an owned, terminated block; null when it is
// empty (or, with an error raised, when memory runs out).
char* fd_bf(int fd) {
    static const char rtn[] = "FILE_BF";
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_size <= 0) return nullptr;
    const off_t size = st.st_size > rd_mxsz ? rd_mxsz : st.st_size;
    char* bf = MEM_AL(static_cast<std::uint32_t>(size) + 1);
    if (RTN_ERR(rtn)) return nullptr;
    off_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(fd, bf + got, static_cast<std::size_t>(size - got), got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += n;
    }
    bf[got] = '\0';
    if (got == 0) MEM_FR(&bf);
    return bf;
}

// A regular file read whole, links not followed; null when absent or empty.
char* file_bf(const char* fnam) {
    LbFd fd(::open(fnam, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    return fd_bf(fd.get());
}


// Whether a live process holds this capture file: each holder keeps its file locked until
// it has read it back.
bool cap_busy(const char* name) {
    LbFd fd(::open(name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    return ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
}

// The capture file of error output. /var/tmp is shared by everyone: the file is made here,
// already locked, under the first free number, so that the shell's redirection only ever
// opens a file this process created (never a planted link), and other processes running
// commands at the same time skip it rather than delete it.
class Capture {
public:
    ~Capture() {
        fd_.reset();
        MEM_FR(&name_);
    }

    const char* name() const { return name_; }
    int fd() const { return fd_.get(); }

    // False with an OS error raised when no file can be made at all.
    bool claim(const char* rtn) {
        char tmpl[sizeof cap_tmpl];
        std::memcpy(tmpl, cap_tmpl, sizeof cap_tmpl);
        LbFd tmp(::mkostemp(tmpl, O_CLOEXEC));
        if (tmp.get() < 0 || ::flock(tmp.get(), LOCK_EX | LOCK_NB) != 0) return fail(rtn, 0);
        for (std::int32_t n = 0; n < INT32_MAX; ++n) {
            name_ = S_RP(name_, UT_SM_CP(cap_pfx, V_S10(n, nullptr, 0), cap_sfx, nullptr));
            if (RTN_ERR(rtn)) break;
            if (cap_busy(name_)) continue;
            FILE_DL(name_, 0);
            if (err_) {
                // Someone else's file: the next number.
                ERR_S();
                continue;
            }
            // link fails on any name that reappeared meanwhile, links included.
            if (::link(tmpl, name_) == 0) {
                ::unlink(tmpl);
                fd_.reset(tmp.release());
                return true;
            }
            if (errno == EEXIST) continue;
            // A file system without hard links: create the name exclusively instead.
            const int fd = ::open(name_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0) {
                ::flock(fd, LOCK_EX | LOCK_NB);
                ::unlink(tmpl);
                fd_.reset(fd);
                return true;
            }
            if (errno == EEXIST) continue;
            break;
        }
        const int no = errno;
        ::unlink(tmpl);
        return fail(rtn, no);
    }

    // Deletes the file (the name stays for the message); the lock goes with the descriptor.
    void drop() {
        if (name_) FILE_DL(name_, 0);
        fd_.reset();
    }

private:
    bool fail(const char* rtn, int no) {
        if (!no) no = errno;
        if (!err_) {
            const char* first = name_ ? name_ : UT_SM_CP(cap_pfx, "0", cap_sfx, nullptr);
            OS_ERR(rtn, UT_SM_CP(":capture file \"", first, "\"", nullptr), no);
        }
        return false;
    }

    LbFd fd_;
    char* name_ = nullptr;
};

// Whether the first word of the command names a Windows program.
bool windows_pgm(const char* cmd) {
    const std::size_t word = std::strcspn(cmd, " ");
    if (word <= 3) return false;
    char ending[5];
    std::memcpy(ending, cmd + word - 4, 4);
    ending[4] = '\0';
    return S_MT(ending, ".EXE", 0, 1, 0, 0);
}

// Output file of a query command, opened for this process alone and empty: never a planted
// link or someone else's file, and locked so that queries of other processes wait their turn
// rather than empty or remove it under this one. Returns the descriptor, -1 with an error.
int out_file(const char* fnam, const char* rtn) {
    constexpr int tries = 5;
    for (int i = 0; i < tries && !err_; ++i) {
        LbFd fd(::open(fnam, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
        struct stat st {};
        if (fd.get() < 0 && errno != ELOOP) break;
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
            st.st_uid != ::geteuid()) {
            FILE_DL(fnam, 0);
            continue;
        }
        if (::flock(fd.get(), LOCK_EX) != 0) break;
        // The holder before us may have deleted the name meanwhile.
        struct stat now {};
        if (::stat(fnam, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) continue;
        if (::ftruncate(fd.get(), 0) != 0) break;
        return fd.release();
    }
    if (!err_) OS_ERR(rtn, UT_SM_CP(":open \"", fnam, "\"", nullptr), errno ? errno : EBUSY);
    return -1;
}

}  // namespace

void S_EXE(char display, const char* command) {
    static const char rtn[] = "S_EXE";
    if (err_ || !command) return;
    if (s_exe_tst) {
        if (!daemon_op) {
            std::printf("%s\n", command);
            std::fflush(stdout);
        }
        return;
    }
    LbOwned cmd(S_CP(command));
    if (RTN_ERR(rtn)) return;
    RM_TRL(cmd.get());
    if (windows_pgm(cmd.get())) {
        cmd.reset(SM_CP("wine ", cmd.get(), nullptr));
        if (RTN_ERR(rtn)) return;
    }

    Capture cap;
    bool captured = false;
    if (!S_END_MT(cmd.get(), "&", 0, 1, 0) && !std::strstr(command, " 2>")) {
        if (!cap.claim(rtn)) return;
        captured = true;
        cmd.reset(SM_CP(cmd.get(), " 2>", cap.name(), nullptr));
        if (RTN_ERR(rtn)) {
            cap.drop();
            return;
        }
    }

    LbOwned text;
    FILE_DL(s_exe_err_fl, 0);
    if (!err_) {
        if (dbg_ > 0 || s_exe_log)
            SM_DBG(rtn, ":cmd=", cmd.get(), " dsp=",
                   V_S10(static_cast<unsigned char>(display), nullptr, 0), nullptr);
        if (display && !daemon_op) std::printf("%s\r\n", cmd.get());
        // The command shares our standard output: what we printed must come first.
        std::fflush(nullptr);
        errno = 0;
        (void)std::system(cmd.get());
        const int no = errno;

        if (no != 0) {
            text.reset(S_CP(std::strerror(no)));
        } else {
            if (captured) text.reset(fd_bf(cap.fd()));
            if (text) {
                if (BF_MT(command, "ls ", 65535, 0, 1, 0) &&
                    FND_TXT4("No such file or directory", text.get(), 0, 4294967295u, 0, 0, 0,
                             nullptr) != 4294967295u) {
                    text.reset(nullptr);  // listing nothing is not a failure
                } else if (BF_MT(text.get(), "sh: line 1: ", 65535, 0, 1, 0)) {
                    std::memmove(text.get(), text.get() + 12, std::strlen(text.get() + 12) + 1);
                }
            } else if (!err_) {
                // A child program of this library may have left its error in the error file.
                text.reset(file_bf(s_exe_err_fl));
            }
        }
    }

    if (captured) {
        cap.drop();
        RTN_ERR(rtn);
    }
    FILE_DL(s_exe_err_fl, 0);

    if (err_) {
        // The command's own words win over what went wrong around it.
        if (text) ERR_S();
        else text.reset(S_CP(ERR_S()));
    }
    if (!text) return;
    text.ref() = C_TXT(text.ref(), "\r\n", " ", 1, 0);
    text.ref() = C_TXT(text.ref(), "\r", " ", 1, 0);
    text.ref() = C_TXT(text.ref(), "\n", " ", 1, 0);
    RM_TRL(text.get());
    if (err_) return;
    SM_ERR(rtn, ":", text.get(), " (cmd=", cmd.get(), ")", nullptr);
}

void SM_EXE_list(char display, const char* const* texts, std::size_t n) {
    if (err_ || n == 0 || !texts[0]) return;
    LbOwned cmd(lb_join("S_A", texts, n));
    S_EXE(display, cmd.get());
}

void S_EXE_HIDE(const char* command) {
    s_exe_hide = 1;
    S_EXE(0, command);
    s_exe_hide = 0;
}

void SM_EXE_HIDE_list(const char* const* texts, std::size_t n) {
    if (err_ || n == 0 || !texts[0]) return;
    LbOwned cmd(lb_join("S_A", texts, n));
    S_EXE_HIDE(cmd.get());
}

void S_EXE_ERR(const char* text) {
    if (!text) text = "";
    if (!daemon_op) {
        std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
        std::putchar(7);
        std::fflush(stdout);
    }
    if (err_) return;
    S_FILE(s_exe_err_fl, text, 2);
}

char* UT_SH_DQ(const char* text) {
    if (err_ || !text) return nullptr;
    std::size_t len = 0;
    for (const char* p = text; *p; ++p) len += std::strchr("\\\"$`", *p) ? 2 : 1;
    if (len > lb_s_mxsz) return UT_SM_CP(text, text, nullptr);  // raises the overflow
    char* out = UT_AL(static_cast<std::uint32_t>(len));
    if (!out) return nullptr;
    char* at = out;
    for (const char* p = text; *p; ++p) {
        if (std::strchr("\\\"$`", *p)) *at++ = '\\';
        *at++ = *p;
    }
    *at = '\0';
    return out;
}

namespace {

// A program name as one shell word: as it is when it holds nothing the shell would read,
// else in double quotes.
const char* sh_word(const char* name) {
    if (*name && std::strspn(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                   "0123456789._+-/@%:,=") == std::strlen(name))
        return name;
    return UT_SM_CP("\"", UT_SH_DQ(name), "\"", nullptr);
}

}  // namespace

std::uint16_t PROC_PID(const char* pgm) {
    static const char rtn[] = "PROC_PID";
    if (err_) return 65535;
    std::uint16_t pid = 65535;
    LbFd fd(out_file(pid_fl, rtn));
    if (!err_) SM_EXE(0, "pidof ", sh_word(pgm ? pgm : ""), " > ", pid_fl, nullptr);
    struct stat st {};
    if (!err_ && ::fstat(fd.get(), &st) == 0 && st.st_size > 0) {
        // The first line: pids newest first, separated by blanks.
        const std::size_t mx = fl_rc_mxs;
        LbOwned line(RCDF_AL());
        const ssize_t n = line ? ::pread(fd.get(), line.get(), mx, 0) : -1;
        if (n > 0) {
            line.get()[n] = '\0';
            line.get()[std::strcspn(line.get(), "\r\n")] = '\0';
            pid = S10_U2(line.get(), nullptr, 1);
            if (err_) {
                ERR_S();
                pid = 65535;
            }
        }
    } else if (!err_) {
        S_ERR("pidof failure");
    }
    RTN_ERR(rtn);
    return pid;
}

std::uint16_t PROC_CNT(const char* pgm) {
    static const char rtn[] = "PROC_CNT";
    if (err_) return 0;
    OS_VSN(0);
    std::uint16_t cnt = 0;
    const int raw = out_file(ps_fl, rtn);
    if (raw >= 0) {
        SM_EXE(0, "ps x a > ", ps_fl, " 2>/dev/null", nullptr);
        struct stat st {};
        if (!err_ && (::fstat(raw, &st) != 0 || st.st_size == 0)) S_ERR("ps failure");
        std::FILE* fp = ::fdopen(raw, "r");
        if (!fp) ::close(raw);
        char* line = nullptr;
        std::size_t cap = 0;
        while (fp && !err_ && ::getline(&line, &cap, fp) >= 0) {
            // A terminal window started to run the program is not the program.
            if (FND_WD(pgm, line, 0, 65535, 0, 0, 1, nullptr) != 65535 &&
                FND_TXT("xterm ~-e ", line, 0, 65535, '~', 0, 0, nullptr) == 65535 && cnt < 65535)
                ++cnt;
        }
        std::free(line);
        // Deleted before the lock goes with the close: a waiting query then makes its own.
        FILE_DL(ps_fl, 0);
        if (fp) std::fclose(fp);
    }
    RTN_ERR(rtn);
    return cnt;
}
