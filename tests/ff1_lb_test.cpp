// Byte FIFO: capacity, order, wrap-around, peeking, reopening, misuse.
#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "lb.h"
#include "test_support.h"

namespace {

std::string pending_message() { return lbtest::pending("(none)"); }

class Fifo : public ::testing::Test {
protected:
    void TearDown() override {
        ERR_S();
        FF_CL(&ff);
    }
    FF1DF ff{};
};

}  // namespace

TEST_F(Fifo, HoldsOneByteLessThanItsSize) {
    FF_OP(&ff, 41);
    ASSERT_EQ(err_, 0);
    EXPECT_EQ(FF_FREE(&ff), 40u);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(V_FF(static_cast<char>('A' + i), &ff, 1), 1) << i;
    EXPECT_EQ(FF_CNT(&ff), 40u);
    EXPECT_EQ(FF_FREE(&ff), 0u);
    EXPECT_EQ(V_FF('x', &ff, 0), 0);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(V_FF('x', &ff, 1), 0);
    EXPECT_EQ(pending_message(), "FIFO overflow");
    EXPECT_EQ(FF_CNT(&ff), 40u);
    // The refused byte was not stored anywhere: the oldest is still the first one queued.
    EXPECT_EQ(FF_V(&ff, 1), 'A');
}

TEST_F(Fifo, DrainsInOrderAndWrapsAroundTheEnd) {
    FF_OP(&ff, 41);
    for (int i = 0; i < 40; ++i) V_FF(static_cast<char>(i), &ff, 1);
    for (int i = 0; i < 40; ++i) ASSERT_EQ(FF_V(&ff, 0), static_cast<char>(i));
    // Forty in, forty out: both indexes stand on the last slot, and the next store wraps.
    EXPECT_EQ(ff.ff_in, 40u);
    EXPECT_EQ(ff.ff_out, 40u);
    EXPECT_EQ(FF_CNT(&ff), 0u);
    EXPECT_EQ(FF_FREE(&ff), 40u);
    EXPECT_EQ(V_FF('p', &ff, 1), 1);
    EXPECT_EQ(V_FF('q', &ff, 1), 1);
    EXPECT_EQ(ff.ff_in, 1u);
    EXPECT_LT(ff.ff_in, ff.ff_out);
    EXPECT_EQ(FF_CNT(&ff), 2u);
    EXPECT_EQ(FF_FREE(&ff), 38u);
    EXPECT_EQ(FF_V(&ff, 0), 'p');
    EXPECT_EQ(FF_V(&ff, 0), 'q');
    EXPECT_EQ(ff.ff_out, 1u);
    EXPECT_EQ(err_, 0);
}

TEST_F(Fifo, KeepsOrderOverManyLaps) {
    // Uneven bursts of stores and reads against a reference queue, so that both indexes
    // cross the end of the buffer at every possible distance.
    FF_OP(&ff, 7);
    std::deque<char> want;
    unsigned next = 0;
    for (int round = 0; round < 200; ++round) {
        const int puts = (round * 5) % 9;
        const int gets = (round * 3) % 8;
        for (int i = 0; i < puts; ++i) {
            const char b = static_cast<char>(next++ * 37);
            const char stored = V_FF(b, &ff, 0);
            ASSERT_EQ(stored, want.size() < 6 ? 1 : 0);
            if (stored) want.push_back(b);
        }
        for (int i = 0; i < gets; ++i) {
            if (want.empty()) {
                ASSERT_EQ(FF_CNT(&ff), 0u);
                ASSERT_EQ(FF_V(&ff, 0), 0);
                continue;
            }
            ASSERT_EQ(FF_V(&ff, 0), want.front()) << "round " << round;
            want.pop_front();
        }
        ASSERT_EQ(FF_CNT(&ff), want.size());
        ASSERT_EQ(FF_FREE(&ff), 6u - want.size());
    }
    EXPECT_EQ(err_, 0);
}

TEST_F(Fifo, PeekLeavesTheByteInPlace) {
    FF_OP(&ff, 41);
    V_FF('a', &ff, 1);
    V_FF('b', &ff, 1);
    EXPECT_EQ(FF_V(&ff, 1), 'a');
    EXPECT_EQ(FF_V(&ff, 1), 'a');
    EXPECT_EQ(FF_CNT(&ff), 2u);
    EXPECT_EQ(FF_V(&ff, 0), 'a');
    EXPECT_EQ(FF_V(&ff, 1), 'b');
    EXPECT_EQ(FF_CNT(&ff), 1u);
}

