// AUTHINFO USER/PASS, the gate that keeps unauthenticated clients out, and
// the read and post rights of each group.
#include "common/text.h"
#include "protocol/client_socket.h"
#include "store/server_core.h"

bool CClientSocket::RunAuthGate(const std::vector<std::string>& words) {
    if (words[0] == "AUTHINFO" && words.size() == 3) {
        std::string sub = SjisUpper(words[1]);
        std::string reply;
        if (sub == "USER") {
            // A new name must be confirmed by its own password: otherwise a
            // logged-in user could take another user's rights by name alone.
            m_strUserName = words[2];
            m_bAuthenticated = 0;
            reply = "381 PASS required!!\r\n";
        } else if (sub == "PASS") {
            m_strPassword = words[2];
            m_bAuthenticated = 0;
            reply = "502 Authentication error!!\r\n";
            for (const auto& user : m_pOwner->m_users) {
                if (user->name != m_strUserName) continue;
                if (user->password == m_strPassword) {
                    m_bAuthenticated = 1;
                    reply = "281 User/Password OK!!\r\n";
                }
                break;
            }
        } else {
            reply = "501 AUTHINFO USER XXX or AUTHINFO PASS XXX!!\r\n";
        }
        SendAndLog(reply);
        return true;
    }
    if (!m_bAuthenticated && !(words[0] == "QUIT" && words.size() == 1)) {
        SendAndLog("480 Authentication required for command!!\r\n");
        return true;
    }
    return false;
}

static bool Listed(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& n : names)
        if (n == name) return true;
    return false;
}

bool CClientSocket::CanRead(const GroupEntry& group) const {
    return !m_pOwner->m_bUseAuthor || group.readAll || Listed(group.readers, m_strUserName);
}

bool CClientSocket::CanPost(const GroupEntry& group) const {
    return !m_pOwner->m_bUseAuthor || group.postAll || Listed(group.posters, m_strUserName);
}
