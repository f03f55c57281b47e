// The host's side of the outgoing feeds: one CFeedClient per peer we send
// to, the pokes that start sending once articles are queued, and the timer
// that wakes the clients when a retry is due. Made after peering has
// started; its destruction stops every client.
#pragma once

#include <QTimer>
#include <ctime>
#include <memory>
#include <vector>

#include "protocol/feed_client.h"

class CServerCore;
class IServerHost;
struct Peer;

class COutgoingFeeds : public IFeedClientHost {
public:
    // The first wait after a failure, in seconds, from this environment
    // variable when it holds a positive number; else a minute. Meant for
    // tests, which cannot wait minutes for a retry; not a setting.
    static constexpr char kRetryVariable[] = "MARROWBY_FEED_RETRY_SECONDS";

    // Makes a client for every peer of `server` that has a queue, and has
    // each queued article poke its peer's client after the events already
    // waiting. Every client is poked once at the start, so a queue left
    // from the last run goes out at once.
    COutgoingFeeds(IServerHost& host, CServerCore& server);
    ~COutgoingFeeds() override;
    COutgoingFeeds(const COutgoingFeeds&) = delete;
    COutgoingFeeds& operator=(const COutgoingFeeds&) = delete;

    // The maintenance pass's look at every client.
    void Maintain(time_t now);
    void WakeFeedAt(time_t when) override;

    const std::vector<std::unique_ptr<CFeedClient>>& Clients() const { return m_clients; }

private:
    void PostPoke(size_t index);

    IServerHost& m_host;
    CServerCore& m_server;
    // Parent of the posted pokes too: those still waiting when it goes are
    // dropped with it.
    QTimer m_timer;
    time_t m_timeWake = 0;  // what the timer is set for; 0: not set
    std::vector<std::unique_ptr<CFeedClient>> m_clients;
    std::vector<const Peer*> m_peers;  // the peer of each client
    std::vector<bool> m_pokePosted;
};
