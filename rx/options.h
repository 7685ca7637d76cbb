// catchr's command line: the port (bare, as always, or -p) and the write policy options.
#ifndef RX_OPTIONS_H
#define RX_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rx {

// An IPv4 block, both values in host byte order.
struct Net {
    std::uint32_t address = 0;
    std::uint32_t mask = 0;
};

struct Options {
    // trust: adds trust_fingerprint to the trusted senders and exits.
    enum class Action { run, help, version, trust, fingerprint, usage_error };
    Action action = Action::run;
    std::string error;  // what was wrong, for usage_error

    std::uint16_t port = 9500;
    std::string dir;            // -d: receive here instead of the working directory
    bool confine = false;       // stored files stay inside the receiving directory
    bool no_clobber = false;    // existing files are never replaced
    bool exec_bits = true;      // ".sh" and ".bin" get execute bits
    bool quiet = false;         // -q: errors only
    bool verbose = false;       // -v: failures with the library's whole trail
    std::vector<Net> allow;     // peers allowed in; empty: all
    std::optional<std::uint64_t> min_free;  // --min-free: bytes kept free on the destination
    std::uint32_t keep_partial_days = 7;    // kept parts older than this are removed
    // Fair shares: connections at once, and from one address; a body below min_rate bytes
    // a second over rate_window_secs gives way to a newcomer when all are taken.
    std::size_t max_connections = 64;
    std::size_t per_address = 8;
    std::uint64_t min_rate = 1024;
    std::uint32_t rate_window_secs = 10;
    bool secure = false;            // files only over TLS, only from trusted senders
    std::string trust_fingerprint;  // --trust
};

// Reads args (without the program name).
Options parse_options(const std::vector<std::string>& args);

// "10.0.0.7" or "10.0.0.0/24"; false for anything else.
bool parse_net(const std::string& text, Net& net);

// Whether a peer (host byte order) may connect: any, when nets is empty.
bool allowed(const std::vector<Net>& nets, std::uint32_t peer);

// "0", "512", "64K", "100M", "1G", "2T" (powers of 1024); false for anything else.
bool parse_size(const std::string& text, std::uint64_t& bytes);

std::string usage_text();

}  // namespace rx

#endif
