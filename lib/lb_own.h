// Scope guards used inside the library's sources: an owned block is released on every path.
#ifndef LB_LB_OWN_H
#define LB_LB_OWN_H

#include "mem_lb.h"

// Holds an owned string (or any MEM_AL block) and releases it when the scope ends.
class LbOwned {
public:
    LbOwned() = default;
    explicit LbOwned(char* block) : block_(block) {}
    ~LbOwned() { MEM_FR(&block_); }
    LbOwned(const LbOwned&) = delete;
    LbOwned& operator=(const LbOwned&) = delete;

    char* get() const { return block_; }
    explicit operator bool() const { return block_ != nullptr; }
    // Hands the block over to the caller; the guard then holds nothing.
    char* release() {
        char* block = block_;
        block_ = nullptr;
        return block;
    }
    // Takes a new block (typically the result of a replace-in-place routine).
    void reset(char* block) {
        if (block != block_) MEM_FR(&block_);
        block_ = block;
    }
    // For replace-in-place routines that take the holder's pointer and hand back the result.
    char*& ref() { return block_; }

private:
    char* block_ = nullptr;
};

#endif
