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
#include "platform/background_runner.h"
#include "store/durable_queue.h"
#include "store/feeds.h"
#include "store/file_sync.h"
#include "store/history.h"
#include "store/peers.h"
#include "store/records.h"
#include "store/save_record.h"
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

    // Completes, and logs, the appends to indexes that a crash interrupted
    // (see RecoverIndexSaves), then opens the save record for the saves to
    // come. Run at start-up before any index is loaded. Without a record
    // (it cannot be opened, or this was never called) every index is written
    // whole.
    void OpenSaveRecord();
    // Closes the save record and removes its file. For a clean shutdown,
    // after the last save.
    void CloseSaveRecord() { m_saveRecord.Remove(); }
    std::string SaveRecordPath() const;

    // Writes the index file of every dirty group, in group order, and clears
    // their flags. Stops at the first group whose file cannot be written,
    // leaving it and the later ones dirty, and returns false then.
    // With SyncWrites on, the writes are handed to the durability queue
    // instead and true is returned; a write that fails there leaves its group
    // dirty, to be written whole by the next save (at once, if it was an
    // append).
    bool SaveGroupIndexes();

    // From now on, posts and index writes are synced through a durability
    // queue working on `runner`, with `sync`'s calls (which must outlive the
    // core). Start-up calls it when SyncWrites is on.
    void EnableSyncWrites(std::unique_ptr<IBackgroundRunner> runner,
                          IFileSync& sync = SystemFileSync());
    // Syncs everything gathered, tells every waiting reply, and turns syncing
    // off again. For the shutdown, before the groups go.
    void StopSyncWrites();
    // The durability queue; null while writes are not synced.
    CDurableQueue* Durable() const { return m_pDurable.get(); }
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

    // Whether a new connection from `address` may be served, with `open`
    // connections already open in all and `fromHost` of them from that
    // address: MaxConnections and MaxConnectionsPerHost, where set (above 0).
    // A peer's address is not held to the per-host limit.
    bool MayAccept(int open, int fromHost, std::string_view address) const;
    // Whether `address` is that of a news server in [Peers] (its host
    // resolved at start-up; in the standard reader mode only).
    bool IsPeerAddress(std::string_view address) const;

    // The file of `entry`, an article of `group`. When the file has gone
    // (removed outside the server), the entry is dropped from the list at
    // once, so listings stop offering it, and false is returned; the group
    // is not marked dirty: its index changes when it is next written anyway.
    bool FindArticleFile(GroupEntry& group, const ArticleEntry& entry, ArticleFile& file);

private:
    // Plans the write of `group`'s index and hands it to the durability queue.
    void QueueIndexWrite(GroupEntry& group);
    // Notes the articles of `deleted` (number -> files deleted) as gone.
    void ForgetInHistory(const GroupEntry& group, const std::unordered_map<int, int>& deleted);
    // Drops from the history what has been gone for longer than HistoryDays.
    void CompactHistory();

    IServerHost& m_host;
    CSaveRecord m_saveRecord;
    std::unique_ptr<CDurableQueue> m_pDurable;
    std::string m_strResolvedPathHost;
    time_t m_timeHistoryCompacted = 0;  // 0: not since start-up
};
