// Taking an article in the standard reader mode, posted by a newsreader or
// fed by a peer: the checks every news server applies, the history of
// Message-IDs, the Path and Message-ID this server adds, storing a copy in
// every carried group the article names, and queueing it for the peers.
// The classic mode stores posts as it always has (posting.h).
#pragma once

#include <ctime>
#include <string>

#include "store/article_check.h"
#include "store/posting.h"

enum class IntakeResult {
    Stored,     // stored in the carried groups it names, or its cancel carried out
    Duplicate,  // the history knows its Message-ID
    Refused,    // a rule refused it; the outcome's reason says which
    Failed,     // it could not be stored now (the disk, say); it may be offered again
};

struct IntakeOutcome {
    IntakeResult result = IntakeResult::Failed;
    std::string reason;     // Refused: the text after the status code
    std::string messageId;  // the article's, as stored (made here for a post without one)
};

struct IntakeRequest {
    ArticleSource source = ArticleSource::Posted;
    CanPostFn canPost;                 // posted: the poster's rights; unset: every group
    const Posting* posting = nullptr;  // the article as received
    time_t now = 0;
    std::string offeredId;  // fed: the Message-ID the peer offered it under
};

// Takes one article. Changed groups are marked dirty, and writing their
// indexes is the caller's. What is refused because of what it is (not
// because of this server's state) is remembered when it came from a peer, so
// no peer offers it again.
IntakeOutcome TakeArticle(CServerCore& core, const IntakeRequest& request);
