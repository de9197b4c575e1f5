#include "backup/restore.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "backup/archive_reader.h"
#include "backup/backup_archive.h"
#include "base/codepage.h"
#include "base/lines.h"
#include "base/text.h"
#include "host/host_files.h"
#include "machine/machine.h"
#include "regfile/registry_import.h"
#include "removal/object_remover.h"
#include "removal/removal_view.h"

namespace tolvane {
namespace {

constexpr int kMaxDepth = 64;

// Moves a copy back without replacing anything; a folder that exists gets
// the copy's entries it lacks. True when the whole copy went back.
bool MoveBack(FileSystem& files, const std::string& from, const std::string& to, int depth) {
    if (depth > kMaxDepth) return false;
    if (files.MoveFile(from, to)) return true;
    if (!files.IsFolder(from)) return false;
    if (!files.PathFileExists(to) && !files.CreateDirectory(to)) return false;
    if (!files.IsFolder(to)) return false;
    FindHandle handle;
    FindData entry;
    bool all = true;
    if (files.FindFirstFile(from + "\\*.*", &handle, &entry)) {
        do {
            if (entry.name == "." || entry.name == "..") continue;
            all =
                MoveBack(files, from + "\\" + entry.name, to + "\\" + entry.name, depth + 1) && all;
        } while (handle.Next(&entry));
    }
    return all;
}

// The value of a manifest line "[TAG:value]" with its line end (one or
// more carriage returns) already cut off at the LF.
std::string TagValue(std::string_view line, size_t tagLength) {
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty() && line.back() == ']') line.remove_suffix(1);
    return std::string(line.substr(tagLength));
}

bool IsCopyNumber(const std::string& text) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

// A full path of one of the machine's drives whose folder lies inside the
// prefix: "X:\" and something after.
bool IsMachinePath(const FileSystem& files, const std::string& path) {
    if (path.size() < 4 || !std::isalpha(static_cast<unsigned char>(path[0])) || path[1] != ':' ||
        path[2] != '\\') {
        return false;
    }
    return files.DriveInsidePrefix(path) && files.ToHostPath(path).has_value();
}

// The bytes a restore may unpack into the work folder (see restore.h); 0
// stops it at once when the free space cannot be asked.
uint64_t RestoreSpace(const FileSystem& files, const std::string& work) {
    std::optional<std::string> host = files.ToHostPath(work);
    std::optional<uint64_t> free = host ? FreeBytes(*host) : std::nullopt;
    if (!free) return 1;
    uint64_t margin = (16ull << 20) + *free / 20;
    return *free > margin ? *free - margin : 1;
}

struct Record {
    std::string number;
    std::string path;
};

// Puts the saved hosts lines back into their hosts files: a line goes in
// only when the file has no equal line; a file the archive names that is
// none of the machine's hosts paths is not touched.
void RestoreHostsLines(Machine& machine, const std::string& recordsFile, RestoreReport* report) {
    FileSystem& files = machine.files();
    std::string records;
    if (!files.ReadWholeFile(recordsFile, &records)) return;
    const std::vector<std::string> hostsPaths = machine.HostsFilePaths();
    std::vector<std::pair<std::string, std::vector<std::string>>> byFile;
    std::string file;
    size_t start = 0;
    while (start < records.size()) {
        size_t end = records.find('\n', start);
        if (end == std::string::npos) end = records.size();
        std::string_view line(records.data() + start, end - start);
        start = end + 1;
        if (line.substr(0, 6) == "[FILE:") {
            file = TagValue(line, 6);
        } else if (line.substr(0, 6) == "[LINE:") {
            bool known = false;
            for (const std::string& path : hostsPaths) known = known || EqualsNoCase(path, file);
            if (!known) {
                ++report->hostsLinesNotRestored;
                continue;
            }
            if (byFile.empty() || !EqualsNoCase(byFile.back().first, file))
                byFile.push_back({file, {}});
            byFile.back().second.push_back(TagValue(line, 6));
        }
    }
    for (const auto& [path, lines] : byFile) {
        std::string content;
        // A missing file is made anew; one that is a link (perhaps to what
        // only root may read) is neither read nor replaced.
        if (!files.ReadWholeFileConfined(path, &content) &&
            FileSystem::LastError() != ERROR_FILE_NOT_FOUND &&
            FileSystem::LastError() != ERROR_PATH_NOT_FOUND) {
            report->hostsLinesNotRestored += lines.size();
            continue;
        }
        std::vector<std::string> present;
        ForEachLine(content, LineEnd::AllCarriageReturns,
                    [&](std::string_view line) { present.emplace_back(line); });
        const size_t presentBefore = present.size();
        std::string added;
        for (const std::string& line : lines) {
            if (std::find(present.begin(), present.end(), line) != present.end()) continue;
            present.push_back(line);
            added += line + "\r\n";
        }
        const size_t addedLines = present.size() - presentBefore;
        report->hostsLinesPresent += lines.size() - addedLines;
        if (added.empty()) continue;
        if (!content.empty() && content.back() != '\n') content += "\r\n";
        if (files.WriteWholeFileAtomic(path, content + added))
            report->hostsLinesRestored += addedLines;
        else
            report->hostsLinesNotRestored += addedLines;
    }
}

// The saved registry rows of a backup's registry text: a row is a key
// section with the sections below it (a saved key and its subkeys, or a
// saved value's key and that value), ended by the next section that is not
// below its first. *header gets the text's first line.
std::vector<std::string> RegistryRows(std::string_view text, std::string* header) {
    std::vector<std::string> rows;
    std::string top;
    bool first = true;
    ForEachLine(text, LineEnd::Kept, [&](std::string_view line) {
        std::string_view bare = line;
        while (!bare.empty() && bare.back() == '\r') bare.remove_suffix(1);
        if (first) {
            *header = std::string(bare);
            first = false;
            return;
        }
        if (bare.size() > 2 && bare.front() == '[' && bare[1] != '-' && bare.back() == ']') {
            std::string key(bare.substr(1, bare.size() - 2));
            bool below = !top.empty() && key.size() > top.size() && key[top.size()] == '\\' &&
                         StartsWithNoCase(key, top);
            if (!below) {
                top = key;
                rows.emplace_back();
            }
        }
        if (!rows.empty()) rows.back().append(line).append("\n");
    });
    return rows;
}

// Imports the saved registry rows one by one, counting each row once
// (however many keys and values it holds). A file in UTF-16 (not one Tolvane
// writes) is imported whole and counted by its keys and values.
void RestoreRegistryFile(Machine& machine, const std::string& registryFile, RestoreReport* report) {
    FileSystem& files = machine.files();
    std::string text;
    if (!files.PathFileExists(registryFile)) return;
    if (!files.ReadWholeFile(registryFile, &text) || text.rfind("\xff\xfe", 0) == 0) {
        RegistryImportReport imported;
        report->registryImported =
            ImportRegistryFile(machine.registry(), files, registryFile, &imported);
        report->registryRestored = imported.keys + imported.values;
        report->registryNotRestored = imported.failed + (report->registryImported ? 0 : 1);
        return;
    }
    std::string header;
    report->registryImported = true;
    for (const std::string& row : RegistryRows(text, &header)) {
        RegistryImportReport imported;
        bool read = ImportRegistryText(machine.registry(), header + "\r\n" + row, &imported);
        report->registryImported = report->registryImported && read;
        ++(read && imported.failed == 0 ? report->registryRestored : report->registryNotRestored);
    }
}

// The manifest's records: each [PATH:] with the [NAME:] before it.
std::vector<Record> ReadManifest(const std::string& manifest) {
    std::vector<Record> records;
    std::string number;
    size_t start = 0;
    while (start < manifest.size()) {
        size_t end = manifest.find('\n', start);
        if (end == std::string::npos) end = manifest.size();
        std::string_view line(manifest.data() + start, end - start);
        start = end + 1;
        if (line.substr(0, 6) == "[NAME:") {
            number = TagValue(line, 6);
        } else if (line.substr(0, 6) == "[PATH:") {
            records.push_back({number, FileSystem::NormalizePath(TagValue(line, 6))});
        }
    }
    return records;
}

// The flat layout: a folder's files beside the numbered copies, moved into
// folder. True when there were any.
bool MoveLooseFiles(FileSystem& files, const std::string& work, const std::string& folder) {
    FindHandle handle;
    FindData entry;
    bool any = false;
    if (!files.FindFirstFile(work + "\\*.*", &handle, &entry)) return false;
    do {
        if (entry.name == "." || entry.name == ".." ||
            (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) || IsCopyNumber(entry.name) ||
            EqualsNoCase(entry.name, backup_text::kConfigFile) ||
            EqualsNoCase(entry.name, backup_text::kRegistryFile) ||
            EqualsNoCase(entry.name, backup_text::kHostsFile)) {
            continue;
        }
        if (!any && !files.CreateFolderPath(folder)) break;
        any = true;
        files.MoveFile(work + "\\" + entry.name, folder + "\\" + entry.name);
    } while (handle.Next(&entry));
    return any;
}

// Whether path exists and lies below one of folders (already restored
// ones): it came back with its folder.
bool CameBackWithFolder(const FileSystem& files, const std::vector<std::string>& folders,
                        const std::string& path) {
    return std::any_of(folders.begin(), folders.end(),
                       [&](const std::string& folder) {
                           return path.size() > folder.size() && path[folder.size()] == '\\' &&
                                  StartsWithNoCase(path, folder);
                       }) &&
           files.PathFileExists(path);
}

// Moves one record's numbered copy (a folder when folder) back to its path.
// A record whose path came back inside a restored folder counts as neither
// restored nor left.
void RestoreRecord(FileSystem& files, const std::string& copy, bool folder, const Record& record,
                   std::vector<std::string>* restoredFolders, RestoreReport* report) {
    size_t slash = record.path.find_last_of('\\');
    files.CreateFolderPath(record.path.substr(0, slash));
    const bool existed = files.PathFileExists(record.path);
    if (MoveBack(files, copy, record.path, 0)) {
        ++report->restored;
        ++(folder ? report->foldersRestored : report->filesRestored);
        if (folder) restoredFolders->push_back(record.path);
    } else if (CameBackWithFolder(files, *restoredFolders, record.path)) {
        // Back with its folder: neither restored on its own nor left.
    } else if (existed) {
        ++report->alreadyThere;
    } else {
        ++report->skipped;
    }
}

// Moves each record's numbered copy back to its path: folders first, so that
// a file of a removed folder listed before it cannot make the folder's path
// and keep the rest of the folder from coming back.
void RestoreRecords(FileSystem& files, const std::string& work, const std::vector<Record>& records,
                    RestoreReport* report) {
    std::vector<const Record*> withoutCopy, folders, others;
    for (const Record& record : records) {
        const std::string copy = work + "\\" + record.number;
        if (!IsCopyNumber(record.number) || !IsMachinePath(files, record.path)) {
            ++report->skipped;
        } else if (!files.PathFileExists(copy)) {
            withoutCopy.push_back(&record);
        } else {
            (files.IsFolder(copy) ? folders : others).push_back(&record);
        }
    }
    std::vector<std::string> restoredFolders;
    for (const Record* record : folders)
        RestoreRecord(files, work + "\\" + record->number, true, *record, &restoredFolders, report);
    for (const Record* record : others)
        RestoreRecord(files, work + "\\" + record->number, false, *record, &restoredFolders,
                      report);
    // Loose files belong to a record without its copy only when there is
    // exactly one: only then is it clear whose they are.
    if (withoutCopy.size() == 1 && MoveLooseFiles(files, work, withoutCopy[0]->path)) {
        ++report->restored;
        ++report->foldersRestored;
        return;
    }
    for (const Record* record : withoutCopy)
        if (!CameBackWithFolder(files, restoredFolders, record->path)) ++report->skipped;
}

}  // namespace

