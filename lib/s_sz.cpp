// Text length.
#include "s_sz.h"

#include <cstring>

// The length is kept in 16 bits, as every position in the library is.
std::uint16_t S_SZ(const char* text) {
    return text ? static_cast<std::uint16_t>(std::strlen(text)) : 0;
}
