// The HTTP/1.0 client: the session record, its URL and connection (with the name cache),
// GET and POST requests, the response reader and the one-call downloads.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>

#include "cnv_lb.h"
#include "fl_lb.h"
#include "lb_own.h"
#include "mem_lb.h"
#include "s_ech.h"
#include "s_mt.h"
#include "sck_lb.h"
#include "sm_vd.h"
#include "tm_lb.h"

namespace {

constexpr std::uint32_t none4 = 0xFFFFFFFFu;
constexpr std::uint16_t http_port = 80;
constexpr std::uint32_t end_ch_quiet_ms = 99;  // end_ch counts once quiet for more than this
constexpr std::uint32_t quiet_ms = 1000;       // the quiet rules want a whole second
constexpr std::uint16_t fail_head = 256;       // bytes of a failed response put in the trail
// rx_bf may grow this far: its size, the terminator included, must fit 32 bits.
constexpr std::uint32_t rx_mxsz = none4 - ss_blk_sz;

const char conn_work[] = "url_sr_xxx.tmp";  // rewrites the cache after a stale entry
const char ss_work[] = "sck_ss_xxx.tmp";    // rewrites the cache after "404 Not Found"
const char default_agent[] = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)";

// Multipart streams put these before each part; a header ending in one is the stream's
// own, and the part's header follows.
const char video_boundary[] = "--video boundary--";
const char my_boundary[] = "--myboundary";
const char video_header_end[] = "boundary=--video boundary--\r\n\r\n";
const char my_header_end[] = "boundary=--myboundary\r\n\r\n";
const char video_part_start[] = "\r\n\r\n--video boundary--";
const char my_part_start[] = "\r\n--myboundary";

bool http_trc() { return dbg_ > 0 || sck_dbg; }

const char* nz(const char* text) { return text ? text : ""; }

// The pending message, which is cleared, as a copy of its own.
std::string take_err() { return nz(ERR_S()); }

bool starts(std::string_view text, std::string_view head) { return text.substr(0, head.size()) == head; }

bool starts_ci(std::string_view text, std::string_view head) {
    return text.size() >= head.size() && BF_MT(text.data(), head.data(), static_cast<std::uint16_t>(head.size()), 0, 1, 0);
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

// The response's fields as a new response starts; what they pointed to is released first
// (or, on SS_INIT, was never the record's).
void clear_response(SS* ss) {
    ss->rx_bf = nullptr;
    ss->rx_bfsz = 0;
    ss->rxcnt = 0;
    ss->hdr = nullptr;
    ss->hdrsz = 0;
    ss->content_len = none4;
    ss->content_type = nullptr;
    ss->mod_date = nullptr;
    ss->streaming_video = 0;
    ss->tic0 = none4;
    ss->tic1 = none4;
    ss->done = 0;
    ss->st = 0;
}

void release_response(SS* ss) {
    MEM_FR(&ss->rx_bf);
    MEM_FR(&ss->hdr);
    MEM_FR(&ss->content_type);
    MEM_FR(&ss->mod_date);
    clear_response(ss);
}

// The fields SS_INIT always sets, whatever its full flag.
void init_rest(SS* ss) {
    ss->sd = -1;
    ss->host = nullptr;
    ss->file = nullptr;
    ss->ip = nullptr;
    ss->port = http_port;
    ss->blkx = 0;
    ss->blkcnt = 0;
    clear_response(ss);
}

// Waits until sd has something to read, at most ms (at least 1, so no loop spins); a plain
// pause when there is no socket.
void wait_readable(int sd, std::uint16_t ms) {
    ms = std::max<std::uint16_t>(ms, 1);
    if (sd < 0) {
        SLEEP_MS(ms);
        return;
    }
    pollfd pfd{sd, POLLIN, 0};
    ::poll(&pfd, 1, ms);
}

}  // namespace

// ---- Session record ---------------------------------------------------------------------------

