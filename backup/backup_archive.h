// BackupArchive: the backup of the objects about to be removed into a zip
// archive (default "TolvaneBackup.zip" in the program's Quarantine folder),
// assembled in the work folder "%TEMP%\TolvaneBackup":
//
// - "1", "2", ...: the copy of each file object, numbered in list order;
// - "N\...": the copy of a folder object with its whole tree, stored in the
//   archive as entries "N/relative/path" (empty folders as "N/relative/"),
//   so that folders' files never clash with each other or with other
//   entries and restore can put the whole folder back;
// - "Config.ini": one record per file or folder object,
//   "[TYPE:FILE]", "[NAME:N]", "[PATH:full path]", each line ending in
//   CR CR LF;
// - "regbackup.reg": the registry keys and values (registry_export.h); a
//   value recognised by its data is saved by its name, unless it is a
//   browser setting that the removal leaves to the browser reset;
// - "hostsbackup.ini", when hosts entries were marked: every hosts-file line
//   that contains a marked entry, as "[FILE:hosts file path]" and
//   "[LINE:the line as it stands]", each line ending in CR LF. Archives
//   without it still restore.
//
// The work folder is emptied at the start of every backup and removed with
// everything in it once the archive is written (or could not be).
#pragma once

#include <string>

namespace tolvane {

class Machine;
class ObjectRows;
class RemovalView;

namespace backup_text {
inline constexpr const char* kNothingToBackup = "No objects selected to backup";
inline constexpr const char* kBackupCreated = "Backup created sucessfullly";
inline constexpr const char* kBackupFailed =
    "The backup archive could not be written. Nothing was saved.";
inline constexpr const char* kConfigFile = "Config.ini";
inline constexpr const char* kRegistryFile = "regbackup.reg";
inline constexpr const char* kHostsFile = "hostsbackup.ini";
}  // namespace backup_text

// What the marked rows leave in the work folder besides the copies.
struct StagedBackup;

class BackupArchive {
  public:
    BackupArchive(Machine& machine, RemovalView& view);

    // The backup command: marks the objects of the checked rows (and clears
    // every other row's mark); with no checked row says so and stops;
    // otherwise creates the backup and reports its success, or that the
    // archive could not be written. True when an archive was written.
    bool MarkCheckedForBackup(ObjectRows& rows);

    // Asks for the archive's path and saves every marked object of the rows
    // in list order. False when the user cancelled, or when the work folder
    // could not be emptied, a marked file or folder that exists could not be
    // copied or the archive could not be written whole; then no archive is
    // left (an earlier one of that name stays).
    bool CreateBackup(ObjectRows& rows);

    // Why the last backup wrote no archive, as a sentence ("The folder
    // /root/x does not exist."); "" when it was cancelled or written.
    std::string Failure() const;
    // The last backup was asked for and failed (not cancelled).
    bool Failed() const { return writeFailed_; }

    // "%TEMP%\TolvaneBackup"
    std::string WorkFolder() const;
    // "C:\Program Files\Tolvane\Quarantine"
    static std::string QuarantineFolder();
    // "...\Quarantine\TolvaneBackup.zip"
    static std::string DefaultArchivePath();

  private:
    // The Save As dialog's archive path, ".zip" added when it has no
    // extension; false when cancelled or its folder does not exist (then
    // writeFailed_ is set). A file the user chose outside the machine's
    // folder (a Linux path, Z:) becomes hostTarget_, and the archive is
    // assembled at WorkFolder().zip and copied there.
    bool ChooseArchivePath(std::string* archivePath);
    bool ChooseHostTarget(std::string* archivePath);
    // Copies the assembled archive to hostTarget_ with the rights Tolvane
    // runs as (the machine owner's once root gave them up), 0600, replacing
    // whatever stands under its name without following it; the assembled
    // one is deleted.
    bool CopyToHostTarget(const std::string& archivePath);
    // Notes that the backup failed; the first reason is the one told.
    void Fail(const std::string& why);
    // Copies each object marked for backup into the work folder (a file or
    // folder under its number) and gathers the records; false when something
    // that exists could not be copied.
    bool StageMarkedObjects(ObjectRows& rows, const std::string& work, StagedBackup* staged);
    // Opens the archive, stages the marked objects in work and adds them;
    // false when the archive could not be written whole (none is left).
    bool AssembleArchive(ObjectRows& rows, const std::string& work, const std::string& archivePath);
    // The hosts-file lines a removal of the entry takes out, as records of
    // kHostsFile.
    std::string HostsLinesRecords(const std::string& entry) const;
    Machine& machine_;
    RemovalView& view_;
    bool writeFailed_ = false;
    std::string failure_;     // the first reason of the last backup's failure
    std::string hostTarget_;  // the host file chosen outside the machine
};

// Deletes a folder with everything in it (no programs ended, nothing
// unregistered: for the program's own work folders). True when it is gone.
bool DeleteFolderTree(Machine& machine, const std::string& folder);

}  // namespace tolvane
