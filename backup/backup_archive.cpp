#include "backup/backup_archive.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "backup/archive_reader.h"
#include "backup/archive_writer.h"
#include "base/lines.h"
#include "host/held_path.h"
#include "host/host_files.h"
#include "host/replacement_temp.h"
#include "machine/machine.h"
#include "regfile/registry_export.h"
#include "removal/object_remover.h"
#include "removal/object_rows.h"
#include "removal/removal_view.h"
#include "scan/detected_object.h"
#include "settings/settings_store.h"

namespace tolvane {
namespace {

constexpr RootKey kBackupRoots[] = {RootKey::ClassesRoot, RootKey::CurrentUser,
                                    RootKey::LocalMachine, RootKey::Users};

std::string StripTrailingBackslashes(std::string path) {
    while (path.size() > 3 && path.back() == '\\') path.pop_back();
    return path;
}

// Copies the folder's whole tree to target (created); false when something
// could not be copied. Links inside it are not followed and not saved.
bool CopyTree(FileSystem& files, const std::string& from, const std::string& to, int depth) {
    if (depth > FileSystem::kTreeDepthLimit || !files.CreateDirectory(to)) return false;
    FindHandle handle;
    FindData entry;
    bool ok = true;
    if (files.FindFirstFile(from + "\\*.*", &handle, &entry)) {
        do {
            if (entry.name == "." || entry.name == "..") continue;
            std::string source = from + "\\" + entry.name;
            std::string target = to + "\\" + entry.name;
            if (entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                continue;
            } else if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
                ok = CopyTree(files, source, target, depth + 1) && ok;
            } else {
                ok = files.CopyFileConfined(source, target) && ok;
            }
        } while (handle.Next(&entry));
    }
    return ok;
}

// Whether a file or folder object is one a backup saves: on a drive inside
// the machine's folder and not itself a link.
bool Saveable(const FileSystem& files, const std::string& path) {
    uint32_t attributes = files.GetFileAttributes(path);
    return files.DriveInsidePrefix(path) &&
           (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT));
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
    if (!files.PathFileExists(path)) return FileSystem::LastError() != ERROR_ACCESS_DENIED;
    TreeDeletion rules;
    rules.goOn = true;
    rules.refuseLinkedFolder = true;
    return files.DeleteTree(path, rules);
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
        view_.Ask(
            {"Tolvane", backup_text::kNothingToBackup, PromptButtons::Ok, PromptIcon::Information});
        return false;
    }
    if (CreateBackup(rows)) {
        view_.Ask(
            {"Tolvane", backup_text::kBackupCreated, PromptButtons::Ok, PromptIcon::Information});
        return true;
    }
    if (writeFailed_) {
        view_.Ask({"Error", std::string(backup_text::kBackupFailed) + "\n" + Failure(),
                   PromptButtons::Ok, PromptIcon::Error});
    }
    return false;
}

std::string BackupArchive::HostsLinesRecords(const std::string& entry) const {
    std::string records;
    if (entry.empty()) return records;
    for (const std::string& path : machine_.HostsFiles()) {
        std::string content;
        if (!machine_.files().ReadWholeFileConfined(path, &content)) continue;
        ForEachLine(content, LineEnd::AllCarriageReturns, [&](std::string_view line) {
            // The lines the removal takes out: every one containing the entry.
            if (line.find(entry) != std::string_view::npos)
                records += "[FILE:" + path + "]\r\n[LINE:" + std::string(line) + "]\r\n";
        });
    }
    return records;
}

struct StagedBackup {
    std::string manifest;      // Config.ini records of copied files and folders
    std::string registryText;  // .reg text of keys and values
    std::string hostsRecords;  // hosts-file lines
};

