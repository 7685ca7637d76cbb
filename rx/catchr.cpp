// catchr: receives files sent by pitchr and stores each under the name (and directory) its
// sender announced. Serves many senders at once in one thread; runs until a key is pressed
// or it is told to stop.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <cstdio>
#include <memory>
#include <vector>

#include "lb.h"
#include "listeners.h"
#include "options.h"
#include "stop_watch.h"
#include "transfer.h"

namespace {

// Connections served at once. Beyond it, the connection that has waited longest for its
// header gives way to the new one; when every one is past its header, new connections wait
// in the listening queue until one ends.
constexpr std::size_t max_connections = 64;
constexpr int usage_status = 2;
constexpr int cannot_listen_status = 3;

using rx::Clock;
using Transfers = std::vector<std::unique_ptr<rx::Transfer>>;

// The mode a stored file gets: that of any new file of this user.
mode_t new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

bool finished(const std::unique_ptr<rx::Transfer>& t) { return t->finished(); }

// The connection that has waited longest for its header, null when all are past theirs.
rx::Transfer* oldest_in_header(const Transfers& open) {
    rx::Transfer* oldest = nullptr;
    for (const auto& t : open)
        if (t->in_header() && (!oldest || t->deadline() < oldest->deadline())) oldest = t.get();
    return oldest;
}

bool has_room(const Transfers& open) {
    return open.size() < max_connections || oldest_in_header(open) != nullptr;
}

struct Receiver {
    std::uint16_t port;
    rx::Rules rules;
    std::vector<rx::Net> allow;
    rx::View& view;
    Transfers open;

    // Takes every connection waiting on a listening socket while there is room for it.
    void accept_all(int lsd) {
        while (has_room(open)) {
            sockaddr_in peer{};
            socklen_t alen = sizeof peer;
            const int sd = accept4(lsd, reinterpret_cast<sockaddr*>(&peer), &alen, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (sd < 0) return;
            if (!rx::allowed(allow, ntohl(peer.sin_addr.s_addr))) {
                SCK_CL(sd);
                view.error(std::string("Connection from ") + SAI_IP(&peer, 1, 0) + " refused: not in --allow");
                continue;
            }
            if (open.size() >= max_connections) {
                oldest_in_header(open)->drop("Dropped for a new connection: too many open");
                std::erase_if(open, finished);
            }
            open.push_back(std::make_unique<rx::Transfer>(sd, peer, port, rules, view, Clock::now()));
        }
    }

    // Milliseconds until the first deadline of the open connections or the next redraw;
    // -1 when nothing is due.
    int next_timeout(Clock::time_point now) {
        int ms = view.tick(now);
        for (const auto& t : open) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(t->deadline() - now).count();
            const int t_ms = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
            ms = ms < 0 ? t_ms : std::min(ms, t_ms);
        }
        return ms;
    }
};

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const rx::Options opt = rx::parse_options(std::vector<std::string>(argv + 1, argv + argc));
    switch (opt.action) {
        case rx::Options::Action::help:
            std::fputs(rx::usage_text().c_str(), stdout);
            return 0;
        case rx::Options::Action::version:
            std::printf("catchr %s\n", CATCHR_PITCHR_VERSION);
            return 0;
        case rx::Options::Action::usage_error:
            std::fprintf(stderr, "catchr: %s\nTry 'catchr --help' for the command line.\n", opt.error.c_str());
            return usage_status;
        case rx::Options::Action::run:
            break;
    }
    if (!opt.dir.empty() && ::chdir(opt.dir.c_str()) != 0) {
        std::fprintf(stderr, "catchr: cannot receive into \"%s\": %s\n", opt.dir.c_str(), std::strerror(errno));
        return usage_status;
    }
    rx::View view(stdout, ::isatty(STDOUT_FILENO) == 1, opt.quiet);
    if (view.tty() && !opt.confine)
        view.line("Note: any host that reaches port " + std::to_string(opt.port) +
                  " can write files wherever this user can; --confine keeps them inside the receiving directory.");

    rx::StopWatch stop;
    SCK_SYS_OP();
    Receiver rx{opt.port, {}, opt.allow, view, {}};
    rx.rules.file_mode = new_file_mode();
    rx.rules.exec_bits = opt.exec_bits;
    rx.rules.store.no_clobber = opt.no_clobber;
    rx.rules.store.confine = opt.confine;
    rx.rules.store.min_free = opt.min_free;
    // Every destination is reached from here, whatever becomes of the name it was given by.
    rx.rules.store.root_fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rx.rules.store.root_fd < 0) {
        std::fprintf(stderr, "catchr: cannot open the receiving directory: %s\n", std::strerror(errno));
        return usage_status;
    }

    rx::Listeners listeners(opt.port, view);
    if (!listeners.start()) return cannot_listen_status;

    std::vector<pollfd> fds;
    while (!stop.requested()) {
        // Listening sockets, then the address watch, then the connections.
        fds.clear();
        const short accepting = has_room(rx.open) ? POLLIN : 0;
        for (int lsd : listeners.sockets()) fds.push_back({lsd, accepting, 0});
        fds.push_back({listeners.watch_sd(), POLLIN, 0});
        for (const auto& t : rx.open) fds.push_back({t->sd(), POLLIN, 0});
        stop.wait(fds, rx.next_timeout(Clock::now()));
        if (stop.requested()) break;

        const std::size_t nl = listeners.sockets().size();
        // Connections first: the vector may grow below, and these entries match it now.
        const auto now = Clock::now();
        for (std::size_t i = 0; i < rx.open.size(); ++i) {
            if (fds[nl + 1 + i].revents) rx.open[i]->on_readable(now);
            rx.open[i]->on_clock(now);
        }
        std::erase_if(rx.open, finished);
        for (std::size_t i = 0; i < nl; ++i)
            if (fds[i].revents) rx.accept_all(fds[i].fd);
        if (fds[nl].revents) listeners.on_address_change();
    }

    // Every connection ends without a reply, its work file removed.
    rx.open.clear();
    if (stop.by_key()) getch();
    SCK_SYS_CL();
    if (err_) view.error(ERR_S());
    return 1;
}
