// Ordering test of texts.
#include "s_ord.h"

#include <cstring>

#include "mem_lb.h"

char S_ORD(const char* first, const char* second, char exact_case) {
    if (err_) return 1;
    // A missing text sorts as an empty one.
    const auto* a = reinterpret_cast<const unsigned char*>(first ? first : "");
    const auto* b = reinterpret_cast<const unsigned char*>(second ? second : "");
    if (!exact_case) {
        std::size_t i = 0;
        while (a[i] && ch_lower[a[i]] == ch_lower[b[i]]) ++i;
        unsigned char ca = ch_lower[a[i]], cb = ch_lower[b[i]];
        if (ca != cb) return ca < cb ? 1 : 0;
        // Equal apart from case: the exact order decides, so sorting stays stable.
    }
    return std::strcmp(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b)) <= 0
               ? 1
               : 0;
}
