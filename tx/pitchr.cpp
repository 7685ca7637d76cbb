// pitchr: sends files to a running catchr, each over a connection of its own. Every
// file-spec is expanded before the first file goes; the first failure ends the batch unless
// -k asks for every file. The exit status tells whether every file arrived.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "args.h"
#include "expand.h"
#include "lb.h"
#include "progress.h"
#include "shown.h"
#include "units.h"

namespace {

constexpr std::uint16_t connect_tmo_secs = 10;
constexpr std::uint16_t linger_secs = 2;
constexpr std::uint16_t body_tmo_secs = 60;
// Files up to this size are sent together with their header.
constexpr std::uint64_t small_body_sz = 64 * 1024;
// The reply may take this long after the body (more than 20 whole seconds ends it).
constexpr std::chrono::seconds reply_wait{21};
// Longest reply line before its CR.
constexpr std::size_t rsp_mxsz = 512;
// Receivers before any-size files read the size line as a signed 32-bit count.
constexpr std::uint64_t old_receiver_mxsz = 0x7FFFFFFFULL;
constexpr int usage_status = 2;

using Clock = std::chrono::steady_clock;

// The legacy help, shown when pitchr is run without arguments.
void legacy_usage() {
    std::printf("%s\n%s\n\n", tx::usage_text("pitchr").c_str(), pgm_web_url);
}

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

std::string take_error() {
    const char* msg = ERR_S();
    return msg && *msg ? msg : "(null)";
}

// One file's descriptor, opened before anything is sent: what is sent is what was checked.
class Source {
public:
    explicit Source(const tx::Item& item) : path_(item.path) {
        if (item.name.find_first_of("\r\n") != std::string::npos) {
            error_ = "\"" + cli::shown(item.path) + "\" cannot be sent: its name holds a CR or LF";
            return;
        }
        // Not blocking: opening a FIFO must not wait for a writer.
        fd_ = ::open(item.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st {};
        if (fd_ < 0) {
            error_ = errno == ENOENT ? "\"" + item.path + "\" not found"
                                     : "\"" + item.path + "\" cannot be opened (" + std::strerror(errno) + ")";
        } else if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            error_ = "\"" + item.path + "\" is not a regular file: " + kind(st.st_mode) + " cannot be sent";
        } else {
            size_ = static_cast<std::uint64_t>(st.st_size);
            ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) & ~O_NONBLOCK);
        }
    }
    ~Source() {
        if (fd_ >= 0) ::close(fd_);
    }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    const std::string& error() const { return error_; }

    // Appends the whole file to out; false (with the error set) when it is not all there.
    bool read_all(std::string& out) {
        const std::size_t at = out.size();
        out.resize(at + size_);
        std::size_t got = 0;
        while (got < size_) {
            const ssize_t n = ::read(fd_, out.data() + at + got, size_ - got);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got == size_) return true;
        error_ = "\"" + path_ + "\" shrank while being sent (0 of " + std::to_string(size_) + " bytes)";
        return false;
    }
    int fd() const { return fd_; }
    std::uint64_t size() const { return size_; }

private:
    static const char* kind(mode_t mode) {
        if (S_ISDIR(mode)) return "a directory";
        if (S_ISFIFO(mode)) return "a FIFO";
        if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
        if (S_ISSOCK(mode)) return "a socket";
        return "it";
    }

    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::string error_;
};

// Reads the reply line: "OK" in any letter case is success, any other text the error.
// False when no reply line came; st tells how the receive failed, as SCK_RECV's status.
bool await_reply(int sd, char& st) {
    std::string rsp;
    const auto deadline = Clock::now() + reply_wait;
    // The reply is the last thing on the connection: it is read as it comes, not a byte at
    // a time.
    char block[rsp_mxsz + 1];
    while (!err_) {
        const std::uint32_t n = SCK_RECV(sd, block, sizeof block, 0, &st);
        if (err_) {
            const std::string why = take_error();
            S_ERR(UT_SM_CP("No reply: the receiver closed the connection (", why.c_str(), ")", nullptr));
            break;
        }
        if (n == 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                S_ERR("Response tmo");
                break;
            }
            pollfd p{sd, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left));
            continue;
        }
        const std::string_view got(block, n);
        const auto cr = got.find('\r');
        rsp.append(got.substr(0, cr));
        if (rsp.size() > rsp_mxsz) {
            rsp.resize(rsp_mxsz);
            SM_ERR("Reply longer than 512 bytes: ", rsp.c_str(), nullptr);
            break;
        }
        if (cr == std::string_view::npos) continue;
        if (rsp.empty()) S_ERR("The receiver replied with an empty line");
        else if (!S_MT(rsp.c_str(), "OK", 0, 1, 0, 0)) S_ERR(cli::shown(rsp).c_str());
        return true;
    }
    return false;
}

// Whether a send or receive status says the peer ended the connection: reset, closed, or
// a broken pipe.
bool closed_by_peer(char st) { return st == 2 || st == 5 || st == 6; }

// An older receiver reads the size line as a 32-bit count: given a larger one, it closes
// without a word while the body is still on its way.
void explain_old_receiver() {
    const std::string why = take_error();
    S_ERR(UT_SM_CP("The receiver does not take files of 2 GiB or more (an older catchr): it closed the "
                   "connection without a reply (", why.c_str(), ")", nullptr));
}

// The connection error, with what the user can do about a refusal.
void explain_connect_failure(const std::string& ip, std::uint16_t port) {
    const std::string why = take_error();
    if (why.find("err #111:") != std::string::npos)
        S_ERR(UT_SM_CP(why.c_str(), ": nothing listens at ", ip.c_str(), ":", V_S10(port, nullptr, 0),
                       " (is catchr running at that address and port?)", nullptr));
    else
        S_ERR(why.c_str());
}

