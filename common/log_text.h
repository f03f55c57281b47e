// The operation log's text, kept as bytes so that trimming counts bytes of
// the system code page exactly.
#pragma once

#include <string>
#include <string_view>

constexpr size_t kLogTrimThreshold = 30720;  // trim when longer than this
constexpr size_t kLogTrimCut = 10240;        // bytes dropped from the front

// Appends `text` to `log`. When `log` is longer than kLogTrimThreshold before
// the append, its first kLogTrimCut bytes are dropped first, together with the
// rest of the line they cut into (through its CR LF; the whole remainder when
// it holds no CR LF), so the log again starts at the beginning of an entry.
// Returns true when a trim happened.
bool AppendLogText(std::string& log, const std::string& text);

// Appends `text` to `out` as the journal should receive it: every CR is
// dropped. The journal ends an entry at each LF and keeps a CR as part of
// the entry, where it turns the whole line into binary data; a CR LF line end
// thus becomes the LF that closes one entry, and a CR anywhere else goes too.
// Dropping every CR needs no look at the next text, so a line end split
// between two texts comes out the same.
void AppendJournalText(std::string& out, std::string_view text);
