// Byte FIFO: a fixed-size ring buffer described by a caller-owned record.
#include "ff1_lb.h"

#include <cstring>

#include "mem_lb.h"

namespace {

// Misuse of a record is raised the same way by every routine.
bool misused(const char* rtn, const FF1DF* fifo, bool need_buffer) {
    if (fifo && (!need_buffer || fifo->ff_bf)) return false;
    SM_ERR(rtn, ":0", nullptr);
    return true;
}

std::uint32_t next_index(const FF1DF* fifo, std::uint32_t i) { return i + 1 >= fifo->ff_sz ? 0 : i + 1; }

}  // namespace

void FF_OP(FF1DF* fifo, std::uint32_t size) {
    static const char rtn[] = "FF_OP";
    if (misused(rtn, fifo, false) || err_) return;
    if (!fifo->ff_bf) {
        char* buffer = MEM_AL(size);
        if (RTN_ERR(rtn)) return;
        fifo->ff_bf = buffer;
    }
    fifo->ff_sz = size;
    fifo->ff_in = 0;
    fifo->ff_out = 0;
    std::memset(fifo->ff_bf, 0, size);
}

char V_FF(char byte, FF1DF* fifo, char report) {
    static const char rtn[] = "V_FF";
    if (misused(rtn, fifo, true) || err_) return 0;
    const std::uint32_t next = next_index(fifo, fifo->ff_in);
    if (next == fifo->ff_out) {
        if (report) S_ERR("FIFO overflow");
        return 0;
    }
    fifo->ff_bf[fifo->ff_in] = byte;
    fifo->ff_in = next;
    return 1;
}

char FF_V(FF1DF* fifo, char peek) {
    static const char rtn[] = "FF_V";
    if (misused(rtn, fifo, true) || err_ || fifo->ff_in == fifo->ff_out) return 0;
    const char byte = fifo->ff_bf[fifo->ff_out];
    if (!peek) fifo->ff_out = next_index(fifo, fifo->ff_out);
    return byte;
}

void FF_FLUSH(FF1DF* fifo) {
    static const char rtn[] = "FF_FLUSH";
    if (misused(rtn, fifo, false) || err_) return;
    fifo->ff_in = 0;
    fifo->ff_out = 0;
}

std::uint32_t FF_CNT(FF1DF* fifo) {
    static const char rtn[] = "FF_CNT";
    if (misused(rtn, fifo, false) || err_ || !fifo->ff_bf) return 0;
    if (fifo->ff_in < fifo->ff_out) return fifo->ff_sz - (fifo->ff_out - fifo->ff_in);
    return fifo->ff_in - fifo->ff_out;
}

std::uint32_t FF_FREE(FF1DF* fifo) {
    static const char rtn[] = "FF_FREE";
    if (err_) return 0;
    const std::uint32_t cnt = FF_CNT(fifo);
    if (RTN_ERR(rtn)) return 0;
    // A closed FIFO, or one reopened with size 0, has no room at all.
    if (!fifo->ff_bf || fifo->ff_sz == 0) return 0;
    return fifo->ff_sz - cnt - 1;
}

void FF_CL(FF1DF* fifo) {
    static const char rtn[] = "FF_CL";
    if (misused(rtn, fifo, false)) return;
    MEM_FR(&fifo->ff_bf);
}
