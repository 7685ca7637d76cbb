// Byte FIFO.
#ifndef LB_FF1_LB_H
#define LB_FF1_LB_H

#include "err_lb.h"

// Ring buffer of bytes. One slot always stays free, so size n holds at most n - 1 bytes.
// Zero a record before its first FF_OP.
struct FF1DF {
    char* ff_bf;           // owned buffer, null while closed
    std::uint32_t ff_sz;   // buffer size in bytes
    std::uint32_t ff_in;   // where the next byte goes
    std::uint32_t ff_out;  // the oldest byte
};

// Opens empty; an open FIFO keeps its buffer, so reopening must not ask for more than the
// size it was first opened with (close it first to grow it).
void FF_OP(FF1DF* fifo, std::uint32_t size);
// Queues a byte: 1 stored, 0 full (raising "FIFO overflow" only when report is set).
char V_FF(char byte, FF1DF* fifo, char report);
// The oldest byte, taken off unless peek is set; 0 when empty (test FF_CNT first).
char FF_V(FF1DF* fifo, char peek);
void FF_FLUSH(FF1DF* fifo);
std::uint32_t FF_CNT(FF1DF* fifo);
std::uint32_t FF_FREE(FF1DF* fifo);
// Releases the buffer; runs even with an error pending.
void FF_CL(FF1DF* fifo);

#endif
