#include "machine/hive_tree.h"

#include <time.h>

namespace tolvane {

char16_t HiveFoldUnit(char16_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        if (c == 0x178) return 0xFF;
        bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (oddUpper) return (c & 1) ? c + 1 : c;
        return (c & 1) ? c : c + 1;
    }
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    return c;
}

int HiveNameCompare(std::u16string_view a, std::u16string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        char16_t x = a[i], y = b[i];
        if (x == y) continue;
        x = HiveFoldUnit(x), y = HiveFoldUnit(y);
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

FileTime FileTimeNow() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<FileTime>(now.tv_sec) * kTicksPerSecond + now.tv_nsec / 100 +
           kTicks1601To1970;
}

std::string Utf16ToBytes(std::u16string_view text) {
    std::string out(text.size() * 2, '\0');
    char* to = out.data();
    for (char16_t u : text) {
        *to++ = static_cast<char>(u & 0xFF);
        *to++ = static_cast<char>(u >> 8);
    }
    return out;
}

std::u16string BytesToUtf16(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size() / 2);
    for (size_t i = 0; i + 1 < bytes.size(); i += 2)
        out += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    return out;
}

// ---- HiveKey ----------------------------------------------------------------

namespace {
template <typename List, typename NameOf>
size_t LowerBound(const List& list, std::u16string_view name, NameOf nameOf) {
    size_t lo = 0, hi = list.size();
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (HiveNameCompare(nameOf(list[mid]), name) < 0)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}
const std::u16string& KeyName(const std::unique_ptr<HiveKey>& k) {
    return k->name;
}
const std::u16string& ValueName(const HiveValue& v) {
    return v.name;
}
}  // namespace

const std::vector<HiveValue>& HiveKey::Values() const {
    DecodePendingValues();
    return values_;
}

std::vector<HiveValue>& HiveKey::Values() {
    DecodePendingValues();
    return values_;
}

const std::vector<std::unique_ptr<HiveKey>>& HiveKey::Subkeys() const {
    ReadPendingSubkeys();
    return subkeys_;
}

std::vector<std::unique_ptr<HiveKey>>& HiveKey::Subkeys() {
    ReadPendingSubkeys();
    return subkeys_;
}

void HiveKey::DecodePendingValues() const {
    // Every key is made non-const (by AddSubkey or its tree); reading only
    // fills in what the key already holds in its file.
    if (pending_ && pending_->ValuesPending()) pending_->ReadValues(const_cast<HiveKey&>(*this));
}

void HiveKey::ReadPendingSubkeys() const {
    if (pending_ && pending_->SubkeysPending()) pending_->ReadSubkeys(const_cast<HiveKey&>(*this));
}

HiveKey* HiveKey::FindSubkey(std::u16string_view name) const {
    const auto& subkeys = Subkeys();
    // Reading a file in Wine's order asks for the newest subkey most often,
    // or for one after every subkey (a new one): one comparison answers.
    int order = subkeys.empty() ? -1 : HiveNameCompare(subkeys.back()->name, name);
    if (order == 0) return subkeys.back().get();
    if (order < 0) return nullptr;
    size_t i = LowerBound(subkeys, name, KeyName);
    if (i < subkeys.size() && HiveNameEquals(subkeys[i]->name, name)) return subkeys[i].get();
    return nullptr;
}

const HiveValue* HiveKey::FindValue(std::u16string_view name) const {
    const std::vector<HiveValue>& values = Values();
    size_t i = LowerBound(values, name, ValueName);
    if (i < values.size() && HiveNameEquals(values[i].name, name)) return &values[i];
    return nullptr;
}

HiveValue* HiveKey::FindValue(std::u16string_view name) {
    return const_cast<HiveValue*>(static_cast<const HiveKey*>(this)->FindValue(name));
}

HiveKey* HiveKey::AddSubkey(std::u16string_view name, FileTime time) {
    auto& subkeys = Subkeys();
    auto key = std::make_unique<HiveKey>();
    key->name = std::u16string(name);
    key->parent = this;
    key->modified = time;
    if (subkeys.empty() || HiveNameCompare(subkeys.back()->name, name) < 0) {
        subkeys.push_back(std::move(key));
        return subkeys.back().get();
    }
    size_t i = LowerBound(subkeys, name, KeyName);
    return subkeys.insert(subkeys.begin() + i, std::move(key))->get();
}

HiveKey* HiveKey::OpenSubkey(std::u16string_view name, FileTime time, bool* added) {
    HiveKey* found = FindSubkey(name);
    *added = found == nullptr;
    return found ? found : AddSubkey(name, time);
}

void HiveKey::SetValue(std::u16string_view name, uint32_t type, std::string data) {
    std::vector<HiveValue>& values = Values();
    if (values.empty() || HiveNameCompare(values.back().name, name) < 0) {
        values.push_back(HiveValue{std::u16string(name), type, std::move(data)});
        return;
    }
    size_t i = LowerBound(values, name, ValueName);
    if (i < values.size() && HiveNameEquals(values[i].name, name)) {
        values[i].type = type;
        values[i].data = std::move(data);
        return;
    }
    values.insert(values.begin() + i, HiveValue{std::u16string(name), type, std::move(data)});
}

bool HiveKey::DeleteValue(std::u16string_view name) {
    std::vector<HiveValue>& values = Values();
    size_t i = LowerBound(values, name, ValueName);
    if (i >= values.size() || !HiveNameEquals(values[i].name, name)) return false;
    values.erase(values.begin() + i);
    return true;
}

bool HiveKey::DeleteSubkey(std::u16string_view name) {
    auto& subkeys = Subkeys();
    size_t i = LowerBound(subkeys, name, KeyName);
    if (i >= subkeys.size() || !HiveNameEquals(subkeys[i]->name, name)) return false;
    subkeys.erase(subkeys.begin() + i);
    return true;
}

void HiveKey::Touch(FileTime now) {
    // Values still in the text are read first: reading them may itself mark
    // the key changed, and must not undo this mark.
    DecodePendingValues();
    modified = now;
    changed = true;
}

// ---- HiveTree -----------------------------------------------------------------

HiveTree::HiveTree() : root_(std::make_unique<HiveKey>()) {
    root_->modified = FileTimeNow();
}

HiveKey* HiveTree::Find(std::u16string_view path) const {
    return FindHiveKey(root_.get(), path);
}

std::u16string JoinHivePath(std::u16string_view a, std::u16string_view b) {
    if (a.empty()) return std::u16string(b);
    if (b.empty()) return std::u16string(a);
    std::u16string out(a);
    out += u'\\';
    out += b;
    return out;
}

HiveKey* FindHiveKey(HiveKey* root, std::u16string_view path) {
    HiveKey* key = root;
    ForEachKeyName(path, [&key](std::u16string_view name) {
        key = key->FindSubkey(name);
        return key != nullptr;
    });
    return key;
}

}  // namespace tolvane
