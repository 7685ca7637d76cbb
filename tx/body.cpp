// The body under the extension. A large file goes from the kernel's cache to the socket
// (sendfile) while a second thread reads it in order and digests it; a small one is read
// once, digested and sent with its lines in one piece, and one sent without waiting for GO
// is put together with its request in the batch's buffer.
#include "body.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "digest.h"
#include "ext.h"
#include "link.h"

namespace tx {

namespace {

using What = Outcome::What;

// Files up to this size go in one send with their FROM and SUM lines.
constexpr std::uint64_t small_body_sz = 64 * 1024;
// The digesting thread reads this much at a time: small enough to stay in the cache between
// the read and the digest.
constexpr std::size_t digest_block_sz = 256 << 10;

// Reads the file from its start to its announced size and digests it: the first `from` bytes
// and all of them. It runs on a thread of its own, so that on two cores the digests take
// nothing from the send; it reads with pread, which leaves the send's offset alone.
class Digester {
public:
    Digester(int fd, std::uint64_t from, std::uint64_t size)
        : fd_(fd), from_(from), size_(size), thread_([this] { run(); }) {}
    ~Digester() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    Digester(const Digester&) = delete;
    Digester& operator=(const Digester&) = delete;

    // Waits for the end: true with the two digests, else false with o saying why the file
    // could not be read to its size.
    bool finish(std::string& prefix, std::string& whole, Outcome& o) {
        thread_.join();
        prefix = prefix_;
        whole = whole_;
        if (!whole.empty()) return true;
        o.what = errno_ ? What::unreadable : What::shrank;
        o.failure = {};
        o.failure.sys_errno = errno_;
        o.now = read_;
        return false;
    }

private:
    void run() {
        wire::Digest d;
        const auto block = std::make_unique<char[]>(digest_block_sz);
        if (from_ == 0) prefix_ = d.hex();
        while (read_ < size_ && !stop_) {
            // A block never crosses `from`: the prefix's digest is taken exactly there.
            const std::uint64_t end = read_ < from_ ? from_ : size_;
            const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(digest_block_sz, end - read_));
            const ssize_t n = ::pread(fd_, block.get(), want, static_cast<off_t>(read_));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                errno_ = n < 0 ? errno : 0;
                return;
            }
            d.update(block.get(), static_cast<std::size_t>(n));
            read_ += static_cast<std::uint64_t>(n);
            if (read_ == from_) prefix_ = d.hex();
        }
        if (read_ == size_) whole_ = d.hex();
    }

    const int fd_;
    const std::uint64_t from_, size_;
    std::atomic<bool> stop_{false};
    std::uint64_t read_ = 0;
    int errno_ = 0;
    std::string prefix_, whole_;
    std::thread thread_;  // last: it starts once the rest is ready
};

Outcome send_small(Pipe p, Source& src, std::uint64_t from, cli::ProgressLine* line, Outcome o) {
    std::string body;
    if (!src.read_all(body)) return src.problem();
    const std::string piece = wire::from_line(from) + body.substr(from) +
                              wire::sum_line(wire::Digest::of(body.data(), from),
                                             wire::Digest::of(body.data(), body.size()));
    if (!send_bytes(p, piece, o)) return o;
    o.sent = src.size();
    if (line) line->update(o.sent);
    return o;
}

}  // namespace

Outcome send_body(Pipe p, Source& src, std::uint64_t from, cli::ProgressLine* line) {
    Outcome o;
    o.size = src.size();
    o.sent = from;
    if (src.size() <= small_body_sz) return send_small(p, src, from, line, o);
    Digester digests(src.fd(), from, src.size());
    if (!send_bytes(p, wire::from_line(from), o)) return o;
    std::function<void(std::uint64_t)> progress;
    if (line) progress = [line, from](std::uint64_t sent) { line->update(from + sent); };
    if (!send_file_part(p, src.fd(), from, src.size() - from, o, progress)) {
        if (o.what == What::shrank || (o.what == What::failed && src.shrank())) {
            src.shrank();
            o.what = What::shrank;
            o.now = src.problem().now;
        }
        return o;
    }
    std::string prefix, whole;
    if (!digests.finish(prefix, whole, o)) return o;
    send_bytes(p, wire::sum_line(prefix, whole), o);
    return o;
}

bool append_body_now(std::string& out, const Item& item, Source& src) {
    wire::Attrs attrs = src.attrs();
    attrs.body_now = true;
    out += wire::request(item.name, item.destdir, src.size(), attrs);
    out += wire::from_line(0);
    const std::size_t at = out.size();
    if (!src.read_all(out)) {
        out.resize(at);
        return false;
    }
    static const std::string nothing = wire::Digest::of(nullptr, 0);
    out += wire::sum_line(nothing, wire::Digest::of(out.data() + at, src.size()));
    return true;
}

}  // namespace tx
