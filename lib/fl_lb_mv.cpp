// Moving, renaming, copying and appending whole files by name, and numbered backups.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fl_lb.h"
#include "fl_lb_own.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "s_exe.h"
#include "s_mt.h"

const char* bk_dir = "./bk";
const char* bk_dir1 = "./bk/";

namespace {

// Copies move through one block of this size, whatever the size of the file.
constexpr std::uint32_t copy_block_sz = 128 * 1024;
constexpr std::uint32_t append_block_sz = 16384;
constexpr mode_t bk_dir_mode = 0777;
constexpr mode_t new_file_mode = 0666;

const char* nz(const char* text) { return text ? text : ""; }

// The argument checks of the move and copy routines; the messages carry no trail.
bool names_ok(const char* rtn, const char* fnam0, const char* fnam1) {
    if (!fnam0) SM_ERR(rtn, ":fnam0=NULL", nullptr);
    else if (!fnam1) SM_ERR(rtn, ":fnam1=NULL", nullptr);
    else if (!*fnam0) SM_ERR(rtn, ":fnam0=(empty)", nullptr);
    else if (!*fnam1) SM_ERR(rtn, ":fnam1=(empty)", nullptr);
    return !err_;
}

// lstat of the source; a failure is raised as "not found" or as the system's error.
bool stat_source(const char* fnam0, struct stat& st) {
    if (::lstat(fnam0, &st) == 0) return true;
    const int no = errno;
    if (no == ENOENT || no == ENOTDIR) SM_ERR("\"", fnam0, "\" not found", nullptr);
    else OS_ERR("stat", nullptr, no);
    return false;
}

// The directory holding name, resolved, plus its last part: two names that give the same
// are one directory entry ("a" and "./a"), not two links of one file.
bool same_entry(const char* a, const char* b) {
    auto resolved = [](const char* name, const char*& base) -> char* {
        const char* slash = std::strrchr(name, dir_dlm);
        base = slash ? slash + 1 : name;
        if (!slash) return ::realpath(".", nullptr);
        const std::size_t len = slash == name ? 1 : static_cast<std::size_t>(slash - name);
        char* dir = static_cast<char*>(std::malloc(len + 1));
        if (!dir) return nullptr;
        std::memcpy(dir, name, len);
        dir[len] = '\0';
        char* real = ::realpath(dir, nullptr);
        std::free(dir);
        return real;
    };
    const char* base_a = nullptr;
    const char* base_b = nullptr;
    char* dir_a = resolved(a, base_a);
    char* dir_b = resolved(b, base_b);
    // When in doubt, treat them as one entry: doing nothing never loses the file.
    const bool same = !dir_a || !dir_b ||
                      (std::strcmp(dir_a, dir_b) == 0 && std::strcmp(base_a, base_b) == 0);
    std::free(dir_a);
    std::free(dir_b);
    return same;
}

// Moves the data of in to out one block at a time, counting what was written. False when
// a read (raised, naming src) or a write (not raised: the caller names the target) failed.
bool pump(int in, const char* src, int out, std::uint64_t& written) {
    LbOwned block(MEM_AL(copy_block_sz));
    if (RTN_ERR("FILE_BF")) return false;
    for (;;) {
        const ssize_t got = ::read(in, block.get(), copy_block_sz);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            SM_ERR(read_err_on, src, "\"", nullptr);
            RTN_ERR("FILE_BF");
            return false;
        }
        if (got == 0) return true;
        for (ssize_t at = 0; at < got;) {
            const ssize_t put = ::write(out, block.get() + at, static_cast<std::size_t>(got - at));
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return false;
            at += put;
            written += static_cast<std::uint64_t>(put);
        }
    }
}

// The failure of a copy that could not write all of its size bytes to dst.
void write_failed(const char* dst, std::uint64_t size, std::uint64_t written) {
    SM_ERR(write_err_on, dst, "\" (cnt=", Dec(size).text, " cnt1=", Dec(written).text, ")",
           nullptr);
    RTN_ERR("BF_FILE");
}

// The source of a copy, opened for reading; -1 when it cannot be (raised).
int open_source(const char* src) {
    const int fd = ::open(src, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        FL_OP_ERR(src);
        RTN_ERR("FILE_BF");
    }
    return fd;
}

// Writes the data of the regular file src over dst (created or truncated) in place, so
// that dst keeps its inode. Failures read as those of the whole-file read and write the
// copy stands for.
void copy_data(const char* src, const char* dst, std::uint64_t size) {
    LbFd in(open_source(src));
    if (in.get() < 0) return;
    // A link that appeared since the target was looked at is not followed.
    LbFd out(::open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, new_file_mode));
    if (out.get() < 0) {
        FL_OP_ERR(dst);
        RTN_ERR("BF_FILE");
        return;
    }
    std::uint64_t written = 0;
    const bool ok = pump(in.get(), src, out.get(), written);
    if (err_) return;
    if (!out.close() || !ok) write_failed(dst, size, written);
}

