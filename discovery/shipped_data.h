// Where the files Tolvane ships live on this computer: the databases
// (database.db, script.db) and the Windows launcher (Tolvane.exe) that are
// put into each machine on its first start.
//
// Looked for, in this order, relative to the running program (so that an
// installation works wherever it was unpacked): the program's own folder,
// ../share/tolvane (an installation: bin/tolvane beside share/tolvane), and
// ../data (the build folder: bin/tolvane beside data/); then the build's data
// folder named when the program was compiled. The first folder holding
// database.db wins. Reads only; thread-safe.
#pragma once

#include <string>
#include <vector>

namespace tolvane {

class Machine;

// The host folder holding the shipped files, "" when none was found.
std::string ShippedDataFolder();

// The databases Tolvane ships, by their file names.
inline constexpr const char* kShippedDatabases[] = {"database.db", "script.db"};

// Copies each shipped database from shippedFolder into the machine's
// application folder (made with its missing parents when needed) where it is
// missing there; a file present is never replaced (written atomically). A
// database not shipped (no regular file of that name) is passed over.
// Returns the names of the shipped ones that could not be installed. A
// machine that keeps no state of Tolvane's inside (a Windows installation)
// gets nothing: its scans read the shipped databases where they lie.
std::vector<std::string> InstallShippedDatabases(Machine& machine,
                                                 const std::string& shippedFolder);

// The host path of the running program ("" when /proc cannot say).
std::string RunningProgramPath();

// The name of the Windows launcher in the shipped folder and in the
// machine's application folder, and of the file beside it in the machine
// that names the Linux program it starts.
inline constexpr const char* kLauncherName = "Tolvane.exe";
inline constexpr const char* kLauncherHostFileName = "Tolvane.host";

// The installed documentation (Help): README.md in ../share/doc/tolvane
// beside the running program's folder, else the README of the sources a
// build was made from; "" when neither is there.
std::string InstalledDocumentation();

}  // namespace tolvane
