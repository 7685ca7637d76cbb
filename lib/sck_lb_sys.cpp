// The socket layer's switches, its opening and closing, address texts, and the enumeration
// of the host's own IPv4 addresses.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "cnv_lb.h"
#include "fl_lb.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "s_s.h"
#include "sck_lb.h"

std::uint16_t sck_host_mxc = 5;
const char* sck_null_ip = "0.0.0.0";
const char* sck_lcl_ip = "127.0.0.1";
const char* host_ip_fl = "host_ip.txt";
std::uint16_t sck_tx_tmo = 15;
char sck_dbg = 0;
char* sck_host_nam = nullptr;
in_addr sck_null_in_addr{};
in_addr sck_lcl_in_addr{};

namespace {

char sck_sys_op = 0;  // 1 while the layer is open

// The longest host name gethostname may put into sck_host_nam.
constexpr std::size_t host_nam_mxs = 256;
// Size of sck_host_nam as allocated: record buffers follow fl_rc_mxs, which may change.
std::size_t host_nam_sz = 0;

const char unknown_ip[] = "?";

bool slot_empty(const sockaddr_in& slot) { return slot.sin_family == 0; }

sockaddr_in* first_empty(sockaddr_in* table) {
    for (std::uint16_t i = 0; i < sck_host_mxc; ++i)
        if (slot_empty(table[i])) return &table[i];
    return nullptr;
}

void put_slot(sockaddr_in* slot, in_addr address) {
    std::memset(slot, 0, sizeof *slot);
    slot->sin_family = AF_INET;
    slot->sin_port = 0;
    slot->sin_addr = address;
}

// The host record of the name in sck_host_nam, or of a local name when that one does not
// resolve; null with the error raised when none does.
const hostent* host_by_name(const char* rtn, bool trace) {
    errno = 0;
    const hostent* he = ::gethostbyname(sck_host_nam);
    if (he) return he;
    const int no = errno;
    if (trace) {
        errno = no;
        OS_ERR(rtn, ":gethostbyname", no);
        const char* why = ERR_S();
        SM_DBG(rtn, ":", why, " (OK)");
    }
    he = ::gethostbyname("localhost.localdomain");
    if (!he) he = ::gethostbyname("localhost");
    if (!he) {
        errno = no;
        OS_ERR(rtn, ":gethostbyname", no);
    }
    return he;
}

// Adds the IPv4 address of each interface listed in /proc/net/dev that is not in the table
// yet, as long as a slot is free.
void add_interfaces(const char* rtn, sockaddr_in* table) {
    LbOwned name(RCDF_AL());
    if (RTN_ERR(rtn)) return;
    FLDF* rec = FL_OP("/proc/net/dev", 0, 0, 0, nullptr);
    if (RTN_ERR(rtn)) return;
    while (char* line = FL_S(rec, 0)) {
        while (*line == ' ' || *line == '\t') ++line;
        // The header lines hold no ":"; an interface line reads "<name>: <counters>".
        char* colon = std::strchr(line, ':');
        if (!*line || !colon) continue;
        *colon = 0;
        S_S(line, name.get(), 0);
        if (err_) break;

        ifreq req{};
        std::strncpy(req.ifr_name, name.get(), IFNAMSIZ - 1);
        const int sd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (sd < 0) {
            OS_ERR(rtn, ":socket", 0);
            break;
        }
        req.ifr_addr.sa_family = AF_INET;
        // An interface without an IPv4 address fails here and is simply skipped.
        if (::ioctl(sd, SIOCGIFADDR, &req) == 0) {
            sockaddr_in found{};
            static_assert(sizeof found == sizeof req.ifr_addr);
            std::memcpy(&found, &req.ifr_addr, sizeof found);
            bool present = false;
            for (std::uint16_t i = 0; i < sck_host_mxc && !present; ++i)
                present = std::memcmp(&table[i], &found, sizeof found) == 0;
            sockaddr_in* slot = present ? nullptr : first_empty(table);
            if (slot) *slot = found;
        }
        SCK_CL(sd);
    }
    RTN_ERR(rtn);
    FL_CL(rec, 1);
}

}  // namespace

void SCK_SYS_OP() {
    if (sck_sys_op || err_) return;
    // A peer that closes while we write must give EPIPE, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    sck_sys_op = 1;
    sck_lcl_in_addr.s_addr = ::inet_addr(sck_lcl_ip);
    sck_null_in_addr.s_addr = ::inet_addr(sck_null_ip);
}

