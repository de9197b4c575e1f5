// Installing a verified download (what AuRunAutoUpdate does): the file is
// checked against the size and SHA-256 of its signed description once more,
// since it waited in a folder others can write; then a program package is
// kept for the user (a running program is never replaced), and a
// definitions database is loaded on trial before database.db becomes
// database.bak and the new file takes its place atomically. database.db is
// never left changed by a failure. Runs on the calling thread; takes a
// moment (the trial load).
#pragma once

#include <functional>
#include <string>

#include "update/update_description.h"

namespace tolvane {

class Machine;

// What installing a product's download means.
enum class UpdateInstallKind {
    // A program package: a running program is never replaced, so the
    // verified package is kept in the Updates folder for the user to install.
    ProgramPackage,
    // database.db: loaded on trial first; then database.db becomes
    // database.bak and the new file takes its place atomically.
    DefinitionsDatabase,
};

enum class UpdateInstallOutcome {
    ProgramPackageKept,    // the verified package waits in the Updates folder
    DefinitionsInstalled,  // database.db replaced, the old one kept as database.bak
    NotLoadable,           // the downloaded database does not load; database.db untouched
    Failed,                // nothing downloaded, or the files could not be changed
};

struct UpdateInstallResult {
    UpdateInstallOutcome outcome = UpdateInstallOutcome::Failed;
    std::string message;          // what to tell the user
    std::string packagePath;      // ProgramPackageKept: the package, a Windows path
    std::string packageHostPath;  // the same on the host
    double installedVersion = 0;  // DefinitionsInstalled: the new definitions version
    std::string installedDate;    // DefinitionsInstalled: their release date (or the offer's)
};

struct UpdateInstallation {
    Machine* machine = nullptr;
    std::string displayName;  // "Tolvane Database"
    UpdateInstallKind kind = UpdateInstallKind::ProgramPackage;
    UpdateDescription offer;  // the signed description the download was checked against
    // That description's exact text and its signature file, kept beside an
    // installed database.db so that later runs can check it
    // (kInstalledDescriptionSuffix).
    std::string descriptionText;
    std::string descriptionSignature;
    std::string downloadPath;                          // the verified download, a Windows path
    std::function<void(const std::string& line)> log;  // may be empty
};

// Beside an installed database.db: the signed update description it came
// with ("database.db.update") and its signature file ("database.db.update.sig").
inline constexpr char kInstalledDescriptionSuffix[] = ".update";

UpdateInstallResult InstallUpdate(const UpdateInstallation& installation);

// The Updates folder of the application folder, a Windows path.
std::string UpdatesFolder();

}  // namespace tolvane
