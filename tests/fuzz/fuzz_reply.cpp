// The sender's reply reader (wire::ReplyReader) fed arbitrary bytes in arbitrary pieces. The
// input is a run of pieces, each a length byte and then up to that many bytes.
//
// What must hold, after every piece: the state and the line are those of the bytes so far taken
// whole (how they were cut makes no difference); the line is never longer than
// wire::reply_mxsz; once the line is there or too long, the state never changes again (never
// back to more) and neither does the line, so bytes after the CR are ignored.
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "wire.h"

namespace {

using State = wire::ReplyReader::State;

struct Expected {
    State state;
    std::string line;
};

// What the reader must say after all of bytes, whatever the pieces.
Expected expected(std::string_view bytes) {
    const auto cr = bytes.find(wire::line_end);
    const std::string_view before = bytes.substr(0, cr);
    if (before.size() > wire::reply_mxsz) return {State::too_long, std::string(before.substr(0, wire::reply_mxsz))};
    return {cr == std::string_view::npos ? State::more : State::line, std::string(before)};
}

const char* name(State s) {
    switch (s) {
        case State::more: return "more";
        case State::line: return "line";
        case State::too_long: return "too_long";
    }
    return "?";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Bytes input(data, size, false);
    const std::string_view in(input.get(), input.size());
    wire::ReplyReader reader;
    std::string fed;
    State last = State::more;
    std::string last_line;
    for (std::size_t at = 0; at < in.size();) {
        const std::size_t len = static_cast<unsigned char>(in[at++]);
        const std::string_view piece = in.substr(at, len);
        at += piece.size();
        fed.append(piece);

        const State now = reader.take(piece);
        const Expected want = expected(fed);
        if (reader.line().size() > wire::reply_mxsz)
            fuzz::fail("a line of %zu bytes, longer than %zu", reader.line().size(), wire::reply_mxsz);
        if (last != State::more && (now != last || reader.line() != last_line))
            fuzz::fail("after %s, a piece of %zu bytes changed it to %s", name(last), piece.size(), name(now));
        if (now != want.state || reader.line() != want.line)
            fuzz::fail("%s with a line of %zu bytes after %zu bytes in pieces; taken whole: %s with %zu", name(now),
                       reader.line().size(), fed.size(), name(want.state), want.line.size());
        last = now;
        last_line = reader.line();
    }
    return 0;
}