void SS_INIT(SS* ss, char full) {
    static const char rtn[] = "SS_INIT";
    if (err_ || !ss) return;
    if (sck_dbg) S_DBG(rtn);
    if (full) {
        ss->url = nullptr;
        ss->htm = 0;
        ss->xml = 0;
        ss->end_ch = 0;
        ss->end_s = nullptr;
        ss->end_sz = 0;
        ss->conn_tmo = 5;
        ss->tx_tmo = 10;
        ss->poll_ms = 10;
        ss->rx_tmo = 30;
    }
    init_rest(ss);
}

void SS_CL(SS* ss) {
    static const char rtn[] = "SS_CL";
    if (sck_dbg) S_DBG(rtn);
    if (!ss) return;
    if (ss->sd >= 0) SCK_CL(ss->sd);
    ss->sd = -1;
    MEM_FR(&ss->url);
    MEM_FR(&ss->host);
    MEM_FR(&ss->ip);
    MEM_FR(&ss->file);
    release_response(ss);
    SS_INIT(ss, 0);
    // SS_INIT does nothing while an error is pending; the counts must still agree with
    // the strings just released, or the next use would write through a freed buffer.
    if (err_) init_rest(ss);
}

void SS_RESET(SS* ss, char close, char drop_block) {
    static const char rtn[] = "SS_RESET";
    if (!ss) return;
    if (sck_trc(2))
        SM_DBG(rtn, ":sd=", V_S10(ss->sd, nullptr, 0), "/", SD_IP(ss->sd, 1, 0), " close=",
               V_S10(static_cast<unsigned char>(close), nullptr, 0));
    if (drop_block) {
        ss->blkx = 0;
        ss->blkcnt = 0;
    }
    release_response(ss);
    if (close && ss->sd >= 0) {
        SCK_CL(ss->sd);
        ss->sd = -1;
    }
}

void SS_URL(SS* ss) {
    static const char rtn[] = "SS_URL";
    if (!ss)
        SM_ERR(rtn, ":ssp=NUL");
    else if (!ss->url)
        SM_ERR(rtn, ":url=NUL");
    if (err_) return;
    const char* url = ss->url;
    if (starts_ci(url, "http://")) url += 7;
    ss->host = S_RP(ss->host, url);
    if (RTN_ERR(rtn)) return;
    if (char* slash = std::strchr(ss->host, '/')) {
        ss->file = S_RP(ss->file, slash + 1);
        *slash = 0;
    } else {
        ss->file = S_RP(ss->file, "");
    }
    if (RTN_ERR(rtn)) return;
    if (char* colon = std::strchr(ss->host, ':')) {
        *colon = 0;
        const std::uint16_t port = S10_U2(colon + 1, nullptr, 0);
        if (err_) {
            // A port that does not read stays visible in the host; the default port serves.
            ERR_S();
            *colon = ':';
            ss->port = http_port;
        } else {
            ss->port = port;
        }
    }
}

// ---- Connection -------------------------------------------------------------------------------

namespace {

// Cuts a ":port" off ss->ip and takes the port from it.
void ip_port(const char* rtn, SS* ss, const char* label) {
    char* colon = std::strchr(ss->ip, ':');
    if (!colon) return;
    *colon = 0;
    ss->port = S10_U2(colon + 1, nullptr, 0);
    if (err_) {
        MEM_FR(&ss->ip);
        return;
    }
    if (http_trc()) SM_DBG(rtn, label, ss->ip, " port=", V_S10(ss->port, nullptr, 0));
}

// Connects to ss->ip and ss->port; on failure ss->ip is released.
void ip_connect(const char* rtn, SS* ss) {
    if (err_) return;
    if (http_trc()) SM_DBG(rtn, ":Connect to ", ss->ip, ":", V_S10(ss->port, nullptr, 0));
    sockaddr_in sai{};
    sai.sin_family = AF_INET;
    sai.sin_port = htons(ss->port);
    sai.sin_addr.s_addr = IP_UL(ss->ip, 1);
    ss->sd = SAI_CONN(&sai, ss->conn_tmo);
    if (err_) MEM_FR(&ss->ip);
}

// Looks ss->host up, records the answer in the cache and connects to it.
void look_up(const char* rtn, SS* ss) {
    if (http_trc()) SM_DBG(rtn, ":gethost ", ss->host);
    errno = 0;
    const hostent* he = ::gethostbyname(ss->host);
    if (!he || he->h_addrtype != AF_INET || !he->h_addr_list || !he->h_addr_list[0]) {
        const int no = errno;
        const char* detail = UT_SM_CP(":gethostbyname:host=", ss->host);
        errno = no;
        OS_ERR(rtn, detail, 0);
        return;
    }
    in_addr address{};
    std::memcpy(&address, he->h_addr_list[0], sizeof address);
    char dotted[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address, dotted, sizeof dotted);
    if (http_trc()) {
        SM_DBG("Host name  : ", nz(he->h_name));
        SM_DBG("IP Address : ", dotted);
    }
    ss->ip = S_RP(ss->ip, dotted);
    if (RTN_ERR(rtn)) return;
    if (http_trc()) SM_DBG(rtn, ":ip(4)=", ss->ip, " port=", V_S10(ss->port, nullptr, 0));
    host_ip_add(ss->host, ss->ip);
    if (err_) {
        // A cache that cannot be written only costs the next lookup.
        const std::string why = take_err();
        if (http_trc()) SM_DBG(rtn, ":", why.c_str(), " (ignored)");
    }
    ip_connect(rtn, ss);
}

}  // namespace

