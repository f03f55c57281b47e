// The socket service over loopback: TLS sessions against OpenSSL clients
// that run on a thread of their own (blocking, every wait limited to five
// seconds) while the event loop runs here, hostile byte streams written
// straight from the test, and IPv6 listening. Certificates are made by the
// test: a root, an intermediate and a server certificate for "localhost".
#include "platform/async_socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "platform/tls_context.h"

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;
using SslContext = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;
using Ssl = std::unique_ptr<SSL, decltype(&SSL_free)>;
using Session = std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)>;

// ---- Certificates ----

Key NewKey() {
    return Key(EVP_EC_gen("P-256"), EVP_PKEY_free);
}

// A certificate for `name` carrying `key`, signed by the issuer (by itself
// when `issuer` is null).
Cert NewCert(const char* name, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, bool ca) {
    static long serial = 1;
    Cert cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509_set_issuer_name(cert.get(), issuer ? X509_get_subject_name(issuer) : subject);
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
    std::pair<int, const char*> extensions[] = {
        {NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE"},
        {ca ? NID_key_usage : NID_subject_alt_name,
         ca ? "critical,keyCertSign,cRLSign" : "DNS:localhost"}};
    for (auto [nid, value] : extensions) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
        X509_add_ext(cert.get(), extension, -1);
        X509_EXTENSION_free(extension);
    }
    X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256());
    return cert;
}

void WritePem(const std::string& path, std::initializer_list<X509*> certs, EVP_PKEY* key,
              const char* password = nullptr) {
    FILE* file = std::fopen(path.c_str(), "w");
    ASSERT_NE(file, nullptr) << path;
    for (X509* cert : certs) PEM_write_X509(file, cert);
    if (key)
        PEM_write_PrivateKey(file, key, password ? EVP_aes_128_cbc() : nullptr,
                             reinterpret_cast<const unsigned char*>(password),
                             password ? static_cast<int>(std::strlen(password)) : 0, nullptr,
                             nullptr);
    std::fclose(file);
}

// Files in a fresh directory, made once for all tests: root.pem (the
// clients' trust), server.pem (server and intermediate), server.key,
// other.key (belongs to nothing), locked.key (server.key with a password).
class Pki : public ::testing::Environment {
public:
    static std::string dir;
    static std::string Path(const char* name) { return dir + "/" + name; }

    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "marrowby-tls-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir = pattern;
        Key rootKey = NewKey(), middleKey = NewKey(), serverKey = NewKey(), otherKey = NewKey();
        Cert root = NewCert("Test Root", rootKey.get(), nullptr, nullptr, true);
        Cert middle =
            NewCert("Test Intermediate", middleKey.get(), root.get(), rootKey.get(), true);
        Cert server = NewCert("localhost", serverKey.get(), middle.get(), middleKey.get(), false);
        WritePem(Path("root.pem"), {root.get()}, nullptr);
        WritePem(Path("server.pem"), {server.get(), middle.get()}, nullptr);
        WritePem(Path("server.key"), {}, serverKey.get());
        WritePem(Path("other.key"), {}, otherKey.get());
        WritePem(Path("locked.key"), {}, serverKey.get(), "secret");
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
};
std::string Pki::dir;

// ---- The event loop ----

