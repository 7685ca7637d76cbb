// Path texts (directory, name, extension), the current directory and the search of the
// executable search path.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "fl_lb.h"
#include "lb_own.h"
#include "mem_lb.h"

const char* pth_env = nullptr;
std::uint16_t pth_x = 65535;

namespace {

constexpr std::uint16_t pth_fresh = 65535;  // PTH_OP was called, no candidate given yet
constexpr std::uint16_t pth_ended = 65534;

}  // namespace

char* FSPEC_FNAM(const char* fspec) {
    if (err_ || !fspec) return nullptr;
    const char* slash = std::strrchr(fspec, dir_dlm);
    return UT_S_CP(slash ? slash + 1 : fspec);
}

char* FSPEC_DIR(const char* fspec, char dlm) {
    if (err_ || !fspec || !*fspec) return nullptr;
    const char* slash = std::strrchr(fspec, dir_dlm);
    if (!slash) return nullptr;
    auto at = static_cast<std::uint32_t>(slash - fspec);
    // Without the delimiter the root would become "", which names no directory.
    if (dlm || at == 0) return UT_S_X(fspec, 0, at + 1);
    return UT_S_X(fspec, 0, at);
}

char* FILE_EXT(const char* fnam) {
    if (err_ || !fnam || !*fnam) return nullptr;
    const char* dot = std::strrchr(fnam, '.');
    return dot ? UT_S_CP(dot + 1) : nullptr;
}

const char* FILE_LESS_EXT(const char* fnam) {
    if (err_ || !fnam) return nullptr;
    const char* dot = std::strrchr(fnam, '.');
    if (!dot) return fnam;
    return UT_S_X(fnam, 0, static_cast<std::uint32_t>(dot - fnam));
}

const char* EXT_FL(const char* fnam, const char* ext) {
    if (err_) return "?";
    if (!fnam) return nullptr;
    if (!ext) ext = "";
    const char* dot = std::strchr(fnam, '.');
    if (!dot) return UT_SM_CP(fnam, ext);
    const std::size_t keep = static_cast<std::size_t>(dot - fnam);
    const std::size_t ext_len = std::strlen(ext);
    if (keep + ext_len > lb_s_mxsz) return UT_SM_CP(fnam, ext);  // raises the overflow
    char* out = UT_AL(static_cast<std::uint32_t>(keep + ext_len));
    if (!out) return nullptr;
    std::memcpy(out, fnam, keep);
    std::memcpy(out + keep, ext, ext_len + 1);
    return out;
}

char* CUR_DIR(char* bf) {
    static const char rtn[] = "CUR_DIR";
    if (bf) {
        // A directory that cannot be read (too long, removed) is still "here".
        if (!::getcwd(bf, fl_rc_mxs) && fl_rc_mxs >= 2) std::strcpy(bf, ".");
        return bf;
    }
    if (err_) return nullptr;
    LbOwned buf(RCDF_AL());
    if (RTN_ERR(rtn)) return nullptr;
    if (!::getcwd(buf.get(), static_cast<std::size_t>(fl_rc_mxs) + 1)) std::strcpy(buf.get(), ".");
    char* out = UT_S_CP(buf.get());
    RTN_ERR(rtn);
    return out;
}

void CHG_DIR(const char* path) {
    if (!path || ::chdir(path) != 0) SM_ERR("Failure changing to directory ", path ? path : "");
}

void CHG_DRV(char) {
    static const char rtn[] = "CHG_DRV";
    if (err_) return;
    S_ERR(rtn);
}

void CHG_DRV_DIR(const char* path) {
    if (err_ || !path || !*path) return;
    if (path[1] == ':') {
        CHG_DRV(path[0]);
        if (!path[2]) return;
        path += 2;
    }
    CHG_DIR(path);
}

const char* PTH_OP() {
    pth_env = std::getenv("PATH");
    pth_x = pth_fresh;
    return pth_env;
}

void PTH_CL() {
    pth_x = pth_ended;
}

const char* PTH_S(const char* fnam) {
    static const char rtn[] = "PTH_S";
    static const char pthdl = ':';
    static char* fl1nam = nullptr;
    if (err_ || pth_x == pth_ended) return nullptr;
    if (!fnam) {
        pth_x = pth_ended;
        return nullptr;
    }
    const char* dir = nullptr;
    std::size_t dir_len = 0;
    if (pth_x == pth_fresh) {
        if (std::strchr(fnam, pthdl) || std::strchr(fnam, dir_dlm)) {
            // A name with a directory or drive part is tried only as given.
            pth_x = pth_ended;
            fl1nam = S_RP(fl1nam, fnam);
            if (RTN_ERR(rtn)) return nullptr;
            return fl1nam;
        }
        dir = CUR_DIR(nullptr);
        if (RTN_ERR(rtn)) return nullptr;
        dir_len = std::strlen(dir);
        pth_x = 0;
    } else {
        const std::size_t len = pth_env ? std::strlen(pth_env) : 0;
        std::size_t at = pth_x;
        while (at < len && pth_env[at] == pthdl) ++at;
        if (at >= len) {
            pth_x = pth_ended;
            return nullptr;
        }
        std::size_t end = at;
        while (end < len && pth_env[end] != pthdl) ++end;
        dir = pth_env + at;
        dir_len = end - at;
        // The cursor is 16-bit: a value longer than that ends the scan early.
        pth_x = end < len && end < pth_ended ? static_cast<std::uint16_t>(end) : pth_ended;
    }
    const bool sep = dir_len == 0 || dir[dir_len - 1] != dir_dlm;
    const std::size_t fnam_len = std::strlen(fnam);
    const std::size_t total = dir_len + (sep ? 1 : 0) + fnam_len;
    if (total > lb_s_mxsz) {
        S_ERR("String overflow");
        RTN_ERR(rtn);
        return nullptr;
    }
    char* cand = MEM_AL(static_cast<std::uint32_t>(total + 1));
    if (RTN_ERR(rtn)) return nullptr;
    std::memcpy(cand, dir, dir_len);
    if (sep) cand[dir_len] = dir_dlm;
    std::memcpy(cand + dir_len + (sep ? 1 : 0), fnam, fnam_len + 1);
    MEM_FR(&fl1nam);
    fl1nam = cand;
    return fl1nam;
}

char* FIND_FILE(const char* fnam, char report) {
    static const char rtn[] = "FIND_FILE";
    if (err_) return nullptr;
    PTH_OP();
    char* found = nullptr;
    for (const char* cand = PTH_S(fnam); cand; cand = PTH_S(fnam)) {
        if (FILE_OK(cand, 0)) {
            found = UT_S_CP(cand);
            break;
        }
    }
    PTH_CL();
    if (RTN_ERR(rtn)) return nullptr;
    if (!found && report) SM_ERR("\"", fnam ? fnam : "", "\" not found in path");
    return found;
}
