// Listening sockets, outgoing connections with a connect time-out, blocking mode, linger,
// closing, and the matcher of address texts against address patterns.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "cnv_lb.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "sck_lb.h"
#include "tm_lb.h"

namespace {

constexpr int listen_backlog = 128;

// Waits until sd is writable or tmo_ms has passed; poll's result, restarted after a signal
// with the time that is left.
int wait_writable(int sd, std::uint32_t tmo_ms) {
    const std::uint32_t start = TIC_C();
    for (;;) {
        pollfd pfd{sd, POLLOUT, 0};
        const std::uint32_t spent = EL_MS(start, tic_now);
        const std::uint32_t left = spent >= tmo_ms ? 0 : tmo_ms - spent;
        const int r = ::poll(&pfd, 1, static_cast<int>(std::min<std::uint32_t>(left, 0x7FFFFFFF)));
        if (r >= 0 || errno != EINTR) return r;
    }
}

}  // namespace

void SCK_BLOCK(int sd, char block) {
    static const char rtn[] = "SCK_BLOCK";
    if (err_ || sd < 0) return;
    if (sck_trc(2))
        SM_DBG(rtn, ":sd=", V_S10(sd, nullptr, 0), "/", SD_IP(sd, 1, 0), " block=",
               V_S10(static_cast<unsigned char>(block), nullptr, 0));
    int flags = ::fcntl(sd, F_GETFL);
    if (flags >= 0) {
        flags = block ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
        if (::fcntl(sd, F_SETFL, flags) == 0) return;
    }
    OS_ERR(rtn, ":fcntl", 0);
}

void SCK_LINGER(int sd, std::uint16_t secs) {
    static const char rtn[] = "SCK_LINGER";
    if (err_ || sd < 0) return;
    if (sck_trc(2))
        SM_DBG(rtn, ":sd=", V_S10(sd, nullptr, 0), "/", SD_IP(sd, 1, 0), " tmo=", V_S10(secs, nullptr, 0));
    linger lg{};
    lg.l_onoff = secs ? 1 : 0;
    lg.l_linger = secs;
    if (::setsockopt(sd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) OS_ERR(rtn, ":setsockopt", 0);
}

void SCK_CL(int sd) {
    static const char rtn[] = "SCK_CL";
    if (sd < 0) return;
    if (sck_trc(2)) SM_DBG(rtn, ":sd=", V_S10(sd, nullptr, 0), "/", SD_IP(sd, 1, 0));
    ::close(sd);
}

int HOST_SAI_SD(const sockaddr_in* sai, char block) {
    static const char rtn[] = "HOST_SAI_SD";
    if (!sai) SM_ERR(rtn, ":saip=NUL");
    if (err_) return -1;
    const int sd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sd < 0) {
        OS_ERR(rtn, ":socket", 0);
        return -1;
    }
    if (!block) {
        SCK_BLOCK(sd, 0);
        if (RTN_ERR(rtn)) {
            SCK_CL(sd);
            return -1;
        }
    }
    // Reuse is asked for before bind: a receiver restarted right after a transfer must not
    // be refused its port while the last connection lingers in TIME_WAIT.
    const int on = 1;
    if (::setsockopt(sd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        OS_ERR(rtn, ":setsockopt", 0);
    } else if (::bind(sd, reinterpret_cast<const sockaddr*>(sai), sizeof *sai) != 0) {
        OS_ERR(rtn, ":bind", errno);
    } else if (::listen(sd, listen_backlog) != 0) {
        OS_ERR(rtn, ":listen", 0);
    }
    if (!err_) return sd;

    LbOwned why(S_CP(ERR_S()));
    SCK_CL(sd);
    ERR_S();
    SM_ERR(why.get(), " (", SAI_IP(sai, 1, 0), ")");
    return -1;
}

int SAI_CONN(const sockaddr_in* sai, std::uint16_t tmo) {
    static const char rtn[] = "SAI_CONN";
    if (!sai) SM_ERR(rtn, ":saip=NUL");
    if (err_) return -1;
    SCK_SYS_OP();
    const int sd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (sd < 0) {
        OS_ERR("socket", nullptr, 0);
        return -1;
    }
    if (sck_trc(1)) SM_DBG(rtn, ":Connect to IP=", SAI_IP(sai, 1, 0));
    SCK_BLOCK(sd, 0);
    if (!err_ && ::connect(sd, reinterpret_cast<const sockaddr*>(sai), sizeof *sai) != 0) {
        const int no = errno;
        if (no == EAGAIN || no == EINPROGRESS) {
            const int r = wait_writable(sd, std::uint32_t{tmo} * 1000u);
            if (r == 0) {
                SM_ERR("Connect timeout (tmo=", V_S10(tmo, nullptr, 0), ")");
            } else if (r < 0) {
                // The message keeps the name callers know for a failed wait.
                OS_ERR("select", nullptr, errno);
            } else {
                // Writable also means the attempt ended in failure: a refused or unreachable
                // peer is told here rather than at the first send, so that callers can act
                // on a failed connect (retry another address, report it as such).
                int so_err = 0;
                socklen_t len = sizeof so_err;
                if (::getsockopt(sd, SOL_SOCKET, SO_ERROR, &so_err, &len) != 0) so_err = errno;
                if (so_err) OS_ERR("connect", nullptr, so_err);
            }
        } else {
            OS_ERR("connect", nullptr, no);
        }
    }
    if (err_) {
        SCK_CL(sd);
        return -1;
    }
    return sd;
}

int IP_CONN(const char* ip, std::uint16_t port, std::uint16_t tmo) {
    static const char rtn[] = "IP_CONN";
    if (!ip) SM_ERR(rtn, ":ip=NUL");
    if (err_) return -1;
    const std::uint32_t address = IP_UL(ip, 1);
    if (err_) return -1;
    sockaddr_in sai{};
    sai.sin_family = AF_INET;
    sai.sin_port = htons(port);
    sai.sin_addr.s_addr = address;
    return SAI_CONN(&sai, tmo);
}

namespace {

// The four dotted parts of an address text or pattern entry, the last taking the rest.
struct Parts {
    std::string_view part[4];
    int cnt = 0;
    explicit Parts(std::string_view text) {
        while (cnt < 3) {
            const std::size_t dot = text.find('.');
            if (dot == std::string_view::npos) break;
            part[cnt++] = text.substr(0, dot);
            text.remove_prefix(dot + 1);
        }
        part[cnt++] = text;
    }
};

// A part as a number from 0 to 255, or -1 when it is not one (its error discarded).
int part_value(std::string_view part) {
    const std::string text(part);
    const unsigned char v = S10_U1(text.c_str(), nullptr, 0);
    if (err_) {
        ERR_S();
        return -1;
    }
    return v;
}

}  // namespace

char SAI_TXT_MT(const char* text, const char* list) {
    if (err_ || !text || !list) return 0;
    int address[4] = {0, 0, 0, 0};
    const Parts given(text);
    for (int i = 0; i < given.cnt; ++i) {
        address[i] = part_value(given.part[i]);
        if (address[i] < 0) return 0;
    }

    std::string_view rest(list);
    for (;;) {
        while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
        const std::size_t comma = rest.find(',');
        const Parts entry(rest.substr(0, comma));
        bool match = true;
        for (int i = 0; i < entry.cnt && match; ++i) {
            if (entry.part[i] == "*") continue;
            match = part_value(entry.part[i]) == address[i];
        }
        if (match) return 1;
        if (comma == std::string_view::npos) return 0;
        rest.remove_prefix(comma + 1);
    }
}