void SCK_SYS_CL() {
    if (!sck_sys_op) return;
    MEM_FR(&sck_host_nam);
    host_nam_sz = 0;
    if (!err_) sck_sys_op = 0;
}

std::uint32_t IP_UL(const char* text, char report) {
    const in_addr_t address = text ? ::inet_addr(text) : INADDR_NONE;
    // inet_addr's failure value is also the text 255.255.255.255, which is no host either.
    if (address != INADDR_NONE) return address;
    if (report) SM_ERR(text ? text : "", " is invalid");
    return 0;
}

void SD_SAI(int sd, sockaddr_in* out) {
    static const char rtn[] = "SD_SAI";
    if (err_ || !out) return;
    socklen_t len = sizeof *out;
    if (::getsockname(sd, reinterpret_cast<sockaddr*>(out), &len) != 0) OS_ERR(rtn, ":getsockname", 0);
}

void SD_PEER_SAI(int sd, sockaddr_in* out) {
    static const char rtn[] = "SD_PEER_SAI";
    if (err_ || !out) return;
    socklen_t len = sizeof *out;
    if (::getpeername(sd, reinterpret_cast<sockaddr*>(out), &len) != 0) OS_ERR(rtn, ":getpeername", 0);
}

const char* SAI_IP(const sockaddr_in* sai, char with_port, char report) {
    static const char rtn[] = "SAI_IP";
    ErrAside aside;
    if (!sai) {
        if (report) SM_ERR(rtn, ":saip=NULL");
        return unknown_ip;
    }
    char dotted[INET_ADDRSTRLEN];
    if (!::inet_ntop(AF_INET, &sai->sin_addr, dotted, sizeof dotted)) {
        if (report) S_ERR("inet_ntoa err");
        return unknown_ip;
    }
    const char* text = with_port ? UT_SM_CP(dotted, ":", V_S10(ntohs(sai->sin_port), nullptr, 0))
                                 : UT_S_CP(dotted);
    return text ? text : unknown_ip;
}

namespace {

const char* sd_ip(int sd, bool peer, char with_port, char report) {
    if (sd < 0) return unknown_ip;
    const bool pending = err_ != 0;
    if (pending) PSH_ERR();
    sockaddr_in sai{};
    if (peer)
        SD_PEER_SAI(sd, &sai);
    else
        SD_SAI(sd, &sai);
    const char* text = err_ ? unknown_ip : SAI_IP(&sai, with_port, report);
    if (pending) {
        ERR_S();
        POP_ERR();
    } else if (!report) {
        ERR_S();
    }
    return text;
}

}  // namespace

const char* SD_IP(int sd, char with_port, char report) { return sd_ip(sd, false, with_port, report); }

const char* SD_PEER_IP(int sd, char with_port, char report) { return sd_ip(sd, true, with_port, report); }

char REMOTE_IP(in_addr address) {
    const std::uint32_t a = ntohl(address.s_addr);
    const unsigned first = a >> 24;
    const unsigned second = (a >> 16) & 0xFF;
    if (first == 127) return 0;
    if (first == 172 && second >= 16 && second <= 31) return 0;
    if (first == 192 && second == 168) return 0;
    return 1;
}

char REMOTE_IP(const char* text) {
    in_addr address{};
    address.s_addr = IP_UL(text, 0);
    return address.s_addr ? REMOTE_IP(address) : 0;
}

void SCK_HOST_INFO(hostent* host_out, sockaddr_in* table, const char* host_name, const char* ip) {
    static const char rtn[] = "SCK_HOST_INFO";
    if (!table) SM_ERR(rtn, ":hsa0p=NULL");
    SCK_SYS_OP();
    if (err_) return;
    const bool trace = sck_trc(3);

    if (!sck_host_nam) {
        sck_host_nam = RCDF_AL();
        if (RTN_ERR(rtn)) return;
        host_nam_sz = static_cast<std::size_t>(fl_rc_mxs) + 1;
        sck_host_nam[0] = 0;
    }

    const hostent* he = nullptr;
    if (ip) {
        const std::uint32_t address = IP_UL(ip, 1);
        if (RTN_ERR(rtn)) return;
        errno = 0;
        he = ::gethostbyaddr(&address, sizeof address, AF_INET);
        if (!he) OS_ERR(rtn, ":gethostbyaddr", 0);
    } else {
        if (host_name) {
            S_S(host_name, sck_host_nam, 0);
            RTN_ERR(rtn);
        } else {
            const std::size_t room = std::min(host_nam_mxs, host_nam_sz - 1);
            if (::gethostname(sck_host_nam, room) != 0) OS_ERR(rtn, ":gethostname", 0);
            sck_host_nam[room] = 0;
        }
        if (err_) return;
        if (trace) SM_DBG(rtn, ":sck_host_nam=", sck_host_nam);
        he = host_by_name(rtn, trace);
    }
    if (err_) return;
    // The resolver's record is static storage: copy it before anything can look up again.
    const hostent host = *he;
    if (host_out) *host_out = host;

    std::memset(table, 0, sizeof *table * sck_host_mxc);
    bool has_lcl = false;
    if (host.h_addrtype == AF_INET && host.h_length == sizeof(in_addr) && host.h_addr_list) {
        for (std::uint16_t i = 0; i < sck_host_mxc && host.h_addr_list[i]; ++i) {
            in_addr address{};
            std::memcpy(&address, host.h_addr_list[i], sizeof address);
            if (address.s_addr == sck_lcl_in_addr.s_addr) has_lcl = true;
            if (address.s_addr != sck_null_in_addr.s_addr) put_slot(&table[i], address);
        }
    }
    if (!has_lcl) {
        if (sockaddr_in* slot = first_empty(table)) put_slot(slot, sck_lcl_in_addr);
    }

    add_interfaces(rtn, table);
    if (trace) SCK_HOST_INFO_DMP(nullptr, nullptr, &host, table);
}

