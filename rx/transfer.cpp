// One connection's life: header lines, body, store, reply. Every step does what the bytes
// at hand allow and returns, so that one slow peer never holds up another.
#include "transfer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "lb.h"
#include "shown.h"
#include "units.h"
#include "wire.h"

namespace rx {

namespace {

using cli::has_control;
using cli::shown;

constexpr std::size_t hdr_mxsz = wire::header_line_mxsz;
// Bytes taken off a socket at once. One buffer serves every connection: each call works
// through what it read before it returns.
constexpr std::size_t rx_blksz = 0x40000;
constexpr int reads_per_turn = 16;

char rx_block[rx_blksz];

// A name that would leave the destination directory, name no file at all, or carry
// control characters (a zero byte would cut it short) is refused.
bool safe_file_name(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           !has_control(name);
}

using cli::Failure;

// The system's reason for a failure, else the library's words.
std::string reason(const Failure& f) { return f.sys_errno ? std::strerror(f.sys_errno) : f.text; }

std::string seconds(std::chrono::milliseconds ms) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(ms).count());
}

}  // namespace

Transfer::Transfer(int sd, const sockaddr_in& peer, std::uint16_t port, const Rules& rules, View& view,
                   Clock::time_point now)
    : sd_(sd), address_(ntohl(peer.sin_addr.s_addr)), peer_(SAI_IP(&peer, 1, 0)), port_(port), rules_(rules), view_(view),
      deadline_(now + rules.header_deadline), sink_(rules.file_splice) {}

Transfer::~Transfer() {
    if (question_ >= 0) rules_.pairing->withdraw(question_);
    SCK_CL(sd_);
}

void Transfer::on_readable(Clock::time_point now) {
    budget_ = work_per_turn;
    if (phase_ == Phase::handshake) return shake(now);
    read_turn(now);
    flush();
    pace(now);
}

short Transfer::events() const {
    if (phase_ == Phase::handshake) return tls_->events();
    return reading() ? POLLIN : 0;
}

void Transfer::read_turn(Clock::time_point now) {
    // While full blocks keep coming, a few are taken in a row: one wait per block would cost
    // more than the block. The limit keeps the other connections' turns short.
    tls_more_ = false;
    for (int turn = 0; turn < reads_per_turn && reading(); ++turn) {
        if (phase_ == Phase::body && splice_some(now)) {
            if (got_ == size_ || finished()) break;
            continue;
        }
        std::size_t want = rx_blksz;
        // Bytes beyond the announced size are never taken.
        if (phase_ == Phase::body) want = std::min<std::size_t>(want, size_ - got_);
        const std::optional<std::size_t> n = receive(want);
        if (!n) return;
        if (*n == 0) break;
        any_byte_ = true;
        // Only the first header has a time limit of its own.
        if (ext_ || phase_ != Phase::header) deadline_ = now + rules_.body_silence;
        const std::size_t used = handle(rx_block, *n, now);
        if (used < *n && !finished()) pending_.assign(rx_block + used, *n - used);
        // A TLS record is shorter than a block: only the channel knows whether more is there.
        tls_more_ = tls_ != nullptr;
        if (*n < want && !tls_) break;
    }
}

// Up to want bytes into the block: 0 when none are there now, nothing when the connection
// has ended.
std::optional<std::size_t> Transfer::receive(std::size_t want) {
    if (tls_) return receive_tls(want);
    char st = 0;
    const std::uint32_t n = SCK_RECV(sd_, rx_block, static_cast<std::uint32_t>(want), 0, &st);
    if (!err_) return n;
    gone(Failure::from_library(st));
    return std::nullopt;
}

std::optional<std::size_t> Transfer::receive_tls(std::size_t want) {
    const ssize_t n = tls_->read(rx_block, want);
    if (n > 0) return static_cast<std::size_t>(n);
    const int no = errno;
    if (n < 0 && (no == EAGAIN || no == EWOULDBLOCK)) return 0;
    if (n == 0) gone({"closed", 0, sck_st_closed});
    else if (no == EPROTO) gone({tls_->why()});
    else gone({std::strerror(no), no});
    return std::nullopt;
}

