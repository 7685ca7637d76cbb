// Where a body's bytes go: the work file, by plain writes or, for large bodies, straight from
// the socket through a pipe without passing through this process; or nowhere, once the
// body is being dropped.
#ifndef RX_SINK_H
#define RX_SINK_H

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "failure.h"

namespace rx {

class Sink {
public:
    // How bytes move from the pipe into the file at an offset; the kernel's splice() unless
    // a test puts in one that refuses, as some file systems do.
    using FileSplice = ssize_t (*)(int pipe_out, int file, std::uint64_t at, std::size_t n);

    explicit Sink(FileSplice file_splice = nullptr);
    ~Sink();
    Sink(const Sink&) = delete;
    Sink& operator=(const Sink&) = delete;

    // Bytes go to fd (the work file; name is what messages call it) from here on, the first
    // at offset at. zero_copy allows the pipe for large bodies.
    void open(int fd, std::string name, bool zero_copy, std::uint64_t at = 0);
    // Bytes are only counted from here on: the body is being dropped.
    void drop();
    bool dropping() const { return fd_ < 0; }

    // Writes n bytes taken from the socket, the body's bytes at..at+n. Nothing when written
    // or dropped; else why they could not be (and from then on the sink drops).
    cli::Failure write(const char* bytes, std::size_t n, std::uint64_t at);

    // Whether the next left bytes of the body should come through the pipe.
    bool splicing(std::uint64_t left) const;
    // Moves up to want bytes from socket sd into the file at offset at. Gives the bytes that
    // left the socket (written, or dropped after a write error, which error then tells), 0
    // when the socket has nothing now, -1 when it ended or failed (the plain way then reads
    // it and reports why) or the kernel will not splice it (the plain way goes on for good).
    ssize_t splice(int sd, std::uint64_t at, std::size_t want, cli::Failure& error);

private:
    void plain_from(std::uint64_t at);
    void close_pipe();

    FileSplice file_splice_;
    int fd_ = -1;
    std::string name_;
    bool zero_copy_ = false;
    int pipe_[2] = {-1, -1};
};

}  // namespace rx

#endif
