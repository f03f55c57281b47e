#include "store/durable_queue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/text.h"
#include "store/file_sync.h"
#include "store/save_record.h"

namespace {

// The reason for the last failure; thread-safe, unlike strerror().
std::string Reason(int error) {
    if (error == 0) return "not as planned";
    return std::error_code(error, std::generic_category()).message();
}

}  // namespace

CDurableQueue::CDurableQueue(std::unique_ptr<IBackgroundRunner> runner, IFileSync& sync,
                             CSaveRecord& record, std::function<void(const std::string&)> log)
    : m_pRunner(std::move(runner)), m_sync(sync), m_record(record), m_log(std::move(log)) {}

CDurableQueue::~CDurableQueue() {
    Flush();
}

void CDurableQueue::AddFile(int fd, const std::string& path) {
    m_gathering.files.emplace_back(fd, path);
    ++m_nGathered;
}

void CDurableQueue::AddOpenFile(int fd, const std::string& path) {
    ++m_nGathered;
    struct stat st;
    if (::fstat(fd, &st) == 0 && !m_gathering.openFiles.emplace(st.st_dev, st.st_ino).second)
        return;
    // A copy that cannot be made fails the batch's sync of it (and so the
    // replies that wait for it), as a sync that fails does.
    m_gathering.files.emplace_back(::fcntl(fd, F_DUPFD_CLOEXEC, 0), path);
}

void CDurableQueue::AddDirectory(const std::string& path) {
    ++m_nGathered;
    for (const std::string& known : m_gathering.directories)
        if (known == path) return;
    m_gathering.directories.push_back(path);
}

void CDurableQueue::AddIndexWrite(IndexWrite write, WriteDone done) {
    ++m_nGathered;
    // A second write of a file in one batch was planned on what the first
    // leaves, which the batch only makes: merged, the two are prepared and
    // recorded as one, and cost one round of syncs.
    for (auto it = m_gathering.writes.rbegin(); it != m_gathering.writes.rend(); ++it) {
        if (it->write.path != write.path) continue;
        if (!MergeIndexWrites(it->write, write)) break;
        return;
    }
    m_gathering.writes.push_back(PendingWrite{std::move(write), std::move(done)});
}

void CDurableQueue::Kick() {
    if (!m_bRunning && m_nGathered > m_gathering.from) StartBatch(false);
}

void CDurableQueue::WhenDurable(std::function<void(bool ok)> done) {
    uint64_t upTo = m_nGathered;
    if (upTo <= m_nDurable) {
        done(true);
        return;
    }
    m_waiters.push_back(Waiter{upTo, true, std::move(done)});
    Kick();
}

void CDurableQueue::Flush() {
    while (m_bRunning || m_nGathered > m_gathering.from) {
        if (m_bRunning)
            m_pRunner->Finish();
        else
            StartBatch(true);
    }
    ReleaseWaiters();
}

void CDurableQueue::StartBatch(bool inline_) {
    auto batch = std::make_shared<Batch>(std::move(m_gathering));
    batch->to = m_nGathered;
    m_gathering = Batch();
    m_gathering.from = m_nGathered;
    m_bRunning = true;
    ++m_nBatches;
    IFileSync* sync = &m_sync;
    CSaveRecord* record = &m_record;
    if (inline_) {
        RunBatch(*batch, *sync, *record);
        EndBatch(*batch);
        return;
    }
    m_pRunner->Run([batch, sync, record] { RunBatch(*batch, *sync, *record); },
                   [this, batch] { EndBatch(*batch); });
}

void CDurableQueue::RunBatch(Batch& batch, IFileSync& sync, CSaveRecord& record) {
    auto fail = [&batch](const std::string& path) {
        batch.ok = false;
        batch.errors.push_back("[" + path + "] sync failed [" + Reason(errno) + "]!!\r\n");
    };
    // Articles before the names that publish them, and those before the index
    // lines that list them: whatever a power cut keeps, a name never stands
    // for bytes that are not there, and an index line never for a name.
    for (auto& [fd, path] : batch.files) {
        errno = 0;
        if (fd < 0) errno = EBADF;
        if (fd < 0 || !sync.SyncData(fd)) fail(path);
        if (fd >= 0) ::close(fd);
    }
    std::vector<const IndexWrite*> prepared;
    for (PendingWrite& pending : batch.writes) {
        errno = 0;
        pending.failed = !PrepareIndexWrite(pending.write, &sync);
        if (pending.failed)
            fail(pending.write.path);
        else
            prepared.push_back(&pending.write);
    }
    // The appends are on disk in the record before any index is touched, and
    // no append of an earlier batch is left there to be carried out on a file
    // this batch replaces.
    errno = 0;
    if (!record.Write(prepared, &sync)) {
        fail(record.Path());
        for (PendingWrite& pending : batch.writes) {
            if (pending.failed) continue;
            pending.failed = true;
            AbandonIndexWrite(pending.write);
        }
    }
    for (const std::string& directory : batch.directories) {
        errno = 0;
        if (!sync.SyncDirectory(directory)) fail(directory);
    }
    bool recordDone = true;
    for (PendingWrite& pending : batch.writes) {
        if (pending.failed) continue;
        errno = 0;
        bool undone = false;
        pending.failed = !CommitIndexWrite(pending.write, &sync, &undone);
        if (pending.failed) fail(pending.write.path);
        if (pending.failed && !undone) recordDone = false;
    }
    // An append that failed half-way stays in the record for the next start.
    if (recordDone) record.Clear();
}

void CDurableQueue::EndBatch(Batch& batch) {
    m_bRunning = false;
    m_nDurable = batch.to;
    for (const std::string& line : batch.errors) m_log(line);
    if (!batch.ok)
        for (Waiter& waiter : m_waiters)
            if (waiter.upTo > batch.from) waiter.ok = false;
    for (PendingWrite& pending : batch.writes)
        if (pending.done) pending.done(pending.write, !pending.failed);
    ReleaseWaiters();
    Kick();
}

void CDurableQueue::ReleaseWaiters() {
    // A waiter's `done` may gather and wait again: take each from the queue
    // before calling it.
    while (!m_waiters.empty() && m_waiters.front().upTo <= m_nDurable) {
        Waiter waiter = std::move(m_waiters.front());
        m_waiters.pop_front();
        waiter.done(waiter.ok);
    }
}
