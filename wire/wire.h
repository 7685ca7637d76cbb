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

// Reads a size line strictly: decimal digits only, no sign, space or zero byte, no leading
// zero except in "0" itself, at most 2^64 - 1. Empty when it is one; else why it is not,
// as the reply says it ("bad size line \"+5\": digits only").
std::string parse_size(std::string_view line, std::uint64_t& size);

}  // namespace wire

#endif
