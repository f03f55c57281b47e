// The output of one connection not yet written: text blocks, files kept in
// memory, and chunks of files read from disk when they are sent, in the order
// of the replies. Items leave only from the front and only when fully sent.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "store/spool.h"

// One entry of the queue.
struct SendItem {
    int isFile = 0;       // 1: a chunk of `path`, read when sent
    std::string data;     // text blocks only
    FileContent content;  // kept files only; never changes
    std::string path;     // file chunks only
    int64_t offset = 0;   // next byte to send: index in the bytes, or file position
    int64_t length = 0;   // bytes of this item still to send

    const char* Bytes() const { return content ? content.bytes.get() : data.data(); }
};

class CSendQueue {
public:
    static constexpr int64_t kFileChunk = 512000;
    // What one send may gather from the queue.
    static constexpr int kMaxGatherParts = 64;
    static constexpr int64_t kMaxGatherBytes = 1024 * 1024;

    // File chunks are read through `spool`, which must outlive the queue.
    explicit CSendQueue(CSpool& spool) : m_spool(spool) {}

    void PushText(std::string text);
    // `length` bytes of a kept file from `from`.
    void PushContent(FileContent content, int64_t from, int64_t length);
    // A chunk of a file, read when it is sent: `length` bytes (at most
    // kFileChunk) from `offset`.
    void PushFileChunk(const std::string& path, int64_t offset, int64_t length);

    // The parts the next send should offer, in order, into `parts` (room for
    // kMaxGatherParts); returns how many. At most one file chunk is read per
    // send, into `chunkBuffer` (kFileChunk bytes). A chunk whose file can no
    // longer be read whole shrinks to what could be read.
    int Gather(iovec* parts, char* chunkBuffer);
    // Takes `sent` bytes, which the last send took of what Gather offered,
    // off the front.
    void Consume(int64_t sent);
    void Clear();

    bool Empty() const { return m_items.empty(); }
    size_t Items() const { return m_items.size(); }
    int64_t Bytes() const { return m_nBytes; }  // still to send, over all items
    const std::deque<std::unique_ptr<SendItem>>& Contents() const { return m_items; }

private:
    void Push(std::unique_ptr<SendItem> item);

    CSpool& m_spool;
    std::deque<std::unique_ptr<SendItem>> m_items;
    int64_t m_nBytes = 0;
};
