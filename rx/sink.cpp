// The body's way into the work file.
#include "sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "failure.h"
#include "lb.h"

namespace rx {

namespace {

// Bodies (or their rests) of this size or more go through a pipe of this size.
constexpr std::uint64_t splice_min = 1 << 20;
constexpr std::size_t pipe_sz = 1 << 20;
// Bytes read back from the pipe at once, when the file would not take them by splicing.
constexpr std::size_t drain_blksz = 0x10000;

// At an offset of its own: some kernels find the file's position slowly far into it.
ssize_t kernel_file_splice(int pipe_out, int file, std::uint64_t at, std::size_t n) {
    auto off = static_cast<loff_t>(at);
    return ::splice(pipe_out, nullptr, file, &off, n, SPLICE_F_MOVE);
}


}  // namespace

Sink::Sink(FileSplice file_splice) : file_splice_(file_splice ? file_splice : kernel_file_splice) {}

Sink::~Sink() { close_pipe(); }

void Sink::open(int fd, std::string name, bool zero_copy, std::uint64_t at) {
    fd_ = fd;
    name_ = std::move(name);
    zero_copy_ = zero_copy;
    // Plain writes go on from the file's position.
    if (at > 0) ::lseek(fd_, static_cast<off_t>(at), SEEK_SET);
}

void Sink::drop() {
    fd_ = -1;
    zero_copy_ = false;
}

cli::Failure Sink::write(const char* bytes, std::size_t n, std::uint64_t at) {
    if (fd_ < 0 || n == 0) return {};
    if (pipe_[0] >= 0 && zero_copy_) plain_from(at);  // the tail of a spliced body
    BF_FD(fd_, name_.c_str(), bytes, static_cast<std::uint32_t>(n));
    if (!err_) return {};
    const int no = errno;  // the routine names the write's error in words only
    cli::Failure failure = cli::Failure::from_library();
    if (failure.sys_errno == 0) failure.sys_errno = no;
    drop();
    return failure;
}

bool Sink::splicing(std::uint64_t left) const { return zero_copy_ && fd_ >= 0 && left >= splice_min; }

ssize_t Sink::splice(int sd, std::uint64_t at, std::size_t want, cli::Failure& error) {
    if (pipe_[0] < 0) {
        if (::pipe2(pipe_, O_NONBLOCK | O_CLOEXEC) != 0) {
            zero_copy_ = false;
            return -1;
        }
        ::fcntl(pipe_[1], F_SETPIPE_SZ, static_cast<int>(pipe_sz));
    }
    want = std::min(want, pipe_sz);
    const ssize_t n = ::splice(sd, nullptr, pipe_[1], nullptr, want, SPLICE_F_MOVE | SPLICE_F_NONBLOCK);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n <= 0) {
        if (n < 0 && errno == EINVAL) plain_from(at);
        return -1;
    }
    auto left = static_cast<std::size_t>(n);
    while (left > 0 && zero_copy_) {
        const ssize_t m = file_splice_(pipe_[0], fd_, at, left);
        if (m <= 0) {
            plain_from(at);  // the file will not take it so
            break;
        }
        left -= static_cast<std::size_t>(m);
        at += static_cast<std::uint64_t>(m);
    }
    // What is still in the pipe goes the plain way, which also tells a full disk (and then
    // only drops it).
    char block[drain_blksz];
    while (left > 0) {
        const ssize_t r = ::read(pipe_[0], block, std::min(left, sizeof block));
        if (r <= 0) break;
        left -= static_cast<std::size_t>(r);
        if (cli::Failure why = write(block, static_cast<std::size_t>(r), at); why && !error) error = std::move(why);
        at += static_cast<std::uint64_t>(r);
    }
    return n;
}

// The rest of the body goes the plain way. Spliced bytes left the file's position where it
// was: plain writes go on from where they end.
void Sink::plain_from(std::uint64_t at) {
    zero_copy_ = false;
    if (fd_ >= 0) ::lseek(fd_, static_cast<off_t>(at), SEEK_SET);
}

void Sink::close_pipe() {
    for (int& fd : pipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

}  // namespace rx
