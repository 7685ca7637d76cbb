// Bounded copy into record buffers.
#include "s_s.h"

#include <cstring>

#include "fl_lb.h"

void S_S(const char* source, char* destination, char truncate) {
    static const char rtn[] = "S_S";
    if (err_ || !destination) return;
    if (!source) {
        destination[0] = 0;
        return;
    }
    // Measure no further than one past the limit: the source may be very long, and only
    // whether it fits matters.
    const std::size_t mx = fl_rc_mxs;
    std::size_t len = strnlen(source, mx + 1);
    if (len > mx) {
        if (!truncate) {
            SM_ERR(rtn, ":Record overflow");
            return;
        }
        len = mx;
    }
    // Callers shift the rest of a text left within one buffer, so the areas may overlap.
    std::memmove(destination, source, len);
    destination[len] = 0;
}
