// The socket service. Every socket is registered with one epoll instance,
// and only the epoll descriptor is watched by a QSocketNotifier: a ready
// socket then costs one event, however many connections are open, where a
// notifier per socket would make every turn of the loop poll all of them.
// A socket under TLS keeps a CTlsStream, stepped from the same readiness.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/async_socket.h"
#include "platform/tls_stream.h"

namespace {

std::function<void(const std::string&)>& ErrorLog() {
    static std::function<void(const std::string&)> log;
    return log;
}

// Reports a failed call of the socket service with the system's reason.
void ReportFailure(const char* call, int error) {
    if (ErrorLog()) ErrorLog()(std::string(call) + " failed [" + std::strerror(error) + "]!!\r\n");
}

// The epoll instance and the sockets registered with it, by a key that is
// never reused, so an event for a socket released meanwhile finds nothing.
class Poller {
public:
    static Poller& Instance() {
        static Poller poller;
        return poller;
    }

    // Registers `fd`; its key, or 0 when it cannot be watched.
    uint64_t Add(int fd, CAsyncSocket* socket, CAsyncSocket::Impl* impl) {
        if (m_epoll < 0) return 0;
        uint64_t key = ++m_nLastKey;
        epoll_event ev{};
        ev.events = 0;
        ev.data.u64 = key;
        if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
            ReportFailure("epoll_ctl(EPOLL_CTL_ADD)", errno);
            return 0;
        }
        m_sockets.emplace(key, Entry{socket, impl});
        return key;
    }

    void Modify(int fd, uint64_t key, bool read, bool write) {
        epoll_event ev{};
        ev.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
        ev.data.u64 = key;
        if (::epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &ev) != 0)
            ReportFailure("epoll_ctl(EPOLL_CTL_MOD)", errno);
    }

    bool Has(uint64_t key) const { return m_sockets.count(key) != 0; }

    // Asks for one OnSend of the socket `key` once the current handlers are
    // done: at the end of the batch of events being dispatched, or from a
    // posted call when none is.
    void QueueWrite(uint64_t key) {
        m_pendingWrites.push_back(key);
        PostPending();
    }

    // Asks, the same way, for one OnReceive of a TLS socket whose received
    // bytes wait inside OpenSSL, where epoll cannot see them.
    void QueueRead(uint64_t key) {
        m_pendingReads.push_back(key);
        PostPending();
    }

    void Remove(int fd, uint64_t key) {
        if (::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr) != 0)
            ReportFailure("epoll_ctl(EPOLL_CTL_DEL)", errno);
        m_sockets.erase(key);
    }

private:
    Poller() {
        // Every connection is a descriptor: take all the process may have.
        struct rlimit limit;
        if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
            limit.rlim_cur = limit.rlim_max;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (m_epoll < 0) {
            // Nothing can be watched: every socket fails to register, so
            // listening fails and connections are turned away.
            ReportFailure("epoll_create1", errno);
            return;
        }
        m_notifier = new QSocketNotifier(m_epoll, QSocketNotifier::Read);
        QObject::connect(m_notifier, &QSocketNotifier::activated, [this] { Dispatch(); });
    }

    void PostPending() {
        if (m_bDispatching || m_bWritesPosted) return;
        m_bWritesPosted = true;
        QMetaObject::invokeMethod(
            m_notifier,
            [this] {
                m_bWritesPosted = false;
                RunPending();
            },
            Qt::QueuedConnection);
    }

    void Dispatch();
    void RunPending();

    int m_epoll = -1;
    bool m_bDispatching = false;
    bool m_bWritesPosted = false;
    std::vector<uint64_t> m_pendingWrites;
    std::vector<uint64_t> m_pendingReads;
    QSocketNotifier* m_notifier = nullptr;
    uint64_t m_nLastKey = 0;
    struct Entry {
        CAsyncSocket* socket;
        CAsyncSocket::Impl* impl;
    };
    std::unordered_map<uint64_t, Entry> m_sockets;
};

}  // namespace

