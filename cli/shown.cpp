// Display forms of outside texts.
#include "shown.h"

#include <algorithm>
#include <cstdio>

namespace cli {

std::string shown(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b != 0x7F) {
            out += c;
            continue;
        }
        char esc[5];
        std::snprintf(esc, sizeof esc, "\\x%02X", b);
        out += esc;
    }
    return out;
}

bool has_control(const std::string& text) {
    return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; });
}

}  // namespace cli
