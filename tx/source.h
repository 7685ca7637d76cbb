// One file to send, opened and checked before its connection: what is sent is what was
// checked.
#ifndef TX_SOURCE_H
#define TX_SOURCE_H

#include <cstdint>
#include <string>

#include "expand.h"
#include "ext.h"
#include "outcome.h"

namespace tx {

class Source {
public:
    explicit Source(const Item& item);
    ~Source();
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;

    // Why the file cannot be sent; ok() when it can.
    const Outcome& problem() const { return problem_; }
    int fd() const { return fd_; }
    std::uint64_t size() const { return size_; }
    // Its modification time and permission bits when opened, as a request carries them.
    const wire::Attrs& attrs() const { return attrs_; }

    // Appends the whole file, from its start, to out; false (problem() then says it shrank) when it ends first.
    bool read_all(std::string& out);
    // Whether the file is now shorter than its size when opened; problem() then says so.
    bool shrank();

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    wire::Attrs attrs_;
    Outcome problem_;
};

}  // namespace tx

#endif