struct CAsyncSocket::Impl {
    int fd = -1;
    uint64_t key = 0;
    long events = 0;
    bool listening = false;
    bool wantWrite = false;  // one OnSend has been asked for
    bool peerGone = false;   // a receive or send saw the end of the stream
    bool closeNotified = false;
    bool readWatched = false;
    bool writeWatched = false;
    bool acceptPaused = false;  // out of descriptors: pending connections wait
    bool writeQueued = false;   // an OnSend is due without asking epoll
    // A send was cut short or refused: the next write request waits for
    // epoll to report room, instead of trying at once.
    bool mayBeFull = false;
    bool sendFailed = false;  // a send failed for good; no more attempts
    int lastErrno = 0;
    // A connection of ours is being made: its end shows as writability.
    bool connecting = false;

    // Under TLS.
    std::unique_ptr<CTlsStream> tls;
    std::string tlsError;       // why the session ended, when it failed
    bool handshaking = false;   // OnReceive and OnSend wait for its end
    bool tlsWantsRoom = false;  // the handshake or a receive waits for EPOLLOUT
    // A send needs the peer's bytes first (OpenSSL has a record to read before
    // it may write); the write request waits for EPOLLIN, not EPOLLOUT.
    bool sendWantsInput = false;
    bool moreBuffered = false;  // the last receive left bytes inside OpenSSL
    bool readQueued = false;    // an OnReceive is due for those bytes

    // Registers the socket with the poller; false when it cannot be watched.
    bool Attach(CAsyncSocket* owner) {
        key = Poller::Instance().Add(fd, owner, this);
        if (!key) return false;
        Select(events);
        return true;
    }

    // A write request that must wait for something other than room.
    bool WriteHeld() const { return handshaking || sendWantsInput || connecting; }

    void Select(long mask) {
        events = mask;
        if ((mask & FD_WRITE) && !listening && !sendFailed) {
            wantWrite = true;
            AnswerWriteSoon();
        }
        Update();
    }

    // Write readiness is reported once per request. A connected socket is
    // almost always writable, so the request is answered without asking
    // epoll, unless the last send found the socket full.
    void AnswerWriteSoon() {
        if (!wantWrite || mayBeFull || writeQueued || WriteHeld()) return;
        writeQueued = true;
        Poller::Instance().QueueWrite(key);
    }

    void QueueReceive() {
        if (readQueued) return;
        readQueued = true;
        Poller::Instance().QueueRead(key);
    }

    void Update() {
        if (fd < 0 || !key) return;
        bool read = !closeNotified && !acceptPaused && !connecting &&
                    ((events & (FD_READ | FD_ACCEPT | FD_CLOSE)) || handshaking || sendWantsInput);
        bool write = (wantWrite && mayBeFull && !WriteHeld()) || (tlsWantsRoom && !closeNotified) ||
                     connecting;
        if (read == readWatched && write == writeWatched) return;
        readWatched = read;
        writeWatched = write;
        Poller::Instance().Modify(fd, key, read, write);
    }