void SCK_HOST_INFO_DMP(const char* text1, const char* text2, const hostent* host,
                       const sockaddr_in* table) {
    static const char rtn[] = "SCK_HOST_INFO_DMP";
    if (err_) return;
    SM_DBG(rtn, ":", text1 ? text1 : "", text2 ? text2 : "");
    SM_DBG("\tsck_host_nam=", sck_host_nam ? sck_host_nam : "");
    if (host) {
        SM_DBG("\th_name=", host->h_name ? host->h_name : "", " addrtype=0x",
               V_S16(static_cast<std::uint32_t>(host->h_addrtype), nullptr, nullptr), " length=",
               V_S10(host->h_length, nullptr, 0));
        SM_DBG("\th_aliases:");
        for (char** alias = host->h_aliases; alias && *alias; ++alias) SM_DBG("\t\t", *alias);
        SM_DBG("\th_addr_list:");
        if (host->h_addr_list && host->h_length == sizeof(in_addr)) {
            for (std::uint16_t i = 0; i < sck_host_mxc && host->h_addr_list[i]; ++i) {
                sockaddr_in sai{};
                sai.sin_family = AF_INET;
                std::memcpy(&sai.sin_addr, host->h_addr_list[i], sizeof sai.sin_addr);
                SM_DBG("\t\t", SAI_IP(&sai, 0, 0));
            }
        }
    }
    if (table) {
        SM_DBG("\tlisten addresses:");
        for (std::uint16_t i = 0; i < sck_host_mxc; ++i)
            if (!slot_empty(table[i])) SM_DBG("\t\t", SAI_IP(&table[i], 1, 0));
    }
}

std::uint16_t SCK_HOST_ADDRS(sockaddr_in* table, std::uint16_t n) {
    static const char rtn[] = "SCK_HOST_ADDRS";
    if (!table) SM_ERR(rtn, ":table=NULL");
    if (err_) return 0;
    std::memset(table, 0, sizeof *table * n);
    std::uint16_t cnt = 0;
    auto add = [&](in_addr address) {
        if (address.s_addr == 0) return;
        for (std::uint16_t i = 0; i < cnt; ++i)
            if (table[i].sin_addr.s_addr == address.s_addr) return;
        if (cnt < n) put_slot(&table[cnt++], address);
    };
    // The host name's addresses first, as SCK_HOST_INFO lists them. A name that does not
    // resolve (no network yet, at boot) is no failure here: the interfaces still count.
    char name[host_nam_mxs + 1] = "";
    if (::gethostname(name, host_nam_mxs) == 0) {
        name[host_nam_mxs] = 0;
        const hostent* he = ::gethostbyname(name);
        if (he && he->h_addrtype == AF_INET && he->h_length == sizeof(in_addr) && he->h_addr_list) {
            for (char** a = he->h_addr_list; *a; ++a) {
                in_addr address{};
                std::memcpy(&address, *a, sizeof address);
                add(address);
            }
        }
    }
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0) {
        OS_ERR(rtn, ":getifaddrs", 0);
        return cnt;
    }
    for (const ifaddrs* i = all; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
        sockaddr_in found{};
        std::memcpy(&found, i->ifa_addr, sizeof found);
        add(found.sin_addr);
    }
    ::freeifaddrs(all);
    return cnt;
}
