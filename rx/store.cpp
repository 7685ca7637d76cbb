// Storing one file through directory descriptors: the destination is walked to once, the
// work file is made in it, and everything after (writes, mode, rename) is relative to that
// descriptor, so a directory swapped for a link after the walk changes nothing.
#include "store.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "shown.h"
#include "units.h"

namespace rx {

namespace {

using cli::shown;

// Dirty pages of a body are handed to writeback in pieces of this size, and the piece
// before is waited for: the end of a large file then finds little left to write, and no
// file holds more than a few pieces of memory.
constexpr std::uint64_t writeback_piece = 8 << 20;
constexpr std::uint64_t gib = 1ULL << 30;
constexpr char kept_by_no_clobber[] = "it exists, and --no-clobber keeps it";
constexpr char dir_in_the_way[] = "a directory of that name is in the way";

std::string reason(int no) { return std::strerror(no); }

std::vector<std::string> parts_of(const std::string& dir) {
    std::vector<std::string> parts;
    for (std::size_t at = 0; at <= dir.size();) {
        std::size_t slash = dir.find('/', at);
        if (slash == std::string::npos) slash = dir.size();
        std::string part = dir.substr(at, slash - at);
        if (!part.empty() && part != ".") parts.push_back(std::move(part));
        at = slash + 1;
    }
    return parts;
}

bool has_dotdot(const std::string& dir) {
    for (const std::string& part : parts_of(dir))
        if (part == "..") return true;
    return false;
}

// One directory below at, never through a link. Where the kernel resolves whole paths
// beneath a directory it does; elsewhere O_NOFOLLOW on a single part is the same.
int open_below(int at, const std::string& part) {
    open_how how{};
    how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    static bool have_openat2 = true;
    if (have_openat2) {
        const long fd = ::syscall(SYS_openat2, at, part.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != ENOSYS) return static_cast<int>(fd);
        have_openat2 = false;
    }
    return ::openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

// The part below at, made first when missing (mode 0777 less the umask; made tells).
// Gives -1 with errno set.
int reach_part(int at, const std::string& part, bool follow, bool& made) {
    made = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = follow ? ::openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                              : open_below(at, part);
        if (fd >= 0 || errno != ENOENT || attempt == 1) return fd;
        if (::mkdirat(at, part.c_str(), 0777) == 0) made = true;
        else if (errno != EEXIST) return -1;
    }
    return -1;
}

// Whether a name below at is a symbolic link (the reason a confined walk stopped there).
bool is_link(int at, const std::string& part) {
    struct stat st {};
    return ::fstatat(at, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// A name for a work file that nobody can guess.
std::string work_name() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    unsigned char bytes[10];
    if (::getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        for (unsigned char& b : bytes) b = static_cast<unsigned char>(std::rand());
    std::string name = work_prefix;
    for (unsigned char b : bytes) name += letters[b % (sizeof letters - 1)];
    return name + work_suffix;
}

std::string no_room(std::uint64_t size, std::uint64_t avail, std::uint64_t keep) {
    return "no room on the receiving disk for " + cli::human_size(size) + " (" + cli::human_size(avail) + " free, " +
           cli::human_size(keep) + " kept free)";
}

}  // namespace

std::uint64_t default_min_free(std::uint64_t total) { return std::min(total / 100, gib); }

Store::~Store() {
    discard();
    // Directories made for a file that was not stored go with it, where still empty.
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
        if (!stored_) ::unlinkat(it->first, it->second.c_str(), AT_REMOVEDIR);
        ::close(it->first);
    }
    if (dir_fd_ >= 0) ::close(dir_fd_);
}

Store::Verdict Store::open(const StoreRules& rules, const std::string& dir, const std::string& name,
                           std::uint64_t size, std::string& why) {
    dir_ = dir;
    name_ = name;
    no_clobber_ = rules.no_clobber;
    const std::string dest = "the destination \"" + shown(dir) + "\"";
    if (rules.confine && (dir.starts_with('/') || has_dotdot(dir))) {
        why = dest + " is outside the receiving directory (--confine)";
        return Verdict::refused;
    }

    // The walk: from the receiving directory (or the root, for an absolute line), one part
    // at a time. A line with a ".." part is used only as far as it exists.
    int at = ::openat(rules.root_fd, dir.starts_with('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool make = !has_dotdot(dir);
    std::string walked;
    for (const std::string& part : parts_of(dir)) {
        if (at < 0) break;
        bool made = false;
        const int next = make ? reach_part(at, part, !rules.confine, made)
                              : ::openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        const int no = errno;
        if (made) made_.emplace_back(::dup(at), part);
        walked += walked.empty() && !dir.starts_with('/') ? part : "/" + part;
        if (next < 0 && rules.confine && is_link(at, part)) {
            ::close(at);
            why = dest + " passes through a symbolic link at \"" + shown(walked) + "\" (--confine)";
            return Verdict::refused;
        }
        ::close(at);
        at = next;
        errno = no;
    }
    if (at < 0) {
        why = "directory \"" + shown(walked.empty() ? dir : walked) + "\" cannot be made or opened (" + reason(errno) + ")";
        return Verdict::refused;
    }
    dir_fd_ = at;

    struct stat st {};
    if (::fstatat(dir_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (rules.no_clobber) {
            why = kept_by_no_clobber;
            return Verdict::refused;
        }
        if (S_ISDIR(st.st_mode)) {
            why = dir_in_the_way;
            return Verdict::refused;
        }
    }

    // Room, decided now: what the file system could never hold is answered at once; what
    // it cannot hold now is refused after the body.
    struct statvfs fs {};
    if (::fstatvfs(dir_fd_, &fs) == 0) {
        const std::uint64_t total = static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize;
        const std::uint64_t avail = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
        const std::uint64_t keep = rules.min_free.value_or(default_min_free(total));
        if (size > total || size > total - std::min(total, keep)) {
            why = cli::human_size(size) + " will never fit on the receiving disk (" + cli::human_size(total) +
                  " in all, " + cli::human_size(keep) + " kept free)";
            return Verdict::at_once;
        }
        if (size > avail || avail - size < keep) {
            why = no_room(size, avail, keep);
            return Verdict::refused;
        }
    }

    // The work file: this connection's alone, made exclusively, readable by nobody else.
    for (int attempt = 0; fd_ < 0 && attempt < 100; ++attempt) {
        work_ = work_name();
        fd_ = ::openat(dir_fd_, work_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ < 0) {
        why = "the work file cannot be made in \"" + shown(dir.empty() ? "." : dir) + "\" (" + reason(errno) + ")";
        work_.clear();
        return Verdict::refused;
    }
    // The room is taken now, so that the disk cannot fill under the body; where the file
    // system cannot reserve, the check above stands alone.
    if (size > 0 && ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0 &&
        (errno == ENOSPC || errno == EDQUOT)) {
        discard();
        why = no_room(size, static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize,
                      rules.min_free.value_or(default_min_free(static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize)));
        return Verdict::refused;
    }
    return Verdict::ok;
}

void Store::written(std::uint64_t bytes) {
    if (fd_ < 0 || bytes < started_ + writeback_piece) return;
    ::sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(bytes - started_), SYNC_FILE_RANGE_WRITE);
    // The piece before was handed over one piece ago: it is normally on the disk by now.
    if (started_ > waited_)
        ::sync_file_range(fd_, static_cast<off_t>(waited_), static_cast<off_t>(started_ - waited_),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
    waited_ = started_;
    started_ = bytes;
}

std::string Store::commit(mode_t mode) {
    std::string why;
    if (::fchmod(fd_, mode) != 0) why = "it cannot be given its mode (" + reason(errno) + ")";
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && why.empty()) why = "it cannot be written (" + reason(errno) + ")";
    if (!why.empty()) {
        discard();
        return why;
    }
    int rc;
    if (no_clobber_) {
        // Never over an existing name, however it came there since the header.
        rc = ::renameat2(dir_fd_, work_.c_str(), dir_fd_, name_.c_str(), RENAME_NOREPLACE);
        if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
            rc = ::linkat(dir_fd_, work_.c_str(), dir_fd_, name_.c_str(), 0);
            if (rc == 0) ::unlinkat(dir_fd_, work_.c_str(), 0);
        }
    } else {
        rc = ::renameat(dir_fd_, work_.c_str(), dir_fd_, name_.c_str());
    }
    if (rc == 0) {
        work_.clear();  // it has become the final file
        stored_ = true;
        return "";
    }
    if (errno == EEXIST && no_clobber_) why = kept_by_no_clobber;
    else if (errno == EISDIR || errno == ENOTEMPTY || errno == EEXIST) why = dir_in_the_way;
    else why = "it cannot be stored (" + reason(errno) + ")";
    discard();
    return why;
}

void Store::discard() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (!work_.empty()) ::unlinkat(dir_fd_, work_.c_str(), 0);
    work_.clear();
}

}  // namespace rx
