#include "app/outgoing_feeds.h"

#include <algorithm>
#include <cstdlib>

#include "store/server_core.h"

namespace {

int RetrySeconds() {
    const char* text = std::getenv(COutgoingFeeds::kRetryVariable);
    int seconds = text ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 60;
}

}  // namespace

COutgoingFeeds::COutgoingFeeds(IServerHost& host, CServerCore& server)
    : m_host(host), m_server(server) {
    m_timer.setSingleShot(true);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        m_timeWake = 0;
        Maintain(m_host.Now());
    });
    int retrySeconds = RetrySeconds();
    for (const Peer& peer : server.m_peers.All()) {
        CFeedQueue* queue = server.m_feeds.QueueOf(peer);
        if (!queue) continue;
        m_clients.push_back(
            std::make_unique<CFeedClient>(host, *this, server, peer, *queue, retrySeconds));
        m_peers.push_back(&peer);
        m_pokePosted.push_back(false);
    }
    server.m_feeds.SetQueuedNotice([this](const Peer& peer) {
        auto it = std::find(m_peers.begin(), m_peers.end(), &peer);
        if (it != m_peers.end()) PostPoke(static_cast<size_t>(it - m_peers.begin()));
    });
    for (size_t i = 0; i < m_clients.size(); ++i) PostPoke(i);
}

COutgoingFeeds::~COutgoingFeeds() {
    m_server.m_feeds.SetQueuedNotice(nullptr);
    for (auto& client : m_clients) client->Stop();
}

void COutgoingFeeds::PostPoke(size_t index) {
    // A burst of posts pokes once: the client then takes every line queued
    // meanwhile. Posted, the poke never runs inside the handler that stored
    // the article, whose session must finish its reply first.
    if (m_pokePosted[index]) return;
    m_pokePosted[index] = true;
    QMetaObject::invokeMethod(
        &m_timer,
        [this, index] {
            m_pokePosted[index] = false;
            m_clients[index]->Poke();
        },
        Qt::QueuedConnection);
}

void COutgoingFeeds::Maintain(time_t now) {
    for (auto& client : m_clients) client->Maintain(now);
}

void COutgoingFeeds::WakeFeedAt(time_t when) {
    if (m_timeWake && m_timeWake <= when) return;
    m_timeWake = when;
    // A little late rather than early: a client woken before its time
    // would only ask again.
    time_t wait = std::max<time_t>(when - m_host.Now(), 0);
    m_timer.start(static_cast<int>(std::min<time_t>(wait, 3600) * 1000 + 100));
}
