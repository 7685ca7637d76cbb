// What the receiver prints. On a terminal, arrivals show as one status line redrawn at most
// ten times a second, each ending as a line of its own; elsewhere (a log) plain lines only,
// one as each file arrives and one as it is stored, and no bells.
#ifndef RX_VIEW_H
#define RX_VIEW_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "console.h"

namespace rx {

class View {
public:
    using Clock = std::chrono::steady_clock;

    // Events that a flood repeats: the first of a kind is printed as it happens, the rest
    // are counted and summed up in one line at most every few seconds.
    enum class Repeated { cap_drop, header_late, header_none, not_allowed, per_address };
    static constexpr auto summary_every = std::chrono::seconds(5);

    View(std::FILE* out, bool tty, bool quiet);

    bool tty() const { return tty_; }
    // Whether nothing printed can be seen (the output is /dev/null): then nothing is
    // formatted or written at all, which a batch of small files would feel.
    bool silent() const { return silent_; }
    // A line of its own (Listen at..., notices); none with quiet.
    void line(const std::string& text);
    // "ERROR: " and the text, always; with the bell on a terminal.
    void error(const std::string& text);

    // An arrival whose header is complete: arrival is the documented arrival line, name
    // what the status shows. Gives its number for the calls below.
    int begin(const std::string& arrival, const std::string& peer, const std::string& name, std::uint64_t total,
              Clock::time_point now);
    void progress(int id, std::uint64_t got);
    // The arrival goes on from a part kept earlier: its progress starts there, its rate counts
    // only what comes now.
    void resumed(int id, std::uint64_t at);
    // The arrival ends: stored, or failed with why (which error() has not printed).
    void end(int id, bool stored, const std::string& why, Clock::time_point now);
    // The arrival ends without a line of its own (the receiver stops, and says so once).
    void forget(int id);
    // A question or notice on the status line until then (a line of its own in a log).
    void notice(const std::string& text, Clock::time_point until);

    // An error of a kind a flood repeats, from address: text (the whole error line) when it
    // is the first for a while, else only counted.
    void repeated(Repeated kind, const std::string& address, const std::string& text, Clock::time_point now);

    // Redraws the status line and prints the summaries when due; gives the milliseconds
    // until it wants to be called again, -1 when it does not.
    int tick(Clock::time_point now);

private:
    struct Arrival {
        std::string peer, name;
        std::uint64_t total = 0, got = 0;
        Clock::time_point start;
        std::uint64_t from = 0;  // the kept part it resumed from
    };

    struct Tally {
        Clock::time_point until;         // the end of the period being counted
        std::uint64_t count = 0;
        std::set<std::string> addresses;  // the first few, to say where they came from
        bool more_addresses = false;
    };

    int summarize(Clock::time_point now);
    void draw_status(Clock::time_point now);

    cli::Console console_;
    bool tty_;
    bool quiet_;
    bool silent_;
    std::map<int, Arrival> active_;
    std::map<Repeated, Tally> tallies_;
    int next_id_ = 0;
    bool dirty_ = false;
    std::string notice_;
    Clock::time_point notice_until_{};
};

}  // namespace rx

#endif
