#include "fuzz/fuzz_support.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "store/group_index.h"

namespace {

// Offered bytes are remembered only this far: enough to see a send resume at
// the wrong byte, without copying a long queue at every one-byte send.
constexpr size_t kOfferedKept = 8192;

// A received block may hold many commands and postings; handling them must
// not need stack in proportion to their number. The deepest single command
// stays far below this, with room for the sanitizers' larger frames.
constexpr size_t kStackAllowed = 128 * 1024;

// The temporary directory as the process found it, before PrivateTempDir
// changed $TMPDIR.
const std::string& BaseTempDir() {
    static const std::string base = [] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp");
    }();
    return base;
}

constexpr char kSettings[] =
    "[Group]\n"
    "local.general 0 general\n"
    "local.staff 0 staff AllOk alice,bob\n"
    "local.secret 0 secret alice,carol alice\n"
    "local.edge 0 edge\n"
    "[Users]\n"
    "alice wonderland\n"
    "bob builder\n"
    "carol tea\n";

struct FixtureArticle {
    const char* group;
    const char* name;
    const char* text;
};

// The article files on disk. local.general's entry 5 has no file, and
// carries the Message-ID of entry 1, so lookups must cope with both.
const FixtureArticle kArticles[] = {
    {"local.general", "1",
     "From: alice <alice@example>\r\nNewsgroups: local.general\r\nSubject: Hello\r\n"
     "Date: Mon, 4 Mar 2024 10:00:00 +0900\r\nMessage-ID: <1@example>\r\nLines: 2\r\n\r\n"
     "first line\r\nsecond\r\n.\r\n"},
    {"local.general", "2",
     "From: bob <bob@example>\r\nNewsgroups: local.general\r\nSubject: Re: Hello\r\n"
     "Message-ID: <2@example>\r\nReferences: <1@example>\r\n\r\n"
     "..a line that began with a dot\r\n\r\n.\r\n"},
    {"local.general", "3",
     "From: carol\r\nNewsgroups: local.general,local.secret\r\nSubject: \x93\xfa\x96\x7b\r\n"
     "Message-ID: <x@example>\r\n\r\nshared\r\n.\r\n"},
    {"local.staff", "1", "From: alice\r\nSubject: one\r\nMessage-ID: <s1@example>\r\n\r\n.\r\n"},
    {"local.staff", "2", "From: bob\r\nSubject: two\r\nMessage-ID: <s2@example>\r\n\r\nx\r\n.\r\n"},
    {"local.secret", "1",
     "From: carol\r\nNewsgroups: local.general,local.secret\r\nSubject: \x93\xfa\x96\x7b\r\n"
     "Message-ID: <x@example>\r\n\r\nshared\r\n.\r\n"},
    {"local.edge", "1", "Subject: edge\r\n\r\nbody\r\n.\r\n"},
    {"local.edge", "2", "no header at all\r\n.\r\n"},
};

struct FixtureIndex {
    const char* group;
    const char* text;
};

// local.staff is listed out of number order, so number lookups cannot
// assume a sorted list.
const FixtureIndex kIndexes[] = {
    {"local.general",
     "1\t5\t4\r\n"
     "1\tHello\talice <alice@example>\tMon, 4 Mar 2024 10:00:00 +0900\t<1@example>\t160\t2\t\r\n"
     "2\tRe: Hello\tbob <bob@example>\t\t<2@example>\t150\t3\t<1@example>\r\n"
     "3\t\x93\xfa\x96\x7b\tcarol\t\t<x@example>\t110\t2\t\r\n"
     "5\tgone\tnobody\t\t<1@example>\t10\t1\t\r\n"},
    {"local.staff",
     "1\t2\t2\r\n"
     "2\ttwo\tbob\t\t<s2@example>\t60\t2\t\r\n"
     "1\tone\talice\t\t<s1@example>\t55\t1\t\r\n"},
    {"local.secret", "1\t1\t1\r\n1\t\x93\xfa\x96\x7b\tcarol\t\t<x@example>\t110\t2\t\r\n"},
};

}  // namespace

