#include "settings/settings_store.h"

#include <climits>
#include <map>
#include <mutex>
#include <utility>

#include "base/codepage.h"
#include "host/host_files.h"
#include "machine/registry.h"
#include "machine/shell_folders.h"

namespace tolvane {
namespace {

constexpr const char* kProductName = "Tolvane";
// The start-up keys, spelt as the program opens them.
constexpr const char* kRunKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\";
constexpr const char* kRunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr const char* kStartUpValue = "Tolvane";
// A count read from the store is a number of registry values to read; a
// damaged count must not make a reader walk billions of names.
constexpr int32_t kMaxListEntries = 10000;

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Settings whose write the registry refused, per Registry object (by its
// Id(), which is never reused) and name folded to upper case.
class UnsavedSettings {
  public:
    static UnsavedSettings& Instance() {
        static UnsavedSettings instance;
        return instance;
    }
    bool Find(const Registry& registry, std::string_view name, std::string* text) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = values_.find({registry.Id(), ToUpperCp1252(name)});
        if (it == values_.end()) return false;
        *text = it->second;
        return true;
    }
    void Keep(const Registry& registry, std::string_view name, std::string_view text) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_[{registry.Id(), ToUpperCp1252(name)}] = std::string(text);
    }
    void Drop(const Registry& registry, std::string_view name) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.erase({registry.Id(), ToUpperCp1252(name)});
    }

  private:
    std::mutex mutex_;
    std::map<std::pair<uint64_t, std::string>, std::string> values_;
};

}  // namespace

const std::vector<SettingInfo>& SettingsTable() {
    static const std::vector<SettingInfo> table = {
        {setting::kAtStartUp, SettingKind::Integer, "0"},
        {setting::kRemoveAfterScan, SettingKind::Integer, "0"},
        {setting::kStartUpScanMode, SettingKind::Integer, "0"},
        {setting::kLastScanMode, SettingKind::Integer, "0"},
        {setting::kCustScanActive, SettingKind::Integer, "0"},
        {setting::kCustScanRegistry, SettingKind::Integer, "0"},
        {setting::kCustScanDeep, SettingKind::Integer, "0"},
        {setting::kCustScanDrives, SettingKind::Integer, "0"},
        {setting::kCustScanIeFav, SettingKind::Integer, "0"},
        {setting::kCustScanHosts, SettingKind::Integer, "0"},
        {setting::kCustScanDrivesNum, SettingKind::Integer, "0"},
        {setting::kScanDrivesNum, SettingKind::Integer, "0"},
        {setting::kStartUpDeleteCount, SettingKind::Integer, "0"},
        {setting::kUpdateServer, SettingKind::String, "https://tolvane.example.org/update/"},
        {setting::kSupportPage, SettingKind::String, "https://tolvane.example.org/support/"},
        {setting::kWebSite, SettingKind::String, "https://tolvane.example.org/"},
    };
    return table;
}

const SettingInfo* FindSetting(std::string_view name) {
    for (const SettingInfo& info : SettingsTable())
        if (EqualsNoCase(info.name, name)) return &info;
    return nullptr;
}

int32_t ParseSettingInt(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<int64_t>(INT32_MAX) + 1)
            value = static_cast<int64_t>(INT32_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT32_MAX) value = INT32_MAX;
    return static_cast<int32_t>(value);
}

SettingsStore::SettingsStore(Registry& registry) : registry_(registry) {}

SettingsStore SettingsStore::OnHost(Registry& registry, std::string hostFile) {
    SettingsStore store(registry);
    store.onHost_ = true;
    store.hostFile_ = std::move(hostFile);
    return store;
}

namespace {

std::string EscapedHostValue(std::string_view text) {
    std::string out;
    for (char ch : text) {
        if (ch == '\\')
            out += "\\\\";
        else if (ch == '\n')
            out += "\\n";
        else if (ch == '\r')
            out += "\\r";
        else
            out += ch;
    }
    return out;
}

std::string UnescapedHostValue(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        char next = text[++i];
        out += next == 'n' ? '\n' : next == 'r' ? '\r' : next;
    }
    return out;
}

// The host file's lines as name and escaped value.
std::vector<std::pair<std::string, std::string>> HostLines(const std::string& content) {
    std::vector<std::pair<std::string, std::string>> lines;
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string_view line(content.data() + start, end - start);
        size_t equals = line.find('=');
        if (equals != std::string_view::npos)
            lines.emplace_back(std::string(line.substr(0, equals)),
                               std::string(line.substr(equals + 1)));
        start = end + 1;
    }
    return lines;
}

}  // namespace

bool SettingsStore::ReadHostValue(std::string_view name, std::string* data) const {
    std::string content;
    if (hostFile_.empty() || ReadOwnFile(hostFile_, &content) != OwnFileState::Usable) return false;
    for (const auto& [key, value] : HostLines(content)) {
        if (!EqualsNoCase(key, name)) continue;
        *data = UnescapedHostValue(value);
        return true;
    }
    return false;
}

bool SettingsStore::WriteHostValue(std::string_view name, std::string_view text) {
    if (hostFile_.empty()) return false;
    std::string content;
    OwnFileState state = ReadOwnFile(hostFile_, &content);
    if (state != OwnFileState::Usable && state != OwnFileState::Missing) return false;
    std::string updated;
    for (const auto& [key, value] : HostLines(content))
        if (!EqualsNoCase(key, name)) updated += key + "=" + value + "\n";
    updated += std::string(name) + "=" + EscapedHostValue(text) + "\n";
    return ReplaceOwnFile(hostFile_, updated) == OwnFileState::Usable;
}

