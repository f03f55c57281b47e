#include "store/durable_queue.h"

#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "common/text.h"
#include "store/file_sync.h"

namespace {

// The reason for the last failure; thread-safe, unlike strerror().
std::string Reason(int error) {
    if (error == 0) return "not as planned";
    return std::error_code(error, std::generic_category()).message();
}

}  // namespace

CDurableQueue::CDurableQueue(std::unique_ptr<IBackgroundRunner> runner, IFileSync& sync,
                             std::function<void(const std::string&)> log)
    : m_pRunner(std::move(runner)), m_sync(sync), m_log(std::move(log)) {}

CDurableQueue::~CDurableQueue() {
    Flush();
}

void CDurableQueue::AddFile(int fd, const std::string& path) {
    m_gathering.files.emplace_back(fd, path);
    ++m_nGathered;
}

void CDurableQueue::AddDirectory(const std::string& path) {
    ++m_nGathered;
    for (const std::string& known : m_gathering.directories)
        if (known == path) return;
    m_gathering.directories.push_back(path);
}

void CDurableQueue::AddIndexWrite(IndexWrite write, std::function<void()> onFailure) {
    // Its directory is synced between the two halves of the write: the save
    // record, or the removal of an old one, must be on disk before the index
    // is touched.
    size_t slash = write.path.rfind('/');
    AddDirectory(slash == std::string::npos ? "." : write.path.substr(0, slash));
    ++m_nGathered;
    // Two writes of one file in one batch would share its save record; as
    // one write they also cost one round of syncs.
    for (auto it = m_gathering.writes.rbegin(); it != m_gathering.writes.rend(); ++it) {
        if (it->write.path != write.path) continue;
        if (!MergeIndexWrites(it->write, write)) break;
        std::function<void()> first = std::move(it->onFailure);
        it->onFailure = [first, onFailure] {
            if (first) first();
            if (onFailure) onFailure();
        };
        return;
    }
    m_gathering.writes.push_back(PendingWrite{std::move(write), std::move(onFailure)});
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
    if (inline_) {
        RunBatch(*batch, *sync);
        EndBatch(*batch);
        return;
    }
    m_pRunner->Run([batch, sync] { RunBatch(*batch, *sync); }, [this, batch] { EndBatch(*batch); });
}

void CDurableQueue::RunBatch(Batch& batch, IFileSync& sync) {
    auto fail = [&batch](const std::string& path) {
        batch.ok = false;
        batch.errors.push_back("[" + path + "] sync failed [" + Reason(errno) + "]!!\r\n");
    };
    // Articles before the names that publish them, and those before the index
    // lines that list them: whatever a power cut keeps, a name never stands
    // for bytes that are not there, and an index line never for a name.
    for (auto& [fd, path] : batch.files) {
        errno = 0;
        if (!sync.SyncData(fd)) fail(path);
        ::close(fd);
    }
    for (PendingWrite& pending : batch.writes) {
        errno = 0;
        pending.failed = !PrepareIndexWrite(pending.write, &sync);
        if (pending.failed) fail(pending.write.path);
    }
    // The save records (and the names of new articles) must be on disk
    // before the index they describe is touched.
    for (const std::string& directory : batch.directories) {
        errno = 0;
        if (!sync.SyncDirectory(directory)) fail(directory);
    }
    for (PendingWrite& pending : batch.writes) {
        if (pending.failed) continue;
        errno = 0;
        pending.failed = !CommitIndexWrite(pending.write, &sync);
        if (pending.failed) fail(pending.write.path);
    }
}

void CDurableQueue::EndBatch(Batch& batch) {
    m_bRunning = false;
    m_nDurable = batch.to;
    for (const std::string& line : batch.errors) m_log(line);
    if (!batch.ok)
        for (Waiter& waiter : m_waiters)
            if (waiter.upTo > batch.from) waiter.ok = false;
    for (PendingWrite& pending : batch.writes)
        if (pending.failed && pending.onFailure) pending.onFailure();
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
