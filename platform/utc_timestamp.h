// The run's time stamps: the system clock's UTC time as
// YYYY-MM-DDThh:mm:ss.mmmZ (24 characters). Below the engine, so that the run
// driver and the report folders read the same clock.
#pragma once

#include <string>

#include "platform/platform.h"

namespace fpbench {

std::string UtcTimestamp();
std::string FormatUtcTimestamp(const platform::UtcTime& time);

}  // namespace fpbench
