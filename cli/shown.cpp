// Display forms of outside texts.
#include "shown.h"

#include <algorithm>
#include <cstdio>

namespace cli {

namespace {

void escape(std::string& out, unsigned char b) {
    char esc[5];
    std::snprintf(esc, sizeof esc, "\\x%02X", b);
    out += esc;
}

// Length of the well-formed UTF-8 character at text[i] that is no C1 control, 0 when there
// is none there (a stray or cut byte, an overlong form, a surrogate, a C1 control).
std::size_t utf8_char(const std::string& text, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b = at(i);
    std::size_t len;
    unsigned lo = 0x80, hi = 0xBF;  // the allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) len = 2;
    else if (b >= 0xE0 && b <= 0xEF) len = 3, lo = b == 0xE0 ? 0xA0 : 0x80, hi = b == 0xED ? 0x9F : 0xBF;
    else if (b >= 0xF0 && b <= 0xF4) len = 4, lo = b == 0xF0 ? 0x90 : 0x80, hi = b == 0xF4 ? 0x8F : 0xBF;
    else return 0;
    if (i + len > text.size() || at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if ((at(i + k) & 0xC0) != 0x80) return 0;
    if (b == 0xC2 && at(i + 1) <= 0x9F) return 0;  // U+0080..U+009F, the C1 controls
    return len;
}

}  // namespace

std::string shown(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b >= 0x20 && b < 0x7F) {
            out += text[i++];
        } else if (const std::size_t len = b >= 0x80 ? utf8_char(text, i) : 0; len > 0) {
            out.append(text, i, len);
            i += len;
        } else {
            escape(out, b);
            ++i;
        }
    }
    return out;
}

bool has_control(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

}  // namespace cli