// Gives dst the access and modification times and then the mode bits of st.
void copy_times_mode(const char* dst, const struct stat& st) {
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::utimensat(AT_FDCWD, dst, times, 0) != 0) OS_ERR("utime", nullptr, 0);
    if (::chmod(dst, st.st_mode & 07777) != 0) OS_ERR("chmod", nullptr, 0);
}

// A new file of its own beside target (hidden, named after it plus random letters), made
// exclusively with mode 0600; it is removed again unless it was renamed into place.
class FileBeside {
public:
    explicit FileBeside(const char* target) {
        const char* slash = std::strrchr(target, dir_dlm);
        const char* base = slash ? slash + 1 : target;
        const std::size_t base_len = std::min(std::strlen(base), base_keep);
        name_.assign(target, static_cast<std::size_t>(base - target));
        name_ += '.';
        name_.append(base, base_len);
        name_ += ".XXXXXX";
        fd_.reset(::mkostemp(name_.data(), O_CLOEXEC));
        if (fd_.get() < 0) name_.clear();
    }
    ~FileBeside() {
        fd_.reset();
        if (!name_.empty()) ::unlink(name_.c_str());
    }
    FileBeside(const FileBeside&) = delete;
    FileBeside& operator=(const FileBeside&) = delete;

    int fd() const { return fd_.get(); }
    bool close() { return fd_.close(); }
    // Takes the place of target in one step; from then on the file is target's.
    bool rename_to(const char* target) {
        if (::rename(name_.c_str(), target) != 0) return false;
        name_.clear();
        return true;
    }

private:
    // Enough of the target's name to recognise it, short enough that the whole name fits.
    static constexpr std::size_t base_keep = 200;
    std::string name_;
    LbFd fd_;
};

// A move to another file system: the data goes to a new file beside fnam1, which takes
// fnam1's place only once it holds all of it, with fnam0's times and mode; then fnam0 goes.
// On any failure fnam1 is as it was and fnam0 stays.
void move_by_copy(const char* fnam0, const char* fnam1, const struct stat& st0) {
    const auto size = static_cast<std::uint64_t>(st0.st_size);
    LbFd in(open_source(fnam0));
    if (in.get() < 0) return;
    FileBeside out(fnam1);
    if (out.fd() < 0) {
        FL_OP_ERR(fnam1);
        RTN_ERR("BF_FILE");
        return;
    }
    std::uint64_t written = 0;
    const bool ok = pump(in.get(), fnam0, out.fd(), written);
    if (err_) return;
    // Flushed before the times are set: a late write-back must not move them, and the
    // rename must not publish data that is not yet on the disk.
    if (!ok || ::fsync(out.fd()) != 0) {
        write_failed(fnam1, size, written);
        return;
    }
    const struct timespec times[2] = {st0.st_atim, st0.st_mtim};
    if (::fchmod(out.fd(), st0.st_mode & 07777) != 0) OS_ERR("chmod", nullptr, 0);
    else if (::futimens(out.fd(), times) != 0) OS_ERR("utime", nullptr, 0);
    if (err_) return;
    if (!out.close()) {
        write_failed(fnam1, size, written);
        return;
    }
    if (!out.rename_to(fnam1)) {
        OS_ERR("rename", nullptr, 0);
        return;
    }
    FILE_DL(fnam0, 0);
}

// Whether name leads to a directory, itself or through a link: a move onto it would put
// the file inside it.
bool leads_to_dir(const char* name, const struct stat& lst) {
    if (S_ISDIR(lst.st_mode)) return true;
    struct stat st {};
    return S_ISLNK(lst.st_mode) && ::stat(name, &st) == 0 && S_ISDIR(st.st_mode);
}

// A file name for a double-quoted word of a shell command line: \ " $ ` are escaped, a
// leading "-" is read as a path rather than an option ("./-x"), and " 2>" is written as
// " 2"">" so that S_EXE, which leaves commands holding " 2>" alone, still captures the
// command's error output. Any other name stands as it is. Temporary.
char* sh_name(const char* name) {
    const bool dash = name[0] == '-';
    std::size_t len = dash ? 2 : 0;
    for (const char* p = name; *p; ++p) {
        len += std::strchr("\\\"$`", *p) ? 2 : 1;
        if (p > name && p[-1] == ' ' && p[0] == '2' && p[1] == '>') len += 2;
    }
    if (len > lb_s_mxsz) return UT_SM_CP(name, name, nullptr);  // raises the overflow
    char* out = UT_AL(static_cast<std::uint32_t>(len));
    if (!out) return nullptr;
    char* at = out;
    if (dash) {
        *at++ = '.';
        *at++ = dir_dlm;
    }
    for (const char* p = name; *p; ++p) {
        if (std::strchr("\\\"$`", *p)) *at++ = '\\';
        *at++ = *p;
        if (p > name && p[-1] == ' ' && p[0] == '2' && p[1] == '>') {
            *at++ = '"';
            *at++ = '"';
        }
    }
    *at = '\0';
    return out;
}