    void NoteSent(ssize_t sent, size_t offered) {
        if (sent >= 0) {
            if (static_cast<size_t>(sent) < offered) mayBeFull = true;
            return;
        }
        lastErrno = errno;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            mayBeFull = true;
        } else {
            peerGone = true;
            sendFailed = true;
        }
    }

    void Readable(CAsyncSocket* owner) {
        if (listening) {
            owner->OnAccept(0);
            return;
        }
        if (handshaking) {
            Handshake(owner);
            return;
        }
        if (sendWantsInput) {
            // What the send waited for has come: it may try again once this
            // receive has run.
            sendWantsInput = false;
            AnswerWriteSoon();
            Update();
        }
        owner->OnReceive(0);
    }

    // Epoll reports room in the socket's send buffer.
    void Roomy(CAsyncSocket* owner) {
        mayBeFull = false;
        if (connecting) {
            FinishConnect(owner);
            return;
        }
        if (handshaking) {
            Handshake(owner);
            return;
        }
        if (tlsWantsRoom) {
            // A receive stopped to send a record the session owed the peer;
            // the owner reads again after this batch.
            tlsWantsRoom = false;
            QueueReceive();
            Update();
        }
        if (wantWrite && !WriteHeld()) Writable(owner);
    }

    // A connection attempt has ended; SO_ERROR says how.
    void FinishConnect(CAsyncSocket* owner) {
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        connecting = false;
        lastErrno = error;
        Update();
        uint64_t k = key;
        owner->OnConnect(error);
        if (error == 0 && Poller::Instance().Has(k)) AnswerWriteSoon();
    }

    void Writable(CAsyncSocket* owner) {
        wantWrite = false;
        Update();
        owner->OnSend(0);
    }

    // A receive that filled the owner's buffer may have left whole records
    // inside OpenSSL: ask for another OnReceive, since the socket will not
    // report those bytes. After a receive that stopped for want of bytes,
    // nothing is asked, so a partial record never makes the loop spin.
    void AfterReceive() {
        if (!moreBuffered) return;
        moreBuffered = false;
        QueueReceive();
    }

    void Handshake(CAsyncSocket* owner) {
        CTlsStream::Result result = tls->Handshake();
        tlsWantsRoom = result == CTlsStream::Result::kWantWrite;
        if (tlsWantsRoom) mayBeFull = true;
        if (result != CTlsStream::Result::kDone) {
            if (result == CTlsStream::Result::kClosed || result == CTlsStream::Result::kFailed)
                EndTls(result);
            Update();
            return;
        }
        handshaking = false;
        Update();
        uint64_t k = key;
        owner->OnTlsEstablished(tls->Version(), tls->Cipher());
        if (!Poller::Instance().Has(k)) return;
        AnswerWriteSoon();
        // The peer's first data may have come in with its last handshake
        // bytes and been read ahead with them.
        if (tls->HasBufferedInput()) QueueReceive();
    }

    // The session is over: the peer closed it, or it failed. The owner hears
    // of it through OnClose; after a failure nothing more is sent.
    void EndTls(CTlsStream::Result result) {
        peerGone = true;
        tlsError = tls->Error();
        if (result == CTlsStream::Result::kFailed) {
            sendFailed = true;
            if (tls->SocketErrno()) lastErrno = tls->SocketErrno();
        }
    }

    int ReceiveTls(void* buffer, int length) {
        moreBuffered = false;
        if (handshaking || length <= 0) return SOCKET_ERROR;
        size_t taken = 0;
        CTlsStream::Result result =
            tls->Read(static_cast<char*>(buffer), static_cast<size_t>(length), taken);
        switch (result) {
            case CTlsStream::Result::kDone: moreBuffered = tls->HasBufferedInput(); break;
            case CTlsStream::Result::kWantRead: break;
            case CTlsStream::Result::kWantWrite:
                tlsWantsRoom = true;
                mayBeFull = true;
                Update();
                break;
            case CTlsStream::Result::kClosed:
            case CTlsStream::Result::kFailed: EndTls(result); break;
        }
        if (taken > 0) return static_cast<int>(taken);
        return result == CTlsStream::Result::kClosed ? 0 : SOCKET_ERROR;
    }

    int SendTls(const iovec* parts, int count) {
        if (handshaking) return SOCKET_ERROR;
        size_t taken = 0;
        CTlsStream::Result result = tls->WriteVector(parts, count, taken);
        switch (result) {
            case CTlsStream::Result::kDone: break;
            case CTlsStream::Result::kWantWrite: mayBeFull = true; break;
            case CTlsStream::Result::kWantRead:
                sendWantsInput = true;
                Update();
                break;
            case CTlsStream::Result::kClosed:
            case CTlsStream::Result::kFailed:
                EndTls(result);
                sendFailed = true;
                break;
        }
        if (taken == 0 && result != CTlsStream::Result::kDone) return SOCKET_ERROR;
        return taken > INT32_MAX ? INT32_MAX : static_cast<int>(taken);
    }

    // A receive that read the end of the stream, or a receive or send that
    // failed hard (a reset, a broken pipe): the peer is gone. Say so once, and
    // stop watching for data that will never come.
    void NotifyCloseIfGone(CAsyncSocket* owner) {
        if (!peerGone || closeNotified || fd < 0) return;
        closeNotified = true;
        Update();
        owner->OnClose(0);
    }

    void Release() {
        if (fd < 0) return;
        if (tls) {
            if (!handshaking && !sendFailed) tls->Shutdown();
            tls.reset();
        }
        handshaking = tlsWantsRoom = sendWantsInput = moreBuffered = readQueued = false;
        if (key) Poller::Instance().Remove(fd, key);
        ::close(fd);
        fd = -1;
        key = 0;
        readWatched = writeWatched = wantWrite = writeQueued = connecting = false;
    }
};

