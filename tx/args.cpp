// Reading pitchr's command line. Each argument is taken for exactly one thing, and what
// cannot be told apart is an error rather than a guess.
#include "args.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "shown.h"

namespace tx {

namespace {

bool all_digits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool starts_with_to(const std::string& arg) {
    return arg.size() >= 3 && std::toupper(static_cast<unsigned char>(arg[0])) == 'T' &&
           std::toupper(static_cast<unsigned char>(arg[1])) == 'O' && arg[2] == ':';
}

// Letters, digits and hyphens in dot-separated labels, with a letter somewhere: a name a
// resolver could know. Anything else (wild cards, slashes) is no host, and neither are the
// loose numeric forms the platform would read as addresses ("0x7f000101").
bool host_name_form(const std::string& text) {
    if (text.empty() || text.size() > 253 || text.front() == '.' || text.back() == '.') return false;
    in_addr loose{};
    if (::inet_aton(text.c_str(), &loose)) return false;
    bool letter = false;
    char prev = '.';
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '.' && prev == '.') return false;
        if (!std::isalnum(u) && c != '-' && c != '.') return false;
        letter = letter || std::isalpha(u);
        prev = c;
    }
    return letter;
}

// An address as given: the host, and the port after a colon if there is one.
struct Address {
    std::string host;
    std::uint16_t port = 0;
    bool has_port = false;
};

// Splits "host:port"; a text without a colon is all host.
bool split_port(const std::string& arg, Address& a) {
    const auto colon = arg.rfind(':');
    a.has_port = colon != std::string::npos;
    a.host = a.has_port ? arg.substr(0, colon) : arg;
    return !a.has_port || parse_port(arg.substr(colon + 1), a.port);
}

// A dotted quad, maybe with ":PORT".
bool dotted_address(const std::string& arg, Address& a) { return split_port(arg, a) && is_dotted_quad(a.host); }

class Parser {
public:
    Parser(const World& world) : world_(world) {}

    Args run(const std::vector<std::string>& args) {
        for (std::size_t i = 0; i < args.size() && a_.action == Args::Action::send; ++i) {
            const std::string& arg = args[i];
            if (rest_are_specs_) {
                a_.fspecs.push_back(arg);
            } else if (arg == "--") {
                rest_are_specs_ = true;
            } else if (arg.size() > 1 && arg[0] == '-') {
                option(args, i);
            } else {
                free_form(arg);
            }
        }
        if (a_.action == Args::Action::send && a_.fspecs.empty())
            fail("nothing to send: name at least one file-spec");
        // The default address only when nothing could have been meant as the address.
        if (a_.action == Args::Action::send && !a_.address_given && !file_like_address_.empty())
            fail("\"" + file_like_address_ + "\" is a file here and also an address: name the receiver's address "
                 "too, or write \"./" + file_like_address_ + "\" for the file");
        return a_;
    }

private:
    void fail(std::string why) {
        a_.action = Args::Action::usage_error;
        a_.error = std::move(why);
    }

    // The value of an option: what follows its letter, or the next argument.
    bool value(const std::vector<std::string>& args, std::size_t& i, std::size_t at, std::string& out) {
        if (at < args[i].size()) {
            out = args[i].substr(at);
            return true;
        }
        if (i + 1 >= args.size()) {
            fail("option " + args[i].substr(0, at) + " needs a value");
            return false;
        }
        out = args[++i];
        return true;
    }