// The connection ended under it: a sender between files is done.
void Transfer::gone(const Failure& f) {
    if (between_files()) finish();
    else fail(connection_failed(f));
}

// Bytes off the socket go to whatever the connection waits for, phase after phase, until a
// file is being checked or this turn's share is done. Gives the bytes it took.
std::size_t Transfer::handle(const char* bytes, std::size_t n, Clock::time_point now) {
    std::size_t at = 0;
    while (at < n && !finished() && phase_ != Phase::verify && budget_ > 0) {
        if (phase_ == Phase::handshake || phase_ == Phase::pairing) {
            protocol_error(phase_ == Phase::pairing ? "bytes before the pairing was confirmed"
                                                    : "bytes before the TLS handshake");
            return n;
        }
        if (phase_ == Phase::header || phase_ == Phase::check) at += take_lines(bytes + at, n - at, now);
        else if (phase_ == Phase::body) at += take_body_bytes(bytes + at, n - at);
        else at += take_line_bytes(bytes + at, n - at, now);
    }
    return at;
}

// Nothing in handle() touches pending_, so its bytes are taken where they lie.
void Transfer::take_pending(Clock::time_point now) {
    pending_at_ += handle(pending_.data() + pending_at_, pending_.size() - pending_at_, now);
    if (pending_at_ < pending_.size() && !finished()) return;
    pending_.clear();
    pending_at_ = 0;
}

// Starts a new rate window when the current one is over.
void Transfer::pace(Clock::time_point now) {
    if (phase_ != Phase::body || now - mark_.at < rules_.rate_window) return;
    last_mark_ = mark_;
    have_last_mark_ = true;
    mark_ = {now, got_};
}

std::optional<double> Transfer::slow_rate(Clock::time_point now) {
    pace(now);
    if (phase_ != Phase::body || !have_last_mark_) return std::nullopt;
    const double secs = std::chrono::duration<double>(now - last_mark_.at).count();
    const double rate = static_cast<double>(got_ - last_mark_.got) / secs;
    if (rate >= static_cast<double>(rules_.min_rate)) return std::nullopt;
    return rate;
}

void Transfer::on_clock(Clock::time_point now) {
    if (finished() || phase_ == Phase::verify || now < deadline_) return;
    if (between_files()) {
        finish();  // a sender that sends no more file after a while is done
    } else if (phase_ == Phase::handshake) {
        fail({"no TLS handshake within " + seconds(rules_.header_deadline) + " s; connection closed"});
    } else if (phase_ == Phase::pairing) {
        no_and_close("the pairing was not confirmed within " + seconds(rules_.pairing_window) + " s");
    } else if (phase_ == Phase::header && ext_) {
        fail({"no complete header within " + seconds(rules_.body_silence) + " s; connection closed"});
    } else if (phase_ == Phase::check) {
        fail({"no data from the sender for " + seconds(rules_.body_silence) + " s after " +
              std::to_string(checked_.size()) + " of " + std::to_string(entries_) +
              " entries of a check; connection closed"});
    } else if (phase_ == Phase::header) {
        repeated_ = View::Repeated::header_late;
        fail({"no complete header within " + seconds(rules_.header_deadline) + " s; connection closed"});
    } else {
        fail({shown_name() + ": no data from the sender for " + seconds(rules_.body_silence) + " s after " + so_far() +
              lost()});
    }
}

std::string Transfer::abort(const std::string& why) {
    if (finished()) return "";
    std::string what;
    if (view_id_ >= 0) {
        const std::uint64_t kept = store_->keep();
        what = shown_name() + " (" + so_far() + (kept ? ", " + cli::human_size(kept) + " kept to resume" : "") + ")";
        // A sender that waits for its reply hears it (as finish() sends it); one still sending
        // may not.
        out_ += ext_ ? wire::answer_line(wire::Answer::Tag::no, why) : wire::reply(why);
        view_.forget(view_id_);
    }
    finish();
    return what;
}

