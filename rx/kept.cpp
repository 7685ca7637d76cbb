// Naming, claiming, describing and sweeping kept parts.
#include "kept.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cinttypes>
#include <cstdio>

#include "shown.h"
#include "store.h"
#include "units.h"

namespace rx {

namespace {

// The first word of an info text: a later layout takes another.
constexpr char info_version[] = "catchr-part-1";
constexpr std::size_t hash_digits = 16;
constexpr char info_suffix[] = ".info.part";
// An info text is a line; anything longer is not one of ours.
constexpr std::size_t info_mxsz = 1024;
constexpr auto sweep_every = std::chrono::hours(1);
constexpr std::time_t day_secs = 24 * 60 * 60;

std::string hashed(const std::string& final_name) {
    char hex[hash_digits + 1];
    std::snprintf(hex, sizeof hex, "%016" PRIx64, static_cast<std::uint64_t>(XXH3_64bits(final_name.data(), final_name.size())));
    return std::string(work_prefix) + hex;
}

// Whether name is a kept part's (".catchr-", 16 hex digits, ".part").
bool is_part_name(const std::string& name) {
    const std::size_t prefix = sizeof work_prefix - 1, suffix = sizeof work_suffix - 1;
    return name.size() == prefix + hash_digits + suffix && name.starts_with(work_prefix) && name.ends_with(work_suffix) &&
           name.find_first_not_of("0123456789abcdef", prefix) == prefix + hash_digits;
}

// Opens a part and locks it; -1 when it is no regular file of ours with one name, or
// another connection holds it.
int open_locked(int dir_fd, const std::string& part, int extra_flags) {
    const int fd = ::openat(dir_fd, part.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | extra_flags, 0600);
    if (fd < 0) return -1;
    struct stat st {};
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || st.st_nlink != 1) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string last_written(std::time_t t) {
    std::tm tm{};
    char text[32] = "?";
    if (::localtime_r(&t, &tm)) std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &tm);
    return text;
}

std::string too_old(std::uint32_t days) {
    if (days == 0) return "--keep-partial 0 keeps none";
    return "older than " + std::to_string(days) + (days == 1 ? " day" : " days");
}

// Removes one part (and its info) when nobody holds it; the line that says so, else "".
std::string sweep_one(int dir_fd, const std::string& part, const std::string& where, std::uint32_t days,
                      std::time_t now) {
    struct stat st {};
    if (::fstatat(dir_fd, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        st.st_mtime > now - static_cast<std::time_t>(days) * day_secs)
        return "";
    const int fd = open_locked(dir_fd, part, 0);
    if (fd < 0) return "";
    const std::string info_name = part.substr(0, part.size() - (sizeof work_suffix - 1)) + info_suffix;
    PartInfo info;
    const std::string name = read_info(dir_fd, info_name, info) ? cli::shown(info.name) : part;
    ::unlinkat(dir_fd, part.c_str(), 0);
    ::unlinkat(dir_fd, info_name.c_str(), 0);
    ::close(fd);
    return "Removed a kept part of " + (where.empty() ? "" : cli::shown(where) + "/") + name + " (" +
           cli::human_size(static_cast<std::uint64_t>(st.st_size)) + ", last written " + last_written(st.st_mtime) +
           "): " + too_old(days);
}

}  // namespace

std::string kept_part_name(const std::string& final_name) { return hashed(final_name) + work_suffix; }
std::string kept_info_name(const std::string& final_name) { return hashed(final_name) + info_suffix; }

std::string info_text(const PartInfo& info) {
    char head[96];
    std::snprintf(head, sizeof head, "%s %" PRIu64 " %" PRId64 ".%09" PRIu32 " ", info_version, info.size,
                  info.mtime_sec, info.mtime_nsec);
    return head + info.name + "\n";
}

bool parse_info(const std::string& text, PartInfo& info) {
    char version[32];
    std::uint64_t size = 0;
    std::int64_t sec = 0;
    std::uint32_t nsec = 0;
    int name_at = 0;
    if (!text.ends_with('\n') || std::sscanf(text.c_str(), "%31s %" SCNu64 " %" SCNd64 ".%9" SCNu32 " %n", version, &size,
                                             &sec, &nsec, &name_at) != 4 ||
        name_at == 0 || std::string(version) != info_version)
        return false;
    info = {size, sec, nsec, text.substr(static_cast<std::size_t>(name_at), text.size() - name_at - 1)};
    return true;
}

bool write_info(int dir_fd, const std::string& info_name, const PartInfo& info) {
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = work_name();
        fd = ::openat(dir_fd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    const std::string text = info_text(info);
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (::close(fd) == 0 && written && ::renameat(dir_fd, temp.c_str(), dir_fd, info_name.c_str()) == 0) return true;
    ::unlinkat(dir_fd, temp.c_str(), 0);
    return false;
}

bool read_info(int dir_fd, const std::string& info_name, PartInfo& info) {
    const int fd = ::openat(dir_fd, info_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    char text[info_mxsz];
    const ssize_t n = ::read(fd, text, sizeof text);
    ::close(fd);
    return n > 0 && static_cast<std::size_t>(n) < sizeof text &&
           parse_info(std::string(text, static_cast<std::size_t>(n)), info);
}

Claim claim_part(int dir_fd, const PartInfo& want) {
    const std::string part = kept_part_name(want.name);
    Claim c;
    c.fd = open_locked(dir_fd, part, 0);
    if (c.fd < 0) {
        // Absent: made new. Anything else there (held, not ours) is left alone.
        if (errno == ENOENT) c.fd = open_locked(dir_fd, part, O_CREAT | O_EXCL);
        return c;
    }
    struct stat st {};
    ::fstat(c.fd, &st);
    const auto length = static_cast<std::uint64_t>(st.st_size);
    PartInfo had;
    if (read_info(dir_fd, kept_info_name(want.name), had) && had == want) {
        c.kept = std::min(length, want.size) / kept_unit * kept_unit;
    } else if (length > 0) {
        c.stale = length;
    }
    if (c.kept != length && ::ftruncate(c.fd, static_cast<off_t>(c.kept)) != 0) {
        ::close(c.fd);
        c = {};
    }
    return c;
}

bool SweepMemory::due(int dir_fd, std::chrono::steady_clock::time_point now) {
    struct stat st {};
    if (::fstat(dir_fd, &st) != 0) return false;
    auto [it, first] = last_.try_emplace({st.st_dev, st.st_ino}, now);
    if (!first && now - it->second < sweep_every) return false;
    it->second = now;
    return true;
}

std::vector<std::string> sweep_parts(int dir_fd, const std::string& where, std::uint32_t days, std::time_t now) {
    std::vector<std::string> parts, lines;
    const int fd = ::dup(dir_fd);
    DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0) ::close(fd);
        return lines;
    }
    ::rewinddir(dir);
    while (const dirent* e = ::readdir(dir))
        if (is_part_name(e->d_name)) parts.emplace_back(e->d_name);
    ::closedir(dir);
    for (const std::string& part : parts)
        if (std::string line = sweep_one(dir_fd, part, where, days, now); !line.empty()) lines.push_back(std::move(line));
    return lines;
}

}  // namespace rx
