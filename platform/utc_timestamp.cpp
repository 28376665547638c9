#include "platform/utc_timestamp.h"

#include <cstdio>

namespace fpbench {

std::string FormatUtcTimestamp(const platform::UtcTime& time) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", time.year, time.month,
                  time.day, time.hour, time.minute, time.second, time.milliseconds);
    return text;
}

std::string UtcTimestamp() { return FormatUtcTimestamp(platform::CurrentUtcTime()); }

}  // namespace fpbench
