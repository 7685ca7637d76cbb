// catchr: receives files sent by pitchr, one connection at a time, and stores each under
// the name (and directory) its sender announced. Runs until a key is pressed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lb.h"
#include "lb_own.h"

namespace {

constexpr std::uint16_t default_port = 9500;
// Longest header line (name, directory, size) before its CR.
constexpr std::size_t hdr_mxsz = 256;
// Largest piece of the body taken off the socket at once.
constexpr std::uint32_t body_blksz = 0x8000;
// How often the keyboard is looked at, and the longest wait on a socket between looks.
constexpr int poll_ms = 10;
// A peer that sends nothing for this long while a transfer is under way is dropped.
constexpr std::uint32_t idle_secs = 60;

volatile sig_atomic_t stop_signal = 0;

void on_stop_signal(int) { stop_signal = 1; }

void catch_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no restart: a wait in poll() ends at once
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);
}

// A key press or a signal asks the receiver to end; the key stays queued for getch.
bool stop_requested() { return stop_signal || kbhit(); }

void usage() {
    std::printf(
        "PITCHR (transmit) and CATCHR (receive) transfer files btw PCs via an ethernet socket.\n"
        "Usage on destination (receiving) PC:\n"
        "\tcatchr {port}\n"
        "Usage on source (sending) PC:\n"
        "\tpitchr {file-spec} {ip} {port}\n"
        "where:\n"
        "\tfile-spec = File(s) to send (use quotes if using wild-cards under Linux)\n"
        "\tip        = IP address (default = 192.168.0.1)\n"
        "\tport      = Socket port (default = 9500)\n"
        "\n"
        "%s\n\n",
        pgm_web_url);
}

void print_error(const char* bell) {
    if (err_) std::printf("ERROR: %s%s\n", ERR_S(), bell);
}

// The work file: unique to this process, created where nobody else can plant anything.
class WorkFile {
public:
    WorkFile() : path_(FILE_UNIQUE("/var/tmp", "catchr")) {}
    ~WorkFile() { MEM_FR(&path_); }
    WorkFile(const WorkFile&) = delete;
    WorkFile& operator=(const WorkFile&) = delete;
    const char* path() const { return path_; }

    // Starts an empty work file for the next body. The name is taken anew, exclusively and
    // without following links, since a move to the final name has given the old file away.
    bool renew() {
        static const char rtn[] = "catchr";
        if (err_) return false;
        if (!path_) {
            SM_ERR(rtn, ":no work file", nullptr);
            return false;
        }
        if (unlink(path_) != 0 && errno != ENOENT) {
            OS_ERR(rtn, UT_SM_CP(":unlink \"", path_, "\"", nullptr), 0);
            return false;
        }
        int fd = open(path_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0) {
            OS_ERR(rtn, UT_SM_CP(":open \"", path_, "\"", nullptr), 0);
            return false;
        }
        close(fd);
        return true;
    }

private:
    char* path_;
};

// Waits up to poll_ms for a byte on sd; true when the peer has been quiet for idle_secs.
bool quiet_too_long(int sd, std::uint32_t since) {
    if (EL_SECS(since, tic_now) >= idle_secs) {
        SM_ERR("No data from the sender for ", V_S10(static_cast<std::int32_t>(idle_secs), nullptr, 0),
               " s (sd=", V_S10(sd, nullptr, 0), ")", nullptr);
        return true;
    }
    pollfd p{sd, POLLIN, 0};
    poll(&p, 1, poll_ms);
    return false;
}

// Reads one header line, ended by CR, into line. False when a key, a signal or an error
// (pending afterwards) ended it before its CR.
bool read_header_line(int sd, char (&line)[hdr_mxsz + 1]) {
    std::size_t x = 0;
    line[0] = '\0';
    std::uint32_t since = TIC_C();
    while (!err_ && !stop_requested()) {
        char ch = 0;
        if (SCK_RECV(sd, &ch, 1, 0, nullptr) == 0) {
            if (!err_) quiet_too_long(sd, since);
            continue;
        }
        since = TIC_C();
        if (ch == '\r') return true;
        if (x == hdr_mxsz) {
            SM_ERR("Header line longer than ", V_S10(static_cast<std::int32_t>(hdr_mxsz), nullptr, 0),
                   " bytes (sd=", V_S10(sd, nullptr, 0), ")", nullptr);
            return false;
        }
        line[x++] = ch;
        line[x] = '\0';
    }
    return false;
}

// Receives exactly size bytes into the work file. False when a key, a signal or an error
// ended it first. Bytes beyond the announced size are never read.
bool receive_body(int sd, std::uint32_t size, WorkFile& work) {
    if (!work.renew()) return false;
    LbOwned body(MEM_AL(body_blksz + 1));
    if (err_) return false;
    std::uint32_t got = 0;
    std::uint32_t since = TIC_C();
    std::uint32_t key_tic = TIC_C();
    while (got < size) {
        if (err_) return false;
        if (EL_MS(key_tic, tic_now) >= static_cast<std::uint32_t>(poll_ms)) {
            if (stop_requested()) return false;
            key_tic = TIC_C();
        }
        std::uint32_t n = SCK_RECV(sd, body.get(), std::min(body_blksz, size - got), 0, nullptr);
        if (n == 0) {
            if (!err_) quiet_too_long(sd, since);
            continue;
        }
        since = TIC_C();
        BF_FILE(work.path(), body.get(), n, 2);
        got += n;
    }
    return !err_;
}

