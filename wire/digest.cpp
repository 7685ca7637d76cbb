// The digest through the xxhash library's streaming XXH3-128.
#include "digest.h"

#include <xxhash.h>

#include <cstdio>

namespace wire {

struct Digest::State {
    XXH3_state_t* xxh = XXH3_createState();
    ~State() { XXH3_freeState(xxh); }
};

Digest::Digest() : state_(std::make_unique<State>()) { reset(); }
Digest::~Digest() = default;
Digest::Digest(Digest&&) noexcept = default;
Digest& Digest::operator=(Digest&&) noexcept = default;

void Digest::reset() { XXH3_128bits_reset(state_->xxh); }

void Digest::update(const void* bytes, std::size_t n) { XXH3_128bits_update(state_->xxh, bytes, n); }

std::string Digest::hex() const {
    const XXH128_hash_t h = XXH3_128bits_digest(state_->xxh);
    char text[digest_hex_len + 1];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(h.high64),
                  static_cast<unsigned long long>(h.low64));
    return text;
}

std::string Digest::of(const void* bytes, std::size_t n) {
    Digest d;
    d.update(bytes, n);
    return d.hex();
}

}  // namespace wire