char SS_CONN(SS* ss) {
    static const char rtn[] = "SS_CONN";
    if (!ss) SM_ERR(rtn, ":ssp=NUL");
    if (err_) return 0;
    if (!ss->url)
        SM_ERR(rtn, ":url=NUL");
    else if (ss->sd >= 0)
        SM_ERR(rtn, ":sd >= 0");
    if (err_) return 0;
    if (http_trc()) SM_DBG(rtn, ":url=", ss->url);
    SCK_SYS_OP();

    if (!ss->host) {
        if (!ss->ip) ss->port = http_port;
        SS_URL(ss);
        if (!err_ && http_trc())
            SM_DBG(rtn, ":host=", ss->host, " http_fl=", ss->file, " port=", V_S10(ss->port, nullptr, 0),
                   " file=", ss->file);
    }

    bool cached = false;
    if (!err_ && !ss->ip) {
        if (IP_UL(ss->host, 0)) {
            ss->ip = S_CP(ss->host);
            if (!err_ && http_trc()) SM_DBG(rtn, ":ip(1)=", ss->ip);
        } else {
            ss->ip = host_ip_find(ss->host);
            if (err_) {
                // An unreadable cache only costs a lookup.
                if (sck_trc(2)) {
                    const std::string why = take_err();
                    SM_DBG(rtn, ":", why.c_str(), " (ignored)");
                }
                ERR_S();
                MEM_FR(&ss->ip);
            }
            cached = ss->ip != nullptr;
            if (cached && http_trc()) SM_DBG(rtn, ":ip(2)=", ss->ip);
        }
    }
    // A caller's ip may carry a port too, as the cache's lines may.
    if (!err_ && ss->ip) ip_port(rtn, ss, ":ip(3)=");

    if (!err_) {
        if (ss->ip)
            ip_connect(rtn, ss);
        else
            look_up(rtn, ss);
    }
    if (err_ && cached) {
        // A stale cache entry: drop it and ask the resolver.
        {
            const std::string why = take_err();
            if (http_trc()) SM_DBG(rtn, ":", why.c_str(), " (retry...)");
        }
        host_ip_drop(ss->host, conn_work);
        if (err_) {
            const std::string why = take_err();
            if (http_trc()) SM_DBG(rtn, ":", why.c_str(), " (ignored)");
        }
        look_up(rtn, ss);
    }
    if (!err_ && ss->sd >= 0) return 1;
    SCK_CL(ss->sd);
    ss->sd = -1;
    return 0;
}

// ---- Requests ---------------------------------------------------------------------------------

