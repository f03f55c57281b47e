#include "bench/nntp_connection.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

namespace {

constexpr size_t kMaxReplyBytes = 256u << 20;
constexpr size_t kMaxLineBytes = 1u << 20;

// One client context for every connection and thread; made on first use.
SSL_CTX* ClientContext() {
    static SSL_CTX* context = [] {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (ctx) {
            SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
            // Tickets are kept by the caller (Session), not in a cache here.
            SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
        }
        return ctx;
    }();
    return context;
}

std::string TlsReason(const char* what) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    char text[256] = "unknown reason";
    if (code) ERR_error_string_n(code, text, sizeof text);
    return std::string(what) + ": " + text;
}

}  // namespace

std::string MakeArticle(const std::string& group, const std::string& messageId,
                        const std::string& subject, const std::string& date,
                        const std::string& path) {
    std::string text = path.empty() ? std::string() : "Path: " + path + "\r\n";
    text += "From: bench <bench@bench.invalid>\r\n";
    text += "Newsgroups: " + group + "\r\n";
    text += "Subject: " + subject + "\r\n";
    if (!date.empty()) text += "Date: " + date + "\r\n";
    if (!messageId.empty()) text += "Message-ID: " + messageId + "\r\n";
    text += "\r\n";
    const std::string line(70, 'x');
    const size_t tail = 3;  // ".\r\n"
    while (text.size() + line.size() + 2 + tail <= kArticleBytes) text += line + "\r\n";
    size_t left = kArticleBytes - tail - text.size();
    if (left >= 3) text += std::string(left - 2, 'y') + "\r\n";
    while (text.size() < kArticleBytes - tail) text.insert(text.size() - 2, "z");
    text += ".\r\n";
    return text;
}

std::string DateNow() {
    time_t now = ::time(nullptr);
    struct tm tm {};
    ::gmtime_r(&now, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S +0000", &tm);
    return text;
}

CConnection::~CConnection() {
    Close();
}

bool CConnection::Open(const std::string& host, const std::string& port,
                       const std::string& source) {
    Close();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* result = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &result) != 0 || !result) {
        m_strError = "cannot resolve " + host + ":" + port;
        return false;
    }
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        m_strError = std::string("socket: ") + std::strerror(errno);
        ::freeaddrinfo(result);
        return false;
    }
    timeval tv{kIoTimeoutSeconds, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    int one = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!source.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        std::string error;
        if (::inet_pton(AF_INET, source.c_str(), &local.sin_addr) != 1)
            error = "not an IPv4 address: " + source;
        else if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            error = "bind " + source + ": " + std::strerror(errno);
        if (!error.empty()) {
            m_strError = error;
            ::freeaddrinfo(result);
            Close();
            return false;
        }
    }
    int rc;
    do rc = ::connect(m_fd, result->ai_addr, result->ai_addrlen);
    while (rc != 0 && errno == EINTR);
    ::freeaddrinfo(result);
    if (rc != 0) {
        m_strError = std::string("connect: ") + std::strerror(errno);
        Close();
        return false;
    }
    return true;
}

bool CConnection::OpenTls(const std::string& host, const std::string& port,
                          ssl_session_st* resume) {
    if (!Open(host, port)) return false;
    SSL_CTX* context = ClientContext();
    m_pSsl = context ? SSL_new(context) : nullptr;
    if (!m_pSsl || SSL_set_fd(m_pSsl, m_fd) != 1 ||
        (resume && SSL_set_session(m_pSsl, resume) != 1)) {
        m_strError = TlsReason("TLS set-up");
        Close();
        return false;
    }
    SSL_set_tlsext_host_name(m_pSsl, "localhost");
    if (SSL_connect(m_pSsl) != 1) {
        m_strError = TlsReason("TLS handshake");
        Close();
        return false;
    }
    return true;
}

bool CConnection::OpenAndGreet(const std::string& host, const std::string& port, bool tls,
                               ssl_session_st* resume) {
    std::string line;
    return (tls ? OpenTls(host, port, resume) : Open(host, port)) && ReadStatus(200, line);
}

bool CConnection::Resumed() const {
    return m_pSsl && SSL_session_reused(m_pSsl) == 1;
}

