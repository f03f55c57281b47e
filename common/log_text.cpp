#include "common/log_text.h"

bool AppendLogText(std::string& log, const std::string& text) {
    bool trimmed = false;
    if (log.size() > kLogTrimThreshold) {
        log.erase(0, kLogTrimCut);
        // The first line of what is left is removed whole, line break included,
        // even when the cut fell exactly at its start.
        size_t lineEnd = log.find("\r\n");
        log.erase(0, lineEnd == std::string::npos ? log.size() : lineEnd + 2);
        trimmed = true;
    }
    log += text;
    return trimmed;
}

void AppendJournalText(std::string& out, std::string_view text) {
    size_t start = 0;
    for (size_t cr = text.find('\r'); cr != std::string_view::npos; cr = text.find('\r', start)) {
        out.append(text, start, cr - start);
        start = cr + 1;
    }
    out.append(text, start, std::string_view::npos);
}