namespace {

// Builds a request line by line; every line ends with CR LF.
class Request {
public:
    void line(const char* name, const char* value) {
        if (!value) return;
        text_ += name;
        text_ += value;
        text_ += cr_lf;
    }
    void raw(const char* text) { text_ += text; }
    void end() { text_ += cr_lf; }
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// Sent in one piece. Texts longer than the text sender measures go through the buffer
// sender with their length.
void send_request(SS* ss, const std::string& request) {
    if (request.size() <= lb_s_mxsz)
        S_SCK(ss->sd, request.c_str(), &ss->st, ss->tx_tmo);
    else
        BF_SCK(ss->sd, request.data(), static_cast<std::uint32_t>(request.size()), &ss->st, ss->tx_tmo);
}

// A trail that cannot take the request (too long a line) must not keep it from being sent.
void trace_request(const char* rtn, const std::string& request) {
    if (!http_trc()) return;
    SM_DBG(rtn, ":TX=", request.c_str());
    ERR_S();
}

void first_line(Request& rq, const char* method, const SS* ss, const char* version) {
    rq.raw(method);
    rq.raw(nz(ss->file));
    rq.raw(" HTTP/");
    rq.raw(version ? version : "1.0");
    rq.end();
}

void common_lines(Request& rq, const SS* ss, const char* connection, const char* accept,
                  const char* accept_language, const char* referer, const char* content_type,
                  const char* pragma, const char* user_agent) {
    rq.line("Connection: ", connection);
    rq.line("Accept: ", accept ? accept : "*/*");
    rq.line("Accept-Language: ", accept_language);
    rq.line("Referer: ", referer);
    rq.line("Content-Type: ", content_type);
    rq.line("Pragma: ", pragma);
    rq.line("User-Agent: ", user_agent ? user_agent : default_agent);
    rq.line("Host: ", nz(ss->host));
}

}  // namespace

void HTTP_GET(SS* ss, const char* version, const char* connection, const char* accept,
              const char* accept_language, const char* referer, const char* content_type,
              const char* pragma, const char* user_agent, const char* proxy_connection,
              const char* cookie, const char* authorization) {
    static const char rtn[] = "HTTP_GET";
    if (err_) return;
    if (!ss)
        SM_ERR(rtn, ":ssp=NUL");
    else if (!ss->url)
        SM_ERR(rtn, ":url=NUL");
    if (RTN_ERR(rtn)) return;
    if (http_trc()) SM_DBG(rtn, ":url=", ss->url);

    if (S_END_MT(ss->url, ".htm", 0, 1, 0) || S_END_MT(ss->url, ".html", 0, 1, 0)) {
        ss->htm = 1;
        ss->xml = 0;
    } else if (S_END_MT(ss->url, ".xml", 0, 1, 0)) {
        ss->xml = 1;
        ss->htm = 0;
    }
    if (ss->sd < 0 && !SS_CONN(ss)) {
        RTN_ERR(rtn);
        return;
    }

    Request rq;
    first_line(rq, "GET /", ss, version);
    common_lines(rq, ss, connection, accept, accept_language, referer, content_type, pragma, user_agent);
    rq.line("Proxy-Connection: ", proxy_connection);
    rq.line("Cookie: ", cookie);
    rq.line("Authorization: ", authorization);
    rq.end();
    trace_request(rtn, rq.text());

    // The reader would start the next response on its first call and so forget tic0, and
    // with it the receive time-out of this request.
    if (ss->done) SS_RESET(ss, 0, 0);
    ss->tic0 = TIC_C();
    send_request(ss, rq.text());
    RTN_ERR(rtn);
}

void HTTP_POST(SS* ss, const char* version, const char* connection, const char* accept,
               const char* accept_language, const char* referer, const char* content_type,
               const char* pragma, const char* user_agent, const char* proxy_connection,
               const char* cookie, const char* body) {
    static const char rtn[] = "HTTP_POST";
    if (!ss) SM_ERR(rtn, ":ssp=NUL");
    if (err_) return;
    if (!ss->url) {
        SM_ERR(rtn, ":url=NUL");
        return;
    }
    if (http_trc()) SM_DBG(rtn, ":url=", ss->url);
    if (ss->sd < 0 && !SS_CONN(ss)) return;

    // The length is that of the whole body, not a 16-bit count of it.
    const std::size_t body_len = body ? std::strlen(body) : 0;
    Request rq;
    first_line(rq, "POST /", ss, version);
    common_lines(rq, ss, connection, accept, accept_language, referer, content_type, pragma, user_agent);
    rq.line("Content-Length: ", Dec(body_len).text);
    rq.line("Proxy-Connection: ", proxy_connection);
    rq.line("Cookie: ", cookie);
    rq.end();
    if (body) rq.raw(body);
    rq.end();
    trace_request(rtn, rq.text());
    send_request(ss, rq.text());
}

// ---- Response reader --------------------------------------------------------------------------
//
// Where HTTP/1.0 leaves room, the reader does what a client of it is expected to do:
// - The peer closing the connection ends the response (that is how HTTP/1.0 marks the end
//   of a body without a length), unless nothing arrived, a header that was begun has not
//   ended, or a Content-length is not yet reached; the session's socket is then closed
//   (sd -1, st 5) so the next request connects anew.
// - Header names other than "Content-length: " are compared without regard to case; a
//   field is taken at the start of a line, the last such line counting (in a multipart
//   stream the part's header is nearest the body). "</xml>" and "</html>" are compared
//   without regard to case.
// - An empty line with nothing but line ends before it (the gap between multipart parts)
//   does not end a header.
// - An HTML session without a header has its text checked as the header.
// - The error of a bad status reads "HTTP:" and the status line from the status on
//   ("HTTP:404 Not Found").
// - Without a request, the receive time-out counts from the first byte; with wait set it
//   also counts from the call, so that a wait never lasts for ever.
// - The failure and its text go to the debug trail when tracing is on (debug level above 0
//   or socket tracing).

namespace {

// The text a response is read into: rx_bf, or a caller's buffer that cannot grow.
struct Text {
    char*& bf;
    std::uint32_t& cap;
    bool grow;
};

struct Reader {
    const char* rtn;
    SS* ss;
    Text text;
    bool complete = false;

