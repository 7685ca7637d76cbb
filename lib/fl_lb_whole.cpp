// Whole-file operations on files named by path: type tests, size, mode and time, deleting,
// emptying, writing a buffer or a line, reading a whole file, line statistics, disk space.
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cnv_lb.h"
#include "fl_lb.h"
#include "fl_lb_own.h"
#include "lb_own.h"
#include "mem_lb.h"

namespace {

constexpr std::uint32_t end4 = 4294967295u;
// Longest line S_FILE builds on the stack; longer ones take a heap block.
constexpr std::size_t s_file_stack_sz = 1024;

const char* shown(const char* fnam) { return fnam ? fnam : ""; }

bool stat_of(const char* fnam, struct stat& st) { return fnam && ::stat(fnam, &st) == 0; }

// The full size of what stat sees under fnam; a miss raises through FILE_OK when report is set.
bool size_of(const char* fnam, char report, std::int64_t& size) {
    struct stat st {};
    if (stat_of(fnam, st)) {
        size = static_cast<std::int64_t>(st.st_size);
        return true;
    }
    size = 0;
    if (report) FILE_OK(fnam, 1);
    return false;
}

// Reading slot flr_fd is closed on every path.
struct FlrClose {
    ~FlrClose() { FLR_CL(); }
};

// Line counting of FILE_STATS, fed block by block. A CR is not counted, and the byte after
// it is taken as a plain byte or an LF (so CR LF ends one line, a lone CR ends none); a CR
// that is the file's last byte counts as a character.
struct LineStats {
    std::uint32_t lines = 0;
    std::uint32_t cur = 0;
    std::uint32_t max = 0;
    bool after_cr = false;

    void line_end() {
        ++lines;
        max = std::max(max, cur);
        cur = 0;
    }

    void feed(const char* p, std::size_t len) {
        std::size_t i = 0;
        const char* lf = nullptr;  // next LF at or after i, looked up once per line
        while (i < len) {
            if (after_cr) {
                after_cr = false;
                if (p[i] == '\n') line_end();
                else ++cur;
                ++i;
                continue;
            }
            if (!lf || lf < p + i) lf = static_cast<const char*>(std::memchr(p + i, '\n', len - i));
            const std::size_t end = lf ? static_cast<std::size_t>(lf - p) : len;
            if (const void* cr = std::memchr(p + i, '\r', end - i)) {
                const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(cr) - p);
                cur += static_cast<std::uint32_t>(at - i);
                after_cr = true;
                i = at + 1;
                continue;
            }
            cur += static_cast<std::uint32_t>(end - i);
            i = end;
            if (lf) {
                line_end();
                ++i;
            }
        }
    }

    void finish() {
        if (after_cr) ++cur;
        after_cr = false;
        if (cur > 0) ++lines;
        max = std::max(max, cur);
    }
};

// Blocks of the file system holding "/", low 10 bits cleared; counts that do not fit in
// 32 bits are held at the largest value that does.
std::uint32_t drv_blocks(const char* rtn, bool avail) {
    if (err_) return 0;
    struct statfs fs {};
    if (::statfs("/", &fs) != 0) {
        OS_ERR(rtn, ":statfs", 0);
        return 0;
    }
    const auto blocks = static_cast<std::uint64_t>(avail ? fs.f_bavail : fs.f_blocks);
    const std::uint32_t fit = blocks > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(blocks);
    return fit & ~std::uint32_t{0x3FF};
}

}  // namespace

// ---- Tests of what a name is ----

char FILE_OK(const char* fnam, char report) {
    if (err_) return 0;
    const char* f = shown(fnam);
    struct stat st {};
    bool found = stat_of(fnam, st);
    if (found && S_ISREG(st.st_mode)) return 1;
    if (!report) return 0;
    const char* what = " not found";
    if (found) {
        if (S_ISDIR(st.st_mode)) what = " is a dir";
        else if (S_ISCHR(st.st_mode)) what = " is a character dvc";
        else if (S_ISFIFO(st.st_mode)) what = " is a pipe";
        else if (S_ISBLK(st.st_mode)) what = " is a block dvc";
        else if (S_ISSOCK(st.st_mode)) what = " is a socket";
        else what = " is not a regular file";
    }
    SM_ERR("\"", f, "\"", what, nullptr);
    return 0;
}

