#include "machine/registry.h"

#include <algorithm>
#include <atomic>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "base/codepage.h"
#include "machine/hive_set.h"

namespace tolvane {

namespace {

std::u16string ToWide(std::string_view text) {
    return Cp1252ToUtf16(text);
}
std::string ToNarrow(std::u16string_view text) {
    return Utf16ToCp1252(text);
}

// Joins two key paths, dropping empty components (leading, doubled and
// trailing backslashes).
std::string JoinPath(std::string_view a, std::string_view b) {
    std::string out;
    for (std::string_view part : {a, b}) {
        size_t pos = 0;
        while (pos <= part.size()) {
            size_t end = part.find('\\', pos);
            if (end == std::string_view::npos) end = part.size();
            if (end > pos) {
                if (!out.empty()) out += '\\';
                out.append(part.substr(pos, end - pos));
            }
            pos = end + 1;
        }
    }
    return out;
}

// Changes of every Registry of the process, one at a time: a change reads
// the file again when it changed and saves it before the next change starts,
// so no Registry of the process writes over another's change.
std::mutex& ProcessChangeMutex() {
    static std::mutex mutex;
    return mutex;
}

// The names a merged or virtual root lists; kept for the few last keys
// enumerated so that walking a big key by index stays linear.
struct MergedList {
    std::string cacheKey;
    uint64_t generation = 0;
    std::vector<std::u16string> names;
};

}  // namespace

// ---- Store ----------------------------------------------------------------------

class RegistryStore {
  public:
    explicit RegistryStore(std::unique_ptr<HiveSet> hives) : hives_(std::move(hives)) {}

    std::mutex mutex_;
    std::unique_ptr<HiveSet> hives_;
    std::list<MergedList> mergedCache_;
    mutable std::mutex messageMutex_;
    std::unordered_map<std::thread::id, std::string> messages_;

    void SetMessage(std::string message) {
        std::lock_guard<std::mutex> lock(messageMutex_);
        if (message.empty())
            messages_.erase(std::this_thread::get_id());
        else
            messages_[std::this_thread::get_id()] = std::move(message);
    }
    std::string Message() const {
        std::lock_guard<std::mutex> lock(messageMutex_);
        auto it = messages_.find(std::this_thread::get_id());
        return it == messages_.end() ? std::string() : it->second;
    }