void Poller::Dispatch() {
    m_bDispatching = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{m_bDispatching};
    epoll_event events[256];
    int n;
    do n = ::epoll_wait(m_epoll, events, 256, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0) ReportFailure("epoll_wait", errno);
    for (int i = 0; i < n; ++i) {
        uint64_t key = events[i].data.u64;
        uint32_t ready = events[i].events;
        // Each step looks the socket up again: a handler may have released
        // it (or another one) meanwhile.
        auto it = m_sockets.find(key);
        if (it == m_sockets.end()) continue;
        CAsyncSocket* socket = it->second.socket;
        CAsyncSocket::Impl& d = *it->second.impl;
        if ((ready & (EPOLLIN | EPOLLHUP | EPOLLERR)) && d.readWatched) d.Readable(socket);
        if (m_sockets.find(key) == m_sockets.end()) continue;
        d.AfterReceive();
        d.NotifyCloseIfGone(socket);
        if (m_sockets.find(key) == m_sockets.end()) continue;
        if ((ready & (EPOLLOUT | EPOLLHUP | EPOLLERR)) && d.writeWatched) d.Roomy(socket);
        if (m_sockets.find(key) == m_sockets.end()) continue;
        d.NotifyCloseIfGone(socket);
    }
    RunPending();
}

void Poller::RunPending() {
    // One log flush and one send per socket for the whole batch, instead of
    // two epoll changes per reply. A send may queue further work for the same
    // socket; each round takes what the previous one left. Receives of bytes
    // held inside OpenSSL go first: they may queue replies.
    bool wasDispatching = m_bDispatching;
    m_bDispatching = true;
    std::vector<uint64_t> keys;
    while (!m_pendingWrites.empty() || !m_pendingReads.empty()) {
        keys.swap(m_pendingReads);
        for (uint64_t key : keys) {
            auto it = m_sockets.find(key);
            if (it == m_sockets.end()) continue;
            CAsyncSocket* socket = it->second.socket;
            CAsyncSocket::Impl& d = *it->second.impl;
            d.readQueued = false;
            if (d.closeNotified || !d.tls || d.handshaking) continue;
            socket->OnReceive(0);
            if (m_sockets.find(key) == m_sockets.end()) continue;
            d.AfterReceive();
            d.NotifyCloseIfGone(socket);
        }
        keys.clear();
        keys.swap(m_pendingWrites);
        for (uint64_t key : keys) {
            auto it = m_sockets.find(key);
            if (it == m_sockets.end()) continue;
            CAsyncSocket* socket = it->second.socket;
            CAsyncSocket::Impl& d = *it->second.impl;
            d.writeQueued = false;
            if (!d.wantWrite) continue;
            if (d.mayBeFull || d.sendFailed || d.WriteHeld()) {
                d.Update();
                continue;
            }
            d.Writable(socket);
            if (m_sockets.find(key) == m_sockets.end()) continue;
            d.NotifyCloseIfGone(socket);
        }
        keys.clear();
    }
    m_bDispatching = wasDispatching;
}

void CAsyncSocket::SetErrorLog(std::function<void(const std::string&)> log) {
    ErrorLog() = std::move(log);
}

CAsyncSocket::CAsyncSocket() : d(std::make_unique<Impl>()) {}

CAsyncSocket::~CAsyncSocket() {
    d->Release();
}

bool CAsyncSocket::Create(int port, long events, const char* address) {
    d->Release();
    if (port < 0 || port > 65535) {
        d->lastErrno = EINVAL;
        return false;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        d->lastErrno = errno;
        return false;
    }
    int one = 1;
    // Lets a restarted server bind while old connections linger in TIME_WAIT;
    // a port that another process listens on still fails to bind.
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (address && ::inet_pton(AF_INET, address, &addr.sin_addr) != 1) {
        ::close(fd);
        d->lastErrno = EINVAL;
        return false;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        d->lastErrno = errno;
        ::close(fd);
        return false;
    }
    d->fd = fd;
    d->events = events;
    return true;
}

