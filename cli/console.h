// What both programs print, on a terminal or in a log: whole lines, errors, and on a
// terminal one status line redrawn in place at most ten times a second. Every text that
// came from outside goes through shown() before it reaches a Console. Lines from several
// threads (pitchr -j) come out whole, one after another.
#ifndef CLI_CONSOLE_H
#define CLI_CONSOLE_H

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace cli {

class Console {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto redraw_every = std::chrono::milliseconds(100);

    Console(std::FILE* out, bool tty) : out_(out), tty_(tty) {}

    bool tty() const { return tty_; }
    // Columns of the terminal, asked each time so that a resized window is followed.
    std::size_t width() const;

    // A line of its own; the status line, if shown, goes first (the caller redraws it).
    void line(const std::string& text);
    // "ERROR: " and the text; with a bell on a terminal only, never in a log.
    void error(const std::string& text);

    // Whether a status line drawn now would come too soon after the last one.
    bool too_soon(Clock::time_point now) const { return drawn_ && now - last_draw_ < redraw_every; }
    // Milliseconds until a status line may be drawn again (0: now).
    int ms_to_next_draw(Clock::time_point now) const;
    // Draws text as the status line (cut to the terminal's width), or clears it when empty.
    void status(const std::string& text, Clock::time_point now);
    void clear_status();

private:
    void clear_status_locked();

    std::mutex m_;
    std::FILE* out_;
    bool tty_;
    bool status_shown_ = false;
    bool drawn_ = false;
    Clock::time_point last_draw_{};
};

}  // namespace cli

#endif
