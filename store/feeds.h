// The outgoing feeds: for every peer we send to, a queue file of the
// articles it has not taken yet (feed_queue.h). An article is appended to the
// queues before the post or the fed article that brought it is acknowledged,
// so a crash or a restart loses nothing; a peer that is down costs disk, not
// memory.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/durable_queue.h"
#include "store/feed_queue.h"
#include "store/peers.h"
#include "store/server_host.h"

// Where one copy of a stored article lies.
struct ArticleCopy {
    std::string group;
    int number = 0;
};

// What the feeds need to know of an article just stored.
struct StoredArticle {
    std::string messageId;
    std::string path;                 // its Path header as stored
    std::vector<std::string> groups;  // its Newsgroups, carried here or not
    std::vector<ArticleCopy> copies;  // the files it was stored as
};

// A queue line: the Message-ID, then a TAB and "group/number" for each copy,
// so the sender can fall back on another copy when one has gone.
std::string FormatQueueLine(const StoredArticle& article);
// Reads a queue line into `article`'s Message-ID and copies (the rest is left
// alone). False for a line that is not one: no Message-ID in angle brackets,
// or a copy without a group or a positive number.
bool ParseQueueLine(std::string_view line, StoredArticle& article);

class CFeeds {
public:
    // Told that an article was appended to the queue of `peer`. It is
    // called inside the handler that stored the article, so it must only
    // arrange for the sending to start after the events already waiting.
    using QueuedNotice = std::function<void(const Peer& peer)>;

    // Opens (creating when missing) the queue of every peer in `peers` that
    // is sent to, under `baseDir`/outgoing. Failures to queue an article are
    // logged through `host`. False with `error` set when a queue cannot be
    // opened.
    bool Open(const std::string& baseDir, const CPeers& peers, IServerHost& host,
              std::string& error);
    // Appends `article` to the queue of every peer that should have it (see
    // CPeers::Recipients), then tells the notice. False when an append
    // failed (and was logged); the article is then stored but not queued
    // for that peer. With `durable` (SyncWrites), the queues appended to are
    // synced before the replies that wait for it.
    bool Enqueue(const StoredArticle& article, CDurableQueue* durable = nullptr);

    void SetQueuedNotice(QueuedNotice notice) { m_notice = std::move(notice); }
    // The queue of `peer`, or null when it is not sent to.
    CFeedQueue* QueueOf(const Peer& peer) const;

    // The directory of the queues.
    const std::string& Directory() const { return m_strDir; }

private:
    std::string QueuePath(const Peer& peer) const;

    const CPeers* m_pPeers = nullptr;
    IServerHost* m_pHost = nullptr;
    std::string m_strDir;
    std::vector<std::pair<const Peer*, std::unique_ptr<CFeedQueue>>> m_queues;
    QueuedNotice m_notice;
};
