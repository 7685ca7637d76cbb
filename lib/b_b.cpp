// Byte and block helpers.
#include "b_b.h"

#include <cstring>

void B_B(const char* source, std::uint16_t count, char* destination) {
    if (err_ || !destination || !count) return;
    if (source)
        std::memmove(destination, source, count);
    else
        std::memset(destination, 0, count);
}

namespace {

// Bytes that may appear in a text file: CR, LF, tab, 255 and the printable range.
struct TextBytes {
    bool ok[256] = {};
    constexpr TextBytes() {
        for (int c = 32; c <= 126; ++c) ok[c] = true;
        ok[9] = ok[10] = ok[13] = ok[255] = true;
    }
};
constexpr TextBytes text_bytes;

}  // namespace

char RAW_DATA(const char* buffer, std::uint32_t count) {
    if (!buffer) return 0;
    const auto* p = reinterpret_cast<const unsigned char*>(buffer);
    for (std::uint32_t i = 0; i < count; ++i)
        if (!text_bytes.ok[p[i]]) return 1;
    return 0;
}
