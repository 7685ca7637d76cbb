// The check of a file received under the extension: its work file read back in order from
// byte 0 and digested, trailing the bytes written, a bounded piece at a time so that one
// large file never holds up the other connections.
#ifndef RX_READBACK_H
#define RX_READBACK_H

#include <cstdint>
#include <string>

#include "digest.h"

namespace rx {

class ReadBack {
public:
    // From byte 0 of fd; the digest of the first prefix_at bytes is taken on the way.
    void start(int fd, std::uint64_t prefix_at);
    // Whether bytes below upto remain to be read (never after a failure).
    bool behind(std::uint64_t upto) const { return fd_ >= 0 && error_ == 0 && at_ < upto; }
    // Reads on towards upto, a bounded piece at most.
    void step(std::uint64_t upto);

    // errno of a read that failed (0: none; EIO too for a file shorter than written).
    int error() const { return error_; }
    const std::string& prefix() const { return prefix_; }
    std::string whole() const { return digest_.hex(); }

private:
    int fd_ = -1;
    int error_ = 0;
    std::uint64_t at_ = 0, prefix_at_ = 0;
    wire::Digest digest_;
    std::string prefix_;
};

}  // namespace rx

#endif