void FuzzFail(const char* file, int line, const char* condition, const std::string& what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n%s\n", file, line, condition, what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::string Escaped(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WriteWholeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

ScratchDir::ScratchDir() {
    std::string pattern = BaseTempDir() + "/marrowby-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr, "cannot create " + pattern);
    m_strPath = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_strPath, ec);
}

std::vector<std::string> ScratchDir::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(m_strPath))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

const std::string& PrivateTempDir() {
    static ScratchDir* dir = [] {
        BaseTempDir();
        auto* made = new ScratchDir;
        ::setenv("TMPDIR", made->Path().c_str(), 1);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(std::getenv("TMPDIR"), ec);
        });
        return made;
    }();
    return dir->Path();
}

FakeServer::FakeServer(const std::string& edgeIndex)
    : CServerCore(static_cast<IServerHost&>(*this)) {
    m_szBaseDir = m_dir.Path();
    ServerSettings settings;
    ParseSettings(kSettings, settings);
    static_cast<ServerSwitches&>(*this) = settings;
    // The reader mode's Path and Message-IDs name this host, and the dates
    // of the fixtures may be of any age.
    m_strPathHost = "fuzz.test";
    m_nHistoryDays = 0;
    for (const GroupSettings& group : settings.groups)
        m_groups.push_back(std::make_unique<GroupEntry>(group));
    m_users = settings.users;
    for (const auto& group : m_groups) {
        std::string dir = GroupDir(*group);
        FUZZ_CHECK(::mkdir(dir.c_str(), 0755) == 0, "cannot create " + dir);
    }
    for (const FixtureArticle& a : kArticles)
        WriteWholeFile(m_szBaseDir + "/" + a.group + "/" + a.name, a.text);
    for (const FixtureIndex& index : kIndexes)
        WriteWholeFile(m_szBaseDir + "/" + index.group + "/Message.lst", index.text);
    WriteWholeFile(m_szBaseDir + "/local.edge/Message.lst",
                   edgeIndex.empty() ? std::string("0\t0\t0\r\n") : edgeIndex);
    for (const auto& group : m_groups)
        FUZZ_CHECK(LoadGroupIndex(IndexPath(*group), *group), "cannot load " + group->name);
}

void FakeServer::StartStackWatch() {
    m_pStackBase = static_cast<const char*>(__builtin_frame_address(0));
    m_nStackUsed = 0;
}

void FakeServer::CheckStack(const std::string& what) {
    FUZZ_CHECK(m_nStackUsed <= kStackAllowed,
               what + " used " + std::to_string(m_nStackUsed) + " bytes of stack");
    m_pStackBase = nullptr;
}

void FakeServer::AppendLog(const std::string& text) {
    m_nLogBytes += text.size();
    if (!m_pStackBase) return;
    const char* here = static_cast<const char*>(__builtin_frame_address(0));
    if (here < m_pStackBase)
        m_nStackUsed = std::max(m_nStackUsed, static_cast<size_t>(m_pStackBase - here));
}

std::string FakeServer::Snapshot() const {
    std::string out;
    for (const auto& group : m_groups) {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(GroupDir(*group)))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::string content = ReadWholeFile(GroupDir(*group) + "/" + name);
            out += group->name + "/" + name + " " + std::to_string(content.size()) + "\n" +
                   content + "\n";
        }
    }
    return out;
}

int CaptureSocket::SendVector(const iovec* parts, int count) {
    ++m_nCalls;
    size_t total = 0;
    for (int i = 0; i < count; ++i) {
        if (m_strOffered.size() < kOfferedKept)
            m_strOffered.append(static_cast<const char*>(parts[i].iov_base),
                                std::min(parts[i].iov_len, kOfferedKept - m_strOffered.size()));
        total += parts[i].iov_len;
    }
    if (m_budget.wouldBlock && (m_nCalls & 1)) return SOCKET_ERROR;
    size_t take = total;
    if (m_budget.maxBytes > 0) take = std::min(take, static_cast<size_t>(m_budget.maxBytes));
    size_t left = take;
    for (int i = 0; i < count && left > 0; ++i) {
        size_t n = std::min(left, parts[i].iov_len);
        m_strSent.append(static_cast<const char*>(parts[i].iov_base), n);
        left -= n;
    }
    return static_cast<int>(take);
}

