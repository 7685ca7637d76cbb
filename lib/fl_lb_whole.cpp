// Whole-file operations on files named by path: type tests, size and mode.
#include <sys/stat.h>

#include "cnv_lb.h"
#include "fl_lb.h"

char FILE_OK(const char* fnam, char report) {
    if (err_) return 0;
    const char* f = fnam ? fnam : "";
    struct stat st {};
    bool found = fnam && ::stat(fnam, &st) == 0;
    if (found && S_ISREG(st.st_mode)) return 1;
    if (!report) return 0;
    const char* what = " not found";
    if (found) {
        if (S_ISDIR(st.st_mode)) what = " is a dir";
        else if (S_ISCHR(st.st_mode)) what = " is a character dvc";
        else if (S_ISFIFO(st.st_mode)) what = " is a pipe";
        else if (S_ISBLK(st.st_mode)) what = " is a block dvc";
        else if (S_ISSOCK(st.st_mode)) what = " is a socket";
        else what = " is not a regular file";
    }
    SM_ERR("\"", f, "\"", what, nullptr);
    return 0;
}

std::int32_t FILE_SZ(const char* fnam, char report) {
    if (err_) return 0;
    struct stat st {};
    if (fnam && ::stat(fnam, &st) == 0) return static_cast<std::int32_t>(st.st_size);
    if (report) FILE_OK(fnam, 1);
    return 0;
}

std::uint32_t FILE_MODE(const char* fnam) {
    static const char rtn[] = "FILE_MODE";
    if (err_) return 0;
    struct stat st {};
    if (fnam && ::stat(fnam, &st) == 0) return static_cast<std::uint32_t>(st.st_mode);
    SM_ERR("\"", fnam ? fnam : "", "\" not found", nullptr);
    RTN_ERR(rtn);
    return 0;
}

void MODE_FILE(std::uint32_t mode, const char* fnam) {
    if (err_) return;
    if (fnam && ::chmod(fnam, static_cast<mode_t>(mode & 07777)) == 0) return;
    SM_ERR("chmod failure (file=\"", fnam ? fnam : "", "\", mode=", V_S16(mode, nullptr, nullptr), ")",
           nullptr);
}
