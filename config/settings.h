// The settings file Marrowby.ini: switches, groups and users, read once at
// start-up into plain records; the store builds its groups from them.
#pragma once

#include <string>
#include <vector>

// The switches of [Settings], with the defaults that apply when a key is
// absent.
struct ServerSwitches {
    int m_nPortNo = 119;
    int m_bUseAuthor = 0;
    int m_bUseExpire = 0;
    int m_bCancelEveryOne = 1;
    int m_bUseRfc3977 = 0;  // standard reader mode
};

// One line of [Group].
struct GroupSettings {
    std::string name;
    int expireHours = 0;  // 0 or less: never expires
    std::string note;
    int readAll = 1;  // everybody may read; else only `readers`
    std::vector<std::string> readers;
    int postAll = 1;  // everybody may post; else only `posters`
    std::vector<std::string> posters;
};

// One line of [Users].
struct UserEntry {
    std::string name;
    std::string password;
};

// Everything the settings file sets.
struct ServerSettings : ServerSwitches {
    std::vector<GroupSettings> groups;  // in file order
    std::vector<UserEntry> users;       // in file order
};

// Reads the settings file at `path` into `settings`, appending groups and
// users. Returns false only when the file cannot be opened; lines that fit no
// rule are skipped without a word.
bool ReadSettingsFile(const std::string& path, ServerSettings& settings);

// The same, from the file's bytes.
void ParseSettings(const std::string& content, ServerSettings& settings);
