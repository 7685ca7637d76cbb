// catchr: receives files sent by pitchr and stores each under the name (and directory) its
// sender announced. Serves many senders at once in one thread; runs until a key is pressed
// or it is told to stop.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "lb.h"
#include "listeners.h"
#include "loop.h"
#include "options.h"
#include "receiver.h"
#include "stop_watch.h"

namespace {

constexpr int usage_status = 2;
constexpr int cannot_listen_status = 3;

// The mode a stored file gets: that of any new file of this user.
mode_t new_file_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
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
    rules.file_mode = new_file_mode();
    rules.exec_bits = opt.exec_bits;
    // Every destination is reached from here, whatever becomes of the name it was given by.
    rules.store = {::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC), opt.confine, opt.no_clobber, opt.min_free};
    if (rules.store.root_fd >= 0) return true;
    std::fprintf(stderr, "catchr: cannot open the receiving directory: %s\n", std::strerror(errno));
    return false;
}

// Listens and serves until a key or a stop signal; the exit status.
int serve(const rx::Options& opt, const rx::Rules& rules) {
    rx::View view(stdout, ::isatty(STDOUT_FILENO) == 1, opt.quiet);
    if (view.tty() && !opt.confine)
        view.line("Note: any host that reaches port " + std::to_string(opt.port) +
                  " can write files wherever this user can; --confine keeps them inside the receiving directory.");
    rx::StopWatch stop;
    SCK_SYS_OP();
    rx::Loop loop;
    rx::Receiver receiver(opt, rules, loop, view);
    rx::Listeners listeners(opt.port, view);
    if (!listeners.start([&](int lsd) { receiver.listen_on(lsd); })) return cannot_listen_status;
    if (listeners.watch_sd() >= 0) loop.watch(listeners.watch_sd(), POLLIN, [&](short) { listeners.on_address_change(); });

    while (!stop.requested()) {
        loop.turn(stop.before_turn(loop, receiver.before_turn(rx::Clock::now())), stop.wait_mask());
        receiver.after_turn(rx::Clock::now());
    }
    receiver.close_all();  // every connection ends without a reply, its work file removed
    if (stop.by_key()) getch();
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
        case rx::Options::Action::run:
            break;
    }
    rx::Rules rules;
    return make_rules(opt, rules) ? serve(opt, rules) : usage_status;
}
