// The classic protocol's lines.
#include "wire.h"

#include "shown.h"

namespace wire {

std::string parse_size(std::string_view line, std::uint64_t& size) {
    const auto bad = [&](const char* why) {
        return "bad size line \"" + cli::shown(std::string(line)) + "\": " + why;
    };
    if (line.empty()) return bad("empty");
    std::uint64_t value = 0;
    for (const char c : line) {
        if (c < '0' || c > '9') return bad("digits only");
    }
    if (line.size() > 1 && line[0] == '0') return bad("no leading zeros");
    for (const char c : line) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return bad("larger than 18446744073709551615");
        value = value * 10 + digit;
    }
    size = value;
    return "";
}

}  // namespace wire
