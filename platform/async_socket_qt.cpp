#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstring>

#include "platform/async_socket.h"

struct CAsyncSocket::Impl {
    int fd = -1;
    long events = 0;
    bool listening = false;
    bool peerGone = false;      // receive saw the end of the stream or an error
    bool closeNotified = false;
    int lastErrno = 0;
    std::unique_ptr<QSocketNotifier> readNotifier;
    std::unique_ptr<QSocketNotifier> writeNotifier;

    void Attach(CAsyncSocket* owner) {
        readNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        writeNotifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
        writeNotifier->setEnabled(false);
        QObject::connect(readNotifier.get(), &QSocketNotifier::activated,
                         [owner] { owner->d->Readable(owner); });
        QObject::connect(writeNotifier.get(), &QSocketNotifier::activated,
                         [owner] { owner->d->Writable(owner); });
        Select(events);
    }

    void Select(long mask) {
        events = mask;
        if (!readNotifier) return;
        readNotifier->setEnabled(!closeNotified && (mask & (FD_READ | FD_ACCEPT | FD_CLOSE)));
        // Write readiness is reported once per request: a connected socket is
        // almost always writable, so a notifier left on would wake the loop
        // for nothing.
        if (mask & FD_WRITE) writeNotifier->setEnabled(true);
    }

    void Readable(CAsyncSocket* owner) {
        if (listening) {
            owner->OnAccept(0);
            return;
        }
        owner->OnReceive(0);
        NotifyCloseIfGone(owner);
    }

    void Writable(CAsyncSocket* owner) {
        writeNotifier->setEnabled(false);
        owner->OnSend(0);
        NotifyCloseIfGone(owner);
    }

    // A receive that read the end of the stream, or a receive or send that
    // failed hard (a reset, a broken pipe): the peer is gone. Say so once, and
    // stop watching a socket that would stay ready for nothing.
    void NotifyCloseIfGone(CAsyncSocket* owner) {
        if (!peerGone || closeNotified || fd < 0) return;
        closeNotified = true;
        readNotifier->setEnabled(false);
        owner->OnClose(0);
    }

    void Release() {
        readNotifier.reset();
        writeNotifier.reset();
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
};

CAsyncSocket::CAsyncSocket() : d(std::make_unique<Impl>()) {}

CAsyncSocket::~CAsyncSocket() { d->Release(); }

bool CAsyncSocket::Create(int port, long events, const char* address) {
    d->Release();
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
    if (port < 0 || port > 65535 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        d->lastErrno = (port < 0 || port > 65535) ? EINVAL : errno;
        ::close(fd);
        return false;
    }
    d->fd = fd;
    d->events = events;
    return true;
}

bool CAsyncSocket::Listen(int backlog) {
    if (d->fd < 0 || ::listen(d->fd, backlog) != 0) {
        d->lastErrno = errno;
        return false;
    }
    d->listening = true;
    d->Attach(this);
    return true;
}

bool CAsyncSocket::Accept(CAsyncSocket& connected) {
    int fd;
    do fd = ::accept4(d->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        d->lastErrno = errno;
        return false;
    }
    connected.d->Release();
    connected.d->fd = fd;
    connected.d->events = d->events;
    connected.d->Attach(&connected);
    return true;
}

int CAsyncSocket::Receive(void* buffer, int length) {
    if (d->fd < 0) return SOCKET_ERROR;
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
    ssize_t n;
    do n = ::send(d->fd, buffer, static_cast<size_t>(length), MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    if (n < 0) {
        d->lastErrno = errno;
        if (errno != EAGAIN && errno != EWOULDBLOCK) d->peerGone = true;
        return SOCKET_ERROR;
    }
    return static_cast<int>(n);
}

bool CAsyncSocket::AsyncSelect(long events) {
    if (d->fd < 0) return false;
    d->Select(events);
    return true;
}

void CAsyncSocket::Close() { d->Release(); }

bool CAsyncSocket::GetPeerName(std::string& address, unsigned& port) const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (d->fd < 0 || ::getpeername(d->fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        addr.sin_family != AF_INET)
        return false;
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    address = text;
    port = ntohs(addr.sin_port);
    return true;
}

void CAsyncSocket::SetNoDelay() {
    int one = 1;
    if (d->fd >= 0) ::setsockopt(d->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool CAsyncSocket::IsOpen() const { return d->fd >= 0; }

int CAsyncSocket::Handle() const { return d->fd; }

std::string CAsyncSocket::LastError() const { return std::strerror(d->lastErrno); }

void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnClose(int) {}
