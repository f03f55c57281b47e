// A notification-driven TCP socket over non-blocking BSD sockets. The event
// loop calls OnAccept, OnReceive, OnSend and OnClose on the owning thread,
// one at a time; no call here ever blocks. The header is free of Qt so the
// protocol layer can derive from it.
//
// A connected socket may be put under TLS (StartTls), as the server side,
// right after Accept or later on a plain connection. The layer above sees
// the same calls and notifications either way: Receive gives decrypted
// bytes, Send and SendVector take plaintext, OnClose reports the end of the
// session. In between the handshake runs on the socket's own readiness and
// holds back OnReceive and OnSend until OnTlsEstablished.
#pragma once

#include <sys/uio.h>

#include <functional>
#include <memory>
#include <string>

class CTlsContext;

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
    // Creates an IPv6 stream socket bound to `port` on every local address
    // (or on `address`, IPv6 text) and registers for `events`. `ipv4Too`
    // tells whether it takes IPv4 connections as well (dual-stack); when it
    // is false the system refused that, and a caller that wants IPv4 too
    // opens a second socket with Create on the same port. False when the
    // socket cannot be created (a host without IPv6) or bound; the reason is
    // then in LastError().
    bool CreateIPv6(int port, bool& ipv4Too, long events = 63, const char* address = nullptr);
    bool Listen(int backlog = 5);
    // Takes one pending connection into `connected`, which inherits this
    // socket's registration. False when no connection could be taken.
    bool Accept(CAsyncSocket& connected);
    // Starts a TCP connection to `address` (IPv4 dotted or IPv6 text; no
    // name is looked up, which could block) on `port` and registers for
    // `events`. The attempt goes on without waiting: OnConnect reports its
    // end, 0 once connected (OnReceive and OnSend follow as usual from
    // then), else the system's error code, with its text in LastError(),
    // after which the caller closes the socket. False when the attempt
    // cannot even start (a malformed address or port, no socket, an
    // immediate refusal); the reason is then in LastError() and no
    // OnConnect follows. Whatever the socket was before is released first.
    bool Connect(const std::string& address, int port, long events = 63);
    // Bytes taken, 0 when the peer has closed, SOCKET_ERROR otherwise (also
    // when nothing is waiting, and under TLS until the handshake is done).
    virtual int Receive(void* buffer, int length);
    // Bytes taken, or SOCKET_ERROR when nothing was taken (also when the
    // socket would block, and under TLS until the handshake is done). Never
    // raises SIGPIPE. Under TLS the bytes not taken must be offered again,
    // from the same byte, by the next call, which may offer more behind
    // them; a shorter offer ends the session.
    virtual int Send(const void* buffer, int length);
    // Sends the parts in order as one stream, in one call; the result is as
    // for Send. Under TLS short parts are gathered into full records and
    // long ones encrypted in place.
    virtual int SendVector(const iovec* parts, int count);
    // Registers for `events`. With FD_WRITE it produces one OnSend as soon as
    // the socket can take data (under TLS: once the handshake is done).
    bool AsyncSelect(long events = FD_READ | FD_WRITE | FD_CLOSE);
    // Under TLS, once the handshake is done, first sends close_notify (one
    // attempt that never waits for room).
    void Close();
    // The peer's address as text and its port: dotted for IPv4, also when it
    // came to an IPv6 socket as an IPv4-mapped address; else the IPv6 text
    // form ("::1").
    bool GetPeerName(std::string& address, unsigned& port) const;

    // Puts this connected socket under TLS as the server, with `context`,
    // which must outlive the session. Call it right after Accept, or on a
    // plain connection once the last plaintext has been taken by Send or
    // SendVector (a STARTTLS reply: calling it in the OnSend that empties the
    // queue is right). Bytes received before the call are the plaintext the
    // caller has read; everything after belongs to the handshake. The
    // handshake then runs as the peer's bytes arrive: OnTlsEstablished when
    // it is done, OnClose (with the reason in LastError) when it fails or
    // the peer goes. A peer that stops in the middle is not timed out here.
    // False when the socket is not connected, is already under TLS, or no
    // session can be made (the reason in LastError).
    bool StartTls(const CTlsContext& context);
    // Whether the socket is under TLS (from StartTls to Close), and whether
    // the completed handshake resumed an earlier session from a ticket.
    bool IsTls() const;
    bool IsTlsResumed() const;
    // Turns off Nagle's algorithm, so a short status line never waits for
    // the peer's acknowledgement of the one before.
    void SetNoDelay();
    bool IsOpen() const;
    int Handle() const;
    // The reason of the last failure: the system's text, or under TLS the
    // protocol's ("wrong version number").
    std::string LastError() const;
    // Why the TLS session ended, once OnClose has reported it: the protocol's
    // or the system's reason, or that the peer went without close_notify.
    // Empty while the session runs and when the peer closed it properly.
    std::string TlsError() const;

    virtual void OnAccept(int errorCode);
    virtual void OnConnect(int errorCode);
    virtual void OnReceive(int errorCode);
    virtual void OnSend(int errorCode);
    virtual void OnClose(int errorCode);
    // The handshake is done: the protocol version ("TLSv1.3") and the cipher
    // suite. OnSend and OnReceive follow as usual; data the peer sent right
    // behind its handshake is announced without waiting for the socket.
    virtual void OnTlsEstablished(const std::string& version, const std::string& cipher);

    // Opaque to everyone but the socket service's implementation.
    struct Impl;

private:
    std::unique_ptr<Impl> d;
};