char ANY_FILE_OK(const char* fnam, char report) {
    if (err_) return 0;
    struct stat st {};
    if (stat_of(fnam, st)) return 1;
    if (report) SM_ERR("\"", shown(fnam), "\" not found", nullptr);
    return 0;
}

char DIR_OK(const char* fnam, char report) {
    if (err_) return 0;
    struct stat st {};
    bool found = stat_of(fnam, st);
    if (found && S_ISDIR(st.st_mode)) return 1;
    if (!report) return 0;
    if (found) SM_ERR("\"", shown(fnam), "\" is not dir", nullptr);
    else SM_ERR("Dir \"", shown(fnam), "\" not found", nullptr);
    return 0;
}

char LINK_OK(const char* fnam, char report) {
    if (err_) return 0;
    struct stat st {};
    if (fnam && ::lstat(fnam, &st) == 0 && S_ISLNK(st.st_mode)) return 1;
    if (report) SM_ERR("Link \"", shown(fnam), "\" not found", nullptr);
    return 0;
}

// ---- Size, mode and time ----

std::int32_t FILE_SZ(const char* fnam, char report) {
    if (err_) return 0;
    std::int64_t size = 0;
    size_of(fnam, report, size);
    // Only the low 32 bits of a size of 2 GiB or more fit the result.
    return static_cast<std::int32_t>(size);
}

std::uint64_t FILE_SZ8(const char* fnam, char report) {
    if (err_) return 0;
    std::int64_t size = 0;
    size_of(fnam, report, size);
    return static_cast<std::uint64_t>(size);
}

std::uint32_t FILE_MODE(const char* fnam) {
    static const char rtn[] = "FILE_MODE";
    if (err_) return 0;
    struct stat st {};
    if (stat_of(fnam, st)) return static_cast<std::uint32_t>(st.st_mode);
    SM_ERR("\"", shown(fnam), "\" not found", nullptr);
    RTN_ERR(rtn);
    return 0;
}

void MODE_FILE(std::uint32_t mode, const char* fnam) {
    if (err_) return;
    if (fnam && ::chmod(fnam, static_cast<mode_t>(mode & 07777)) == 0) return;
    SM_ERR("chmod failure (file=\"", shown(fnam), "\", mode=", V_S16(mode, nullptr, nullptr), ")",
           nullptr);
}

void FILE_UTM(const char* fnam, UTMDF* utm, char link) {
    static const char rtn[] = "FILE_UTM";
    if (!utm) {
        SM_ERR(rtn, ":utm=NULL", nullptr);
        return;
    }
    struct stat st {};
    bool found = fnam && (link ? ::lstat(fnam, &st) : ::stat(fnam, &st)) == 0;
    if (!found) {
        FL_OP_ERR(shown(fnam));
        RTN_ERR(rtn);
        return;
    }
    fl_local_utm(st.st_mtime, *utm);
}

char FILE_NEWER(const char* fnam1, const char* fnam2) {
    if (err_) return 0;
    struct stat st1 {}, st2 {};
    const bool ok1 = stat_of(fnam1, st1);
    const bool ok2 = stat_of(fnam2, st2);
    // Both must exist; the first missing one is told, as ANY_FILE_OK tells it.
    if (!ok1 || !ok2) {
        SM_ERR("\"", shown(ok1 ? fnam2 : fnam1), "\" not found", nullptr);
        return 0;
    }
    return st1.st_mtime > st2.st_mtime ? 1 : 0;
}

// ---- Deleting and emptying ----