int CaptureSocket::Send(const void* buffer, int length) {
    iovec part{const_cast<void*>(buffer), static_cast<size_t>(length)};
    return SendVector(&part, 1);
}

void CaptureSocket::CheckQueueAccounting() const {
    int64_t sum = 0;
    for (const auto& item : Queue().Contents()) {
        FUZZ_CHECK(item->length >= 0, "negative item length");
        sum += item->length;
    }
    FUZZ_CHECK(sum == Queue().Bytes(), "queued " + std::to_string(Queue().Bytes()) +
                                           " but items hold " + std::to_string(sum));
}

void CaptureSocket::SendOnce() {
    m_strOffered.clear();
    size_t sentBefore = m_strSent.size();
    bool wasEmpty = Queue().Empty();
    OnSend(0);
    CheckQueueAccounting();
    if (wasEmpty) return;
    if (m_bHaveLeftover) {
        FUZZ_CHECK(m_strOffered.compare(0, m_strLeftover.size(), m_strLeftover) == 0,
                   "a send did not resume where the last one stopped: left over [" +
                       Escaped(m_strLeftover) + "], offered [" + Escaped(m_strOffered) + "]");
    }
    size_t taken = m_strSent.size() - sentBefore;
    m_strLeftover = taken < m_strOffered.size() ? m_strOffered.substr(taken) : std::string();
    m_bHaveLeftover = true;
}

void CaptureSocket::Drain() {
    CheckQueueAccounting();
    // Each send that is not refused takes a byte or drops an empty item.
    int64_t limit = 2 * (Queue().Bytes() + static_cast<int64_t>(Queue().Items())) + 16;
    for (int64_t i = 0; i < limit && !Queue().Empty(); ++i) SendOnce();
    FUZZ_CHECK(Queue().Empty(), "the send queue did not drain");
    FUZZ_CHECK(Queue().Bytes() == 0, "an empty queue still counts bytes");
}

void CheckDescriptors(const CServerCore& server) {
    auto count = [] {
        size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            (void)entry;
            ++n;
        }
        return n;
    };
    // Beyond those the spool holds (kept files, watched directories, its
    // change reports), nothing may stay open.
    static const size_t baseline = count() - server.m_spool.HeldDescriptors();
    size_t now = count();
    size_t cached = server.m_spool.HeldDescriptors();
    FUZZ_CHECK(now <= baseline + cached + 4, std::to_string(now) + " descriptors open, " +
                                                 std::to_string(cached) + " held by the cache, " +
                                                 std::to_string(baseline) + " at the start");
}

std::string DescribeEntries(const GroupEntry& g) {
    std::string out = std::to_string(g.firstNumber) + " " + std::to_string(g.lastNumber) + " " +
                      std::to_string(g.articleCount) + "\n";
    for (const ArticleEntry& a : g.articles)
        out += std::to_string(a.number) + "|" + Escaped(std::string(a.Subject())) + "|" +
               Escaped(std::string(a.From())) + "|" + Escaped(std::string(a.Date())) + "|" +
               Escaped(std::string(a.MessageId())) + "|" + Escaped(std::string(a.References())) +
               "|" + std::to_string(a.Bytes()) + "|" + std::to_string(a.Lines()) + "\n";
    return out;
}

void CheckIndexesRoundTrip(FakeServer& server) {
    for (const auto& group : server.m_groups) group->dirty = 1;
    FUZZ_CHECK(server.SaveGroupIndexes(), "cannot save the indexes");
    for (const auto& group : server.m_groups) {
        std::string path = server.IndexPath(*group);
        std::string want = FormatGroupIndex(*group);
        std::string got = ReadWholeFile(path);
        FUZZ_CHECK(got == want,
                   group->name + " index [" + Escaped(got) + "], expected [" + Escaped(want) + "]");
        GroupEntry reread;
        FUZZ_CHECK(ReadGroupIndex(path, reread), "cannot read " + path);
        FUZZ_CHECK(DescribeEntries(reread) == DescribeEntries(*group),
                   group->name + " in memory\n" + DescribeEntries(*group) + "read back\n" +
                       DescribeEntries(reread));
    }
}

std::vector<std::string> SplitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, at - start));
        start = at + 1;
    }
}
