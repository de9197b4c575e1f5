// The demo machine: a small prefix shaped as Wine makes one (no Wine
// needed), with Tolvane installed in C:\Program Files\Tolvane\ and the traces
// the demo threats of data/definitions.xml leave: files, folders, registry
// keys and values (among them a hijacked start page), hosts entries, browser
// helper objects and, unless turned off, two running programs that look like
// Windows programs of the prefix (copies of sleep started under their
// Windows path with WINEPREFIX set). Some traces are locked: a read-only
// folder, and the running programs' own files, which they map.
#pragma once

#include <string>
#include <vector>

namespace tolvane::demo {

struct DemoOptions {
    std::string dataFolder;  // holds database.db (and script.db) to install
    bool startProcesses = true;
    unsigned processSeconds = 3600;  // how long the planted programs run
};

// Marks a folder as a demo machine (reset removes only such folders).
inline constexpr const char* kDemoMarker = ".tolvane-demo";

// Makes the machine in dir (missing or empty). False and *error on failure.
bool CreateDemoMachine(const std::string& dir, const DemoOptions& options, std::string* error);
// Ends its planted programs, removes it and makes it anew.
bool ResetDemoMachine(const std::string& dir, const DemoOptions& options, std::string* error);
// Ends the planted programs (every program of the prefix); their count.
int StopDemoProcesses(const std::string& dir);
// The user the profile is named after (the Unix user, as Wine does).
std::string DemoUser();

}  // namespace tolvane::demo
