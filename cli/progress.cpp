// The terminal progress line for one file, and the summary line for a batch.
#include "progress.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "shown.h"
#include "units.h"

namespace cli {

namespace {

constexpr const char* ellipsis = "...";
constexpr double uint64_limit = 18446744073709551616.0;  // 2^64

double seconds(ProgressLine::Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Columns a UTF-8 text takes, counting one per character (wide characters are rare in names).
std::size_t columns(const std::string& s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += is_continuation(c) ? 0 : 1;
    return n;
}

// The name in at most `room` columns: its end is what tells files apart, so the start goes.
std::string fit_name(const std::string& name, std::size_t room) {
    if (columns(name) <= room) return name;
    const std::size_t dots = std::char_traits<char>::length(ellipsis);
    if (room <= dots) return std::string(ellipsis, room);
    std::size_t keep = room - dots;
    std::size_t from = name.size();
    while (keep > 0 && from > 0) {
        --from;
        if (!is_continuation(static_cast<unsigned char>(name[from]))) --keep;
    }
    return ellipsis + name.substr(from);
}

}  // namespace

ProgressLine::ProgressLine(std::FILE* out, std::string name, std::uint64_t total,
                           Clock::time_point start)
    : own_(std::make_unique<Console>(out, true)), console_(own_.get()), name_(shown(name)), total_(total),
      start_(start) {}

ProgressLine::ProgressLine(Console& console, std::string name, std::uint64_t total, Clock::time_point start)
    : console_(&console), name_(shown(name)), total_(total), start_(start) {}

void ProgressLine::update(std::uint64_t done, Clock::time_point now) {
    done_ = done;
    if (drawn_ && console_->too_soon(now)) return;
    drawn_ = true;
    draw(now);
}

void ProgressLine::restart(std::uint64_t at, const std::string& note, Clock::time_point now) {
    done_ = base_ = at;
    note_ = note.empty() ? "" : "  " + shown(note);
    start_ = now;
    drawn_ = false;
    update(at, now);
}

double ProgressLine::rate(Clock::time_point now) const {
    const double elapsed = seconds(now - start_);
    return elapsed > 0 ? static_cast<double>(done_ - std::min(base_, done_)) / elapsed : -1;
}

void ProgressLine::draw(Clock::time_point now) {
    const double per_sec = rate(now);

    // Floor, and never 100% before the last byte: "100%" on a stalled transfer misleads.
    unsigned percent = 100;
    if (total_ > 0 && done_ < total_) {
        percent = static_cast<unsigned>(
            std::floor(static_cast<double>(done_) * 100 / static_cast<double>(total_)));
        if (percent > 99) percent = 99;
    }

    std::string left = "-";
    if (done_ >= total_) {
        left = clock_form(0) + " left";
    } else if (per_sec > 0) {
        // Rounded up: "0:00 left" while bytes are still missing would be wrong.
        const double secs = std::ceil(static_cast<double>(total_ - done_) / per_sec);
        const auto whole = secs < uint64_limit ? static_cast<std::uint64_t>(secs) : UINT64_MAX;
        left = clock_form(whole) + " left";
    }

    const std::string rest = "  " + human_size(done_) + " / " + human_size(total_) + "  " +
                             std::to_string(percent) + "%  " + human_rate(per_sec) + "  " + left + note_;

    // The last column stays empty: some terminals wrap as soon as it is written.
    const std::size_t width = console_->width() - 1;
    console_->status(fit_name(name_, width > rest.size() ? width - rest.size() : 0) + rest, now);
}

void ProgressLine::finish(const std::string& outcome, Clock::time_point now) {
    console_->line(name_ + "  " + human_size(total_) + "  " + human_duration(seconds(now - start_)) + "  " +
                   human_rate(rate(now)) + "  " + shown(outcome));
}

std::string batch_summary(std::size_t files, std::uint64_t bytes, double secs) {
    const double rate = secs > 0 ? static_cast<double>(bytes) / secs : -1;
    return std::to_string(files) + (files == 1 ? " file, " : " files, ") + human_size(bytes) +
           " in " + human_duration(secs) + " (" + human_rate(rate) + ")";
}

}  // namespace cli
