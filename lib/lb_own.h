// Scope guards used inside the library's sources: an owned block is released on every path.
#ifndef LB_LB_OWN_H
#define LB_LB_OWN_H

#include <cstdio>

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

// Closes a stream when the scope ends, unless it was closed or handed over first.
class LbStream {
public:
    explicit LbStream(std::FILE* fp) : fp_(fp) {}
    ~LbStream() {
        if (fp_) std::fclose(fp_);
    }
    LbStream(const LbStream&) = delete;
    LbStream& operator=(const LbStream&) = delete;

    std::FILE* get() const { return fp_; }
    // Hands the stream over to the caller; the guard then holds nothing.
    std::FILE* release() {
        std::FILE* fp = fp_;
        fp_ = nullptr;
        return fp;
    }
    // Closes now; false when the stream's last write-back failed.
    bool close() {
        std::FILE* fp = release();
        return !fp || std::fclose(fp) == 0;
    }

private:
    std::FILE* fp_;
};

#endif
