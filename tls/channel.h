// One TLS 1.3 connection over a connected socket that does not block. Both ends show the
// certificate of their Identity; any certificate is taken at this layer, for what decides is
// the peer's fingerprint, which the caller checks against its pins once the handshake is
// done. No call ever waits: each returns what the connection needs next, and the caller
// polls the socket for it.
#ifndef TLS_CHANNEL_H
#define TLS_CHANNEL_H

#include <openssl/types.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>

#include "keys.h"

namespace tls {

class Context;

class Channel {
public:
    using Clock = std::chrono::steady_clock;
    enum class Role { client, server };
    enum class Step { done, want_read, want_write, failed };

    // A connection of the context's side. sd stays the caller's: the channel neither closes
    // it nor changes its flags. A channel that could not be set up is failed() from the
    // start, with why().
    Channel(int sd, const Context& context, Clock::time_point now = Clock::now());
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Goes on with the handshake as far as the socket allows.
    Step handshake();
    bool done() const { return last_ == Step::done; }
    bool failed() const { return last_ == Step::failed; }
    // Why the channel failed, in words for a person.
    const std::string& why() const { return why_; }
    // The poll events the last call waits for (POLLIN or POLLOUT); 0 when it waits for none.
    short events() const;
    // How long since the channel was made, for the caller's handshake deadline.
    Clock::duration waited(Clock::time_point now = Clock::now()) const { return now - start_; }

    // After the handshake: bytes read or written, 0 from read() when the peer closed the
    // connection properly, or -1 with errno: EAGAIN when the socket is not ready (see
    // events()), EPROTO when the TLS layer failed (see why()), else the socket's error.
    ssize_t read(void* buf, std::size_t n);
    ssize_t write(const void* buf, std::size_t n);
    // Tells the peer that no more comes (its read() then gives 0); want_write while the
    // socket has no room for it.
    Step close_notify();

    // The fingerprint of the key the peer proved it holds; "" before the handshake is done.
    std::string peer_fingerprint() const;
    // Six decimal digits both ends derive from this connection's keys, for a person to
    // compare on both terminals; "" before the handshake is done.
    std::string pairing_code() const;

private:
    struct FreeSsl {
        void operator()(SSL* s) const;
    };
    // The step of a call into the TLS library that returned ret; sets errno and why_.
    Step after(int ret, const char* doing);
    // read() or write() before the handshake is done: -1, errno ENOTCONN (EPROTO once failed).
    ssize_t not_ready();

    std::unique_ptr<SSL, FreeSsl> ssl_;
    int sd_;
    Clock::time_point start_;
    Step last_ = Step::want_read;  // the handshake's, or failed once anything failed
    short want_ = 0;               // see events()
    std::string why_;
};

// What every connection of one side shares: its identity's certificate and key, TLS 1.3 only,
// the peer's certificate asked for. Made once, for as many channels as come, from any thread.
class Context {
public:
    Context(Channel::Role role, const Identity& id);
    ~Context();
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    Channel::Role role() const { return role_; }
    // The identity's fingerprint, as peers know this side.
    const std::string& fingerprint() const { return fingerprint_; }
    // Why no channel of it can be set up; "" when they can.
    const std::string& why() const { return why_; }

private:
    friend class Channel;
    SSL_CTX* ctx_;
    Channel::Role role_;
    std::string fingerprint_;
    std::string why_;
};

}  // namespace tls

#endif
