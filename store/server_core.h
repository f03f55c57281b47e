// The server's state apart from its windows and sockets: switches, groups,
// users, the article files, and the store operations on them. It reaches its
// host (the main window, or a test's fake) only through IServerHost.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"
#include "platform/background_runner.h"
#include "store/durable_queue.h"
#include "store/file_sync.h"
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

    IServerHost& Host() const { return m_host; }

    // Reads the settings file: the switches, then a group (with its record
    // and an empty article list) per group line and the users. False when
    // the file cannot be opened; showing that is the caller's.
    bool LoadSettings(const std::string& path);

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

    // Recreates every group's article list and counters from the article
    // files in its directory, then writes every index.
    void RebuildGroupIndexes();

    // One expiry run for the current date-hour key: deletes the article files
    // of expiring groups that are due, logs each, drops their entries.
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
    // Whether `address` is that of a news server in [Peers]: its host field
    // written as that very address (names are not looked up).
    bool IsPeerAddress(std::string_view address) const;

    // The file of `entry`, an article of `group`. When the file has gone
    // (removed outside the server), the entry is dropped from the list at
    // once, so listings stop offering it, and false is returned; the group
    // is not marked dirty: its index changes when it is next written anyway.
    bool FindArticleFile(GroupEntry& group, const ArticleEntry& entry, ArticleFile& file);

private:
    // Plans the write of `group`'s index and hands it to the durability queue.
    void QueueIndexWrite(GroupEntry& group);

    IServerHost& m_host;
    CSaveRecord m_saveRecord;
    std::vector<std::string> m_peerHosts;  // the host field of every [Peers] line
    std::unique_ptr<CDurableQueue> m_pDurable;
};
