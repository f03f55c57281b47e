// The server's state apart from its windows and sockets: switches, groups,
// users, the article files, and the store operations on them. It reaches its
// host (the main window, or a test's fake) only through IServerHost.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/settings.h"
#include "store/feeds.h"
#include "store/history.h"
#include "store/peers.h"
#include "store/records.h"
#include "store/server_host.h"
#include "store/spool.h"

class CServerCore : public ServerSwitches {
public:
    explicit CServerCore(IServerHost& host) : m_host(host) {}
    virtual ~CServerCore();
    CServerCore(const CServerCore&) = delete;
    CServerCore& operator=(const CServerCore&) = delete;

    std::string m_szBaseDir;                            // no trailing slash
    std::vector<std::unique_ptr<GroupEntry>> m_groups;  // in settings-file order
    std::vector<UserEntry> m_users;                     // in settings-file order
    CSpool m_spool;                                     // the article files
    // Peering, in the reader mode: the Message-IDs seen, the peers and the
    // queues of what they are still to be sent. Unused (and the history not
    // opened) in the classic mode.
    CHistory m_history;
    CPeers m_peers;
    CFeeds m_feeds;
    // Message-IDs of articles some peer is sending right now, so that a
    // second offer of one waits instead of crossing it.
    std::set<std::string, std::less<>> m_arriving;
    std::vector<PeerSettings> m_peerSettings;  // as the settings file gives them
    std::vector<std::string> m_peerProblems;   // [Peers] lines set aside, and why

    IServerHost& Host() const { return m_host; }

    // This server's path identity: PathHost, or the machine's fully
    // qualified name (looked up once).
    const std::string& PathHost();

    // Reads the settings file: the switches, then a group (with its record
    // and an empty article list) per group line and the users. False when
    // the file cannot be opened; showing that is the caller's.
    bool LoadSettings(const std::string& path);

    // Sets up peering for the reader mode: opens the history in the base
    // directory, resolves the peers (each one that cannot be resolved is
    // logged and left out, as are the [Peers] lines the settings reader set
    // aside) and opens their queues. False with `error` set (a sentence for
    // the operator) when the history or a queue cannot be used.
    bool StartPeering(std::string& error);

    // Loads one group's Message.lst. False when it cannot be opened; showing
    // that is the caller's.
    bool LoadGroupIndex(const std::string& path, GroupEntry& group);

    // Writes the index file of every dirty group, in group order, and clears
    // their flags. Stops at the first group whose file cannot be written,
    // leaving it and the later ones dirty, and returns false then.
    bool SaveGroupIndexes();

    // Writes, for every group large enough whose sidecar no longer
    // describes most of its index, what the next start needs to load the
    // index without parsing it (Message.lst.idx); removes the file of a
    // group that has become small. Called at shutdown, after the indexes
    // were saved.
    void SaveIndexSidecars();

    // Recreates every group's article list and counters from the article
    // files in its directory, then writes every index.
    void RebuildGroupIndexes();

    // One expiry run for the current date-hour key: deletes the article files
    // of expiring groups that are due, logs each, drops their entries. In
    // the reader mode the history notes them as gone and is compacted.
    void ExpireArticles(int currentKey);

    std::string GroupDir(const GroupEntry& group) const;
    std::string IndexPath(const GroupEntry& group) const;
    std::string ArticlePath(const GroupEntry& group, int number) const;

    // The first configured group of that exact name, or null.
    GroupEntry* FindGroup(std::string_view name) const;
    // The first configured user of that exact name, or null.
    const UserEntry* FindUser(std::string_view name) const;

    // The file of `entry`, an article of `group`. When the file has gone
    // (removed outside the server), the entry is dropped from the list at
    // once, so listings stop offering it, and false is returned; the group
    // is not marked dirty: its index changes when it is next written anyway.
    bool FindArticleFile(GroupEntry& group, const ArticleEntry& entry, ArticleFile& file);

private:
    // Notes the articles of `deleted` (number -> files deleted) as gone.
    void ForgetInHistory(const GroupEntry& group, const std::unordered_map<int, int>& deleted);
    // Drops from the history what has been gone for longer than HistoryDays.
    void CompactHistory();

    IServerHost& m_host;
    std::string m_strResolvedPathHost;
    time_t m_timeHistoryCompacted = 0;  // 0: not since start-up
};