// Runs the loop until `done` holds; false when `limitMs` passed first.
bool RunUntil(const std::function<bool()>& done, int limitMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    QTimer tick;  // wakes the wait below, so that `done` is looked at
    tick.start(2);
    while (!done()) {
        if (clock.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

double ThreadCpuMs() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Runs the loop for 400 ms with, supposedly, nothing to do, and fails when
// it woke up often or worked all the same: a socket that spins on readiness
// or on posted work, or loops inside a handler.
void ExpectIdleLoop(const std::string& context) {
    int wakeups = 0;
    auto connection = QObject::connect(QAbstractEventDispatcher::instance(),
                                       &QAbstractEventDispatcher::awake, [&] { ++wakeups; });
    double before = ThreadCpuMs();
    QEventLoop loop;
    QTimer::singleShot(400, &loop, &QEventLoop::quit);
    loop.exec();
    QObject::disconnect(connection);
    EXPECT_LT(wakeups, 30) << context;
    EXPECT_LT(ThreadCpuMs() - before, 100.0) << context;
}

// A client body on a thread of its own; joined when this goes.
class ClientThread {
public:
    explicit ClientThread(std::function<void()> body)
        : m_thread([this, body] {
              body();
              m_bDone = true;
          }) {}
    ~ClientThread() { m_thread.join(); }
    bool Done() const { return m_bDone; }

private:
    std::atomic<bool> m_bDone{false};
    std::thread m_thread;  // last: starts once the flag exists
};

// ---- The server side ----

// An accepted connection that echoes what it receives, sending it back in
// parts of awkward sizes. With `startTlsAfter` it stays plain until it
// receives "STARTTLS\r\n", answers "382 go ahead\r\n" and starts TLS once
// that has gone out.
class Echo : public CAsyncSocket {
public:
    const CTlsContext* startTlsAfter = nullptr;
    int receiveSize = 65536;
    std::string pending;  // received, not yet sent back
    size_t received = 0;  // bytes received after the handshake
    int shortSends = 0;   // sends that took less than offered
    int established = 0;
    bool resumed = false;
    int closes = 0;
    std::string version, closeReason;
    bool startTlsDue = false;

    void OnReceive(int) override {
        std::string buffer(static_cast<size_t>(receiveSize), '\0');
        int n = Receive(buffer.data(), receiveSize);
        if (n <= 0) return;
        buffer.resize(static_cast<size_t>(n));
        if (startTlsAfter && !IsTls()) {
            if (buffer != "STARTTLS\r\n") return;
            startTlsDue = true;
            buffer = "382 go ahead\r\n";
        } else {
            received += buffer.size();
        }
        pending += buffer;
        AsyncSelect();
    }

    void OnSend(int) override {
        static const size_t kSizes[] = {1, 16383, 7, 16385, 100, 70000, 2, 5000};
        iovec parts[64];
        int count = 0;
        size_t offered = 0;
        for (; count < 64 && offered < pending.size(); ++count) {
            size_t n = std::min(kSizes[count % 8], pending.size() - offered);
            parts[count] = {pending.data() + offered, n};
            offered += n;
        }
        int sent = count ? SendVector(parts, count) : 0;
        if (sent != SOCKET_ERROR) pending.erase(0, static_cast<size_t>(sent));
        if (static_cast<size_t>(sent) != offered) ++shortSends;
        if (!pending.empty()) {
            AsyncSelect();
        } else if (startTlsDue) {
            startTlsDue = false;
            EXPECT_TRUE(StartTls(*startTlsAfter)) << LastError();
        }
    }

    void OnClose(int) override {
        ++closes;
        closeReason = LastError();
        Close();
    }

    void OnTlsEstablished(const std::string& v, const std::string& cipher) override {
        ++established;
        version = v;
        resumed = IsTlsResumed();
        EXPECT_FALSE(cipher.empty());
    }
};

// What a server with TLS from the first byte queues at once, before the
// handshake has even begun.
const std::string kGreeting = "200 ready\r\n";

class Server : public CAsyncSocket {
public:
    const CTlsContext* tls = nullptr;       // TLS from the first byte
    const CTlsContext* startTls = nullptr;  // TLS after STARTTLS
    int receiveSize = 65536;
    int sendBuffer = 0;  // a small one makes the socket fill up early
    std::vector<std::unique_ptr<Echo>> peers;

    void OnAccept(int) override {
        auto peer = std::make_unique<Echo>();
        if (!Accept(*peer)) return;
        peer->receiveSize = receiveSize;
        peer->startTlsAfter = startTls;
        if (sendBuffer)
            ::setsockopt(peer->Handle(), SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
        if (tls) {
            peer->pending = kGreeting;
            peer->AsyncSelect();
            EXPECT_TRUE(peer->StartTls(*tls)) << peer->LastError();
        }
        peers.push_back(std::move(peer));
    }

    int Port() const {
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        ::getsockname(Handle(), reinterpret_cast<sockaddr*>(&addr), &length);
        return ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(addr).sin6_port
                                                : reinterpret_cast<sockaddr_in&>(addr).sin_port);
    }

    bool ClosedAll(size_t count) const {
        if (peers.size() < count) return false;
        for (const auto& peer : peers)
            if (peer->IsOpen()) return false;
        return true;
    }
};

// ---- The client side ----

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    Fd(Fd&& other) : m_fd(other.m_fd) { other.m_fd = -1; }
    int get() const { return m_fd; }

private:
    int m_fd;
};

// A blocking connection to `address` (IPv4 or IPv6 text); every wait on it
// ends after five seconds.
Fd Dial(const char* address, int port, int receiveBuffer = 0) {
    sockaddr_storage addr{};
    auto& in = reinterpret_cast<sockaddr_in&>(addr);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(addr);
    socklen_t length = sizeof in;
    if (::inet_pton(AF_INET, address, &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        in.sin_port = htons(static_cast<uint16_t>(port));
    } else if (::inet_pton(AF_INET6, address, &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof in6;
    }
    Fd fd(::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    timeval limit{5, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    if (receiveBuffer)
        ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), length) != 0) return Fd();
    return fd;
}

// A client that trusts only the test root, offering TLS versions up to `max`.
SslContext ClientContext(int max) {
    SslContext ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_max_proto_version(ctx.get(), max);
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_load_verify_locations(ctx.get(), Pki::Path("root.pem").c_str(), nullptr);
    return ctx;
}

std::string ReadExactly(SSL* ssl, size_t length);

// A session on `fd`, its greeting read when the server sends one; null when
// either failed.
Ssl Handshake(SSL_CTX* ctx, const Fd& fd, bool greeted, SSL_SESSION* session = nullptr) {
    Ssl ssl(SSL_new(ctx), SSL_free);
    SSL_set_fd(ssl.get(), fd.get());
    SSL_set1_host(ssl.get(), "localhost");
    if (session) SSL_set_session(ssl.get(), session);
    if (SSL_connect(ssl.get()) != 1 ||
        (greeted && ReadExactly(ssl.get(), kGreeting.size()) != kGreeting))
        ssl.reset();
    return ssl;
}

bool WriteInPieces(SSL* ssl, const std::string& data) {
    static const size_t kPieces[] = {1, 16385, 3, 70000, 16384, 999};
    for (size_t at = 0, i = 0; at < data.size(); ++i) {
        size_t written = 0;
        size_t n = std::min(kPieces[i % 6], data.size() - at);
        if (SSL_write_ex(ssl, data.data() + at, n, &written) != 1) return false;
        at += written;
    }
    return true;
}

std::string ReadExactly(SSL* ssl, size_t length) {
    std::string data(length, '\0');
    size_t have = 0;
    while (have < length) {
        size_t n = 0;
        if (SSL_read_ex(ssl, data.data() + have, length - have, &n) != 1) break;
        have += n;
    }
    data.resize(have);
    return data;
}

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed) % 251);
    return bytes;
}

