// The outgoing feeds: for every peer we send to, a queue file of the
// articles it has not taken yet. An article is appended to the queues before
// the post or the fed article that brought it is acknowledged, so a crash or
// a restart loses nothing; a peer that is down costs disk, not memory.
#pragma once

#include <string>
#include <vector>

#include "store/peers.h"

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

class CFeeds {
public:
    // Opens (creating when missing) the queue of every peer in `peers` that
    // is sent to, under `baseDir`/outgoing. False with `error` set when a
    // queue cannot be opened.
    bool Open(const std::string& baseDir, const CPeers& peers, std::string& error);

    // Appends `article` to the queue of every peer that should have it (see
    // CPeers::Recipients). False when an append failed; the article is then
    // stored but not queued for that peer.
    bool Enqueue(const StoredArticle& article);

    // The directory of the queues.
    const std::string& Directory() const { return m_strDir; }

private:
    std::string QueuePath(const Peer& peer) const;

    const CPeers* m_pPeers = nullptr;
    std::string m_strDir;
};
