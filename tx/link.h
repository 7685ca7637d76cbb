// The sender's connection to the receiver, and the lines that come back on it: shared by the
// classic send and the extension's. The steps here make plain system calls and keep no state
// outside their arguments, so that the connections of -j run on threads of their own (the
// library's error state is one for the whole process).
#ifndef TX_LINK_H
#define TX_LINK_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "failure.h"
#include "outcome.h"

namespace tls {
class Channel;
}

namespace tx {

// Where the bytes of a connection go: straight to the socket, or through the TLS channel over
// it once the handshake is done (every byte after it, both ways).
struct Pipe {
    Pipe(int s, tls::Channel* c = nullptr) : sd(s), tls(c) {}  // NOLINT: a socket is a plain pipe
    int sd;
    tls::Channel* tls;
};

// Makes a connection to the receiver: a connected socket that does not block, or -1 with o
// saying why (no_connection). Tests dial socket pairs instead of the network.
using Dial = std::function<int(Outcome& o)>;
// The receiver at peer, within the connect time-out.
Dial dial_peer(const Peer& peer);

// Held around each call into the library and the taking of its failure: its error state is
// one for the whole process, and the classic sends of -j run on threads.
std::mutex& library_lock();

// The library's pending failure, taken, with the system's number the library reported. Each
// step clears os_err before it starts, so a number left from an earlier step never shows.
cli::Failure taken(char st = 0);
// Whether a send or receive status says the peer ended the connection.
bool closed_by_peer(char st);

// A connected socket, closed on every path.
class Connection {
public:
    Connection();
    // Dials; on failure open() is false and o says why.
    Connection(const Dial& dial, Outcome& o);
    ~Connection();
    Connection(Connection&& other) noexcept;
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int sd() const { return sd_; }
    Pipe pipe() const { return {sd_, tls_.get()}; }
    bool open() const { return sd_ >= 0; }
    // From now on the connection's bytes go through channel, made over sd().
    void secure(std::unique_ptr<tls::Channel> channel);
    void close();

private:
    int sd_ = -1;
    std::unique_ptr<tls::Channel> tls_;
};

// The receiver's lines under the extension, one at a time; bytes that came after a line
// wait for the next one. What the receiver sends while a send of ours waits for room is
// taken in here too, so that neither side can block the other.
class LineReader {
public:
    enum class Got { line, closed, timeout, too_long, failed };
    // The next line (without its CR) within wait; f holds the account of a connection that
    // failed or closed. A wait of 0 only looks at what has come.
    Got next(Pipe p, std::chrono::milliseconds wait, std::string& line, cli::Failure& f);
    // Exactly n bytes (not a line) within wait, into out.
    Got bytes(Pipe p, std::size_t n, std::chrono::milliseconds wait, std::string& out, cli::Failure& f);
    // Sends bytes whole as send_bytes does, reading what comes meanwhile.
    bool send(Pipe p, std::string_view bytes, Outcome& o);
    void clear() { pending_.clear(); }
    // Whether a whole line has come and waits.
    bool ready() const;
    // Whether nothing has come beyond the lines taken.
    bool empty() const { return pending_.empty(); }

private:
    // Reads what has come, waiting at most until deadline for something; Got::line when
    // bytes came.
    Got fill(Pipe p, std::chrono::steady_clock::time_point deadline, cli::Failure& f);

    std::string pending_;
};

// A send that failed, taken into o: the receiver stopped taking data (stalled), ended the
// connection (closed), or it failed otherwise.
void send_failed(Outcome& o, char st);
// Sends bytes whole; a receiver that takes nothing for body_tmo_secs stalls it. False with o
// saying how it failed.
bool send_bytes(Pipe p, std::string_view bytes, Outcome& o);
// Sends count bytes of the file fd from its offset from, straight from the kernel's cache
// (read in blocks and written through the channel under TLS);
// progress (may be empty) hears the bytes sent so far. The bytes that went are added to
// o.sent; false with o saying how it failed (shrank when the file ended first).
bool send_file_part(Pipe p, int fd, std::uint64_t from, std::uint64_t count, Outcome& o,
                    const std::function<void(std::uint64_t)>& progress);

}  // namespace tx

#endif