// The first flight of a client offering `min` to `max`, captured in memory.
std::string ClientHello(int min, int max) {
    SslContext ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
    SSL_CTX_set_security_level(ctx.get(), 0);  // lets TLS 1.0 and 1.1 be offered at all
    SSL_CTX_set_cipher_list(ctx.get(), "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_min_proto_version(ctx.get(), min);
    SSL_CTX_set_max_proto_version(ctx.get(), max);
    Ssl ssl(SSL_new(ctx.get()), SSL_free);
    BIO* out = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl.get(), BIO_new(BIO_s_mem()), out);
    SSL_set_connect_state(ssl.get());
    SSL_do_handshake(ssl.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(out, &data);
    return std::string(data, static_cast<size_t>(length));
}

TEST(TlsContextTest, LoadRefusesEveryBadFileNamingIt) {
    std::ofstream(Pki::Path("garbage.pem")) << "not a certificate\n";
    std::ofstream(Pki::Path("empty.pem"));
    std::string chain;
    std::getline(std::ifstream(Pki::Path("server.pem")), chain, '\0');
    // The intermediate's body damaged: the first certificate alone is fine.
    size_t second = chain.find("-----BEGIN", 10);
    std::ofstream(Pki::Path("damaged.pem"))
        << chain.substr(0, second + 100) << "!!" << chain.substr(second + 102);
    struct {
        const char* cert;
        const char* key;
        std::vector<std::string> said;
    } cases[] = {
        {"missing.pem", "server.key", {"certificate file", "missing.pem", "No such file"}},
        {"", "server.key", {"certificate file", "Is a directory"}},
        {"garbage.pem", "server.key", {"Cannot parse the TLS certificate file", "garbage.pem"}},
        {"empty.pem", "server.key", {"certificate file", "empty.pem", "no PEM block"}},
        {"damaged.pem", "server.key", {"Cannot parse the TLS certificate file", "damaged.pem"}},
        {"server.pem", "missing.key", {"Cannot read the TLS key file", "missing.key"}},
        {"server.pem", "garbage.pem", {"Cannot parse the TLS key file", "garbage.pem"}},
        {"server.pem", "locked.key", {"locked.key", "password"}},
        {"server.pem", "other.key", {"other.key", "does not match", "server.pem"}},
    };
    CTlsContext good;
    std::string error;
    ASSERT_TRUE(good.Load(Pki::Path("server.pem"), Pki::Path("server.key"), error)) << error;
    for (const auto& c : cases) {
        std::string context = std::string(c.cert) + " + " + c.key;
        EXPECT_FALSE(good.Load(Pki::Path(c.cert), Pki::Path(c.key), error)) << context;
        for (const std::string& part : c.said)
            EXPECT_NE(error.find(part), std::string::npos) << context << ": " << error;
        EXPECT_EQ(ERR_peek_error(), 0u) << context;
        // A failed load leaves the earlier one in force.
        EXPECT_TRUE(good.IsLoaded()) << context;
    }
}

class TlsSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_tls.Load(Pki::Path("server.pem"), Pki::Path("server.key"), error)) << error;
    }

    void Listen(Server& server) {
        ASSERT_TRUE(server.Create(0, 63, "127.0.0.1")) << server.LastError();
        ASSERT_TRUE(server.Listen()) << server.LastError();
    }

    CTlsContext m_tls;
};

