// Reading a work file back for its digests.
#include "readback.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace rx {

namespace {

// At most this much is read in one step: at disk speed a few tens of milliseconds.
constexpr std::uint64_t step_mxsz = 8 << 20;
constexpr std::size_t read_blksz = 256 << 10;  // stays in the cache between the read and the digest
// One buffer serves every connection: a step is over before another begins.
char read_block[read_blksz];

}  // namespace

void ReadBack::start(int fd, std::uint64_t prefix_at) {
    fd_ = fd;
    error_ = 0;
    at_ = 0;
    prefix_at_ = prefix_at;
    digest_.reset();
    prefix_ = prefix_at == 0 ? digest_.hex() : "";
}

void ReadBack::step(std::uint64_t upto) {
    for (std::uint64_t done = 0; done < step_mxsz && behind(upto);) {
        // A read ends at the prefix's end, so that its digest can be taken there.
        const std::uint64_t end = at_ < prefix_at_ ? std::min(upto, prefix_at_) : upto;
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(end - at_, read_blksz));
        const ssize_t n = ::pread(fd_, read_block, want, static_cast<off_t>(at_));
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            error_ = n < 0 ? errno : EIO;
            return;
        }
        digest_.update(read_block, static_cast<std::size_t>(n));
        at_ += static_cast<std::uint64_t>(n);
        done += static_cast<std::uint64_t>(n);
        if (at_ == prefix_at_) prefix_ = digest_.hex();
    }
}

}  // namespace rx
