// How program code passes a failure on: what happened and, where known, the system's error
// number and the socket's status. Decisions look at the numbers, never at the words.
#ifndef CLI_FAILURE_H
#define CLI_FAILURE_H

#include <string>

namespace cli {

struct Failure {
    std::string text;      // the library's words, or the program's
    int sys_errno = 0;     // errno of the failing call; 0 when none or unknown
    char sock_status = 0;  // the socket status of the failing send or receive (sck_st_*)

    explicit operator bool() const { return !text.empty(); }

    // The library's pending error, taken (the error state is clear afterwards), with the
    // system's number it reported (0 when none) and the socket status it gave.
    static Failure from_library(char sock_status = 0);
};

}  // namespace cli

#endif
