// Receiving from and sending to connected sockets: the buffer sender with its time-out
// rules, and the text, byte and file senders built on it.
#include <fcntl.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "cnv_lb.h"
#include "fl_lb.h"
#include "fl_lb_own.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "s_ech.h"
#include "s_sz.h"
#include "sck_lb.h"
#include "tm_lb.h"

namespace {

constexpr std::uint32_t whole_text = 0xFFFFFFFFu;  // a length that means "the text's length"
constexpr std::uint16_t default_tmo = 0xFFFF;      // a time-out that means sck_tx_tmo
constexpr std::uint32_t retry_ms = 5;              // pause when a socket that looked writable refuses
// With no time-out, a send that keeps accepting nothing gives up after this many seconds.
constexpr std::uint32_t stall_no_tmo_secs = 9;
// A file is read and sent in blocks of this size, so memory does not grow with the file.
constexpr std::uint32_t file_block_sz = 1u << 20;
// Most a zero-copy send offers at once. The call returns as soon as the socket is full, so
// this only bounds how long a fast link goes without a progress report.
constexpr std::size_t zero_copy_call_mxsz = 64u << 20;
constexpr std::uint32_t trace_head = 256;  // bytes of a buffer shown when a send starts
constexpr std::uint32_t fail_head = 80;    // bytes of a buffer shown when a send fails

void set_status(char* status, char code) {
    if (status) *status = code;
}

char recv_status(int no) {
    switch (no) {
        case ECONNRESET: return 2;
        case ECONNABORTED: return 3;
        case ECONNREFUSED: return 4;
        case ENOTCONN: return 5;
        case EPIPE: return 6;
        case EHOSTUNREACH: return 8;
        default: return 0;
    }
}

char send_status(int no) {
    switch (no) {
        case ECONNRESET: return 2;
        case ECONNABORTED: return 3;
        case ENOTCONN: return 5;
        case EPIPE: return 6;
        case EINVAL: return 7;
        default: return 0;
    }
}

using Clock = std::chrono::steady_clock;

// Waits for room in a full socket against a time-out measured here, on the monotonic clock:
// nothing depends on what the kernel makes of a socket's own time-outs, nor on the wall
// clock being set meanwhile.
class Stall {
public:
    Stall(int sd, std::uint16_t tmo) : sd_(sd), tmo_ms_(std::int64_t{tmo} * 1000) {}
    // Bytes moved; with restart the time-out counts again from now.
    void progressed(bool restart) {
        woke_ = false;
        if (restart) from_ = Clock::now();
    }
    std::int64_t spent_ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - from_).count();
    }
    // Waits until the socket has room, so that sending resumes as soon as the peer reads;
    // false when the time is up first. A socket that stays short of writable all that time
    // has stalled, whatever crumbs it would still take. Should the socket look writable yet
    // refuse again, pauses briefly instead, once, so that the caller's loop never spins.
    bool wait() {
        const std::int64_t left = tmo_ms_ - spent_ms();
        if (left <= 0) return false;
        if (woke_) {
            SLEEP_MS(retry_ms);
            woke_ = false;
            return true;
        }
        pollfd pfd{sd_, POLLOUT, 0};
        const int r = ::poll(&pfd, 1, static_cast<int>(left));
        woke_ = r > 0;
        return r != 0;
    }

private:
    int sd_;
    std::int64_t tmo_ms_;
    Clock::time_point from_ = Clock::now();
    bool woke_ = false;  // the last wait ended because the socket looked writable
};

// The place of a buffer inside a larger whole sent piece by piece (a file): messages and
// traces count against the whole, as if it had been sent in one call.
struct Whole {
    std::uint64_t len;     // length of the whole
    std::uint64_t before;  // bytes of it sent before this buffer
};

