// pitchr: sends files to a running catchr, over connections that check and resume them when
// the receiver speaks the extension (-j of them at once), else each over a connection of its
// own. Every fspec is expanded before the first file goes; the first failure ends the batch
// unless -k asks for every file. The exit status tells whether every file arrived.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "args.h"
#include "console.h"
#include "expand.h"
#include "keys.h"
#include "lb.h"
#include "outcome.h"
#include "run.h"
#include "shown.h"

namespace {

constexpr int usage_status = 2;
// What a person who ran pitchr without arguments most likely wants to know.
constexpr char first_steps[] = "Send a file: pitchr FILE ADDRESS   (more: pitchr --help)";

using Clock = std::chrono::steady_clock;

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The dotted address of an IPv4 host name; empty when it has none.
std::string resolve(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return "";
    char dotted[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, dotted, sizeof dotted);
    ::freeaddrinfo(found);
    return dotted;
}

// A text of whole lines as Console lines.
void lines(cli::Console& out, std::string text) {
    if (text.ends_with('\n')) text.pop_back();
    out.line(text);
}

// Help, version and usage errors end the run here: the status, or -1 to go on and send.
int answered_at_once(const tx::Args& args, cli::Console& out) {
    switch (args.action) {
        case tx::Args::Action::help: lines(out, tx::usage_text("pitchr")); return 0;
        case tx::Args::Action::version: out.line(std::string("pitchr ") + CATCHR_PITCHR_VERSION); return 0;
        case tx::Args::Action::fingerprint: {
            std::string why;
            const std::optional<tls::Identity> id = tls::own_identity("pitchr", why);
            if (id) out.line(id->fingerprint());
            else cli::Console(stderr, false).line("pitchr: " + cli::shown(why));
            return id ? 0 : 1;
        }
        case tx::Args::Action::usage_error: {
            cli::Console err(stderr, false);
            err.line("pitchr: " + args.error);
            err.line("Try 'pitchr --help' for the command line.");
            return usage_status;
        }
        case tx::Args::Action::send: break;
    }
    return -1;
}

int send_batch(const tx::Args& args, cli::Console& out) {
    if (!args.address_given) out.line(std::string("No address given: sending to the default address ") + tx::default_address);
    const tx::Peer peer{tx::is_dotted_quad(args.address) ? args.address : resolve(args.address), args.port};
    if (peer.ip.empty()) {
        out.error("\"" + cli::shown(args.address) + "\" has no IPv4 address any more; nothing was sent");
        return 1;
    }
    SCK_SYS_OP();
    tx::Listing listing;
    std::string error;
    if (!tx::expand(args, listing, error)) {
        out.error(error);
        return 1;
    }
    for (const std::string& note : listing.notes) out.line(note);
    const auto start = Clock::now();
    tx::Tally t;
    tx::SendRules rules = tx::rules_of(args);
    tx::take_keys(rules, out);
    const bool asked = tx::deliver(listing, peer, tx::dial_peer(peer), args, rules, t, out);
    SCK_SYS_CL();
    if (!asked) return 1;
    if (args.dry_run) return 0;
    tx::report(t, args.keep_going, std::chrono::duration<double>(Clock::now() - start).count(), out);
    return t.failed.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    cli::Console out(stdout, ::isatty(STDOUT_FILENO) == 1);
    if (argc < 2) {
        out.line(tx::usage_text("pitchr"));
        out.line(first_steps);
        return 1;
    }
    const tx::World world{exists, [](const std::string& host) { return !resolve(host).empty(); }};
    const tx::Args args = tx::parse_args(std::vector<std::string>(argv + 1, argv + argc), world);
    if (const int status = answered_at_once(args, out); status >= 0) return status;
    return send_batch(args, out);
}