// A name that would leave the destination directory, or name no file at all, is refused.
bool safe_file_name(const char* fnam) {
    return fnam[0] && std::strcmp(fnam, ".") != 0 && std::strcmp(fnam, "..") != 0 &&
           !std::strchr(fnam, '/');
}

// Moves the received body to its final name and adds execute bits to programs and scripts.
void store(const char* fnam, const char* destdir, WorkFile& work) {
    if (!safe_file_name(fnam)) {
        SM_ERR("Unsafe file name \"", fnam, "\" refused", nullptr);
        return;
    }
    const char* fnam1 = destdir[0] ? UT_SM_CP(destdir, dir_dlms, fnam, nullptr) : fnam;
    FILE_MV(work.path(), fnam1);
    if (!err_ && (S_END_MT(fnam1, ".bin", 0, 1, 0) || S_END_MT(fnam1, ".sh", 0, 1, 0)))
        MODE_FILE(FILE_MODE(fnam1) | 0111u, fnam1);
}

// Sends "OK" or the pending error back; the error stays pending to be printed.
void reply(int sd) {
    if (!err_) {
        SM_SCK(sd, nullptr, 0xFFFF, "OK", cr_, nullptr);
        return;
    }
    char* msg = S_CP(ERR_S());
    SM_SCK(sd, nullptr, 0xFFFF, msg, cr_, nullptr);
    S_ERR(msg);
    MEM_FR(&msg);
}

// Serves one connection from its header to its reply.
void serve(int sd, const char* ip, std::uint16_t port, WorkFile& work) {
    static char fnam[hdr_mxsz + 1], destdir[hdr_mxsz + 1], szs[hdr_mxsz + 1];
    fnam[0] = destdir[0] = szs[0] = '\0';
    std::uint32_t sz = 0;
    if (read_header_line(sd, fnam) && read_header_line(sd, destdir) && read_header_line(sd, szs))
        sz = S10_U4(szs, nullptr, 1);
    if (destdir[0])
        std::printf("%s:%d -> %s%c%s (%ld)\n", ip, port, destdir, dir_dlm, fnam, static_cast<long>(sz));
    else
        std::printf("%s:%d -> %s (%ld)\n", ip, port, fnam, static_cast<long>(sz));
    if (err_ || stop_requested()) return;
    if (!receive_body(sd, sz, work)) return;
    store(fnam, destdir, work);
    reply(sd);
}

// Waits up to poll_ms for a connection on any listening socket, then takes the first one
// waiting in slot order. -1 when none was waiting.
int accept_next(const std::vector<int>& listening, std::vector<pollfd>& waits, sockaddr_in& sai) {
    poll(waits.data(), waits.size(), poll_ms);
    for (int lsd : listening) {
        if (lsd < 0) continue;
        socklen_t alen = sizeof sai;
        int sd = accept(lsd, reinterpret_cast<sockaddr*>(&sai), &alen);
        if (sd >= 0) return sd;
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    std::uint16_t port = default_port;
    if (argc > 1) {
        port = S10_U2(argv[1], nullptr, 1);
        if (err_) {
            ERR_S();
            usage();
            return 1;
        }
    }
    catch_stop_signals();
    WorkFile work;
    SCK_SYS_OP();

    // Listen on every address of the host but the loopback one, in slot order.
    std::vector<sockaddr_in> my_host_sai(sck_host_mxc);
    std::vector<int> my_host_sd(sck_host_mxc, -1);
    SCK_HOST_INFO(nullptr, my_host_sai.data(), nullptr, nullptr);
    char* ip = nullptr;
    for (std::uint16_t hsdx = 0; hsdx < sck_host_mxc && !err_; ++hsdx) {
        sockaddr_in& sai = my_host_sai[hsdx];
        if (sai.sin_family == 0) continue;
        sai.sin_port = htons(port);
        ip = S_RP(ip, SAI_IP(&sai, 0, 1));
        if (S_MT(ip, sck_lcl_ip, 0, 1, 0, 0)) continue;
        std::printf("Listen at %s:%d\n", ip, port);
        my_host_sd[hsdx] = HOST_SAI_SD(&sai, 0);
        if (err_) {
            print_error("");
            my_host_sd[hsdx] = -1;
        }
    }
    std::vector<pollfd> waits;
    for (int lsd : my_host_sd)
        if (lsd >= 0) waits.push_back({lsd, POLLIN, 0});

    for (;;) {
        int sd = -1;
        sockaddr_in sai{};
        while (sd < 0 && !err_ && !stop_requested()) sd = accept_next(my_host_sd, waits, sai);
        if (sd >= 0) {
            ip = S_RP(ip, SAI_IP(&sai, 1, 1));
            SCK_BLOCK(sd, 0);
            serve(sd, ip ? ip : "?", port, work);
        }
        print_error("\a");
        SCK_CL(sd);
        print_error("\a");
        if (stop_requested()) {
            if (!stop_signal) getch();
            SCK_SYS_CL();
            print_error("\a");
            FILE_DL(work.path(), 0);
            MEM_FR(&ip);
            return 1;
        }
    }
}
