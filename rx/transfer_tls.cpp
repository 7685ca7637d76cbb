// TLS on a connection under the extension: the handshake after the hello's answer, step by
// step as the socket allows, then the one line that tells the sender whether it is trusted.
#include "pins.h"
#include "transfer.h"
#include "wire.h"

namespace rx {

namespace {

using Tag = wire::Answer::Tag;

constexpr char paired_line[] = "PAIRED";
constexpr char open_line[] = "OPEN";
constexpr char outside_tls[] = "this receiver takes files only over TLS (catchr --secure)";

}  // namespace

// What this receiver speaks: tls only when it has a key to show.
wire::Hello Transfer::our_hello() const {
    wire::Hello ours = wire::our_hello();
    if (rules_.identity) ours.features.emplace_back(feat_tls);
    return ours;
}

// With --secure, a classic header or a hello without tls is answered with the refusal and
// the connection ends; true then.
bool Transfer::refused_outside_tls(bool hello) {
    if (!rules_.secure || (hello && agreed_.has(feat_tls))) return false;
    if (hello) {
        no_and_close(outside_tls);
        return true;
    }
    say_last(wire::reply(outside_tls));
    fail({std::string(outside_tls) + "; connection closed"});
    return true;
}

// The sender starts the handshake once it has the hello's answer; it has this long for it.
void Transfer::start_tls(Clock::time_point now) {
    tls_ = std::make_unique<tls::Channel>(sd_, tls::Channel::Role::server, *rules_.identity, now);
    phase_ = Phase::handshake;
    deadline_ = now + rules_.header_deadline;
    shake(now);
}

void Transfer::shake(Clock::time_point now) {
    switch (tls_->handshake()) {
        case tls::Channel::Step::done:
            return greet_peer(now);
        case tls::Channel::Step::failed:
            return fail({tls_->why() + "; connection closed"});
        default:
            return;
    }
}

// The sender hears whether its key is trusted; with --secure, one that is not goes.
void Transfer::greet_peer(Clock::time_point now) {
    const std::string fingerprint = tls_->peer_fingerprint();
    tls::TrustedSenders trusted;
    std::string why;
    if (!rules_.pins_dir.empty() && !trusted.load(rules_.pins_dir, why)) view_.error(why);
    next_file(now);
    if (trusted.trusted(fingerprint)) {
        out_ += std::string(paired_line) + wire::line_end;
    } else if (!rules_.secure) {
        out_ += std::string(open_line) + wire::line_end;
    } else {
        no_and_close("not paired: run catchr --trust " + fingerprint);
        return;
    }
    flush();
}

}  // namespace rx
