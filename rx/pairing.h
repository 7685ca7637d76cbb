// The person at the receiver's terminal, asked whether a sender it does not know yet may be
// trusted: both terminals show the same code, taken from the TLS session, and a key press
// here answers. One question is shown at a time; the others wait their turn.
#ifndef RX_PAIRING_H
#define RX_PAIRING_H

#include <cstddef>
#include <deque>
#include <string>

#include "view.h"

namespace rx {

// The local date, YYYY-MM-DD: when a sender came to be trusted.
std::string today();

class Pairing {
public:
    using Clock = View::Clock;
    enum class Verdict { waiting, yes, no };
    // Questions that may wait at once; a sender beyond them is not asked.
    static constexpr std::size_t most_waiting = 4;

    // pins_dir holds the trusted senders, which a yes adds to.
    Pairing(View& view, std::string pins_dir) : view_(view), pins_dir_(std::move(pins_dir)) {}

    // Asks about the sender at peer with this key and code: a number for the calls below, or
    // -1 when too many questions wait already.
    int ask(const std::string& peer, const std::string& fingerprint, const std::string& code);
    Verdict verdict(int id) const;
    // The connection no longer waits (its answer was taken, it ended, its time ran out).
    void withdraw(int id);
    // A key while a question is shown: y trusts the sender, n refuses it, anything else
    // shows the question again. False when no question is shown (the key is someone else's).
    bool key(int key, Clock::time_point now);

private:
    struct Question {
        int id;
        std::string peer, fingerprint, code;
        Verdict verdict = Verdict::waiting;
    };
    const Question* shown() const;
    void show(Clock::time_point now);

    View& view_;
    std::string pins_dir_;
    std::deque<Question> questions_;  // in the order they came; answered ones until withdrawn
    int next_id_ = 0;
};

}  // namespace rx

#endif
