// Connections to the receiver and the lines read from them.
#include "link.h"

#include <poll.h>

#include <cerrno>

#include "lb.h"
#include "wire.h"

namespace tx {

namespace {

using Clock = std::chrono::steady_clock;
using What = Outcome::What;

constexpr std::uint16_t linger_secs = 2;

}  // namespace

cli::Failure taken(char st) { return cli::Failure::from_library(st); }

bool closed_by_peer(char st) { return st == sck_st_reset || st == sck_st_closed || st == sck_st_broken_pipe; }

Dial dial_peer(const Peer& peer) {
    return [peer](Outcome& o) {
        os_err = 0;
        const auto start = Clock::now();
        const int sd = IP_CONN(peer.ip.c_str(), peer.port, connect_tmo_secs);
        if (!err_) SCK_LINGER(sd, linger_secs);
        if (!err_) return sd;
        o.what = What::no_connection;
        o.failure = taken();
        // The library's own time-out comes with no system error.
        if (!o.failure.sys_errno && Clock::now() - start >= std::chrono::seconds(connect_tmo_secs))
            o.failure.sys_errno = ETIMEDOUT;
        if (sd >= 0) SCK_CL(sd);
        if (err_) taken();
        return -1;
    };
}

Connection::Connection(const Dial& dial, Outcome& o) : sd_(dial(o)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        close();
        sd_ = other.sd_;
        other.sd_ = -1;
    }
    return *this;
}

void Connection::close() {
    if (sd_ < 0) return;
    SCK_CL(sd_);
    if (err_) taken();  // nothing waits on a connection that is over
    sd_ = -1;
}

LineReader::Got LineReader::next(int sd, std::chrono::milliseconds wait, std::string& line, cli::Failure& f) {
    const auto deadline = Clock::now() + wait;
    char block[wire::reply_mxsz + 1];
    os_err = 0;
    for (;;) {
        if (const auto cr = pending_.find(wire::line_end); cr != std::string::npos) {
            line = pending_.substr(0, cr);
            pending_.erase(0, cr + 1);
            return line.size() > wire::reply_mxsz ? Got::too_long : Got::line;
        }
        if (pending_.size() > wire::reply_mxsz) {
            line = pending_.substr(0, wire::reply_mxsz);
            return Got::too_long;
        }
        char st = 0;
        const std::uint32_t n = SCK_RECV(sd, block, sizeof block, 0, &st);
        if (err_) {
            f = taken(st);
            return closed_by_peer(st) ? Got::closed : Got::failed;
        }
        if (n > 0) {
            pending_.append(block, n);
            continue;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Got::timeout;
        pollfd p{sd, POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left));
    }
}

void send_failed(Outcome& o, char st) {
    o.failure = taken(st);
    if (st == sck_st_blocked) o.what = What::stalled;
    else o.what = closed_by_peer(st) ? What::closed : What::failed;
}

bool send_bytes(int sd, const std::string& bytes, Outcome& o) {
    char st = 0;
    os_err = 0;
    BF_SCK(sd, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &st, body_tmo_secs);
    if (!err_) return true;
    send_failed(o, st);
    return false;
}

}  // namespace tx
