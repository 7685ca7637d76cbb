// The terminal progress line for one file, and the summary line for a batch.
#ifndef CLI_PROGRESS_H
#define CLI_PROGRESS_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "console.h"

namespace cli {

// One file's progress on a terminal: a single line redrawn in place at most ten times a second.
class ProgressLine {
public:
    using Clock = std::chrono::steady_clock;

    // out: where it draws (a terminal); name: what is being moved; total: its size in bytes.
    // The name is shown through shown(): names may come from the network.
    ProgressLine(std::FILE* out, std::string name, std::uint64_t total,
                 Clock::time_point start = Clock::now());
    // The same, drawn through a console the program prints its other lines through (on a
    // terminal), so that a line printed meanwhile clears the progress line first.
    ProgressLine(Console& console, std::string name, std::uint64_t total,
                 Clock::time_point start = Clock::now());

    // Bytes done so far; redraws only when at least 100 ms passed since the last draw (the
    // first call always draws). The count is kept even when nothing is drawn: finish() rates it.
    void update(std::uint64_t done, Clock::time_point now = Clock::now());

    // Bytes done so far, not drawn: for a line shown only in its final form.
    void count(std::uint64_t done) { done_ = done; }

    // Counts again from byte `at`, as a send that resumed there or went again from the start;
    // note (may be empty, shown through shown()) stands in the line from then on. Time and
    // rate are of what moved since.
    void restart(std::uint64_t at, const std::string& note, Clock::time_point now = Clock::now());

    // Replaces the line with its final form: name, size, time taken, rate, then `outcome`
    // ("OK" or an error text, which may come from the peer and is made printable too), and a
    // newline. The rate is that of the bytes last passed to update(), so a transfer that
    // failed half way is not credited with the whole size.
    void finish(const std::string& outcome, Clock::time_point now = Clock::now());

private:
    void draw(Clock::time_point now);
    // Bytes a second since the count started; -1 before any time passed.
    double rate(Clock::time_point now) const;

    std::unique_ptr<Console> own_;  // the console drawn through, unless one was given
    Console* console_;
    std::string name_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    std::uint64_t base_ = 0;  // where the count started
    std::string note_;
    Clock::time_point start_;
    bool drawn_ = false;  // a shared console may have drawn another line just before
};

// One summary line for a batch: "N files, SIZE in TIME (RATE)" e.g.
// "3 files, 12.3 MiB in 1.2 s (10.2 MiB/s)"; "1 file" singular.
std::string batch_summary(std::size_t files, std::uint64_t bytes, double secs);

}  // namespace cli

#endif
