// Private directories and files for the key and the pins: checked on every open, written
// whole through a temporary file.
#include "files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "shown.h"

namespace tls {

namespace {

constexpr mode_t dir_forbidden = 022;
constexpr mode_t private_mode = 0600;
constexpr int temp_tries = 16;

std::string sys(const std::string& what, int no) { return what + ": " + std::strerror(no); }

std::string octal(mode_t mode) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(mode & 07777));
    return buf;
}

// Why st (of the file shown as name) must not hold a key or pins; "" when it may.
std::string unsafe(const struct stat& st, const std::string& name, mode_t forbidden) {
    if (st.st_uid != geteuid())
        return name + " belongs to user " + std::to_string(st.st_uid) + ", not to this user (" +
               std::to_string(geteuid()) + ")";
    if (st.st_mode & forbidden) {
        const char* may = (st.st_mode & 022) ? "changed" : "read";
        const char* fix = forbidden == key_forbidden ? "go-rwx" : "go-w";
        return name + " can be " + may + " by other users (mode " + octal(st.st_mode) + "): chmod " + fix + " " + name;
    }
    return "";
}

std::string link_refused(const std::string& name) {
    return name + " is a symbolic link: keys and pins are kept only in files of their own";
}

// Makes every missing directory on the way to dir, 0700; what is there stays as it is.
void make_dirs(const std::string& dir) {
    for (std::size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1))
        mkdir(dir.substr(0, at).c_str(), 0700);
    mkdir(dir.c_str(), 0700);
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// A fresh temporary file beside name, made exclusively, 0600.
Fd make_temp(int dirfd, const char* name, std::string& temp) {
    static unsigned counter = 0;
    const auto ns = std::chrono::steady_clock::now().time_since_epoch().count();
    for (int i = 0; i < temp_tries; ++i) {
        temp = "." + std::string(name) + "." + std::to_string(getpid()) + "." + std::to_string(ns) + "." +
               std::to_string(++counter);
        Fd fd(openat(dirfd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, private_mode));
        if (fd || errno != EEXIST) return fd;
    }
    return Fd();
}

}  // namespace

Fd::~Fd() {
    if (fd_ >= 0) close(fd_);
}

std::string shown_path(const std::string& dir, const char* name) { return cli::shown(dir + "/" + name); }

Fd open_private_dir(const std::string& dir, std::string& why) {
    const std::string shown = cli::shown(dir);
    if (dir.empty() || dir[0] != '/') {
        why = "the directory for keys and pins must be an absolute path, not \"" + shown + "\"";
        return Fd();
    }
    make_dirs(dir);
    Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        struct stat st {};
        const int no = errno;
        why = lstat(dir.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? link_refused(shown) : sys(shown, no);
        return Fd();
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        why = sys(shown, errno);
        return Fd();
    }
    why = unsafe(st, shown, dir_forbidden);
    return why.empty() ? std::move(fd) : Fd();
}

Got read_private(int dirfd, const std::string& dir, const char* name, mode_t forbidden, std::size_t max_size,
                 std::string& bytes, std::string& why) {
    const std::string shown = shown_path(dir, name);
    // Not blocking: a FIFO put in the file's place must not hold the program at open().
    Fd fd(openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT) return Got::missing;
        why = errno == ELOOP ? link_refused(shown) : sys(shown, errno);
        return Got::failed;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0) {
        why = sys(shown, errno);
        return Got::failed;
    }
    why = !S_ISREG(st.st_mode) ? shown + " is not a regular file" : unsafe(st, shown, forbidden);
    if (why.empty() && static_cast<std::uint64_t>(st.st_size) > max_size)
        why = shown + " is larger than " + std::to_string(max_size) + " bytes: not a file of ours";
    if (!why.empty()) return Got::failed;
    bytes.resize(static_cast<std::size_t>(st.st_size));
    const ssize_t n = pread(fd.get(), bytes.data(), bytes.size(), 0);
    if (n != static_cast<ssize_t>(bytes.size())) {
        why = n < 0 ? sys(shown, errno) : shown + " changed while it was read";
        return Got::failed;
    }
    return Got::ok;
}

Wrote write_private(int dirfd, const std::string& dir, const char* name, std::string_view bytes, bool replace,
                    std::string& why) {
    std::string temp;
    Fd fd = make_temp(dirfd, name, temp);
    if (!fd) {
        why = sys("cannot write a new " + shown_path(dir, name), errno);
        return Wrote::failed;
    }
    // The umask may take bits away, never add them: the mode is set to be exactly private.
    bool ok = fchmod(fd.get(), private_mode) == 0 && write_all(fd.get(), bytes) && fsync(fd.get()) == 0;
    bool first = true;
    if (ok && replace) {
        ok = renameat(dirfd, temp.c_str(), dirfd, name) == 0;
    } else if (ok) {
        // link() never replaces: of two processes that make the file at once, one wins.
        first = linkat(dirfd, temp.c_str(), dirfd, name, 0) == 0;
        ok = first || errno == EEXIST;
    }
    const int no = errno;
    unlinkat(dirfd, temp.c_str(), 0);
    if (!ok) {
        why = sys("cannot write " + shown_path(dir, name), no);
        return Wrote::failed;
    }
    fsync(dirfd);
    return first ? Wrote::ok : Wrote::there_first;
}

}  // namespace tls
