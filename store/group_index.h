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

// Writes the index file of `group`. When the file on disk is known to hold
// a prefix of the list with the same counter-line length, only the new lines
// are appended and the counter line is rewritten in place; otherwise the
// whole file is replaced atomically. Either way the file ends up byte for
// byte what FormatGroupIndex gives. A crash part-way leaves a file that
// loads: at worst the new lines are there and the counters are the old ones.
// False when the file cannot be written; it then still loads as before.
bool WriteGroupIndex(const std::string& path, GroupEntry& group);

// Replaces the file at `path` with `content` so that a reader only ever sees
// the old file or the new one: the bytes go to a temporary file in the same
// directory, which is then renamed over the old one. On failure the old file
// is untouched and false is returned.
bool ReplaceFileAtomically(const std::string& path, const std::string& content);