// The buffer sender behind BF_SCK; whole is null for a buffer that stands alone. The
// time-out counts from this call's start. moved (may be null) receives the bytes sent, also
// of a send that failed part way.
char send_bf(int sd, const char* bf, std::uint32_t len, char* status, std::uint16_t tmo,
             const Whole* whole, std::uint32_t* moved = nullptr) {
    static const char rtn[] = "BF_SCK";
    if (err_) return 0;
    set_status(status, 0);
    if (!bf) return 1;
    if (len == whole_text) len = S_SZ(bf);
    if (len == 0) return 1;
    if (tmo == default_tmo) tmo = sck_tx_tmo;
    Stall stall(sd, tmo);
    const std::uint64_t total = whole ? whole->len : len;
    const std::uint64_t before = whole ? whole->before : 0;

    if (before == 0 && sck_trc(2))
        SM_DBG(rtn, ":sd=", V_S10(sd, nullptr, 0), "/", SD_PEER_IP(sd, 1, 0), ":",
               BF_BACKSLASH_X(bf, static_cast<std::uint16_t>(std::min(len, trace_head))),
               total >= trace_head ? " ..." : "");

    std::uint32_t sent = 0;
    bool blocked = false;  // the last failed send found the socket full
    while (sent < len && !err_) {
        // Never blocks, whatever the socket's mode: the waiting is done below, within tmo.
        const ssize_t r = ::send(sd, bf + sent, len - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        const auto secs = static_cast<std::uint32_t>(stall.spent_ms() / 1000);
        if (r > 0) {
            sent += static_cast<std::uint32_t>(r);
            blocked = false;
            stall.progressed(false);
            if (dbg_ >= 3 || (tmo && secs >= tmo))
                SM_DBG(rtn, ": sendcnt=", Dec(static_cast<std::uint64_t>(r)).text, " txsz=",
                       Dec(before + sent).text, " bfsz=", Dec(total).text);
            continue;
        }
        if (r == 0) {
            const bool late = tmo ? secs >= tmo : secs > stall_no_tmo_secs;
            if (!tmo && before + sent == 0) {
                S_ERR("send BLOCKED?");
                set_status(status, sck_st_blocked);
            } else if (late) {
                SM_ERR("txtmo (tmo=", Dec(tmo).text, ", bfsz=", Dec(total).text, " txsz=",
                       Dec(before + sent).text, ")");
                set_status(status, sck_st_blocked);
            }
            // Nothing to wait on: the socket took nothing although it did not say it was full.
            if (!err_) SLEEP_MS(retry_ms);
            continue;
        }
        const int no = errno;
        if (no == EINTR) continue;
        if (no == EAGAIN || no == EWOULDBLOCK) {
            blocked = true;
            if (stall.wait()) continue;
            SM_ERR("send BLOCKED (txtmo=", Dec(tmo).text, ", bfsz=", Dec(total).text, " txsz=",
                   Dec(before + sent).text, ")");
            set_status(status, sck_st_blocked);
        } else {
            blocked = false;
            set_status(status, send_status(no));
            OS_ERR("send", nullptr, no);
        }
    }
    if (moved) *moved = sent;
    if (!err_) return 1;

    // A full socket is routine; any other failure goes to the trail once tracing is on at all.
    if (sck_dbg || (dbg_ > 0 && !blocked)) {
        const char* why = UT_S_CP(ERR_S());
        const char echo = dbg_vd;
        dbg_vd = 0;
        SM_DBG(rtn, ":ERROR:", why, " sd=", V_S10(sd, nullptr, 0), "/", SD_PEER_IP(sd, 1, 0), ":",
               BF_BACKSLASH_X(bf, static_cast<std::uint16_t>(std::min(len, fail_head))),
               len >= fail_head ? " ..." : "");
        dbg_vd = echo;
        // A trail that cannot be written must not take the place of the send's error.
        ERR_S();
        S_ERR(why);
    }
    RTN_ERR(rtn);
    return 0;
}

}  // namespace

std::uint32_t SCK_RECV(int sd, char* bf, std::uint32_t size, char peek, char* status) {
    static const char rtn[] = "SCK_RECV";
    if (err_) return 0;
    set_status(status, 0);
    if (!bf || size == 0) return 0;
    bf[0] = 0;
    const ssize_t r = ::recv(sd, bf, size, peek ? MSG_PEEK : 0);
    if (r > 0) return static_cast<std::uint32_t>(r);
    int no = errno;
    if (r < 0 && (no == EAGAIN || no == EWOULDBLOCK || no == 0)) return 0;
    // An orderly close by the peer reads as "not connected".
    if (r == 0) no = ENOTCONN;
    set_status(status, recv_status(no));
    OS_ERR(rtn, ":recv", no);
    SM_ERRA(" (sd=", V_S10(sd, nullptr, 0), " sai=", SD_PEER_IP(sd, 1, 0), ")");
    return 0;
}

