// The group index file Message.lst: a counter line, then one line per
// article with the data of its ArticleEntry.
#pragma once

#include <string>

#include "store/records.h"

// Reads the index file at `path` into `group`: sets the three counters from
// the counter line and appends one entry per article line. Lines of the wrong
// shape are skipped. Leaves `dirty` alone. False when the file cannot be
// opened.
bool ReadGroupIndex(const std::string& path, GroupEntry& group);

// Same, from the file's text (CR LF already read as LF).
void ParseGroupIndex(const std::string& content, GroupEntry& group);

// The exact bytes of the index file for `group`, CR LF line ends included.
std::string FormatGroupIndex(const GroupEntry& group);

// The index line of one article, CR LF included.
std::string FormatIndexLine(const ArticleEntry& article);

// Appends the overview line of `article` as XOVER sends it, with `number`
// in the first field: number, subject, from, date, Message-ID, references,
// bytes, lines, TAB-separated, CR LF at the end.
void AppendOverviewLine(std::string& out, const ArticleEntry& article, int number);

// Writes the index file of `group`: PlanIndexWrite, then ApplyIndexWrite;
// when an append finds the file other than planned (changed or removed by
// hand), the whole file is written instead. The file ends up byte for byte
// what FormatGroupIndex gives. False when the file cannot be written; it then
// still loads as before, and the next write replaces it whole.
bool WriteGroupIndex(const std::string& path, GroupEntry& group);

// One change of an index file, planned where the group's records live and
// carried out there or, when writes are synced, on the sync worker.
//
// An append patches the counter line in place and adds lines at the end, two
// writes that a crash could separate. So before either, the save record (see
// SaveRecordPath) is written beside the index: the new counter line and the
// new lines, with the size of the file they go to. A start-up that finds a
// whole record completes the save from it (RecoverIndexSave); a record cut
// short means the index was not touched yet. Either way the index loads with
// counters that belong to its lines.
struct IndexWrite {
    std::string path;            // the group's Message.lst
    bool whole = true;           // replace the file with `bytes`; else append
    long long oldSize = 0;       // append: the file's size before
    std::string oldCounterLine;  // append: its first line before, CR LF included
    std::string counterLine;     // append: the new first line, of the same length
    std::string bytes;           // the whole file, or the lines to append
    int fd = -1;                 // append: the index, open from Prepare to Commit

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

class IFileSync;

// The first half of a write, which readers of the index do not see: opens
// the index, checks that it still has the size the plan saw and writes the
// save record (an append), or writes the new file under its temporary name
// after removing any record left over (a whole file). With `sync`, what was
// written is on disk before it returns; the names it created still need
// their directory synced. False when the file is not as planned or the step
// fails; nothing is left behind or open then. After true, CommitIndexWrite
// must follow.
bool PrepareIndexWrite(IndexWrite& write, IFileSync* sync);

// The second half: puts the new lines and counters into the index and removes
// the record (an append), or renames the new file over the old one (a whole
// file). With `sync`, the index and its name are on disk before it returns.
// False on failure; an append that failed part-way is undone where possible,
// and otherwise its record stays for the next start to complete.
bool CommitIndexWrite(IndexWrite& write, IFileSync* sync);

// Both halves at once, without syncing.
bool ApplyIndexWrite(IndexWrite& write);

// Where the save record of the index at `path` is kept: beside it, under a
// name that neither the rebuild nor expiry takes for an article.
std::string SaveRecordPath(const std::string& indexPath);

enum class SaveRecovery {
    None,       // no record: the last save finished or never began
    Completed,  // a whole record was found and the save carried out from it
    Discarded,  // the record was cut short or belongs to another file; the
                // index is as the save before left it
    Failed,     // the record is whole but the index could not be written
};

// Run at start-up, before the index at `indexPath` is read: carries out what
// an append interrupted by a crash left in the save record, then removes the
// record (except after Failed). With `sync`, the completed index is on disk
// before the record goes. Redoing a save that had finished changes nothing.
SaveRecovery RecoverIndexSave(const std::string& indexPath, IFileSync* sync);

// Replaces the file at `path` with `content` so that a reader only ever sees
// the old file or the new one: the bytes go to a temporary file in the same
// directory, which is then renamed over the old one. On failure the old file
// is untouched and false is returned.
bool ReplaceFileAtomically(const std::string& path, const std::string& content);
