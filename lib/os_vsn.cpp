// Operating-system version and memory queries.
#include "os_vsn.h"

#include <sys/sysinfo.h>

#include <cstdint>

#include "cnv_lb.h"

unsigned char lnx_vsn_maj = 255;
unsigned char lnx_vsn_min = 255;

unsigned char win_vsn_maj = 255;
unsigned char win_vsn_min = 255;
std::uint32_t win_vsn_bld = 0xFFFFFFFF;
std::uint32_t win_vsn_plt = 0xFFFFFFFF;
char win_vsn_win32s = 0;
char win_vsn_win95 = 0;
char win_vsn_win98 = 0;
char win_vsn_winme = 0;
char win_vsn_winnt = 0;
char win_vsn_win2000 = 0;
char win_vsn_winxp = 0;
char win_vsn_osr2 = 0;
unsigned char dos_vsn_maj = 255;
unsigned char dos_vsn_min = 255;

namespace {

constexpr std::uint32_t mem_query_fail = 0x0FFFFFFF;

// The counts are not scaled to bytes; on a 64-bit system they no longer fit 32 bits, and
// the largest value says "at least this much" rather than a count wrapped round.
std::uint32_t mem_count(unsigned long count) {
    return count > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(count);
}

bool mem_info(struct sysinfo& si) {
    if (::sysinfo(&si) == 0) return true;
    OS_ERR("sysinfo", nullptr, 0);
    return false;
}

}  // namespace

unsigned char OS_VSN(char debug) {
    if (lnx_vsn_maj == 255) {
        lnx_vsn_maj = 1;
        lnx_vsn_min = 1;
    }
    if (debug)
        SM_DBG("OS_VSN", ":lnx_vsn_maj?\?=", V_S10(lnx_vsn_maj, nullptr, 0), " lnx_vsn_min?\?=",
               V_S10(lnx_vsn_min, nullptr, 0), nullptr);
    return lnx_vsn_maj;
}

std::uint32_t AVAIL_MEM() {
    struct sysinfo si {};
    return mem_info(si) ? mem_count(si.freeram) : mem_query_fail;
}

std::uint32_t TOTAL_MEM() {
    struct sysinfo si {};
    return mem_info(si) ? mem_count(si.totalram) : mem_query_fail;
}

std::uint32_t AVAIL_PMEM() { return AVAIL_MEM(); }

std::uint32_t TOTAL_PMEM() { return TOTAL_MEM(); }
