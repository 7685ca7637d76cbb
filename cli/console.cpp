// The one place that writes lines and the status line.
#include "console.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace cli {

namespace {

constexpr std::size_t default_width = 80;
constexpr char erase_to_end[] = "\x1b[K";

bool is_continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::size_t Console::width() const {
    winsize ws{};
    const int fd = fileno(out_);
    if (fd >= 0 && ::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return default_width;
}

void Console::clear_status() {
    const std::lock_guard lock(m_);
    clear_status_locked();
}

void Console::clear_status_locked() {
    if (!status_shown_) return;
    std::fprintf(out_, "\r%s", erase_to_end);
    status_shown_ = false;
}

void Console::line(const std::string& text) {
    const std::lock_guard lock(m_);
    clear_status_locked();
    std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
}

void Console::error(const std::string& text) { line("ERROR: " + text + (tty_ ? "\a" : "")); }

int Console::ms_to_next_draw(Clock::time_point now) const {
    if (!too_soon(now)) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(last_draw_ + redraw_every - now).count());
}

void Console::status(const std::string& text, Clock::time_point now) {
    const std::lock_guard lock(m_);
    drawn_ = true;
    last_draw_ = now;
    if (text.empty()) {
        clear_status_locked();
        std::fflush(out_);
        return;
    }
    // The last column stays empty: some terminals wrap as soon as it is written. The cut
    // never splits a UTF-8 character.
    const std::size_t room = width() - 1;
    std::string shown;
    std::size_t cols = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!is_continuation(c) && ++cols > room) break;
        shown += text[i];
    }
    std::fprintf(out_, "\r%s%s", shown.c_str(), erase_to_end);
    std::fflush(out_);
    status_shown_ = true;
}

}  // namespace cli
