#include "platform/tls_context.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

// Far larger than any certificate chain or key; a file past it is surely
// the wrong one, and it is read into memory whole.
constexpr size_t kMaxPemFile = 1024 * 1024;

// TLS 1.2 suites with forward secrecy and authenticated encryption only; the
// TLS 1.3 suites are OpenSSL's own, all of that kind.
constexpr char kCipherList[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

constexpr unsigned char kSessionIdContext[] = "marrowby";

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using Context = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;

// Reads all of `path` into `bytes`; false with the system's reason.
bool ReadWholeFile(const std::string& path, std::string& bytes, std::string& reason) {
    reason.clear();
    int fd;
    do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        reason = std::strerror(errno);
        return false;
    }
    bytes.clear();
    char buffer[16384];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) reason = std::strerror(errno);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
        if (bytes.size() > kMaxPemFile) {
            reason = "larger than 1 MB";
            break;
        }
    }
    ::close(fd);
    return reason.empty();
}

// OpenSSL's reason for the failure just seen; the error queue is left empty,
// so that it cannot be taken for a later connection's failure.
std::string TakeOpenSslError() {
    unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (ERR_GET_LIB(code) == ERR_LIB_PEM && ERR_GET_REASON(code) == PEM_R_NO_START_LINE)
        return "no PEM block found";
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "unknown error";
}

// Never asks for a password: OpenSSL's default would prompt on the terminal
// and stall start-up. Notes that one was wanted, for the operator.
int RefusePassword(char*, int, int, void* asked) {
    *static_cast<bool*>(asked) = true;
    return -1;
}

Context NewServerContext() {
    Context ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!ctx) return ctx;
    bool ok = SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION) == 1 &&
              SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION) == 1 &&
              SSL_CTX_set_cipher_list(ctx.get(), kCipherList) == 1 &&
              SSL_CTX_set_session_id_context(ctx.get(), kSessionIdContext,
                                             sizeof kSessionIdContext - 1) == 1;
    if (!ok) return Context(nullptr, SSL_CTX_free);
    // A renegotiation would let a client make the server redo the expensive
    // half of a handshake at will; compression leaks secrets (CRIME).
    SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    // Resumption comes from stateless tickets, sealed with keys the context
    // makes at random: a server-side session cache would grow with every
    // client and give nothing the tickets do not.
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    // One ticket per handshake, where TLS 1.3 would send two: a newsreader
    // returns with one connection at a time, and each ticket costs a
    // seal and a record, a sixth of a full handshake's work here.
    SSL_CTX_set_num_tickets(ctx.get(), 1);
    return ctx;
}

// The first certificate of `pem` becomes the server's, the rest its chain.
bool UseCertificateChain(SSL_CTX* ctx, const std::string& pem) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    bool asked = false;
    X509* leaf = bio ? PEM_read_bio_X509_AUX(bio.get(), nullptr, RefusePassword, &asked) : nullptr;
    if (!leaf) return false;
    bool ok = SSL_CTX_use_certificate(ctx, leaf) == 1;
    X509_free(leaf);
    if (!ok || SSL_CTX_clear_chain_certs(ctx) != 1) return false;
    while (X509* extra = PEM_read_bio_X509(bio.get(), nullptr, RefusePassword, &asked)) {
        if (SSL_CTX_add0_chain_cert(ctx, extra) != 1) {
            X509_free(extra);
            return false;
        }
    }
    // The text ends like a missing next block; any other failure is a damaged
    // certificate further on.
    unsigned long code = ERR_peek_last_error();
    if (ERR_GET_LIB(code) != ERR_LIB_PEM || ERR_GET_REASON(code) != PEM_R_NO_START_LINE)
        return false;
    ERR_clear_error();
    return true;
}

}  // namespace

CTlsContext::CTlsContext() = default;

CTlsContext::~CTlsContext() {
    SSL_CTX_free(m_pContext);
}

bool CTlsContext::Load(const std::string& certPath, const std::string& keyPath,
                       std::string& error) {
    std::string certPem, keyPem, reason;
    if (!ReadWholeFile(certPath, certPem, reason)) {
        error = "Cannot read the TLS certificate file [" + certPath + "]: " + reason;
        return false;
    }
    if (!ReadWholeFile(keyPath, keyPem, reason)) {
        error = "Cannot read the TLS key file [" + keyPath + "]: " + reason;
        return false;
    }
    ERR_clear_error();
    Context ctx = NewServerContext();
    if (!ctx) {
        error = "Cannot set up TLS: " + TakeOpenSslError();
        return false;
    }
    if (!UseCertificateChain(ctx.get(), certPem)) {
        error = "Cannot parse the TLS certificate file [" + certPath + "]: " + TakeOpenSslError();
        return false;
    }
    Bio bio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())), BIO_free);
    bool asked = false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, RefusePassword, &asked) : nullptr,
        EVP_PKEY_free);
    if (!key) {
        std::string why = asked ? "it is protected by a password" : TakeOpenSslError();
        ERR_clear_error();
        error = "Cannot parse the TLS key file [" + keyPath + "]: " + why;
        return false;
    }
    if (X509_check_private_key(SSL_CTX_get0_certificate(ctx.get()), key.get()) != 1) {
        ERR_clear_error();
        error = "The TLS key file [" + keyPath + "] does not match the certificate file [" +
                certPath + "]";
        return false;
    }
    if (SSL_CTX_use_PrivateKey(ctx.get(), key.get()) != 1) {
        error = "Cannot use the TLS key file [" + keyPath + "]: " + TakeOpenSslError();
        return false;
    }
    SSL_CTX_free(m_pContext);
    m_pContext = ctx.release();
    return true;
}
