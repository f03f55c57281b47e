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
    // Encrypted connections.
    int m_nTlsPortNo = 0;             // implicit TLS; 0: none
    std::string m_strTlsCertificate;  // PEM, a chain allowed; relative to the base directory
    std::string m_strTlsKey;          // PEM
    int m_bAuthRequiresTls = 0;       // AUTHINFO only on an encrypted connection
    int m_bUseIPv6 = 0;               // every port also listens on IPv6
    // Peering (reader mode only).
    std::string m_strPathHost;  // empty: the machine's fully qualified host name
    int m_nHistoryDays = 10;    // how long a Message-ID is remembered once gone
    // Durability and limits.
    int m_bSyncWrites = 0;             // a post is answered only once it is on disk
    int m_nMaxConnections = 0;         // open connections in all; 0 or less: no limit
    int m_nMaxConnectionsPerHost = 0;  // from one address; 0 or less: no limit
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

// One line of [Peers]: a news server that exchanges articles with this one.
struct PeerSettings {
    std::string name;      // its path identity, as it appears in Path headers
    std::string host;      // its host name or address; connections from it may feed us
    int port = 0;          // where we send to it; 0: we only receive from it
    std::string patterns;  // wildmat of the groups we send to it
    std::string user;      // AUTHINFO we give it; empty: none
    std::string password;
};

// Everything the settings file sets.
struct ServerSettings : ServerSwitches {
    std::vector<GroupSettings> groups;  // in file order
    std::vector<UserEntry> users;       // in file order
    bool peersSection = false;          // the file has a [Peers] section
    std::vector<PeerSettings> peers;    // in file order
    // [Peers] lines skipped: the line and why, for the log.
    std::vector<std::string> peerProblems;
};

// Reads the settings file at `path` into `settings`, appending groups and
// users. Returns false only when the file cannot be opened; lines that fit no
// rule are skipped without a word.
bool ReadSettingsFile(const std::string& path, ServerSettings& settings);

// The same, from the file's bytes.
void ParseSettings(const std::string& content, ServerSettings& settings);
