#include "update/update_installer.h"

#include "definitions/load_definitions.h"
#include "definitions/placeholders.h"
#include "definitions/threat_database.h"
#include "host/sha256.h"
#include "machine/machine.h"
#include "update/update_signature.h"
#include "update/version_text.h"

namespace tolvane {

namespace {

bool HashFile(FileSystem& files, const std::string& path, uint64_t* size, std::string* sha256) {
    File file;
    if (!files.OpenFile(path, FileOpenMode::Read, &file)) return false;
    Sha256 hash;
    std::string buffer(1 << 16, '\0');
    *size = 0;
    while (true) {
        size_t read = 0;
        if (!file.Read(buffer.data(), buffer.size(), &read)) return false;
        if (read == 0) break;
        hash.Update(std::string_view(buffer.data(), read));
        *size += read;
    }
    *sha256 = hash.FinishHex();
    return true;
}

UpdateInstallResult Result(UpdateInstallOutcome outcome, std::string message) {
    UpdateInstallResult result;
    result.outcome = outcome;
    result.message = std::move(message);
    return result;
}

void Log(const UpdateInstallation& installation, const std::string& what) {
    if (installation.log) installation.log("update: " + installation.displayName + ": " + what);
}

UpdateInstallResult KeepProgramPackage(const UpdateInstallation& installation) {
    FileSystem& files = installation.machine->files();
    UpdateInstallResult result;
    result.outcome = UpdateInstallOutcome::ProgramPackageKept;
    result.packagePath = installation.downloadPath;
    result.packageHostPath =
        files.ToHostPath(installation.downloadPath).value_or(installation.downloadPath);
    const std::string& name = installation.displayName;
    result.message = name + " v" + FormatVersion(installation.offer.version) +
                     " has been downloaded and verified:\n" + result.packageHostPath +
                     "\n\nThe running program is not replaced. Close " + name +
                     " and install the new version from this file.";
    return result;
}

// database.db becomes database.bak, the download database.db; both written
// through a temporary file and a rename.
bool ReplaceDatabase(const UpdateInstallation& installation, std::string* message) {
    FileSystem& files = installation.machine->files();
    const std::string application = ShellFolders::ApplicationFolder();
    const std::string database = application + "database.db";
    const std::string backup = application + "database.bak";
    std::string content;
    if (files.PathFileExists(database) && (!files.ReadWholeFile(database, &content) ||
                                           !files.WriteWholeFileAtomic(backup, content))) {
        Log(installation, "cannot keep " + database + " as " + backup);
        *message =
            "The current definitions could not be kept as database.bak.\n"
            "database.db has not been changed.";
        return false;
    }
    if (!files.ReadWholeFile(installation.downloadPath, &content) ||
        !files.WriteWholeFileAtomic(database, content)) {
        Log(installation, "cannot replace " + database);
        *message = "database.db could not be replaced; it has not been changed.";
        return false;
    }
    // Without its signed description a later run cannot tell this database
    // from one planted in the machine and uses the shipped one instead.
    const std::string description = database + kInstalledDescriptionSuffix;
    if (!files.WriteWholeFileAtomic(description, installation.descriptionText) ||
        !files.WriteWholeFileAtomic(description + kUpdateSignatureSuffix,
                                    installation.descriptionSignature))
        Log(installation, "cannot keep the signed update description as " + description);
    return true;
}

UpdateInstallResult InstallDefinitions(const UpdateInstallation& installation) {
    Machine& machine = *installation.machine;
    FileSystem& files = machine.files();
    // The new file must load before anything changes.
    ThreatDatabase trial;
    LoadReport report;
    if (!LoadDefinitions(files, installation.downloadPath,
                         PlaceholderFolders::FromShell(machine.shell()), &trial, &report) ||
        trial.definitions().empty()) {
        files.DeleteFile(installation.downloadPath);
        Log(installation,
            installation.downloadPath + " does not load as a definitions database; removed");
        return Result(UpdateInstallOutcome::NotLoadable,
                      "The downloaded definitions database could not be loaded.\n"
                      "database.db has not been changed.");
    }
    std::string message;
    if (!ReplaceDatabase(installation, &message)) {
        return Result(UpdateInstallOutcome::Failed, message);
    }
    files.DeleteFile(installation.downloadPath);
    UpdateInstallResult result = Result(UpdateInstallOutcome::DefinitionsInstalled, "");
    result.installedVersion = VersionNumberFromText(trial.version());
    result.installedDate = IsUpdateDate(trial.date()) ? trial.date() : installation.offer.date;
    result.message = "The definitions database has been updated to version " +
                     FormatVersion(result.installedVersion) +
                     ".\nThe previous database was kept as database.bak.";
    return result;
}

}  // namespace

std::string UpdatesFolder() {
    return ShellFolders::ApplicationFolder() + "Updates";
}

UpdateInstallResult InstallUpdate(const UpdateInstallation& installation) {
    if (!installation.machine || installation.downloadPath.empty()) {
        return Result(UpdateInstallOutcome::Failed, "There is no downloaded update to install.");
    }
    FileSystem& files = installation.machine->files();
    uint64_t size = 0;
    std::string sha256;
    if (!HashFile(files, installation.downloadPath, &size, &sha256) ||
        size != installation.offer.size || sha256 != installation.offer.sha256) {
        files.DeleteFile(installation.downloadPath);
        Log(installation, installation.downloadPath + " changed after its download; removed");
        return Result(UpdateInstallOutcome::Failed,
                      "The downloaded update changed after its download and was removed.\n"
                      "Nothing was installed.");
    }
    if (installation.kind == UpdateInstallKind::ProgramPackage) {
        return KeepProgramPackage(installation);
    }
    return InstallDefinitions(installation);
}

}  // namespace tolvane
