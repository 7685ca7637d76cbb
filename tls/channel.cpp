// The TLS connection: the library's context set for TLS 1.3 with a certificate on both
// sides, a socket layer of our own that never raises SIGPIPE, and the calls mapped to steps.
#include "channel.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "reason.h"

namespace tls {

namespace {

// Both ends derive the pairing code from the session with this label; 8 bytes make six
// digits with a bias too small to matter.
constexpr char pairing_label[] = "EXPORTER-catchr-pairing";
constexpr std::size_t pairing_bytes = 8;
constexpr std::uint64_t pairing_modulus = 1'000'000;

// Any certificate passes here: it only carries the peer's key, whose fingerprint the caller
// checks against its pins. The handshake itself proves that the peer holds that key.
int accept_any(int, X509_STORE_CTX*) { return 1; }

int sd_of(BIO* b) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(b))); }

// The socket layer: send() with MSG_NOSIGNAL, since a peer gone mid-write must be an error
// to report, not a signal that ends the program; the library's own layer would write().
int bio_write(BIO* b, const char* buf, int n) {
    BIO_clear_retry_flags(b);
    const ssize_t r = ::send(sd_of(b), buf, static_cast<std::size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(b);
    return static_cast<int>(r);
}

int bio_read(BIO* b, char* buf, int n) {
    BIO_clear_retry_flags(b);
    const ssize_t r = ::recv(sd_of(b), buf, static_cast<std::size_t>(n), MSG_DONTWAIT);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_read(b);
    return static_cast<int>(r);
}

long bio_ctrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int bio_create(BIO* b) {
    BIO_set_init(b, 1);
    return 1;
}

// Made once and kept for the life of the process.
const BIO_METHOD* socket_method() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "catchr socket");
        if (m && !(BIO_meth_set_write(m, bio_write) && BIO_meth_set_read(m, bio_read) && BIO_meth_set_ctrl(m, bio_ctrl) &&
                   BIO_meth_set_create(m, bio_create))) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

// The library's reasons a person is most likely to meet, in plain words; nullptr for the rest.
const char* plain_reason(int reason) {
    switch (reason) {
        case SSL_R_UNEXPECTED_EOF_WHILE_READING: return "the peer closed the connection";
        case SSL_R_WRONG_VERSION_NUMBER: return "the peer does not speak TLS";
        case SSL_R_UNSUPPORTED_PROTOCOL: return "the peer does not speak TLS 1.3";
        default: return nullptr;
    }
}

SSL_CTX* make_context(Channel::Role role, const Identity& id) {
    SSL_CTX* ctx = SSL_CTX_new(role == Channel::Role::client ? TLS_client_method() : TLS_server_method());
    if (!ctx) return nullptr;
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    // The server asks for the client's certificate and a client without one is refused.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, accept_any);
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) && SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) &&
        SSL_CTX_set_num_tickets(ctx, 0) && SSL_CTX_use_certificate(ctx, id.certificate()) == 1 &&
        SSL_CTX_use_PrivateKey(ctx, id.key()) == 1)
        return ctx;
    SSL_CTX_free(ctx);
    return nullptr;
}

}  // namespace

void Channel::FreeSsl::operator()(SSL* s) const { SSL_free(s); }

Context::Context(Channel::Role role, const Identity& id) : role_(role), fingerprint_(id.fingerprint()) {
    ERR_clear_error();
    ctx_ = make_context(role, id);
    if (!ctx_) why_ = library_failure("cannot set up TLS");
}

Context::~Context() { SSL_CTX_free(ctx_); }