TEST_F(Fifo, EmptyReadsZeroAndEveryByteValueIsKept) {
    FF_OP(&ff, 257);
    EXPECT_EQ(FF_V(&ff, 0), 0);
    EXPECT_EQ(FF_V(&ff, 1), 0);
    EXPECT_EQ(err_, 0);
    for (int b = 0; b < 256; ++b) ASSERT_EQ(V_FF(static_cast<char>(b), &ff, 1), 1);
    EXPECT_EQ(FF_CNT(&ff), 256u);
    for (int b = 0; b < 256; ++b) ASSERT_EQ(FF_V(&ff, 0), static_cast<char>(b));
    EXPECT_EQ(FF_CNT(&ff), 0u);
}

TEST_F(Fifo, FlushAndReopenEmptyButKeepTheBuffer) {
    FF_OP(&ff, 41);
    for (char c : std::string("hello")) V_FF(c, &ff, 1);
    FF_V(&ff, 0);
    FF_FLUSH(&ff);
    EXPECT_EQ(ff.ff_in, 0u);
    EXPECT_EQ(ff.ff_out, 0u);
    EXPECT_EQ(FF_CNT(&ff), 0u);

    for (char c : std::string("world")) V_FF(c, &ff, 1);
    char* const buffer = ff.ff_bf;
    FF_OP(&ff, 41);
    EXPECT_EQ(ff.ff_bf, buffer);
    EXPECT_EQ(FF_CNT(&ff), 0u);
    EXPECT_EQ(FF_FREE(&ff), 40u);
    EXPECT_EQ(std::string(buffer, 41), std::string(41, '\0'));

    // A smaller size reuses the same buffer.
    FF_OP(&ff, 3);
    EXPECT_EQ(ff.ff_bf, buffer);
    EXPECT_EQ(V_FF('1', &ff, 0), 1);
    EXPECT_EQ(V_FF('2', &ff, 0), 1);
    EXPECT_EQ(V_FF('3', &ff, 0), 0);
    EXPECT_EQ(err_, 0);
}

TEST_F(Fifo, CloseReleasesTheBufferAndKeepsTheSizes) {
    mem_al_dbg = 1;
    const std::int32_t live = mem_al_cnt;
    FF_OP(&ff, 41);
    EXPECT_EQ(mem_al_cnt, live + 1);
    V_FF('a', &ff, 1);
    V_FF('b', &ff, 1);
    FF_CL(&ff);
    EXPECT_EQ(mem_al_cnt, live);
    EXPECT_EQ(ff.ff_bf, nullptr);
    EXPECT_EQ(ff.ff_sz, 41u);
    EXPECT_EQ(ff.ff_in, 2u);
    EXPECT_EQ(ff.ff_out, 0u);
    FF_CL(&ff);  // closing twice is harmless
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(FF_CNT(&ff), 0u);
    EXPECT_EQ(FF_FREE(&ff), 0u);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(V_FF('c', &ff, 1), 0);
    EXPECT_EQ(pending_message(), "V_FF:0");
    EXPECT_EQ(FF_V(&ff, 0), 0);
    EXPECT_EQ(pending_message(), "FF_V:0");
    // Closed, it can be opened again, larger. (The messages above hold blocks of their own.)
    const std::int32_t live_now = mem_al_cnt;
    FF_OP(&ff, 100);
    EXPECT_EQ(mem_al_cnt, live_now + 1);
    EXPECT_EQ(FF_FREE(&ff), 99u);
}

