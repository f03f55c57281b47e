#include "protocol/replies.h"

#include "common/text.h"
#include "store/records.h"

namespace replies {

namespace {

std::string Bracketed(const char* before, std::string_view argument) {
    std::string reply = before;
    reply += " [";
    reply += argument;
    reply += "]!!\r\n";
    return reply;
}

std::string WithArticle(const char* code, int number, std::string_view messageId,
                        const char* text) {
    return Format("%s %d %.*s %s\r\n", code, number, static_cast<int>(messageId.size()),
                  messageId.data(), text);
}

}  // namespace

std::string Denied(std::string_view argument) {
    return Bracketed("502 access restriction or permission denied", argument);
}

std::string NoSuchArticle(std::string_view argument) {
    return Bracketed("430 no such article found", argument);
}

std::string NoSuchGroup(std::string_view name) {
    return Bracketed("411 no such news group", name);
}

std::string GroupSelected(const GroupEntry& group) {
    return Format("211 %d %d %d %s group selected!!\r\n", group.articleCount, group.firstNumber,
                  group.lastNumber, group.name.c_str());
}

std::string ArticleFollows(int number, std::string_view messageId) {
    return WithArticle("220", number, messageId, "Article retrieved, text follows!!");
}

void AppendActiveLine(std::string& out, const GroupEntry& group, bool mayPost) {
    out += Format("%s %d %d %s\r\n", group.name.c_str(), group.lastNumber, group.firstNumber,
                  mayPost ? "y" : "n");
}

std::string PostRefused(std::string_view reason) {
    return "441 " + std::string(reason) + "\r\n";
}

std::string TransferRefused(std::string_view reason) {
    return "437 " + std::string(reason) + "\r\n";
}

std::string WithMessageId(const char* code, std::string_view messageId, std::string_view reason) {
    std::string reply = std::string(code) + " " + std::string(messageId);
    if (!reason.empty()) reply += " " + std::string(reason);
    return reply + "\r\n";
}

std::string Date(time_t now) {
    struct tm tm {};
    gmtime_r(&now, &tm);
    return Format("111 %04d%02d%02d%02d%02d%02d\r\n", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
}

std::string GroupListFollows(const GroupEntry& group) {
    return Format("211 %d %d %d %s list follows\r\n", group.articleCount, group.firstNumber,
                  group.lastNumber, group.name.c_str());
}

std::string ArticleFound(int number, std::string_view messageId) {
    return WithArticle("223", number, messageId, "Article found");
}

std::string ArticleExists(int number, std::string_view messageId) {
    return WithArticle("223", number, messageId, "Article exists");
}

std::string HeadFollows(int number, std::string_view messageId) {
    return WithArticle("221", number, messageId, "Article retrieved, head follows");
}

std::string BodyFollows(int number, std::string_view messageId) {
    return WithArticle("222", number, messageId, "Article retrieved, body follows");
}

std::string SizeLine(int64_t bytes) {
    return Format("Size[%3.3f]K\r\n", static_cast<double>(bytes) / 1024.0);
}

std::string CommandTooLong(size_t bytes) {
    return Format("Command too long [%zu] bytes dropped!!\r\n", bytes);
}

std::string QueueOverLimit(long long bytes) {
    return Format("Send queue over limit [%lld] bytes dropped!!\r\n", bytes);
}

std::string TlsEstablished(std::string_view version, std::string_view cipher) {
    return "TLS established [" + std::string(version) + " " + std::string(cipher) + "]!!\r\n";
}

std::string TlsFailed(std::string_view reason) {
    return "TLS failed [" + std::string(reason) + "]!!\r\n";
}

std::string TlsDiscarded(size_t bytes) {
    return Format("Discarded [%zu] bytes sent after STARTTLS!!\r\n", bytes);
}

}  // namespace replies
