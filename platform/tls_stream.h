// The server side of one TLS session over a connected non-blocking socket.
// Every call is one step that never blocks and says what it is waiting for;
// the socket service (async_socket_qt.cpp) drives the steps from the
// socket's readiness. OpenSSL talks to the socket through send/recv of its
// own here, so a peer that has gone never raises SIGPIPE and every failure
// keeps its errno.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <string>

class CTlsContext;
struct ssl_st;
struct bio_st;

class CTlsStream {
public:
    // How a step ended.
    enum class Result {
        kDone,       // finished; for a read: the buffer is full
        kWantRead,   // waits for the socket to become readable
        kWantWrite,  // waits for room in the socket's send buffer
        kClosed,     // the peer has ended the session or the connection
        kFailed,     // a protocol or socket failure; Error() says which
    };

    CTlsStream() = default;
    ~CTlsStream();
    CTlsStream(const CTlsStream&) = delete;
    CTlsStream& operator=(const CTlsStream&) = delete;

    // Prepares the server side of a session on `fd`, which stays the
    // caller's and must stay open while this stream exists. False (with
    // Error()) when `context` holds no certificate or OpenSSL is out of
    // memory.
    bool Start(const CTlsContext& context, int fd);

    // Takes the handshake as far as the bytes at hand allow; kDone once it is
    // complete.
    Result Handshake();

    // Decrypts into `buffer` until it is full (kDone) or nothing more is at
    // hand (kWantRead): the socket has nothing, or a record shorter than the
    // largest ended what OpenSSL holds, and the socket is not asked again.
    // `taken` gets the bytes placed, whatever the result: bytes that came
    // before a close or a failure are still the peer's.
    Result Read(char* buffer, size_t length, size_t& taken);

    // Encrypts the parts in order; `taken` gets the plaintext bytes taken,
    // whatever the result (kDone: all of them). Bytes not taken must be
    // offered again, from the same position, by the next call, which may
    // add more behind them: OpenSSL has already encrypted some of them and
    // expects the same write again.
    Result WriteVector(const iovec* parts, int count, size_t& taken);

    // Whether bytes received from the peer wait inside OpenSSL; the socket
    // will not report them as readable again.
    bool HasBufferedInput() const;

    // Sends close_notify in one non-blocking attempt. Nothing is sent during
    // the handshake, after a failure, or while an earlier write still waits
    // for room.
    void Shutdown();

    // Once the handshake is complete: "TLSv1.3", the cipher suite's name, and
    // whether a session ticket spared the full handshake.
    std::string Version() const;
    std::string Cipher() const;
    bool Resumed() const;

    // The reason of the last kFailed or kClosed, one line; empty for a close
    // the peer announced.
    const std::string& Error() const { return m_strError; }
    // The errno of a failed socket call behind kFailed, else 0.
    int SocketErrno() const { return m_nSocketErrno; }

private:
    Result Classify(int ret);
    static int BioWrite(bio_st* bio, const char* data, size_t length, size_t* written);
    static int BioRead(bio_st* bio, char* data, size_t length, size_t* readBytes);
    static long BioCtrl(bio_st* bio, int command, long number, void* pointer);
    static int BioCreate(bio_st* bio);

    ssl_st* m_pSsl = nullptr;
    int m_nFd = -1;
    bool m_bEof = false;  // a receive saw the end of the stream
    bool m_bEstablished = false;
    bool m_bFailed = false;  // OpenSSL allows no further step but freeing
    int m_nSocketErrno = 0;
    // The length of the write that came back unfinished: the retry must
    // offer that many bytes again, or OpenSSL refuses it.
    size_t m_nRetryLength = 0;
    std::string m_strError;
};