bool CAsyncSocket::CreateIPv6(int port, bool& ipv4Too, long events, const char* address) {
    d->Release();
    ipv4Too = false;
    if (port < 0 || port > 65535) {
        d->lastErrno = EINVAL;
        return false;
    }
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        d->lastErrno = errno;
        return false;
    }
    int one = 1;
    int zero = 0;
    // Dual-stack: IPv4 clients come to this socket as IPv4-mapped addresses.
    // Where the system refuses that, the socket is made IPv6-only outright,
    // so that an IPv4 socket can take the same port beside it.
    ipv4Too = ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) == 0;
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_port = htons(static_cast<uint16_t>(port));
    addr.sin6_addr = in6addr_any;
    int failure = 0;
    if (address && ::inet_pton(AF_INET6, address, &addr.sin6_addr) != 1)
        failure = EINVAL;
    else if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
             (!ipv4Too && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) != 0) ||
             ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        failure = errno;
    if (failure) {
        d->lastErrno = failure;
        ::close(fd);
        ipv4Too = false;
        return false;
    }
    d->fd = fd;
    d->events = events;
    return true;
}

bool CAsyncSocket::Listen(int backlog) {
    // The asked-for length is taken as a minimum: here a full queue drops
    // new connection attempts, and each dropped client waits a second or
    // more before it tries again, so bursts of connections would stall.
    if (backlog < SOMAXCONN) backlog = SOMAXCONN;
    if (d->fd < 0 || ::listen(d->fd, backlog) != 0) {
        d->lastErrno = errno;
        return false;
    }
    d->listening = true;
    if (!d->Attach(this)) {
        d->lastErrno = errno;
        return false;
    }
    return true;
}

bool CAsyncSocket::Accept(CAsyncSocket& connected) {
    int fd;
    do fd = ::accept4(d->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        d->lastErrno = errno;
        if ((errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) &&
            !d->acceptPaused) {
            // The pending connection stays ready, so watching on would spin.
            // Look again shortly, when some connection may have gone.
            d->acceptPaused = true;
            d->Update();
            Impl* impl = d.get();
            uint64_t key = d->key;
            QTimer::singleShot(100, [impl, key] {
                if (!Poller::Instance().Has(key)) return;
                impl->acceptPaused = false;
                impl->Update();
            });
        }
        return false;
    }
    connected.d->Release();
    connected.d->tlsError.clear();
    connected.d->fd = fd;
    connected.d->events = d->events;
    if (!connected.d->Attach(&connected)) {
        // A connection the loop cannot watch would never be served.
        connected.d->Release();
        return false;
    }
    return true;
}

bool CAsyncSocket::Connect(const std::string& address, int port, long events) {
    d->Release();
    *d = Impl();
    sockaddr_storage addr{};
    socklen_t length = 0;
    auto& in4 = reinterpret_cast<sockaddr_in&>(addr);
    auto& in6 = reinterpret_cast<sockaddr_in6&>(addr);
    if (port > 0 && port <= 65535 && ::inet_pton(AF_INET, address.c_str(), &in4.sin_addr) == 1) {
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof in4;
    } else if (port > 0 && port <= 65535 &&
               ::inet_pton(AF_INET6, address.c_str(), &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof in6;
    } else {
        d->lastErrno = EINVAL;
        return false;
    }
    int fd = ::socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        d->lastErrno = errno;
        return false;
    }
    // A non-blocking connect goes on in the background after EINPROGRESS,
    // and after EINTR as well; its end is reported as writability.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0 && errno != EINPROGRESS &&
        errno != EINTR) {
        d->lastErrno = errno;
        ::close(fd);
        return false;
    }
    d->fd = fd;
    d->events = events;
    d->connecting = true;
    if (!d->Attach(this)) {
        d->lastErrno = errno;
        d->Release();
        return false;
    }
    return true;
}

