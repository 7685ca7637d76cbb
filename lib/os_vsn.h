// Operating-system version and memory queries.
#ifndef LB_OS_VSN_H
#define LB_OS_VSN_H

#include "err_lb.h"

extern unsigned char lnx_vsn_maj;  // 255 until OS_VSN has run
extern unsigned char lnx_vsn_min;

// Version data of other platforms, kept for callers; never set here.
extern unsigned char win_vsn_maj;
extern unsigned char win_vsn_min;
extern std::uint32_t win_vsn_bld;
extern std::uint32_t win_vsn_plt;
extern char win_vsn_win32s;
extern char win_vsn_win95;
extern char win_vsn_win98;
extern char win_vsn_winme;
extern char win_vsn_winnt;
extern char win_vsn_win2000;
extern char win_vsn_winxp;
extern char win_vsn_osr2;
extern unsigned char dos_vsn_maj;
extern unsigned char dos_vsn_min;

// Major version (1; the system is not asked). debug writes the version to the trail.
unsigned char OS_VSN(char debug);

// Free and total main memory in the system's memory unit, as sysinfo counts it; a count
// beyond 32 bits reads 4294967295. 268435455 with the error raised when sysinfo fails.
std::uint32_t AVAIL_MEM();
std::uint32_t AVAIL_PMEM();
std::uint32_t TOTAL_MEM();
std::uint32_t TOTAL_PMEM();

// Where users of the programs find the publisher; the last line of both usage texts.
inline constexpr char pgm_web_url[] = "https://example.com/catchr-pitchr";

#endif
