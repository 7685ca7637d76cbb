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
// Bodies smaller than this are written without reserving their room first.
constexpr std::uint64_t reserve_min = 1 << 20;
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

// The part below at, made first when missing and make allows (mode 0777 less the umask;
// made tells). Gives -1 with errno set.
int reach_part(int at, const std::string& part, bool follow, bool make, bool& made) {
    made = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = follow ? ::openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                              : open_below(at, part);
        if (fd >= 0 || errno != ENOENT || attempt == 1 || !make) return fd;
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

std::string no_room(const StoreRules& rules, int dir_fd, std::uint64_t size) {
    struct statvfs fs {};
    ::fstatvfs(dir_fd, &fs);
    const std::uint64_t avail = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    const std::uint64_t keep = rules.min_free.value_or(default_min_free(static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize));
    return "no room on the receiving disk for " + cli::human_size(size) + " (" + cli::human_size(avail) + " free, " +
           cli::human_size(keep) + " kept free)";
}

// The walk: from the receiving directory (or the root, for an absolute line), one part at a
// time, making what is missing when make allows (each one made goes to made). A line with a
// ".." part is used only as far as it exists. Gives the directory, or -1 and why.
int walk(const StoreRules& rules, const std::string& dir, bool make, std::vector<std::pair<int, std::string>>& made,
         std::string& why) {
    const std::string dest = "the destination \"" + shown(dir) + "\"";
    if (rules.confine && (dir.starts_with('/') || has_dotdot(dir))) {
        why = dest + " is outside the receiving directory (--confine)";
        return -1;
    }
    int at = ::openat(rules.root_fd, dir.starts_with('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool plain = has_dotdot(dir);
    std::string walked;
    for (const std::string& part : parts_of(dir)) {
        if (at < 0) break;
        bool new_part = false;
        const int next = plain ? ::openat(at, part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                               : reach_part(at, part, !rules.confine, make, new_part);
        const int no = errno;
        if (new_part) made.emplace_back(::dup(at), part);
        walked += walked.empty() && !dir.starts_with('/') ? part : "/" + part;
        if (next < 0 && rules.confine && is_link(at, part)) {
            ::close(at);
            why = dest + " passes through a symbolic link at \"" + shown(walked) + "\" (--confine)";
            return -1;
        }
        ::close(at);
        at = next;
        errno = no;
    }
    if (at < 0)
        why = "directory \"" + shown(walked.empty() ? dir : walked) + "\" cannot be made or opened (" +
              reason(errno) + ")";
    return at;
}

bool same_stat(const struct stat& st, std::uint64_t size, const FileTime& mtime) {
    return S_ISREG(st.st_mode) && static_cast<std::uint64_t>(st.st_size) == size &&
           st.st_mtim.tv_sec == mtime.tv_sec && st.st_mtim.tv_nsec == mtime.tv_nsec;
}

}  // namespace

std::uint64_t default_min_free(std::uint64_t total) { return std::min(total / 100, gib); }

std::string work_name() {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    // The kernel's random bytes are fetched for many names at once: a batch of small files
    // makes one name each.
    static unsigned char pool[4000];
    static std::size_t used = sizeof pool;
    constexpr std::size_t take = 10;
    if (used + take > sizeof pool) {
        if (::getrandom(pool, sizeof pool, 0) != static_cast<ssize_t>(sizeof pool))
            for (unsigned char& b : pool) b = static_cast<unsigned char>(std::rand());
        used = 0;
    }
    std::string name = work_prefix;
    for (std::size_t i = 0; i < take; ++i) name += letters[pool[used + i] % (sizeof letters - 1)];
    used += take;
    return name + work_suffix;
}

Store::~Store() {
    discard();
    // Directories made for a file that was not stored go with it, where still empty.
    for (auto it = made_.rbegin(); it != made_.rend(); ++it) {
        if (!stored_) ::unlinkat(it->first, it->second.c_str(), AT_REMOVEDIR);
        ::close(it->first);
    }
    if (dir_fd_ >= 0 && own_dir_) ::close(dir_fd_);
}

Store::Verdict Store::open(const StoreRules& rules, const std::string& dir, const std::string& name,
                           std::uint64_t size, std::string& why, const PartInfo* version, DirCache* dirs) {
    dir_ = dir;
    name_ = name;
    no_clobber_ = rules.no_clobber;
    if (!reach(rules, dir, why, dirs) || !name_free(rules, name, why)) return Verdict::refused;
    if (version && rules.keep_days > 0 && rules.sweeps->due(dir_fd_, std::chrono::steady_clock::now()))
        notes_ = sweep_parts(dir_fd_, dir, rules.keep_days, std::time(nullptr));
    if (version && rules.keep_days > 0 && size >= kept_min_size) take_kept_part(*version);
    const Verdict verdict = room(rules, size, why);
    if (verdict != Verdict::ok) {
        discard();  // a refused file keeps no part
        return verdict;
    }
    if (fd_ < 0 && !make_work_file(dir, why)) return Verdict::refused;
    // The room is taken now, so that the disk cannot fill under the body; where the file
    // system cannot reserve, the check above stands alone. A small body needs no such care.
    if (size >= kept_ + reserve_min && ::fallocate(fd_, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(kept_),
                                    static_cast<off_t>(size - kept_)) != 0 && (errno == ENOSPC || errno == EDQUOT)) {
        discard();
        why = no_room(rules, dir_fd_, size);
        return Verdict::refused;
    }
    return Verdict::ok;
}

bool Store::open_dir(const StoreRules& rules, const std::string& dir, std::string& why, DirCache* dirs) {
    dir_ = dir;
    if (!reach(rules, dir, why, dirs)) return false;
    stored_ = true;  // what was made stays
    return true;
}

void Store::made_ids(std::set<std::pair<dev_t, ino_t>>& made) const {
    for (const auto& [parent, name] : made_) {
        struct stat st {};
        if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) made.emplace(st.st_dev, st.st_ino);
    }
}

bool Store::reach(const StoreRules& rules, const std::string& dir, std::string& why, DirCache* dirs) {
    if (dirs && (dir_fd_ = dirs->find(dir)) >= 0) {
        own_dir_ = false;
        return true;
    }
    dir_fd_ = walk(rules, dir, true, made_, why);
    if (dir_fd_ < 0) return false;
    if (dirs) {
        dirs->keep(dir, dir_fd_);
        own_dir_ = false;
    }
    return true;
}

DirCache::~DirCache() { close_fd(); }

void DirCache::close_fd() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int DirCache::find(const std::string& line) {
    if (fd_ < 0 || line != line_) return -1;
    // Removed since (a directory made for a file that was then refused goes with it): walked
    // to again, and made again where the rules allow.
    struct stat st {};
    if (::fstat(fd_, &st) == 0 && st.st_nlink > 0) return fd_;
    close_fd();
    return -1;
}

void DirCache::keep(const std::string& line, int fd) {
    close_fd();
    line_ = line;
    fd_ = fd;
    missing_ = false;
}

void DirCache::note_missing(const std::string& line) {
    keep(line, -1);
    missing_ = true;
}

void DirCache::forget_missing() {
    if (missing_) line_.clear();
    missing_ = false;
}

bool same_file(const StoreRules& rules, DirCache& dirs, const std::string& dir, const std::string& name,
               std::uint64_t size, const FileTime& mtime) {
    if (dirs.missing(dir)) return false;
    int fd = dirs.find(dir);
    if (fd < 0) {
        std::vector<std::pair<int, std::string>> none;
        std::string why;
        fd = walk(rules, dir, false, none, why);
        if (fd < 0) {
            dirs.note_missing(dir);
            return false;
        }
        dirs.keep(dir, fd);
    }
    struct stat st {};
    return ::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && same_stat(st, size, mtime);
}

bool Store::name_free(const StoreRules& rules, const std::string& name, std::string& why) {
    struct stat st {};
    if (::fstatat(dir_fd_, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return true;
    if (rules.no_clobber) why = kept_by_no_clobber;
    else if (S_ISDIR(st.st_mode)) why = dir_in_the_way;
    return why.empty();
}

// The part named after the file becomes the work file, unless another connection holds it
// (then this send goes without resume, in a work file of its own).
void Store::take_kept_part(const PartInfo& version) {
    const Claim claim = claim_part(dir_fd_, version);
    if (claim.fd < 0) return;
    fd_ = claim.fd;
    work_ = kept_part_name(name_);
    info_ = kept_info_name(name_);
    kept_ = claim.kept;
    if (claim.stale)
        notes_.push_back(shown((dir_.empty() ? "" : dir_ + "/") + name_) + ": a kept part (" +
                         cli::human_size(*claim.stale) + ") was of another version of the file; starting over");
    // Described now, so that a receiver killed from here on still leaves a part to resume.
    if (!write_info(dir_fd_, info_, version)) discard();
}

// Room, decided now: what the file system could never hold is answered at once; what it
// cannot hold now is refused after the body. A kept part needs room only for the rest.
Store::Verdict Store::room(const StoreRules& rules, std::uint64_t size, std::string& why) {
    struct statvfs fs {};
    if (::fstatvfs(dir_fd_, &fs) != 0) return Verdict::ok;
    const std::uint64_t total = static_cast<std::uint64_t>(fs.f_blocks) * fs.f_frsize;
    const std::uint64_t avail = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    const std::uint64_t keep = rules.min_free.value_or(default_min_free(total));
    if (size > total || size > total - std::min(total, keep)) {
        why = cli::human_size(size) + " will never fit on the receiving disk (" + cli::human_size(total) + " in all, " +
              cli::human_size(keep) + " kept free)";
        return Verdict::at_once;
    }
    const std::uint64_t need = size - kept_;
    if (need > avail || avail - need < keep) {
        why = no_room(rules, dir_fd_, size);
        return Verdict::refused;
    }
    return Verdict::ok;
}

// The work file: this connection's alone, made exclusively, readable by nobody else.
bool Store::make_work_file(const std::string& dir, std::string& why) {
    for (int attempt = 0; fd_ < 0 && attempt < 100; ++attempt) {
        work_ = work_name();
        fd_ = ::openat(dir_fd_, work_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0 && errno != EEXIST) break;
    }
    if (fd_ >= 0) return true;
    why = "the work file cannot be made in \"" + shown(dir.empty() ? "." : dir) + "\" (" + reason(errno) + ")";
    work_.clear();
    return false;
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

std::string Store::commit(mode_t mode, const FileTime* mtime) {
    std::string why;
    if (::fchmod(fd_, mode) != 0) why = "it cannot be given its mode (" + reason(errno) + ")";
    const FileTime times[2] = {{0, UTIME_OMIT}, mtime ? *mtime : FileTime{0, UTIME_OMIT}};
    if (why.empty() && mtime && ::futimens(fd_, times) != 0)
        why = "it cannot be given its modification time (" + reason(errno) + ")";
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
        if (!info_.empty()) ::unlinkat(dir_fd_, info_.c_str(), 0);
        info_.clear();
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
    // The names go while the work file is still open: a kept part's lock lasts until then.
    for (std::string* name : {&work_, &info_}) {
        if (!name->empty()) ::unlinkat(dir_fd_, name->c_str(), 0);
        name->clear();
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    kept_ = 0;
}

void Store::restart() {
    if (kept_ > 0 && ::ftruncate(fd_, 0) == 0) kept_ = 0;
}

std::uint64_t Store::keep() {
    struct stat st {};
    if (left_ > 0 || info_.empty() || fd_ < 0 || ::fstat(fd_, &st) != 0 || st.st_size == 0) return left_;
    ::close(fd_);
    fd_ = -1;
    work_.clear();
    info_.clear();
    left_ = static_cast<std::uint64_t>(st.st_size);
    return left_;
}

}  // namespace rx
