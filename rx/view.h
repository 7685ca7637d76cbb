// What the receiver prints. On a terminal, arrivals show as one status line redrawn at most
// ten times a second, each ending as a line of its own; elsewhere (a log) plain lines only,
// one as each file arrives and one as it is stored, and no bells.
#ifndef RX_VIEW_H
#define RX_VIEW_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

namespace rx {

class View {
public:
    using Clock = std::chrono::steady_clock;

    View(std::FILE* out, bool tty, bool quiet);

    bool tty() const { return tty_; }
    // A line of its own (Listen at..., notices); none with quiet.
    void line(const std::string& text);
    // "ERROR: " and the text, always; with the bell on a terminal.
    void error(const std::string& text);

    // An arrival whose header is complete: arrival is the documented arrival line, name
    // what the status shows. Gives its number for the calls below.
    int begin(const std::string& arrival, const std::string& peer, const std::string& name, std::uint64_t total,
              Clock::time_point now);
    void progress(int id, std::uint64_t got);
    // The arrival ends: stored, or failed with why (which error() has not printed).
    void end(int id, bool stored, const std::string& why, Clock::time_point now);

    // Redraws the status line when due; gives the milliseconds until it wants to be called
    // again, -1 when it does not (nothing changed, or no terminal).
    int tick(Clock::time_point now);

private:
    struct Arrival {
        std::string peer, name;
        std::uint64_t total = 0, got = 0;
        Clock::time_point start;
    };

    void clear_status();
    void draw_status(Clock::time_point now);
    int width() const;

    std::FILE* out_;
    bool tty_;
    bool quiet_;
    std::map<int, Arrival> active_;
    int next_id_ = 0;
    bool status_shown_ = false;
    bool dirty_ = false;
    Clock::time_point last_draw_{};
};

}  // namespace rx

#endif
