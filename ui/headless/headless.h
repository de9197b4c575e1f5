// The headless front end: the same start-up and main controller as the
// window, driven from the command line with scripted views. Message boxes
// print their caption and text and take the next scripted answer; rows,
// counters and the log print as the commands go.
//
//   tolvane --headless [--machine PREFIX] [-s] [-b] [--json]
//           [--yes | --no | --answers LIST|FILE] [--folders A;B] [--save-as FILE]
//           [--open FILE] [COMMAND ARGS]...
#pragma once

#include <iosfwd>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tolvane {

class Machine;

struct HeadlessOptions {
    std::string machinePath;             // --machine PREFIX (default: $WINEPREFIX, else ~/.wine)
    bool json = false;                   // --json: one JSON document on stdout
    std::vector<std::string> words;      // the commands and their arguments, in order
    std::vector<std::string> arguments;  // every argument as given (the Windows line)
    std::vector<std::string> answers;    // --answers, --yes/--no below
    int fallback = 0;                    // 0 default button, 1 yes, 2 no
    bool haveFolders = false;
    std::vector<std::string> folders;  // --folders
    std::vector<std::string> saveAs;   // --save-as (repeatable)
    std::vector<std::string> open;     // --open (repeatable)
};

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The long options that take a value (they and their values are not part of
// the Windows command line).
const std::vector<std::string>& OptionsWithValue();

// Opens the machine the options name; prints why not on err.
std::unique_ptr<Machine> OpenHeadlessMachine(const HeadlessOptions& options, std::ostream& err);

// First start on a machine: copies each shipped database (database.db,
// script.db) into the application folder where it is missing; an existing
// file is never replaced. Returns false only when database.db is missing
// afterwards.
bool InstallShippedDatabases(Machine& machine, std::ostream& err);

// Runs start-up, the first tick and the commands in order.
int RunHeadless(const HeadlessOptions& options, std::ostream& out, std::ostream& err);

// The usage text (every command's help).
void PrintUsage(std::ostream& out);

// Each command word's help text (COMMAND --help), by word.
const std::map<std::string, const char*>& CommandHelp();

}  // namespace tolvane
