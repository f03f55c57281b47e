#include "store/history_index.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <xxhash.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

constexpr char kMagic[8] = {'M', 'b', 'y', 'H', 'i', 's', 't', '\n'};
// Bumped whenever the layout or the hash function changes: a table of
// another version is simply built again.
constexpr uint32_t kVersion = 1;
// The slots start on a page of their own, so that marking the table open
// writes one page.
constexpr uint64_t kHeaderBytes = 4096;
constexpr uint64_t kMinSlots = 4096;
// Linear probing at 70% load takes about 2.2 probes for a hit and 6 for a
// miss, nearly always within one page of slots.
constexpr uint64_t kGrowPercent = 70;
constexpr uint64_t kFullPercent = 90;

uint64_t HashOf(std::string_view messageId) {
    return XXH3_64bits(messageId.data(), messageId.size());
}

// Tells one boot of the system from the next. A table left open by a
// process that died is still whole in the page cache during the same boot;
// after a system crash its pages may have reached the disk only in part.
uint64_t BootStamp() {
    static const uint64_t stamp = [] {
        char id[64];
        int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
        if (fd < 0) return uint64_t{0};
        ssize_t n = ::read(fd, id, sizeof id);
        ::close(fd);
        return n > 0 ? XXH3_64bits(id, static_cast<size_t>(n)) : uint64_t{0};
    }();
    return stamp;
}

std::string SystemError(const std::string& what, const std::string& path) {
    return what + " " + path + ": " + std::strerror(errno);
}

uint64_t SlotsFor(uint64_t entries) {
    uint64_t slots = kMinSlots;
    while ((entries + 1) * 100 > slots * kGrowPercent) slots *= 2;
    return slots;
}

}  // namespace

struct HistoryIndexHeader {
    char magic[8];
    uint32_t version;
    uint32_t inUse;      // 1 from MarkOpen() to CloseCleanly()
    uint64_t slotCount;  // a power of two
    uint64_t used;       // slots taken
    uint64_t covered;    // the log's first `covered` bytes are in the table
    uint64_t logInode;   // the log the offsets point into
    uint64_t bootStamp;  // the system boot during which it was last opened
};
static_assert(sizeof(HistoryIndexHeader) <= kHeaderBytes, "the header fits its page");

struct HistorySlot {
    uint64_t hash;
    uint64_t where;  // the line's offset plus one; 0: free
};

CHistoryIndex::~CHistoryIndex() {
    Release();
}

void CHistoryIndex::Release() {
    if (m_pBase) ::munmap(m_pBase, m_nBytes);
    if (m_nFd >= 0) ::close(m_nFd);
    m_nFd = -1;
    m_pBase = nullptr;
    m_pHeader = nullptr;
    m_pSlots = nullptr;
}

void CHistoryIndex::Adopt(CHistoryIndex& other) {
    Release();
    std::swap(m_nFd, other.m_nFd);
    std::swap(m_pBase, other.m_pBase);
    std::swap(m_nBytes, other.m_nBytes);
    std::swap(m_pHeader, other.m_pHeader);
    std::swap(m_pSlots, other.m_pSlots);
    m_nMask = other.m_nMask;
}

bool CHistoryIndex::Map(int fd, uint64_t bytes) {
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) return false;
    m_nFd = fd;
    m_pBase = static_cast<char*>(p);
    m_nBytes = bytes;
    m_pHeader = reinterpret_cast<HistoryIndexHeader*>(m_pBase);
    m_pSlots = reinterpret_cast<HistorySlot*>(m_pBase + kHeaderBytes);
    m_nMask = m_pHeader->slotCount - 1;
    return true;
}

bool CHistoryIndex::Create(const std::string& path, uint64_t slotCount, uint64_t logInode,
                           std::string& error) {
    Release();
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = SystemError("cannot create", path);
        return false;
    }
    const uint64_t bytes = kHeaderBytes + slotCount * sizeof(HistorySlot);
    HistoryIndexHeader header{};
    std::memcpy(header.magic, kMagic, sizeof kMagic);
    header.version = kVersion;
    header.inUse = 1;
    header.slotCount = slotCount;
    header.logInode = logInode;
    header.bootStamp = BootStamp();
    int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes));
    if (rc != 0) errno = rc;
    if (rc != 0 || ::pwrite(fd, &header, sizeof header, 0) != sizeof header || !Map(fd, bytes)) {
        error = SystemError("cannot write", path);
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    return true;
}

bool CHistoryIndex::OpenTrusted(const std::string& path, const HistoryLogView& log,
                                uint64_t logInode) {
    Release();
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    HistoryIndexHeader h{};
    bool ok =
        ::fstat(fd, &st) == 0 &&
        PreadRetry(fd, reinterpret_cast<char*>(&h), sizeof h, 0) ==
            static_cast<ssize_t>(sizeof h) &&
        std::memcmp(h.magic, kMagic, sizeof kMagic) == 0 && h.version == kVersion &&
        h.slotCount >= kMinSlots && (h.slotCount & (h.slotCount - 1)) == 0 &&
        h.slotCount <= (uint64_t{1} << 40) &&
        static_cast<uint64_t>(st.st_size) == kHeaderBytes + h.slotCount * sizeof(HistorySlot) &&
        h.used * 100 <= h.slotCount * kFullPercent && h.covered <= log.size &&
        h.logInode == logInode && !(h.inUse && (h.bootStamp == 0 || h.bootStamp != BootStamp()));
    if (ok && h.covered > 0) {
        char last = 0;
        ok = PreadRetry(log.fd, &last, 1, h.covered - 1) == 1 && last == '\n';
    }
    // A copy of the file may have lost its allocated blocks.
    ok = ok && ::posix_fallocate(fd, 0, st.st_size) == 0 &&
         Map(fd, static_cast<uint64_t>(st.st_size));
    if (!ok) ::close(fd);
    return ok;
}

