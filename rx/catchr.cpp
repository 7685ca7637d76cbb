// catchr: receives files sent by pitchr and stores each under the name (and directory) its
// sender announced. Serves many senders at once in one thread; runs until a key is pressed
// or it is told to stop.
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "lb.h"
#include "listeners.h"
#include "stop_watch.h"
#include "transfer.h"

namespace {

constexpr std::uint16_t default_port = 9500;
// Connections served at once. Beyond it, the connection that has waited longest for its
// header gives way to the new one; when every one is past its header, new connections wait
// in the listening queue until one ends.
constexpr std::size_t max_connections = 64;
// Exit status when the port cannot be listened on.
constexpr int cannot_listen_status = 3;

using rx::Clock;
using Transfers = std::vector<std::unique_ptr<rx::Transfer>>;

void usage() {
    std::printf(
        "PITCHR (transmit) and CATCHR (receive) transfer files btw PCs via an ethernet socket.\n"
        "Usage on destination (receiving) PC:\n"
        "\tcatchr {port}\n"
        "Usage on source (sending) PC:\n"
        "\tpitchr {file-spec} {ip} {port}\n"
        "where:\n"
        "\tfile-spec = File(s) to send (use quotes if using wild-cards under Linux)\n"
        "\tip        = IP address (default = 192.168.0.1)\n"
        "\tport      = Socket port (default = 9500)\n"
        "\n"
        "%s\n\n",
        pgm_web_url);
}

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

// Takes every connection waiting on a listening socket while there is room for it.
void accept_all(int lsd, std::uint16_t port, Transfers& open, const rx::TransferLimits& limits,
                mode_t file_mode) {
    while (has_room(open)) {
        sockaddr_in peer{};
        socklen_t alen = sizeof peer;
        const int sd = accept4(lsd, reinterpret_cast<sockaddr*>(&peer), &alen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (sd < 0) return;
        if (open.size() >= max_connections) {
            oldest_in_header(open)->drop("Dropped for a new connection: too many open");
            std::erase_if(open, finished);
        }
        open.push_back(std::make_unique<rx::Transfer>(sd, peer, port, limits, file_mode, Clock::now()));
    }
}

// Milliseconds until the first deadline of the open connections; -1 when none is open.
int next_timeout(const Transfers& open) {
    if (open.empty()) return -1;
    Clock::time_point first = open.front()->deadline();
    for (const auto& t : open) first = std::min(first, t->deadline());
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(first - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 60'000));
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::uint16_t port = default_port;
    if (argc > 1) {
        port = S10_U2(argv[1], nullptr, 1);
        if (err_) {
            ERR_S();
            usage();
            return 1;
        }
    }
    rx::StopWatch stop;
    SCK_SYS_OP();
    const rx::TransferLimits limits;
    const mode_t file_mode = new_file_mode();

    rx::Listeners listeners(port);
    if (!listeners.start()) return cannot_listen_status;

    Transfers open;
    std::vector<pollfd> fds;
    while (!stop.requested()) {
        // Listening sockets, then the address watch, then the connections.
        fds.clear();
        const bool room = has_room(open);
        for (int lsd : listeners.sockets()) fds.push_back({lsd, static_cast<short>(room ? POLLIN : 0), 0});
        fds.push_back({listeners.watch_sd(), POLLIN, 0});
        for (const auto& t : open) fds.push_back({t->sd(), POLLIN, 0});
        stop.wait(fds, next_timeout(open));
        if (stop.requested()) break;

        const std::size_t nl = listeners.sockets().size();
        // Connections first: the vector may grow below, and these entries match it now.
        const auto now = Clock::now();
        for (std::size_t i = 0; i < open.size(); ++i) {
            if (fds[nl + 1 + i].revents) open[i]->on_readable(now);
            open[i]->on_clock(now);
        }
        std::erase_if(open, finished);
        for (std::size_t i = 0; i < nl; ++i)
            if (fds[i].revents) accept_all(fds[i].fd, port, open, limits, file_mode);
        if (fds[nl].revents) listeners.on_address_change();
    }

    // Every connection ends without a reply, its work file removed.
    open.clear();
    if (stop.by_key()) getch();
    SCK_SYS_CL();
    if (err_) std::printf("ERROR: %s\a\n", ERR_S());
    return 1;
}