std::string RestoreWorkFolder(const Machine& machine) {
    std::string temp = machine.shell().ExpandEnvironmentStrings("%temp%");
    if (temp.empty() || temp.find('%') != std::string::npos) temp = machine.files().TempPath();
    return FileSystem::NormalizePath(temp + "\\TolvanBK");
}

RestoreReport RestoreArchive(Machine& machine, const std::string& archivePath) {
    RestoreReport report;
    FileSystem& files = machine.files();
    ArchiveReader reader(files);
    if (!reader.Open(archivePath)) return report;
    report.archiveOpened = true;
    const std::string work = RestoreWorkFolder(machine);
    // What an earlier restore left must not be taken for this archive's,
    // and the work folder is Tolvane's own: one that is a link, or lies
    // outside the machine, is refused and nothing is extracted.
    if (DeleteFolderTree(machine, work) && CreateNewFolder(files, work) &&
        reader.SetOutputFolder(work)) {
        reader.SetLimits(RestoreSpace(files, work), kRestoreMaxRatio);
        report.extractedAll = reader.ExtractAll(false);
    }
    report.entriesRefused = reader.EntriesRefused();
    reader.Close();
    if (reader.Stopped() != ArchiveReader::Stop::None) {
        report.stoppedBecause = reader.Stopped() == ArchiveReader::Stop::Space
                                    ? kRestoreStoppedForSpace
                                    : kRestoreStoppedForRatio;
        DeleteFolderTree(machine, work);
        return report;
    }

    // The registry file is read here and now, while the work folder stands.
    RestoreRegistryFile(machine, work + "\\" + backup_text::kRegistryFile, &report);
    RestoreHostsLines(machine, work + "\\" + backup_text::kHostsFile, &report);

    std::string manifest;
    if (files.ReadWholeFile(work + "\\" + backup_text::kConfigFile, &manifest)) {
        report.manifestRead = true;
        RestoreRecords(files, work, ReadManifest(manifest), &report);
    }
    DeleteFolderTree(machine, work);
    return report;
}

