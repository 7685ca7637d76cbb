// Opening and checking a file before it is sent.
#include "source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace tx {

namespace {

const char* kind(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    return "something else";
}

}  // namespace

Source::Source(const Item& item) {
    using What = Outcome::What;
    if (item.name.find_first_of("\r\n") != std::string::npos) {
        problem_.what = What::bad_name;
        return;
    }
    // Not blocking: opening a FIFO must not wait for a writer.
    fd_ = ::open(item.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd_ < 0) {
        problem_.what = What::cannot_open;
        problem_.failure.sys_errno = errno;
    } else if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        problem_.what = What::not_regular;
        problem_.kind = kind(st.st_mode);
    } else {
        size_ = static_cast<std::uint64_t>(st.st_size);
        problem_.size = size_;
        attrs_ = {st.st_mtim.tv_sec, static_cast<std::uint32_t>(st.st_mtim.tv_nsec), st.st_mode & 0777u};
        // O_NONBLOCK stays: a regular file's reads pay it no heed.
    }
}

Source::~Source() {
    if (fd_ >= 0) ::close(fd_);
}

bool Source::read_all(std::string& out) {
    const std::size_t at = out.size();
    out.resize(at + size_);
    std::size_t got = 0;
    // From the start by offset: a file sent again is read again, whatever read it before.
    while (got < size_) {
        const ssize_t n = ::pread(fd_, out.data() + at + got, size_ - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            problem_.what = Outcome::What::unreadable;
            problem_.failure.sys_errno = errno;
            return false;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got == size_) return true;
    problem_.what = Outcome::What::shrank;
    problem_.now = got;
    return false;
}

bool Source::shrank() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || static_cast<std::uint64_t>(st.st_size) >= size_) return false;
    problem_.what = Outcome::What::shrank;
    problem_.now = static_cast<std::uint64_t>(st.st_size);
    return true;
}

}  // namespace tx
