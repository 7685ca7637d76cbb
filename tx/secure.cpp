// TLS for the connection to a receiver: offered in the hello when this sender has a key, the
// handshake right after the hello's answer, then the receiver's word on whether it knows this
// sender. The receiver's key is pinned for its address once it said PAIRED, and from then on
// that address gets files only over TLS and only from the same key.
#include <poll.h>

#include <memory>

#include "channel.h"
#include "pins.h"
#include "session.h"
#include "shown.h"

namespace tx {

namespace {

using What = Outcome::What;

using wire::word_open;
using wire::word_paired;
constexpr std::string_view word_no = "NO ";

int ms_of(std::chrono::steady_clock::duration d) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    return ms <= 0 ? 0 : static_cast<int>(std::min<long long>(ms, INT32_MAX));
}

}  // namespace

wire::Hello Session::our_hello() const {
    wire::Hello h = wire::our_hello();
    if (rules_.tls) h.features.emplace_back(wire::feat_tls);
    return h;
}

std::string Session::peer_name() const { return peer_.ip + ":" + std::to_string(peer_.port); }

bool Session::refuse(Outcome& o, const std::string& why) {
    conn_.close();
    o.what = What::refused;
    o.reply = why;
    return false;
}

// After the hellos: a receiver that did not name tls is taken only when nothing asks for TLS;
// one that did goes on inside TLS, its key checked against the pin for its address.
bool Session::secured(Outcome& o) {
    tls::KnownReceivers pins;
    std::string why;
    if (!rules_.pins_dir.empty() && !pins.load(rules_.pins_dir, why)) return refuse(o, why);
    for (const std::string& problem : pins.problems()) console_.line(cli::shown(problem));
    const bool pinned = pins.find(peer_name()) != nullptr;
    if (!agreed_.has(wire::feat_tls)) {
        // Without a key this sender offered no TLS itself: the cause is here, not there.
        const std::string no_key = "this sender has no key for TLS: " + cli::shown(rules_.no_key);
        if (pinned && !rules_.tls) return refuse(o, peer_name() + " was met over TLS before, and " + no_key);
        if (pinned) return refuse(o, peer_name() + " was met over TLS before, and now offers no TLS");
        if (rules_.secure && !rules_.tls) return refuse(o, "--secure asks for TLS, and " + no_key);
        if (rules_.secure) return refuse(o, peer_name() + " offers no TLS, and --secure asks for it");
        return true;
    }
    // The receiver's next bytes are its side of the handshake, never a line.
    if (!lines_.empty()) return refuse(o, "no TLS with " + peer_name() + ": it sent bytes before the TLS handshake");
    if (!handshake(o)) return false;
    const std::string fp = conn_.pipe().tls->peer_fingerprint();
    if (pins.check(peer_name(), fp) == tls::KnownReceivers::Pinned::changed)
        return refuse(o, pins.changed(peer_name(), fp));
    if (!paired(fp, o)) return false;
    if (pinned || last_line_ != word_paired) return true;
    if (!pins.add(peer_name(), fp, why)) console_.line(cli::shown(why));
    return true;
}

// The client's handshake on the connection, polled until done within its time limit.
bool Session::handshake(Outcome& o) {
    auto ch = std::make_unique<tls::Channel>(conn_.sd(), *rules_.tls);
    for (auto step = ch->handshake(); step != tls::Channel::Step::done; step = ch->handshake()) {
        const int left = ms_of(rules_.handshake_wait - ch->waited());
        if (step == tls::Channel::Step::failed) return refuse(o, "no TLS with " + peer_name() + ": " + ch->why());
        pollfd p{conn_.sd(), ch->events(), 0};
        if (left == 0 || ::poll(&p, 1, left) == 0)
            return refuse(o, "no TLS with " + peer_name() + ": the handshake did not end within " +
                                 std::to_string(rules_.handshake_wait.count() / 1000) + " s");
    }
    conn_.secure(std::move(ch));
    return true;
}

// The receiver's first line inside TLS: PAIRED, OPEN, or PAIR CODE and then, once its person
// confirmed the code, PAIRED.
bool Session::paired(const std::string& fingerprint, Outcome& o) {
    if (!next_line(rules_.handshake_wait, o)) return refuse(o, peer_name() + " said nothing after the TLS handshake");
    const std::string pair = std::string(wire::word_pair) + " ";
    if (last_line_.starts_with(pair)) {
        const std::string code = conn_.pipe().tls->pairing_code();
        // Both ends take the code from the same session; another code means another session.
        if (last_line_.substr(pair.size()) != code)
            return refuse(o, peer_name() + " shows another pairing code than this sender: not paired");
        console_.line("Pairing with " + peer_name() + " (key " + cli::shown(fingerprint) + "): code " + code +
                      " \u2014 press y on the receiver if it shows the same code");
        if (!next_line(rules_.pairing_wait, o))
            return refuse(o, peer_name() + " did not confirm the pairing within " +
                                 std::to_string(rules_.pairing_wait.count() / 1000) + " s");
    }
    if (last_line_ == word_paired) return true;
    if (last_line_ == word_open && !rules_.secure) return true;
    if (last_line_ == word_open)
        return refuse(o, peer_name() + " does not know this sender's key, and --secure asks for a paired receiver: "
                         "start catchr there with --secure to pair, or run catchr --trust " +
                         rules_.tls->fingerprint() + " there");
    if (last_line_.starts_with(word_no)) return refuse(o, peer_name() + " refused: " + cli::shown(last_line_.substr(3)));
    return refuse(o, peer_name() + " answered \"" + cli::shown(last_line_) + "\" after the TLS handshake");
}

}  // namespace tx
