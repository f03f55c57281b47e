#include "store/article_intake.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/file_util.h"
#include "common/text.h"
#include "store/cancel.h"
#include "store/message_id.h"
#include "store/server_core.h"

namespace {

// The start of the article, enough for its header and the first lines of
// its body: the checks need both, and an article's header is rarely more
// than a few kilobytes.
constexpr size_t kStartBytes = 256 * 1024;

std::string ReadStart(const Posting& posting) {
    std::string start(static_cast<size_t>(std::min<int64_t>(posting.Size(), kStartBytes)), '\0');
    size_t got = 0;
    while (got < start.size()) {
        ssize_t n = posting.ReadAt(&start[got], start.size() - got, static_cast<int64_t>(got));
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    start.resize(got);
    return start;
}

std::string Normalized(const std::string* value) {
    if (!value) return std::string();
    std::string text = SjisTrim(*value);
    NormalizeValue(text);
    return text;
}

// An article on its way in: what was read of it and what is known so far.
struct Intake {
    Intake(CServerCore& server, const IntakeRequest& what) : core(server), request(what) {}

    CServerCore& core;
    const IntakeRequest& request;
    std::string start;  // the first bytes of the article
    int64_t size = 0;
    HeaderFields fields;
    size_t headerEnd = 0;  // where the blank line after the header starts
    int bodyLines = 0;     // lines after the blank line, the terminating line aside
    std::string messageId;
    std::vector<std::string> groups;   // Newsgroups, carried or not
    std::vector<GroupEntry*> targets;  // the carried ones, each once

    bool Posted() const { return request.source == ArticleSource::Posted; }
};

ArticleVerdict Check(Intake& in) {
    CServerCore& core = in.core;
    ArticleCheckContext context;
    context.source = in.request.source;
    context.now = in.request.now;
    context.historyDays = core.m_nHistoryDays;
    context.articleBytes = static_cast<uint64_t>(in.size);
    context.isCarried = [&core](std::string_view name) { return core.FindGroup(name) != nullptr; };
    if (in.request.canPost) {
        context.mayPost = [&core, &in](std::string_view name) {
            GroupEntry* group = core.FindGroup(name);
            return group && in.request.canPost(*group);
        };
    }
    return CheckArticle(in.fields, context);
}

// The Message-ID the article is taken under; false when a fed article's
// differs from the one it was offered under.
bool ChooseMessageId(Intake& in) {
    const std::string* id = in.fields.Find("Message-ID");
    if (id) {
        in.messageId = *id;
    } else if (in.Posted()) {
        in.messageId = NewMessageId(in.request.now, in.core.PathHost());
    }
    return in.Posted() || in.messageId == in.request.offeredId;
}

void FindTargets(Intake& in) {
    SplitNewsgroups(*in.fields.Find("Newsgroups"), in.groups);
    for (const std::string& name : in.groups) {
        GroupEntry* group = in.core.FindGroup(name);
        if (group && std::find(in.targets.begin(), in.targets.end(), group) == in.targets.end())
            in.targets.push_back(group);
    }
}

// The header lines this server writes in front of the article's own, and
// the article's own header with the lines replaced by them left out.
std::string NewHeader(Intake& in, EntryTexts& texts) {
    const std::string& pathHost = in.core.PathHost();
    const std::string* path = in.fields.Find("Path");
    std::string prefix = "Path: " + pathHost + "!" + (path ? *path : "not-for-mail") + "\r\n";
    if (!in.fields.Find("Message-ID")) prefix += "Message-ID: " + in.messageId + "\r\n";
    if (!in.fields.Find("Date")) {
        texts.date = FormatArticleDate(in.request.now);
        prefix += "Date: " + texts.date + "\r\n";
    }
    if (in.Posted() && !in.fields.Find("Lines")) prefix += Format("Lines: %d\r\n", in.bodyLines);
    std::string own = in.start.substr(0, in.headerEnd);
    if (path) own = WithoutHeaderField(own, "Path");
    // An Xref names the numbers the sending server filed the article under;
    // ours differ, and a newsreader marking cross-posts read by it would
    // mark other articles here.
    if (in.fields.Find("Xref")) own = WithoutHeaderField(own, "Xref");
    return prefix + own;
}

// With SyncWrites, the history's new lines reach the disk before the reply,
// with the article: forgotten in a power cut, an article stored here would
// be taken a second time when a peer offers it again.
void SyncHistoryBeforeReply(CServerCore& core) {
    CDurableQueue* durable = core.Durable();
    if (durable && core.m_history.IsOpen())
        durable->AddOpenFile(core.m_history.LogDescriptor(), core.m_history.LogPath());
}

IntakeOutcome Store(Intake& in) {
    EntryTexts texts{Normalized(in.fields.Find("Subject")), Normalized(in.fields.Find("From")),
                     Normalized(in.fields.Find("Date")), in.messageId,
                     Normalized(in.fields.Find("References"))};
    std::string header = NewHeader(in, texts);
    StoredArticle stored{in.messageId, "", in.groups, {}};
    stored.path = in.core.PathHost() + "!" +
                  (in.fields.Find("Path") ? *in.fields.Find("Path") : "not-for-mail");
    for (GroupEntry* group : in.targets) {
        int number;
        if (StoreInGroup(in.core, *group, *in.request.posting, static_cast<int64_t>(in.headerEnd),
                         header, texts, in.bodyLines, &number))
            stored.copies.push_back(ArticleCopy{group->name, number});
    }
    if (stored.copies.empty()) return IntakeOutcome{IntakeResult::Failed, "", in.messageId};
    in.core.m_history.RememberAccepted(in.messageId, in.request.now);
    SyncHistoryBeforeReply(in.core);
    in.core.m_feeds.Enqueue(stored, in.core.Durable());
    return IntakeOutcome{IntakeResult::Stored, "", in.messageId};
}

// A cancel control message: carried out, not stored. Its own Message-ID is
// remembered, and so is its target as gone, which keeps the article out
// should it arrive after its cancel.
IntakeOutcome Cancel(Intake& in, const std::string& target) {
    CancelArticle(in.core, target, Normalized(in.fields.Find("From")), in.targets);
    in.core.m_history.MarkGone(target, in.request.now);
    in.core.m_history.RememberAccepted(in.messageId, in.request.now);
    SyncHistoryBeforeReply(in.core);
    return IntakeOutcome{IntakeResult::Stored, "", in.messageId};
}

IntakeOutcome Take(Intake& in) {
    in.start = ReadStart(*in.request.posting);
    in.size = in.request.posting->Size();
    ParseHeaderFields(in.start, in.fields);
    size_t blank = in.start.find("\r\n\r\n");
    in.headerEnd = blank == std::string::npos ? in.start.size() : blank + 2;
    in.bodyLines =
        BodyLineCount(in.start.substr(0, in.headerEnd + 2), in.request.posting->lineCount);
    ArticleVerdict verdict = Check(in);
    const std::string* id = in.fields.Find("Message-ID");
    if (verdict.result != ArticleCheck::Ok) {
        if (verdict.remember && id) in.core.m_history.RememberRefused(*id, in.request.now);
        return IntakeOutcome{IntakeResult::Refused, verdict.reason, id ? *id : ""};
    }
    if (!ChooseMessageId(in))
        return IntakeOutcome{IntakeResult::Refused, "Message-ID differs from the one offered",
                             in.messageId};
    if (in.core.m_history.Lookup(in.messageId).state != HistoryState::Unknown)
        return IntakeOutcome{IntakeResult::Duplicate, "Duplicate", in.messageId};
    FindTargets(in);
    std::vector<std::string> control;
    SplitFields(control, Normalized(in.fields.Find("Control")), " \t");
    if (control.size() == 2 && SjisUpper(control[0]) == "CANCEL" && control[1][0] == '<')
        return Cancel(in, control[1]);
    return Store(in);
}

}  // namespace

IntakeOutcome TakeArticle(CServerCore& core, const IntakeRequest& request) {
    Intake in(core, request);
    return Take(in);
}
