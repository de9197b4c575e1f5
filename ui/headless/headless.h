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
#include <memory>
#include <string>
#include <vector>

#include "discovery/machine_discovery.h"
#include "machine/machine.h"

namespace tolvane {

class Machine;
class ScriptedViews;
struct Privileges;

struct HeadlessOptions {
    std::string machinePath;             // --machine PREFIX (default: $WINEPREFIX, else ~/.wine)
    MachineOptions machineOptions;       // --user NAME, --drive D=FOLDER (Windows installations)
    bool json = false;                   // --json: one JSON document on stdout
    std::vector<std::string> words;      // the commands and their arguments, in order
    std::vector<std::string> arguments;  // every argument as given (the Windows line)
    std::vector<std::string> answers;    // --answers, --yes/--no below
    int fallback = 0;                    // 0 default button, 1 yes, 2 no
    bool haveFolders = false;
    std::vector<std::string> folders;  // --folders
    std::vector<std::string> saveAs;   // --save-as (repeatable)
    std::vector<std::string> open;     // --open (repeatable)
    bool listMachines = false;         // --list-machines
    bool allMachines = false;          // --all-machines: the scan runs on every machine found
    std::vector<std::string> mounts;   // --mount FOLDER: a mounted Windows installation
    std::string launcherStatus;        // --launcher-status FILE (given by Tolvane.exe)
    std::string definitionsFile;       // --definitions FILE: the user's own database
    std::string clamdSocket;           // --clamd SOCKET: the user's clamd
    size_t* listedRows = nullptr;      // when set: the rows listed when the run ends
};

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
// A run with a scan command ends as virus scanners do: 0 nothing listed, 1
// something listed, 2 an error (bad usage, a machine that cannot be opened,
// a failed start-up).
inline constexpr int kExitScanClean = 0;
inline constexpr int kExitScanListed = 1;
inline constexpr int kExitScanError = 2;

// The long options that take a value (they and their values are not part of
// the Windows command line).
const std::vector<std::string>& OptionsWithValue();

// Opens the machine the options name; prints why not on err. Run as root,
// it first takes on the machine owner's rights (OpenMachineAsOwner);
// *privileges says which rule applies.
std::unique_ptr<Machine> OpenHeadlessMachine(const HeadlessOptions& options, std::ostream& err,
                                             Privileges* privileges);

// First start on a machine: installs the shipped databases (see
// InstallShippedDatabases), saying on err which could not be, and the
// Windows launcher. Returns false only when database.db is missing
// afterwards.
bool InstallShippedFiles(Machine& machine, std::ostream& err);

// The scripted views' answers (--yes, --no, --answers) and file dialog
// paths (--save-as, --open, Linux paths taken through the machine's drives)
// with the save dialog's checks on the machine's drives.
void ScriptViews(const HeadlessOptions& options, Machine& machine, ScriptedViews& views);

// startup [--all] [--weekly]: the machine's start-up entries
// (startup/startup_entries.h), Wine's own hidden without --all, those new
// since the last listing marked (--weekly: only those new since the last
// weekly listing shown). Returns the scan statuses above: 1 when an entry
// shown is flagged. startup remove [--with-file] | disable | enable N...:
// the rows of the last listing (app/startup_actions.h); kExitOk when all was
// done, kExitFailure when refused, declined or partly done, kExitUsage.
int RunStartupCommand(const HeadlessOptions& options, std::ostream& out, std::ostream& err);

// Runs start-up, the first tick and the commands in order.
int RunHeadless(const HeadlessOptions& options, std::ostream& out, std::ostream& err);

// The machines of this user (discovery/machine_discovery.h), with the
// mounted Windows installations given besides the NTFS mounts.
std::vector<FoundMachine> FindUserMachines(const std::vector<std::string>& windowsFolders);
// --list-machines: one line each (path, kind, where found, damage), or JSON.
int ListMachines(const std::vector<FoundMachine>& machines, bool json, std::ostream& out);
// --all-machines: the options' scan on each machine in turn, a header line
// before each and a total at the end (--json: one document, a section per
// machine). A damaged machine or one that fails to start is reported and the
// next one scanned. A Windows installation is scanned only when given with
// --mount (options.mounts); one found mounted is listed as skipped. Each
// machine is scanned in a child process of its own, which takes that
// machine's owner's rights (OpenMachineAsOwner gives up root for good); a run
// not started as root scans only the prefixes its user owns and lists
// another's as "owned by NAME: not scanned".
// Returns the scan statuses above over all machines.
int ScanAllMachines(const HeadlessOptions& options, const std::vector<FoundMachine>& machines,
                    std::ostream& out, std::ostream& err);

// The usage text (every command's help).
void PrintUsage(std::ostream& out);

// A command word's help text (COMMAND --help); nullptr for no command.
const char* CommandHelp(const std::string& word);

}  // namespace tolvane
