// The operation log's text, kept as bytes so that trimming counts bytes of
// the system code page exactly.
#pragma once

#include <string>

constexpr size_t kLogTrimThreshold = 30720;  // trim when longer than this
constexpr size_t kLogTrimCut = 10240;        // bytes dropped from the front

// Appends `text` to `log`. When `log` is longer than kLogTrimThreshold before
// the append, its first kLogTrimCut bytes are dropped first, together with the
// rest of the line they cut into (through its CR LF; the whole remainder when
// it holds no CR LF), so the log again starts at the beginning of an entry.
// Returns true when a trim happened.
bool AppendLogText(std::string& log, const std::string& text);