// A client that does STARTTLS on `fd` when asked; false when it went wrong.
bool StartTlsAsClient(const Fd& fd, bool starttls) {
    if (!starttls) return true;
    const char command[] = "STARTTLS\r\n";
    const std::string reply = "382 go ahead\r\n";
    std::string got(reply.size(), '\0');
    return ::send(fd.get(), command, sizeof command - 1, MSG_NOSIGNAL) == sizeof command - 1 &&
           ::recv(fd.get(), got.data(), got.size(), MSG_WAITALL) ==
               static_cast<ssize_t>(got.size()) &&
           got == reply;
}

TEST_F(TlsSocketTest, EchoesLargeTransfersResumesAndClosesWithNotify) {
    struct {
        int version;
        int receiveSize;  // small: most of each record waits inside OpenSSL
        bool starttls;
    } cases[] = {
        {TLS1_3_VERSION, 1000, false},
        {TLS1_2_VERSION, 300000, false},
        {TLS1_3_VERSION, 300000, true},
        {TLS1_2_VERSION, 1000, true},
    };
    const std::string payload = Pattern(2 * 1024 * 1024 + 77, 5);
    for (const auto& c : cases) {
        std::string context = "version " + std::to_string(c.version) + ", receive " +
                              std::to_string(c.receiveSize) + (c.starttls ? ", STARTTLS" : "");
        double cpuBefore = ThreadCpuMs();
        Server server;
        (c.starttls ? server.startTls : server.tls) = &m_tls;
        server.receiveSize = c.receiveSize;
        server.sendBuffer = 32 * 1024;
        Listen(server);
        std::atomic<bool> allWritten{false}, goRead{false}, allRead{false};
        std::string echoed, resumedEcho;
        bool closeNotify = false, resumed = true, resumedAgain = false;
        ClientThread client([&] {
            SslContext ctx = ClientContext(c.version);
            Fd fd = Dial("127.0.0.1", server.Port(), 32 * 1024);
            if (!StartTlsAsClient(fd, c.starttls)) return;
            Ssl ssl = Handshake(ctx.get(), fd, !c.starttls);
            // Midway, with the server's socket full, a TLS 1.3 client asks
            // for new keys: the server owes an answer it cannot send yet.
            if (!ssl || !WriteInPieces(ssl.get(), payload.substr(0, 1000000))) return;
            if (c.version == TLS1_3_VERSION) SSL_key_update(ssl.get(), SSL_KEY_UPDATE_REQUESTED);
            if (!WriteInPieces(ssl.get(), payload.substr(1000000))) return;
            allWritten = true;
            for (int i = 0; i < 1000 && !goRead; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            echoed = ReadExactly(ssl.get(), payload.size());
            resumed = SSL_session_reused(ssl.get());
            allRead = true;
            char byte;
            size_t n;
            closeNotify = SSL_read_ex(ssl.get(), &byte, 1, &n) == 0 &&
                          SSL_get_error(ssl.get(), 0) == SSL_ERROR_ZERO_RETURN;
            Session session(SSL_get1_session(ssl.get()), SSL_SESSION_free);
            // A second connection with the first one's ticket.
            Fd again = Dial("127.0.0.1", server.Port());
            if (!StartTlsAsClient(again, c.starttls)) return;
            Ssl ssl2 = Handshake(ctx.get(), again, !c.starttls, session.get());
            if (!ssl2 || !WriteInPieces(ssl2.get(), "hello")) return;
            resumedEcho = ReadExactly(ssl2.get(), 5);
            resumedAgain = SSL_session_reused(ssl2.get());
            SSL_shutdown(ssl2.get());
        });
        ASSERT_TRUE(RunUntil([&] {
            return allWritten && !server.peers.empty() &&
                   server.peers[0]->received == payload.size();
        })) << context;
        // The server now waits for the client to read; so does the loop.
        ExpectIdleLoop(context);
        goRead = true;
        ASSERT_TRUE(RunUntil([&] { return allRead.load(); })) << context;
        Echo& first = *server.peers[0];
        first.Close();
        ASSERT_TRUE(RunUntil([&] { return client.Done() && server.ClosedAll(2); })) << context;
        EXPECT_TRUE(echoed == payload) << context << ": " << echoed.size() << " bytes back";
        EXPECT_GT(first.shortSends, 0) << context << ": the socket never filled up";
        EXPECT_TRUE(closeNotify) << context;
        EXPECT_FALSE(resumed) << context;
        EXPECT_EQ(first.established, 1) << context;
        EXPECT_EQ(first.version, c.version == TLS1_3_VERSION ? "TLSv1.3" : "TLSv1.2") << context;
        EXPECT_FALSE(first.resumed) << context;
        ASSERT_EQ(server.peers.size(), 2u) << context;
        Echo& second = *server.peers[1];
        EXPECT_EQ(resumedEcho, "hello") << context;
        EXPECT_TRUE(resumedAgain) << context;
        EXPECT_TRUE(second.resumed) << context;
        EXPECT_EQ(second.closes, 1) << context;
        // A loop that busy-waited for room at any time would have burnt
        // seconds here; the work itself is tens of milliseconds.
        EXPECT_LT(ThreadCpuMs() - cpuBefore, 1500.0) << context;
    }
}

// Each hostile stream ends its own connection with a reason and nothing
// else: the server never reports data or a handshake for it, the client
// sees the connection closed, and a good client is served meanwhile.
TEST_F(TlsSocketTest, HostileStreamsEndOnlyTheirOwnConnection) {
    const std::string hello = ClientHello(TLS1_2_VERSION, TLS1_3_VERSION);
    std::string badLength = hello;
    --badLength[8];  // the handshake's length, low byte: one byte short of its record
    std::string badSuites = hello;
    badSuites[44 + static_cast<unsigned char>(hello[43])] ^= 0x01;  // odd cipher suites length
    struct {
        const char* name;
        std::string bytes;
        bool endWrite;       // the client closes its side after the bytes
        const char* reason;  // part of the server's reason
    } cases[] = {
        {"plaintext command", "GROUP local.test\r\n", false, "wrong version number"},
        {"plaintext HTTP", "GET / HTTP/1.0\r\n\r\n", false, "http request"},
        {"ClientHello cut short", hello.substr(0, hello.size() / 2), true,
         "during the TLS handshake"},
        {"ClientHello with a wrong length", badLength, false, ""},
        {"ClientHello with an odd suites length", badSuites, false, ""},
        {"TLS 1.1 only", ClientHello(TLS1_1_VERSION, TLS1_1_VERSION), false,
         "unsupported protocol"},
        {"TLS 1.0 only", ClientHello(TLS1_VERSION, TLS1_VERSION), false, "unsupported protocol"},
        {"nothing at all", "", true, "during the TLS handshake"},
    };
    Server server;
    server.tls = &m_tls;
    Listen(server);
    std::vector<Fd> clients;
    for (const auto& c : cases) {
        clients.push_back(Dial("127.0.0.1", server.Port()));
        ASSERT_EQ(::send(clients.back().get(), c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(c.bytes.size()))
            << c.name;
        if (c.endWrite) ::shutdown(clients.back().get(), SHUT_WR);
    }
    const size_t hostile = clients.size();
    ASSERT_TRUE(RunUntil([&] { return server.peers.size() == hostile; }));
    // After the handshake: a record whose authentication fails. Then a
    // client that does everything right.
    std::string garbageReply = "?", goodEcho;
    ClientThread client([&] {
        SslContext ctx = ClientContext(TLS1_3_VERSION);
        Fd garbage = Dial("127.0.0.1", server.Port());
        Ssl ssl = Handshake(ctx.get(), garbage, true);
        std::string record = std::string("\x17\x03\x03\x00\x20", 5) + Pattern(32, 9);
        if (!ssl || ::send(garbage.get(), record.data(), record.size(), MSG_NOSIGNAL) < 0) return;
        garbageReply = ReadExactly(ssl.get(), 1);
        Fd good = Dial("127.0.0.1", server.Port());
        Ssl ssl2 = Handshake(ctx.get(), good, true);
        if (ssl2 && WriteInPieces(ssl2.get(), Pattern(100000, 1)))
            goodEcho = ReadExactly(ssl2.get(), 100000);
    });
    ASSERT_TRUE(RunUntil([&] { return client.Done() && server.ClosedAll(hostile + 1); }));
    for (size_t i = 0; i < hostile; ++i) {
        const auto& c = cases[i];
        const Echo& peer = *server.peers[i];
        EXPECT_EQ(peer.closes, 1) << c.name;
        EXPECT_EQ(peer.established, 0) << c.name;
        EXPECT_EQ(peer.received, 0u) << c.name;
        EXPECT_FALSE(peer.closeReason.empty()) << c.name;
        EXPECT_NE(peer.closeReason.find(c.reason), std::string::npos)
            << c.name << ": " << peer.closeReason;
        // Whatever alert came first, the connection ends.
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(clients[i].get(), buffer, sizeof buffer, 0)) > 0) {
        }
        EXPECT_TRUE(n == 0 || errno == ECONNRESET) << c.name << ": " << std::strerror(errno);
    }
    const Echo& garbage = *server.peers[hostile];
    EXPECT_EQ(garbage.established, 1);
    EXPECT_EQ(garbage.received, 0u);
    EXPECT_NE(garbage.closeReason.find("bad record mac"), std::string::npos) << garbage.closeReason;
    EXPECT_EQ(garbageReply, "");
    EXPECT_TRUE(goodEcho == Pattern(100000, 1));
}