void Transfer::drop(View::Repeated kind, const char* why) {
    if (finished()) return;
    repeated_ = kind;
    fail({view_id_ >= 0 ? shown_name() + ": dropped after " + so_far() + " " + why + lost()
                        : std::string("dropped ") + why});
}

// The lines of a header, or of a CHECK's entries. Gives the bytes it took: up to the end of
// the header (or of the last entry).
std::size_t Transfer::take_lines(const char* bytes, std::size_t n, Clock::time_point now) {
    const Phase phase = phase_;
    std::size_t at = 0;
    while (at < n && phase_ == phase && budget_ > 0) {
        std::string& line = lines_[line_];
        const auto* cr = static_cast<const char*>(std::memchr(bytes + at, wire::line_end, n - at));
        const std::size_t part = cr ? static_cast<std::size_t>(cr - bytes) - at : n - at;
        if (line.size() + part > hdr_mxsz) {
            fail({"a header line longer than " + std::to_string(hdr_mxsz) + " bytes; connection closed"});
            return n;
        }
        line.append(bytes + at, part);
        at += part;
        if (!cr) break;
        ++at;
        if (!(phase == Phase::header ? header_line_done(now) : entry_line_done(now))) return n;
    }
    return at;
}

// Ends the header line just read; after the last, starts the file. False when the
// connection ended there.
bool Transfer::header_line_done(Clock::time_point now) {
    ++line_;
    if (!ext_ && line_ == 3) {
        if (lines_[0].empty() && lines_[1].empty() && hello(now)) return true;
        if (refused_outside_tls(false) || !size_line_done()) return false;
        deadline_ = now + rules_.body_silence;
        mark_ = {now, 0};
        start_body();
    } else if (ext_ && line_ == 3) {
        wire::Hello again;
        if (lines_[0].empty() && lines_[1].empty() && wire::parse_hello(lines_[2], again)) {
            protocol_error("a second hello");
            return false;
        }
        return batch_request() || size_line_done();
    } else if (line_ == 4) {
        start_file(now);
    }
    return !finished();
}

// Parses the size and prints the arrival; false when the connection ended there.
bool Transfer::size_line_done() {
    if (const std::string bad = wire::parse_size(lines_[2], size_); !bad.empty()) {
        // Said to the sender before the connection ends: no older sender sends such a line.
        say_last(ext_ ? wire::answer_line(wire::Answer::Tag::no, bad) : wire::reply(bad));
        fail({bad});
        return false;
    }
    if (!ext_) begin_view(Clock::now());
    return true;
}

// Why the name or the directory line cannot be stored at all; empty when they can.
std::string Transfer::name_refusal() const {
    if (!safe_file_name(lines_[0]))
        return "\"" + shown(lines_[0]) + "\": not stored: a file name may not be empty, \".\" or \"..\", nor hold "
               "\"/\" or a control character";
    if (lines_[0].starts_with(work_prefix) && lines_[0].ends_with(work_suffix))
        return not_stored("names of the form .catchr-*.part are the receiver's own work files");
    if (has_control(lines_[1])) return not_stored("the directory \"" + shown(lines_[1]) + "\" holds a control character");
    return "";
}

Store::Verdict Transfer::open_store(std::string& why, const PartInfo* version) {
    why = name_refusal();
    if (!why.empty()) return Store::Verdict::refused;
    const Store::Verdict verdict = store_->open(rules_.store, lines_[1], lines_[0], size_, why, version, &dirs_);
    for (const std::string& note : store_->notes()) view_.line(note);
    if (verdict != Store::Verdict::ok) why = not_stored(why);
    return verdict;
}

void Transfer::start_body() {
    phase_ = Phase::body;
    std::string why;
    switch (open_store(why, nullptr)) {
        case Store::Verdict::ok:
            sink_.open(store_->fd(), shown_name(), rules_.zero_copy && !tls_);
            break;
        case Store::Verdict::refused:
            refuse(why);
            break;
        case Store::Verdict::at_once:
            refuse(why);
            reply();
            finish();
            return;
    }
    if (size_ == 0) body_complete();
}