std::string SettingsStore::KeyPath() {
    return std::string("SOFTWARE\\") + kProductName;
}

std::string SettingsStore::ProgramPath() {
    return ShellFolders::ProgramPath();
}

std::string SettingsStore::ApplicationFolder() {
    return ShellFolders::ApplicationFolder();
}

bool SettingsStore::ReadText(std::string_view name, size_t bufferSize, std::string* text) const {
    std::string data;
    bool kept = UnsavedSettings::Instance().Find(registry_, name, &data);
    if (!kept && onHost_ && !ReadHostValue(name, &data)) return false;
    if (!kept && !onHost_) {
        RegKey key;
        if (registry_.CreateKey(Registry::Root(RootKey::LocalMachine), KeyPath(), KEY_READ, &key) !=
            ERROR_SUCCESS)
            return false;
        uint32_t type = REG_NONE;
        long rc = registry_.QueryValue(key, name, &type, &data);
        registry_.CloseKey(key);
        if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
    }
    size_t zero = data.find('\0');
    if (zero != std::string::npos) data.resize(zero);
    // The text and its terminating zero must fit the read buffer.
    if (data.size() + 1 > bufferSize) return false;
    *text = std::move(data);
    return true;
}

void SettingsStore::WriteText(std::string_view name, std::string_view text) {
    if (onHost_) {
        if (WriteHostValue(name, text))
            UnsavedSettings::Instance().Drop(registry_, name);
        else
            UnsavedSettings::Instance().Keep(registry_, name, text);
        return;
    }
    RegKey key;
    long rc =
        registry_.CreateKey(Registry::Root(RootKey::LocalMachine), KeyPath(), KEY_WRITE, &key);
    if (rc == ERROR_SUCCESS) {
        rc = registry_.SetValue(key, name, REG_SZ, text);
        registry_.CloseKey(key);
    }
    if (rc == ERROR_SUCCESS)
        UnsavedSettings::Instance().Drop(registry_, name);
    else
        UnsavedSettings::Instance().Keep(registry_, name, text);
}

int32_t SettingsStore::ReadInt(std::string_view name) const {
    std::string text;
    if (!ReadText(name, kIntBufferSize, &text)) {
        const SettingInfo* info = FindSetting(name);
        return info ? ParseSettingInt(info->defaultValue) : 0;
    }
    return ParseSettingInt(text);
}

void SettingsStore::WriteInt(std::string_view name, int32_t value) {
    WriteText(name, std::to_string(value));
}

std::string SettingsStore::ReadString(std::string_view name) const {
    std::string text;
    if (!ReadText(name, kStringBufferSize, &text)) {
        const SettingInfo* info = FindSetting(name);
        return info ? info->defaultValue : "";
    }
    return text;
}

void SettingsStore::WriteString(std::string_view name, std::string_view value) {
    WriteText(name, value);
}

std::vector<std::string> SettingsStore::ReadFolderList(std::string_view listPrefix) const {
    std::string prefix(listPrefix);
    int32_t count = ReadInt(prefix + "NUM");
    if (count > kMaxListEntries) count = kMaxListEntries;
    std::vector<std::string> folders;
    for (int32_t n = 1; n <= count; ++n) folders.push_back(ReadString(prefix + std::to_string(n)));
    return folders;
}

void SettingsStore::WriteFolderList(std::string_view listPrefix,
                                    const std::vector<std::string>& folders) {
    std::string prefix(listPrefix);
    WriteInt(prefix + "Num", static_cast<int32_t>(folders.size()));
    for (size_t n = 0; n < folders.size(); ++n)
        WriteString(prefix + std::to_string(n + 1), folders[n]);
}

std::vector<std::string> SettingsStore::ReadStartUpDeleteQueue() const {
    int32_t count = ReadInt(setting::kStartUpDeleteCount);
    if (count > kMaxListEntries) count = kMaxListEntries;
    std::vector<std::string> paths;
    for (int32_t i = 0; i < count; ++i)
        paths.push_back(ReadString("StartUpDelete" + std::to_string(i)));
    return paths;
}

void SettingsStore::WriteStartUpDeleteQueue(const std::vector<std::string>& paths) {
    WriteInt(setting::kStartUpDeleteCount, static_cast<int32_t>(paths.size()));
    for (size_t i = 0; i < paths.size(); ++i)
        WriteString("StartUpDelete" + std::to_string(i), paths[i]);
}

namespace {

bool SetStartUpValue(Registry& registry, const char* keyPath, const std::string& data) {
    RegKey key;
    if (registry.OpenKey(Registry::Root(RootKey::LocalMachine), keyPath, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
        return false;
    long rc = registry.SetValue(key, kStartUpValue, REG_SZ, data);
    registry.CloseKey(key);
    return rc == ERROR_SUCCESS;
}

}  // namespace

bool SettingsStore::WriteRunEntry(const std::string& programPath) {
    return SetStartUpValue(registry_, kRunKey, programPath + " -s");
}

bool SettingsStore::RemoveRunEntry() {
    RegKey key;
    if (registry_.OpenKey(Registry::Root(RootKey::LocalMachine), kRunKey, KEY_ALL_ACCESS, &key) !=
        ERROR_SUCCESS)
        return false;
    registry_.SetValue(key, kStartUpValue, REG_SZ, "");
    long rc = registry_.DeleteValue(key, kStartUpValue);
    registry_.CloseKey(key);
    return rc == ERROR_SUCCESS;
}

bool SettingsStore::WriteRunOnceEntry(const std::string& programPath) {
    return SetStartUpValue(registry_, kRunOnceKey, "\"" + programPath + "\" -b");
}

}  // namespace tolvane