// Runs "<cmd> \"fnam0\" \"fnam1\" > /dev/null" through the shell.
void shell_2(const char* cmd, const char* fnam0, const char* fnam1) {
    const char* q0 = sh_name(fnam0);
    const char* q1 = sh_name(fnam1);
    if (err_) return;
    SM_EXE_HIDE(cmd, " \"", q0, "\" \"", q1, "\" > /dev/null", nullptr);
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The name of backup i of fnam, whose name without its directory is base.
char* bk_name(const char* base, std::uint32_t i) {
    return UT_SM_CP(bk_dir1, base, ".", Dec(i).text, nullptr);
}

// What a move or copy finds before it starts.
struct Pair {
    struct stat st0 {};
    struct stat st1 {};
    bool target = false;   // fnam1 exists (a link counts as itself)
    bool regular = false;  // both are regular files (or fnam1 is not there yet)
};

// The checks FILE_MV and FILE_CP start with, after their trace.
bool traced_names_ok(const char* rtn, const char* fnam0, const char* fnam1) {
    if (dbg_ > 1) SM_DBG(rtn, ":", nz(fnam0), " -> ", nz(fnam1), nullptr);
    return names_ok(rtn, fnam0, fnam1);
}

// A look at both names before a move or copy. False when there is nothing to do: the same
// name twice, or a source that is missing (raised).
bool look_at_pair(const char* fnam0, const char* fnam1, Pair& pair) {
    if (S_MT(fnam0, fnam1, 1, 1, 0, 0)) return false;
    if (!stat_source(fnam0, pair.st0)) return false;
    pair.target = ::lstat(fnam1, &pair.st1) == 0;
    pair.regular = S_ISREG(pair.st0.st_mode) && (!pair.target || S_ISREG(pair.st1.st_mode));
    return true;
}

// A failure names both files, then the routine.
void name_pair(const char* rtn, const char* fnam0, const char* fnam1) {
    if (!err_) return;
    SM_ERRA(" (", fnam0, " -> ", fnam1, ")", nullptr);
    RTN_ERR(rtn);
}

}  // namespace

void FILE_MV(const char* fnam0, const char* fnam1) {
    static const char rtn[] = "FILE_MV";
    if (err_ || !traced_names_ok(rtn, fnam0, fnam1)) return;
    Pair pair;
    if (look_at_pair(fnam0, fnam1, pair)) {
        if (pair.target && leads_to_dir(fnam1, pair.st1)) {
            SM_ERR("\"", fnam1, "\" is a dir", nullptr);
        } else if (pair.regular) {
            if (pair.target && same_file(pair.st0, pair.st1)) {
                // Two links of one file: the move leaves the one name. One entry named
                // twice ("a", "./a") stays as it is.
                if (!same_entry(fnam0, fnam1)) FILE_DL(fnam0, 0);
            } else if (::rename(fnam0, fnam1) != 0) {
                // Another file system (or a rename refused).
                move_by_copy(fnam0, fnam1, pair.st0);
            }
        } else {
            // -T: a directory that appeared under fnam1 meanwhile is replaced or refused,
            // never moved into.
            shell_2("mv -f -T", fnam0, fnam1);
            FILE_OK(fnam1, 1);
        }
    }
    name_pair(rtn, fnam0, fnam1);
}

void FILE_REN(const char* fnam0, const char* fnam1) {
    static const char rtn[] = "FILE_REN";
    if (err_) return;
    if (!names_ok(rtn, fnam0, fnam1)) return;
    if (FILE_OK(fnam0, 1)) {
        if (S_MT(fnam0, fnam1, 1, 1, 0, 0)) return;
        if (FILE_OK(fnam1, 0)) SM_ERR("\"", fnam1, "\" already exists", nullptr);
        else if (::rename(fnam0, fnam1) != 0) S_ERR("rename failure");
    }
    name_pair(rtn, fnam0, fnam1);
}

