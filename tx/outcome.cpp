// The sender's words for what became of a file, chosen by the numbers of the outcome.
#include "outcome.h"

#include <cerrno>
#include <cstring>

#include "shown.h"
#include "units.h"
#include "wire.h"

namespace tx {

namespace {

using What = Outcome::What;
using cli::human_size;

// How far the body got: "12.0 MiB of 3.0 GiB", or "all 15.0 MiB".
std::string so_far(const Outcome& o) {
    if (o.sent >= o.size) return "all " + human_size(o.size);
    return human_size(o.sent) + " of " + human_size(o.size);
}

// The system's reason, or the library's words where the system gave none.
std::string reason(const cli::Failure& f) {
    return f.sys_errno ? std::strerror(f.sys_errno) : cli::shown(f.text);
}

std::string no_connection(const Outcome& o, const Peer& peer) {
    const std::string at = peer.ip + ":" + std::to_string(peer.port);
    switch (o.failure.sys_errno) {
        case ECONNREFUSED:
            return "not sent: nothing listens at " + at + " (is catchr running there? is the port right?)";
        case ETIMEDOUT:
            return "not sent: no answer from " + peer.ip + " within " + std::to_string(connect_tmo_secs) +
                   " s (is the address right? is the PC on?)";
        case EHOSTUNREACH:
        case ENETUNREACH:
            return "not sent: " + peer.ip + " cannot be reached: " + std::strerror(o.failure.sys_errno) +
                   " (is the address right? is the PC on?)";
        default:
            return "not sent: no connection to " + at + " (" + reason(o.failure) + ")";
    }
}

// Whether a reply names the file itself, as a receiver does that says "NAME: not stored: why".
bool names_the_file(const Outcome& o, const std::string& announced) {
    return o.what == What::not_stored && !announced.empty() && o.reply.starts_with(announced + ": ");
}

std::string happened(const Outcome& o, const Peer& peer) {
    switch (o.what) {
        case What::stored: return "OK";
        case What::not_stored: return "not stored: " + cli::shown(o.reply);
        case What::empty_reply: return "not stored: the receiver replied with an empty line";
        case What::long_reply:
            return "not stored: the receiver's reply is longer than " + std::to_string(wire::reply_mxsz) +
                   " bytes: " + cli::shown(o.reply);
        case What::bad_name: return "not sent: its name holds a CR or LF, which no header line can carry";
        case What::cannot_open: return "not sent: it cannot be opened (" + reason(o.failure) + ")";
        case What::unreadable: return "not sent: it cannot be read (" + reason(o.failure) + ")";
        case What::not_regular: return std::string("not sent: it is ") + o.kind + ", not a regular file";
        case What::shrank:
            return "it shrank from " + human_size(o.size) + " to " + human_size(o.now) + " while being sent; not stored";
        case What::no_connection: return no_connection(o, peer);
        case What::stalled:
            return "the receiver stopped taking data for " + std::to_string(body_tmo_secs) + " s after " + so_far(o) +
                   "; not stored";
        case What::closed: return "the receiver closed the connection without a reply after " + so_far(o);
        case What::older_receiver:
            return "not stored: the receiver does not take files of " + std::to_string((old_receiver_mxsz + 1) >> 30) +
                   " GiB or more (an older catchr; update catchr there)";
        case What::no_reply:
            return "no reply within " + std::to_string(reply_tmo_secs) + " s after " + so_far(o) +
                   "; it may or may not be stored";
        case What::failed:
            return (o.sent < o.size ? "sending failed after " : "no reply: the connection failed after ") + so_far(o) +
                   " (" + reason(o.failure) + ")";
    }
    return "";
}

}  // namespace

std::string told(const Outcome& o, const std::string& path, const std::string& announced, const Peer& peer,
                 bool trail) {
    if (names_the_file(o, announced)) return cli::shown(o.reply);
    std::string line = cli::shown(path) + ": " + happened(o, peer);
    if (trail && !o.failure.text.empty()) line += " (" + cli::shown(o.failure.text) + ")";
    return line;
}

}  // namespace tx
