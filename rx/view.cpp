// The receiver's output on a terminal and in a log.
#include "view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include "shown.h"
#include "units.h"

namespace rx {

namespace {

constexpr auto redraw_every = std::chrono::milliseconds(100);

double secs_since(View::Clock::time_point start, View::Clock::time_point now) {
    return std::chrono::duration<double>(now - start).count();
}

std::string rate(std::uint64_t bytes, double secs) {
    return secs > 0 ? cli::human_rate(static_cast<double>(bytes) / secs) : "-";
}

}  // namespace

View::View(std::FILE* out, bool tty, bool quiet) : out_(out), tty_(tty), quiet_(quiet) {}

int View::width() const {
    winsize ws{};
    if (::ioctl(fileno(out_), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

void View::clear_status() {
    if (!status_shown_) return;
    std::fputs("\r\x1b[K", out_);
    status_shown_ = false;
}

void View::line(const std::string& text) {
    if (quiet_) return;
    clear_status();
    std::fprintf(out_, "%s\n", text.c_str());
    dirty_ = dirty_ || !active_.empty();
}

void View::error(const std::string& text) {
    clear_status();
    std::fprintf(out_, "ERROR: %s%s\n", text.c_str(), tty_ ? "\a" : "");
    dirty_ = dirty_ || !active_.empty();
}

int View::begin(const std::string& arrival, const std::string& peer, const std::string& name, std::uint64_t total,
                Clock::time_point now) {
    // In a log the documented arrival line stands; a terminal shows the arrival moving.
    if (!tty_) line(arrival);
    const int id = next_id_++;
    active_[id] = Arrival{peer, name, total, 0, now};
    dirty_ = true;
    return id;
}

void View::progress(int id, std::uint64_t got) {
    auto it = active_.find(id);
    if (it == active_.end()) return;
    it->second.got = got;
    dirty_ = true;
}

void View::end(int id, bool stored, const std::string& why, Clock::time_point now) {
    auto it = active_.find(id);
    if (it == active_.end()) return;
    const Arrival a = it->second;
    active_.erase(it);
    const double secs = secs_since(a.start, now);
    if (tty_) {
        if (stored && quiet_) return;
        clear_status();
        // A file that did not arrive shows how much of it did.
        const std::string size =
            stored ? cli::human_size(a.total) : cli::human_size(a.got) + " of " + cli::human_size(a.total);
        std::fprintf(out_, "%s -> %s  %s  %s  %s  %s\n", a.peer.c_str(), a.name.c_str(), size.c_str(),
                     cli::human_duration(secs).c_str(), rate(a.got, secs).c_str(),
                     stored ? "stored" : ("ERROR: " + why + "\a").c_str());
        dirty_ = !active_.empty();
    } else if (stored) {
        line("Stored " + a.name + " (" + std::to_string(a.total) + ") in " + cli::human_duration(secs) + " from " +
             a.peer);
    } else {
        error(why + " (from " + a.peer + ")");
    }
}

int View::tick(Clock::time_point now) {
    if (!tty_ || !dirty_ || quiet_) return -1;
    const auto due = last_draw_ + redraw_every;
    if (now < due) return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(due - now).count());
    draw_status(now);
    return -1;
}

void View::draw_status(Clock::time_point now) {
    last_draw_ = now;
    dirty_ = false;
    clear_status();
    if (active_.empty()) return;
    std::string text;
    if (active_.size() == 1) {
        const Arrival& a = active_.begin()->second;
        text = a.peer + " -> " + a.name + "  " + cli::human_size(a.got) + " / " + cli::human_size(a.total) + "  " +
               rate(a.got, secs_since(a.start, now));
    } else {
        text = std::to_string(active_.size()) + " arriving:";
        for (const auto& [id, a] : active_) {
            const unsigned pct = a.total ? static_cast<unsigned>(a.got * 100 / a.total) : 100;
            text += "  " + a.name + " " + std::to_string(pct) + "% " + rate(a.got, secs_since(a.start, now));
        }
    }
    const auto room = static_cast<std::size_t>(width() - 1);
    if (text.size() > room) text = text.substr(0, room > 3 ? room - 3 : 0) + "...";
    std::fprintf(out_, "%s\x1b[K", text.c_str());
    std::fflush(out_);
    status_shown_ = true;
}

}  // namespace rx
