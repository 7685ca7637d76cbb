// Keys: Ed25519 made and kept by the TLS library, a certificate for the handshake, the
// fingerprint, and where they are kept.
#include "keys.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdint>
#include <cstdlib>

#include "files.h"
#include "reason.h"

namespace tls {

namespace {

// A PEM file of one Ed25519 key is about 120 bytes: anything near this is not ours.
constexpr std::size_t key_file_mxsz = 16 * 1024;
// The certificate only carries the key into the handshake, and is made again at each load.
constexpr long cert_before_secs = 3600;
constexpr long cert_after_secs = 24 * 3600;

struct FreeBio {
    void operator()(BIO* b) const { BIO_free(b); }
};
using Bio = std::unique_ptr<BIO, FreeBio>;

// An encrypted key file must fail, never ask for a password on the terminal.
int no_password(char*, int, int, void*) { return -1; }

X509* make_certificate(EVP_PKEY* key) {
    X509* c = X509_new();
    std::uint64_t serial = 0;
    bool ok = c && X509_set_version(c, X509_VERSION_3) &&
              RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial) == 1 &&
              ASN1_INTEGER_set_uint64(X509_get_serialNumber(c), serial >> 1) &&
              X509_gmtime_adj(X509_getm_notBefore(c), -cert_before_secs) &&
              X509_gmtime_adj(X509_getm_notAfter(c), cert_after_secs) && X509_set_pubkey(c, key);
    X509_NAME* name = ok ? X509_get_subject_name(c) : nullptr;
    ok = ok && X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                          reinterpret_cast<const unsigned char*>("catchr-pitchr"), -1, -1, 0) &&
         X509_set_issuer_name(c, name) && X509_sign(c, key, nullptr) > 0;
    if (!ok) X509_free(c);
    return ok ? c : nullptr;
}

}  // namespace

std::string library_failure(const std::string& what) {
    const unsigned long e = ERR_get_error();
    ERR_clear_error();
    const char* reason = e ? ERR_reason_error_string(e) : nullptr;
    return what + ": " + (reason ? reason : e ? "error " + std::to_string(e) : std::string("unknown failure"));
}

void Identity::FreeKey::operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
void Identity::FreeCert::operator()(X509* c) const { X509_free(c); }

std::optional<Identity> Identity::adopt(EVP_PKEY* key, std::string& why) {
    Identity id;
    id.key_.reset(key);
    id.cert_.reset(make_certificate(key));
    id.fingerprint_ = tls::fingerprint(key);
    if (!id.cert_ || id.fingerprint_.empty()) {
        why = library_failure("cannot make a certificate for the key");
        return std::nullopt;
    }
    return id;
}

std::optional<Identity> Identity::generate(std::string& why) {
    ERR_clear_error();
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    if (!key) {
        why = library_failure("cannot make an Ed25519 key");
        return std::nullopt;
    }
    return adopt(key, why);
}

std::optional<Identity> Identity::from_pem(const std::string& pem, const std::string& from, std::string& why) {
    ERR_clear_error();
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    EVP_PKEY* key = bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, no_password, nullptr) : nullptr;
    if (!key) {
        ERR_clear_error();
        why = from + " holds no key that can be read: an Ed25519 key in PKCS#8 PEM, unencrypted, is wanted";
        return std::nullopt;
    }
    if (EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        why = from + " holds a key that is not Ed25519";
        return std::nullopt;
    }
    return adopt(key, why);
}

std::string Identity::pem() const {
    Bio bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_PKCS8PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr))
        return "";
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(n));
}

std::string fingerprint(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int n = key ? i2d_PUBKEY(key, &der) : -1;
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    const bool ok = n > 0 && EVP_Digest(der, static_cast<std::size_t>(n), md, &md_len, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    if (!ok) return "";
    unsigned char b64[2 * EVP_MAX_MD_SIZE];
    std::string text(reinterpret_cast<char*>(b64), static_cast<std::size_t>(EVP_EncodeBlock(b64, md, static_cast<int>(md_len))));
    text.erase(text.find_last_not_of('=') + 1);
    return "SHA256:" + text;
}

std::optional<Identity> load_or_make(const std::string& dir, std::string& why) {
    const Fd d = open_private_dir(dir, why);
    if (!d) return std::nullopt;
    // Twice at most: when another process makes the key between our look and our write,
    // its key is the one to use.
    for (int round = 0; round < 2; ++round) {
        std::string pem;
        const Got got = read_private(d.get(), dir, key_file, key_forbidden, key_file_mxsz, pem, why);
        if (got == Got::ok) return Identity::from_pem(pem, shown_path(dir, key_file), why);
        if (got == Got::failed) return std::nullopt;
        auto id = Identity::generate(why);
        if (!id) return std::nullopt;
        const Wrote wrote = write_private(d.get(), dir, key_file, id->pem(), false, why);
        if (wrote == Wrote::ok) return id;
        if (wrote == Wrote::failed) return std::nullopt;
    }
    why = shown_path(dir, key_file) + " keeps changing: another program is at it";
    return std::nullopt;
}

std::string config_dir(const std::string& program) {
    auto set = [](const char* name) {
        const char* v = std::getenv(name);
        return std::string(v ? v : "");
    };
    // systemd may name several state directories, separated by colons: the first is ours.
    const std::string state = set("STATE_DIRECTORY");
    if (!state.empty()) return state.substr(0, state.find(':'));
    // A relative XDG_CONFIG_HOME is to be passed over.
    const std::string xdg = set("XDG_CONFIG_HOME");
    if (!xdg.empty() && xdg[0] == '/') return xdg + "/" + program;
    const std::string home = set("HOME");
    return home.empty() ? "" : home + "/.config/" + program;
}

std::optional<Identity> own_identity(const std::string& program, std::string& why) {
    const std::string dir = config_dir(program);
    if (dir.empty()) {
        why = "no directory for its key: neither HOME nor XDG_CONFIG_HOME is set";
        return std::nullopt;
    }
    return load_or_make(dir, why);
}

}  // namespace tls
