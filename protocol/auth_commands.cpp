// Session and authentication: AUTHINFO USER/PASS in both modes, QUIT, and the
// reader mode's CAPABILITIES, MODE READER, STARTTLS, DATE and HELP. The gate that keeps
// a client out until it has logged in is the command tables' (Gate).
#include "common/text.h"
#include "protocol/handlers.h"
#include "protocol/replies.h"

using namespace replies;

namespace {

// Whether the user name given last has this password; only the first user of
// a name counts.
bool PasswordMatches(const CSession& session) {
    const UserEntry* user = session.Server().FindUser(session.m_strUserName);
    return user && user->password == session.m_strPassword;
}

}  // namespace

void ClassicAuthinfo(CSession& session, const Words& words) {
    // A password sent in clear is refused before it is even looked at.
    if (session.LoginNeedsTls()) {
        session.Reply(kEncryptionRequired);
        return;
    }
    std::string sub = SjisUpper(words[1]);
    if (sub == "USER") {
        // A new name must be confirmed by its own password: otherwise a
        // logged-in user could take another user's rights by name alone.
        session.m_strUserName = words[2];
        session.m_bAuthenticated = 0;
        session.Reply(kPassRequired);
    } else if (sub == "PASS") {
        session.m_strPassword = words[2];
        session.m_bAuthenticated = PasswordMatches(session) ? 1 : 0;
        session.Reply(session.m_bAuthenticated ? kLoggedIn : kLoginFailed);
    } else {
        session.Reply(kAuthinfoSyntax);
    }
}

void ReaderAuthinfo(CSession& session, const Words& words) {
    if (session.LoginNeedsTls()) {
        session.Reply(kEncryptionRequired);
        return;
    }
    if (session.m_bAuthenticated) {
        // No identity can be switched without its password.
        session.Reply(kCommandUnavailable);
        return;
    }
    std::string sub = SjisUpper(words[1]);
    if (sub == "USER") {
        session.m_strUserName = words[2];
        session.Reply(kPassRequired);
    } else if (sub == "PASS") {
        if (session.m_strUserName.empty()) {
            session.Reply(kAuthOutOfOrder);
            return;
        }
        session.m_strPassword = words[2];
        session.m_bAuthenticated = PasswordMatches(session) ? 1 : 0;
        session.Reply(session.m_bAuthenticated ? kLoggedIn : kAuthFailed);
    } else {
        session.Reply(kAuthinfoSyntax);
    }
}

void ClassicQuit(CSession& session, const Words&) {
    session.Reply(kGoodbye);
    session.Finish();
}

void ReaderQuit(CSession& session, const Words& words) {
    ClassicQuit(session, words);
}

void ReaderCapabilities(CSession& session, const Words&) {
    // Only the status and dot lines are logged, as for every list.
    session.Reply(kCapabilitiesFollow);
    std::string caps = kCapabilities;
    if (session.LoginsOn() && !session.m_bAuthenticated && !session.LoginNeedsTls())
        caps += kCapabilityAuthinfo;
    if (session.TlsOffered()) caps += kCapabilityStartTls;
    session.Send(caps);
    session.Reply(kEndOfList);
}

void ReaderModeReader(CSession& session, const Words&) {
    bool mayPost = false;
    for (const auto& group : session.Server().m_groups)
        mayPost = mayPost || session.CanPost(*group);
    session.Reply(mayPost ? kPostingAllowed : kPostingProhibited);
}

void ReaderStartTls(CSession& session, const Words&) {
    // Once TLS is on there is nothing to start; after a login the identity
    // proved in clear would carry over into the encrypted session.
    if (session.IsEncrypted() || session.m_bAuthenticated) {
        session.Reply(kCommandUnavailable);
        return;
    }
    if (!session.StartTlsAfterReply()) {
        session.Reply(kTlsCannotStart);
        return;
    }
    session.Reply(kTlsGoAhead);
}

void ReaderDate(CSession& session, const Words&) {
    session.Reply(Date(session.Server().Host().Now()));
}

void ReaderHelp(CSession& session, const Words&) {
    session.Reply(kHelpFollows);
    session.Send(kHelpText);
    session.Reply(kEndOfList);
}

void ReaderSyntaxError(CSession& session, const Words&) {
    session.Reply(kSyntaxError);
}