// A body the receiver stopped taking: which file, and how far it got. The library's words
// stay at the end.
void explain_stalled_body(const tx::Item& item, std::uint64_t sent, std::uint64_t size) {
    const std::string why = take_error();
    S_ERR(("\"" + cli::shown(item.path) + "\": the receiver took nothing for " + std::to_string(body_tmo_secs) +
           " s (" + std::to_string(sent) + " of " + std::to_string(size) + " bytes sent) (" + why + ")")
              .c_str());
}

struct Sent {
    bool ok = false;
    std::uint64_t bytes = 0;
    std::string error;
};

void on_progress(void* line, std::uint64_t sent) { static_cast<cli::ProgressLine*>(line)->update(sent); }

// Sends one file: checked and opened first, then connected, the header, the body from the
// same descriptor, and the reply.
Sent send_file(const tx::Item& item, const std::string& ip, std::uint16_t port, bool tty) {
    Sent sent;
    Source src(item);
    std::optional<cli::ProgressLine> line;
    int sd = -1;
    if (src.error().empty()) {
        sd = IP_CONN(ip.c_str(), port, connect_tmo_secs);
        if (err_) explain_connect_failure(ip, port);
    }
    if (tty) {
        line.emplace(stdout, item.path, src.size());
    } else if (item.destdir.empty()) {
        std::printf("%s -> %s:%d\n", item.path.c_str(), ip.c_str(), port);
    } else {
        std::printf("%s -> %s:%d/%s\n", item.path.c_str(), ip.c_str(), port, item.destdir.c_str());
    }
    if (!src.error().empty()) S_ERR(src.error().c_str());
    SCK_BLOCK(sd, 0);
    SCK_LINGER(sd, linger_secs);
    const bool connected = !err_;
    char st = 0;  // how the last send or receive failed
    std::string header = item.name + cr_ + item.destdir + cr_ + V8_S10(src.size(), nullptr, 0) + cr_;
    if (src.size() <= small_body_sz) {
        // A small file goes with its header in one send: one segment, one wake-up for the receiver.
        if (!err_ && !src.read_all(header)) S_ERR(src.error().c_str());
        BF_SCK(sd, header.data(), static_cast<std::uint32_t>(header.size()), &st, body_tmo_secs);
        if (line && !err_) line->update(src.size());
    } else {
        BF_SCK(sd, header.data(), static_cast<std::uint32_t>(header.size()), &st, 0xFFFF);
        if (!err_) {
            const std::uint64_t body = FD_SCK(sd, src.fd(), item.path.c_str(), src.size(), &st, body_tmo_secs,
                                              line ? on_progress : nullptr, line ? &*line : nullptr);
            if (err_ && st == sck_st_blocked) explain_stalled_body(item, body, src.size());
        }
    }
    const bool replied = await_reply(sd, st);
    if (err_ && connected && !replied && closed_by_peer(st) && src.size() > old_receiver_mxsz) explain_old_receiver();
    SCK_CL(sd);
    sent.ok = !err_;
    sent.bytes = sent.ok ? src.size() : 0;
    if (!sent.ok) sent.error = take_error();
    if (line) line->finish(sent.ok ? "OK" : "ERROR: " + sent.error);
    else if (!sent.ok) std::printf("ERROR: %s\n", sent.error.c_str());
    return sent;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        legacy_usage();
        return 1;
    }
    const tx::World world{exists, [](const std::string& host) { return !resolve(host).empty(); }};
    const tx::Args args = tx::parse_args(std::vector<std::string>(argv + 1, argv + argc), world);
    switch (args.action) {
        case tx::Args::Action::help:
            std::fputs(tx::usage_text("pitchr").c_str(), stdout);
            return 0;
        case tx::Args::Action::version:
            std::printf("pitchr %s\n", CATCHR_PITCHR_VERSION);
            return 0;
        case tx::Args::Action::usage_error:
            std::fprintf(stderr, "pitchr: %s\nTry 'pitchr --help' for the command line.\n", args.error.c_str());
            return usage_status;
        case tx::Args::Action::send:
            break;
    }
    const bool tty = ::isatty(STDOUT_FILENO) == 1;
    if (!args.address_given) std::printf("No address given: sending to the default address %s\n", tx::default_address);
    const std::string ip = tx::is_dotted_quad(args.address) ? args.address : resolve(args.address);

    SCK_SYS_OP();
    std::vector<tx::Item> items;
    std::string error;
    if (!tx::expand(args, items, error)) {
        std::printf("ERROR: %s%s\n", error.c_str(), tty ? "\a" : "");
        return 1;
    }

    const auto start = Clock::now();
    std::size_t arrived = 0;
    std::uint64_t bytes = 0;
    std::vector<std::string> failed;
    std::size_t tried = 0;
    for (const tx::Item& item : items) {
        ++tried;
        const Sent sent = send_file(item, ip, args.port, tty);
        if (sent.ok) {
            ++arrived;
            bytes += sent.bytes;
            continue;
        }
        failed.push_back(cli::shown(item.path) + ": " + sent.error);
        if (!args.keep_going) break;
    }
    SCK_SYS_CL();

    if (args.keep_going && !failed.empty()) {
        std::printf("Not sent (%zu):\n", failed.size());
        for (const std::string& f : failed) std::printf("  %s\n", f.c_str());
    }
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    std::string summary = "Arrived: " + cli::batch_summary(arrived, bytes, secs);
    if (!failed.empty()) summary += "; failed: " + std::to_string(failed.size());
    if (tried < items.size()) summary += "; not tried: " + std::to_string(items.size() - tried);
    std::printf("%s\n", summary.c_str());
    return failed.empty() ? 0 : 1;
}