namespace {

// Writes the work folder's record files: the hosts lines, the Config.ini
// manifest of copied files and folders, and the registry text.
bool WriteWorkFiles(FileSystem& files, const std::string& work, const StagedBackup& staged) {
    auto write = [&](const char* name, const std::string& text) {
        File file;
        // Staged copies of what the archive keeps are the owner's alone too.
        return files.OpenFile(work + "\\" + name, FileOpenMode::Write, &file) &&
               fchmod(file.NativeHandle(), 0600) == 0 && file.Write(text);
    };
    bool complete = true;
    if (!staged.hostsRecords.empty())
        complete = write(backup_text::kHostsFile, staged.hostsRecords) && complete;
    if (!staged.manifest.empty())
        complete = write(backup_text::kConfigFile, staged.manifest) && complete;
    return write(backup_text::kRegistryFile, staged.registryText) && complete;
}

// Adds the work folder's contents to the archive: top-level files keep their
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

bool BackupArchive::ChooseArchivePath(std::string* archivePath) {
    ArchiveDialog dialog;
    dialog.initialPath = DefaultArchivePath();
    std::string chosen;
    hostTarget_.clear();
    if (!view_.AskSaveArchive(dialog, &chosen) || chosen.empty()) return false;
    FileSystem& files = machine_.files();
    if (chosen.starts_with('/')) {
        hostTarget_ = chosen;  // a host path the user gave, no drive covering it
    } else {
        *archivePath = WithDefaultExtension(FileSystem::NormalizePath(chosen));
        // A drive outside the machine's folder (Z:, a --drive folder): the
        // user's own file, written on the host, never by the machine's rules.
        if (!files.DriveInsidePrefix(*archivePath))
            hostTarget_ = files.ToHostPath(*archivePath).value_or("");
    }
    if (!hostTarget_.empty()) return ChooseHostTarget(archivePath);
    size_t slash = archivePath->find_last_of('\\');
    if (slash == std::string::npos || !files.IsFolder(archivePath->substr(0, slash))) {
        Fail("the folder " +
             (slash == std::string::npos ? *archivePath : archivePath->substr(0, slash)) +
             " does not exist");
        return false;
    }
    return true;
}

bool BackupArchive::ChooseHostTarget(std::string* archivePath) {
    struct stat machineFolder {};
    if (geteuid() == 0 &&
        (stat(machine_.PrefixPath().c_str(), &machineFolder) != 0 || machineFolder.st_uid != 0)) {
        // Root works on another owner's machine only where that machine's
        // rules confine it; a file of the host is not written on her behalf.
        Fail(hostTarget_ +
             " lies outside the machine, and Tolvane runs as root on a machine "
             "root does not own");
        return false;
    }
    const size_t slash = hostTarget_.find_last_of('/');
    if (hostTarget_.find('.', slash + 1) == std::string::npos) hostTarget_ += ".zip";
    const std::string folder = slash == 0 ? "/" : hostTarget_.substr(0, slash);
    if (!IsHostFolder(folder)) {
        Fail("the folder " + folder + " does not exist");
        return false;
    }
    // Assembled inside the machine as always, then copied out.
    *archivePath = WorkFolder() + ".zip";
    return true;
}

std::string BackupArchive::Failure() const {
    if (failure_.empty()) return "";
    std::string sentence = failure_;
    if (sentence[0] >= 'a' && sentence[0] <= 'z')
        sentence[0] = static_cast<char>(sentence[0] - 'a' + 'A');
    return sentence + ".";
}

void BackupArchive::Fail(const std::string& why) {
    writeFailed_ = true;
    if (failure_.empty()) failure_ = why;
}

bool BackupArchive::CopyToHostTarget(const std::string& archivePath) {
    const size_t slash = hostTarget_.find_last_of('/');
    const std::string folderPath = slash == 0 ? "/" : hostTarget_.substr(0, slash);
    const std::string name = hostTarget_.substr(slash + 1);
    File archive;
    UniqueFd folder(open(folderPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool copied =
        folder.valid() && machine_.files().OpenFile(archivePath, FileOpenMode::Read, &archive);
    // The name itself is replaced, never followed: a link there is not
    // written through. The copy is the running user's own, 0600.
    copied = copied && ReplaceFileAt(folder.get(), name, 0600, [&](int fd) {
                 char buffer[64 * 1024];
                 for (;;) {
                     ssize_t got = read(archive.NativeHandle(), buffer, sizeof buffer);
                     if (got < 0) return false;
                     if (got == 0) return true;
                     for (ssize_t done = 0; done < got;) {
                         ssize_t put = write(fd, buffer + done, static_cast<size_t>(got - done));
                         if (put <= 0) return false;
                         done += put;
                     }
                 }
             });
    if (!copied) Fail(hostTarget_ + ": " + std::strerror(errno ? errno : EIO));
    archive.Close();
    machine_.files().DeleteFile(archivePath);
    return copied;
}

bool BackupArchive::StageMarkedObjects(ObjectRows& rows, const std::string& work,
                                       StagedBackup* staged) {
    FileSystem& files = machine_.files();
    const Registry& registry = machine_.registry();
    staged->registryText = RegistryFileHeader(registry) + "\r\n";
    std::string& manifest = staged->manifest;
    std::string& registryText = staged->registryText;
    std::string& hostsRecords = staged->hostsRecords;
    int copies = 0;
    bool complete = true;
    for (size_t row = 0; row < rows.RowCount(); ++row) {
        if (!rows.RowBackupMark(row)) continue;
        const std::string text = rows.RowText(row);
        switch (rows.RowType(row)) {
            case ObjectType::File: {
                // Removal changes nothing outside the machine, nor follows a
                // link: such an object is left out, not copied through.
                if (!Saveable(files, text)) break;
                std::string copy = work + "\\" + std::to_string(++copies);
                // A file that is gone is no failure; one that is there must
                // reach the archive, or the archive is not written at all.
                if (files.PathFileExists(text) && !files.CopyFileConfined(text, copy)) {
                    complete = false;
                }
                manifest += ManifestRecord(copies, text);
                break;
            }
            case ObjectType::Folder: {
                std::string source = StripTrailingBackslashes(text);
                if (!Saveable(files, source)) break;
                std::string copy = work + "\\" + std::to_string(++copies);
                // A folder that is gone gets no copy, as a missing file gets
                // none: restore must not make an empty folder of it.
                if (files.IsFolder(source) && !CopyTree(files, source, copy, 0)) {
                    complete = false;
                }
                manifest += ManifestRecord(copies, text);
                break;
            }
            case ObjectType::RegistryKey:
                if (text.empty()) break;
                for (RootKey root : kBackupRoots) {
                    ExportRegistryTree(registry, RootKeyName(root), text, &registryText);
                }
                break;
            case ObjectType::RegistryValue: {
                // A browser setting is left to the reset, which keeps no
                // old value; any other value recognised by its data is
                // deleted, so it is saved by its name.
                if (ObjectRemover::IsBrowserSetting(text)) break;
                const std::string fullName = text.substr(0, text.find(kValueDataSeparator));
                size_t cut = fullName.rfind('\\');
                if (cut == std::string::npos || cut == 0) break;
                std::string keyPath = fullName.substr(0, cut);
                std::string name = fullName.substr(cut + 1);
                for (RootKey root : kBackupRoots) {
                    ExportRegistryValue(registry, root, keyPath, name, &registryText,
                                        std::string(RootKeyName(root)) + "\\" + keyPath);
                }
                break;
            }
            case ObjectType::HostFileItem:
                hostsRecords += HostsLinesRecords(text);
                break;
            default:
                break;
        }
    }
    return complete;
}

bool BackupArchive::CreateBackup(ObjectRows& rows) {
    writeFailed_ = false;
    failure_.clear();
    FileSystem& files = machine_.files();
    const std::string work = WorkFolder();
    files.CreateFolderPath(QuarantineFolder());

    std::string archivePath;
    if (!ChooseArchivePath(&archivePath)) return false;

    // A copy left from the last backup must never reach this archive.
    // The work folder is made here: one that is a link or lies outside the
    // machine is refused, never emptied or written through.
    if (!DeleteFolderTree(machine_, work) || !CreateNewFolder(files, work)) {
        Fail("the work folder " + work + " could not be made anew");
        return false;
    }
    bool written = AssembleArchive(rows, work, archivePath);
    // The staged copies are the very programs being removed, and the
    // registry's text: they leave the disk once the archive holds them, or
    // could not.
    DeleteFolderTree(machine_, work);
    if (written && !hostTarget_.empty()) written = CopyToHostTarget(archivePath);
    if (!written)
        Fail((hostTarget_.empty() ? archivePath : hostTarget_) + " could not be written whole");
    return written;
}

bool BackupArchive::AssembleArchive(ObjectRows& rows, const std::string& work,
                                    const std::string& archivePath) {
    FileSystem& files = machine_.files();
    ArchiveWriter writer(files);
    if (!writer.Open(archivePath)) return false;
    StagedBackup staged;
    bool complete = StageMarkedObjects(rows, work, &staged);
    complete = WriteWorkFiles(files, work, staged) && complete;
    complete = AddWorkFolder(files, work, writer) && complete;
    // An archive that lacks what is about to be removed would be a backup
    // in name only: it is dropped (an earlier archive of the name stays).
    if (!complete) {
        writer.Abandon();
        return false;
    }
    return writer.Close();
}

}  // namespace tolvane
