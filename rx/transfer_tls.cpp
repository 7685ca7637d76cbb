// TLS on a connection under the extension: the handshake after the hello's answer, step by
// step as the socket allows, then the one line that tells the sender whether it is trusted.
#include "pins.h"
#include "transfer.h"
#include "wire.h"

namespace rx {

namespace {

using Tag = wire::Answer::Tag;

constexpr char outside_tls[] = "this receiver takes files only over TLS (catchr --secure)";

}  // namespace

// What this receiver speaks: tls only when it has a key to show.
wire::Hello Transfer::our_hello() const {
    wire::Hello ours = wire::our_hello();
    if (rules_.tls) ours.features.emplace_back(wire::feat_tls);
    return ours;
}

// With --secure, a classic header or a hello without tls is answered with the refusal and
// the connection ends; true then.
bool Transfer::refused_outside_tls(bool hello) {
    if (!rules_.secure || (hello && agreed_.has(wire::feat_tls))) return false;
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
    tls_ = std::make_unique<tls::Channel>(sd_, *rules_.tls, now);
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
    if (!trusted.trusted(fingerprint) && rules_.secure) return ask_person(fingerprint, now);
    next_file(now);
    out_ += std::string(trusted.trusted(fingerprint) ? wire::word_paired : wire::word_open) + wire::line_end;
    flush();
}

// A sender this receiver does not trust, under --secure: its person compares the code and
// answers with a key; without a person, the sender learns how to get trusted.
void Transfer::ask_person(const std::string& fingerprint, Clock::time_point now) {
    const std::string code = tls_->pairing_code();
    if (!rules_.pairing) return no_and_close("not paired: on the receiver, run catchr --trust " + fingerprint);
    question_ = rules_.pairing->ask(peer_, fingerprint, code);
    if (question_ < 0) return no_and_close("other pairings wait for confirmation at the receiver; try again later");
    phase_ = Phase::pairing;
    deadline_ = now + rules_.pairing_window;
    out_ += std::string(wire::word_pair) + " " + code + wire::line_end;
    flush();
}

// The person answered.
void Transfer::settle_pairing(Clock::time_point now) {
    if (rules_.pairing->verdict(question_) != Pairing::Verdict::yes) {
        // The person said no, and the line saying so is printed: nothing more to report.
        say_last(wire::answer_line(wire::Answer::Tag::no, "the pairing was refused at the receiver"));
        return finish();
    }
    rules_.pairing->withdraw(question_);
    question_ = -1;
    next_file(now);
    out_ += std::string(wire::word_paired) + wire::line_end;
    flush();
}

}  // namespace rx