    std::string_view all() const { return {text.bf ? text.bf : "", text.bf ? ss->rxcnt : 0}; }

    void too_large() { SM_ERR(rtn, ":response too large (rxcnt=", Dec(ss->rxcnt).text, ")"); }

    // How many of n more bytes fit with the terminator: all of them once rx_bf has grown,
    // what is left of a caller's buffer. 0 with the error raised when none fits.
    std::uint32_t room(std::uint32_t n) {
        const std::uint64_t need = std::uint64_t{ss->rxcnt} + n + 1;
        if (text.bf && need <= text.cap) return n;
        if (!text.grow) {
            const std::uint32_t left = text.cap > ss->rxcnt + 1 ? text.cap - ss->rxcnt - 1 : 0;
            if (!left) too_large();
            return left;
        }
        const std::uint64_t cap = (need + ss_blk_sz - 1) / ss_blk_sz * ss_blk_sz;
        if (cap > rx_mxsz) {
            too_large();
            return 0;
        }
        char* bigger = MEM_REAL(text.bf, static_cast<std::uint32_t>(cap));
        if (err_) return 0;
        text.bf = bigger;
        text.cap = static_cast<std::uint32_t>(cap);
        return n;
    }

    bool seeking_header() const { return (ss->htm || ss->xml) && !ss->hdr; }

    bool header_ends() const {
        const std::string_view t = all();
        if (t.size() < 4 || t.substr(t.size() - 4) != "\r\n\r\n") return false;
        if (t.find_first_not_of("\r\n") >= t.size() - 4) return false;
        if (ss->xml && starts(t, "<?xml")) return false;
        if (t.ends_with(video_header_end) || t.ends_with(my_header_end)) return false;
        return true;
    }

    // The value of the last header line that begins with name.
    static std::string_view field(std::string_view hdr, std::string_view name, bool cs) {
        std::string_view found;
        bool have = false;
        for (std::size_t at = 0; at < hdr.size();) {
            std::size_t end = hdr.find_first_of("\r\n", at);
            if (end == std::string_view::npos) end = hdr.size();
            const std::string_view line = hdr.substr(at, end - at);
            if (cs ? starts(line, name) : starts_ci(line, name)) {
                found = line.substr(name.size());
                have = true;
            }
            at = end + 1;
        }
        return have ? found : std::string_view{};
    }

