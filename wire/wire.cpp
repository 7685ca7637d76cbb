// The classic protocol's lines.
#include "wire.h"

#include "shown.h"

namespace wire {

std::string header(std::string_view name, std::string_view dir, std::uint64_t size) {
    std::string h;
    h.reserve(name.size() + dir.size() + 24);
    h.append(name).append(1, line_end).append(dir).append(1, line_end).append(std::to_string(size)).append(1, line_end);
    return h;
}

std::string reply(std::string_view text) { return std::string(text) + line_end; }

bool stored(std::string_view line) {
    return line.size() == 2 && (line[0] == 'O' || line[0] == 'o') && (line[1] == 'K' || line[1] == 'k');
}

ReplyReader::State ReplyReader::take(std::string_view bytes) {
    if (state_ != State::more) return state_;
    const auto cr = bytes.find(line_end);
    line_.append(bytes.substr(0, cr));
    if (line_.size() > reply_mxsz) {
        line_.resize(reply_mxsz);
        state_ = State::too_long;
    } else if (cr != std::string_view::npos) {
        state_ = State::line;
    }
    return state_;
}

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
