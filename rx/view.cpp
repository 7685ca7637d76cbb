// The receiver's output on a terminal and in a log.
#include "view.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>

#include "shown.h"
#include "units.h"

namespace rx {

namespace {

// A summary names up to this many addresses' worth, then says "N+ addresses".
constexpr std::size_t max_addresses_named = 256;

double secs_since(View::Clock::time_point start, View::Clock::time_point now) {
    return std::chrono::duration<double>(now - start).count();
}

std::string rate(std::uint64_t bytes, double secs) {
    return secs > 0 ? cli::human_rate(static_cast<double>(bytes) / secs) : "-";
}

}  // namespace

namespace {

bool is_null_device(std::FILE* out) {
    struct stat st {};
    return ::fstat(fileno(out), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == makedev(1, 3);
}

}  // namespace

View::View(std::FILE* out, bool tty, bool quiet)
    : console_(out, tty), tty_(tty), quiet_(quiet), silent_(!tty && is_null_device(out)) {}

void View::line(const std::string& text) {
    if (quiet_ || silent_) return;
    console_.line(text);
    dirty_ = dirty_ || !active_.empty();
}

void View::error(const std::string& text) {
    if (silent_) return;
    console_.error(text);
    dirty_ = dirty_ || !active_.empty();
}

int View::begin(const std::string& arrival, const std::string& peer, const std::string& name, std::uint64_t total,
                Clock::time_point now) {
    // In a log the documented arrival line stands; a terminal shows the arrival moving.
    if (!tty_) line(arrival);
    const int id = next_id_++;
    if (silent_) return id;  // nothing to show of it, ever
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

void View::resumed(int id, std::uint64_t at) {
    auto it = active_.find(id);
    if (it == active_.end()) return;
    it->second.got = it->second.from = at;
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
        // A file that did not arrive shows how much of it did.
        const std::string size =
            stored ? cli::human_size(a.total) : cli::human_size(a.got) + " of " + cli::human_size(a.total);
        console_.line(a.peer + " -> " + a.name + "  " + size + "  " + cli::human_duration(secs) + "  " +
                      rate(a.got - a.from, secs) + "  " + (stored ? "stored" : "ERROR: " + why + "\a"));
        dirty_ = !active_.empty();
    } else if (stored) {
        line("Stored " + a.name + " (" + std::to_string(a.total) + ") in " + cli::human_duration(secs) + " from " +
             a.peer);
    } else {
        error(why + " (from " + a.peer + ")");
    }
}

void View::forget(int id) {
    if (active_.erase(id)) dirty_ = true;
}

void View::notice(const std::string& text, Clock::time_point until) {
    if (!tty_) {
        if (!text.empty()) console_.line(text);
        return;
    }
    notice_ = text;
    notice_until_ = until;
    dirty_ = true;
}

void View::repeated(Repeated kind, const std::string& address, const std::string& text, Clock::time_point now) {
    auto [it, first] = tallies_.try_emplace(kind);
    Tally& t = it->second;
    if (first) {
        error(text);
        t.until = now + summary_every;
        return;
    }
    ++t.count;
    if (t.addresses.size() < max_addresses_named) t.addresses.insert(address);
    else if (!t.addresses.contains(address)) t.more_addresses = true;
}

// Prints each kind's count of the period that ended; a kind with none goes quiet, so its
// next event is printed whole again.
int View::summarize(Clock::time_point now) {
    static const std::map<Repeated, std::pair<const char*, const char*>> words = {
        {Repeated::cap_drop, {"Dropped", "too many open"}},
        {Repeated::header_late, {"Dropped", "header not complete in time"}},
        {Repeated::header_none, {"Closed", "closed by the peer before any header byte"}},
        {Repeated::not_allowed, {"Refused", "not in --allow"}},
        {Repeated::per_address, {"Refused", "too many open from one address"}},
    };
    int ms = -1;
    for (auto it = tallies_.begin(); it != tallies_.end();) {
        Tally& t = it->second;
        if (now >= t.until) {
            if (t.count == 0) {
                it = tallies_.erase(it);
                continue;
            }
            const auto& [verb, why] = words.at(it->first);
            std::string from = t.addresses.size() == 1 ? *t.addresses.begin()
                                                       : std::to_string(t.addresses.size()) + (t.more_addresses ? "+" : "") +
                                                             " addresses";
            const auto secs = std::chrono::duration_cast<std::chrono::seconds>(summary_every).count();
            error(std::string(verb) + " " + cli::grouped(t.count) + " connection" + (t.count == 1 ? "" : "s") +
                  " from " + from + " in the last " + std::to_string(secs) + " s: " + why);
            t = Tally{};
            t.until = now + summary_every;
        }
        const int left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(t.until - now).count());
        ms = ms < 0 ? left : std::min(ms, left);
        ++it;
    }
    return ms;
}

int View::tick(Clock::time_point now) {
    const int summary_ms = summarize(now);
    int draw_ms = -1;
    if (!notice_.empty() && now >= notice_until_) {
        notice_.clear();
        dirty_ = true;
    }
    if (tty_ && dirty_ && (!quiet_ || !notice_.empty())) {
        draw_ms = console_.ms_to_next_draw(now);
        if (draw_ms == 0) {
            draw_status(now);
            draw_ms = -1;
        }
    }
    if (!notice_.empty()) {
        const int left = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(notice_until_ - now).count());
        draw_ms = draw_ms < 0 ? left : std::min(draw_ms, left);
    }
    if (draw_ms < 0) return summary_ms;
    return summary_ms < 0 ? draw_ms : std::min(draw_ms, summary_ms);
}

void View::draw_status(Clock::time_point now) {
    dirty_ = false;
    std::string text;
    if (!notice_.empty()) {
        text = notice_;
    } else if (active_.size() == 1) {
        const Arrival& a = active_.begin()->second;
        text = a.peer + " -> " + a.name + "  " + cli::human_size(a.got) + " / " + cli::human_size(a.total) + "  " +
               rate(a.got - a.from, secs_since(a.start, now));
    } else if (active_.size() > 1) {
        text = std::to_string(active_.size()) + " arriving:";
        for (const auto& [id, a] : active_) {
            const unsigned pct = a.total ? static_cast<unsigned>(a.got * 100 / a.total) : 100;
            text += "  " + a.name + " " + std::to_string(pct) + "% " + rate(a.got - a.from, secs_since(a.start, now));
        }
    }
    const std::size_t room = console_.width() - 1;
    if (text.size() > room) text = text.substr(0, room > 3 ? room - 3 : 0) + "...";
    console_.status(text, now);
}

}  // namespace rx
