// Which copy of a database a run uses. The machine's application folder may
// hold a database.db or script.db the malware planted (a decoy that hides
// it, or scripts that run with the machine's rights), so the machine's copy
// counts only when this computer vouches for it:
//   - it is byte for byte the shipped one (the host's shipped data folder), or
//   - (database.db) an update installed it: the signed update description
//     kept beside it ("database.db.update" and its ".sig") verifies against
//     a trusted update key, names exactly these bytes (SHA-256), and its
//     version is not below the shipped one's.
// Otherwise the shipped copy is used and the note says why. With no shipped
// folder given (tests and builds without shipped data) the machine's copy
// is all there is and is used as it stands.
//
// A user's own definitions file (--definitions FILE, the File menu) is a
// host file the user chose: read as a regular file with a size cap, trusted.
//
// A Windows installation is not looked in at all: no run of Tolvane writes
// into it, so a database.db there is no copy of ours, and it is scanned with
// the shipped databases where they lie on the host.
//
// Pure reads; errors are values; thread-safe.
#pragma once

#include <string>
#include <vector>

#include "update/update_installer.h"

namespace tolvane {

class FileSystem;
class Machine;

// The largest database file read from the host.
inline constexpr size_t kMaxHostDatabaseBytes = 256u << 20;

struct DatabaseChoice {
    bool found = false;  // some copy is there to use
    std::string stored;  // its bytes (the container)
    std::string origin;  // where they came from, for the notes
    std::string note;    // why the machine's copy is not used; "" when it is
    // The shipped bytes or a verified update: only then may its compiled
    // content rules load (a machine's copy used as it stands, when no
    // shipped folder is given, is not vouched for).
    bool vouched = false;
};

// name is the file's name ("database.db", "script.db") in the machine's
// application folder and in shippedFolder.
DatabaseChoice ChooseDatabase(const FileSystem& files, const std::string& name,
                              const std::string& shippedFolder,
                              const std::vector<std::string>& trustedKeys);

// The definitions (database.db) a run on this machine uses: the user's own
// file when userFile is not "", else the machine's copy where this computer
// vouches for it (ChooseDatabase, a machine that keeps Tolvane's state
// inside only), else the shipped one. shippedFolder is the host folder the
// machine's copy is held to; for an installation "" means the folder
// ShippedDataFolder() finds. Not found with the note saying why when the
// user's file cannot be read.
DatabaseChoice ChooseDefinitions(const Machine& machine, const std::string& userFile,
                                 const std::string& shippedFolder,
                                 const std::vector<std::string>& trustedKeys);

// A host file the user named: a regular file of at most kMaxHostDatabaseBytes
// (links followed: the user chose the name). False with *error saying why.
bool ReadUserDatabaseFile(const std::string& hostPath, std::string* stored, std::string* error);

}  // namespace tolvane