int CAsyncSocket::Receive(void* buffer, int length) {
    if (d->fd < 0) return SOCKET_ERROR;
    if (d->tls) return d->ReceiveTls(buffer, length);
    ssize_t n;
    do n = ::recv(d->fd, buffer, static_cast<size_t>(length), 0);
    while (n < 0 && errno == EINTR);
    if (n > 0) return static_cast<int>(n);
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
        d->lastErrno = n == 0 ? 0 : errno;
        d->peerGone = true;
    }
    return n == 0 ? 0 : SOCKET_ERROR;
}

int CAsyncSocket::Send(const void* buffer, int length) {
    if (d->fd < 0) return SOCKET_ERROR;
    if (d->tls) {
        iovec part{const_cast<void*>(buffer), static_cast<size_t>(length < 0 ? 0 : length)};
        return d->SendTls(&part, 1);
    }
    ssize_t n;
    do n = ::send(d->fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    d->NoteSent(n, static_cast<size_t>(length));
    return n < 0 ? SOCKET_ERROR : static_cast<int>(n);
}

int CAsyncSocket::SendVector(const iovec* parts, int count) {
    if (d->fd < 0) return SOCKET_ERROR;
    if (d->tls) return d->SendTls(parts, count);
    msghdr message{};
    message.msg_iov = const_cast<iovec*>(parts);
    message.msg_iovlen = static_cast<size_t>(count);
    ssize_t n;
    do n = ::sendmsg(d->fd, &message, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    size_t offered = 0;
    for (int i = 0; i < count; ++i) offered += parts[i].iov_len;
    d->NoteSent(n, offered);
    if (n < 0) return SOCKET_ERROR;
    return n > INT32_MAX ? INT32_MAX : static_cast<int>(n);
}

bool CAsyncSocket::AsyncSelect(long events) {
    if (d->fd < 0) return false;
    d->Select(events);
    return true;
}

void CAsyncSocket::Close() {
    d->Release();
}

bool CAsyncSocket::GetPeerName(std::string& address, unsigned& port) const {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (d->fd < 0) return false;
    if (::getpeername(d->fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        d->lastErrno = errno;
        return false;
    }
    char text[INET6_ADDRSTRLEN];
    const char* shown = nullptr;
    if (addr.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
        shown = ::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text);
        port = ntohs(in.sin_port);
    } else if (addr.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(addr);
        // An IPv4 client of a dual-stack socket arrives as ::ffff:a.b.c.d;
        // it is shown as the IPv4 address it is, the same as on an IPv4 port.
        if (IN6_IS_ADDR_V4MAPPED(&in6.sin6_addr))
            shown = ::inet_ntop(AF_INET, &in6.sin6_addr.s6_addr[12], text, sizeof text);
        else
            shown = ::inet_ntop(AF_INET6, &in6.sin6_addr, text, sizeof text);
        port = ntohs(in6.sin6_port);
    }
    if (!shown) return false;
    address = shown;
    return true;
}

bool CAsyncSocket::StartTls(const CTlsContext& context) {
    if (d->fd < 0 || d->listening || d->tls) {
        d->lastErrno = EINVAL;
        return false;
    }
    auto stream = std::make_unique<CTlsStream>();
    if (!stream->Start(context, d->fd)) {
        d->tlsError = stream->Error();
        return false;
    }
    d->tls = std::move(stream);
    d->tlsError.clear();
    d->handshaking = true;
    d->Update();
    return true;
}

bool CAsyncSocket::IsTls() const {
    return d->tls != nullptr;
}

bool CAsyncSocket::IsTlsResumed() const {
    return d->tls && !d->handshaking && d->tls->Resumed();
}

void CAsyncSocket::SetNoDelay() {
    int one = 1;
    if (d->fd >= 0) ::setsockopt(d->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool CAsyncSocket::IsOpen() const {
    return d->fd >= 0;
}

int CAsyncSocket::Handle() const {
    return d->fd;
}

std::string CAsyncSocket::LastError() const {
    return d->tlsError.empty() ? std::strerror(d->lastErrno) : d->tlsError;
}

std::string CAsyncSocket::TlsError() const {
    return d->tlsError;
}

void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnClose(int) {}
void CAsyncSocket::OnTlsEstablished(const std::string&, const std::string&) {}
