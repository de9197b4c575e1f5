#include "scan/ignore_list.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <unordered_map>

#include "base/erase_positions.h"
#include "base/lines.h"
#include "definitions/threat_database.h"
#include "machine/file_system.h"
#include "machine/shell_folders.h"

namespace tolvane {
namespace {

// The type and the text as one key: the type's digits end at the first comma.
std::string CountKey(ObjectType type, std::string_view objectText) {
    std::string key = std::to_string(StoredNumber(type));
    key += ',';
    key += objectText;
    return key;
}

bool IsDrivePath(std::string_view path) {
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

}  // namespace

IgnoreList::IgnoreList(FileSystem& files, std::string folder, std::string hostFolder)
    : files_(files), hostFolder_(std::move(hostFolder)) {
    if (!folder.empty() && folder.back() != '\\') folder += '\\';
    path_ = folder + kIgnoreListFileName;
}

std::string IgnoreList::HostPath() const {
    if (!hostFolder_.empty()) return hostFolder_ + "/" + kIgnoreListFileName;
    // The folder through the drives, the file by its own name: whatever
    // stands under that name is examined, never what it links to.
    std::optional<std::string> folder =
        files_.ToHostPath(path_.substr(0, path_.size() - std::strlen(kIgnoreListFileName)));
    return folder ? *folder + "/" + kIgnoreListFileName : "";
}

bool IgnoreList::Usable(OwnFileState own) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (own == OwnFileState::Usable || own == OwnFileState::Missing) {
        refusal_.clear();
        return true;
    }
    refusal_ = std::string(kIgnoreListFileName) +
               " is not used: " + std::string(OwnFileStateReason(own)) + ".";
    return false;
}

std::string IgnoreList::Refusal() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refusal_;
}

std::string IgnoreList::CurrentFolder(const FileSystem& files, std::string_view hostWorkingFolder) {
    if (!hostWorkingFolder.empty()) {
        std::string mapped = files.ToWindowsPath(hostWorkingFolder);
        if (IsDrivePath(mapped)) return mapped;
    }
    return ShellFolders::ApplicationFolder();
}

void IgnoreList::Load(const ThreatDatabase& database) {
    std::string content;
    std::vector<IgnoreEntry> loaded;
    const auto byName = DefinitionsByName(database);
    const std::string host = HostPath();
    if (!host.empty() && Usable(ReadOwnFile(host, &content))) {
        ForEachLine(content, LineEnd::OneCarriageReturn, [&](std::string_view line) {
            size_t first = line.find(',');
            size_t last = line.rfind(',');
            if (first == std::string_view::npos || last == first) return;
            IgnoreEntry entry;
            entry.name = std::string(line.substr(0, first));
            auto found = byName.find(entry.name);
            entry.definition = found == byName.end() ? nullptr : found->second;
            entry.objectText = std::string(line.substr(first + 1, last - first - 1));
            char typeChar = last + 1 < line.size() ? line[last + 1] : '\0';
            entry.type = ObjectType{(typeChar >= '0' && typeChar <= '9') ? typeChar - '0' : 0};
            loaded.push_back(std::move(entry));
        });
    }
    std::lock_guard<std::mutex> lock(mutex_);
    entries_ = std::move(loaded);
    counts_.clear();
    for (const IgnoreEntry& entry : entries_) Count(entry);
}

void IgnoreList::Count(const IgnoreEntry& entry) {
    ++counts_[CountKey(entry.type, entry.objectText)];
}

void IgnoreList::Uncount(const IgnoreEntry& entry) {
    auto it = counts_.find(CountKey(entry.type, entry.objectText));
    if (it != counts_.end() && --it->second == 0) counts_.erase(it);
}

bool IgnoreList::Save() {
    std::string content;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const IgnoreEntry& entry : entries_) {
            content += entry.definition ? entry.definition->name : entry.name;
            content += ',';
            content += entry.objectText;
            content += ',';
            content += std::to_string(StoredNumber(entry.type));
            content += "\r\n";
        }
    }
    const std::string host = HostPath();
    std::string why = Refusal();
    if (host.empty()) {
        why = "no drive of the machine holds " + path_ + ".";
    } else if (why.empty()) {
        // Checked again as it is replaced: it may have been planted meanwhile.
        OwnFileState state = ReplaceOwnFile(host, content);
        const int replaceError = errno;
        Usable(state);
        if (state == OwnFileState::Failed)
            why = std::string(std::strerror(replaceError)) + ".";
        else if (state != OwnFileState::Usable)
            why = Refusal();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    saveFailure_ = why.empty() ? ""
                               : "The ignore list could not be written to " +
                                     (host.empty() ? path_ : host) + ": " + why;
    return why.empty();
}

std::string IgnoreList::SaveFailure() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return saveFailure_;
}

bool IgnoreList::IsIgnored(ObjectType type, std::string_view objectText) const {
    const std::string key = CountKey(type, objectText);
    std::lock_guard<std::mutex> lock(mutex_);
    return counts_.find(key) != counts_.end();
}

void IgnoreList::Add(const ThreatDefinition* definition, std::string_view name,
                     std::string_view objectText, ObjectType type) {
    IgnoreEntry entry;
    entry.definition = definition;
    entry.name = definition ? definition->name : std::string(name);
    entry.objectText = std::string(objectText);
    entry.type = type;
    std::lock_guard<std::mutex> lock(mutex_);
    Count(entry);
    entries_.push_back(std::move(entry));
}

bool IgnoreList::RemoveAt(size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= entries_.size()) return false;
    Uncount(entries_[index]);
    entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
    return true;
}

void IgnoreList::RemoveIndexes(const std::vector<size_t>& indexes) {
    std::lock_guard<std::mutex> lock(mutex_);
    ErasePositions(entries_, indexes, [this](const IgnoreEntry& entry) { Uncount(entry); });
}

std::vector<IgnoreEntry> IgnoreList::Entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

size_t IgnoreList::Size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

}  // namespace tolvane
