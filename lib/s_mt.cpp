// Wildcard matching of whole texts, buffer prefixes and text endings.
#include "s_mt.h"

#include <cstring>

#include "cnv_lb.h"
#include "fnd_lb.h"
#include "mem_lb.h"

namespace {

// Digits and the letters A-Z, a-z: the codes with a digit value.
inline bool alnum(unsigned char c) {
    return c_v[c] != 255;
}

inline bool pair_mt(unsigned char a, unsigned char b, char cs, char lit, unsigned char wild) {
    if (wild && a == wild) return true;
    if (!lit && !alnum(a) && !alnum(b)) return true;
    return cs ? a == b : ch_upper[a] == ch_upper[b];
}

// Walks both texts in step for at most count pairs; a text that ends matches only the other
// ending at the same place.
bool walk_mt(const char* first, const char* second, std::size_t count, char cs, char lit,
             char wild) {
    const auto* a = reinterpret_cast<const unsigned char*>(first);
    const auto* b = reinterpret_cast<const unsigned char*>(second);
    const auto w = static_cast<unsigned char>(wild);
    for (std::size_t i = 0; i < count; ++i) {
        if (!a[i]) return !b[i];
        if (!b[i] || !pair_mt(a[i], b[i], cs, lit, w)) return false;
    }
    return true;
}

bool nocase_eq(const char* first, const char* second, std::size_t count) {
    const auto* a = reinterpret_cast<const unsigned char*>(first);
    const auto* b = reinterpret_cast<const unsigned char*>(second);
    for (std::size_t i = 0; i < count; ++i) {
        if (ch_upper[a[i]] != ch_upper[b[i]]) return false;
        if (!a[i]) return true;
    }
    return true;
}

}  // namespace

char S_MT(const char* first, const char* second, char cs, char lit, char wild, char group) {
    if (err_) return 0;
    if (!first || !second) return !first && !second;
    if (group) {
        // Positions are 16-bit: a subject past the longest range cannot be covered.
        std::uint16_t end = 0;
        if (FND_TXT(second, first, 0, 65535, group, cs, wild, &end) != 0) return 0;
        return strnlen(first, 65535) == end;
    }
    if (!wild && lit) return cs ? std::strcmp(first, second) == 0 : nocase_eq(first, second, SIZE_MAX);
    return walk_mt(first, second, SIZE_MAX, cs, lit, wild);
}

char BF_MT(const char* buffer, const char* pattern, std::uint16_t count, char cs, char lit,
           char wild) {
    if (err_) return 0;
    if (!buffer || !pattern) return !buffer && !pattern;
    const std::size_t n = count == 65535 ? std::strlen(pattern) : count;
    if (!n) return 1;
    if (!wild && lit) {
        if (!cs) return nocase_eq(buffer, pattern, n);
        // Byte for byte, terminators included; stops at the first difference.
        for (std::size_t i = 0; i < n; ++i)
            if (buffer[i] != pattern[i]) return 0;
        return 1;
    }
    return walk_mt(buffer, pattern, n, cs, lit, wild);
}

char S_END_MT(const char* text, const char* suffix, char cs, char lit, char wild) {
    if (err_) return 0;
    if (!text || !suffix) return !text && !suffix;
    const std::size_t lt = std::strlen(text);
    const std::size_t ls = std::strlen(suffix);
    if (lt < ls) return 0;
    return S_MT(text + (lt - ls), suffix, cs, lit, wild, 0);
}
