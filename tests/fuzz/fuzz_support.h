// What the fuzz targets share: the input as a block the sanitizers guard at its very end, a
// clean error state for every input, and a check that stops the run with its reason.
#ifndef LB_FUZZ_SUPPORT_H
#define LB_FUZZ_SUPPORT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "lb.h"

namespace fuzz {

// The input bytes in a heap block of exactly their size, plus a terminator when asked for:
// one byte read past the end is a heap overflow that AddressSanitizer reports. A text cut
// from the input stops at its first zero byte, as the routines see it.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size, bool terminated)
        : size_(size), block_(new char[size + (terminated ? 1 : 0)]) {
        if (size) std::memcpy(block_.get(), data, size);
        if (terminated) block_[size] = 0;
    }
    char* get() const { return block_.get(); }
    std::size_t size() const { return size_; }

private:
    std::size_t size_;
    std::unique_ptr<char[]> block_;
};

// The error an input leaves pending must not decide what the next input does.
inline void clear_error() {
    if (err_) ERR_S();
}

// The pending message, cleared, as a copy ("" when none).
inline std::string take_error() {
    const char* text = err_ ? ERR_S() : nullptr;
    return text ? text : "";
}

// Stops the run: the input in hand is then kept by libFuzzer as a crash.
[[noreturn]] inline void fail(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::fputs("fuzz check failed: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

}  // namespace fuzz

#endif
