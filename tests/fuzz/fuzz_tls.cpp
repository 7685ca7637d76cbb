// A server Channel's handshake fed arbitrary bytes as its peer's, who then stops sending.
//
// What must hold: the handshake ends failed, with a reason, within a bounded number of
// turns (it never waits for bytes that cannot come, never finishes without a client that
// holds the keys), and nothing it does reads or writes out of bounds.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "channel.h"
#include "fuzz_support.h"
#include "keys.h"

namespace {

// Each turn either takes bytes or ends: many more than the input could need means a loop.
constexpr int max_turns = 64;

// The receiver's side, made once as the receiver makes it.
const tls::Context& server_side() {
    static const tls::Context context = [] {
        std::string why;
        const auto made = tls::Identity::generate(why);
        if (!made) fuzz::fail("no key: %s", why.c_str());
        return tls::Context(tls::Channel::Role::server, *made);
    }();
    return context;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::Bytes input(data, size, false);
    int sd[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sd) != 0) fuzz::fail("no socket pair");
    std::size_t fed = 0;
    tls::Channel server(sd[1], server_side());
    int turns = 0;
    for (; turns < max_turns && server.handshake() != tls::Channel::Step::failed; ++turns) {
        // The peer: its bytes as the socket takes them, then its end; the server's answers
        // are read and dropped.
        const ssize_t n = fed < size ? write(sd[0], input.get() + fed, size - fed) : 0;
        if (n > 0) fed += static_cast<std::size_t>(n);
        if (fed == size) shutdown(sd[0], SHUT_WR);
        char drop[16384];
        while (read(sd[0], drop, sizeof drop) > 0) {
        }
        pollfd fd{sd[1], server.events(), 0};
        poll(&fd, 1, 100);
    }
    if (!server.failed() || server.why().empty())
        fuzz::fail("after %d turns on %zu bytes the handshake is %s", turns, size,
                   server.done() ? "done" : "still waiting");
    close(sd[0]);
    close(sd[1]);
    return 0;
}
