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
