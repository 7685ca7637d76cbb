// The classic protocol's framing, shared by both programs: a header of three lines (name,
// destination directory, size), each ended by a CR, then the body; the reply is one line.
#ifndef WIRE_WIRE_H
#define WIRE_WIRE_H

#include <cstdint>
#include <string>
#include <string_view>

namespace wire {

// Longest header line (name, directory, size) before its CR.
inline constexpr std::size_t header_line_mxsz = 256;
// Longest reply line before its CR.
inline constexpr std::size_t reply_mxsz = 512;
// Every line ends so.
inline constexpr char line_end = '\r';

// The header of one file: its name, the destination directory (maybe empty), its size.
std::string header(std::string_view name, std::string_view dir, std::uint64_t size);

// The reply a receiver sends: "OK", or why the file was not stored.
std::string reply(std::string_view text);
// Whether a reply line (without its CR) says the file was stored: "OK" in any letter case.
bool stored(std::string_view line);

// Collects a reply line from the bytes as they come.
class ReplyReader {
public:
    enum class State { more, line, too_long };
    // Takes bytes; line once the CR has come (bytes after it are ignored), too_long once
    // more than reply_mxsz bytes came without one.
    State take(std::string_view bytes);
    // The line so far, without its CR (cut at reply_mxsz when too long).
    const std::string& line() const { return line_; }

private:
    std::string line_;
    State state_ = State::more;
};

// Reads a size line strictly: decimal digits only, no sign, space or zero byte, no leading
// zero except in "0" itself, at most 2^64 - 1. Empty when it is one; else why it is not,
// as the reply says it ("bad size line \"+5\": digits only").
std::string parse_size(std::string_view line, std::uint64_t& size);

}  // namespace wire

#endif
