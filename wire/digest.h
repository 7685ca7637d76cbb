// A running digest of a file's bytes, as both ends of a verified transfer compute it: the
// 128-bit XXH3 of the bytes in order, written as 32 lowercase hex digits. Fast enough to keep
// up with any disk or network here; it finds corruption, and is no defence against a forger.
#ifndef WIRE_DIGEST_H
#define WIRE_DIGEST_H

#include <cstddef>
#include <memory>
#include <string>

namespace wire {

class Digest {
public:
    Digest();
    ~Digest();
    Digest(Digest&&) noexcept;
    Digest& operator=(Digest&&) noexcept;

    // Starts again, as if nothing had been taken.
    void reset();
    void update(const void* bytes, std::size_t n);
    // The digest of everything taken so far; more may be taken after.
    std::string hex() const;

    // The digest of bytes as a whole.
    static std::string of(const void* bytes, std::size_t n);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Digests are written with this many hex digits.
inline constexpr std::size_t digest_hex_len = 32;

}  // namespace wire

#endif
