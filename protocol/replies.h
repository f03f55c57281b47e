// Every reply text of both command modes, written down once. The classic
// mode's texts are what its clients have always seen, byte for byte; the
// standard reader mode keeps those where the two modes share a command and
// uses the standard's wording for the rest.
#pragma once

#include <string>
#include <string_view>

struct GroupEntry;

namespace replies {

// --- both modes -------------------------------------------------------------
inline constexpr char kGreeting[] = "200 connected!!\r\n";
// Instead of the greeting, past MaxConnections or MaxConnectionsPerHost.
inline constexpr char kTooManyConnections[] = "400 too many connections\r\n";
inline constexpr char kNotRecognized[] = "500 command not recognized!!\r\n";
inline constexpr char kEndOfList[] = ".\r\n";
inline constexpr char kListFollows[] = "215 list of newsgroups follows!!\r\n";
inline constexpr char kOverviewFormat[] =
    "215 Order of fields in overview database.\r\nSubject:\r\nFrom:\r\nDate:\r\n"
    "Message-ID:\r\nReferences:\r\nBytes:\r\nLines:\r\n.\r\n";
inline constexpr char kNoGroupSelected[] = "412 No news group current selected!!\r\n";
inline constexpr char kOverviewFollows[] = "224 Overview information follows!!\r\n";
inline constexpr char kDeniedGroup[] = "502 access restriction or permission denied!!\r\n";
inline constexpr char kContinuePosting[] = "340 continue posting!!\r\n";
inline constexpr char kGoodbye[] = "205 closing connection - goodbye!!\r\n";
inline constexpr char kPassRequired[] = "381 PASS required!!\r\n";
inline constexpr char kLoggedIn[] = "281 User/Password OK!!\r\n";
inline constexpr char kAuthinfoSyntax[] = "501 AUTHINFO USER XXX or AUTHINFO PASS XXX!!\r\n";
inline constexpr char kAuthRequired[] = "480 Authentication required for command!!\r\n";
inline constexpr char kPosted[] = "240 article posted successfully!!\r\n";
inline constexpr char kTempFileError[] = "441 tmp file open error!!\r\n";
// With SyncWrites, when the article or its index line could not be put on disk.
inline constexpr char kNotSaved[] = "441 article not saved to disk!!\r\n";
// AUTHINFO on a plain connection while logins need TLS.
inline constexpr char kEncryptionRequired[] = "483 Encryption required\r\n";

// "502 access restriction or permission denied [argument]!!"
std::string Denied(std::string_view argument);
// "430 no such article found [argument]!!"
std::string NoSuchArticle(std::string_view argument);
// "411 no such news group [name]!!"
std::string NoSuchGroup(std::string_view name);
// "211 count first last name group selected!!"
std::string GroupSelected(const GroupEntry& group);
// "220 number message-id Article retrieved, text follows!!"
std::string ArticleFollows(int number, std::string_view messageId);
// Appends the line LIST gives a group: "name last first y" (or "n" when the
// user may not post to it).
void AppendActiveLine(std::string& out, const GroupEntry& group, bool mayPost);

// --- classic mode only --------------------------------------------------------
inline constexpr char kLoginFailed[] = "502 Authentication error!!\r\n";

// --- standard reader mode only -------------------------------------------------
inline constexpr char kSyntaxError[] = "501 Syntax error\r\n";
inline constexpr char kNoCurrentArticle[] = "420 No current article selected\r\n";
inline constexpr char kNoSuchNumber[] = "423 No article with that number\r\n";
inline constexpr char kEmptyRange[] = "423 No articles in that range\r\n";
inline constexpr char kNoNextArticle[] = "421 No next article in this group\r\n";
inline constexpr char kNoPreviousArticle[] = "422 No previous article in this group\r\n";
inline constexpr char kCommandUnavailable[] = "502 Command unavailable\r\n";
inline constexpr char kAuthOutOfOrder[] = "482 Authentication commands issued out of order\r\n";
inline constexpr char kAuthFailed[] = "481 Authentication failed\r\n";
inline constexpr char kCapabilitiesFollow[] = "101 Capability list:\r\n";
inline constexpr char kCapabilities[] =
    "VERSION 2\r\nREADER\r\nPOST\r\nLIST ACTIVE NEWSGROUPS OVERVIEW.FMT\r\nOVER MSGID\r\nHDR\r\n";
inline constexpr char kCapabilityAuthinfo[] = "AUTHINFO USER\r\n";
inline constexpr char kCapabilityStartTls[] = "STARTTLS\r\n";
inline constexpr char kTlsGoAhead[] = "382 Continue with TLS negotiation\r\n";
inline constexpr char kTlsCannotStart[] = "580 Can not initiate TLS negotiation\r\n";
inline constexpr char kPostingAllowed[] = "200 Posting allowed\r\n";
inline constexpr char kPostingProhibited[] = "201 Posting prohibited\r\n";
inline constexpr char kHelpFollows[] = "100 Help text follows\r\n";
inline constexpr char kHelpText[] =
    "ARTICLE BODY CAPABILITIES DATE GROUP HDR HEAD HELP LAST LIST LISTGROUP MODE "
    "NEWGROUPS NEWNEWS NEXT OVER POST QUIT STAT XHDR XOVER\r\n";
inline constexpr char kHeadersFollow[] = "225 Headers follow\r\n";
inline constexpr char kHeaderFollows[] = "221 Header follows\r\n";
inline constexpr char kHeadersSupported[] = "215 headers supported:\r\n";
inline constexpr char kHeaderFields[] = ":\r\n:bytes\r\n:lines\r\n";
inline constexpr char kDescriptionsFollow[] = "215 descriptions follow\r\n";
inline constexpr char kNewGroupsFollow[] = "231 list of new newsgroups follows\r\n";
inline constexpr char kNewArticlesFollow[] = "230 list of new articles by message-id follows\r\n";

inline constexpr char kPostDuplicate[] = "441 435 Duplicate\r\n";
inline constexpr char kPostFailed[] = "441 Article could not be stored, try again later\r\n";
// "441 reason": a post the article checks refused.
std::string PostRefused(std::string_view reason);

// Feeds from peers.
inline constexpr char kStreamingPermitted[] = "203 Streaming permitted\r\n";
inline constexpr char kSendArticle[] = "335 Send it; end with <CR-LF>.<CR-LF>\r\n";
inline constexpr char kTransferred[] = "235 Article transferred OK\r\n";
inline constexpr char kNotWanted[] = "435 Duplicate\r\n";
inline constexpr char kTryLater[] = "436 Retry later\r\n";
inline constexpr char kTransferFailed[] = "436 Transfer failed, try again later\r\n";
inline constexpr char kStorageUnavailable[] = "400 Storage unavailable, try again later\r\n";
// "437 reason": an IHAVE article refused.
std::string TransferRefused(std::string_view reason);
// "238 <id>", "431 <id>", "438 <id>" (CHECK), "239 <id>" (TAKETHIS), and
// "439 <id> reason".
std::string WithMessageId(const char* code, std::string_view messageId,
                          std::string_view reason = std::string_view());

// "111 yyyymmddhhmmss", universal time.
std::string Date(time_t now);
// "211 count first last name list follows"
std::string GroupListFollows(const GroupEntry& group);
// "223 number message-id Article found" (NEXT, LAST)
std::string ArticleFound(int number, std::string_view messageId);
// "223 number message-id Article exists" (STAT)
std::string ArticleExists(int number, std::string_view messageId);
// "221 number message-id Article retrieved, head follows"
std::string HeadFollows(int number, std::string_view messageId);
// "222 number message-id Article retrieved, body follows"
std::string BodyFollows(int number, std::string_view messageId);

// --- log lines of a connection ---------------------------------------------------
// "Size[kilobytes]K" for a file queued.
std::string SizeLine(int64_t bytes);
std::string CommandTooLong(size_t bytes);
std::string QueueOverLimit(long long bytes);
// "TLS established [version cipher]!!" once a handshake is done.
std::string TlsEstablished(std::string_view version, std::string_view cipher);
// "TLS failed [reason]!!" when a session could not start or broke off.
std::string TlsFailed(std::string_view reason);
// Plaintext that followed STARTTLS, dropped unread.
std::string TlsDiscarded(size_t bytes);

}  // namespace replies
