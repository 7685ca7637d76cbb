// Connections to the receiver and the lines read from them, by plain system calls: every
// failure becomes a Failure here, with the system's number, the socket's status and words in
// the form the library's trail uses.
#include "link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lb.h"
#include "wire.h"

namespace tx {

namespace {

using Clock = std::chrono::steady_clock;
using What = Outcome::What;

constexpr int linger_secs = 2;
// What the receiver says while a send of ours waits is kept up to this much; a receiver that
// says more before reading on is not waited for with a read.
constexpr std::size_t pending_mxsz = 16u << 20;
// Most one sendfile call offers: the progress line hears from the send at least this often.
constexpr std::size_t file_call_mxsz = 8u << 20;

cli::Failure sys_failure(const char* call, int no, char st) {
    return {std::string(call) + " (err #" + std::to_string(no) + ":" + std::strerror(no) + ")", no, st};
}

// The socket status of a failed send or receive, as the library names them.
char status_of(int no) {
    switch (no) {
        case ECONNRESET: return sck_st_reset;
        case ECONNABORTED: return sck_st_aborted;
        case ENOTCONN: return sck_st_closed;
        case EPIPE: return sck_st_broken_pipe;
        case EHOSTUNREACH: return sck_st_unreachable;
        default: return 0;
    }
}

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, INT32_MAX));
}

void stalled(Outcome& o, std::uint64_t sent, std::uint64_t total) {
    o.what = What::stalled;
    o.failure = {"send: nothing taken for " + std::to_string(body_tmo_secs) + " s (" + std::to_string(sent) + " of " +
                     std::to_string(total) + " bytes sent)",
                 0, sck_st_blocked};
}

void failed(Outcome& o, const char* call, int no) {
    const char st = status_of(no);
    o.failure = sys_failure(call, no, st);
    o.what = closed_by_peer(st) ? What::closed : What::failed;
}

int connect_within(const Peer& peer, Outcome& o) {
    sockaddr_in sai{};
    sai.sin_family = AF_INET;
    sai.sin_port = htons(peer.port);
    const int sd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int no = sd < 0 ? errno : 0;
    if (sd >= 0 && ::inet_pton(AF_INET, peer.ip.c_str(), &sai.sin_addr) != 1) no = EINVAL;
    if (!no && ::connect(sd, reinterpret_cast<const sockaddr*>(&sai), sizeof sai) != 0) {
        no = errno;
        if (no == EINPROGRESS) {
            pollfd p{sd, POLLOUT, 0};
            socklen_t len = sizeof no;
            int r;
            while ((r = ::poll(&p, 1, connect_tmo_secs * 1000)) < 0 && errno == EINTR) {
            }
            no = r == 0 ? ETIMEDOUT : 0;
            if (r > 0 && ::getsockopt(sd, SOL_SOCKET, SO_ERROR, &no, &len) != 0) no = errno;
        }
    }
    if (!no) {
        const linger l{1, linger_secs};
        ::setsockopt(sd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        return sd;
    }
    if (sd >= 0) ::close(sd);
    o.what = What::no_connection;
    o.failure = sys_failure("connect", no, no == ECONNREFUSED ? sck_st_refused : 0);
    return -1;
}

}  // namespace

std::mutex& library_lock() {
    static std::mutex m;
    return m;
}

cli::Failure taken(char st) { return cli::Failure::from_library(st); }

bool closed_by_peer(char st) { return st == sck_st_reset || st == sck_st_closed || st == sck_st_broken_pipe; }

Dial dial_peer(const Peer& peer) {
    return [peer](Outcome& o) { return connect_within(peer, o); };
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
    ::close(sd_);
    sd_ = -1;
}