char FILE_DL(const char* fnam, char report) {
    static const char rtn[] = "FILE_DL";
    if (!fnam) {
        SM_ERR(rtn, ":fnam=NULL", nullptr);
        return 0;
    }
    if (dbg_ > 1) SM_DBG("FILE_DL:", fnam, nullptr);
    if (std::remove(fnam) == 0) return 1;
    const int no = errno;
    const bool absent = no == ENOENT || no == ENOTDIR;
    if (absent && !report) return 0;
    SM_ERR("Delete error on \"", fnam, "\"", nullptr);
    // Appended even to an error that was already pending: the delete ran regardless.
    if (absent) S_ERRA(" (file not found)");
    else if (no == EACCES || no == EPERM || no == EROFS) S_ERRA(" (readonly)");
    return 0;
}

void FILE_CLR(const char* fnam, char create) {
    static const char rtn[] = "FILE_CLR";
    if (err_) return;
    if (!create && !FILE_OK(fnam, 0)) return;
    // Through a record, so that the execute-bit rule of a written file applies.
    FL_CL(FL_OP(fnam, 1, 2, 0, nullptr), 1);
    RTN_ERR(rtn);
}

// ---- Writing ----

void BF_FILE(const char* fnam, const char* bf, std::uint32_t n, char wtc) {
    static const char rtn[] = "BF_FILE";
    if (err_ || !bf) return;
    if (!fnam) {
        SM_ERR(rtn, ":fnam=NULL", nullptr);
        return;
    }
    const std::size_t cnt = n == end4 ? std::strlen(bf) : n;
    if (std::FILE* fp = std::fopen(fnam, wtc == 2 ? "ab" : "wb")) {
        LbStream stream(fp);
        // Unbuffered: the one write goes straight to the file and its count is the true one.
        std::setvbuf(fp, nullptr, _IONBF, 0);
        const std::size_t put = cnt ? std::fwrite(bf, 1, cnt, fp) : 0;
        const bool closed = stream.close();
        if (put != cnt || !closed) {
            const Dec want(static_cast<std::uint32_t>(cnt));
            const Dec done(static_cast<std::uint32_t>(put));
            SM_ERR(write_err_on, fnam, "\" (cnt=", want.text, " cnt1=", done.text, ")", nullptr);
        }
    } else {
        FL_OP_ERR(fnam);
    }
    RTN_ERR(rtn);
}

void BF_FD(int fd, const char* fnam, const char* bf, std::uint32_t n) {
    static const char rtn[] = "BF_FD";
    if (err_ || !bf) return;
    std::uint32_t put = 0;
    int no = ENOSPC;  // a write that takes nothing without an error: the device is full
    while (put < n) {
        const ssize_t w = ::write(fd, bf + put, n - put);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) no = errno;
        if (w <= 0) break;
        put += static_cast<std::uint32_t>(w);
    }
    if (put == n) return;
    // The system's reason goes with it: it is what a remote sender gets to read.
    SM_ERR(write_err_on, fnam ? fnam : "", "\" (cnt=", Dec(n).text, " cnt1=", Dec(put).text,
           ") (err #", Dec(static_cast<std::uint64_t>(no)).text, ":", std::strerror(no), ")",
           nullptr);
    RTN_ERR(rtn);
}

void S_FILE(const char* fnam, const char* s, char wtc) {
    static const char rtn[] = "S_FILE";
    if (err_) return;
    const char* text = s ? s : "";
    const char* end = FILE_CRLF(fnam) ? "\r\n" : "\n";
    const std::size_t len = std::strlen(text);
    const std::size_t end_len = std::strlen(end);
    // The line and its end go out in one write, as one piece of the file.
    char small[s_file_stack_sz];
    LbOwned big;
    char* line = small;
    if (len + end_len + 1 > sizeof small) {
        if (len + end_len >= end4) {
            SM_ERR(rtn, ":line too long", nullptr);
            return;
        }
        big.reset(MEM_AL(static_cast<std::uint32_t>(len + end_len + 1)));
        if (RTN_ERR(rtn)) return;
        line = big.get();
    }
    std::memcpy(line, text, len);
    std::memcpy(line + len, end, end_len + 1);
    BF_FILE(fnam, line, static_cast<std::uint32_t>(len + end_len), wtc);
    RTN_ERR(rtn);
}