    void option(const std::vector<std::string>& args, std::size_t& i) {
        const std::string& arg = args[i];
        if (arg == "--help") return help();
        if (arg == "--version") return version();
        if (arg == "--fingerprint") {
            a_.action = Args::Action::fingerprint;
            return;
        }
        static const std::pair<std::string_view, bool Args::*> switches[] = {
            {"--keep-going", &Args::keep_going}, {"--classic", &Args::classic}, {"--update", &Args::update},
            {"--dry-run", &Args::dry_run}, {"--secure", &Args::secure}};
        for (const auto& [name, field] : switches)
            if (arg == name) {
                a_.*field = true;
                return;
            }
        std::string v;
        if (arg == "--retries" || arg.starts_with("--retries=")) {
            if (long_value(args, i, "--retries", v)) set_retries(v);
            return;
        }
        if (arg == "--jobs" || arg.starts_with("--jobs=")) {
            if (long_value(args, i, "--jobs", v)) set_jobs("--jobs", v);
            return;
        }
        if (arg.rfind("--", 0) == 0) return fail("unknown option " + arg);
        // Short options, which may be joined ("-rk"); -p and -t take the rest or the next.
        for (std::size_t at = 1; at < arg.size() && a_.action == Args::Action::send; ++at) {
            switch (arg[at]) {
                case 'h': return help();
                case 'V': return version();
                case 'k': a_.keep_going = true; break;
                case 'r': a_.recursive = true; break;
                case 'a': a_.hidden = true; break;
                case 'v': a_.verbose = true; break;
                case 'u': a_.update = true; break;
                case 'n': a_.dry_run = true; break;
                case 'j':
                    if (!value(args, i, at + 1, v)) return;
                    return set_jobs("-j", v);
                case 'p': {
                    std::uint16_t port = 0;
                    if (!value(args, i, at + 1, v)) return;
                    if (!parse_port(v, port)) return fail("-p needs a port from 0 to 65535, not \"" + v + "\"");
                    return set_port(port, v);
                }
                case 't':
                    if (!value(args, i, at + 1, v)) return;
                    return set_destination(v);
                default: return fail(std::string("unknown option -") + arg[at]);
            }
        }
    }

    // The value of "--NAME N" or "--NAME=N".
    bool long_value(const std::vector<std::string>& args, std::size_t& i, const std::string& name, std::string& v) {
        if (args[i] == name) return value(args, i, args[i].size(), v);
        v = args[i].substr(name.size() + 1);
        return true;
    }

    void set_retries(const std::string& v) {
        if (!all_digits(v) || v.size() > 2 || std::stoul(v) > retries_mx)
            return fail("--retries needs a count from 0 to " + std::to_string(retries_mx) + ", not \"" +
                        cli::shown(v) + "\"");
        a_.retries = static_cast<unsigned>(std::stoul(v));
    }

    void set_jobs(const std::string& name, const std::string& v) {
        if (!all_digits(v) || v.size() > 2 || std::stoul(v) < 1 || std::stoul(v) > jobs_mx)
            return fail(name + " needs a number of connections from 1 to " + std::to_string(jobs_mx) + ", not \"" +
                        cli::shown(v) + "\"");
        a_.jobs = static_cast<unsigned>(std::stoul(v));
    }

    void help() { a_.action = Args::Action::help; }
    void version() { a_.action = Args::Action::version; }

    void free_form(const std::string& arg) {
        std::uint16_t port = 0;
        Address address;
        if (world_.exists(arg)) {
            a_.fspecs.push_back(arg);
            if (file_like_address_.empty() && dotted_address(arg, address)) file_like_address_ = arg;
        } else if (starts_with_to(arg)) {
            set_destination(arg.substr(3));
        } else if (parse_port(arg, port)) {
            set_port(port, arg);
        } else if (dotted_address(arg, address) || (split_port(arg, address) && host_name_form(address.host) &&
                                                     world_.resolves(address.host))) {
            set_address(address, arg);
        } else if (is_pattern(arg)) {
            a_.fspecs.push_back(arg);
        } else {
            fail("\"" + cli::shown(arg) + "\" is neither a file here nor an address");
        }
    }

    void set_destination(const std::string& dir) {
        if (dest_given_ && dir != a_.destdir)
            return fail("two destination directories: \"" + a_.destdir + "\" and \"" + dir + "\"");
        dest_given_ = true;
        a_.destdir = dir;
    }

