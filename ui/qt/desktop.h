// The desktop program's entry, free of Qt types so that the `tolvane` main
// can start it: `tolvane [--machine PREFIX] [-s] [-b]` opens the window on
// the machine (default: $WINEPREFIX, else ~/.wine).
#pragma once

#include <string>
#include <vector>

#include "machine/machine.h"

namespace tolvane {

struct DesktopOptions {
    std::string machinePath;             // "" for the default prefix
    MachineOptions machineOptions;       // --user, --drive (Windows installations)
    std::vector<std::string> arguments;  // the program's arguments (for -s and -b)
    std::string shippedDataFolder;       // "" to look next to the program and in ../data
    std::string definitionsFile;         // --definitions FILE: the user's own database
};

inline constexpr const char* kNoDisplayMessage =
    "tolvane: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); run "
    "`tolvane --headless --machine PREFIX scan smart` to scan without a window";

// True when a window can be shown: a display is set, or QT_QPA_PLATFORM
// names a platform that needs none (offscreen).
bool DesktopAvailable();

// A start that fails before the window exists (no such machine): when a
// window can be shown, the message is shown in a box (caption "Error") too,
// so that a start from a desktop launcher does not fail unseen.
void ShowStartFailure(int& argc, char** argv, const std::string& text);

// The machine the window opens: the one given, else the default prefix
// ($WINEPREFIX, else ~/.wine). Started without one by a user who has no
// default prefix (a gamer with Proton prefixes only, from the desktop menu),
// it is the first whole prefix --list-machines finds, which the status line
// names and File > "Open Machine..." changes; with none found, the default.
std::string StartMachinePath(const DesktopOptions& options);

// Runs the desktop program; its exit status. *error says why it could not
// start (no machine, no display) when the status is not 0.
int RunDesktop(int& argc, char** argv, const DesktopOptions& options, std::string* error);

}  // namespace tolvane