// Gives the bytes it took: up to the end of the body.
std::size_t Transfer::take_body_bytes(const char* bytes, std::size_t n) {
    n = std::min<std::size_t>(n, size_ - got_);
    if (n == 0) return 0;
    if (const Failure f = sink_.write(bytes, n, got_)) refuse(write_failed(f));
    stored(n);
    return n;
}

void Transfer::stored(std::uint64_t n) {
    got_ += n;
    store_->written(got_);
    view_.progress(view_id_, got_);
    // The check trails the writes: little is left to read back when the body ends.
    if (checked_behind()) check_.step(got_);
    if (got_ == size_) body_complete();
}

// A large body moves from the socket into the work file through a pipe, never through this
// process. False when the plain way must read instead: for small bodies and their tails, a
// body being dropped, a socket that ended (the plain way reads that end and reports it), or
// a kernel that will not splice (then for good).
bool Transfer::splice_some(Clock::time_point now) {
    if (!sink_.splicing(size_ - got_)) return false;
    Failure error;
    const ssize_t n = sink_.splice(sd_, got_, static_cast<std::size_t>(std::min<std::uint64_t>(size_ - got_, SIZE_MAX)),
                                   error);
    if (n < 0) return false;
    if (n > 0) {
        deadline_ = now + rules_.body_silence;
        if (error) refuse(write_failed(error));
        stored(static_cast<std::uint64_t>(n));
    }
    return true;
}

// The file cannot be stored: what is already received goes at once, the rest of the body
// is read and dropped, and then the sender gets this as its reply.
void Transfer::refuse(std::string why) {
    if (refusal_.empty()) refusal_ = std::move(why);
    sink_.drop();
    store_->discard();
}

void Transfer::body_complete() {
    if (ext_) {
        phase_ = Phase::sum;
        return;
    }
    if (refusal_.empty()) store();
    reply();
    finish();
}

void Transfer::store() {
    const std::string why = store_->commit(classic_mode());
    if (!why.empty()) refuse(not_stored(why));
}

// The receiver's own mode for new files, and execute bits for what looks like a program.
mode_t Transfer::classic_mode() const {
    const bool program = S_END_MT(lines_[0].c_str(), ".bin", 0, 1, 0) || S_END_MT(lines_[0].c_str(), ".sh", 0, 1, 0);
    return rules_.file_mode | (program && rules_.exec_bits ? 0111u : 0u);
}

// Sends "OK" or the refusal and prints the refusal; a reply that cannot be sent is printed
// instead.
void Transfer::reply() {
    SM_SCK(sd_, nullptr, 0xFFFF, wire::reply(refusal_.empty() ? "OK" : refusal_).c_str(), nullptr);
    const std::string failed = err_ ? Failure::from_library().text : refusal_;
    view_.end(view_id_, failed.empty(), failed, Clock::now());
}

// The connection ends without a reply, and then why is printed.
void Transfer::fail(const Failure& failure) {
    std::string why = failure.text;
    const bool cut_short = phase_ == Phase::header && line_ < 3 && !ext_;
    if (!repeated_ && !any_byte_) repeated_ = View::Repeated::header_none;
    finish();  // nothing of the file is left by the time anyone reads the line
    // A refusal the sender never got to hear is still the first thing to tell.
    if (!refusal_.empty()) why = refusal_ + "; then " + why;
    if (view_id_ >= 0) {
        view_.end(view_id_, false, why, Clock::now());
        return;
    }
    if (repeated_) {
        view_.repeated(*repeated_, peer_.substr(0, peer_.find(':')), why + " (from " + peer_ + ")", Clock::now());
        return;
    }
    // The arrival line shows what the header held when it was cut short.
    if (cut_short && !view_.tty()) view_.line(arrival());
    view_.error(why + " (from " + peer_ + ")");
}

