// What every command of the headless program is given: the options before
// the command word and the words after it, and the streams to write to.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace tolvane {

class Machine;

struct HeadlessOptions {
    std::string machinePath;         // --machine PREFIX (default: $WINEPREFIX, else ~/.wine)
    bool json = false;               // --json: one JSON document on stdout
    std::vector<std::string> words;  // the command word and its arguments
};

// Exit statuses shared by the commands.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Opens the machine the options name; prints why not on err.
std::unique_ptr<Machine> OpenHeadlessMachine(const HeadlessOptions& options, std::ostream& err);

// First start on a machine: copies each shipped database (database.db,
// script.db) into the application folder where it is missing; an existing
// file is never replaced. Returns false only when database.db is missing
// afterwards.
bool InstallShippedDatabases(Machine& machine, std::ostream& err);

// The commands, one file each.
int RunScanCommand(const HeadlessOptions& options, std::ostream& out, std::ostream& err);

}  // namespace tolvane
