// catchr: receives files sent by pitchr and stores each under the name (and directory) its
// sender announced. Serves many senders at once in one thread; runs until a key is pressed
// or it is told to stop.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "channel.h"
#include "keys.h"
#include "kept.h"
#include "lb.h"
#include "listeners.h"
#include "loop.h"
#include "options.h"
#include "pairing.h"
#include "pins.h"
#include "receiver.h"
#include "shown.h"
#include "stop_watch.h"

namespace {

constexpr int usage_status = 2;
constexpr int cannot_listen_status = 3;
constexpr std::uint16_t default_port = 9500;
// How long a question to stop stays asked.
constexpr auto confirm_window = std::chrono::seconds(10);

mode_t read_umask() {
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// The rules every connection lives by; false (with the cause printed) when the receiving
// directory cannot be used.
bool make_rules(const rx::Options& opt, rx::Rules& rules) {
    if (!opt.dir.empty() && ::chdir(opt.dir.c_str()) != 0) {
        std::fprintf(stderr, "catchr: cannot receive into \"%s\": %s\n", opt.dir.c_str(), std::strerror(errno));
        return false;
    }
    rules.min_rate = opt.min_rate;
    rules.rate_window = std::chrono::seconds(opt.rate_window_secs);
    // A stored file gets the mode of any new file of this user.
    rules.umask = read_umask();
    rules.file_mode = 0666 & ~rules.umask;
    rules.exec_bits = opt.exec_bits;
    rules.verbose = opt.verbose;
    // Every destination is reached from here, whatever becomes of the name it was given by.
    rules.store = {::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), opt.confine, opt.no_clobber, opt.min_free,
                   opt.keep_partial_days};
    if (rules.store.root_fd >= 0) return true;
    std::fprintf(stderr, "catchr: cannot open the receiving directory: %s\n", std::strerror(errno));
    return false;
}

// The receiver's key, for TLS; without one it goes on, offering no TLS.
std::optional<tls::Identity> load_identity(rx::Rules& rules, bool secure) {
    rules.pins_dir = tls::config_dir("catchr");
    std::string why;
    std::optional<tls::Identity> id = tls::own_identity("catchr", why);
    if (!id)
        std::fprintf(stderr, secure ? "catchr: --secure needs TLS, and TLS needs the receiver's key: %s\n"
                                    : "catchr: receiving without TLS: %s\n",
                     cli::shown(why).c_str());
    return id;
}

// Whether dir is the working directory (the receiving one) or lies inside it.
bool inside_here(const std::string& dir) {
    char* here = ::realpath(".", nullptr);
    char* there = ::realpath(dir.c_str(), nullptr);
    const std::string h = here ? here : "", t = there ? there : "";
    std::free(here);
    std::free(there);
    return !h.empty() && !t.empty() && (t == h || t.starts_with(h == "/" ? h : h + "/"));
}

// catchr --fingerprint: the receiver's key, made now if it has none yet.
int fingerprint() {
    std::string why;
    const std::optional<tls::Identity> id = tls::own_identity("catchr", why);
    if (!id) {
        std::fprintf(stderr, "catchr: %s\n", cli::shown(why).c_str());
        return 1;
    }
    std::printf("%s\n", id->fingerprint().c_str());
    return 0;
}

// catchr --trust: the sender's key joins the trusted senders, and the list is shown.
int trust(const std::string& fingerprint) {
    const std::string dir = tls::config_dir("catchr");
    tls::TrustedSenders senders;
    std::string why = "no directory for the trusted senders: neither HOME nor XDG_CONFIG_HOME is set";
    if (dir.empty() || !senders.load(dir, why) || !senders.add(fingerprint, "trusted on " + rx::today(), why)) {
        std::fprintf(stderr, "catchr: %s\n", cli::shown(why).c_str());
        return 1;
    }
    const std::string path = dir + "/" + tls::trusted_senders_file;
    std::printf("Trusted senders (%s):\n", cli::shown(path).c_str());
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) std::printf("%s\n", cli::shown(line).c_str());
    return 0;
}

// Once, on a terminal: where files go, what to type on the other PC, how to stop.
void first_screen(rx::View& view, const rx::Options& opt, const rx::Listeners& listeners) {
    char* here = ::realpath(".", nullptr);
    view.line("Receiving into " + cli::shown(here ? here : "."));
    std::free(here);
    const std::string port = opt.port == default_port ? "" : " -p " + std::to_string(opt.port);
    const std::string address = listeners.first_address();
    view.line("On the sending PC, type: pitchr FILE " + (address.empty() ? "ADDRESS" : address) + port);
    view.line("Press q to stop (while files arrive, it asks first).");
}