void SM_FILE_list(const char* fnam, const char* const* texts, std::size_t n) {
    static const char rtn[] = "SM_FILE";
    if (!fnam) SM_ERR(rtn, ":fnam=NULL", nullptr);
    if (err_) return;
    if (FLDF* rec = FL_OP(fnam, 2, 2, 0, nullptr)) {
        SM_FL_list(rec, texts, n);
        FL_CL(rec, 1);
    }
    RTN_ERR(rtn);
}

// ---- Reading ----

char* FILE_BF(const char* fnam, std::uint32_t* n) {
    static const char rtn[] = "FILE_BF";
    if (err_) return nullptr;
    std::int64_t size = 0;
    size_of(fnam, 1, size);
    if (RTN_ERR(rtn)) return nullptr;
    // The size, and the buffer of size + 1 bytes, must fit the 32-bit counts.
    if (size > 0x7FFFFFFE) SM_ERR("\"", fnam, "\" too large", nullptr);

    LbOwned bf;
    std::uint32_t got = 0;
    if (!err_) bf.reset(MEM_AL(static_cast<std::uint32_t>(size) + 1));
    if (!err_ && size > 0) {
        if (FLDF* rec = FL_OP(fnam, 0, 2, 0, nullptr)) {
            const std::uint32_t r = FL_BF(rec, bf.get(), static_cast<std::uint32_t>(size), 0);
            got = r == end4 ? 0 : r;  // less than size when the file shrank meanwhile
            FL_CL(rec, 1);
        }
    }
    if (RTN_ERR(rtn)) {
        if (n) *n = 0;
        return nullptr;
    }
    bf.get()[got] = '\0';
    if (n) *n = got;
    return bf.release();
}

std::uint16_t FILE_STATS(const char* fnam, std::uint32_t* lines) {
    static const char rtn[] = "FILE_STATS";
    if (err_) return 0;
    if (lines) *lines = 0;
    FLR_OP(fnam, 0);
    if (RTN_ERR(rtn)) return 0;
    LineStats stats;
    {
        FlrClose close;
        // Straight from the slot's cache, one cache-full at a time.
        while (std::uint16_t cnt = READ_(&flr_fd)) {
            stats.feed(flr_fd.cache, cnt);
            flr_fd.cache_ix = cnt;
        }
    }
    if (RTN_ERR(rtn)) return 0;
    stats.finish();
    if (lines) *lines = stats.lines;
    // Lines longer than 65535 characters are told as 65535.
    return static_cast<std::uint16_t>(std::min<std::uint32_t>(stats.max, 0xFFFF));
}

// ---- Disk space ----

std::uint32_t AVAIL_DRV(char /*drive*/) { return drv_blocks("AVAIL_DRV", true); }

std::uint32_t TOTAL_DRV(char /*drive*/) { return drv_blocks("TOTAL_DRV", false); }

char* FILE_UNIQUE(const char* dir, const char* prefix) {
    static const char rtn[] = "FILE_UNIQUE";
    if (err_) return nullptr;
    static constexpr char sfx[] = ".tmp";
    char* fnam = SM_CP(dir ? dir : ".", "/", prefix ? prefix : "", "XXXXXX", sfx, nullptr);
    if (RTN_ERR(rtn)) return nullptr;
    const int fd = mkstemps(fnam, static_cast<int>(sizeof sfx - 1));
    if (fd < 0) {
        // mkstemps has put its random letters into fnam: name the pattern instead.
        OS_ERR(rtn, UT_SM_CP(":mkstemps \"", dir ? dir : ".", "/", prefix ? prefix : "", "XXXXXX", sfx, "\"", nullptr), 0);
        MEM_FR(&fnam);
        return nullptr;
    }
    close(fd);
    return fnam;
}