ssl_session_st* CConnection::Session() const {
    SSL_SESSION* session = m_pSsl ? SSL_get1_session(m_pSsl) : nullptr;
    if (session && !SSL_SESSION_is_resumable(session)) {
        SSL_SESSION_free(session);
        return nullptr;
    }
    return session;
}

void CConnection::Close() {
    if (m_pSsl) {
        SSL_shutdown(m_pSsl);
        SSL_free(m_pSsl);
        m_pSsl = nullptr;
        ERR_clear_error();
    }
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    m_buffer.clear();
    m_nPos = 0;
}

bool CConnection::SendAll(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        if (m_pSsl) {
            size_t n = 0;
            if (SSL_write_ex(m_pSsl, data.data() + sent, data.size() - sent, &n) != 1) {
                m_strError = TlsReason("TLS write");
                return false;
            }
            sent += n;
            continue;
        }
        ssize_t n = ::send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            m_strError = std::string("send: ") + (n < 0 ? std::strerror(errno) : "nothing");
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool CConnection::ReadLine(std::string& line) {
    for (;;) {
        size_t lf = m_buffer.find('\n', m_nPos);
        if (lf != std::string::npos) {
            size_t end = (lf > m_nPos && m_buffer[lf - 1] == '\r') ? lf - 1 : lf;
            line.assign(m_buffer, m_nPos, end - m_nPos);
            m_nPos = lf + 1;
            return true;
        }
        if (m_buffer.size() - m_nPos > kMaxLineBytes) {
            m_strError = "line longer than 1 MB";
            return false;
        }
        if (!Fill()) return false;
    }
}

bool CConnection::ReadStatus(int expected, std::string& line) {
    if (!ReadLine(line)) return false;
    if (line.size() < 3 || std::atoi(line.substr(0, 3).c_str()) != expected) {
        m_strError = "expected " + std::to_string(expected) + ", got \"" + line + "\"";
        return false;
    }
    return true;
}

bool CConnection::Command(const std::string& command, int expected, std::string& status) {
    return SendAll(command + "\r\n") && ReadStatus(expected, status);
}

bool CConnection::ReadBlock(size_t& lines, size_t& bytes,
                            const std::function<void(const std::string&)>& onLine) {
    lines = 0;
    bytes = 0;
    std::string line;
    for (;;) {
        if (!ReadLine(line)) return false;
        if (line == ".") return true;
        ++lines;
        bytes += line.size() + 2;
        if (bytes > kMaxReplyBytes) {
            m_strError = "reply longer than 256 MB";
            return false;
        }
        if (onLine) onLine(line);
    }
}

bool CConnection::Fill() {
    if (m_nPos > 0 && m_nPos == m_buffer.size()) {
        m_buffer.clear();
        m_nPos = 0;
    } else if (m_nPos > (1u << 20)) {
        m_buffer.erase(0, m_nPos);
        m_nPos = 0;
    }
    char chunk[65536];
    if (m_pSsl) {
        size_t n = 0;
        if (SSL_read_ex(m_pSsl, chunk, sizeof chunk, &n) == 1) {
            m_buffer.append(chunk, n);
            return true;
        }
        m_strError = TlsReason("TLS read");
        return false;
    }
    for (;;) {
        ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) {
            m_buffer.append(chunk, static_cast<size_t>(n));
            return true;
        }
        if (n == 0)
            m_strError = "connection closed by the server";
        else if (errno == EAGAIN || errno == EWOULDBLOCK)
            m_strError = "no reply within " + std::to_string(kIoTimeoutSeconds) + " s";
        else
            m_strError = std::string("recv: ") + std::strerror(errno);
        return false;
    }
}

bool SelectGroup(CConnection& conn, const std::string& group, GroupInfo& info) {
    std::string status;
    if (!conn.Command("GROUP " + group, 211, status)) return false;
    std::istringstream in(status.substr(3));
    in >> info.count >> info.first >> info.last;
    return static_cast<bool>(in);
}

bool Quit(CConnection& conn) {
    std::string status;
    return conn.Command("QUIT", 205, status);
}

bool PostOne(CConnection& conn, const std::string& article) {
    std::string status;
    return conn.Command("POST", 340, status) && conn.SendAll(article) &&
           conn.ReadStatus(240, status);
}
