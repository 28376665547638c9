// Numbers as text, byte-identical on every platform: no locale (process-wide
// or imbued) and no C runtime is consulted.
#pragma once

#include <string>

namespace fpbench {

// printf's %.<precision>g in the "C" locale.
std::string FormatGeneral(double value, int precision);
// printf's %.<decimals>f in the "C" locale.
std::string FormatDecimals(double value, int decimals);

}  // namespace fpbench
