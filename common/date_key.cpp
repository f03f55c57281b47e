#include "common/date_key.h"

#include "common/text.h"

bool LocalTime(time_t t, struct tm& out) {
    return localtime_r(&t, &out) != nullptr;
}

int64_t DateHourKey(time_t t) {
    struct tm tm;
    if (!LocalTime(t, tm)) return -1;
    return ((static_cast<int64_t>(tm.tm_year) + 1900) * 1000000) + (tm.tm_mon + 1) * 10000 +
           tm.tm_mday * 100 + tm.tm_hour;
}

std::string DateHourText(time_t t) {
    struct tm tm;
    if (!LocalTime(t, tm)) return std::string();
    return Format("%04d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour);
}
