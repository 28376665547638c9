// The Windows program's entry. The command line string handed to wWinMain is
// not used: the arguments come from CommandLineToArgvW.
#include <windows.h>

#include "app/entry.h"
#include "platform/platform.h"
#include "ui/window_mode.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    fpbench::platform::InitializeProcess();
    fpbench::EntryRoads roads;
    roads.window = [&](const fpbench::RunOptions& options) {
        return fpbench::RunWindowMode(instance, show, options);
    };
    return fpbench::RunEntry(fpbench::platform::CommandLineArguments(), roads);
}
