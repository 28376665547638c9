// Numbers as text, byte-identical on every platform: no locale (process-wide
// or imbued) and no C runtime is consulted.
#pragma once

#include <string>

namespace fpbench {

// printf's %.<precision>g in the "C" locale.
std::string FormatGeneral(double value, int precision);
// printf's %.<decimals>f in the "C" locale.
std::string FormatDecimals(double value, int decimals);
// A change in percent with its sign and `decimals` decimals ("+1.2 %",
// "-0.5 %"); one that rounds to nothing has none ("0.0 %").
std::string FormatChange(double percent, int decimals);
// A p-value with two significant digits; "< 0.0001" below that.
std::string FormatPValue(double p);

}  // namespace fpbench
