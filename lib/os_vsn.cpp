// System and memory queries.
#include "os_vsn.h"

#include <sys/sysinfo.h>

std::uint32_t AVAIL_MEM() {
    struct sysinfo si {};
    if (sysinfo(&si) != 0) {
        OS_ERR("sysinfo", nullptr, 0);
        return 0x0FFFFFFF;
    }
    return static_cast<std::uint32_t>(si.freeram);
}
