#include "platform/tls_stream.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/tls_context.h"

namespace {

// The plaintext of one full record: the most one write hands to OpenSSL, so
// that an unfinished write never holds more than this.
constexpr size_t kRecordSize = 16384;

// Short parts are gathered here into one record. One buffer serves every
// connection: its bytes matter only during one SSL_write, which encrypts
// them at once, and the retry of an unfinished write gathers them anew.
char* GatherBuffer() {
    static std::unique_ptr<char[]> buffer(new char[kRecordSize]);
    return buffer.get();
}

std::string TakeOpenSslReason() {
    unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    return reason ? reason : "TLS protocol error";
}

}  // namespace

int CTlsStream::BioCreate(bio_st* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

int CTlsStream::BioWrite(bio_st* bio, const char* data, size_t length, size_t* written) {
    auto* stream = static_cast<CTlsStream*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do n = ::send(stream->m_nFd, data, length, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n >= 0) {
        *written = static_cast<size_t>(n);
        return 1;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        BIO_set_retry_write(bio);
    else
        stream->m_nSocketErrno = errno;
    return 0;
}

int CTlsStream::BioRead(bio_st* bio, char* data, size_t length, size_t* readBytes) {
    auto* stream = static_cast<CTlsStream*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    ssize_t n;
    do n = ::recv(stream->m_nFd, data, length, 0);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        *readBytes = static_cast<size_t>(n);
        return 1;
    }
    if (n == 0)
        stream->m_bEof = true;
    else if (errno == EAGAIN || errno == EWOULDBLOCK)
        BIO_set_retry_read(bio);
    else
        stream->m_nSocketErrno = errno;
    return 0;
}

long CTlsStream::BioCtrl(bio_st* bio, int command, long, void*) {
    switch (command) {
        case BIO_CTRL_FLUSH: return 1;  // every write goes straight to the socket
        case BIO_CTRL_EOF: return static_cast<CTlsStream*>(BIO_get_data(bio))->m_bEof ? 1 : 0;
        default: return 0;
    }
}

CTlsStream::~CTlsStream() {
    SSL_free(m_pSsl);
}

bool CTlsStream::Start(const CTlsContext& context, int fd) {
    if (!context.Handle()) {
        m_strError = "no TLS certificate loaded";
        return false;
    }
    ERR_clear_error();
    static BIO_METHOD* method = [] {
        int index = BIO_get_new_index();
        BIO_METHOD* m = index < 0 ? nullptr : BIO_meth_new(index | BIO_TYPE_SOURCE_SINK, "socket");
        if (m &&
            (BIO_meth_set_write_ex(m, BioWrite) != 1 || BIO_meth_set_read_ex(m, BioRead) != 1 ||
             BIO_meth_set_ctrl(m, BioCtrl) != 1 || BIO_meth_set_create(m, BioCreate) != 1)) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    SSL* ssl = method ? SSL_new(context.Handle()) : nullptr;
    BIO* bio = ssl ? BIO_new(method) : nullptr;
    if (!bio) {
        SSL_free(ssl);
        m_strError = TakeOpenSslReason();
        return false;
    }
    m_nFd = fd;
    BIO_set_data(bio, this);
    SSL_set_bio(ssl, bio, bio);
    // Partial writes return after every record, so a full socket costs at
    // most the record in hand; the moving buffer lets that record's retry
    // come from wherever the caller now holds the same bytes.
    SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                          SSL_MODE_RELEASE_BUFFERS);
    // Reading ahead takes a record in one receive instead of two; what it
    // takes beyond the record is announced by HasBufferedInput.
    SSL_set_read_ahead(ssl, 1);
    SSL_set_accept_state(ssl);
    m_pSsl = ssl;
    return true;
}

CTlsStream::Result CTlsStream::Classify(int ret) {
    int code = SSL_get_error(m_pSsl, ret);
    switch (code) {
        case SSL_ERROR_WANT_READ: return Result::kWantRead;
        case SSL_ERROR_WANT_WRITE: return Result::kWantWrite;
        case SSL_ERROR_ZERO_RETURN: m_strError.clear(); return Result::kClosed;
        default: break;
    }
    m_bFailed = true;
    if (m_nSocketErrno) {
        ERR_clear_error();
        m_strError = std::strerror(m_nSocketErrno);
        return Result::kFailed;
    }
    if (m_bEof) {
        ERR_clear_error();
        m_strError = m_bEstablished ? "connection closed without close_notify"
                                    : "connection closed during the TLS handshake";
        return Result::kClosed;
    }
    m_strError = TakeOpenSslReason();
    return Result::kFailed;
}

CTlsStream::Result CTlsStream::Handshake() {
    if (m_bFailed) return Result::kFailed;
    ERR_clear_error();
    int ret = SSL_do_handshake(m_pSsl);
    if (ret != 1) return Classify(ret);
    m_bEstablished = true;
    return Result::kDone;
}

CTlsStream::Result CTlsStream::Read(char* buffer, size_t length, size_t& taken) {
    taken = 0;
    if (m_bFailed) return Result::kFailed;
    // Each read yields at most one record; go on while the caller has room,
    // so a large transfer costs one notification per buffer, not per record.
    // A short record with nothing behind it inside OpenSSL is where a client
    // stopped writing, a command most often: asking the socket for more
    // would cost a receive that finds nothing. Whatever did come meanwhile
    // keeps the socket readable and is read on its next notification.
    while (taken < length) {
        size_t n = 0;
        ERR_clear_error();
        int ret = SSL_read_ex(m_pSsl, buffer + taken, length - taken, &n);
        if (ret != 1) return Classify(ret);
        taken += n;
        if (n < kRecordSize && SSL_has_pending(m_pSsl) != 1) return Result::kWantRead;
    }
    return Result::kDone;
}

namespace {

// The bytes of the next write, from part `index` at `offset` on: `want`
// bytes, or fewer where the parts end. A part that holds them is written in
// place. Otherwise the short parts that follow are gathered into one record,
// so that a run of status lines does not cost a record and a send apiece;
// a part of a record or more is never copied (unless a retry must have its
// exact length), it goes out in place after the short ones.
const char* NextChunk(const iovec* parts, int count, int index, size_t offset, size_t want,
                      bool exact, size_t& length) {
    const char* here = static_cast<const char*>(parts[index].iov_base) + offset;
    length = std::min(parts[index].iov_len - offset, want);
    int last = index;
    size_t gathered = length;
    for (int i = index + 1; i < count && gathered < want; ++i) {
        if (parts[i].iov_len >= kRecordSize && !exact) break;
        gathered += std::min(parts[i].iov_len, want - gathered);
        last = i;
    }
    if (last == index) return here;
    char* buffer = GatherBuffer();
    std::memcpy(buffer, here, length);
    for (int i = index + 1; i <= last; ++i) {
        size_t n = std::min(parts[i].iov_len, gathered - length);
        std::memcpy(buffer + length, parts[i].iov_base, n);
        length += n;
    }
    return buffer;
}

}  // namespace

CTlsStream::Result CTlsStream::WriteVector(const iovec* parts, int count, size_t& taken) {
    taken = 0;
    if (m_bFailed) return Result::kFailed;
    int index = 0;
    size_t offset = 0;  // into parts[index]
    for (;;) {
        while (index < count && offset == parts[index].iov_len) {
            ++index;
            offset = 0;
        }
        if (index == count && m_nRetryLength == 0) return Result::kDone;
        // One record at most, or exactly the unfinished write's length.
        size_t want = m_nRetryLength ? m_nRetryLength : kRecordSize;
        size_t length = 0;
        const char* chunk = index < count ? NextChunk(parts, count, index, offset, want,
                                                      m_nRetryLength != 0, length)
                                          : nullptr;
        if (length < m_nRetryLength) {
            m_bFailed = true;
            m_strError = "a TLS write was retried with fewer bytes";
            return Result::kFailed;
        }
        size_t written = 0;
        ERR_clear_error();
        int ret = SSL_write_ex(m_pSsl, chunk, length, &written);
        if (ret != 1) {
            m_nRetryLength = length;
            return Classify(ret);
        }
        m_nRetryLength = 0;
        taken += written;
        // Step over what was written, across as many parts as it spans.
        while (written > 0) {
            size_t n = std::min(written, parts[index].iov_len - offset);
            offset += n;
            written -= n;
            if (offset == parts[index].iov_len && written > 0) {
                ++index;
                offset = 0;
            }
        }
    }
}

bool CTlsStream::HasBufferedInput() const {
    return m_pSsl && !m_bFailed && SSL_has_pending(m_pSsl) == 1;
}

void CTlsStream::Shutdown() {
    if (!m_pSsl || m_bFailed || m_nRetryLength || !m_bEstablished) return;
    ERR_clear_error();
    SSL_shutdown(m_pSsl);
    ERR_clear_error();
}

std::string CTlsStream::Version() const {
    return m_pSsl ? SSL_get_version(m_pSsl) : "";
}

std::string CTlsStream::Cipher() const {
    const char* name = m_pSsl ? SSL_get_cipher_name(m_pSsl) : nullptr;
    return name ? name : "";
}

bool CTlsStream::Resumed() const {
    return m_pSsl && SSL_session_reused(m_pSsl) == 1;
}