std::string restore_text::Summary(const RestoreReport& report) {
    auto n = [](size_t count) { return std::to_string(count); };
    std::string text = "Restored: " + n(report.filesRestored) + " files, " +
                       n(report.foldersRestored) + " folders, " + n(report.registryRestored) +
                       " registry keys and values, " + n(report.hostsLinesRestored) +
                       " hosts lines.";
    if (report.skipped + report.registryNotRestored + report.hostsLinesNotRestored +
            report.entriesRefused >
        0) {
        text += "\nNot restored: " + n(report.skipped + report.entriesRefused) +
                " files or folders, " + n(report.registryNotRestored) +
                " registry keys and values, " + n(report.hostsLinesNotRestored) + " hosts lines.";
    }
    if (report.alreadyThere + report.hostsLinesPresent > 0) {
        text += "\nNot restored because they already exist: " + n(report.alreadyThere) +
                " files or folders, " + n(report.hostsLinesPresent) + " hosts lines.";
    }
    return text;
}

void RestoreBackup(Machine& machine, RemovalView& view) {
    std::string refusal = machine.ChangesRefusal();
    if (!refusal.empty()) {
        view.Ask({"Error", refusal, PromptButtons::Ok, PromptIcon::Error});
        return;
    }
    ArchiveDialog dialog;
    dialog.initialPath = BackupArchive::QuarantineFolder();
    std::string path;
    if (!view.AskOpenArchive(dialog, &path) || path.empty()) return;
    RestoreReport report = RestoreArchive(machine, path);
    if (!report.stoppedBecause.empty()) {
        view.Ask({"Tolvane", report.stoppedBecause, PromptButtons::Ok, PromptIcon::Warning});
        return;
    }
    if (!report.archiveOpened) {
        view.Ask({"Error", restore_text::kNotOpened, PromptButtons::Ok, PromptIcon::Error});
        return;
    }
    view.Ask(
        {"Tolvane", restore_text::Summary(report), PromptButtons::Ok, PromptIcon::Information});
}

}  // namespace tolvane