    void set_port(std::uint16_t port, const std::string& as_given) {
        if (port_given_ && port != a_.port)
            return fail("two ports: " + std::to_string(a_.port) + " and " + as_given);
        port_given_ = true;
        a_.port = port;
    }

    void set_address(const Address& a, const std::string& as_given) {
        if (a.host == "0.0.0.0" || a.host == "255.255.255.255") return fail(a.host + " is no receiver's address");
        if (a_.address_given && a.host != a_.address)
            return fail("two addresses: " + a_.address + " and " + as_given);
        a_.address_given = true;
        a_.address = a.host;
        if (a.has_port) set_port(a.port, as_given);
    }

    const World& world_;
    Args a_;
    bool rest_are_specs_ = false;
    bool dest_given_ = false;
    bool port_given_ = false;
    std::string file_like_address_;  // the first existing file named like an address
};

}  // namespace

bool parse_port(const std::string& text, std::uint16_t& port) {
    if (!all_digits(text) || text.size() > 5) return false;
    const unsigned long value = std::stoul(text);
    if (value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool is_dotted_quad(const std::string& text) {
    std::size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const std::size_t end = part < 3 ? text.find('.', start) : text.size();
        if (end == std::string::npos) return false;
        const std::string digits = text.substr(start, end - start);
        if (!all_digits(digits) || digits.size() > 3 || (digits.size() > 1 && digits[0] == '0') ||
            std::stoi(digits) > 255)
            return false;
        start = end + 1;
    }
    return true;
}

bool is_pattern(const std::string& fspec) {
    const auto slash = fspec.rfind('/');
    return fspec.find('*', slash == std::string::npos ? 0 : slash + 1) != std::string::npos;
}

Args parse_args(const std::vector<std::string>& args, const World& world) { return Parser(world).run(args); }

std::string usage_text(const std::string& program) {
    return "Usage: " + program +
           " [OPTIONS] FILE-SPEC... [TO:DIR] [ADDRESS[:PORT]] [PORT]\n"
           "Sends files to a catchr receiver. A receiver of this version checks each file's bytes\n"
           "on arrival, and a send that broke goes on where it stopped.\n"
           "\n"
           "  FILE-SPEC        a file, a directory (its files), or a name pattern with * (quote it)\n"
           "  TO:DIR, -t DIR   the receiver's directory to store into (default: its own)\n"
           "  ADDRESS          the receiver: a dotted IPv4 address or a host name\n"
           "                   (default " +
           std::string(default_address) +
           ")\n"
           "  PORT, -p PORT    the receiver's port (default 9500)\n"
           "  -r               send the whole tree below each directory, rebuilt on the receiver\n"
           "  -a               send hidden files too\n"
           "  -k, --keep-going send every file even after a failure; list the failures at the end\n"
           "  -u, --update     send only the files the receiver does not have with the same size and\n"
           "                   modification time\n"
           "  -n, --dry-run    list what would be sent, and send nothing\n"
           "  -j, --jobs N     send over N connections at once (1 to 16; default: one for each 64\n"
           "                   files, up to " + std::to_string(default_jobs) + ")\n"
           "  -v               after each failure, the internal trail of what failed\n"
           "  --retries N      try a send that broke N times more, resuming it (default 3; 0: never)\n"
           "  --classic        send by the classic protocol only: no check of the bytes, no resume\n"
           "  --secure         send only to a receiver paired with this sender, over TLS\n"
           "  --fingerprint    print the fingerprint of this sender's key, exit\n"
           "  -h, --help       this text\n"
           "  -V, --version    the version\n"
           "  --               everything after it is a file-spec\n"
           "\n"
           "Arguments other than options may come in any order. One that names an existing file or\n"
           "directory is always a file-spec; one that is neither a file here, a pattern, an address\n"
           "nor a port is an error, and nothing is sent.\n"
           "Exit status: 0 when every file arrived, 1 when one did not, 2 for a usage error.\n";
}

}  // namespace tx