void FILE_CP(const char* fnam0, const char* fnam1) {
    static const char rtn[] = "FILE_CP";
    if (err_ || !traced_names_ok(rtn, fnam0, fnam1)) return;
    Pair pair;
    if (look_at_pair(fnam0, fnam1, pair)) {
        if (pair.regular) {
            // A target that is the source under another name already holds it all;
            // truncating it would lose the data.
            if (!(pair.target && same_file(pair.st0, pair.st1))) {
                copy_data(fnam0, fnam1, static_cast<std::uint64_t>(pair.st0.st_size));
                if (!err_ && !S_END_MT(fnam1, ":", 0, 1, 0)) copy_times_mode(fnam1, pair.st0);
            }
        } else {
            shell_2("cp -p -f -d", fnam0, fnam1);
            if (!err_ && !ANY_FILE_OK(fnam1, 0) && !LINK_OK(fnam1, 0))
                SM_ERR("\"", fnam1, "\" not found", nullptr);
        }
    }
    name_pair(rtn, fnam0, fnam1);
}

void FILE_CPD(const char* fnam0, const char* fnam1) {
    if (err_) return;
    if (dbg_ > 1) SM_DBG(nz(fnam0), " -> ", nz(fnam1), nullptr);
    FILE_CP(fnam0, fnam1);
    if (!err_) return;
    ERR_S();
    if (fnam1) {
        // Each directory of the target from the second level down ("/a/b/f": "/a" and
        // "/a/b"; "a/b/f": only "a/b"). Called without a shell, so no name is ever read
        // as shell text; a directory that already exists is no matter.
        const std::size_t len = std::strlen(fnam1);
        for (std::size_t i = 1; i < len; ++i) {
            if (fnam1[i] != dir_dlm || !std::memchr(fnam1, dir_dlm, i)) continue;
            char* prefix = UT_S_X(fnam1, 0, static_cast<std::uint32_t>(i));
            if (!prefix) break;
            if (dbg_ > 1) SM_DBG("mkdir ", prefix, nullptr);
            (void)::mkdir(prefix, bk_dir_mode);
        }
    }
    if (dbg_ > 1) SM_DBG(nz(fnam0), " -> ", nz(fnam1), " (RETRY)", nullptr);
    FILE_CP(fnam0, fnam1);
}

void FILE_AP(const char* fnam0, const char* fnam1) {
    static const char rtn[] = "FILE_AP";
    if (err_) return;
    if (dbg_ > 0) SM_DBG("FILE_AP:Append ", nz(fnam1), " to ", nz(fnam0), nullptr);
    if (!fnam0) SM_ERR(rtn, ":fnam0=NULL", nullptr);
    else if (!fnam1) SM_ERR(rtn, ":fnam1=NULL", nullptr);
    FILE_OK(fnam1, 1);
    if (!err_) {
        LbOwned block(MEM_AL(append_block_sz + 1));
        if (!err_) {
            FlRecord out(fnam0, 2);
            FlRecord in(fnam1, 0);
            // Only what fnam1 held at the start: appending a file to itself must end.
            std::uint32_t left = in.get() ? in.get()->sz : 0;
            while (left > 0 && !err_) {
                const std::uint32_t want = left < append_block_sz ? left : append_block_sz;
                const std::uint32_t got = FL_BF(in.get(), block.get(), want, 0);
                if (got == 4294967295u) break;
                BF_FL(out.get(), block.get(), got);
                left -= got;
            }
            in.close();
            out.close();
        }
    }
    if (err_) {
        SM_ERRA(" (fnam=", nz(fnam0), " fnam1=", nz(fnam1), ")", nullptr);
        RTN_ERR(rtn);
    }
}

char* FILE_BK(const char* fnam, std::uint16_t n) {
    static const char rtn[] = "FILE_BK";
    if (err_ || !FILE_OK(fnam, 0)) return nullptr;
    if (!DIR_OK(bk_dir, 0) && ::mkdir(bk_dir, bk_dir_mode) != 0) OS_ERR("mkdir", nullptr, 0);
    if (RTN_ERR(rtn)) return nullptr;

    // The name part outlives the many temporary names built below.
    LbOwned base(S_CP(FSPEC_FNAM(fnam)));
    if (RTN_ERR(rtn)) return nullptr;
    std::uint32_t i = 0;
    while (i < n && FILE_OK(bk_name(base.get(), i), 0)) ++i;
    if (i >= n) i = 0;
    LbOwned name(S_CP(bk_name(base.get(), i)));
    if (RTN_ERR(rtn)) return nullptr;

    FILE_CP(fnam, name.get());
    if (RTN_ERR(rtn)) return nullptr;
    // A free number marks where the next backup goes.
    const std::uint32_t next = i + 1 < n ? i + 1 : 0;
    FILE_DL(bk_name(base.get(), next), 0);
    if (RTN_ERR(rtn)) return nullptr;
    return UT_S_CP(name.get());
}

void FILE_BK_DL(const char* fnam) {
    if (err_ || !fnam) return;
    LbOwned base(S_CP(FSPEC_FNAM(fnam)));
    for (std::uint32_t i = 0; !err_; ++i) {
        const char* name = bk_name(base.get(), i);
        if (!FILE_OK(name, 0)) break;
        FILE_DL(name, 0);
    }
}
