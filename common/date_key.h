// The date-hour key: a moment's local date and hour as the decimal number
// YYYYMMDDHH, so later hours give larger numbers.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// Local time broken down; false when the moment cannot be represented.
bool LocalTime(time_t t, struct tm& out);

// The key of `t` in 64 bits, so moments past the year 2147 still compare
// correctly; -1 when the moment cannot be represented.
int64_t DateHourKey(time_t t);

// The key's text, "%04d%02d%02d%02d" of the local time of `t`.
std::string DateHourText(time_t t);
