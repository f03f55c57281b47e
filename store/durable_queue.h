// What must be on disk before a reply may say it is: with SyncWrites, the
// store gathers here the article files it wrote, the directories whose names
// it changed and the index writes it planned, and a connection asks to be
// told once everything gathered up to then is on disk.
//
// The syncing runs on a thread of its own (IBackgroundRunner), one batch at a
// time; everything gathered while a batch runs goes into the next one, so
// replies that become ready together share one round of syncs (a group
// commit). The event loop never waits for a sync: it gathers, and it hears
// back through the runner.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/background_runner.h"
#include "store/group_index.h"

class CSaveRecord;
class IFileSync;

class CDurableQueue {
public:
    // `runner` is owned; `sync` and `record` (the save record, used only by
    // the batches from now on) must outlive the queue. `log` gets one CR LF
    // line per failure, on the event loop.
    CDurableQueue(std::unique_ptr<IBackgroundRunner> runner, IFileSync& sync, CSaveRecord& record,
                  std::function<void(const std::string&)> log);
    // Flush(), then the runner goes.
    ~CDurableQueue();
    CDurableQueue(const CDurableQueue&) = delete;
    CDurableQueue& operator=(const CDurableQueue&) = delete;

    // --- gathering, on the event loop ---------------------------------------
    // The file open on `fd` (taken over; closed once synced), known as `path`
    // for the log.
    void AddFile(int fd, const std::string& path);
    // The directory at `path`, whose names changed; once per batch.
    void AddDirectory(const std::string& path);
    // A file that stays open elsewhere and is written again and again (a
    // peer's queue), open on `fd` (not taken over): synced once per batch,
    // through a descriptor of the batch's own, so that it may be closed or
    // replaced meanwhile.
    void AddOpenFile(int fd, const std::string& path);
    // An index write planned by PlanIndexWrite, which the batch carries out:
    // on disk only after the files and directories gathered before it, an
    // append through the save record. A write for a file that already has
    // one waiting is merged into it.
    // `done` runs on the event loop once the batch has carried it out, with
    // the write as carried out (merged with those after it) and whether it
    // succeeded; after a failure the file is not what the group's records
    // say, and the caller should write it whole. Of writes merged into one,
    // the first one's `done` is kept: they are all for the same file.
    using WriteDone = std::function<void(const IndexWrite& write, bool ok)>;
    void AddIndexWrite(IndexWrite write, WriteDone done);
    // Starts a batch of what has been gathered, unless one is running (the
    // next one starts when it ends).
    void Kick();

    // Calls `done(ok)` on the event loop once everything gathered before this
    // call is on disk: from inside this call when that is so already, else
    // when a batch ends. `ok` is false when a batch that ended while it was
    // waiting failed (its items may be among the failed ones). Waiters are
    // told in the order they asked.
    void WhenDurable(std::function<void(bool ok)> done);

    // For the shutdown: waits for the running batch, syncs everything still
    // gathered on this thread, and tells every waiter.
    void Flush();

    // Batches run so far.
    uint64_t Batches() const { return m_nBatches; }

private:
    struct PendingWrite {
        IndexWrite write;
        WriteDone done;
        bool failed = false;
    };
    struct Batch {
        uint64_t from = 0, to = 0;  // the items it holds, by gathering order
        std::vector<std::pair<int, std::string>> files;
        std::set<std::pair<dev_t, ino_t>> openFiles;  // those of AddOpenFile
        std::vector<std::string> directories;
        std::vector<PendingWrite> writes;
        bool ok = true;
        std::vector<std::string> errors;  // log lines
    };
    struct Waiter {
        uint64_t upTo;  // waits for every item gathered before this number
        bool ok;
        std::function<void(bool)> done;
    };

    void StartBatch(bool inline_);
    // The work of a batch, on the runner's thread (or inline at shutdown).
    static void RunBatch(Batch& batch, IFileSync& sync, CSaveRecord& record);
    void EndBatch(Batch& batch);
    void ReleaseWaiters();

    std::unique_ptr<IBackgroundRunner> m_pRunner;
    IFileSync& m_sync;
    CSaveRecord& m_record;
    std::function<void(const std::string&)> m_log;
    Batch m_gathering;
    uint64_t m_nGathered = 0;  // items gathered so far
    uint64_t m_nDurable = 0;   // items on disk (or failed): those of ended batches
    bool m_bRunning = false;
    std::deque<Waiter> m_waiters;
    uint64_t m_nBatches = 0;
};
