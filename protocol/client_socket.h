// One accepted NNTP connection: assembles command texts from received
// blocks, collects posted articles into a temporary file, queues replies and
// writes them as fast as the socket takes them. It never deletes itself: it
// marks itself finished and asks its owner for a maintenance pass.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/file_cache.h"
#include "common/records.h"
#include "platform/async_socket.h"

class CServerCore;

// One entry of the send queue: a text block held in memory, a file kept in
// memory by the file cache, or a chunk of a file read from disk when it is
// sent.
struct SendItem {
    int isFile = 0;
    std::string data;     // text blocks only
    FileContent content;  // kept files only; never changes
    std::string path;     // file chunks only
    int64_t offset = 0;   // next byte to send: index in the bytes, or file position
    int64_t length = 0;   // bytes of this item still to send

    const char* Bytes() const { return content ? content.bytes.get() : data.data(); }
};

class CClientSocket : public CAsyncSocket {
public:
    static constexpr int kReceiveSize = 512000;
    static constexpr int64_t kFileChunk = 512000;
    // A client that sends this much without completing a command is cut off.
    static constexpr size_t kMaxPendingCommand = 64 * 1024;
    // A client that lets this much output pile up unread is cut off, so a
    // reader that never reads cannot make the server hold its replies
    // without bound.
    static constexpr int64_t kMaxQueuedBytes = 64 * 1024 * 1024;
    // Listings are queued in blocks of about this size.
    static constexpr size_t kOverviewBlock = 64 * 1024;
    // What one send may gather from the queue.
    static constexpr int kMaxGatherParts = 64;
    static constexpr int64_t kMaxGatherBytes = 1024 * 1024;

    CServerCore* m_pOwner = nullptr;
    std::string m_strLogPrefix;
    int m_bFinished = 0;
    time_t m_timeLastActivity;
    GroupEntry* m_pCurrentGroup = nullptr;
    ArticleEntry* m_pCurrentArticle = nullptr;  // never dereferenced later
    int m_bPostMode = 0;
    int m_bCrSeen = 0;
    std::string m_strLineBuffer;
    std::string m_strCommandText;  // in body mode: the last ten bytes received
    std::string m_strTempFilePath;
    int m_nPostLineCount = 0;
    int m_bTempWriteFailed = 0;   // some bytes of the current article were lost
    int m_bTempCreateFailed = 0;  // no temporary file for the current article
    int m_nTempFd = -1;           // the temporary file, open while the article arrives
    std::deque<std::unique_ptr<SendItem>> m_sendQueue;
    int64_t m_nQueuedBytes = 0;  // still to send, over all items
    int m_bQueueOverflow = 0;    // cut off for not reading; output is dropped
    int m_bAuthenticated = 0;
    std::string m_strUserName;
    std::string m_strPassword;
    // Standard reader mode: the current article of the current group, by
    // number, so that entries removed meanwhile never leave it dangling.
    int m_bArticleSelected = 0;
    int m_nArticleNumber = 0;

    CClientSocket();
    ~CClientSocket() override;

    // Sets the log prefix from the peer's address, queues the greeting and
    // logs it. Called once, after the owner has registered the connection.
    void Greet();
    // Queues a copy of `text` and asks for a write notification.
    void SendText(std::string text);
    // Queues the lines of a listing gathered in `pending` once they make a
    // block (everything left when `last`), and leaves `pending` empty with
    // room for the next block. Listings go out in blocks of moderate size:
    // an item per line costs a lot, and one huge block more still (its
    // memory has to be fetched fresh every time).
    void QueueListing(std::string& pending, bool last);
    // Queues the file at `path` from byte `from` to its end, in chunks read
    // when sent, and logs the size queued. `size` is the file's size when the
    // caller has just looked it up with ArticleFileSize, else -1.
    void SendFile(const std::string& path, int64_t from = 0, int64_t size = -1);

    // The size of an article file, or -1 when it is not there. Looks through
    // what is kept of the files sent most recently.
    static int64_t ArticleFileSize(const std::string& path);
    // The descriptors held for the files sent most recently, all told.
    static size_t SentFileDescriptors();

    void OnReceive(int errorCode) override;
    void OnSend(int errorCode) override;
    void OnClose(int errorCode) override;

    // Handles one received block as if it had just arrived.
    void HandleReceived(const char* data, size_t length);

    // The command interpreter: one complete command text.
    void ProcessCommand(const std::string& text);

    // Whether this connection's user may read, respectively post to, `group`.
    bool CanRead(const GroupEntry& group) const;
    bool CanPost(const GroupEntry& group) const;

    // Queues `reply` and logs it after the prefix.
    void SendAndLog(const std::string& reply);
    void Log(const std::string& text);

    void MarkFinished();

    // The standard reader mode's interpreter (reader_mode.cpp).
    void ProcessReaderCommand(const std::string& text, const std::vector<std::string>& words);

private:
    // The handlers of one mode. Each returns the bytes of the block it
    // leaves to the other mode (what follows an article's terminating line,
    // or a POST line in reader mode), viewing `data`; empty when none.
    std::string_view ReceiveBody(const char* data, size_t length);
    std::string_view ReceiveCommand(const char* data, size_t length);
    // Standard reader mode: every CR LF line is a command of its own.
    std::string_view ReceiveLines(const char* data, size_t length);
    // Drops a command that grew past its limit and ends the connection.
    void CutOffLongCommand();
    // Appends to the send queue unless the client has stopped reading.
    void Enqueue(std::unique_ptr<SendItem> item);
    // The authentication gate; true when it has answered the text.
    bool RunAuthGate(const std::vector<std::string>& words);

    bool CmdList(const std::vector<std::string>& words);
    bool CmdListOverviewFmt(const std::vector<std::string>& words);
    bool CmdGroup(const std::vector<std::string>& words);
    bool CmdXover(const std::vector<std::string>& words);
    bool CmdArticle(const std::vector<std::string>& words);
    bool CmdPost(const std::vector<std::string>& words);
    bool CmdQuit(const std::vector<std::string>& words);

    struct CommandRow {
        const char* name;
        size_t words;
        bool (CClientSocket::*handler)(const std::vector<std::string>&);
    };
    static const CommandRow kCommands[];
};

// Stores the article collected in `tempPath`, answers the client, writes the
// changed indexes and returns the connection to command mode. An article
// that did not reach the temporary file whole (`complete` false) is not
// stored: a cut-short copy would be served as if it were the article.
// `tempFd`, when not -1, is the temporary file open for reading; it is
// closed here.
void PostArticle(CClientSocket& client, const std::string& tempPath, int lineCount,
                 bool complete = true, int tempFd = -1);
