#include "machine/wine/wine_hive.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "base/text.h"
#include "machine/value_text.h"
#include "machine/wine/wine_hive_reader.h"

namespace tolvane {
namespace {

void AppendHex32(std::string* out, const char* format, unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, format, value);
    *out += buffer;
}

}  // namespace

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

void HiveKey::SetPendingValues(HiveSource* source, std::string_view lines) {
    DecodePendingValues();
    pendingSource_ = source;
    pendingLines_ = lines;
    ++source->pendingKeys;
}

void HiveKey::DecodePendingValues() const {
    if (!pendingSource_) return;
    HiveSource* source = pendingSource_;
    pendingSource_ = nullptr;
    if (source->pendingKeys > 0) --source->pendingKeys;
    // Every key is made non-const (by AddSubkey or its hive); decoding only
    // fills in what the key already holds as text.
    ReadHiveValueLines(source, const_cast<HiveKey*>(this), pendingLines_);
}

void HiveKey::AddPendingBlock(HiveSource* source, HivePendingBlock block) {
    if (!subtreeSource_) {
        subtreeSource_ = source;
        ++source->pendingSubtrees;
    }
    pendingBlocks_.push_back(block);
}

void HiveKey::ReadPendingSubkeys() const {
    if (!subtreeSource_) return;
    HiveSource* source = subtreeSource_;
    subtreeSource_ = nullptr;
    if (source->pendingSubtrees > 0) --source->pendingSubtrees;
    std::vector<HivePendingBlock> blocks = std::move(pendingBlocks_);
    pendingBlocks_ = {};
    // As with values: the key lines only fill in what the key holds as text.
    ReadHiveSubkeys(source, const_cast<HiveKey*>(this), blocks);
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
    hasOriginal = false;
    originalBlock = {};
    originalGap = {};
}

// ---- Writing ------------------------------------------------------------------

std::string HiveEscape(std::u16string_view text, const char escape[2]) {
    static const char kEscapes[33] = ".......abtnvfr.............e....";
    std::string out;
    out.reserve(text.size() + 8);
    char buffer[16];
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        bool hasNext = i + 1 < text.size();
        char16_t next = hasNext ? text[i + 1] : 0;
        if (c > 127) {
            bool nextIsHex = hasNext && next < 128 && IsHexDigit(static_cast<char>(next));
            std::snprintf(buffer, sizeof buffer, nextIsHex ? "\\x%04x" : "\\x%x", unsigned(c));
            out += buffer;
            continue;
        }
        if (c < 32) {
            if (kEscapes[c] != '.') {
                out += '\\';
                out += kEscapes[c];
            } else {
                bool nextIsOctal = hasNext && next >= '0' && next <= '7';
                std::snprintf(buffer, sizeof buffer, nextIsOctal ? "\\%03o" : "\\%o", unsigned(c));
                out += buffer;
            }
            continue;
        }
        if (c == '\\' || c == escape[0] || c == escape[1]) out += '\\';
        out += static_cast<char>(c);
    }
    return out;
}

std::string HiveFormatValue(const HiveValue& value) {
    std::string out;
    if (!value.name.empty()) {
        out += '"';
        out += HiveEscape(value.name, "\"\"");
        out += "\"=";
    } else {
        out += "@=";
    }
    size_t count = out.size();
    const std::string& data = value.data;
    switch (value.type) {
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_MULTI_SZ:
            // Only properly terminated strings are written as text.
            if (data.size() >= 2 && data.size() % 2 == 0 && data[data.size() - 1] == 0 &&
                data[data.size() - 2] == 0) {
                if (value.type != REG_SZ) AppendHex32(&out, "str(%x):", value.type);
                std::u16string text = BytesToUtf16(data);
                text.pop_back();
                out += '"';
                out += HiveEscape(text, "\"\"");
                out += "\"\n";
                return out;
            }
            break;
        case REG_DWORD:
            if (data.size() == 4) {
                unsigned dw = static_cast<unsigned char>(data[0]) |
                              (static_cast<unsigned char>(data[1]) << 8) |
                              (static_cast<unsigned char>(data[2]) << 16) |
                              (static_cast<unsigned>(static_cast<unsigned char>(data[3])) << 24);
                AppendHex32(&out, "dword:%08x\n", dw);
                return out;
            }
            break;
        default:
            break;
    }
    size_t before = out.size();
    if (value.type == REG_BINARY)
        out += "hex:";
    else
        AppendHex32(&out, "hex(%x):", value.type);
    count += out.size() - before;
    for (size_t i = 0; i < data.size(); ++i) {
        unsigned char b = static_cast<unsigned char>(data[i]);
        out += kHexDigits[b >> 4];
        out += kHexDigits[b & 15];
        count += 2;
        if (i + 1 < data.size()) {
            out += ',';
            if (++count > 76) {
                out += "\\\n  ";
                count = 2;
            }
        }
    }
    out += '\n';
    return out;
}