char BF_SCK(int sd, const char* bf, std::uint32_t len, char* status, std::uint16_t tmo) {
    return send_bf(sd, bf, len, status, tmo, nullptr);
}

char S_SCK(int sd, const char* text, char* status, std::uint16_t tmo) {
    static const char rtn[] = "S_SCK";
    if (err_) return 0;
    if (BF_SCK(sd, text, whole_text, status, tmo)) return 1;
    RTN_ERR(rtn);
    return 0;
}

char SM_SCK_list(int sd, char* status, std::uint16_t tmo, const char* const* texts, std::size_t n) {
    static const char rtn[] = "SM_SCK";
    if (err_) return 0;
    set_status(status, 0);
    if (!texts || n == 0 || !texts[0]) return 1;
    n = std::min(n, lb_list_mxc);
    std::size_t sum = 0;
    std::size_t cnt = 0;
    for (; cnt < n && texts[cnt]; ++cnt) {
        sum += std::strlen(texts[cnt]);
        if (sum > lb_s_mxsz) {
            S_ERR("String overflow");
            RTN_ERR(rtn);
            return 0;
        }
    }
    LbOwned joined(MEM_AL(static_cast<std::uint32_t>(sum + 1)));
    if (RTN_ERR(rtn)) return 0;
    char* at = joined.get();
    for (std::size_t i = 0; i < cnt; ++i) {
        const std::size_t len = std::strlen(texts[i]);
        std::memcpy(at, texts[i], len);
        at += len;
    }
    *at = 0;
    if (BF_SCK(sd, joined.get(), static_cast<std::uint32_t>(sum), status, tmo)) return 1;
    RTN_ERR(rtn);
    return 0;
}

char B_SCK(int sd, char c, char* status) {
    static const char rtn[] = "B_SCK";
    if (err_) return 0;
    if (BF_SCK(sd, &c, 1, status, default_tmo)) return 1;
    RTN_ERR(rtn);
    return 0;
}

char FILE_SCK(int sd, const char* path, char* status, std::uint16_t tmo) {
    static const char rtn[] = "FILE_SCK";
    if (err_) return 0;
    set_status(status, 0);
    if (sck_trc(2)) SM_DBG(rtn, ":sd=", SD_PEER_IP(sd, 1, 0), " fnam=", path ? path : "");

    // Exactly the size taken now is sent, the size a caller announced before the body.
    const auto size = static_cast<std::uint32_t>(FILE_SZ(path, 1));
    if (RTN_ERR(rtn)) return 0;
    if (size == 0) return 1;
    FLDF* rec = FL_OP(path, 0, 0, 0, nullptr);
    if (RTN_ERR(rtn)) return 0;
    FlRecord closer(rec);
    LbOwned block(MEM_AL(std::min(size, file_block_sz)));
    if (RTN_ERR(rtn)) return 0;

    // Each block gets the whole time-out: it limits how long the peer may stall, not how
    // long a large file may take on a slow link.
    std::uint32_t done = 0;
    while (done < size) {
        const std::uint32_t want = std::min(size - done, file_block_sz);
        const std::uint32_t got = FL_BF(rec, block.get(), want, 0);
        if (RTN_ERR(rtn)) return 0;
        // A file that shrank since its size was taken ends early.
        if (got == whole_text || got == 0) break;
        const Whole whole{size, done};
        if (!send_bf(sd, block.get(), got, status, tmo, &whole)) {
            RTN_ERR(rtn);
            return 0;
        }
        done += got;
    }
    return 1;
}

