// One blocking NNTP client connection for the load generator, and the
// articles it posts.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

struct ssl_st;
struct ssl_session_st;

constexpr size_t kArticleBytes = 2048;  // whole article, terminating line included

// A 2 KB article: headers, a blank line, body lines of 70 letters padded so
// that the whole text, terminating line included, is exactly kArticleBytes.
// No body line starts with a dot, so nothing needs stuffing. An empty
// `messageId`, `date` or `path` leaves that header out.
std::string MakeArticle(const std::string& group, const std::string& messageId,
                        const std::string& subject, const std::string& date,
                        const std::string& path = std::string());

// The current time as a Date header value. Posts carry it because other
// servers refuse articles dated too far in the past.
std::string DateNow();

// Every read and write waits at most kIoTimeoutSeconds; after any false the
// reason is in Error(). Commands go out one write call each, and the caller
// reads the whole reply before the next: our server takes each received
// block as one command.
class CConnection {
public:
    static constexpr int kIoTimeoutSeconds = 30;

    ~CConnection();

    // Connects to an IPv4 host and port given as text, from the local
    // address `source` when it is not empty (another loopback address, to
    // stand for a peer the server knows by it).
    bool Open(const std::string& host, const std::string& port,
              const std::string& source = std::string());
    // Connects and runs a TLS handshake as the client, offering `resume`
    // (a session of an earlier connection) when given. The certificate is
    // not checked: the generator measures the server, and checking would
    // only load its own CPU.
    bool OpenTls(const std::string& host, const std::string& port,
                 ssl_session_st* resume = nullptr);
    // Connects (under TLS when `tls`) and reads the greeting, which must be 200.
    bool OpenAndGreet(const std::string& host, const std::string& port, bool tls = false,
                      ssl_session_st* resume = nullptr);
    // Under TLS sends close_notify first, without waiting for the server's.
    void Close();

    // Under TLS: whether the handshake resumed the offered session, and a
    // new reference to this connection's session for later ones (the
    // caller frees it; null until the server has sent a ticket, which comes
    // with the first reply).
    bool Resumed() const;
    ssl_session_st* Session() const;

    bool SendAll(const std::string& data);
    // One line without its CR LF.
    bool ReadLine(std::string& line);
    // Reads a status line into `line` and checks its code.
    bool ReadStatus(int expected, std::string& line);
    // Sends one command line (CR LF added) and checks the reply's code.
    bool Command(const std::string& command, int expected, std::string& status);
    // Reads data lines up to the line holding a single dot, counting lines
    // and bytes (CR LF included). `onLine`, when given, sees each line
    // without CR LF, still dot-stuffed. Replies past 256 MB are refused.
    bool ReadBlock(size_t& lines, size_t& bytes,
                   const std::function<void(const std::string&)>& onLine = nullptr);

    const std::string& Error() const { return m_strError; }
    // The socket, for a second thread writing while this object reads (not
    // under TLS, whose records only this object may write).
    int Descriptor() const { return m_fd; }

private:
    // Receives more bytes into the buffer.
    bool Fill();

    int m_fd = -1;
    ssl_st* m_pSsl = nullptr;
    std::string m_buffer;
    size_t m_nPos = 0;  // first unread byte of m_buffer
    std::string m_strError;
};

// The numbers of a 211 reply: "211 count first last name ...".
struct GroupInfo {
    long count = 0;
    long first = 0;
    long last = 0;
};

bool SelectGroup(CConnection& conn, const std::string& group, GroupInfo& info);
bool Quit(CConnection& conn);
// POST, the article, and a check of both replies (340, then 240).
bool PostOne(CConnection& conn, const std::string& article);
