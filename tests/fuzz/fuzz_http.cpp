// The HTTP response reader (SCK_SS, and SCK_BF with the caller's buffer), fed through a
// socketpair() the target writes: no network. The first line of the input sets the session
// up, in words separated by blanks; the rest is what the peer sends:
//   htm, xml          the response is an HTML page / an XML document (a header expected)
//   bf=N              read into a caller's buffer of N bytes (1 to 65536) with SCK_BF
//   end=TEXT          end text: the response is complete once it ends with TEXT (\r, \n,
//                     \t and \\ stand for those characters)
//   ch=C              end character
//   chunk=N           the peer sends N bytes at a time (1 to 65536), the reader called between
//   open              the peer keeps the connection open after its last byte
// Up to three responses are read on the connection, as a client reads a reply after another.
//
// What must hold: the text read fits its buffer and is terminated; the first response's text
// is what the peer sent first; the header is where the text begins and within it; a body
// never takes more than its Content-length; a failure leaves the session done; nothing is
// read past any buffer.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"

namespace {

constexpr std::size_t size_mx = 65536;
constexpr std::uint32_t none4 = 0xFFFFFFFFu;
constexpr int responses_mx = 3;

struct Setup {
    bool htm = false, xml = false, open = false;
    std::size_t bf = 0;     // 0: SCK_SS and rx_bf
    std::size_t chunk = 0;  // 0: all at once
    std::string end;
    char ch = 0;
};

std::size_t number(std::string_view v) {
    std::size_t n = 0;
    for (char c : v) {
        if (c < '0' || c > '9') break;
        n = std::min(n * 10 + static_cast<std::size_t>(c - '0'), size_mx);
    }
    return n;
}

std::string unescape(std::string_view v) {
    std::string out;
    for (std::size_t i = 0; i < v.size(); ++i) {
        if (v[i] != '\\' || i + 1 == v.size()) {
            out += v[i];
            continue;
        }
        const char c = v[++i];
        out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c;
    }
    return out;
}

Setup setup(std::string_view line) {
    Setup s;
    while (!line.empty()) {
        const std::size_t blank = std::min(line.find(' '), line.size());
        const std::string_view w = line.substr(0, blank);
        line.remove_prefix(std::min(blank + 1, line.size()));
        if (w == "htm")
            s.htm = true;
        else if (w == "xml")
            s.xml = true;
        else if (w == "open")
            s.open = true;
        else if (w.starts_with("bf="))
            s.bf = number(w.substr(3));
        else if (w.starts_with("chunk="))
            s.chunk = number(w.substr(6));
        else if (w.starts_with("end="))
            s.end = unescape(w.substr(4));
        else if (w.starts_with("ch=") && w.size() > 3)
            s.ch = w[3];
    }
    return s;
}

void check(const SS& ss, const char* text, std::size_t cap) {
    if (!text) {
        if (ss.rxcnt) fuzz::fail("%u bytes read and no text", ss.rxcnt);
        return;
    }
    if (std::size_t{ss.rxcnt} + 1 > cap) fuzz::fail("%u bytes read into a buffer of %zu", ss.rxcnt, cap);
    if (text[ss.rxcnt] != 0) fuzz::fail("the text of %u bytes is not terminated", ss.rxcnt);
    if (ss.hdr) {
        if (ss.hdrsz > ss.rxcnt) fuzz::fail("a header of %u bytes in a text of %u", ss.hdrsz, ss.rxcnt);
        if (std::memcmp(ss.hdr, text, ss.hdrsz) != 0) fuzz::fail("the header is not where the text begins");
        if (ss.content_len != none4 && ss.rxcnt - ss.hdrsz > ss.content_len)
            fuzz::fail("a body of %u bytes for a length of %u", ss.rxcnt - ss.hdrsz, ss.content_len);
    }
}

// Writes all of it; the reader's end does not read meanwhile, so it must all fit at once.
void send_all(int sd, const char* p, std::size_t n) {
    while (n) {
        const ssize_t w = ::write(sd, p, n);
        if (w <= 0) fuzz::fail("the peer could not send");
        p += w;
        n -= static_cast<std::size_t>(w);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SCK_SYS_OP();  // SIGPIPE ignored
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::clear_error();
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nl = std::min(input.find('\n'), input.size());
    const Setup s = setup(input.substr(0, nl));
    const std::string_view peer = input.substr(std::min(nl + 1, input.size()));

    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) fuzz::fail("no socketpair");
    ::fcntl(pair[0], F_SETFL, ::fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    const int buffer_room = 1 << 20;
    ::setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &buffer_room, sizeof buffer_room);

    SS ss;
    SS_INIT(&ss, 1);
    ss.htm = s.htm;
    ss.xml = s.xml;
    ss.end_ch = s.ch;
    ss.end_s = s.end.empty() ? nullptr : s.end.c_str();
    ss.end_sz = static_cast<std::uint16_t>(s.end.size());
    ss.rx_tmo = 0;  // the clock must not decide
    ss.sd = pair[0];

    // The caller's buffer, exactly its size, so that AddressSanitizer guards its end.
    std::unique_ptr<char[]> bf(s.bf ? new char[s.bf] : nullptr);

    const std::size_t chunk = s.chunk ? s.chunk : std::max<std::size_t>(peer.size(), 1);
    std::size_t sent = 0;
    bool closed = false;
    int responses = 0;
    for (int idle = 0; responses < responses_mx && idle < 2;) {
        if (sent < peer.size()) {
            const std::size_t n = std::min(chunk, peer.size() - sent);
            send_all(pair[1], peer.data() + sent, n);
            sent += n;
        } else if (!s.open && !closed) {
            ::shutdown(pair[1], SHUT_WR);
            closed = true;
        } else {
            ++idle;  // nothing more comes: the reader has what it will get
        }
        const std::uint32_t before = ss.rxcnt;
        const char r = s.bf ? SCK_BF(&ss, bf.get(), static_cast<std::uint32_t>(s.bf), 0) : SCK_SS(&ss, 0);
        const char* text = s.bf ? bf.get() : ss.rx_bf;
        check(ss, text, s.bf ? s.bf : ss.rx_bfsz);
        if (responses == 0 && text && (ss.rxcnt > peer.size() || std::memcmp(text, peer.data(), ss.rxcnt) != 0))
            fuzz::fail("the text of %u bytes is not what the peer sent", ss.rxcnt);
        if (r) {
            if (!ss.done) fuzz::fail("a response ended without done set");
            ++responses;
            if (err_) {
                fuzz::take_error();
                break;
            }
        } else if (err_) {
            fuzz::fail("the reader raised \"%s\" and waits for more", fuzz::take_error().c_str());
        } else if (ss.rxcnt != before) {
            idle = 0;
        }
    }
    fuzz::clear_error();
    SS_CL(&ss);
    ::close(pair[1]);
    return 0;
}
