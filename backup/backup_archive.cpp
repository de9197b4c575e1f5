#include "backup/backup_archive.h"

#include "backup/archive_reader.h"
#include "backup/archive_writer.h"
#include "platform/machine.h"
#include "regfile/registry_export.h"
#include "removal/object_rows.h"
#include "removal/removal_view.h"
#include "settings/settings_store.h"

namespace tolvane {
namespace {

constexpr int kMaxDepth = 64;
constexpr RootKey kBackupRoots[] = {RootKey::ClassesRoot, RootKey::CurrentUser,
                                    RootKey::LocalMachine, RootKey::Users};

bool IsFolder(const FileSystem& files, const std::string& path) {
    uint32_t attributes = files.GetFileAttributes(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string StripTrailingBackslashes(std::string path) {
    while (path.size() > 3 && path.back() == '\\') path.pop_back();
    return path;
}

bool DeleteTree(FileSystem& files, const std::string& folder, int depth) {
    if (depth > kMaxDepth) return false;
    FindHandle handle;
    FindData entry;
    bool ok = true;
    if (files.FindFirstFile(folder + "\\*.*", &handle, &entry)) {
        do {
            if (entry.name == "." || entry.name == "..") continue;
            std::string full = folder + "\\" + entry.name;
            if ((entry.attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                // A linked folder goes as a link: what it leads to is not ours.
                ok = files.RemoveDirectory(full) && ok;
            } else if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                ok = DeleteTree(files, full, depth + 1) && ok;
            } else {
                files.SetFileAttributes(full, FILE_ATTRIBUTE_NORMAL);
                ok = files.DeleteFile(full) && ok;
            }
        } while (handle.Next(&entry));
    }
    files.SetFileAttributes(folder, FILE_ATTRIBUTE_NORMAL);
    return files.RemoveDirectory(folder) && ok;
}

// Copies the folder's whole tree to target (created); false when something
// could not be copied.
bool CopyTree(FileSystem& files, const std::string& from, const std::string& to, int depth) {
    if (depth > kMaxDepth || !files.CreateDirectory(to)) return false;
    FindHandle handle;
    FindData entry;
    bool ok = true;
    if (files.FindFirstFile(from + "\\*.*", &handle, &entry)) {
        do {
            if (entry.name == "." || entry.name == "..") continue;
            std::string source = from + "\\" + entry.name;
            std::string target = to + "\\" + entry.name;
            if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                ok = CopyTree(files, source, target, depth + 1) && ok;
            } else {
                ok = files.CopyFile(source, target, false) && ok;
            }
        } while (handle.Next(&entry));
    }
    return ok;
}

std::string ManifestRecord(int number, const std::string& path) {
    // Written as text through the C runtime, each "\r\n" became CR CR LF on
    // disk; restore reads either.
    return "[TYPE:FILE]\r\r\n[NAME:" + std::to_string(number) + "]\r\r\n[PATH:" + path + "]\r\r\n";
}

std::string WithDefaultExtension(std::string path) {
    size_t slash = path.find_last_of('\\');
    std::string_view name =
        std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    if (name.find('.') == std::string_view::npos) path += ".zip";
    return path;
}

}  // namespace

bool DeleteFolderTree(Machine& machine, const std::string& folder) {
    FileSystem& files = machine.files();
    std::string path = StripTrailingBackslashes(FileSystem::NormalizePath(folder));
    if (!files.PathFileExists(path)) return true;
    if (!IsFolder(files, path)) return false;
    DeleteTree(files, path, 0);
    return !files.PathFileExists(path);
}

BackupArchive::BackupArchive(Machine& machine, RemovalView& view)
    : machine_(machine), view_(view) {}

std::string BackupArchive::WorkFolder() const {
    return FileSystem::NormalizePath(machine_.files().TempPath() + "\\TolvaneBackup");
}

std::string BackupArchive::QuarantineFolder() {
    return SettingsStore::ApplicationFolder() + "Quarantine";
}

std::string BackupArchive::DefaultArchivePath() {
    return QuarantineFolder() + "\\TolvaneBackup.zip";
}

bool BackupArchive::MarkCheckedForBackup(ObjectRows& rows) {
    size_t checked = 0;
    for (size_t row = 0; row < rows.RowCount(); ++row) {
        bool mark = rows.IsRowChecked(row);
        rows.SetRowBackupMark(row, mark);
        if (mark) ++checked;
    }
    if (checked == 0) {
        view_.ShowMessage("Tolvane", backup_text::kNothingToBackup, RemovalButtons::Ok,
                          RemovalIcon::None);
        return false;
    }
    if (CreateBackup(rows)) {
        view_.ShowMessage("Tolvane", backup_text::kBackupCreated, RemovalButtons::Ok,
                          RemovalIcon::None);
        return true;
    }
    if (writeFailed_) {
        view_.ShowMessage("Error", backup_text::kBackupFailed, RemovalButtons::Ok,
                          RemovalIcon::None);
    }
    return false;
}

namespace {

// Copies each object marked for backup into the work folder, a file or
// folder under its number with a Config.ini record, a registry key or value
// as .reg text. False when something that exists could not be copied.
bool StageMarkedObjects(Machine& machine, ObjectRows& rows, const std::string& work,
                        std::string* manifest, std::string* registryText) {
    FileSystem& files = machine.files();
    const Registry& registry = machine.registry();
    int copies = 0;
    bool complete = true;
    for (size_t row = 0; row < rows.RowCount(); ++row) {
        if (!rows.RowBackupMark(row)) continue;
        const std::string text = rows.RowText(row);
        switch (rows.RowType(row)) {
            case object_type::kFile: {
                std::string copy = work + "\\" + std::to_string(++copies);
                // A file that is gone is no failure; one that is there must
                // reach the archive, or the archive is not written at all.
                if (files.PathFileExists(text) && !files.CopyFile(text, copy, false)) {
                    complete = false;
                }
                *manifest += ManifestRecord(copies, text);
                break;
            }
            case object_type::kFolder: {
                std::string copy = work + "\\" + std::to_string(++copies);
                std::string source = StripTrailingBackslashes(text);
                // A folder that is gone gets no copy, as a missing file gets
                // none: restore must not make an empty folder of it.
                if (IsFolder(files, source) && !CopyTree(files, source, copy, 0)) {
                    complete = false;
                }
                *manifest += ManifestRecord(copies, text);
                break;
            }
            case object_type::kRegistryKey:
                if (text.empty()) break;
                for (RootKey root : kBackupRoots) {
                    ExportRegistryTree(registry, RootKeyName(root), text, registryText);
                }
                break;
            case object_type::kRegistryValue: {
                size_t cut = text.rfind('\\');
                if (cut == std::string::npos || cut == 0) break;
                std::string keyPath = text.substr(0, cut);
                std::string name = text.substr(cut + 1);
                for (RootKey root : kBackupRoots) {
                    ExportRegistryValue(registry, root, keyPath, name, registryText,
                                        std::string(RootKeyName(root)) + "\\" + keyPath);
                }
                break;
            }
            default:
                break;  // hosts entries are not saved
        }
    }
    return complete;
}

// Writes Config.ini (when there is a record) and the registry file into the
// work folder.
bool WriteWorkFiles(FileSystem& files, const std::string& work, const std::string& manifest,
                    const std::string& registryText) {
    bool complete = true;
    if (!manifest.empty()) {
        File file;
        complete =
            files.OpenFile(work + "\\" + backup_text::kConfigFile, FileOpenMode::Write, &file) &&
            file.Write(manifest);
    }
    File file;
    return files.OpenFile(work + "\\" + backup_text::kRegistryFile, FileOpenMode::Write, &file) &&
           file.Write(registryText) && complete;
}

// Adds the work folder's entries to the archive: top-level files keep their
// flat names; folder copies go in below their number.
bool AddWorkFolder(FileSystem& files, const std::string& work, ArchiveWriter& writer) {
    bool complete = true;
    FindHandle handle;
    FindData entry;
    if (files.FindFirstFile(work + "\\*.*", &handle, &entry)) {
        do {
            if (entry.name == "." || entry.name == "..") continue;
            std::string full = work + "\\" + entry.name;
            if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                complete = writer.AddFolderAs(full, entry.name) && complete;
            } else {
                complete = writer.AddFileAs(full, entry.name) && complete;
            }
        } while (handle.Next(&entry));
    }
    return complete;
}

}  // namespace

std::string BackupArchive::ChooseArchivePath() {
    ArchiveDialog dialog;
    dialog.initialPath = DefaultArchivePath();
    std::string chosen;
    if (!view_.AskSaveArchive(dialog, &chosen) || chosen.empty()) return "";
    return WithDefaultExtension(FileSystem::NormalizePath(chosen));
}

bool BackupArchive::CreateBackup(ObjectRows& rows) {
    writeFailed_ = false;
    FileSystem& files = machine_.files();
    const std::string work = WorkFolder();
    CreateFolderPath(files, QuarantineFolder());

    std::string archivePath = ChooseArchivePath();
    if (archivePath.empty()) return false;
    size_t slash = archivePath.find_last_of('\\');
    if (slash == std::string::npos || !IsFolder(files, archivePath.substr(0, slash))) {
        writeFailed_ = true;
        return false;
    }

    // A copy left from the last backup must never reach this archive.
    if (!DeleteFolderTree(machine_, work) || !CreateFolderPath(files, work)) {
        writeFailed_ = true;
        return false;
    }
    ArchiveWriter writer(files);
    if (!writer.Open(archivePath)) {
        writeFailed_ = true;
        return false;
    }

    std::string registryText = RegistryFileHeader(machine_.registry()) + "\r\n";
    std::string manifest;
    bool complete = StageMarkedObjects(machine_, rows, work, &manifest, &registryText);
    complete = WriteWorkFiles(files, work, manifest, registryText) && complete;
    complete = AddWorkFolder(files, work, writer) && complete;
    // An archive that lacks what is about to be removed would be a backup
    // in name only: it is dropped (an earlier archive of the name stays).
    if (!complete) {
        writer.Abandon();
        writeFailed_ = true;
        return false;
    }
    if (!writer.Close()) {
        writeFailed_ = true;
        return false;
    }
    return true;
}

}  // namespace tolvane