void Transfer::finish() {
    // Answers not sent yet go if the socket takes them now; nothing waits for it.
    if (!out_.empty() && sd_ >= 0) send_out();
    out_.clear();
    if (tls_) tls_->close_notify();
    SCK_CL(sd_);
    if (err_) view_.error(Failure::from_library().text + " (from " + peer_ + ")");
    sd_ = -1;
    store_->discard();
    if (question_ >= 0) rules_.pairing->withdraw(question_);
    question_ = -1;
    phase_ = Phase::finished;
}

// Sends the answers gathered in this turn, in one piece: a batch of small files gets one
// send for many answers. It never waits: a sender reads its answers as they come, and one
// that lets them pile up until the socket holds no more would hold the whole loop in a
// send, so it is let go instead. False when the connection has ended.
bool Transfer::flush() {
    if (out_.empty() || finished()) return true;
    const ssize_t n = send_out();
    const int no = errno;
    const bool all = n == static_cast<ssize_t>(out_.size());
    out_.clear();
    if (all) return true;
    fail({n >= 0 || no == EAGAIN || no == EWOULDBLOCK
              ? std::string("the sender does not read its answers; connection closed")
              : "the sender could not be answered (" + std::string(std::strerror(no)) + ")"});
    return false;
}

// The last words before the connection ends: everything gathered goes now; a sender gone
// already hears nothing.
void Transfer::say_last(const std::string& line) {
    out_ += line;
    if (tls_) {
        send_out();
    } else {
        BF_SCK(sd_, out_.data(), static_cast<std::uint32_t>(out_.size()), nullptr, 0xFFFF);
        if (err_) Failure::from_library();
    }
    out_.clear();
}

// The answers gathered, at once or not at all: through TLS once it is on.
ssize_t Transfer::send_out() {
    if (tls_) return tls_->write(out_.data(), out_.size());
    return ::send(sd_, out_.data(), out_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// Under the extension, between one file's answer and the next header's first byte.
bool Transfer::between_files() const {
    return ext_ && phase_ == Phase::header && line_ == 0 && lines_[0].empty();
}

std::string Transfer::so_far() const { return cli::human_size(got_) + " of " + cli::human_size(size_); }

std::string Transfer::not_stored(const std::string& why) const { return shown_name() + ": not stored: " + why; }

// A write to the work file failed: the disk full is said as such.
std::string Transfer::write_failed(const Failure& f) const {
    const std::string what = f.sys_errno == ENOSPC || f.sys_errno == EDQUOT
                                 ? "the receiving disk is full"
                                 : "it could not be written (" + reason(f) + ")";
    return not_stored(what + " (" + so_far() + " written)" + trail(f));
}

// The connection broke: a sender that closed or reset it went away.
Failure Transfer::connection_failed(const Failure& f) {
    const bool gone = f.sock_status == sck_st_reset || f.sock_status == sck_st_closed;
    std::string what = gone ? "the sender went away" : "the connection failed (" + reason(f) + ")";
    what = view_id_ >= 0 ? shown_name() + ": " + what + " after " + so_far() + lost()
                         : what + " before its header was complete";
    return {what + trail(f), f.sys_errno, f.sock_status};
}

// The library's own words, for -v.
std::string Transfer::trail(const Failure& f) const { return rules_.verbose ? " (" + f.text + ")" : ""; }

std::string Transfer::shown_name() const {
    return lines_[1].empty() ? shown(lines_[0]) : shown(lines_[1]) + dir_dlm + shown(lines_[0]);
}

// The file's header is complete: the view hears of it (and formats nothing where nothing
// can be seen).
void Transfer::begin_view(Clock::time_point now) {
    const bool silent = view_.silent();
    view_id_ = view_.begin(silent ? "" : arrival(), peer_, silent ? "" : shown_name(), size_, now);
}

std::string Transfer::arrival() const {
    return peer_ + ":" + std::to_string(port_) + " -> " + shown_name() + " (" + std::to_string(size_) + ")";
}

}  // namespace rx
