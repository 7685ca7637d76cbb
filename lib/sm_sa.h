// Bounded append of several texts into record buffers.
#ifndef LB_SM_SA_H
#define LB_SM_SA_H

#include "err_lb.h"

// Appends each text with S_SA (no truncation), stopping at the first error.
void SM_SA_list(char* destination, const char* const* texts, std::size_t n);
template <typename... T>
void SM_SA(char* destination, const char* first, T... rest) {
    static_assert(lb_all_texts<T...>, "SM_SA takes texts only");
    const char* texts[] = {first, rest...};
    SM_SA_list(destination, texts, sizeof...(T) + 1);
}

#endif
