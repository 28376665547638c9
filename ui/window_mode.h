// The window mode of the Windows program: creates the main window, runs the
// message loop and shuts down; returns the exit code.
#pragma once

#include <windows.h>

#include "bench/records.h"

namespace fpbench {

int RunWindowMode(HINSTANCE instance, int show, const RunOptions& options);

}  // namespace fpbench
