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

constexpr int usage_status = 2;
// Connections dropped for newcomers in one turn of the loop at most.
constexpr int evictions_per_turn = 4;
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

struct Receiver {
    std::uint16_t port;
    rx::Rules rules;
    rx::Options opt;
    rx::View& view;
    Transfers open;

    // Who gives way when every connection is taken: the one that has waited longest for its
    // header, else the slowest body below the minimum rate; null when every body moves.
    rx::Transfer* give_way(Clock::time_point now) {
        rx::Transfer* oldest = nullptr;
        rx::Transfer* slowest = nullptr;
        double slowest_rate = 0;
        for (const auto& t : open) {
            if (t->in_header()) {
                if (!oldest || t->deadline() < oldest->deadline()) oldest = t.get();
            } else if (const auto rate = t->slow_rate(now); rate && (!slowest || *rate < slowest_rate)) {
                slowest = t.get();
                slowest_rate = *rate;
            }
        }
        return oldest ? oldest : slowest;
    }

    bool has_room(Clock::time_point now) { return open.size() < opt.max_connections || give_way(now); }

    std::size_t open_from(std::uint32_t address) const {
        return static_cast<std::size_t>(
            std::count_if(open.begin(), open.end(), [&](const auto& t) { return t->address() == address; }));
    }

    // Takes the connections waiting on a listening socket while there is room for them. Each
    // is read at once (a sender's header usually comes with its connection); and only a few
    // connections give way to newcomers in one turn, so that every open one is read between
    // such turns and a sender whose header has come is never dropped for a flood.
    void accept_all(int lsd, Clock::time_point now) {
        for (int evicted = 0; evicted < evictions_per_turn && has_room(now);) {
            sockaddr_in peer{};
            socklen_t alen = sizeof peer;
            const int sd = accept4(lsd, reinterpret_cast<sockaddr*>(&peer), &alen, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (sd < 0) return;
            const std::uint32_t address = ntohl(peer.sin_addr.s_addr);
            const std::string who = SAI_IP(&peer, 1, 0);
            const std::string ip = SAI_IP(&peer, 0, 0);
            if (!rx::allowed(opt.allow, address)) {
                SCK_CL(sd);
                view.repeated(rx::View::Repeated::not_allowed, ip, "Connection from " + who + " refused: not in --allow",
                              now);
                continue;
            }
            if (open_from(address) >= opt.per_address) {
                SCK_CL(sd);
                view.repeated(rx::View::Repeated::per_address, ip,
                              "Connection from " + who + " refused: " + std::to_string(opt.per_address) +
                                  " already open from that address",
                              now);
                continue;
            }
            if (open.size() >= opt.max_connections) {
                give_way(now)->drop(rx::View::Repeated::cap_drop, "Dropped for a new connection: too many open");
                ++evicted;
            }
            open.push_back(std::make_unique<rx::Transfer>(sd, peer, port, rules, view, now));
            open.back()->on_readable(now);
            std::erase_if(open, finished);
        }
    }

    // Milliseconds until the first deadline of the open connections or the next redraw;
    // -1 when nothing is due.
    int next_timeout(Clock::time_point now) {
        int ms = view.tick(now);
        // Full: a body may fall below the minimum rate and make room; look again each second.
        if (open.size() >= opt.max_connections) ms = ms < 0 ? 1000 : std::min(ms, 1000);
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
    Receiver rx{opt.port, {}, opt, view, {}};
    rx.rules.min_rate = opt.min_rate;
    rx.rules.rate_window = std::chrono::seconds(opt.rate_window_secs);
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
        const short accepting = rx.has_room(Clock::now()) ? POLLIN : 0;
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
            if (fds[i].revents) rx.accept_all(fds[i].fd, now);
        if (fds[nl].revents) listeners.on_address_change();
    }

    // Every connection ends without a reply, its work file removed.
    rx.open.clear();
    if (stop.by_key()) getch();
    SCK_SYS_CL();
    if (err_) view.error(ERR_S());
    return 1;
}
