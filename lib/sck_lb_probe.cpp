// Network probes: a ping of one address, host name lookup through the name cache file, and
// whether the host has a public address; with the cache helpers the HTTP session shares.
#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstring>

#include "cnv_lb.h"
#include "fl_lb.h"
#include "fl_lb_own.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "s_exe.h"
#include "s_mt.h"
#include "sck_lb.h"

namespace {

const char ping_fl[] = "ip_ping.tmp";

bool same_name(const char* a, const char* b) { return S_MT(a, b, 0, 1, 0, 0) != 0; }

}  // namespace

// The file layer's own messages are left as they are: these helpers add no trail.
char* host_ip_find(const char* name) {
    if (err_ || !name || !FILE_OK(host_ip_fl, 0)) return nullptr;
    FlRecord in(host_ip_fl, 0, 0);
    if (err_) return nullptr;
    char* found = nullptr;
    while (!err_) {
        const char* line = FL_S(in.get(), 0);
        if (!line) break;
        const bool match = same_name(line, name);
        // The address line is read either way, so that names stay on the even lines.
        const char* address = FL_S(in.get(), 0);
        if (match) {
            if (address) found = S_CP(address);
            break;
        }
        if (!address) break;
    }
    if (err_) MEM_FR(&found);
    return found;
}

void host_ip_add(const char* name, const char* address) {
    S_FILE(host_ip_fl, name, 2);
    S_FILE(host_ip_fl, address, 2);
}

void host_ip_drop(const char* name, const char* work) {
    if (err_ || !name || !work || !FILE_OK(host_ip_fl, 0)) return;
    {
        FlRecord in(host_ip_fl, 0, 0);
        if (err_) return;
        // The rewritten cache keeps the line ends the cache has.
        FlRecord out(work, 1, FILE_CRLF(host_ip_fl));
        if (err_) return;
        while (!err_) {
            const char* line = FL_S(in.get(), 0);
            if (!line) break;
            const bool drop = same_name(line, name);
            if (!drop) S_FL(out.get(), line);
            const char* address = FL_S(in.get(), 0);
            if (!address) break;
            if (!drop) S_FL(out.get(), address);
        }
    }
    if (!err_) FILE_MV(work, host_ip_fl);
    if (err_) FILE_DL(work, 0);
}

char IP_PING(const char* address, std::uint16_t wait) {
    if (err_ || !address) return 0;
    // Quoted, so that an address text cannot add commands of its own to the line.
    SM_EXE_HIDE("ping \"", UT_SH_DQ(address), "\" -c 1 -w ", V_S10(wait, nullptr, 0), " > ", ping_fl);
    ERR_S();
    // The first form is the summary line of the Linux ping, the second that of others.
    const bool answered = FILE_LN(ping_fl, "~1 Received~", '~') != 4294967295u ||
                          FILE_LN(ping_fl, "~Received = 1~", '~') != 4294967295u;
    ERR_S();
    FILE_DL(ping_fl, 0);
    ERR_S();
    return answered ? 1 : 0;
}

char* HOST_IP(const char* name) {
    if (err_ || !name) return nullptr;
    {
        LbOwned cached(host_ip_find(name));
        if (err_) return nullptr;
        if (cached) {
            if (char* colon = std::strchr(cached.get(), ':')) *colon = 0;
            return UT_S_CP(cached.get());
        }
    }
    SCK_SYS_OP();
    errno = 0;
    const hostent* he = ::gethostbyname(name);
    if (!he) {
        errno = 0;
        he = ::gethostbyname(name);
    }
    if (!he) {
        OS_ERR("gethostbyname:host=", name, 0);
        return nullptr;
    }
    if (he->h_addrtype != AF_INET || !he->h_addr_list || !he->h_addr_list[0]) {
        SM_ERR("gethostbyname:host=", name, " (no IPv4 address)");
        return nullptr;
    }
    in_addr address{};
    std::memcpy(&address, he->h_addr_list[0], sizeof address);
    char dotted[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    // A cache that cannot be written only costs the next lookup.
    host_ip_add(name, dotted);
    ERR_S();
    return UT_S_CP(dotted);
}

char ISP_CONNECTED() {
    if (err_) return 0;
    LbOwned block(MEM_AL(static_cast<std::uint32_t>(sizeof(sockaddr_in) * sck_host_mxc)));
    if (err_) return 0;
    auto* table = reinterpret_cast<sockaddr_in*>(block.get());
    std::memset(table, 0, sizeof(sockaddr_in) * sck_host_mxc);
    SCK_HOST_INFO(nullptr, table, nullptr, nullptr);
    if (err_) return 0;
    for (std::uint16_t i = 0; i < sck_host_mxc; ++i)
        if (table[i].sin_family != 0 && REMOTE_IP(table[i].sin_addr)) return 1;
    return 0;
}
