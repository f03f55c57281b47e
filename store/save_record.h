// The save record: one file in the base directory that holds the appends to
// index files under way, so that a start-up after a crash can complete them.
// It is empty between saves. Kept open for the server's life: a file made
// and removed for every save would cost more than the save itself.
#pragma once

#include <string>
#include <vector>

struct IndexWrite;
class IFileSync;

class CSaveRecord {
public:
    // The record's name in the base directory; it does not start with a
    // digit and is no group's name.
    static constexpr char kFileName[] = "IndexSave.rec";

    CSaveRecord() = default;
    ~CSaveRecord();
    CSaveRecord(const CSaveRecord&) = delete;
    CSaveRecord& operator=(const CSaveRecord&) = delete;

    // Opens (making it when missing) the record at `path`. False when it
    // cannot be opened; then nothing can be recorded.
    bool Open(const std::string& path);
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& Path() const { return m_path; }
    // Closes the record and removes its file, unless it still holds an
    // append (one that failed half-way), which is left for the next start.
    // For a clean shutdown.
    void Remove();

    // Makes the record hold exactly the appends among `writes` (nothing else
    // they carry is needed after a crash). With `sync`, it is on disk before
    // this returns, also when it is now empty: a record left over from an
    // earlier save must never be carried out on a file replaced since. False
    // when the record cannot be written, or is not open and there are
    // appends.
    bool Write(const std::vector<const IndexWrite*>& writes, IFileSync* sync);
    // Empties the record once the writes it holds are done. The emptying is
    // not synced: carried out again, a finished append changes nothing, and
    // the next Write() with `sync` settles it before anything else happens.
    void Clear();

private:
    std::string m_path;
    int m_fd = -1;
    long long m_nSize = 0;   // what the file holds now
    bool m_bSettled = true;  // the file's emptiness is on disk
};

// What a start-up found of an append a crash interrupted.
struct SaveRecovery {
    enum Outcome {
        Completed,  // the record held it whole; the append was carried out
        Discarded,  // the record was cut short or does not fit the index; the
                    // index stays as the save before left it
        Failed,     // the record held it whole, but the index cannot be written
    };
    Outcome outcome;
    std::string indexPath;  // the index it concerns; the record's path when cut short
};

// Run at start-up, before any index is read: carries out every whole append
// in the record at `recordPath`, each on the index it names, and empties the
// record (unless one Failed). Paths in the record are taken relative to the
// record's directory. With `sync`, the completed indexes are on disk before
// the record is emptied. Carrying out an append that had finished changes
// nothing. Returns what it did, one entry per append found.
std::vector<SaveRecovery> RecoverIndexSaves(const std::string& recordPath, IFileSync* sync);
