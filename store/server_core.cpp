#include "store/server_core.h"

#include "common/file_util.h"
#include "store/group_index.h"
#include "store/message_id.h"

CServerCore::~CServerCore() = default;

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

bool CServerCore::SaveGroupIndexes() {
    for (const auto& group : m_groups) {
        if (!group->dirty) continue;
        if (!WriteGroupIndex(IndexPath(*group), *group)) return false;
        group->dirty = 0;
    }
    return true;
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
