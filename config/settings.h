// The settings file Marrowby.ini: switches, groups and users, read once at
// start-up.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/records.h"

// Everything the settings file sets, with the defaults that apply when a key
// is absent.
struct ServerSettings {
    int m_nPortNo = 119;
    int m_bUseAuthor = 0;
    int m_bUseExpire = 0;
    int m_bCancelEveryOne = 1;
    int m_bUseRfc3977 = 0;                              // standard reader mode
    std::vector<std::unique_ptr<GroupEntry>> m_groups;  // in file order
    std::vector<std::unique_ptr<UserEntry>> m_users;    // in file order
};

// Reads the settings file at `path` into `settings`, appending groups and
// users. Returns false only when the file cannot be opened; lines that fit no
// rule are skipped without a word.
bool ReadSettingsFile(const std::string& path, ServerSettings& settings);

// The same, from the file's bytes.
void ParseSettings(const std::string& content, ServerSettings& settings);

// Reads a whole file as text: CR LF becomes LF, as a text-mode read gives it.
// False when the file cannot be opened.
bool ReadTextFile(const std::string& path, std::string& content);

// Reads a whole file's bytes as they are. False when it cannot be read.
bool ReadFileBytes(const std::string& path, std::string& content);

// Turns every CR LF into LF; a lone CR stays.
void FoldLineEnds(std::string& content);
