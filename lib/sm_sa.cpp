// Bounded append of several texts into record buffers.
#include "sm_sa.h"

#include "s_sa.h"

void SM_SA_list(char* destination, const char* const* texts, std::size_t n) {
    static const char rtn[] = "SM_SA";
    if (err_) return;
    if (!destination) {
        SM_ERR(rtn, ":dst=NULL");
        return;
    }
    if (n > lb_list_mxc) n = lb_list_mxc;
    for (std::size_t i = 0; i < n && texts[i]; ++i) {
        S_SA(texts[i], destination, 0);
        if (RTN_ERR(rtn)) return;
    }
}