TEST_F(Fifo, SizesAtTheLimits) {
    // Size 2 holds one byte, and every store and read wraps.
    FF_OP(&ff, 2);
    for (char c : std::string("xyz")) {
        ASSERT_EQ(V_FF(c, &ff, 1), 1);
        ASSERT_EQ(V_FF('!', &ff, 0), 0);
        ASSERT_EQ(FF_FREE(&ff), 0u);
        ASSERT_EQ(FF_V(&ff, 0), c);
        ASSERT_EQ(FF_FREE(&ff), 1u);
    }
    // Size 1 holds nothing at all.
    FF_OP(&ff, 1);
    EXPECT_EQ(FF_FREE(&ff), 0u);
    EXPECT_EQ(V_FF('a', &ff, 0), 0);
    EXPECT_EQ(FF_CNT(&ff), 0u);
    // Reopened with size 0 on its buffer: no room, and no wrap-around of the free count.
    FF_OP(&ff, 0);
    EXPECT_EQ(FF_FREE(&ff), 0u);
    EXPECT_EQ(V_FF('a', &ff, 1), 0);
    EXPECT_EQ(pending_message(), "FIFO overflow");
    EXPECT_EQ(FF_V(&ff, 0), 0);
    EXPECT_EQ(err_, 0);
}

TEST_F(Fifo, OpeningWithSizeZeroFailsAsAnAllocation) {
    FF_OP(&ff, 0);
    const std::string msg = pending_message();
    // The free-memory figure varies; everything around it is fixed.
    const std::string head = "Mem alloc failure (req=0 free=", tail = ") [FF_OP]";
    ASSERT_GT(msg.size(), head.size() + tail.size()) << msg;
    EXPECT_EQ(msg.substr(0, head.size()), head);
    EXPECT_EQ(msg.substr(msg.size() - tail.size()), tail);
    const std::string free_mem = msg.substr(head.size(), msg.size() - head.size() - tail.size());
    EXPECT_EQ(free_mem.find_first_not_of("0123456789"), std::string::npos) << msg;
    EXPECT_EQ(ff.ff_bf, nullptr);
    EXPECT_EQ(ff.ff_sz, 0u);
}

TEST_F(Fifo, NullRecordNamesTheRoutine) {
    FF_OP(nullptr, 41);
    EXPECT_EQ(pending_message(), "FF_OP:0");
    EXPECT_EQ(V_FF('a', nullptr, 0), 0);
    EXPECT_EQ(pending_message(), "V_FF:0");
    EXPECT_EQ(FF_V(nullptr, 0), 0);
    EXPECT_EQ(pending_message(), "FF_V:0");
    FF_FLUSH(nullptr);
    EXPECT_EQ(pending_message(), "FF_FLUSH:0");
    EXPECT_EQ(FF_CNT(nullptr), 0u);
    EXPECT_EQ(pending_message(), "FF_CNT:0");
    EXPECT_EQ(FF_FREE(nullptr), 0u);
    EXPECT_EQ(pending_message(), "FF_CNT:0 [FF_FREE]");
    FF_CL(nullptr);
    EXPECT_EQ(pending_message(), "FF_CL:0");
}

TEST_F(Fifo, NeverOpenedRecord) {
    EXPECT_EQ(FF_CNT(&ff), 0u);
    EXPECT_EQ(FF_FREE(&ff), 0u);
    FF_FLUSH(&ff);
    EXPECT_EQ(err_, 0);
    EXPECT_EQ(V_FF('a', &ff, 0), 0);
    EXPECT_EQ(pending_message(), "V_FF:0");
}

TEST_F(Fifo, ErrorPendingLeavesTheQueueAloneButCloseStillReleases) {
    FF_OP(&ff, 41);
    V_FF('a', &ff, 1);
    V_FF('b', &ff, 1);
    S_ERR("earlier");
    EXPECT_EQ(V_FF('c', &ff, 1), 0);
    EXPECT_EQ(FF_V(&ff, 0), 0);
    EXPECT_EQ(FF_CNT(&ff), 0u);
    EXPECT_EQ(FF_FREE(&ff), 0u);
    FF_FLUSH(&ff);
    FF_OP(&ff, 41);
    EXPECT_EQ(ff.ff_in, 2u);
    EXPECT_EQ(ff.ff_out, 0u);
    EXPECT_EQ(pending_message(), "earlier");
    EXPECT_EQ(FF_V(&ff, 0), 'a');
    EXPECT_EQ(FF_CNT(&ff), 1u);

    S_ERR("again");
    FF_CL(&ff);
    EXPECT_EQ(ff.ff_bf, nullptr);
    EXPECT_EQ(pending_message(), "again");
}
