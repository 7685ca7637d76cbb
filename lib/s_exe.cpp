// Shell commands: running a command line with its error output captured into the error
// state, the child side of the error-file convention, and process queries through pidof/ps.
#include "s_exe.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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
const char* s_exe_err_fl = "";

namespace {

// The process's work directory: "<$TMPDIR or /var/tmp>/s_exe.XXXXXX".
constexpr char dir_leaf[] = "/s_exe.XXXXXX";
constexpr char dir_base[] = "/var/tmp";
constexpr char err_leaf[] = "/s_exe.err";
constexpr char cap_pfx[] = "/s_exe_stderr";
constexpr char cap_sfx[] = ".tmp";
constexpr char pid_leaf[] = "/proc_pid.tmp";
constexpr char ps_leaf[] = "/proc_cnt.tmp";
// Longest file read whole into memory: sizes are signed 32-bit in the file layer.
constexpr off_t rd_mxsz = 0x7FFFFFFF;

// Plain buffers: the names must outlive every destructor, for the clean-up at exit.
char dir_name[PATH_MAX];
char err_name[sizeof dir_name + sizeof err_leaf];
pid_t dir_pid = 0;
bool exit_hook = false;

// Removes the directory and whatever the commands left in it; a child made by fork() leaves
// its parent's alone.
void remove_dir() {
    if (!dir_name[0] || dir_pid != ::getpid()) return;
    if (DIR* dir = ::opendir(dir_name)) {
        while (const dirent* e = ::readdir(dir)) {
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                ::unlinkat(::dirfd(dir), e->d_name, 0);
        }
        ::closedir(dir);
    }
    ::rmdir(dir_name);
    dir_name[0] = '\0';
}

// A fresh directory under base (an absolute name; a relative one would land in the caller's
// directory).
bool make_dir_under(const char* base) {
    if (!base || base[0] != '/') return false;
    std::size_t len = std::strlen(base);
    while (len > 1 && base[len - 1] == '/') --len;
    if (len == 1) len = 0;  // "/" itself
    if (len + sizeof dir_leaf > sizeof dir_name) return false;
    std::memcpy(dir_name, base, len);
    std::memcpy(dir_name + len, dir_leaf, sizeof dir_leaf);
    if (::mkdtemp(dir_name)) return true;
    dir_name[0] = '\0';
    return false;
}

// The work directory of this process: where the commands' error output, their error file
// and the query outputs go, so that nothing of the caller's directory and no name anyone can
// foresee in a shared directory is ever touched. Made on first use (mode 0700, a name
// nobody had), made again when it has gone (a cleaner of old files) or when this is a child
// made by fork(), removed at exit. Null with an OS error raised under rtn when none can be made.
const char* work_dir(const char* rtn) {
    struct stat st {};
    if (dir_name[0] && dir_pid == ::getpid() && ::lstat(dir_name, &st) == 0 &&
        S_ISDIR(st.st_mode) && st.st_uid == ::geteuid())
        return dir_name;
    if (!make_dir_under(std::getenv("TMPDIR")) && !make_dir_under(dir_base)) {
        const int no = errno;
        OS_ERR(rtn, UT_SM_CP(":work directory \"", dir_base, dir_leaf, "\"", nullptr), no);
        return nullptr;
    }
    dir_pid = ::getpid();
    std::snprintf(err_name, sizeof err_name, "%s%s", dir_name, err_leaf);
    s_exe_err_fl = err_name;
    if (!exit_hook) exit_hook = std::atexit(remove_dir) == 0;
    return dir_name;
}

// A file of the work directory as a temporary string; null with an error raised.
const char* work_file(const char* leaf, const char* rtn) {
    const char* dir = work_dir(rtn);
    return dir ? UT_SM_CP(dir, leaf, nullptr) : nullptr;
}

// A file name as one shell word: as it is when it holds nothing the shell would read, else
// in double quotes.
const char* sh_word(const char* name) {
    if (*name && std::strspn(name, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                   "0123456789._+-/@%:,=") == std::strlen(name))
        return name;
    return UT_SM_CP("\"", UT_SH_DQ(name), "\"", nullptr);
}

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

// The capture file of error output, made new in the work directory under the first free
// number; read back through the descriptor it was made with.
class Capture {
public:
    ~Capture() {
        fd_.reset();
        MEM_FR(&name_);
    }

    const char* name() const { return name_; }
    int fd() const { return fd_.get(); }

