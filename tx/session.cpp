// The conversation with the receiver. The hello decides the protocol once per run; under the
// extension a file is a request, the receiver's GO or NO, the body from where it says, and
// its final answer. A send that breaks is tried again on a new connection, and goes on from
// what the receiver kept.
#include "session.h"

#include <optional>
#include <thread>
#include <utility>

#include "body.h"
#include "send.h"
#include "shown.h"

namespace tx {

namespace {

using What = Outcome::What;
using Tag = wire::Answer::Tag;

constexpr std::uint64_t final_wait_step = 100ULL << 20;

// Whether o is a send that broke on the way, which a new connection may mend.
bool is_break(const Outcome& o) {
    switch (o.what) {
        case What::closed:
        case What::stalled:
        case What::failed:
        case What::no_reply:
        case What::no_connection: return true;
        default: return false;
    }
}

}  // namespace

Session::Session(Peer peer, Dial dial, SendRules rules, cli::Console& console)
    : peer_(std::move(peer)), dial_(std::move(dial)), rules_(rules), console_(console) {}

Outcome Session::send(const Item& item) {
    Source src(item);
    announce(item);
    if (!src.problem().ok()) return src.problem();
    return send_opened(item, src);
}

Outcome Session::send_opened(const Item& item, Source& src) {
    if (mode_ == Mode::unknown) {
        Outcome o;
        o.size = src.size();
        if (greet(o) == Speaks::unknown) return o;
    }
    if (mode_ == Mode::classic) return send_file(item, src, dial_, console_);
    return send_ext(item, src);
}

Session::Speaks Session::greet(Outcome& o) {
    // No hello means no TLS: only for a receiver that is not owed it.
    if (mode_ == Mode::unknown && rules_.classic_only && secured(o)) mode_ = Mode::classic;
    if (mode_ == Mode::unknown && rules_.classic_only) return speaks();
    if (mode_ == Mode::unknown) say_hello(o);
    return speaks();
}

Session::Speaks Session::speaks() const {
    switch (mode_) {
        case Mode::unknown: return Speaks::unknown;
        case Mode::classic: return Speaks::classic;
        case Mode::extension: break;
    }
    return agreed_.has(wire::feat_batch) ? Speaks::batch : Speaks::extension;
}

// In a log, each file's line before anything of it happens.
void Session::announce(const Item& item) {
    if (console_.tty()) return;
    console_.line(cli::shown(item.path) + " -> " + peer_.ip + ":" + std::to_string(peer_.port) +
                  (item.destdir.empty() ? "" : "/" + cli::shown(item.destdir)));
}

// A new connection and the hello on it. Whatever is not a hello back (an older receiver's
// error, a close, silence) means the classic protocol: said once, when it is first found.
Session::Hello Session::say_hello(Outcome& o) {
    if (refused_) {
        o = *refused_;
        return Hello::refused;
    }
    conn_ = Connection(dial_, o);
    lines_.clear();
    last_line_.clear();
    if (!conn_.open()) return Hello::no_connection;
    Outcome said;
    cli::Failure f;
    wire::Hello theirs;
    const wire::Hello ours = our_hello();
    if (send_bytes(conn_.pipe(), wire::hello_header(ours), said) &&
        lines_.next(conn_.pipe(), rules_.hello_wait, last_line_, f) == LineReader::Got::line &&
        wire::parse_hello(last_line_, theirs)) {
        agreed_ = wire::agreed(ours, theirs);
        if (!secured(o)) return turned_away(o);
        mode_ = Mode::extension;
        return Hello::agreed;
    }
    conn_.close();
    agreed_ = {};
    // A receiver that speaks no extension cannot be one this sender must meet over TLS.
    if (!secured(o)) return turned_away(o);
    if (mode_ == Mode::unknown) {
        mode_ = Mode::classic;
        if (!rules_.spare) console_.line(told_classic(peer_));
    }
    return Hello::classic;
}

Session::Hello Session::turned_away(const Outcome& o) {
    refused_ = o;
    return Hello::refused;
}

Outcome Session::send_ext(const Item& item, Source& src) {
    std::optional<cli::ProgressLine> line;
    if (console_.tty()) line.emplace(console_, item.path, src.size());
    FileRun run{item, src, line && rules_.live_progress ? &*line : nullptr};
    unsigned tries = 0;
    bool differed = false, stale = false, resumed = false, again = false;
    for (;;) {
        After after = After::done;
        Outcome o = attempt(run, after);
        resumed = resumed || o.resumed;
        // A connection that cannot be made at all is no break, unless it is made again for one.
        if (after == After::broke && (o.what != What::no_connection || tries > 0) && tries < rules_.retries) {
            const auto pause = rules_.first_pause * (1u << tries++);
            console_.line(told_retry(o, item.path, peer_, tries, rules_.retries,
                                     static_cast<unsigned>(std::chrono::ceil<std::chrono::seconds>(pause).count())));
            std::this_thread::sleep_for(pause);
            again = true;
            continue;
        }
        if (after == After::differed && !differed) {
            console_.line(told_differed(item.path));
            differed = again = run.from_zero = true;
            continue;
        }
        if (after == After::stale && !stale) {
            console_.line(told_stale(item.path));
            stale = run.from_zero = true;
            continue;
        }
        if (after == After::differed) o.what = What::differed_twice;
        if (after == After::stale) {
            o.what = What::protocol_error;  // a part kept of a send from byte 0
            o.reply = last_line_;
        }
        o.resumed = resumed;
        o.sent_again = again;
        if (line && o.ok()) {
            line->count(o.size);
            line->finish(o.verified ? "OK, verified" : "OK");
        }
        return o;
    }
}

// One try at a file: a connection if there is none, the request, and what follows the answer.
Outcome Session::attempt(FileRun& run, After& after) {
    Outcome o;
    o.size = run.src.size();
    if (!conn_.open()) {
        const Hello h = say_hello(o);
        if (h == Hello::no_connection || h == Hello::refused) return ended(o, after);
        if (h == Hello::classic) {
            // Turned away now (its limit of connections from one address, a restart): the
            // receiver may take the next try.
            o.what = last_line_.empty() ? What::closed : What::not_stored;
            o.reply = last_line_;
            after = After::broke;
            return o;
        }
    }
    const Item& item = run.item;
    wire::Answer a;
    if (!send_bytes(conn_.pipe(), wire::request(item.name, item.destdir, run.src.size(), run.src.attrs()), o) ||
        !answer(rules_.answer_wait, o, a))
        return ended(o, after);
    if (a.tag == Tag::no) {
        // Refused before its body: the connection stays for the next file.
        o.what = What::not_stored;
        o.reply = a.text;
        return o;
    }
    if (a.tag != Tag::go || a.offset > run.src.size()) {
        o.what = What::protocol_error;
        o.reply = last_line_;
        return ended(o, after);
    }
    return send_after_go(run, a.offset, after);
}

// The body after GO kept, from there when the receiver may resume, and the final answer.
Outcome Session::send_after_go(FileRun& run, std::uint64_t kept, After& after) {
    const std::uint64_t from = run.from_zero || !agreed_.has(wire::feat_resume) ? 0 : kept;
    run.from_zero = false;
    starting_at(run, from);
    Outcome o = send_body(conn_.pipe(), run.src, from, run.line);
    o.resumed = from > 0;
    wire::Answer a;
    const auto wait = rules_.answer_wait + std::chrono::seconds(run.src.size() / final_wait_step);
    if (!o.ok() || !answer(wait, o, a)) return ended(o, after);
    switch (a.tag) {
        case Tag::ok:
            o.verified = agreed_.has(wire::feat_verify);
            return o;
        case Tag::no: o.what = What::not_stored; break;
        case Tag::badsum: after = After::differed; o.what = What::not_stored; break;
        case Tag::stale: after = After::stale; o.what = What::not_stored; break;
        default: o.what = What::protocol_error; return ended(o, after);
    }
    o.reply = a.text;
    return o;
}

// Reads the receiver's next line within wait as an answer; false with o saying what came
// instead.
bool Session::answer(std::chrono::milliseconds wait, Outcome& o, wire::Answer& a) {
    if (!next_line(wait, o)) return false;
    a = wire::parse_answer(last_line_);
    if (a.tag != Tag::other) return true;
    o.what = What::protocol_error;
    o.reply = last_line_;
    return false;
}

bool Session::next_line(std::chrono::milliseconds wait, Outcome& o) {
    cli::Failure f;
    return got(lines_.next(conn_.pipe(), wait, last_line_, f), f, o);
}

bool Session::got(LineReader::Got g, const cli::Failure& f, Outcome& o) {
    switch (g) {
        case LineReader::Got::line: return true;
        case LineReader::Got::too_long: o.what = What::protocol_error; o.reply = last_line_; break;
        case LineReader::Got::timeout: o.what = What::no_reply; break;
        case LineReader::Got::closed: o.what = What::closed; o.failure = f; break;
        case LineReader::Got::failed: o.what = What::failed; o.failure = f; break;
    }
    return false;
}

// A try that left the connection in no state to carry another file: it is closed, and the
// try broke when a new connection may mend it.
Outcome Session::ended(Outcome o, After& after) {
    conn_.close();
    after = is_break(o) ? After::broke : After::done;
    return o;
}

// The progress line and the log hear where a body starts: a resumed one says so.
void Session::starting_at(FileRun& run, std::uint64_t from) {
    if (from > 0 && !console_.tty()) console_.line(told_resumed(run.item.path, from));
    if (run.line && (from > 0 || !run.first)) run.line->restart(from, from > 0 ? resumed_note(from) : "");
    run.first = false;
}

}  // namespace tx
