// What became of one file, as numbers and the receiver's own words, and the line a person
// reads about it. The words are made here and nowhere else.
#ifndef TX_OUTCOME_H
#define TX_OUTCOME_H

#include <chrono>
#include <cstdint>
#include <string>

#include "failure.h"

namespace tx {

// How long each step may take; the messages name the same numbers.
inline constexpr std::uint16_t connect_tmo_secs = 10;
inline constexpr std::uint16_t body_tmo_secs = 60;
// The reply may take this long after the body (more than 20 whole seconds ends it).
inline constexpr std::uint16_t reply_tmo_secs = 20;
// Receivers before any-size files read the size line as a signed 32-bit count.
inline constexpr std::uint64_t old_receiver_mxsz = 0x7FFFFFFFULL;

struct Outcome {
    enum class What {
        stored,          // the receiver replied OK
        not_stored,      // it replied something else (reply)
        empty_reply,     // it replied with an empty line
        long_reply,      // its reply was longer than a reply may be (reply: the start of it)
        bad_name,        // the name holds a CR or LF: no header can carry it
        cannot_open,     // opening failed (failure.sys_errno)
        unreadable,      // reading it failed (failure.sys_errno)
        not_regular,     // not a regular file (kind)
        shrank,          // the file ended before its announced size (now: its size then)
        no_connection,   // connecting failed (failure.sys_errno; ETIMEDOUT for the time-out)
        stalled,         // the receiver took nothing for body_tmo_secs
        closed,          // the receiver ended the connection without a reply
        older_receiver,  // closed after a header of old_receiver_mxsz or more, yet answers a small one
        no_reply,        // nothing within reply_tmo_secs after the body
        failed,          // sending, or waiting for the reply, failed otherwise (failure)
        protocol_error,  // the receiver answered what the extension has no place for (reply)
        differed_twice,  // the copy that arrived differed from the file, and did so again
        not_made,        // a directory the receiver did not make (reply)
        refused,         // the sender would not send to this receiver: its key, or no TLS (reply)
    };
    What what = What::stored;
    cli::Failure failure;     // the library's or the system's account, where there is one
    std::uint64_t size = 0;   // as announced
    std::uint64_t sent = 0;   // bytes of the body sent
    std::uint64_t now = 0;    // for shrank: the file's size when it ended
    std::string reply;        // the receiver's line, as it came
    const char* kind = "";    // for not_regular: "a FIFO", "a directory", ...
    bool verified = false;    // stored, and the receiver found the same digests
    bool resumed = false;     // the body went from a part the receiver kept
    bool sent_again = false;  // sent once more after a mismatch or a break

    bool ok() const { return what == What::stored; }
};

// Where the files go, as the messages name it.
struct Peer {
    std::string ip;
    std::uint16_t port = 0;
};

// The line that says what happened to the file at path (its name on the receiver being
// announced): which file, what happened, what to do, with the system's reason where there is
// one; with trail, the failure's internal account after it in parentheses. Every outside text
// in it is shown().
std::string told(const Outcome& o, const std::string& path, const std::string& announced, const Peer& peer,
                 bool trail);

// The lines said while a file is under way under the extension, each about the file at path.
// A send that broke (o), to be tried again after pause_secs: the attempt'th of retries.
std::string told_retry(const Outcome& o, const std::string& path, const Peer& peer, unsigned attempt,
                       unsigned retries, unsigned pause_secs);
// The receiver kept a part of the file: the body goes from byte at.
std::string told_resumed(const std::string& path, std::uint64_t at);
// Where a resumed send starts, for the progress line.
std::string resumed_note(std::uint64_t at);
// The copy that arrived differed from the file: it goes once more, from the start.
std::string told_differed(const std::string& path);
// The part the receiver kept was not of this file: it goes again, whole.
std::string told_stale(const std::string& path);
// The receiver did not answer the hello: it gets the classic protocol for the rest of the run.
std::string told_classic(const Peer& peer);
// -u with a receiver that cannot say which files it has: every file goes.
std::string told_no_update(const Peer& peer);
// -u: asking which files changed failed as o says.
std::string told_unasked(const Outcome& o, const Peer& peer);

}  // namespace tx

#endif