    void take_header() {
        ss->hdrsz = ss->rxcnt;
        ss->hdr = lb_cp_part(all());
        if (err_) return;
        const std::string_view hdr(ss->hdr, ss->hdrsz);
        ss->streaming_video = contains(hdr, video_boundary) || contains(hdr, my_boundary);
        std::string_view value = field(hdr, "Content-length: ", true);
        ss->content_len = none4;
        if (!value.empty()) {
            // A length that does not read counts as none.
            LbOwned number(lb_cp_part(value));
            if (err_) return;
            const std::uint32_t len = S10_U4(number.get(), nullptr, 0);
            if (err_)
                ERR_S();
            else
                ss->content_len = len;
        }
        value = field(hdr, "Content-Type: ", false);
        if (value.data()) ss->content_type = lb_cp_part(value);
        value = field(hdr, "Last-Modified: ", false);
        if (!value.data()) value = field(hdr, "Date: ", false);
        if (!err_ && value.data()) ss->mod_date = lb_cp_part(value);
        if (!err_ && starts(hdr, "POST ") && ss->content_len == none4) S_ERR("No content-length");
    }

    bool body_complete() const {
        return ss->hdr && ss->content_len != none4 && ss->rxcnt - ss->hdrsz >= ss->content_len;
    }

    // Moves the unread bytes of blk into the text, stopping at the byte that completes it.
    void move_block() {
        const std::uint32_t left = ss->blkcnt - ss->blkx;
        if (left == 0) return;
        const std::uint32_t take = room(left);
        if (take == 0) return;
        ss->tic1 = TIC_C();
        if (ss->tic0 == none4) ss->tic0 = ss->tic1;
        char* bf = text.bf;
        const char end_last = ss->end_s && ss->end_sz ? ss->end_s[ss->end_sz - 1] : 0;
        const std::uint32_t stop = ss->blkx + take;
        while (ss->blkx < stop) {
            if (!end_last && !seeking_header()) {
                // Nothing to look for byte by byte: the rest goes in one piece, up to the
                // end of the body when its length is known.
                std::uint32_t n = stop - ss->blkx;
                if (ss->hdr && ss->content_len != none4)
                    n = std::min(n, ss->content_len - (ss->rxcnt - ss->hdrsz));
                std::memcpy(bf + ss->rxcnt, ss->blk + ss->blkx, n);
                ss->rxcnt += n;
                ss->blkx += n;
                if (body_complete()) complete = true;
                break;
            }
            const char c = ss->blk[ss->blkx++];
            bf[ss->rxcnt++] = c;
            // Once the header is in, the end text counts only within what follows it: one
            // that began inside the header would cut the header short.
            if (end_last && c == end_last && ss->rxcnt - ss->hdrsz >= ss->end_sz &&
                std::memcmp(bf + ss->rxcnt - ss->end_sz, ss->end_s, ss->end_sz) == 0) {
                ss->rxcnt -= ss->end_sz;
                complete = true;
                break;
            }
            if (c == '\n' && seeking_header()) {
                bf[ss->rxcnt] = 0;
                if (header_ends()) {
                    take_header();
                    if (err_) break;
                }
            }
            if (body_complete()) {
                complete = true;
                break;
            }
        }
        bf[ss->rxcnt] = 0;
        // A caller's buffer that is full while the response goes on.
        if (!complete && !err_ && ss->blkx < ss->blkcnt) too_large();
    }

    // Whether the last "<" of the text opens tag. Only the bytes from just before from on
    // are looked at: an earlier "<" had all of its tag in the text at the previous check.
    bool last_tag_is(std::uint32_t from, std::string_view tag) const {
        const std::string_view t = all();
        const std::size_t lo = from > tag.size() ? from - tag.size() : 0;
        if (lo >= t.size()) return false;
        const std::size_t lt = t.substr(lo).rfind('<');
        if (lt == std::string_view::npos) return false;
        return starts_ci(t.substr(lo + lt), tag);
    }

