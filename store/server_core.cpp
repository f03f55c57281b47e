#include "store/server_core.h"

#include "common/file_util.h"
#include "store/group_index.h"
#include "store/message_id.h"

CServerCore::~CServerCore() {
    // Its failure handlers and waiters refer to the groups and sessions.
    StopSyncWrites();
}

bool CServerCore::LoadSettings(const std::string& path) {
    ServerSettings settings;
    static_cast<ServerSwitches&>(settings) = *this;
    if (!ReadSettingsFile(path, settings)) return false;
    static_cast<ServerSwitches&>(*this) = settings;
    for (const GroupSettings& group : settings.groups)
        m_groups.push_back(std::make_unique<GroupEntry>(group));
    for (UserEntry& user : settings.users) m_users.push_back(std::move(user));
    m_peerSettings = settings.peers;
    m_peerProblems = settings.peerProblems;
    return true;
}

bool CServerCore::StartPeering(std::string& error) {
    if (!m_history.Open(m_szBaseDir, error)) return false;
    std::vector<std::string> problems = m_peerProblems;
    m_peers.Load(m_peerSettings, problems);
    for (const std::string& problem : problems)
        m_host.AppendLog("[Peers] line skipped: " + problem + "\r\n");
    return m_feeds.Open(m_szBaseDir, m_peers, m_host, error);
}

const std::string& CServerCore::PathHost() {
    if (m_strResolvedPathHost.empty())
        m_strResolvedPathHost = m_strPathHost.empty() ? DefaultPathHost() : m_strPathHost;
    return m_strResolvedPathHost;
}

bool CServerCore::LoadGroupIndex(const std::string& path, GroupEntry& group) {
    return ReadGroupIndex(path, group);
}

std::string CServerCore::SaveRecordPath() const {
    return m_szBaseDir + "/" + CSaveRecord::kFileName;
}

void CServerCore::OpenSaveRecord() {
    const std::string path = SaveRecordPath();
    for (const SaveRecovery& found :
         RecoverIndexSaves(path, m_bSyncWrites ? &SystemFileSync() : nullptr)) {
        const char* outcome = found.outcome == SaveRecovery::Completed   ? "completed"
                              : found.outcome == SaveRecovery::Discarded ? "discarded"
                                                                         : "could not be completed";
        m_host.AppendLog("[" + found.indexPath + "] interrupted save " + outcome + "!!\r\n");
    }
    if (!m_saveRecord.Open(path))
        m_host.AppendLog("[" + path + "] cannot be opened; indexes are written whole!!\r\n");
}

bool CServerCore::SaveGroupIndexes() {
    for (const auto& group : m_groups) {
        if (!group->dirty) continue;
        // Without the record an append is not safe from a crash; a whole
        // file, renamed into place, is.
        if (!m_saveRecord.IsOpen()) group->indexFile.known = false;
        if (m_pDurable) {
            QueueIndexWrite(*group);
        } else if (!WriteGroupIndex(IndexPath(*group), *group, &m_saveRecord)) {
            return false;
        }
        group->dirty = 0;
    }
    if (m_pDurable) m_pDurable->Kick();
    return true;
}

void CServerCore::QueueIndexWrite(GroupEntry& group) {
    GroupEntry* target = &group;
    m_pDurable->AddIndexWrite(PlanIndexWrite(IndexPath(group), group),
                              [this, target](const IndexWrite& write, bool ok) {
                                  if (ok) {
                                      FollowIndexWrite(*target, write);
                                      return;
                                  }
                                  // The file is not what the records say; only a whole write can
                                  // be trusted now. An append that failed (the file changed by
                                  // hand, say) is retried at once that way; a whole write that
                                  // failed waits for the next save, so a disk that refuses
                                  // everything is not hammered.
                                  target->indexFile.known = false;
                                  target->dirty = 1;
                                  if (!write.whole) SaveGroupIndexes();
                              });
}

void CServerCore::EnableSyncWrites(std::unique_ptr<IBackgroundRunner> runner, IFileSync& sync) {
    m_pDurable = std::make_unique<CDurableQueue>(
        std::move(runner), sync, m_saveRecord,
        [this](const std::string& line) { m_host.AppendLog(line); });
}

void CServerCore::StopSyncWrites() {
    if (!m_pDurable) return;
    m_pDurable->Flush();
    m_pDurable.reset();
}

void CServerCore::SaveIndexSidecars() {
    for (const auto& group : m_groups) {
        // A sidecar that still describes most of the file is left as it is:
        // a start parses the few lines appended since, and a shutdown need
        // not write every large group's sidecar again.
        if (!WorthASidecar(group->articles.size()))
            RemoveFile(IndexPath(*group) + ".idx");
        else if (SidecarIsStale(*group) && WriteIndexSidecar(IndexPath(*group), *group))
            group->indexFile.sidecarEntries = group->articles.size();
    }
}

std::string CServerCore::GroupDir(const GroupEntry& group) const {
    return m_szBaseDir + "/" + group.name;
}

std::string CServerCore::IndexPath(const GroupEntry& group) const {
    return GroupDir(group) + "/Message.lst";
}

std::string CServerCore::ArticlePath(const GroupEntry& group, int number) const {
    return GroupDir(group) + "/" + std::to_string(number);
}

GroupEntry* CServerCore::FindGroup(std::string_view name) const {
    for (const auto& group : m_groups)
        if (group->name == name) return group.get();
    return nullptr;
}

const UserEntry* CServerCore::FindUser(std::string_view name) const {
    for (const UserEntry& user : m_users)
        if (user.name == name) return &user;
    return nullptr;
}

bool CServerCore::MayAccept(int open, int fromHost, std::string_view address) const {
    if (m_nMaxConnections > 0 && open >= m_nMaxConnections) return false;
    if (m_nMaxConnectionsPerHost > 0 && fromHost >= m_nMaxConnectionsPerHost &&
        !IsPeerAddress(address))
        return false;
    return true;
}

bool CServerCore::IsPeerAddress(std::string_view address) const {
    return m_peers.FindByAddress(address) != nullptr;
}

bool CServerCore::FindArticleFile(GroupEntry& group, const ArticleEntry& entry, ArticleFile& file) {
    file.path = ArticlePath(group, entry.number);
    file.size = m_spool.Size(file.path);
    if (file.size >= 0) return true;
    auto& articles = group.articles;
    size_t position = articles.PositionOf(&entry);
    if (position < articles.size())
        articles.erase(articles.begin() + static_cast<std::ptrdiff_t>(position));
    return false;
}
