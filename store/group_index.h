// The group index file Message.lst: a counter line, then one line per
// article with the data of its ArticleEntry.
#pragma once

#include <string>

#include "store/records.h"

// Reads the index file at `path` into `group`: sets the three counters from
// the counter line and appends one entry per article line. Lines of the wrong
// shape are skipped. Leaves `dirty` alone. False when the file cannot be
// opened. The file stays mapped, and the entries read their lines there.
bool ReadGroupIndex(const std::string& path, GroupEntry& group);

// Writes Message.lst.idx beside the index file at `indexPath`: what the next
// start needs to load the entries without parsing every line. Only when
// every entry's line is in the mapped file; false otherwise or when it
// cannot be written (nothing is lost then but time at the next start).
bool WriteIndexSidecar(const std::string& indexPath, const GroupEntry& group);

// Whether a group of this many articles is worth a sidecar: below, parsing
// its index costs less than the sidecar would save.
bool WorthASidecar(size_t articles);

// Whether the group's sidecar should be written again: there is none for
// its index file as it is now, or the lines appended since it was written,
// which a start parses, have become many.
bool SidecarIsStale(const GroupEntry& group);

// Same, from the file's text, CR LF or LF line ends; the lines are kept in
// memory.
void ParseGroupIndex(const std::string& content, GroupEntry& group);

// The exact bytes of the index file for `group`, CR LF line ends included.
std::string FormatGroupIndex(const GroupEntry& group);

// The index line of one article, CR LF included.
std::string FormatIndexLine(const ArticleEntry& article);

// Appends the overview line of `article` as XOVER sends it, with `number`
// in the first field: number, subject, from, date, Message-ID, references,
// bytes, lines, TAB-separated, CR LF at the end.
void AppendOverviewLine(std::string& out, const ArticleEntry& article, int number);

class CSaveRecord;
class IFileSync;

// Writes the index file of `group`: PlanIndexWrite, then ApplyIndexWrite;
// when an append finds the file other than planned (changed or removed by
// hand), the whole file is written instead. The file ends up byte for byte
// what FormatGroupIndex gives. False when the file cannot be written; it then
// still loads as before, and the next write replaces it whole. Without a
// `record` an append is not protected against a crash between its two
// writes (for tests and tools that only need the bytes).
bool WriteGroupIndex(const std::string& path, GroupEntry& group, CSaveRecord* record = nullptr);

// One change of an index file, planned where the group's records live and
// carried out there or, when writes are synced, on the sync worker.
//
// An append patches the counter line in place and adds lines at the end, two
// writes that a crash could separate. So before either, the new counter line
// and the new lines go into the save record (CSaveRecord), from which a
// start-up completes the append; a record cut short means the index was not
// touched yet. Either way the index loads with counters that belong to its
// lines. A whole file is written under a temporary name and renamed.
struct IndexWrite {
    std::string path;            // the group's Message.lst
    bool whole = true;           // replace the file with `bytes`; else append
    long long oldSize = 0;       // append: the file's size before
    std::string oldCounterLine;  // append: its first line before, CR LF included
    std::string counterLine;     // append: the new first line, of the same length
    std::string bytes;           // the whole file, or the lines to append
    int fd = -1;                 // append: the index, open from Prepare to Commit
    // The entries whose lines the write holds, by position in the list as it
    // was when planned (RemovalCount `removals`): all of them for a whole
    // file.
    size_t firstEntry = 0;
    size_t entryCount = 0;
    unsigned long long removals = 0;

    // An append that changes nothing.
    bool Empty() const { return !whole && bytes.empty() && counterLine == oldCounterLine; }
};

// Decides how the index file at `path` is brought up to `group`: an append
// when the file is known to hold a prefix of the list under a counter line of
// the same length, else a whole new file. Records in group.indexFile what the
// file holds once the write is done; when it fails, the caller must set
// group.indexFile.known to false.
IndexWrite PlanIndexWrite(const std::string& path, GroupEntry& group);

// Appends `next`, planned after `write` for the same file, to `write`, so
// both go to disk as one. False (nothing changed) when `next` does not start
// where `write` ends.
bool MergeIndexWrites(IndexWrite& write, IndexWrite next);

// The first half of a write, which readers of the index do not see: opens
// the index and checks that it still has the size the plan saw (an append),
// or writes the new file under its temporary name (a whole file; with
// `sync`, on disk before it returns). False when the file is not as planned
// or the step fails; nothing is left behind or open then. After true, the
// appends go into the save record, and CommitIndexWrite must follow.
bool PrepareIndexWrite(IndexWrite& write, IFileSync* sync);

// The second half, once the record holds the append: puts the new lines and
// counters into the index, or renames the new file over the old one. With
// `sync`, the index and its name are on disk before it returns. False on
// failure; an append that failed part-way is undone where possible, and
// otherwise stays in the record for the next start to complete (`undone`
// says which).
bool CommitIndexWrite(IndexWrite& write, IFileSync* sync, bool* undone = nullptr);

// Gives up a prepared write instead of committing it: the index is closed,
// or the new file removed.
void AbandonIndexWrite(IndexWrite& write);

// Once a write is done, on the thread that owns the group: the entries it
// wrote read their lines from the file (mapped again after a whole write,
// the mapping grown after an append) instead of memory.
void FollowIndexWrite(GroupEntry& group, const IndexWrite& write);

// Prepare, record, commit and empty the record, without syncing. With a
// null `record`, the append is not protected.
bool ApplyIndexWrite(IndexWrite& write, CSaveRecord* record);

// Replaces the file at `path` with `content` so that a reader only ever sees
// the old file or the new one: the bytes go to a temporary file in the same
// directory, which is then renamed over the old one. On failure the old file
// is untouched and false is returned.
bool ReplaceFileAtomically(const std::string& path, const std::string& content);
