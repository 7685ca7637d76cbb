// The receiver's header and body state machine, classic and under the extension, fed a
// peer's bytes through a socketpair in pieces of the input's choosing. Whatever comes, no
// work file may be left behind but a kept part, and a file may be stored only when an
// answer said OK.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz_support.h"
#include "transfer.h"

namespace {

ssize_t refusing_splice(int, int, std::uint64_t, std::size_t) {
    errno = EINVAL;
    return -1;
}

// A directory of its own for the whole run, on memory where there is some.
const std::string& root() {
    static const std::string dir = [] {
        std::string pattern = (std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp") + std::string("/fuzzrxXXXXXX");
        if (!::mkdtemp(pattern.data())) fuzz::fail("mkdtemp: %s", std::strerror(errno));
        return pattern;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    fuzz::clear_error();
    static const int root_fd = ::open(root().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    static std::FILE* out = std::fopen("/dev/null", "w");
    static rx::View view(out, false, false);
    rx::Rules rules;
    rules.store.root_fd = root_fd;
    // At most about 1 MiB may be stored: the rest of the disk is kept free.
    struct statvfs fs {};
    ::fstatvfs(root_fd, &fs);
    const std::uint64_t avail = static_cast<std::uint64_t>(fs.f_bavail) * fs.f_frsize;
    rules.store.min_free = avail > (1 << 20) ? avail - (1 << 20) : 0;
    rules.header_deadline = std::chrono::hours(1);
    const std::size_t piece = 1 + (data[0] & 0x7F);
    if (data[0] & 0x80) rules.file_splice = refusing_splice;

    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return 0;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    std::string reply;
    {
        rx::Transfer t(sv[0], peer, 9500, rules, view, rx::Clock::now());
        for (std::size_t at = 1; at < size && !t.finished();) {
            const ssize_t n = ::send(sv[1], data + at, std::min(piece, size - at), MSG_NOSIGNAL);
            if (n > 0) at += static_cast<std::size_t>(n);
            t.on_readable(rx::Clock::now());
            while (t.busy()) t.work(rx::Clock::now());
        }
        ::shutdown(sv[1], SHUT_WR);
        t.on_readable(rx::Clock::now());
        while (t.busy()) t.work(rx::Clock::now());
        char buf[4096];
        for (ssize_t n; (n = ::recv(sv[1], buf, sizeof buf, MSG_DONTWAIT)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
    }
    ::close(sv[1]);
    bool stored_any = false;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root())) {
        const std::string name = e.path().filename().string();
        const bool work_file = name.starts_with(rx::work_prefix) && name.ends_with(rx::work_suffix);
        // A part kept for resuming (a hash of its file's name) may stay; nothing else may.
        const std::string stem = name.substr(0, name.find('.', 1));
        const bool kept = stem.size() == sizeof rx::work_prefix - 1 + 16 &&
                          stem.find_first_not_of("0123456789abcdef", sizeof rx::work_prefix - 1) == std::string::npos;
        if (e.is_regular_file() && work_file && !kept)
            fuzz::fail("work file left: %s", e.path().c_str());
        stored_any = stored_any || (e.is_regular_file() && !work_file);
    }
    // Under the extension OK is one answer among others: at the start or after a CR.
    const bool ok = reply == "OK\r" || reply.find("\rOK\r") != std::string::npos;
    if (stored_any && !ok) fuzz::fail("a file was stored, and the reply was \"%s\"", reply.c_str());
    for (const auto& e : std::filesystem::directory_iterator(root())) std::filesystem::remove_all(e.path());
    fuzz::clear_error();
    return 0;
}
