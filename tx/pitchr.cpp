// pitchr: sends files to a running catchr, each over a connection of its own, and stops at
// the first failure. The exit status tells whether every file arrived.
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lb.h"

namespace {

constexpr const char default_ip[] = "192.168.0.1";
constexpr std::uint16_t default_port = 9500;
constexpr std::uint16_t connect_tmo_secs = 10;
constexpr std::uint16_t linger_secs = 2;
constexpr std::uint16_t body_tmo_secs = 60;
constexpr std::uint32_t reply_tmo_secs = 20;
constexpr int poll_ms = 10;
// Longest reply line before its CR.
constexpr std::size_t rsp_mxsz = 512;
// The size line carries a signed 32-bit count: files must be smaller than this.
constexpr off_t file_mxsz = 0x80000000LL;

void usage() {
    std::printf(
        "PITCHR (transmit) and CATCHR (receive) transfer files btw PCs via an ethernet socket.\n"
        "\n"
        "Usage on destination (receiving) PC:\n"
        "\tCATCHR {port}\n"
        "where:\n"
        "\tport      = Socket port (default = 9500)\n"
        "\n"
        "Usage on source (sending) PC:\n"
        "\tPITCHR {file-spec} [TO:{dest}] {ip} [{port}]\n"
        "where:\n"
        "\tfile-spec = File(s) to send\n"
        "                    Multiple file-spec arguments and wild cards are supported\n"
        "\tTO:{dest} = Optional destination directory (if different from that in which CATCHR is running)\n"
        "\tip        = IP address (default = 192.168.0.1)\n"
        "\tport      = Socket port (default = 9500)\n"
        "\tThese arguments may appear in *any* order.\n"
        "\n"
        "%s\n\n",
        pgm_web_url);
}

bool is_address(const char* arg) { return IP_UL(arg, 0) != 0; }
bool is_port(const char* arg) { return S10_U2_OK(arg) != 0; }
bool is_destination(const char* arg) { return std::strlen(arg) >= 3 && BF_MT(arg, "TO:", 3, 0, 1, 0); }

// The list file: unique to this run, created where nobody else can plant anything.
class ListFile {
public:
    ListFile() : path_(FILE_UNIQUE("/var/tmp", "pitchr")) {}
    ~ListFile() {
        if (path_) FILE_DL(path_, 0);
        MEM_FR(&path_);
    }
    ListFile(const ListFile&) = delete;
    ListFile& operator=(const ListFile&) = delete;
    const char* path() const { return path_; }

private:
    char* path_;
};

// Refuses a file whose size the size line cannot carry, before anything is sent.
void check_size(const char* fnam) {
    struct stat st {};
    if (err_ || stat(fnam, &st) != 0 || st.st_size < file_mxsz) return;
    SM_ERR("\"", fnam, "\" is too large to send (2 GiB or more)", nullptr);
}

// Reads the reply line: "OK" in any letter case is success, any other text the error.
void await_reply(int sd) {
    char rsp[rsp_mxsz + 1] = "";
    std::size_t x = 0;
    std::uint32_t tic = TIC_C();
    while (!err_) {
        char ch = 0;
        if (SCK_RECV(sd, &ch, 1, 0, nullptr) == 0) {
            if (err_) break;
            if (EL_SECS(tic, tic_now) > reply_tmo_secs) {
                S_ERR("Response tmo");
                break;
            }
            pollfd p{sd, POLLIN, 0};
            poll(&p, 1, poll_ms);
            continue;
        }
        if (ch == '\r') {
            if (!S_MT(rsp, "OK", 0, 1, 0, 0)) S_ERR(rsp);
            break;
        }
        if (x == rsp_mxsz) {
            SM_ERR("Reply longer than 512 bytes: ", rsp, nullptr);
            break;
        }
        rsp[x++] = ch;
        rsp[x] = '\0';
    }
}

void send_file(const char* fnam, const char* ip, std::uint16_t port, const char* destdir) {
    int sd = IP_CONN(ip, port, connect_tmo_secs);
    SCK_BLOCK(sd, 0);
    SCK_LINGER(sd, linger_secs);
    if (destdir[0])
        std::printf("%s -> %s:%d/%s\n", fnam, ip, port, destdir);
    else
        std::printf("%s -> %s:%d\n", fnam, ip, port);
    check_size(fnam);
    SM_SCK(sd, nullptr, 0xFFFF, FSPEC_FNAM(fnam), cr_, nullptr);
    SM_SCK(sd, nullptr, 0xFFFF, destdir, cr_, nullptr);
    SM_SCK(sd, nullptr, 0xFFFF, V_S10(FILE_SZ(fnam, 0), nullptr, 0), cr_, nullptr);
    FILE_SCK(sd, fnam, nullptr, body_tmo_secs);
    await_reply(sd);
    SCK_CL(sd);
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        usage();
        return 1;
    }
    // Each kind is looked for over all arguments; the first of each kind counts.
    const char* ip = default_ip;
    std::uint16_t port = default_port;
    const char* destdir = "";
    for (int a = 1; a < argc; ++a)
        if (is_address(argv[a])) {
            ip = argv[a];
            break;
        }
    for (int a = 1; a < argc; ++a)
        if (is_port(argv[a])) {
            port = S10_U2(argv[a], nullptr, 0);
            break;
        }
    for (int a = 1; a < argc; ++a)
        if (is_destination(argv[a])) {
            destdir = argv[a] + 3;
            break;
        }

    // The list holds paths as they are: runs of spaces in names must survive.
    dir_file_remove_extra_spaces = 0;
    SCK_SYS_OP();
    {
        ListFile list;
        for (int a = 1; a < argc && !err_; ++a) {
            const char* fspec = argv[a];
            if (is_address(fspec) || is_port(fspec) || is_destination(fspec)) continue;
            // A name part that begins with "." asks for hidden files, as a shell's would.
            const char hidden = FSPEC_FNAM(fspec)[0] == '.' ? 1 : 0;
            if (DIR_FILE(fspec, hidden, 0, "F", 0, list.path(), 1, 0) == 0) {
                if (!err_) SM_ERR("\"", fspec, "\" not found", nullptr);
                continue;
            }
            FLDF* rfp = FL_OP(list.path(), 0, 2, 0, nullptr);
            while (const char* fnam = FL_S(rfp, 0)) send_file(fnam, ip, port, destdir);
            FL_CL(rfp, 1);
        }
        SCK_SYS_CL();
        int status = err_ ? 1 : 0;
        if (err_) std::printf("ERROR: %s\a\n", ERR_S());
        return status;
    }
}