bool CHistoryIndex::Build(const HistoryLogView& log, uint64_t logInode, const std::string& path,
                          const std::string& growPath, std::string& error) {
    // Lines are about 60 bytes; the table grows if the guess was low.
    if (!Create(path, SlotsFor(log.size / 64), logInode, error)) return false;
    if (TakeLines(log, 0, growPath, path, error)) return true;
    Release();
    ::unlink(path.c_str());
    return false;
}

bool CHistoryIndex::TakeLines(const HistoryLogView& log, uint64_t from, const std::string& tempPath,
                              const std::string& finalPath, std::string& error) {
    bool ok =
        ForEachHistoryLine(log.fd, from, log.size, [&](uint64_t offset, std::string_view text) {
            HistoryLine line;
            if (!ParseHistoryLine(text, line)) return true;  // not ours: left out
            return EnsureRoom(tempPath, finalPath, error) && Upsert(log, line.messageId, offset);
        });
    if (!ok && error.empty()) error = "cannot read the history log";
    if (ok) m_pHeader->covered = log.size;
    return ok;
}

bool CHistoryIndex::HasRoomFor(uint64_t more, uint64_t percent) const {
    return (m_pHeader->used + more) * 100 <= m_pHeader->slotCount * percent;
}

bool CHistoryIndex::EnsureRoom(const std::string& tempPath, const std::string& finalPath,
                               std::string& error) {
    if (HasRoomFor(1, kGrowPercent)) return true;
    if (Rehash(m_pHeader->slotCount * 2, tempPath, finalPath, error)) return true;
    return HasRoomFor(1, kFullPercent);
}

bool CHistoryIndex::Rehash(uint64_t slotCount, const std::string& tempPath,
                           const std::string& finalPath, std::string& error) {
    CHistoryIndex fresh;
    if (!fresh.Create(tempPath, slotCount, m_pHeader->logInode, error)) return false;
    // The entries are distinct, so each goes to the first free slot of its
    // probe path without a log line being read.
    for (uint64_t i = 0; i <= m_nMask; ++i) {
        const HistorySlot& slot = m_pSlots[i];
        if (slot.where == 0) continue;
        uint64_t j = slot.hash & fresh.m_nMask;
        while (fresh.m_pSlots[j].where != 0) j = (j + 1) & fresh.m_nMask;
        fresh.m_pSlots[j] = slot;
    }
    fresh.m_pHeader->used = m_pHeader->used;
    fresh.m_pHeader->covered = m_pHeader->covered;
    if (::rename(tempPath.c_str(), finalPath.c_str()) != 0) {
        error = SystemError("cannot rename", tempPath);
        ::unlink(tempPath.c_str());
        return false;
    }
    Adopt(fresh);
    return true;
}

HistorySlot* CHistoryIndex::Probe(const HistoryLogView& log, uint64_t hash,
                                  std::string_view messageId, HistoryLine& line,
                                  bool& found) const {
    found = false;
    uint64_t i = hash & m_nMask;
    // Bounded by the table's size, so that a damaged table cannot loop.
    for (uint64_t n = 0; n <= m_nMask; ++n, i = (i + 1) & m_nMask) {
        HistorySlot& slot = m_pSlots[i];
        if (slot.where == 0) return &slot;
        if (slot.hash == hash && log.ReadLine(slot.where - 1, messageId, line)) {
            found = true;
            return &slot;
        }
    }
    return nullptr;
}

bool CHistoryIndex::Find(const HistoryLogView& log, std::string_view messageId,
                         HistoryLine& line) const {
    bool found = false;
    if (m_pSlots) Probe(log, HashOf(messageId), messageId, line, found);
    return found;
}

bool CHistoryIndex::Upsert(const HistoryLogView& log, std::string_view messageId, uint64_t offset) {
    const uint64_t hash = HashOf(messageId);
    HistoryLine line;
    bool found;
    HistorySlot* slot = Probe(log, hash, messageId, line, found);
    if (!slot) return false;
    if (!found) {
        if (!HasRoomFor(1, kFullPercent)) return false;
        // The hash first: a slot is taken only once `where` is set, so a
        // crash in between leaves it free.
        slot->hash = hash;
        ++m_pHeader->used;
    }
    slot->where = offset + 1;
    return true;
}

bool CHistoryIndex::IsNewest(std::string_view messageId, uint64_t offset) const {
    const uint64_t hash = HashOf(messageId);
    uint64_t i = hash & m_nMask;
    for (uint64_t n = 0; n <= m_nMask; ++n, i = (i + 1) & m_nMask) {
        const HistorySlot& slot = m_pSlots[i];
        if (slot.where == 0) return false;
        if (slot.hash == hash && slot.where == offset + 1) return true;
    }
    return false;
}

uint64_t CHistoryIndex::Covered() const {
    return m_pHeader ? m_pHeader->covered : 0;
}

void CHistoryIndex::SetCovered(uint64_t bytes) {
    m_pHeader->covered = bytes;
}

uint64_t CHistoryIndex::Count() const {
    return m_pHeader ? m_pHeader->used : 0;
}

void CHistoryIndex::MarkOpen() {
    m_pHeader->inUse = 1;
    m_pHeader->bootStamp = BootStamp();
    ::msync(m_pBase, kHeaderBytes, MS_SYNC);
}

void CHistoryIndex::CloseCleanly() {
    if (m_pBase && ::msync(m_pBase, m_nBytes, MS_SYNC) == 0) {
        m_pHeader->inUse = 0;
        ::msync(m_pBase, kHeaderBytes, MS_SYNC);
    }
    Release();
}
