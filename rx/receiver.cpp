// Admission and the life of each connection in the loop.
#include "receiver.h"

#include <sys/socket.h>

#include <algorithm>

#include "lb.h"
#include "wire.h"

namespace rx {

namespace {

// Connections dropped for newcomers in one turn of the loop at most: every open one is read
// between such turns, so a sender whose header has come is never dropped for a flood.
constexpr int evictions_per_turn = 4;
// While every connection is taken and each body moves, a body may yet fall below the minimum
// rate and make room: looked at again this often.
constexpr int full_look_ms = 1000;
// What a turned-away peer has sent already is read this many times at most: one that keeps
// sending cannot hold the loop.
constexpr int max_drain_reads = 16;

// A connection refused as it comes: the reply first, so that a sender hears why, and then
// the close. What the sender has sent already is read first: closing on unread bytes
// would reset the connection and could take the reply with it.
void turn_away(int sd, const std::string& why) {
    char drain[4096];
    for (int reads = 0; reads < max_drain_reads && ::recv(sd, drain, sizeof drain, MSG_DONTWAIT) > 0; ++reads) {
    }
    const std::string line = wire::reply(why);
    ::send(sd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(sd, SHUT_WR);
    SCK_CL(sd);
}

}  // namespace

Receiver::Receiver(const Options& opt, const Rules& rules, Loop& loop, View& view)
    : opt_(opt), rules_(rules), loop_(loop), view_(view) {}

void Receiver::listen_on(int lsd) {
    listening_.push_back(loop_.watch(lsd, POLLIN, [this, lsd](short) { accept_all(lsd, Clock::now()); }));
}

int Receiver::before_turn(Clock::time_point now) {
    const short accepting = has_room(now) ? POLLIN : 0;
    for (int id : listening_) loop_.interest(id, accepting);
    int ms = view_.tick(now);
    if (open_.size() >= opt_.max_connections) ms = ms < 0 ? full_look_ms : std::min(ms, full_look_ms);
    bool busy = false;
    for (const Open& o : open_) {
        // A file being checked after its body is not read from: what its sender sends next
        // waits in the socket. A TLS handshake may wait to write.
        loop_.interest(o.id, o.transfer->events());
        busy = busy || o.transfer->busy();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(o.transfer->deadline() - now).count();
        const int t_ms = static_cast<int>(std::clamp<long long>(left, 0, 60'000));
        ms = ms < 0 ? t_ms : std::min(ms, t_ms);
    }
    // Work files to read back: the loop only looks at the sockets between pieces.
    return busy ? 0 : ms;
}

void Receiver::after_turn(Clock::time_point now) {
    for (const Open& o : open_) {
        if (o.transfer->busy()) o.transfer->work(now);
        o.transfer->on_clock(now);
    }
    reap();
}

std::size_t Receiver::arriving() const {
    return static_cast<std::size_t>(
        std::count_if(open_.begin(), open_.end(), [](const Open& o) { return o.transfer->arriving(); }));
}

std::vector<std::string> Receiver::close_all(const std::string& why) {
    std::vector<std::string> aborted;
    for (const Open& o : open_) {
        loop_.forget(o.id);
        if (std::string what = o.transfer->abort(why); !what.empty()) aborted.push_back(std::move(what));
    }
    open_.clear();
    return aborted;
}

// Registrations end before their connections are destroyed (and their descriptors closed),
// so a reused descriptor number never reaches a handler of the past.
void Receiver::reap() {
    std::erase_if(open_, [this](const Open& o) {
        if (!o.transfer->finished()) return false;
        loop_.forget(o.id);
        return true;
    });
}

// The one that has waited longest for its header, else the slowest body below the minimum
// rate; null when every body moves at least at that rate.
Transfer* Receiver::give_way(Clock::time_point now) {
    Transfer* oldest = nullptr;
    Transfer* slowest = nullptr;
    double slowest_rate = 0;
    for (const Open& o : open_) {
        Transfer* t = o.transfer.get();
        if (t->in_header()) {
            if (!oldest || t->deadline() < oldest->deadline()) oldest = t;
        } else if (const auto rate = t->slow_rate(now); rate && (!slowest || *rate < slowest_rate)) {
            slowest = t;
            slowest_rate = *rate;
        }
    }
    return oldest ? oldest : slowest;
}

bool Receiver::has_room(Clock::time_point now) { return open_.size() < opt_.max_connections || give_way(now); }

std::size_t Receiver::open_from(std::uint32_t address) const {
    return static_cast<std::size_t>(
        std::count_if(open_.begin(), open_.end(), [&](const Open& o) { return o.transfer->address() == address; }));
}

// Takes the connections waiting on a listening socket while there is room for them. Each is
// read at once: a sender's header usually comes with its connection.
void Receiver::accept_all(int lsd, Clock::time_point now) {
    for (int evicted = 0; evicted < evictions_per_turn && has_room(now);) {
        sockaddr_in peer{};
        socklen_t alen = sizeof peer;
        const int sd = accept4(lsd, reinterpret_cast<sockaddr*>(&peer), &alen, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (sd < 0) return;
        const std::uint32_t address = ntohl(peer.sin_addr.s_addr);
        const std::string who = SAI_IP(&peer, 1, 0);
        const std::string ip = SAI_IP(&peer, 0, 0);
        if (!allowed(opt_.allow, address)) {
            turn_away(sd, "not allowed from " + ip);
            view_.repeated(View::Repeated::not_allowed, ip, "Connection from " + who + " refused: not in --allow", now);
            continue;
        }
        if (open_from(address) >= opt_.per_address) {
            turn_away(sd, std::to_string(opt_.per_address) + " connections already open from " + ip + "; try again later");
            view_.repeated(View::Repeated::per_address, ip,
                           "Connection from " + who + " refused: " + std::to_string(opt_.per_address) +
                               " already open from that address",
                           now);
            continue;
        }
        if (open_.size() >= opt_.max_connections) {
            give_way(now)->drop(View::Repeated::cap_drop, "for a new connection: all connections were taken");
            ++evicted;
        }
        auto t = std::make_unique<Transfer>(sd, peer, opt_.port, rules_, view_, now);
        Transfer* raw = t.get();
        const int id = loop_.watch(sd, POLLIN, [raw](short) { raw->on_readable(Clock::now()); });
        open_.push_back({id, std::move(t)});
        raw->on_readable(now);
        reap();
    }
}

}  // namespace rx
