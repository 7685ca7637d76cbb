// pitchr's command line: options, and the free-order form in which file-specs, "TO:DIR",
// the receiver's address and its port may come in any order.
#ifndef TX_ARGS_H
#define TX_ARGS_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tx {

inline constexpr char default_address[] = "192.168.0.1";
inline constexpr std::uint16_t default_port = 9500;
inline constexpr unsigned default_retries = 3;
// Each try waits twice as long as the one before: ten already wait 17 minutes in all.
inline constexpr unsigned retries_mx = 10;
// Connections at once (-j) at most.
inline constexpr unsigned jobs_mx = 16;
inline constexpr unsigned default_jobs = 4;

struct Args {
    enum class Action { send, help, version, fingerprint, usage_error };
    Action action = Action::send;
    std::string error;               // what was wrong, for usage_error

    std::vector<std::string> fspecs;  // file-specs, in the order given
    std::string address = default_address;
    bool address_given = false;
    std::uint16_t port = default_port;
    std::string destdir;             // the receiver's directory ("TO:" or -t); empty: its own
    bool recursive = false;          // -r
    bool hidden = false;             // -a
    bool keep_going = false;         // -k
    bool verbose = false;            // -v: each failure's internal trail too
    bool classic = false;            // --classic: no hello, the classic protocol only
    bool secure = false;             // --secure: only to a receiver paired over TLS
    unsigned retries = default_retries;  // --retries: tries again of a send that broke
    unsigned jobs = 0;               // -j: connections at once; 0 when not given
    bool update = false;             // -u: only the files the receiver does not have as they are
    bool dry_run = false;            // -n: list what would be sent, send nothing
};

// What the parser asks of the world, so that tests can answer: whether a name is an
// existing file or directory (or a link), and whether a host name resolves to an IPv4
// address.
struct World {
    std::function<bool(const std::string&)> exists;
    std::function<bool(const std::string&)> resolves;
};

// Reads args (without the program name). An argument that is none of the things it could
// be (a file here, a pattern, an address, a port, TO:DIR, an option) is a usage error: a
// mistyped address must not turn the default one into the receiver.
Args parse_args(const std::vector<std::string>& args, const World& world);

// A strict port: decimal digits only, 0 to 65535.
bool parse_port(const std::string& text, std::uint16_t& port);
// A strict IPv4 address: four decimal parts of 0 to 255, no signs or leading zeros.
bool is_dotted_quad(const std::string& text);
// A name pattern: a "*" in the last part of the path.
bool is_pattern(const std::string& fspec);

// The help text, naming the program as it was called.
std::string usage_text(const std::string& program);

}  // namespace tx

#endif
