#include "config/settings.h"

#include <cstring>

#include "common/file_util.h"
#include "common/text.h"

namespace {

// The reader takes lines through a 1200-byte buffer: a longer line arrives in
// pieces of at most 1199 bytes, each handled as a line of its own.
constexpr size_t kLinePiece = 1199;

enum class Section { None, Settings, Group, Users, Peers };

bool StartsWith(const std::string& line, const char* prefix) {
    return line.compare(0, std::strlen(prefix), prefix) == 0;
}

void ReadSwitch(const std::string& line, int& target, bool asFlag) {
    std::vector<std::string> fields;
    SplitFields(fields, line, " \t\r\n");
    // A key without a value leaves the setting as it was.
    if (fields.size() < 2) return;
    int value = ToDecimal(fields[1]);
    target = asFlag ? (value != 0 ? 1 : 0) : value;
}

// A text value: the second word of the line.
void ReadText(const std::string& line, std::string& target) {
    std::vector<std::string> fields;
    SplitFields(fields, line, " \t\r\n");
    if (fields.size() >= 2) target = fields[1];
}

void ReadSettingsLine(const std::string& line, ServerSettings& s) {
    // Longer keys first where one key begins another.
    if (StartsWith(line, "TlsPortNo"))
        ReadSwitch(line, s.m_nTlsPortNo, false);
    else if (StartsWith(line, "TlsCertificate"))
        ReadText(line, s.m_strTlsCertificate);
    else if (StartsWith(line, "TlsKey"))
        ReadText(line, s.m_strTlsKey);
    else if (StartsWith(line, "AuthRequiresTls"))
        ReadSwitch(line, s.m_bAuthRequiresTls, true);
    else if (StartsWith(line, "UseIPv6"))
        ReadSwitch(line, s.m_bUseIPv6, true);
    else if (StartsWith(line, "PathHost"))
        ReadText(line, s.m_strPathHost);
    else if (StartsWith(line, "HistoryDays"))
        ReadSwitch(line, s.m_nHistoryDays, false);
    else if (StartsWith(line, "SyncWrites"))
        ReadSwitch(line, s.m_bSyncWrites, true);
    else if (StartsWith(line, "MaxConnectionsPerHost"))
        ReadSwitch(line, s.m_nMaxConnectionsPerHost, false);
    else if (StartsWith(line, "MaxConnections"))
        ReadSwitch(line, s.m_nMaxConnections, false);
    else if (StartsWith(line, "PortNo"))
        ReadSwitch(line, s.m_nPortNo, false);
    else if (StartsWith(line, "UseAuthor"))
        ReadSwitch(line, s.m_bUseAuthor, true);
    else if (StartsWith(line, "UseExpire"))
        ReadSwitch(line, s.m_bUseExpire, true);
    else if (StartsWith(line, "CancelEveryOne"))
        ReadSwitch(line, s.m_bCancelEveryOne, true);
    else if (StartsWith(line, "UseRfc3977"))
        ReadSwitch(line, s.m_bUseRfc3977, true);
}

// A list made only of commas has no first name; it then grants nobody, the
// safe reading of a list that names no one.
void ReadRightsList(const std::string& field, std::vector<std::string>& names, int& all) {
    SplitFields(names, field, ",\r\n");
    all = (!names.empty() && names[0] == "AllOk") ? 1 : 0;
}

void ReadGroupLine(const std::string& line, ServerSettings& s) {
    std::vector<std::string> fields;
    SplitFields(fields, line, " \t\r\n");
    if (fields.size() != 3 && fields.size() != 5) return;
    GroupSettings group;
    group.name = fields[0];
    group.expireHours = ToDecimal(fields[1]);
    group.note = fields[2];
    if (fields.size() == 5) {
        ReadRightsList(fields[3], group.readers, group.readAll);
        ReadRightsList(fields[4], group.posters, group.postAll);
    }
    s.groups.push_back(std::move(group));
}

// "name host port patterns [user password]".
void ReadPeerLine(const std::string& line, ServerSettings& s) {
    std::vector<std::string> fields;
    SplitFields(fields, line, " \t\r\n");
    if (fields.empty()) return;
    std::string shown = fields[0];
    for (size_t i = 1; i < fields.size() && i < 4; ++i) shown += " " + fields[i];
    if (fields.size() != 4 && fields.size() != 6) {
        s.peerProblems.push_back("[" + shown + "] needs 4 or 6 fields");
        return;
    }
    const std::string& port = fields[2];
    bool digits = !port.empty() && port.size() <= 5 &&
                  port.find_first_not_of("0123456789") == std::string::npos;
    if (!digits || ToDecimal(port) > 65535) {
        s.peerProblems.push_back("[" + shown + "] has a bad port");
        return;
    }
    PeerSettings peer;
    peer.name = fields[0];
    peer.host = fields[1];
    peer.port = ToDecimal(port);
    peer.patterns = fields[3];
    if (fields.size() == 6) {
        peer.user = fields[4];
        peer.password = fields[5];
    }
    s.peers.push_back(std::move(peer));
}

void ReadUserLine(const std::string& line, ServerSettings& s) {
    std::vector<std::string> fields;
    SplitFields(fields, line, " \t\r\n");
    if (fields.size() != 2) return;
    s.users.push_back(UserEntry{fields[0], fields[1]});
}

}  // namespace

void ParseSettings(const std::string& content, ServerSettings& s) {
    Section section = Section::None;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t lf = content.find('\n', pos);
        size_t end = (lf == std::string::npos) ? content.size() : lf + 1;
        if (end - pos > kLinePiece) end = pos + kLinePiece;
        std::string line = content.substr(pos, end - pos);
        pos = end;
        // The line buffer is a C string: a NUL byte ends it.
        size_t nul = line.find('\0');
        if (nul != std::string::npos) line.resize(nul);
        if (line.empty() || line[0] == '#' || line[0] == '\n') continue;
        if (line[0] == '[') {
            if (StartsWith(line, "[Settings]"))
                section = Section::Settings;
            else if (StartsWith(line, "[Group]"))
                section = Section::Group;
            else if (StartsWith(line, "[Users]"))
                section = Section::Users;
            else if (StartsWith(line, "[Peers]")) {
                section = Section::Peers;
                s.peersSection = true;
            }
            continue;
        }
        switch (section) {
            case Section::Settings: ReadSettingsLine(line, s); break;
            case Section::Group: ReadGroupLine(line, s); break;
            case Section::Users: ReadUserLine(line, s); break;
            case Section::Peers: ReadPeerLine(line, s); break;
            case Section::None: break;
        }
    }
}

bool ReadSettingsFile(const std::string& path, ServerSettings& settings) {
    std::string content;
    if (!ReadTextFile(path, content)) return false;
    ParseSettings(content, settings);
    return true;
}
