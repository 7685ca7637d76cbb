// Process-wide error state: the flag, the message, the trail of routine names and the
// ten-deep stack on which a pending error is set aside.
#include "err_lb.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "cnv_lb.h"
#include "lb_own.h"
#include "mem_lb.h"

char err_ = 0;
std::int32_t os_err = 0;

namespace {

char* err_msg = nullptr;

// Deep enough for nested routines that must trace or convert while an error is pending.
constexpr std::uint16_t psh_err_mxc = 10;
char* psh_err_msgs[psh_err_mxc] = {};
std::uint16_t psh_err_cnt = 0;

// Appends the listed texts to the held message and raises the flag, whether or not an error
// was pending. The message stays within the library's string limit: what would pass it is
// cut, so an append never loses the message it extends.
void err_append(const char* const* texts, std::size_t n) {
    std::size_t old_len = err_msg ? std::strlen(err_msg) : 0;
    std::size_t add = 0;
    for (std::size_t i = 0; i < n && texts[i]; ++i) add += std::strlen(texts[i]);
    if (old_len + add > lb_s_mxsz) add = old_len < lb_s_mxsz ? lb_s_mxsz - old_len : 0;
    if (add == 0 && err_msg) {
        err_ = 1;
        return;
    }
    err_ = 0;  // the allocation must run; on failure its own error becomes the pending one
    char* text = MEM_AL(static_cast<std::uint32_t>(old_len + add + 1));
    if (!text) return;
    if (old_len) std::memcpy(text, err_msg, old_len);
    std::size_t at = old_len;
    for (std::size_t i = 0; i < n && texts[i] && at < old_len + add; ++i) {
        std::size_t len = std::min(std::strlen(texts[i]), old_len + add - at);
        std::memcpy(text + at, texts[i], len);
        at += len;
    }
    text[at] = '\0';
    MEM_FR(&err_msg);
    err_msg = text;
    err_ = 1;
}

}  // namespace

void S_ERR(const char* text) {
    if (err_) return;
    if (!text || !*text) text = "(null)";
    char* copy = S_CP(text);
    if (err_) return;  // the allocation failure is the pending error now
    MEM_FR(&err_msg);
    err_msg = copy;
    err_ = 1;
}

void SM_ERR_list(const char* const* texts, std::size_t n) {
    if (err_) return;
    char* text = lb_join("S_A", texts, n);
    if (err_) return;  // an overflow or allocation failure stands instead
    MEM_FR(&err_msg);
    err_msg = text;
    err_ = 1;
}

void S_ERRA(const char* text) {
    const char* texts[] = {text};
    err_append(texts, 1);
}

void SM_ERRA_list(const char* const* texts, std::size_t n) {
    if (n == 0 || !texts[0]) return;
    err_append(texts, std::min(n, lb_list_mxc));
}

char RTN_ERR(const char* rtn) {
    if (!err_) return 0;
    const char* texts[] = {" [", rtn ? rtn : "", "]"};
    err_append(texts, 3);
    return 1;
}

const char* ERR_S() {
    if (!err_) return nullptr;
    err_ = 0;
    // Only an allocation failure while composing can leave no text behind.
    return err_msg ? err_msg : mem_alloc_fail;
}

std::int32_t OS_ERR(const char* name, const char* detail, std::int32_t code) {
    std::int32_t no = errno;
    if (err_) return 1;
    if (code != 0) no = code;
    if (!name && no == 0) return 0;
    LbOwned text(S_CP(""));
    if (name) text.ref() = SM_A(text.ref(), name, detail, nullptr);
    if (no != 0) {
        os_err = no;
        if (name) text.ref() = S_A(text.ref(), " (");
        text.ref() = SM_A(text.ref(), "err #", V_S10(no, nullptr, 0), ":", std::strerror(no), nullptr);
        if (name) text.ref() = S_A(text.ref(), ")");
    }
    if (err_) return no;
    S_ERR(text.get());
    return no;
}

void PSH_ERR() {
    if (psh_err_cnt >= psh_err_mxc) return;
    char*& slot = psh_err_msgs[psh_err_cnt];
    MEM_FR(&slot);
    if (err_) {
        // The slot takes the message itself; the state keeps a copy as the last error's text.
        slot = err_msg;
        err_msg = nullptr;
        err_ = 0;
        char* copy = S_CP(slot);
        if (!err_) err_msg = copy;
        err_ = 0;
    }
    ++psh_err_cnt;
}

void POP_ERR() {
    if (psh_err_cnt == 0) return;
    char*& slot = psh_err_msgs[--psh_err_cnt];
    if (!slot) return;
    MEM_FR(&err_msg);
    err_msg = slot;  // the saved text becomes the message; the slot is empty again
    slot = nullptr;
    err_ = 1;
}

char ST_OK(const char* text) { return text ? 1 : 0; }