    bool quiet_for(std::uint32_t ms) const {
        return ss->rxcnt && ss->tic1 != none4 && EL_MS(ss->tic1, tic_now) >= ms;
    }

    bool holds_xml_declaration() const {
        const std::string_view t = all();
        const std::size_t at = t.find("<?xml");
        return at != std::string_view::npos && t.find('>', at) != std::string_view::npos;
    }

    // The rules that need a look at the whole text or at the clock; from is rxcnt at the
    // previous look.
    void check(std::uint32_t from) {
        if (ss->end_ch && ss->rxcnt && text.bf[ss->rxcnt - 1] == ss->end_ch && quiet_for(end_ch_quiet_ms + 1))
            complete = true;
        if (ss->xml && (last_tag_is(from, "</xml>") || (quiet_for(quiet_ms) && holds_xml_declaration())))
            complete = true;
        if (ss->hdr && ss->content_len == none4) {
            const bool text_type = ss->content_type && starts_ci(ss->content_type, "text/");
            if (text_type ? last_tag_is(from, "</html>") : quiet_for(quiet_ms)) complete = true;
        }
    }

    void check_header() {
        std::string_view h;
        if (ss->hdr)
            h = std::string_view(ss->hdr, ss->hdrsz);
        else if (ss->xml)
            return;
        else
            h = all();
        if (starts(h, "GET ") || starts(h, "HEAD ") || starts(h, "POST ")) return;
        if (starts(h, video_part_start) || starts(h, my_part_start)) return;
        if (!starts(h, "HTTP/")) {
            S_ERR("Invalid header (no \"HTTP/\")");
            return;
        }
        const std::string_view line = h.substr(0, h.find_first_of("\r\n"));
        const std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos || blank + 1 >= line.size()) {
            S_ERR("Invalid header (no status)");
            return;
        }
        const std::string_view status = line.substr(blank + 1);
        const auto code_is = [&](std::string_view code) {
            return starts(status, code) && (status.size() == 3 || !std::isdigit(static_cast<unsigned char>(status[3])));
        };
        if (status[0] == '2' || code_is("302") || code_is("100")) return;
        const std::string shown(status);
        SM_ERR("HTTP:", shown.c_str());
    }

    void fail() {
        RTN_ERR(rtn);
        if (ss->url)
            SM_ERRA(" (URL=", ss->url, ")");
        else
            SM_ERRA(" (sd=", V_S10(ss->sd, nullptr, 0), ")");
        const std::string why = take_err();
        if (http_trc()) {
            const std::uint32_t n = std::min<std::uint32_t>(ss->rxcnt, fail_head);
            SM_DBG(rtn, ":", why.c_str());
            SM_DBG(rtn, ":rx=", text.bf ? BF_BACKSLASH_X(text.bf, static_cast<std::uint16_t>(n)) : "");
            ERR_S();
        }
        // The server no longer knows the page at this address: forget the address.
        const std::size_t at404 = why.find("404");
        if (at404 != std::string::npos && why.find("Not Found", at404 + 3) != std::string::npos && ss->host) {
            host_ip_drop(ss->host, ss_work);
            ERR_S();
        }
        S_ERR(why.c_str());
    }

    char finish() {
        if (!err_ && complete && (ss->htm || ss->xml)) check_header();
        if (err_) fail();
        ss->done = 1;
        return 1;
    }

    char run(char wait) {
        const std::uint32_t call_tic = TIC_C();
        std::uint32_t from = ss->rxcnt;
        for (;;) {
            // Bytes left in blk by the previous response come first.
            while (!complete && !err_) {
                if (ss->blkx >= ss->blkcnt) {
                    ss->blkx = ss->blkcnt = 0;
                    const std::uint32_t got = SCK_RECV(ss->sd, ss->blk, ss_blk_sz, 0, &ss->st);
                    if (err_) {
                        closed_by_peer();
                        break;
                    }
                    if (got == 0) break;
                    ss->blkcnt = got;
                }
                move_block();
            }
            if (!complete && !err_) {
                check(from);
                from = ss->rxcnt;
            }
            if (complete || err_) return finish();

            const std::uint32_t start = ss->tic0 != none4 ? ss->tic0 : (wait ? call_tic : none4);
            if (ss->rx_tmo && start != none4 && EL_SECS(start, tic_now) >= ss->rx_tmo) {
                SM_ERR("Socket rx tmo (rxcnt=", Dec(ss->rxcnt).text, " rxtmo=", V_S10(ss->rx_tmo, nullptr, 0), ")");
                ss->st = 9;
                return finish();
            }
            if (!wait) return 0;
            wait_readable(ss->sd, ss->poll_ms);
        }
    }