    // False with an error raised when no file can be made.
    bool claim(const char* dir, const char* rtn) {
        for (std::int32_t n = 0; n < INT32_MAX; ++n) {
            name_ = S_RP(name_, UT_SM_CP(dir, cap_pfx, V_S10(n, nullptr, 0), cap_sfx, nullptr));
            if (RTN_ERR(rtn)) return false;
            // Left over only when a delete failed: the next number then.
            const int fd = ::open(name_, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0) {
                fd_.reset(fd);
                return true;
            }
            if (errno != EEXIST) break;
        }
        const int no = errno;
        OS_ERR(rtn, UT_SM_CP(":capture file \"", name_, "\"", nullptr), no);
        return false;
    }

    // Deletes the file (the name stays for the message).
    void drop() {
        if (name_) FILE_DL(name_, 0);
        fd_.reset();
    }

private:
    LbFd fd_;
    char* name_ = nullptr;
};

// Names the error file in the environment of the command for the time it runs, so that a
// child program of this library (or any program that honours the name) reports there; the
// caller's own environment is as it was afterwards.
class ChildErrFile {
public:
    explicit ChildErrFile(const char* fnam) {
        if (const char* old = std::getenv(s_exe_err_env)) {
            had_ = true;
            old_ = old;
        }
        ::setenv(s_exe_err_env, fnam, 1);
    }
    ~ChildErrFile() {
        if (had_) ::setenv(s_exe_err_env, old_.c_str(), 1);
        else ::unsetenv(s_exe_err_env);
    }
    ChildErrFile(const ChildErrFile&) = delete;
    ChildErrFile& operator=(const ChildErrFile&) = delete;

private:
    bool had_ = false;
    std::string old_;
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

// Output file of a query command, new and empty in the work directory. Returns the
// descriptor, -1 with an error raised.
int out_file(const char* fnam, const char* rtn) {
    const int fd = ::open(fnam, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int no = errno;
        OS_ERR(rtn, UT_SM_CP(":open \"", fnam, "\"", nullptr), no);
    }
    return fd;
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
    const char* dir = work_dir(rtn);
    if (!dir) return;

    Capture cap;
    bool captured = false;
    if (!S_END_MT(cmd.get(), "&", 0, 1, 0) && !std::strstr(command, " 2>")) {
        if (!cap.claim(dir, rtn)) return;
        captured = true;
        cmd.reset(SM_CP(cmd.get(), " 2>", sh_word(cap.name()), nullptr));
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
        int no = 0;
        {
            ChildErrFile child_err(s_exe_err_fl);
            errno = 0;
            (void)std::system(cmd.get());
            no = errno;
        }

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
    static const char rtn[] = "S_EXE_ERR";
    if (!text) text = "";
    if (!daemon_op) {
        std::fprintf(stderr, "%s\n", text);
        std::fflush(stderr);
        std::putchar(7);
        std::fflush(stdout);
    }
    if (err_) return;
    // The parent that ran us named its error file; started by no such parent, the text goes
    // to our own, where S_EXE reads it back from the programs it runs.
    const char* fnam = std::getenv(s_exe_err_env);
    if (!fnam || !*fnam) fnam = work_dir(rtn) ? s_exe_err_fl : nullptr;
    if (fnam) S_FILE(fnam, text, 2);
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

std::uint16_t PROC_PID(const char* pgm) {
    static const char rtn[] = "PROC_PID";
    if (err_) return 65535;
    std::uint16_t pid = 65535;
    LbOwned out(S_CP(work_file(pid_leaf, rtn)));
    LbFd fd(out ? out_file(out.get(), rtn) : -1);
    if (!err_) SM_EXE(0, "pidof ", sh_word(pgm ? pgm : ""), " > ", sh_word(out.get()), nullptr);
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
    if (fd.get() >= 0) ::unlink(out.get());
    RTN_ERR(rtn);
    return pid;
}

std::uint16_t PROC_CNT(const char* pgm) {
    static const char rtn[] = "PROC_CNT";
    if (err_) return 0;
    OS_VSN(0);
    std::uint16_t cnt = 0;
    LbOwned out(S_CP(work_file(ps_leaf, rtn)));
    const int raw = out ? out_file(out.get(), rtn) : -1;
    if (raw >= 0) {
        SM_EXE(0, "ps x a > ", sh_word(out.get()), " 2>/dev/null", nullptr);
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
        ::unlink(out.get());
        if (fp) std::fclose(fp);
    }
    RTN_ERR(rtn);
    return cnt;
}
