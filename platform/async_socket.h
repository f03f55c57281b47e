// A notification-driven TCP socket over non-blocking BSD sockets. The event
// loop calls OnAccept, OnReceive, OnSend and OnClose on the owning thread,
// one at a time; no call here ever blocks. The header is free of Qt so the
// protocol layer can derive from it.
#pragma once

#include <sys/uio.h>

#include <functional>
#include <memory>
#include <string>

class CAsyncSocket {
public:
    // Event bits of a notification mask.
    static constexpr long FD_READ = 1;
    static constexpr long FD_WRITE = 2;
    static constexpr long FD_OOB = 4;
    static constexpr long FD_ACCEPT = 8;
    static constexpr long FD_CONNECT = 16;
    static constexpr long FD_CLOSE = 32;
    static constexpr int SOCKET_ERROR = -1;

    // Where failures of the socket service itself (the readiness service
    // refusing a socket, say) are reported, one CR LF line each with the
    // system's reason. Set once, before the first socket is made.
    static void SetErrorLog(std::function<void(const std::string&)> log);

    CAsyncSocket();
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Creates an IPv4 stream socket bound to `port` on every local address
    // (or on `address`, dotted text, when given) and registers for `events`.
    // False when the socket cannot be created or bound; the reason is then in
    // LastError().
    bool Create(int port, long events = 63, const char* address = nullptr);
    bool Listen(int backlog = 5);
    // Takes one pending connection into `connected`, which inherits this
    // socket's registration. False when no connection could be taken.
    bool Accept(CAsyncSocket& connected);
    // Bytes taken, 0 when the peer has closed, SOCKET_ERROR otherwise (also
    // when nothing is waiting).
    virtual int Receive(void* buffer, int length);
    // Bytes taken, or SOCKET_ERROR when nothing was taken (also when the
    // socket would block). Never raises SIGPIPE.
    virtual int Send(const void* buffer, int length);
    // Sends the parts in order as one stream, in one call; the result is as
    // for Send.
    virtual int SendVector(const iovec* parts, int count);
    // Registers for `events`. With FD_WRITE it produces one OnSend as soon as
    // the socket can take data.
    bool AsyncSelect(long events = FD_READ | FD_WRITE | FD_CLOSE);
    void Close();
    // The peer's IPv4 address as dotted text and its port.
    bool GetPeerName(std::string& address, unsigned& port) const;
    // Turns off Nagle's algorithm, so a short status line never waits for
    // the peer's acknowledgement of the one before.
    void SetNoDelay();
    bool IsOpen() const;
    int Handle() const;
    std::string LastError() const;

    virtual void OnAccept(int errorCode);
    virtual void OnReceive(int errorCode);
    virtual void OnSend(int errorCode);
    virtual void OnClose(int errorCode);

    // Opaque to everyone but the socket service's implementation.
    struct Impl;

private:
    std::unique_ptr<Impl> d;
};
