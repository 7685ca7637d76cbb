// Reading catchr's command line. The legacy form, a port alone, stays as it was.
#include "options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <optional>

#include "pins.h"

namespace rx {

namespace {

bool parse_port(const std::string& text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    const unsigned long value = std::stoul(text);
    if (value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// A count for the limits: 1 to 100000.
bool parse_count(const std::string& text, std::uint64_t& n) {
    if (text.empty() || text.size() > 6 ||
        !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    n = std::stoull(text);
    return n >= 1 && n <= 100000;
}

}  // namespace

bool parse_size(const std::string& text, std::uint64_t& bytes) {
    static const std::string units = "KMGT";
    std::string digits = text;
    int shift = 0;
    if (!digits.empty()) {
        const auto unit = units.find(static_cast<char>(std::toupper(static_cast<unsigned char>(digits.back()))));
        if (unit != std::string::npos) {
            shift = 10 * static_cast<int>(unit + 1);
            digits.pop_back();
        }
    }
    if (digits.empty() || digits.size() > 15 ||
        !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return false;
    const std::uint64_t value = std::stoull(digits);
    if (shift > 0 && value > (UINT64_MAX >> shift)) return false;
    bytes = value << shift;
    return true;
}

bool parse_net(const std::string& text, Net& net) {
    const auto slash = text.find('/');
    const std::string host = text.substr(0, slash);
    in_addr a{};
    // Four decimal parts only: the platform's loose forms would surprise.
    if (std::count(host.begin(), host.end(), '.') != 3 || inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
    unsigned bits = 32;
    if (slash != std::string::npos) {
        const std::string len = text.substr(slash + 1);
        if (len.empty() || len.size() > 2 ||
            !std::all_of(len.begin(), len.end(), [](unsigned char c) { return std::isdigit(c); }))
            return false;
        bits = static_cast<unsigned>(std::stoul(len));
        if (bits > 32) return false;
    }
    net.mask = bits == 0 ? 0 : ~std::uint32_t{0} << (32 - bits);
    net.address = ntohl(a.s_addr) & net.mask;
    return true;
}

bool allowed(const std::vector<Net>& nets, std::uint32_t peer) {
    return nets.empty() || std::any_of(nets.begin(), nets.end(), [&](const Net& n) {
               return (peer & n.mask) == n.address;
           });
}

namespace {

// An option that takes a value (the argument after it): sets it in o; the reason when the
// value is bad, "" when it was taken; nothing when arg is no such option.
std::optional<std::string> take_value(const std::string& arg, const std::string& v, Options& o) {
    std::uint64_t n = 0;
    if (arg == "-d") {
        if (v.empty()) return "-d needs a directory";
        o.dir = v;
    } else if (arg == "-p") {
        if (!parse_port(v, o.port)) return "bad port \"" + v + "\": a number from 0 to 65535";
    } else if (arg == "--min-free") {
        if (!parse_size(v, n)) return "bad --min-free \"" + v + "\": a size such as 500M or 2G";
        o.min_free = n;
    } else if (arg == "--min-rate") {
        if (!parse_size(v, o.min_rate)) return "bad --min-rate \"" + v + "\": bytes a second, such as 1K";
    } else if (arg == "--max-connections" || arg == "--per-address" || arg == "--rate-window") {
        if (!parse_count(v, n)) return "bad " + arg + " \"" + v + "\": a whole number from 1 to 100000";
        if (arg == "--max-connections") o.max_connections = static_cast<std::size_t>(n);
        else if (arg == "--per-address") o.per_address = static_cast<std::size_t>(n);
        else o.rate_window_secs = static_cast<std::uint32_t>(n);
    } else if (arg == "--keep-partial") {
        if (v.empty() || v.size() > 5 || v.find_first_not_of("0123456789") != std::string::npos)
            return "bad --keep-partial \"" + v + "\": a whole number of days (0 keeps none)";
        o.keep_partial_days = static_cast<std::uint32_t>(std::stoul(v));
    } else if (arg == "--trust") {
        if (!tls::is_fingerprint(v)) return "bad --trust \"" + v + "\": a key's fingerprint, SHA256: and 43 characters";
        o.trust_fingerprint = v;
        o.action = Options::Action::trust;
    } else if (arg == "--allow") {
        for (std::size_t at = 0; at <= v.size();) {
            const auto comma = std::min(v.find(',', at), v.size());
            Net net;
            const std::string one = v.substr(at, comma - at);
            if (!parse_net(one, net)) return "bad --allow entry \"" + one + "\": an IPv4 address or block such as 10.0.0.0/24";
            o.allow.push_back(net);
            at = comma + 1;
        }
    } else {
        return std::nullopt;
    }
    return "";
}

// A switch: set in o; false when arg is none.
bool take_switch(const std::string& arg, Options& o) {
    if (arg == "-h" || arg == "--help") o.action = Options::Action::help;
    else if (arg == "-V" || arg == "--version") o.action = Options::Action::version;
    else if (arg == "-q") o.quiet = true;
    else if (arg == "-v") o.verbose = true;
    else if (arg == "--confine") o.confine = true;
    else if (arg == "--no-clobber") o.no_clobber = true;
    else if (arg == "--no-exec-bits") o.exec_bits = false;
    else if (arg == "--secure") o.secure = true;
    else if (arg == "--fingerprint") o.action = Options::Action::fingerprint;
    else return false;
    return true;
}

bool takes_value(const std::string& arg) {
    static const char* const with_value[] = {"-d", "-p", "--min-free", "--min-rate", "--max-connections",
                                             "--per-address", "--rate-window", "--allow", "--keep-partial", "--trust"};
    return std::find(std::begin(with_value), std::end(with_value), arg) != std::end(with_value);
}

}  // namespace

Options parse_options(const std::vector<std::string>& args) {
    Options o;
    bool port_seen = false;
    auto fail = [&](std::string why) {
        o.action = Options::Action::usage_error;
        o.error = std::move(why);
    };
    for (std::size_t i = 0; i < args.size() && (o.action == Options::Action::run || o.action == Options::Action::trust);
         ++i) {
        const std::string& arg = args[i];
        if (take_switch(arg, o)) continue;
        if (takes_value(arg)) {
            if (i + 1 >= args.size()) {
                fail("option " + arg + " needs a value");
            } else if (const std::string why = *take_value(arg, args[++i], o); !why.empty()) {
                fail(why);
            }
            port_seen = port_seen || arg == "-p";
        } else if (arg.size() > 1 && arg[0] == '-') {
            fail("unknown option " + arg);
        } else if (!port_seen) {
            if (!parse_port(arg, o.port)) fail("bad port \"" + arg + "\": a number from 0 to 65535");
            port_seen = true;
        }
        // Further bare arguments are ignored, as they always were.
    }
    return o;
}

std::string usage_text() {
    return "Usage: catchr [OPTIONS] [PORT]\n"
           "Receives files sent by pitchr and stores each under the name (and directory) its\n"
           "sender gives, until a key is pressed or it is stopped.\n"
           "\n"
           "  PORT, -p PORT        the port to listen on (default 9500)\n"
           "  -d DIR               receive into DIR instead of the working directory\n"
           "  --confine            refuse files that would land outside the receiving directory\n"
           "                       (absolute or \"..\" destinations, any symbolic link on the way)\n"
           "  --no-clobber         never replace an existing file\n"
           "  --allow NET[,NET...] take connections only from these IPv4 addresses or blocks\n"
           "                       (10.0.0.7, 10.0.0.0/24)\n"
           "  --no-exec-bits       no execute bits for names ending in .sh or .bin\n"
           "  --min-free SIZE      leave SIZE free on the receiving disk (K, M, G, T; default\n"
           "                       1% of the disk or 1G, whichever is smaller)\n"
           "  --keep-partial DAYS  remove parts of broken sends kept for resuming after DAYS\n"
           "                       days without a write (default 7; 0 keeps none)\n"
           "  --max-connections N  connections served at once (default 64)\n"
           "  --per-address N      connections at once from one address (default 8)\n"
           "  --min-rate BYTES     when all are taken, a body slower than this many bytes a\n"
           "                       second gives way to a newcomer (default 1K)\n"
           "  --rate-window SECS   over how many seconds a body's rate is measured (default 10)\n"
           "  --secure             take files only over TLS and only from trusted senders\n"
           "  --trust FINGERPRINT  add a sender's key to the trusted senders, print them, exit\n"
           "  --fingerprint        print the fingerprint of this receiver's key, exit\n"
           "  -q                   print errors only\n"
           "  -v                   with each failure, the internal trail behind it\n"
           "  -h, --help           this text\n"
           "  -V, --version        the version\n"
           "\n"
           "Exit status: 1 after a key press or a stop signal, 2 for a usage error, 3 when the\n"
           "port cannot be listened on.\n";
}

}  // namespace rx
