#include "store/server_core.h"

#include "common/file_util.h"
#include "common/text.h"
#include "store/group_index.h"

CServerCore::~CServerCore() = default;

bool CServerCore::LoadSettings(const std::string& path) {
    if (ReadSettingsFile(path, *this)) return true;
    ShowMessage(path + "が、開けません");
    return false;
}

bool CServerCore::LoadGroupIndex(const std::string& path, GroupEntry& group) {
    if (ReadGroupIndex(path, group)) return true;
    ShowMessage(path + "が、開けません");
    return false;
}

bool CServerCore::SaveGroupIndexes() {
    for (const auto& group : m_groups) {
        if (!group->dirty) continue;
        if (!WriteGroupIndex(IndexPath(*group), *group)) return false;
        group->dirty = 0;
    }
    return true;
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