    // Ends a change made in memory: saves the file, or, when that fails
    // (the file then read back from disk, so that no half of the change
    // stays), keeps the reason for LastErrorMessage() and gives
    // ERROR_CANTWRITE.
    long CommitChange(HiveFile& file) {
        std::string error;
        if (file.Save(&error)) return ERROR_SUCCESS;
        SetMessage(error);
        return ERROR_CANTWRITE;
    }
};

// ---- Roots and locations --------------------------------------------------------

namespace {

struct RootInfo {
    RootKey root;
    const char* name;
    const char* shortName;
};
constexpr RootInfo kRoots[] = {
    {RootKey::ClassesRoot, "HKEY_CLASSES_ROOT", "HKCR"},
    {RootKey::CurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {RootKey::LocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {RootKey::Users, "HKEY_USERS", "HKU"},
    {RootKey::PerformanceData, "HKEY_PERFORMANCE_DATA", "HKPD"},
    {RootKey::CurrentConfig, "HKEY_CURRENT_CONFIG", "HKCC"},
    {RootKey::DynData, "HKEY_DYN_DATA", "HKDD"},
};

}  // namespace

const char* RootKeyName(RootKey root) {
    for (const RootInfo& info : kRoots)
        if (info.root == root) return info.name;
    return "";
}

bool ParseRootKeyName(std::string_view name, RootKey* root) {
    for (const RootInfo& info : kRoots) {
        if (EqualsNoCase(name, info.name) || EqualsNoCase(name, info.shortName)) {
            *root = info.root;
            return true;
        }
    }
    return false;
}

bool SplitRegistryPath(std::string_view full, RootKey* root, std::string* path) {
    size_t slash = full.find('\\');
    std::string_view first = full.substr(0, slash);
    if (!ParseRootKeyName(first, root)) return false;
    *path = slash == std::string_view::npos ? std::string() : JoinPath(full.substr(slash + 1), "");
    return true;
}

namespace {

HiveSpot Locate(RegistryStore& s, RootKey root, std::string_view path) {
    return s.hives_->Locate(root, ToWide(JoinPath(path, "")));
}

void RefreshLocation(const HiveSpot& loc, bool forChange = false) {
    for (int i = 0; i < loc.count; ++i) loc.places[i].file->Refresh(forChange);
}

// The keys of a location that exist, the user's first.
int ExistingKeys(const HiveSpot& loc, HiveKey* keys[2], HiveFile* files[2] = nullptr) {
    int n = 0;
    for (int i = 0; i < loc.count; ++i) {
        HiveKey* key = loc.places[i].file->Find(loc.places[i].path);
        if (key) {
            if (files) files[n] = loc.places[i].file;
            keys[n++] = key;
        }
    }
    return n;
}

// Sorted union of two sorted name lists (the first list's spelling wins).
template <typename A, typename B>
std::vector<std::u16string> MergeNames(const A& a, const B& b) {
    std::vector<std::u16string> out;
    out.reserve(a.size() + b.size());
    size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (j >= b.size()) {
            out.push_back(a[i++]);
        } else if (i >= a.size()) {
            out.push_back(b[j++]);
        } else {
            int c = HiveNameCompare(a[i], b[j]);
            if (c <= 0) {
                out.push_back(a[i++]);
                if (c == 0) ++j;
            } else {
                out.push_back(b[j++]);
            }
        }
    }
    return out;
}

std::vector<std::u16string> SubkeyNames(const HiveKey& key) {
    std::vector<std::u16string> names;
    names.reserve(key.Subkeys().size());
    for (const auto& sub : key.Subkeys()) names.push_back(sub->name);
    return names;
}
std::vector<std::u16string> ValueNames(const HiveKey& key) {
    std::vector<std::u16string> names;
    names.reserve(key.Values().size());
    for (const auto& v : key.Values()) names.push_back(v.name);
    return names;
}

// The merged subkey (or value) names of a two-place key, cached.
const std::vector<std::u16string>& MergedNames(RegistryStore& s, const std::string& cacheKey,
                                               HiveKey* user, HiveKey* machine, bool values) {
    for (auto it = s.mergedCache_.begin(); it != s.mergedCache_.end(); ++it) {
        if (it->cacheKey == cacheKey && it->generation == s.hives_->Generation()) {
            s.mergedCache_.splice(s.mergedCache_.begin(), s.mergedCache_, it);
            return s.mergedCache_.front().names;
        }
    }
    MergedList list;
    list.cacheKey = cacheKey;
    list.generation = s.hives_->Generation();
    if (values)
        list.names = MergeNames(ValueNames(*user), ValueNames(*machine));
    else
        list.names = MergeNames(SubkeyNames(*user), SubkeyNames(*machine));
    s.mergedCache_.push_front(std::move(list));
    if (s.mergedCache_.size() > 8) s.mergedCache_.pop_back();
    return s.mergedCache_.front().names;
}

// Data as the API gives it: string types in 1252 (one byte per UTF-16 unit,
// terminators included), everything else raw.
std::string ApiData(const HiveValue& value) {
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)
        return ToNarrow(BytesToUtf16(value.data));
    return value.data;
}
size_t ApiDataSize(const HiveValue& value) {
    if (value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ)
        return value.data.size() / 2;
    return value.data.size();
}

// The result for a key that is not there: a predefined root (HKCR, HKCC)
// whose key is missing from the files is an empty key; any other key was
// deleted while open.
long MissingKey(const RegKey& key, long emptyRootResult) {
    return key.path.empty() ? emptyRootResult : ERROR_KEY_DELETED;
}

bool HasRight(const RegKey& key, uint32_t right) {
    return key.access == 0 || (key.access & right) != 0;
}

std::string DisplayName(const RegKey& key) {
    std::string name = RootKeyName(key.root);
    if (!key.path.empty()) name += "\\" + key.path;
    return name;
}

// Where a new key goes: for HKEY_CLASSES_ROOT, into the user's classes when
// its nearest existing parent is there only, else the machine's.
HivePlace PlaceForNewKey(const HiveSpot& loc) {
    if (!loc.merged) return loc.places[0];
    // The machine's path is the user's below a longer head (Software\Classes
    // of the same file, or SOFTWARE's Classes).
    const std::u16string machineHead =
        loc.places[1].path.substr(0, loc.places[1].path.size() - loc.places[0].path.size());
    std::u16string probe = loc.places[0].path;
    while (true) {
        size_t slash = probe.rfind(u'\\');
        if (slash == std::u16string::npos) break;
        probe.resize(slash);
        std::u16string machinePath = machineHead + probe;
        bool inUser = loc.places[0].file->Find(probe) != nullptr;
        bool inMachine = loc.places[1].file->Find(machinePath) != nullptr;
        if (inUser || inMachine) return inUser && !inMachine ? loc.places[0] : loc.places[1];
    }
    return loc.places[1];
}

// How many keys a path names (empty parts name none).
size_t KeyDepth(std::u16string_view path) {
    size_t depth = 0;
    ForEachKeyName(path, [&depth](std::u16string_view) { return ++depth, true; });
    return depth;
}

// Adds the keys of path that are missing below the hive's root; the last
// existing key, which gains a subkey, is touched.
void AddKeyPath(HiveFile& file, const std::u16string& path, FileTime now) {
    HiveKey* key = &file.Root();
    bool touchedParent = false;
    ForEachKeyName(path, [&](std::u16string_view name) {
        HiveKey* sub = key->FindSubkey(name);
        if (!sub) {
            if (!touchedParent) key->Touch(now);
            touchedParent = true;
            sub = key->AddSubkey(name, now);
        }
        key = sub;
        return true;
    });
}

}  // namespace

// ---- Registry -------------------------------------------------------------------

namespace {
uint64_t NextRegistryId() {
    static std::atomic<uint64_t> next{1};
    return next++;
}
}  // namespace

Registry::Registry(std::unique_ptr<HiveSet> hives)
    : store_(std::make_unique<RegistryStore>(std::move(hives))), id_(NextRegistryId()) {}

Registry::~Registry() = default;

RegKey Registry::Root(RootKey root) {
    RegKey key;
    key.root = root;
    key.access = KEY_ALL_ACCESS;
    key.open = true;
    return key;
}

long Registry::OpenKey(const RegKey& parent, std::string_view subKey, uint32_t access,
                       RegKey* result) const {
    if (!parent.open || result == nullptr) return ERROR_INVALID_HANDLE;
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    std::string path = JoinPath(parent.path, subKey);
    HiveSpot loc = Locate(s, parent.root, path);
    RefreshLocation(loc);
    HiveKey* keys[2];
    HiveFile* files[2];
    int n = 0;
    if (loc.kind == HiveSpot::Places) {
        n = ExistingKeys(loc, keys, files);
        if (n == 0) return ERROR_FILE_NOT_FOUND;
    } else if (loc.kind == HiveSpot::Nowhere) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (access & KEY_WRITE_BITS) {
        std::string why;
        if (loc.kind != HiveSpot::Places) {
            // The virtual roots can be listed, not changed; they open anyway
            // as Windows opens its predefined keys.
        } else if (!(why = files[0]->HostRefusal()).empty()) {
            s.SetMessage("Cannot open " + std::string(RootKeyName(parent.root)) + "\\" + path +
                         " for changes: " + why);
            return ERROR_ACCESS_DENIED;
        }
    }
    result->root = parent.root;
    result->path = path;
    result->access = access;
    result->open = true;
    return ERROR_SUCCESS;
}

long Registry::CreateKey(const RegKey& parent, std::string_view subKey, uint32_t access,
                         RegKey* result, bool* created) {
    if (created) *created = false;
    if (!parent.open || result == nullptr) return ERROR_INVALID_HANDLE;
    RegistryStore& s = *store_;
    std::scoped_lock lock(ProcessChangeMutex(), s.mutex_);
    s.SetMessage("");
    std::string path = JoinPath(parent.path, subKey);
    HiveSpot loc = Locate(s, parent.root, path);
    RefreshLocation(loc, true);
    auto opened = [&]() {
        result->root = parent.root;
        result->path = path;
        result->access = access;
        result->open = true;
        return ERROR_SUCCESS;
    };
    if (loc.kind == HiveSpot::ListedRoot || loc.kind == HiveSpot::EmptyRoot) return opened();
    if (loc.kind == HiveSpot::Nowhere) {
        s.SetMessage("Keys cannot be created directly under " +
                     std::string(RootKeyName(parent.root)) + ".");
        return ERROR_ACCESS_DENIED;
    }
    HiveKey* keys[2];
    HiveFile* files[2];
    if (ExistingKeys(loc, keys, files) > 0) {
        std::string why;
        if ((access & KEY_WRITE_BITS) && !(why = files[0]->HostRefusal()).empty()) {
            s.SetMessage("Cannot open " + std::string(RootKeyName(parent.root)) + "\\" + path +
                         " for changes: " + why);
            return ERROR_ACCESS_DENIED;
        }
        return opened();
    }
    if (!HasRight(parent, KEY_CREATE_SUB_KEY)) return ERROR_ACCESS_DENIED;

    HivePlace place = PlaceForNewKey(loc);
    HiveFile& file = *place.file;
    if (KeyDepth(place.path) > kMaxHiveKeyDepth) {
        s.SetMessage("Cannot create " + std::string(RootKeyName(parent.root)) + "\\" + path +
                     ": keys nest at most " + std::to_string(kMaxHiveKeyDepth) + " levels deep.");
        return ERROR_BADKEY;
    }
    std::string refusal = file.ChangeRefusal();
    if (!refusal.empty()) {
        s.SetMessage(refusal);
        return ERROR_ACCESS_DENIED;
    }
    AddKeyPath(file, place.path, FileTimeNow());
    if (long saved = s.CommitChange(file); saved != ERROR_SUCCESS) return saved;
    if (created) *created = true;
    return opened();
}

long Registry::QueryValue(const RegKey& key, std::string_view name, uint32_t* type,
                          std::string* data) const {
    if (!key.open) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    HiveSpot loc = Locate(s, key.root, key.path);
    RefreshLocation(loc);
    if (loc.kind == HiveSpot::ListedRoot || loc.kind == HiveSpot::EmptyRoot)
        return ERROR_FILE_NOT_FOUND;
    HiveKey* keys[2];
    int n = loc.kind == HiveSpot::Places ? ExistingKeys(loc, keys) : 0;
    if (n == 0) return MissingKey(key, ERROR_FILE_NOT_FOUND);
    std::u16string wideName = ToWide(name);
    for (int i = 0; i < n; ++i) {
        if (const HiveValue* value = keys[i]->FindValue(wideName)) {
            if (type) *type = value->type;
            if (data) *data = ApiData(*value);
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

long Registry::SetValue(const RegKey& key, std::string_view name, uint32_t type,
                        std::string_view data) {
    if (!key.open) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::scoped_lock lock(ProcessChangeMutex(), s.mutex_);
    s.SetMessage("");
    HiveSpot loc = Locate(s, key.root, key.path);
    RefreshLocation(loc, true);
    if (loc.kind != HiveSpot::Places) {
        s.SetMessage("Values cannot be stored in " + DisplayName(key) + ".");
        return ERROR_ACCESS_DENIED;
    }
    HiveKey* keys[2];
    HiveFile* files[2];
    if (ExistingKeys(loc, keys, files) == 0) return ERROR_KEY_DELETED;
    HiveFile& file = *files[0];
    HiveKey* target = keys[0];
    std::string refusal = file.ChangeRefusal();
    if (!refusal.empty()) {
        s.SetMessage(refusal);
        return ERROR_ACCESS_DENIED;
    }
    std::string stored;
    if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
        std::u16string text = ToWide(data);
        if (text.empty() || text.back() != 0) text.push_back(0);
        if (type == REG_MULTI_SZ && (text.size() < 2 || text[text.size() - 2] != 0))
            text.push_back(0);
        stored = Utf16ToBytes(text);
    } else {
        stored = std::string(data);
    }
    target->SetValue(ToWide(name), type, std::move(stored));
    target->Touch(FileTimeNow());
    return s.CommitChange(file);
}

long Registry::DeleteValue(const RegKey& key, std::string_view name) {
    if (!key.open) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::scoped_lock lock(ProcessChangeMutex(), s.mutex_);
    s.SetMessage("");
    HiveSpot loc = Locate(s, key.root, key.path);
    RefreshLocation(loc, true);
    if (loc.kind != HiveSpot::Places) return ERROR_FILE_NOT_FOUND;
    HiveKey* keys[2];
    HiveFile* files[2];
    int n = ExistingKeys(loc, keys, files);
    if (n == 0) return MissingKey(key, ERROR_FILE_NOT_FOUND);
    std::u16string wideName = ToWide(name);
    for (int i = 0; i < n; ++i) {
        if (!keys[i]->FindValue(wideName)) continue;
        HiveFile& file = *files[i];
        std::string refusal = file.ChangeRefusal();
        if (!refusal.empty()) {
            s.SetMessage(refusal);
            return ERROR_ACCESS_DENIED;
        }
        keys[i]->DeleteValue(wideName);
        keys[i]->Touch(FileTimeNow());
        return s.CommitChange(file);
    }
    return ERROR_FILE_NOT_FOUND;
}

long Registry::EnumKey(const RegKey& key, uint32_t index, std::string* name) const {
    if (!key.open) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    HiveSpot loc = Locate(s, key.root, key.path);
    if (loc.kind == HiveSpot::ListedRoot) {
        const std::vector<std::u16string>& names = loc.names;
        if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
        if (name) *name = ToNarrow(names[index]);
        return ERROR_SUCCESS;
    }
    if (loc.kind == HiveSpot::EmptyRoot) return ERROR_NO_MORE_ITEMS;
    RefreshLocation(loc);
    HiveKey* keys[2];
    int n = loc.kind == HiveSpot::Places ? ExistingKeys(loc, keys) : 0;
    if (n == 0) return MissingKey(key, ERROR_NO_MORE_ITEMS);
    if (n == 1) {
        if (index >= keys[0]->Subkeys().size()) return ERROR_NO_MORE_ITEMS;
        if (name) *name = ToNarrow(keys[0]->Subkeys()[index]->name);
        return ERROR_SUCCESS;
    }
    const auto& names = MergedNames(s, "K" + key.path, keys[0], keys[1], false);
    if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
    if (name) *name = ToNarrow(names[index]);
    return ERROR_SUCCESS;
}

long Registry::EnumValue(const RegKey& key, uint32_t index, std::string* name, uint32_t* type,
                         std::string* data) const {
    if (!key.open) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    HiveSpot loc = Locate(s, key.root, key.path);
    if (loc.kind == HiveSpot::ListedRoot || loc.kind == HiveSpot::EmptyRoot)
        return ERROR_NO_MORE_ITEMS;
    RefreshLocation(loc);
    HiveKey* keys[2];
    int n = loc.kind == HiveSpot::Places ? ExistingKeys(loc, keys) : 0;
    if (n == 0) return MissingKey(key, ERROR_NO_MORE_ITEMS);
    const HiveValue* value = nullptr;
    if (n == 1) {
        if (index >= keys[0]->Values().size()) return ERROR_NO_MORE_ITEMS;
        value = &keys[0]->Values()[index];
    } else {
        const auto& names = MergedNames(s, "V" + key.path, keys[0], keys[1], true);
        if (index >= names.size()) return ERROR_NO_MORE_ITEMS;
        value = keys[0]->FindValue(names[index]);
        if (!value) value = keys[1]->FindValue(names[index]);
    }
    if (name) *name = ToNarrow(value->name);
    if (type) *type = value->type;
    if (data) *data = ApiData(*value);
    return ERROR_SUCCESS;
}

long Registry::QueryInfoKey(const RegKey& key, RegKeyInfo* info) const {
    if (!key.open || info == nullptr) return ERROR_INVALID_HANDLE;
    if (!HasRight(key, KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    *info = RegKeyInfo{};
    HiveSpot loc = Locate(s, key.root, key.path);
    if (loc.kind == HiveSpot::ListedRoot) {
        const std::vector<std::u16string>& names = loc.names;
        info->subKeys = static_cast<uint32_t>(names.size());
        for (const auto& listed : names)
            info->maxSubKeyLen = std::max<uint32_t>(info->maxSubKeyLen, listed.size());
        return ERROR_SUCCESS;
    }
    if (loc.kind == HiveSpot::EmptyRoot) return ERROR_SUCCESS;
    RefreshLocation(loc);
    HiveKey* keys[2];
    int n = loc.kind == HiveSpot::Places ? ExistingKeys(loc, keys) : 0;
    if (n == 0) return MissingKey(key, ERROR_SUCCESS);
    auto addValue = [&](const HiveValue& v) {
        info->maxValueNameLen = std::max<uint32_t>(info->maxValueNameLen, v.name.size());
        info->maxValueLen = std::max<uint32_t>(info->maxValueLen, ApiDataSize(v));
    };
    info->lastWriteTime = keys[0]->modified;
    if (n == 1) {
        info->subKeys = static_cast<uint32_t>(keys[0]->Subkeys().size());
        info->values = static_cast<uint32_t>(keys[0]->Values().size());
        for (const auto& sub : keys[0]->Subkeys())
            info->maxSubKeyLen = std::max<uint32_t>(info->maxSubKeyLen, sub->name.size());
        for (const auto& v : keys[0]->Values()) addValue(v);
        return ERROR_SUCCESS;
    }
    const auto& subNames = MergedNames(s, "K" + key.path, keys[0], keys[1], false);
    info->subKeys = static_cast<uint32_t>(subNames.size());
    for (const auto& sub : subNames)
        info->maxSubKeyLen = std::max<uint32_t>(info->maxSubKeyLen, sub.size());
    const auto& valueNames = MergedNames(s, "V" + key.path, keys[0], keys[1], true);
    info->values = static_cast<uint32_t>(valueNames.size());
    for (const auto& vn : valueNames) {
        const HiveValue* v = keys[0]->FindValue(vn);
        if (!v) v = keys[1]->FindValue(vn);
        if (v) addValue(*v);
    }
    info->lastWriteTime = std::max(keys[0]->modified, keys[1]->modified);
    return ERROR_SUCCESS;
}

long Registry::DeleteKey(const RegKey& parent, std::string_view subKey) {
    if (!parent.open) return ERROR_INVALID_HANDLE;
    RegistryStore& s = *store_;
    std::scoped_lock lock(ProcessChangeMutex(), s.mutex_);
    s.SetMessage("");
    std::string path = JoinPath(parent.path, subKey);
    HiveSpot loc = Locate(s, parent.root, path);
    RefreshLocation(loc, true);
    if (loc.kind == HiveSpot::Nowhere) return ERROR_FILE_NOT_FOUND;
    std::string display = std::string(RootKeyName(parent.root)) + (path.empty() ? "" : "\\" + path);
    if (loc.kind != HiveSpot::Places) {
        s.SetMessage(display + " cannot be deleted.");
        return ERROR_ACCESS_DENIED;
    }
    HiveKey* keys[2];
    HiveFile* files[2];
    if (ExistingKeys(loc, keys, files) == 0) return ERROR_FILE_NOT_FOUND;
    HiveKey* key = keys[0];
    HiveFile& file = *files[0];
    if (path.empty() || key->parent == nullptr) {
        s.SetMessage(display + " is a root of the registry and cannot be deleted.");
        return ERROR_ACCESS_DENIED;
    }
    if (!key->Subkeys().empty()) {
        s.SetMessage(display + " has subkeys; delete them first.");
        return ERROR_ACCESS_DENIED;
    }
    std::string refusal = file.ChangeRefusal();
    if (!refusal.empty()) {
        s.SetMessage(refusal);
        return ERROR_ACCESS_DENIED;
    }
    HiveKey* owner = key->parent;
    owner->DeleteSubkey(key->name);
    owner->Touch(FileTimeNow());
    return s.CommitChange(file);
}

std::string Registry::LastErrorMessage() const {
    return store_->Message();
}

std::vector<std::string> Registry::LoadProblems() const {
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    std::vector<std::string> all;
    std::vector<HiveFile*> files = s.hives_->Files();
    for (HiveFile* file : files) file->Refresh(true);
    for (HiveFile* file : files) {
        std::vector<std::string> problems = file->Problems();
        all.insert(all.end(), problems.begin(), problems.end());
    }
    return all;
}

std::vector<std::string> Registry::StaleReads() const {
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    std::vector<std::string> all;
    for (HiveFile* file : s.hives_->Files()) {
        file->Refresh(false);
        std::string reason = file->StaleReason();
        if (!reason.empty()) all.push_back(std::move(reason));
    }
    return all;
}

bool Registry::Unreadable() const {
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    for (HiveFile* file : s.hives_->Files()) {
        file->Refresh(false);
        if (file->Unreadable()) return true;
    }
    return false;
}

std::vector<std::string> Registry::UnreadParts() const {
    return store_->hives_->Unread();
}

std::string Registry::ChangesRefusal() const {
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    return s.hives_->Refusal();
}

std::string Registry::UserSid() const {
    RegistryStore& s = *store_;
    std::lock_guard<std::mutex> lock(s.mutex_);
    return s.hives_->UserSid();
}

bool ReadRegistryString(const Registry& registry, RootKey root, std::string_view path,
                        std::string_view name, std::string* value) {
    RegKey key;
    if (registry.OpenKey(Registry::Root(root), path, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    uint32_t type = 0;
    std::string data;
    if (registry.QueryValue(key, name, &type, &data) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ) return false;
    while (!data.empty() && data.back() == '\0') data.pop_back();
    if (value) *value = data;
    return true;
}

}  // namespace tolvane
