// Text to number and number to text.
#include "cnv_lb.h"

#include <cstdio>

#include "mem_lb.h"

char* V_S10(std::int32_t value, const char* format, char commas) {
    char bf[64];
    if (!format) format = "%ld";
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::snprintf(bf, sizeof bf, format, static_cast<long>(value));
#pragma GCC diagnostic pop
    (void)commas;
    if (!err_) return UT_S_CP(bf);
    PSH_ERR();
    char* text = UT_S_CP(bf);
    POP_ERR();
    return text;
}