Channel::Channel(int sd, const Context& context, Clock::time_point now) : sd_(sd), start_(now) {
    ERR_clear_error();
    // The connection holds its own reference to the context.
    ssl_.reset(context.ctx_ ? SSL_new(context.ctx_) : nullptr);
    BIO* bio = ssl_ && socket_method() ? BIO_new(socket_method()) : nullptr;
    if (!bio) {
        last_ = Step::failed;
        why_ = context.ctx_ ? library_failure("cannot set up TLS") : context.why();
        return;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(sd_)));
    SSL_set_bio(ssl_.get(), bio, bio);
    if (context.role() == Role::client) SSL_set_connect_state(ssl_.get());
    else SSL_set_accept_state(ssl_.get());
}

Channel::~Channel() = default;

Channel::Step Channel::after(int ret, const char* doing) {
    const int no = errno;
    switch (SSL_get_error(ssl_.get(), ret)) {
        case SSL_ERROR_WANT_READ:
            want_ = POLLIN;
            errno = EAGAIN;
            return Step::want_read;
        case SSL_ERROR_WANT_WRITE:
            want_ = POLLOUT;
            errno = EAGAIN;
            return Step::want_write;
        case SSL_ERROR_SYSCALL:
            why_ = std::string(doing) + ": " + (no ? std::strerror(no) : "the peer closed the connection");
            errno = no ? no : ECONNRESET;
            break;
        default:
            const char* plain = plain_reason(ERR_GET_REASON(ERR_peek_error()));
            errno = ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING ? ECONNRESET : EPROTO;
            why_ = plain ? std::string(doing) + ": " + plain : library_failure(doing);
            ERR_clear_error();
    }
    want_ = 0;
    last_ = Step::failed;
    return Step::failed;
}

Channel::Step Channel::handshake() {
    if (last_ == Step::done || last_ == Step::failed) return last_;
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl_.get());
    if (r == 1) want_ = 0;
    last_ = r == 1 ? Step::done : after(r, "the TLS handshake failed");
    return last_;
}

short Channel::events() const { return want_; }

ssize_t Channel::read(void* buf, std::size_t n) {
    if (last_ != Step::done) return not_ready();
    ERR_clear_error();
    const int r = SSL_read(ssl_.get(), buf, static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
    if (r > 0) return r;
    if (SSL_get_error(ssl_.get(), r) == SSL_ERROR_ZERO_RETURN) return 0;
    after(r, "reading from the TLS connection failed");
    return -1;
}

ssize_t Channel::write(const void* buf, std::size_t n) {
    if (last_ != Step::done) return not_ready();
    if (n == 0) return 0;
    ERR_clear_error();
    const int r = SSL_write(ssl_.get(), buf, static_cast<int>(std::min<std::size_t>(n, INT_MAX)));
    if (r > 0) return r;
    after(r, "writing to the TLS connection failed");
    return -1;
}

Channel::Step Channel::close_notify() {
    if (last_ != Step::done) return last_ == Step::failed ? last_ : Step::failed;
    ERR_clear_error();
    // 0 means ours went and the peer's has not come: we do not wait for it.
    const int r = SSL_shutdown(ssl_.get());
    return r >= 0 ? Step::done : after(r, "ending the TLS connection failed");
}

ssize_t Channel::not_ready() {
    errno = last_ == Step::failed ? EPROTO : ENOTCONN;
    return -1;
}

std::string Channel::peer_fingerprint() const {
    X509* cert = last_ == Step::done ? SSL_get0_peer_certificate(ssl_.get()) : nullptr;
    return cert ? fingerprint(X509_get0_pubkey(cert)) : "";
}

std::string Channel::pairing_code() const {
    unsigned char out[pairing_bytes];
    if (last_ != Step::done || SSL_export_keying_material(ssl_.get(), out, sizeof out, pairing_label,
                                                          sizeof pairing_label - 1, nullptr, 0, 0) != 1)
        return "";
    std::uint64_t v = 0;
    for (unsigned char byte : out) v = v << 8 | byte;
    char code[8];
    std::snprintf(code, sizeof code, "%06u", static_cast<unsigned>(v % pairing_modulus));
    return code;
}

}  // namespace tls