namespace {

void AppendKeyPath(const HiveKey& key, std::string* out) {
    if (key.parent == nullptr) return;
    if (key.parent->parent != nullptr) {
        AppendKeyPath(*key.parent, out);
        *out += "\\\\";
    }
    *out += HiveEscape(key.name, "[]");
}

bool WineWritesBlock(const HiveKey& key) {
    return !key.Values().empty() || key.Subkeys().empty() || key.hasClass || key.isLink;
}

void AppendBlock(const HiveKey& key, std::string* out) {
    *out += '[';
    AppendKeyPath(key, out);
    // The difference wraps instead of overflowing for a time no clock gives
    // (a damaged "] seconds"); before 1970 it is negative, as Wine's is.
    int64_t seconds = static_cast<int64_t>(key.modified - kTicks1601To1970) /
                      static_cast<int64_t>(kTicksPerSecond);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "] %u\n#time=%x%08x\n", static_cast<unsigned>(seconds),
                  static_cast<unsigned>(key.modified >> 32), static_cast<unsigned>(key.modified));
    *out += buffer;
    if (key.hasClass) {
        *out += "#class=\"";
        *out += HiveEscape(key.className, "\"\"");
        *out += "\"\n";
    }
    if (key.isLink) *out += "#link\n";
    for (const std::string& line : key.extraLines) {
        *out += line;
        *out += '\n';
    }
    for (const HiveValue& value : key.Values()) *out += HiveFormatValue(value);
}

void SerializeKey(const HiveKey& key, bool keepOriginal, std::string* out) {
    // Text read from a file that ended inside a line gets its line end
    // before anything follows it.
    bool writes = (keepOriginal && key.hasOriginal) || WineWritesBlock(key);
    if (writes && !out->empty() && out->back() != '\n') *out += '\n';
    if (keepOriginal && key.hasOriginal) {
        *out += key.originalGap;
        *out += key.originalBlock;
    } else if (WineWritesBlock(key)) {
        *out += '\n';
        AppendBlock(key, out);
    }
    for (const auto& sub : key.Subkeys()) SerializeKey(*sub, keepOriginal, out);
}

}  // namespace

// ---- WineHive -----------------------------------------------------------------

WineHive::WineHive() : root_(std::make_unique<HiveKey>()) {
    root_->modified = FileTimeNow();
}

void WineHive::SetNewFileHeader(std::string_view relativeTo) {
    relativeTo_ = std::string(relativeTo);
    std::u16string path;
    for (char c : relativeTo) path += static_cast<char16_t>(static_cast<unsigned char>(c));
    preamble_ = "WINE REGISTRY Version 2\n;; All keys relative to " + HiveEscape(path, "[]") +
                "\n\n#arch=win64\n";
}

HiveKey& WineHive::root() {
    root_->ReadPendingSubkeys();
    return *root_;
}

const HiveKey& WineHive::root() const {
    root_->ReadPendingSubkeys();
    return *root_;
}

HiveKey* WineHive::Find(std::u16string_view path) const {
    root_->ReadPendingSubkeys();
    HiveKey* key = root_.get();
    ForEachKeyName(path, [&key](std::u16string_view name) {
        key = key->FindSubkey(name);
        return key != nullptr;
    });
    return key;
}

std::string WineHive::Serialize(bool keepOriginal) {
    DecodeAll();
    std::string out = preamble_;
    out.reserve(out.size() + 2 * 1024 * 1024);
    SerializeKey(*root_, keepOriginal, &out);
    out += trailer_;
    return out;
}

// ---- Reading ------------------------------------------------------------------

void WineHive::Reset(std::string text, std::string_view label) {
    root_ = std::make_unique<HiveKey>();
    root_->modified = FileTimeNow();
    source_ = std::make_unique<HiveSource>();
    source_->text = std::move(text);
    source_->label = std::string(label);
    problems_.clear();
    preamble_.clear();
    trailer_.clear();
    relativeTo_.clear();
}

void WineHive::Parse(std::string text, std::string_view label) {
    Reset(std::move(text), label);
    if (source_->text.empty()) return;
    if (!IndexHiveText(source_.get(), root_.get(), &preamble_, &relativeTo_, &trailer_))
        ReadHiveText(source_.get(), root_.get(), &preamble_, &relativeTo_, &trailer_);
}

void WineHive::ParseLineByLine(std::string text, std::string_view label) {
    Reset(std::move(text), label);
    if (!source_->text.empty())
        ReadHiveText(source_.get(), root_.get(), &preamble_, &relativeTo_, &trailer_);
}

void WineHive::Parse(std::string_view text, std::string_view label,
                     std::vector<std::string>* problems) {
    Parse(std::string(text), label);
    const std::vector<std::string>& found = Problems();
    if (problems) problems->insert(problems->end(), found.begin(), found.end());
}

void WineHive::DecodeAll() {
    if (!source_ || (source_->pendingKeys == 0 && source_->pendingSubtrees == 0)) return;
    std::vector<const HiveKey*> stack{root_.get()};
    while (!stack.empty()) {
        const HiveKey* key = stack.back();
        stack.pop_back();
        key->DecodePendingValues();
        for (const auto& sub : key->Subkeys()) stack.push_back(sub.get());
    }
    // Keys deleted while their values or subkeys were text leave nothing to
    // read.
    source_->pendingKeys = 0;
    source_->pendingSubtrees = 0;
}

const std::vector<std::string>& WineHive::Problems() {
    DecodeAll();
    if (source_ && problems_.size() != source_->problems.size()) {
        std::vector<std::pair<size_t, std::string>> found = source_->problems;
        std::stable_sort(found.begin(), found.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        problems_.clear();
        // Line numbers counted once, in the order of the file.
        const std::string& text = source_->text;
        size_t counted = 0, line = 1;
        for (auto& [offset, what] : found) {
            size_t upTo = std::min(offset, text.size());
            line += std::count(text.begin() + counted, text.begin() + upTo, '\n');
            counted = upTo;
            problems_.push_back(source_->label + ":" + std::to_string(line) + ": " + what);
        }
    }
    return problems_;
}

}  // namespace tolvane
