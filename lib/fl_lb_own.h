// Helpers shared by the sources of the file module (and its users inside the library); not
// part of the API.
#ifndef LB_FL_LB_OWN_H
#define LB_FL_LB_OWN_H

#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "fl_lb.h"
#include "lb_own.h"

// Closes and releases a file record on every path.
class FlRecord {
public:
    explicit FlRecord(FLDF* fd) : fd_(fd) {}
    // crlf 2: the line end FILE_CRLF decides.
    FlRecord(const char* fnam, char wtc, char crlf = 2) : fd_(FL_OP(fnam, wtc, crlf, 0, nullptr)) {}
    ~FlRecord() { close(); }
    FlRecord(const FlRecord&) = delete;
    FlRecord& operator=(const FlRecord&) = delete;
    FLDF* get() const { return fd_; }
    void close() { fd_ = FL_CL(fd_, 1); }

private:
    FLDF* fd_;
};

// A file time as the local date and time of a file record, weekday included; false when
// the time has no local form.
bool fl_local_utm(std::time_t t, UTMDF& utm);

#endif