// A key stops the receiver at once while nothing arrives; while files arrive, it asks, and
// q within a few seconds stops it.
bool key_stops(rx::View& view, const rx::Receiver& receiver, int key, rx::Clock::time_point& asked_until) {
    const auto now = rx::Clock::now();
    const std::size_t busy = receiver.arriving();
    if (busy == 0 || ((key == 'q' || key == 'Q') && now < asked_until)) return true;
    asked_until = now + confirm_window;
    view.notice(std::to_string(busy) + (busy == 1 ? " transfer" : " transfers") + " in progress: press q again to stop",
                asked_until);
    return false;
}

// Listens and serves until a key or a stop signal; the exit status.
int serve(const rx::Options& opt, rx::Rules& rules) {
    rx::View view(stdout, ::isatty(STDOUT_FILENO) == 1, opt.quiet);
    if (view.tty() && !opt.confine)
        view.line(std::string("Note: ") +
                  (opt.secure ? "trusted senders" : "any host that reaches port " + std::to_string(opt.port)) +
                  " can write files wherever this user can; --confine keeps them inside the receiving directory.");
    // Parts of sends that broke long ago and never came back.
    if (rules.store.sweeps->due(rules.store.root_fd, rx::Clock::now()))
        for (const std::string& line : rx::sweep_parts(rules.store.root_fd, "", rules.store.keep_days, std::time(nullptr)))
            view.line(line);
    rx::StopWatch stop;
    // Senders it does not know are put to a person at the keyboard, when there is one.
    rx::Pairing pairing(view, rules.pins_dir);
    if (rules.secure && stop.keys()) rules.pairing = &pairing;
    SCK_SYS_OP();
    rx::Loop loop;
    rx::Receiver receiver(opt, rules, loop, view);
    rx::Listeners listeners(opt.port, view, opt.verbose);
    if (!listeners.start([&](int lsd) { receiver.listen_on(lsd); })) return cannot_listen_status;
    if (listeners.watch_sd() >= 0) loop.watch(listeners.watch_sd(), POLLIN, [&](short) { listeners.on_address_change(); });
    if (view.tty()) first_screen(view, opt, listeners);
    rx::Clock::time_point asked_until{};
    stop.key_rule([&](int key) {
        return !(rules.pairing && pairing.key(key, rx::Clock::now())) && key_stops(view, receiver, key, asked_until);
    });

    while (!stop.requested()) {
        loop.turn(stop.before_turn(loop, receiver.before_turn(rx::Clock::now())), stop.wait_mask());
        receiver.after_turn(rx::Clock::now());
    }
    const std::vector<std::string> aborted = receiver.close_all("the receiver was stopped");
    std::string line = "Stopped by " + stop.why();
    if (aborted.empty()) line += "; no file was arriving";
    else line += "; aborted, nothing stored: ";
    for (std::size_t i = 0; i < aborted.size(); ++i) line += (i ? ", " : "") + aborted[i];
    view.line(line);
    SCK_SYS_CL();
    if (err_) view.error(ERR_S());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const rx::Options opt = rx::parse_options(std::vector<std::string>(argv + 1, argv + argc));
    switch (opt.action) {
        case rx::Options::Action::help:
            std::fputs(rx::usage_text().c_str(), stdout);
            return 0;
        case rx::Options::Action::version:
            std::printf("catchr %s\n", CATCHR_PITCHR_VERSION);
            return 0;
        case rx::Options::Action::usage_error:
            std::fprintf(stderr, "catchr: %s\nTry 'catchr --help' for the command line.\n", opt.error.c_str());
            return usage_status;
        case rx::Options::Action::trust:
            return trust(opt.trust_fingerprint);
        case rx::Options::Action::fingerprint:
            return fingerprint();
        case rx::Options::Action::run:
            break;
    }
    rx::Rules rules;
    if (!make_rules(opt, rules)) return usage_status;
    const std::optional<tls::Identity> identity = load_identity(rules, opt.secure);
    std::optional<tls::Context> context;  // made once for every connection
    if (identity) context.emplace(tls::Channel::Role::server, *identity);
    rules.tls = context ? &*context : nullptr;
    rules.secure = opt.secure;
    // --confine keeps senders inside the receiving directory: its key must not be there.
    if (identity && opt.confine && inside_here(rules.pins_dir)) {
        std::fprintf(stderr,
                     "catchr: its key and trusted senders (%s) lie inside the receiving directory, where senders "
                     "may write: receive elsewhere (-d DIR) or keep them elsewhere (XDG_CONFIG_HOME)\n",
                     cli::shown(rules.pins_dir).c_str());
        return usage_status;
    }
    if (opt.secure && !identity) return usage_status;
    return serve(opt, rules);
}
