// The start-up entries of a machine: every program, library or script the
// machine starts by itself, read from the auto-start locations of the table
// (location_table.h) through the machine layer only (its Registry and
// FileSystem), the same way for a Wine prefix and a Windows installation.
//
// Registry locations are read in the machine's hives and, for SOFTWARE, in
// its 32-bit view (Wow6432Node) too; "ControlSet*" is the control set that
// SYSTEM\Select\Current names, else CurrentControlSet; user locations are
// read for every user HKEY_USERS lists (their classes below
// Software\Classes). A CLSID is resolved to its InprocServer32 file
// (following TreatAs at most a few steps). Files are listed and read through
// the machine's FileSystem; shortcuts and task files are parsed from the
// bytes read (shortcut_reader.h, task_reader.h).
//
// Reads only. Whatever the machine holds (damaged task XML, garbage
// shortcuts, values of the wrong type, very long command lines, CLSID loops,
// huge keys) gives a note in the listing, never a failure. Not thread-safe
// for one machine's listing; separate machines may be listed at once.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "startup/location_table.h"

namespace tolvane {

class Machine;
class ThreatDatabase;

// What is known of the file an entry starts (file_facts.cpp). Read once in
// a listing and shared by every entry that starts the same file.
struct StartupFileFacts {
    bool exists = false;
    uint64_t size = 0;
    std::string sha256;  // lower-case hex, "" when the file could not be read
    // Of a PE file (host/pe_facts.h): its version resource's names (CP1252)
    // and whether it carries an Authenticode signature, present but not verified.
    bool pe = false;
    std::string company, product, description;
    bool signature = false;
    bool wineBuiltin = false;  // carries the marker of Wine's builtin or placeholder files
    // Flags.
    bool missing = false;       // the file named does not exist
    bool userWritable = false;  // in AppData, Temp, ProgramData, Public or the Recycle Bin
    std::string threat;         // the definition that matches the file, "" for none
    bool notSigned = false;     // a PE file without a signature
};

struct StartupEntry {
    std::string location;  // "HKLM\...\Run", a service's key, a task's or a shortcut's path
    std::string name;      // the value, service or file name
    std::string command;   // as stored (a shortcut's or task's target and arguments)
    std::string file;      // the Windows path that runs, "" when none could be had
    LocationKind kind = LocationKind::Values;  // the family of the location that listed it
    StartupFileFacts facts;                    // of file
    bool enabled =
        true;  // a disabled service (Start 4) or task, StartupApproved off (odd first byte)
    // Flags.
    bool scriptHost = false;  // run through cmd, powershell, wscript, cscript, mshta
    bool wines = false;       // one of Wine's own (its builtin files, a fresh prefix's)
    // One of Windows' own: a file in its system folders that claims Microsoft
    // and carries a signature, started by the entry in the plain way (see
    // file_facts.cpp). Hidden by default like Wine's.
    bool windows = false;
    bool isNew = false;  // not in this machine's previous listing
};

struct StartupListing {
    std::vector<StartupEntry> entries;
    std::vector<std::string> notes;  // what could not be read, and why
};

// Whether an entry is worth the user's attention (exit status 1).
bool IsFlagged(const StartupEntry& entry);

// What a listing is made from besides the machine.
struct StartupSources {
    std::vector<StartupLocation> table;
    // The entries of a fresh Wine prefix (WineStockKey of each): marked as Wine's.
    std::set<std::string> wineStock;
    const ThreatDatabase* definitions = nullptr;  // null: no definition is matched
    // Whether Wine's builtin files are read whole, for their SHA-256 and PE
    // facts. A listing that hides Wine's entries may leave them at their
    // marker: a fresh prefix's start-up files are over 100 MB.
    bool readWineFiles = true;
};

StartupListing ListStartupEntries(Machine& machine, const StartupSources& sources);

// How the stock list names an entry: location, name and command, tab-separated,
// in lower case.
std::string WineStockKey(const StartupEntry& entry);
// The stock list's text: one WineStockKey a line; '#' starts a comment line.
std::set<std::string> ParseWineStock(std::string_view text);

// The stock list's file name in the shipped data folder.
inline constexpr const char* kWineStockFileName = "wine-stock-startup.txt";

}  // namespace tolvane
