// Bounded append into record buffers.
#include "s_sa.h"

#include <cstring>

#include "fl_lb.h"

void S_SA(const char* source, char* destination, char truncate) {
    static const char rtn[] = "S_SA";
    if (err_ || !source || !destination) return;
    const std::size_t mx = fl_rc_mxs;
    // A destination that is not terminated within its record buffer counts as full.
    std::size_t used = strnlen(destination, mx + 1);
    std::size_t room = used < mx ? mx - used : 0;
    std::size_t len = strnlen(source, room + 1);
    if (len > room) {
        if (!truncate) {
            S_ERR("String overflow");
            RTN_ERR(rtn);
            return;
        }
        len = room;
    }
    if (used > mx) return;  // nothing fits, and there is no room for a terminator either
    std::memmove(destination + used, source, len);
    destination[used + len] = 0;
}