    // Whether the text begins as a header does while its end is still awaited. Text that
    // does not (an XML document, an HTML page without a header) has no header to cut off.
    bool header_unfinished() const {
        if (!seeking_header()) return false;
        const std::string_view t = all();
        for (std::string_view head : {"HTTP/", "GET ", "HEAD ", "POST ", video_part_start, my_part_start})
            if (starts(t, head) || starts(head, t)) return true;
        return false;
    }

    // An orderly close after some bytes ends the response (see above).
    void closed_by_peer() {
        if (ss->st != 5 || ss->rxcnt == 0 || (ss->hdr && ss->content_len != none4) || header_unfinished())
            return;
        ERR_S();
        SCK_CL(ss->sd);
        ss->sd = -1;
        complete = true;
    }
};

char read_response(const char* rtn, SS* ss, Text text, char wait) {
    if (err_) {
        ss->done = 1;
        return 1;
    }
    if (ss->done) SS_RESET(ss, 0, 0);
    if (ss->st) {
        ss->done = 1;
        return 1;
    }
    if (text.bf && ss->rxcnt == 0) text.bf[0] = 0;
    Reader reader{rtn, ss, text};
    return reader.run(wait);
}

}  // namespace

char SCK_SS(SS* ss, char wait) {
    static const char rtn[] = "SCK_SS";
    if (!ss) {
        SM_ERR(rtn, ":ssp=NUL");
        return 1;
    }
    return read_response(rtn, ss, Text{ss->rx_bf, ss->rx_bfsz, true}, wait);
}

char SCK_BF(SS* ss, char* bf, std::uint32_t size, char wait) {
    static const char rtn[] = "SCK_BF";
    if (!ss)
        SM_ERR(rtn, ":ssp=NUL");
    else if (!bf || size == 0)
        SM_ERR(rtn, ":bf=NULL");
    if (!ss) return 1;
    std::uint32_t cap = size;
    return read_response(rtn, ss, Text{bf, cap, false}, wait);
}

// ---- Downloads --------------------------------------------------------------------------------

namespace {

void download(const char* rtn, const char* url, const char* file, std::uint16_t conn_tmo,
              std::uint16_t rx_tmo, bool xml) {
    if (err_) return;
    if (!file) {
        SM_ERR(rtn, ":fnam=NULL");
        return;
    }
    SS ss;
    SS_INIT(&ss, 1);
    ss.url = S_CP(url);
    if (xml)
        ss.xml = 1;
    else
        ss.htm = 1;
    ss.conn_tmo = conn_tmo;
    ss.tx_tmo = 5;
    ss.poll_ms = 10;
    ss.rx_tmo = rx_tmo;
    HTTP_GET(&ss);
    while (!SCK_SS(&ss, 0)) wait_readable(ss.sd, 10);
    if (!err_) {
        BF_FILE(file, ss.rx_bf ? ss.rx_bf + ss.hdrsz : "", ss.rxcnt - ss.hdrsz, 1);
        if (err_) FILE_DL(file, 0);
    } else {
        FILE_DL(file, 0);
    }
    SS_CL(&ss);
    RTN_ERR(rtn);
}

}  // namespace

void XML_DL(const char* url, const char* file, std::uint16_t conn_tmo, std::uint16_t rx_tmo) {
    download("XML_DL", url, file, conn_tmo, rx_tmo, true);
}

void HTTP_DL(const char* url, const char* file, std::uint16_t conn_tmo, std::uint16_t rx_tmo) {
    download("HTTP_DL", url, file, conn_tmo, rx_tmo, false);
}
