// Removing trailing and leading blanks.
#include "rm_trl.h"

#include <cstring>

namespace {
inline bool blank(char c) { return c == ' ' || c == '\t'; }
}  // namespace

std::uint16_t RM_TRL(char* text) {
    if (err_ || !text) return 0;
    std::size_t len = std::strlen(text);
    while (len && blank(text[len - 1])) --len;
    text[len] = 0;
    return static_cast<std::uint16_t>(len);
}

void RM_LEAD(char* text) {
    if (err_ || !text || !text[0]) return;
    std::size_t lead = std::strspn(text, " \t");
    // A text of blanks only stays as it was.
    if (!lead || !text[lead]) return;
    std::memmove(text, text + lead, std::strlen(text + lead) + 1);
}
