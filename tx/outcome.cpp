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

std::string where(const Peer& peer) { return peer.ip + ":" + std::to_string(peer.port); }

std::string no_connection(const Outcome& o, const Peer& peer) {
    const std::string at = where(peer);
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
    return (o.what == What::not_stored || o.what == What::not_made) && !announced.empty() && o.reply.starts_with(announced + ": ");
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
        case What::protocol_error:
            return "not stored: the receiver broke the protocol, answering \"" + cli::shown(o.reply) +
                   "\" (is catchr there of this version?)";
        case What::differed_twice: return "the copy that arrived differed from this file twice; not stored";
        case What::not_made: return "not made: " + cli::shown(o.reply);
        case What::refused: return "not sent: " + cli::shown(o.reply);
    }
    return "";
}

// How a send that is tried again broke: a break in the words of the connection.
std::string broke(const Outcome& o, const Peer& peer) {
    switch (o.what) {
        case What::closed: return "the connection broke after " + so_far(o);
        case What::failed: return "the connection broke after " + so_far(o) + " (" + reason(o.failure) + ")";
        case What::no_reply: return "no answer within " + std::to_string(reply_tmo_secs) + " s after " + so_far(o);
        case What::stalled:
            return "the receiver took nothing for " + std::to_string(body_tmo_secs) + " s after " + so_far(o);
        default: return happened(o, peer);
    }
}

}  // namespace

std::string told(const Outcome& o, const std::string& path, const std::string& announced, const Peer& peer,
                 bool trail) {
    if (names_the_file(o, announced)) return cli::shown(o.reply);
    std::string line = cli::shown(path) + ": " + happened(o, peer);
    if (trail && !o.failure.text.empty()) line += " (" + cli::shown(o.failure.text) + ")";
    return line;
}

std::string told_retry(const Outcome& o, const std::string& path, const Peer& peer, unsigned attempt,
                       unsigned retries, unsigned pause_secs) {
    return cli::shown(path) + ": " + broke(o, peer) + "; trying again in " + std::to_string(pause_secs) + " s (" +
           std::to_string(attempt) + " of " + std::to_string(retries) + ")";
}

std::string resumed_note(std::uint64_t at) { return "resumed at " + human_size(at); }

std::string told_resumed(const std::string& path, std::uint64_t at) {
    return cli::shown(path) + ": " + resumed_note(at);
}

std::string told_differed(const std::string& path) {
    return cli::shown(path) + ": the copy that arrived differed from this file; sending it again from the start";
}

std::string told_stale(const std::string& path) {
    return cli::shown(path) + ": the receiver's kept part was not of this file; sending all of it again";
}

std::string told_classic(const Peer& peer) {
    return where(peer) + " speaks only the classic protocol: files are neither verified nor resumed";
}

std::string told_no_update(const Peer& peer) {
    return where(peer) + " cannot say which files it has (-u): sending every file";
}

std::string told_unasked(const Outcome& o, const Peer& peer) {
    std::string why = broke(o, peer);
    if (o.what == What::no_connection) why = "no connection (" + reason(o.failure) + ")";
    if (o.what == What::protocol_error) why = "it answered \"" + cli::shown(o.reply) + "\"";
    return "could not ask " + where(peer) + " which files it has (-u): " + why + "; nothing was sent";
}

}  // namespace tx