namespace {

// FD_SCK's progress report, when a caller asked for one.
struct Progress {
    void (*report)(void* ctx, std::uint64_t sent);
    void* ctx;
    void operator()(std::uint64_t sent) const {
        if (report) report(ctx, sent);
    }
};

// The body straight from the page cache to the socket. Gives what it sent; stops early
// with zero_copy cleared when the kernel will not (the caller goes on by reading and
// sending), or with the error raised.
std::uint64_t send_zero_copy(int sd, int fd, const char* fnam, std::uint64_t size, char* status,
                             std::uint16_t tmo, const Progress& progress, bool& zero_copy) {
    // The socket must not block: a blocking sendfile() can outlast any socket time-out by
    // minutes. Each call moves all the socket takes; the waits for room are Stall's.
    const int flags = ::fcntl(sd, F_GETFL);
    if (flags < 0 || (!(flags & O_NONBLOCK) && ::fcntl(sd, F_SETFL, flags | O_NONBLOCK) != 0)) {
        zero_copy = false;
        return 0;
    }
    struct RestoreFlags {
        int sd, flags;
        ~RestoreFlags() {
            if (!(flags & O_NONBLOCK)) ::fcntl(sd, F_SETFL, flags);
        }
    } restore{sd, flags};
    // An offset of our own, set back into the descriptor at the end: reading on from there
    // goes on where this stopped.
    off_t at = ::lseek(fd, 0, SEEK_CUR);
    if (at < 0) {
        zero_copy = false;
        return 0;
    }
    struct SetPosition {
        int fd;
        off_t& at;
        ~SetPosition() { ::lseek(fd, at, SEEK_SET); }
    } set_position{fd, at};
    std::uint64_t done = 0;
    // The peer may stall for tmo seconds, counted from the last byte that moved.
    Stall stall(sd, tmo);
    while (done < size && !err_) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, zero_copy_call_mxsz));
        const ssize_t n = ::sendfile(sd, fd, &at, want);
        if (n > 0) {
            done += static_cast<std::uint64_t>(n);
            stall.progressed(true);
            progress(done);
            continue;
        }
        const int no = n == 0 ? 0 : errno;
        if (n == 0) {
            SM_ERR("\"", fnam, "\" shrank while being sent (", Dec(done).text, " of ", Dec(size).text,
                   " bytes)", nullptr);
        } else if (no == EINTR) {
            continue;
        } else if (no == EINVAL || no == ENOSYS) {
            zero_copy = false;  // a file or socket that cannot: read and send instead
            break;
        } else if (no == EAGAIN || no == EWOULDBLOCK) {
            if (stall.wait()) continue;
            SM_ERR("send BLOCKED (txtmo=", Dec(tmo).text, ", bfsz=", Dec(size).text, " txsz=", Dec(done).text, ")");
            set_status(status, sck_st_blocked);
            RTN_ERR("BF_SCK");
        } else {
            set_status(status, send_status(no));
            OS_ERR("send", nullptr, no);
            RTN_ERR("BF_SCK");
        }
    }
    return done;
}

}  // namespace

char sck_zero_copy = 1;

std::uint64_t FD_SCK(int sd, int fd, const char* fnam, std::uint64_t size, char* status,
                     std::uint16_t tmo, void (*progress)(void* ctx, std::uint64_t sent), void* ctx) {
    static const char rtn[] = "FD_SCK";
    if (err_) return 0;
    set_status(status, 0);
    if (!fnam) fnam = "";
    if (tmo == default_tmo) tmo = sck_tx_tmo;
    if (sck_trc(2)) SM_DBG(rtn, ":sd=", SD_PEER_IP(sd, 1, 0), " fnam=", fnam);
    if (size == 0) return 0;
    const Progress report{progress, ctx};

    std::uint64_t done = 0;
    bool zero_copy = sck_zero_copy != 0;
    if (zero_copy) {
        done = send_zero_copy(sd, fd, fnam, size, status, tmo, report, zero_copy);
        if (RTN_ERR(rtn) || done == size) return done;
    }
    LbOwned block(MEM_AL(static_cast<std::uint32_t>(std::min<std::uint64_t>(size - done, file_block_sz))));
    if (RTN_ERR(rtn)) return done;
    while (done < size) {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, file_block_sz));
        const ssize_t got = ::read(fd, block.get(), want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            OS_ERR(rtn, UT_SM_CP(":read \"", fnam, "\"", nullptr), 0);
            return done;
        }
        // Less than announced: the receiver would wait for the rest, so it is an error now.
        if (got == 0) {
            SM_ERR("\"", fnam, "\" shrank while being sent (", Dec(done).text, " of ", Dec(size).text,
                   " bytes)", nullptr);
            RTN_ERR(rtn);
            return done;
        }
        const Whole whole{size, done};
        std::uint32_t moved = 0;
        if (!send_bf(sd, block.get(), static_cast<std::uint32_t>(got), status, tmo, &whole, &moved)) {
            RTN_ERR(rtn);
            return done + moved;
        }
        done += static_cast<std::uint64_t>(got);
        report(done);
    }
    return done;
}
