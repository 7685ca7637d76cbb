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

#include "channel.h"
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
// A file under TLS goes through user space in blocks of this size.
constexpr std::size_t tls_block_sz = 256u << 10;

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

// A TLS failure in the channel's words; the socket's number otherwise.
cli::Failure io_failure(Pipe p, const char* call, int no) {
    if (p.tls && no == EPROTO) return {std::string(call) + ": " + p.tls->why(), no, 0};
    return sys_failure(call, no, status_of(no));
}

// One read or write that does not wait: bytes, 0 when the peer ended the connection, or -1
// with errno (EAGAIN when the pipe is not ready).
ssize_t read_some(Pipe p, void* buf, std::size_t n) {
    return p.tls ? p.tls->read(buf, n) : ::recv(p.sd, buf, n, MSG_DONTWAIT);
}
ssize_t write_some(Pipe p, const void* buf, std::size_t n) {
    return p.tls ? p.tls->write(buf, n) : ::send(p.sd, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
}
// What to poll for after a call that could not go on: under TLS a read may wait for room to
// write, and a write for bytes to read.
short awaited(Pipe p, short plain) {
    const short e = p.tls ? p.tls->events() : 0;
    return e ? e : plain;
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

void failed(Outcome& o, const cli::Failure& f) {
    o.failure = f;
    o.what = closed_by_peer(f.sock_status) ? What::closed : What::failed;
}
void failed(Outcome& o, const char* call, int no) { failed(o, sys_failure(call, no, status_of(no))); }

// send_file_part under TLS: the kernel cannot encrypt, so the file is read in blocks here.
bool send_file_blocks(Pipe p, int fd, std::uint64_t from, std::uint64_t count, Outcome& o,
                      const std::function<void(std::uint64_t)>& progress) {
    std::string block;
    std::uint64_t done = 0;
    while (done < count) {
        block.resize(static_cast<std::size_t>(std::min<std::uint64_t>(count - done, tls_block_sz)));
        const ssize_t n = ::pread(fd, block.data(), block.size(), static_cast<off_t>(from + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) o.what = What::shrank;
            else failed(o, "pread", errno);
            return false;
        }
        block.resize(static_cast<std::size_t>(n));
        if (!send_bytes(p, block, o)) return false;
        done += block.size();
        o.sent += block.size();
        if (progress) progress(done);
    }
    return true;
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

Connection::Connection() = default;

Connection::~Connection() { close(); }

Connection::Connection(Connection&& other) noexcept : sd_(other.sd_), tls_(std::move(other.tls_)) { other.sd_ = -1; }

Connection& Connection::operator=(Connection&& other) noexcept {
    if (this != &other) {
        close();
        sd_ = other.sd_;
        tls_ = std::move(other.tls_);
        other.sd_ = -1;
    }
    return *this;
}

void Connection::secure(std::unique_ptr<tls::Channel> channel) { tls_ = std::move(channel); }

void Connection::close() {
    // The receiver learns that the end is meant, when the socket has room for the word.
    if (tls_ && tls_->done()) tls_->close_notify();
    tls_.reset();
    if (sd_ < 0) return;
    ::close(sd_);
    sd_ = -1;
}

LineReader::Got LineReader::fill(Pipe p, Clock::time_point deadline, cli::Failure& f) {
    char block[64 << 10];
    for (;;) {
        const ssize_t n = read_some(p, block, sizeof block);
        if (n > 0) {
            pending_.append(block, static_cast<std::size_t>(n));
            return Got::line;
        }
        const int no = n == 0 ? ENOTCONN : errno;
        if (no == EINTR) continue;
        if (no != EAGAIN && no != EWOULDBLOCK) {
            f = io_failure(p, "recv", no);
            return closed_by_peer(f.sock_status) ? Got::closed : Got::failed;
        }
        const int left = ms_left(deadline);
        if (left == 0) return Got::timeout;
        pollfd pf{p.sd, awaited(p, POLLIN), 0};
        ::poll(&pf, 1, left);
    }
}

LineReader::Got LineReader::next(Pipe p, std::chrono::milliseconds wait, std::string& line, cli::Failure& f) {
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
        if (const Got g = fill(p, deadline, f); g != Got::line) return g;
    }
}

bool LineReader::ready() const { return pending_.find(wire::line_end) != std::string::npos; }

LineReader::Got LineReader::bytes(Pipe p, std::size_t n, std::chrono::milliseconds wait, std::string& out,
                                  cli::Failure& f) {
    const auto deadline = Clock::now() + wait;
    while (pending_.size() < n)
        if (const Got g = fill(p, deadline, f); g != Got::line) return g;
    out.assign(pending_, 0, n);
    pending_.erase(0, n);
    return Got::line;
}

bool LineReader::send(Pipe p, std::string_view bytes, Outcome& o) {
    std::size_t sent = 0;
    auto last_moved = Clock::now();
    bool peer_done = false;  // the receiver closed its side: nothing more to read
    while (sent < bytes.size()) {
        const ssize_t n = write_some(p, bytes.data() + sent, bytes.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            last_moved = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            failed(o, io_failure(p, "send", errno));
            return false;
        }
        const int left = ms_left(last_moved + std::chrono::seconds(body_tmo_secs));
        if (left == 0) {
            stalled(o, sent, bytes.size());
            return false;
        }
        const bool reading = !peer_done && pending_.size() < pending_mxsz;
        pollfd pf{p.sd, static_cast<short>(awaited(p, POLLOUT) | (reading ? POLLIN : 0)), 0};
        if (::poll(&pf, 1, left) > 0 && reading && (pf.revents & POLLIN)) {
            cli::Failure ignored;  // a send that cannot go on says why itself
            peer_done = fill(p, Clock::now(), ignored) != Got::line;
        }
    }
    return true;
}

void send_failed(Outcome& o, char st) {
    o.failure = taken(st);
    if (st == sck_st_blocked) o.what = What::stalled;
    else o.what = closed_by_peer(st) ? What::closed : What::failed;
}

bool send_bytes(Pipe p, std::string_view bytes, Outcome& o) {
    LineReader unread;
    return unread.send(p, bytes, o);
}

bool send_file_part(Pipe p, int fd, std::uint64_t from, std::uint64_t count, Outcome& o,
                    const std::function<void(std::uint64_t)>& progress) {
    if (p.tls) return send_file_blocks(p, fd, from, count, o, progress);
    const int sd = p.sd;
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
