// Scope guards used inside the library's sources: an owned block is released on every path.
#ifndef LB_LB_OWN_H
#define LB_LB_OWN_H

#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "err_lb.h"
#include "mem_lb.h"

// An unsigned value in decimal, for messages and names; lives on the stack.
struct Dec {
    char text[24];
    explicit Dec(std::uint64_t value) { std::snprintf(text, sizeof text, "%" PRIu64, value); }
};

// The listed texts (up to the first null, at most 49) joined into one owned string; an
// overflow or allocation failure is raised with rtn's trail.
char* lb_join(const char* rtn, const char* const* texts, std::size_t n);

// An owned, terminated copy of len bytes at text; null (raised) when memory is short.
inline char* lb_cp_part(const char* text, std::size_t len) {
    char* copy = MEM_AL(static_cast<std::uint32_t>(len + 1));
    if (!copy) return nullptr;
    std::memcpy(copy, text, len);
    copy[len] = 0;
    return copy;
}
inline char* lb_cp_part(std::string_view part) { return lb_cp_part(part.data(), part.size()); }

// Holds an owned string (or any MEM_AL block) and releases it when the scope ends.
class LbOwned {
public:
    LbOwned() = default;
    explicit LbOwned(char* block) : block_(block) {}
    ~LbOwned() { MEM_FR(&block_); }
    LbOwned(const LbOwned&) = delete;
    LbOwned& operator=(const LbOwned&) = delete;

    char* get() const { return block_; }
    explicit operator bool() const { return block_ != nullptr; }
    // Hands the block over to the caller; the guard then holds nothing.
    char* release() {
        char* block = block_;
        block_ = nullptr;
        return block;
    }
    // Takes a new block (typically the result of a replace-in-place routine).
    void reset(char* block) {
        if (block != block_) MEM_FR(&block_);
        block_ = block;
    }
    // For replace-in-place routines that take the holder's pointer and hand back the result.
    char*& ref() { return block_; }

private:
    char* block_ = nullptr;
};

// Closes a stream when the scope ends, unless it was closed or handed over first.
class LbStream {
public:
    explicit LbStream(std::FILE* fp) : fp_(fp) {}
    ~LbStream() {
        if (fp_) std::fclose(fp_);
    }
    LbStream(const LbStream&) = delete;
    LbStream& operator=(const LbStream&) = delete;

    std::FILE* get() const { return fp_; }
    // Hands the stream over to the caller; the guard then holds nothing.
    std::FILE* release() {
        std::FILE* fp = fp_;
        fp_ = nullptr;
        return fp;
    }
    // Closes now; false when the stream's last write-back failed.
    bool close() {
        std::FILE* fp = release();
        return !fp || std::fclose(fp) == 0;
    }

private:
    std::FILE* fp_;
};

// Owns a descriptor.
class LbFd {
public:
    explicit LbFd(int fd = -1) : fd_(fd) {}
    ~LbFd() { reset(); }
    LbFd(const LbFd&) = delete;
    LbFd& operator=(const LbFd&) = delete;

    int get() const { return fd_; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }
    // Closes now; false when the close reported an error (data that never reached the disk).
    bool close() {
        const int fd = release();
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

// The library's temporary strings cannot be made while an error is pending; routines that
// must answer anyway set the error aside for the moment.
class ErrAside {
public:
    ErrAside() : pushed_(err_ != 0) {
        if (pushed_) PSH_ERR();
    }
    ~ErrAside() {
        if (pushed_) POP_ERR();
    }
    ErrAside(const ErrAside&) = delete;
    ErrAside& operator=(const ErrAside&) = delete;

private:
    bool pushed_;
};

#endif
