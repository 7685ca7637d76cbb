// The sender's connection to the receiver, and the lines that come back on it: shared by the
// classic send and the extension's.
#ifndef TX_LINK_H
#define TX_LINK_H

#include <chrono>
#include <functional>
#include <string>

#include "failure.h"
#include "outcome.h"

namespace tx {

// Makes a connection to the receiver: a connected socket that does not block, or -1 with o
// saying why (no_connection). Tests dial socket pairs instead of the network.
using Dial = std::function<int(Outcome& o)>;
// The receiver at peer, within the connect time-out.
Dial dial_peer(const Peer& peer);

// The library's pending failure, taken, with the system's number the library reported. Each
// step clears os_err before it starts, so a number left from an earlier step never shows.
cli::Failure taken(char st = 0);
// Whether a send or receive status says the peer ended the connection.
bool closed_by_peer(char st);

// A connected socket, closed on every path.
class Connection {
public:
    Connection() = default;
    // Dials; on failure open() is false and o says why.
    Connection(const Dial& dial, Outcome& o);
    ~Connection() { close(); }
    Connection(Connection&& other) noexcept : sd_(other.sd_) { other.sd_ = -1; }
    Connection& operator=(Connection&& other) noexcept;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int sd() const { return sd_; }
    bool open() const { return sd_ >= 0; }
    void close();

private:
    int sd_ = -1;
};

// The receiver's lines under the extension, one at a time; bytes that came after a line
// wait for the next one.
class LineReader {
public:
    enum class Got { line, closed, timeout, too_long, failed };
    // The next line (without its CR) within wait; f holds the library's account of a
    // connection that failed or closed.
    Got next(int sd, std::chrono::milliseconds wait, std::string& line, cli::Failure& f);
    void clear() { pending_.clear(); }

private:
    std::string pending_;
};

// A send that failed, taken into o: the receiver stopped taking data (stalled), ended the
// connection (closed), or it failed otherwise.
void send_failed(Outcome& o, char st);
// Sends bytes whole within the body's time-out; false with o saying how it failed.
bool send_bytes(int sd, const std::string& bytes, Outcome& o);

}  // namespace tx

#endif
