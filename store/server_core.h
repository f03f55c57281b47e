// The server's state apart from its windows and sockets: settings, groups,
// users, and the store operations on them. The main window derives from it
// and supplies the three host services; tests supply a fake.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "config/settings.h"

class CServerCore : public ServerSettings {
public:
    std::string m_szBaseDir;  // the executable's directory, no trailing slash

    virtual ~CServerCore();

    // Appends one text to the operation log, verbatim.
    virtual void AppendLog(const std::string& text) = 0;
    // Shows a start-up message to the operator and returns once it is read.
    virtual void ShowMessage(const std::string& text) = 0;
    // Asks for a maintenance pass after the events already waiting.
    virtual void PostTimerMessage() = 0;
    // Makes sure every log text appended so far has reached the log's
    // outputs. Called before anything goes out to a client, so a client never
    // sees a reply before the log shows the line that led to it.
    virtual void FlushLog() {}

    // Reads the settings file. When it cannot be opened, shows the path
    // followed by "が、開けません" and returns false.
    bool LoadSettings(const std::string& path);

    // Loads one group's Message.lst. When it cannot be opened, shows the
    // path followed by "が、開けません" and returns false.
    bool LoadGroupIndex(const std::string& path, GroupEntry& group);

    // Writes the index file of every dirty group, in group order, and clears
    // their flags. Stops at the first group whose file cannot be written,
    // leaving it and the later ones dirty, and returns false then.
    bool SaveGroupIndexes();

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
};