// Hundreds of handshakes left half-done (nothing sent, half a ClientHello,
// a whole one and no answer to the server's reply) neither make the loop
// spin nor keep a good client waiting; each ends when its client goes.
TEST_F(TlsSocketTest, HalfDoneHandshakesNeitherSpinNorStallOthers) {
    const std::string hello = ClientHello(TLS1_2_VERSION, TLS1_3_VERSION);
    const std::string flights[] = {"", hello.substr(0, 100), hello};
    const size_t kStalled = 300;
    Server server;
    server.tls = &m_tls;
    Listen(server);
    std::vector<Fd> clients;
    for (size_t i = 0; i < kStalled; ++i) {
        clients.push_back(Dial("127.0.0.1", server.Port()));
        const std::string& flight = flights[i % 3];
        ASSERT_EQ(::send(clients.back().get(), flight.data(), flight.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(flight.size()));
    }
    ASSERT_TRUE(RunUntil([&] { return server.peers.size() == kStalled; }));
    RunUntil([] { return false; }, 200);  // the whole ClientHellos get their answers
    ExpectIdleLoop("stalled handshakes");
    std::string echo;
    ClientThread client([&] {
        SslContext ctx = ClientContext(TLS1_3_VERSION);
        Fd fd = Dial("127.0.0.1", server.Port());
        Ssl ssl = Handshake(ctx.get(), fd, true);
        if (ssl && WriteInPieces(ssl.get(), "still served")) echo = ReadExactly(ssl.get(), 12);
    });
    ASSERT_TRUE(RunUntil([&] { return client.Done(); }, 5000));
    EXPECT_EQ(echo, "still served");
    for (size_t i = 0; i < kStalled; ++i) EXPECT_EQ(server.peers[i]->closes, 0) << i;
    clients.clear();
    ASSERT_TRUE(RunUntil([&] { return server.ClosedAll(kStalled + 1); }));
    for (size_t i = 0; i < kStalled; ++i) {
        EXPECT_EQ(server.peers[i]->closes, 1) << i;
        EXPECT_EQ(server.peers[i]->established, 0) << i;
    }
}

// The peer's address as the log shows it, on IPv4, IPv6 and dual-stack
// listening sockets.
TEST(AsyncSocketTest, PeerNamesOnIPv4IPv6AndDualStackSockets) {
    struct {
        const char* listenOn;  // null: every address
        bool ipv6;
        const char* dialTo;
        const char* shown;
    } cases[] = {
        {"127.0.0.1", false, "127.0.0.1", "127.0.0.1"},
        {"::1", true, "::1", "::1"},
        {nullptr, true, "::1", "::1"},
        {nullptr, true, "127.0.0.1", "127.0.0.1"},  // IPv4-mapped on the IPv6 socket
    };
    for (const auto& c : cases) {
        std::string context = std::string(c.listenOn ? c.listenOn : "any") + " <- " + c.dialTo;
        Server server;
        bool ipv4Too = false;
        bool created = c.ipv6 ? server.CreateIPv6(0, ipv4Too, 63, c.listenOn)
                              : server.Create(0, 63, c.listenOn);
        if (!created && c.ipv6 && (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL)) {
            std::printf("no IPv6 here, skipped: %s\n", context.c_str());
            continue;
        }
        ASSERT_TRUE(created) << context << ": " << server.LastError();
        EXPECT_EQ(ipv4Too, c.ipv6) << context;
        ASSERT_TRUE(server.Listen()) << context;
        Fd client = Dial(c.dialTo, server.Port());
        ASSERT_GE(client.get(), 0) << context;
        ASSERT_TRUE(RunUntil([&] { return !server.peers.empty(); })) << context;
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        ::getsockname(client.get(), reinterpret_cast<sockaddr*>(&local), &length);
        unsigned expectedPort = ntohs(reinterpret_cast<sockaddr_in&>(local).sin_port);
        std::string address;
        unsigned port = 0;
        ASSERT_TRUE(server.peers[0]->GetPeerName(address, port)) << context;
        EXPECT_EQ(address, c.shown) << context;
        EXPECT_EQ(port, expectedPort) << context;
    }
}

// A connection of our own: it echoes nothing, only records what happens.
class Dialer : public CAsyncSocket {
public:
    int connects = 0;
    int connectError = -1;
    std::string received;
    std::string pending;

    void OnConnect(int errorCode) override {
        ++connects;
        connectError = errorCode;
        if (errorCode == 0 && !pending.empty()) AsyncSelect();
    }
    void OnReceive(int) override {
        char buffer[4096];
        int n = Receive(buffer, sizeof buffer);
        if (n > 0) received.append(buffer, static_cast<size_t>(n));
    }
    void OnSend(int) override {
        int sent = Send(pending.data(), static_cast<int>(pending.size()));
        if (sent > 0) pending.erase(0, static_cast<size_t>(sent));
        if (!pending.empty()) AsyncSelect();
    }
};

// Connect never waits: its end comes as OnConnect, after which the socket
// sends and receives like an accepted one; a refusal comes the same way, and
// only what cannot even be tried fails at once.
TEST(AsyncSocketTest, ConnectsWithoutWaitingOnIPv4AndIPv6) {
    struct {
        const char* address;
        bool ipv6;
        bool listening;
        bool started;      // Connect's result
        int connectError;  // what OnConnect reports; -1: no call
    } cases[] = {
        {"127.0.0.1", false, true, true, 0},
        {"::1", true, true, true, 0},
        {"127.0.0.1", false, false, true, ECONNREFUSED},
        {"news.example", false, false, false, -1},  // a name: never looked up
        {"127.0.0.1.5", false, false, false, -1},
    };
    for (const auto& c : cases) {
        std::string context = std::string(c.address) + (c.listening ? " listening" : " closed");
        Server server;
        bool ipv4Too = false;
        bool created = c.ipv6 ? server.CreateIPv6(0, ipv4Too, 63, c.address)
                              : server.Create(0, 63, "127.0.0.1");
        if (!created && c.ipv6 && (errno == EAFNOSUPPORT || errno == EADDRNOTAVAIL)) {
            std::printf("no IPv6 here, skipped: %s\n", context.c_str());
            continue;
        }
        ASSERT_TRUE(created) << context << ": " << server.LastError();
        int port = server.Port();
        if (c.listening)
            ASSERT_TRUE(server.Listen()) << context;
        else
            server.Close();  // the port is known to be free, and nothing listens
        Dialer dialer;
        dialer.pending = "hello";
        ASSERT_EQ(
            dialer.Connect(c.address, port,
                           CAsyncSocket::FD_READ | CAsyncSocket::FD_WRITE | CAsyncSocket::FD_CLOSE),
            c.started)
            << context << ": " << dialer.LastError();
        EXPECT_EQ(dialer.connects, 0) << context << ": reported before the loop ran";
        if (!c.started) {
            EXPECT_FALSE(dialer.IsOpen()) << context;
            continue;
        }
        ASSERT_TRUE(RunUntil([&] { return dialer.connects > 0; })) << context;
        EXPECT_EQ(dialer.connectError, c.connectError) << context << ": " << dialer.LastError();
        if (c.connectError != 0) continue;
        // The greeting-less echo server returns what the dialer sends.
        ASSERT_TRUE(RunUntil([&] { return dialer.received == "hello"; })) << context;
        EXPECT_EQ(dialer.connects, 1) << context;
    }
}

}  // namespace

int main(int argc, char** argv) {
    // A test client writing to a connection the server has reset must see
    // an error, not die.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new Pki);
    return RUN_ALL_TESTS();
}
