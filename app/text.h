// Conversions between UTF-16/UTF-32 wide text and UTF-8. Empty in, empty out;
// what cannot be converted is replaced by U+FFFD, never reported.
#pragma once

#include "platform/platform.h"

namespace fpbench {
using platform::Utf8FromWide;
using platform::WideFromUtf8;
}  // namespace fpbench