LineReader::Got LineReader::fill(int sd, Clock::time_point deadline, cli::Failure& f) {
    char block[64 << 10];
    for (;;) {
        const ssize_t n = ::recv(sd, block, sizeof block, MSG_DONTWAIT);
        if (n > 0) {
            pending_.append(block, static_cast<std::size_t>(n));
            return Got::line;
        }
        const int no = n == 0 ? ENOTCONN : errno;
        if (no == EINTR) continue;
        if (no != EAGAIN && no != EWOULDBLOCK) {
            f = sys_failure("recv", no, status_of(no));
            return closed_by_peer(f.sock_status) ? Got::closed : Got::failed;
        }
        const int left = ms_left(deadline);
        if (left == 0) return Got::timeout;
        pollfd p{sd, POLLIN, 0};
        ::poll(&p, 1, left);
    }
}

LineReader::Got LineReader::next(int sd, std::chrono::milliseconds wait, std::string& line, cli::Failure& f) {
    const auto deadline = Clock::now() + wait;
    for (;;) {
        if (const auto cr = pending_.find(wire::line_end); cr != std::string::npos) {
            line.assign(pending_, 0, cr);
            pending_.erase(0, cr + 1);
            return line.size() > wire::reply_mxsz ? Got::too_long : Got::line;
        }
        if (pending_.size() > wire::reply_mxsz) {
            line = pending_.substr(0, wire::reply_mxsz);
            return Got::too_long;
        }
        if (const Got g = fill(sd, deadline, f); g != Got::line) return g;
    }
}

bool LineReader::ready() const { return pending_.find(wire::line_end) != std::string::npos; }

LineReader::Got LineReader::bytes(int sd, std::size_t n, std::chrono::milliseconds wait, std::string& out,
                                  cli::Failure& f) {
    const auto deadline = Clock::now() + wait;
    while (pending_.size() < n)
        if (const Got g = fill(sd, deadline, f); g != Got::line) return g;
    out.assign(pending_, 0, n);
    pending_.erase(0, n);
    return Got::line;
}

bool LineReader::send(int sd, std::string_view bytes, Outcome& o) {
    std::size_t sent = 0;
    auto last_moved = Clock::now();
    bool peer_done = false;  // the receiver closed its side: nothing more to read
    while (sent < bytes.size()) {
        const ssize_t n = ::send(sd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            last_moved = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            failed(o, "send", errno);
            return false;
        }
        const int left = ms_left(last_moved + std::chrono::seconds(body_tmo_secs));
        if (left == 0) {
            stalled(o, sent, bytes.size());
            return false;
        }
        const bool reading = !peer_done && pending_.size() < pending_mxsz;
        pollfd p{sd, static_cast<short>(POLLOUT | (reading ? POLLIN : 0)), 0};
        if (::poll(&p, 1, left) > 0 && reading && (p.revents & POLLIN)) {
            cli::Failure ignored;  // a send that cannot go on says why itself
            peer_done = fill(sd, Clock::now(), ignored) != Got::line;
        }
    }
    return true;
}

void send_failed(Outcome& o, char st) {
    o.failure = taken(st);
    if (st == sck_st_blocked) o.what = What::stalled;
    else o.what = closed_by_peer(st) ? What::closed : What::failed;
}

bool send_bytes(int sd, std::string_view bytes, Outcome& o) {
    LineReader unread;
    return unread.send(sd, bytes, o);
}

bool send_file_part(int sd, int fd, std::uint64_t from, std::uint64_t count, Outcome& o,
                    const std::function<void(std::uint64_t)>& progress) {
    auto at = static_cast<off_t>(from);
    std::uint64_t done = 0;
    auto last_moved = Clock::now();
    while (done < count) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(count - done, file_call_mxsz));
        const ssize_t n = ::sendfile(sd, fd, &at, want);
        if (n > 0) {
            done += static_cast<std::uint64_t>(n);
            o.sent += static_cast<std::uint64_t>(n);
            last_moved = Clock::now();
            if (progress) progress(done);
            continue;
        }
        if (n == 0) {
            o.what = What::shrank;
            return false;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
            failed(o, "sendfile", errno);
            return false;
        }
        const int left = ms_left(last_moved + std::chrono::seconds(body_tmo_secs));
        pollfd p{sd, POLLOUT, 0};
        if (left == 0 || ::poll(&p, 1, left) == 0) {
            stalled(o, o.sent, o.size);
            return false;
        }
    }
    return true;
}

}  // namespace tx
