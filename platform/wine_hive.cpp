#include "platform/wine_hive.h"

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "platform/text.h"
#include "platform/value_text.h"

namespace tolvane {
namespace {

constexpr FileTime kTicksPerSecond = 10000000;
constexpr FileTime kTicks1601To1970 = 116444736000000000ULL;

bool IsBlank(std::string_view line) {
    return line.find_first_not_of(" \t\r") == std::string_view::npos;
}
size_t SkipSpaces(std::string_view s, size_t pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\r')) ++pos;
    return pos;
}

// One UTF-16 unit sequence from a non-ASCII byte run: UTF-8 when it is valid,
// else the byte itself (Latin-1).
size_t DecodeHostChar(std::string_view s, size_t pos, std::u16string* out) {
    unsigned char c = static_cast<unsigned char>(s[pos]);
    size_t len = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || pos + len > s.size()) {
        out->push_back(c);
        return 1;
    }
    char32_t cp = c & (len == 2 ? 0x1F : len == 3 ? 0x0F : 0x07);
    for (size_t i = 1; i < len; ++i) {
        unsigned char d = static_cast<unsigned char>(s[pos + i]);
        if ((d & 0xC0) != 0x80) {
            out->push_back(c);
            return 1;
        }
        cp = (cp << 6) | (d & 0x3F);
    }
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out->push_back(static_cast<char16_t>(cp));
    }
    return len;
}

// The character a one-letter escape stands for, or -1 when it is none.
int LetterEscapeValue(char e) {
    switch (e) {
        case 'a':
            return 7;
        case 'b':
            return 8;
        case 't':
            return 9;
        case 'n':
            return 10;
        case 'v':
            return 11;
        case 'f':
            return 12;
        case 'r':
            return 13;
        case 'e':
            return 27;
        case '\\':
        case '"':
        case '[':
        case ']':
        case '\'':
            return e;
        default:
            return -1;
    }
}

// Reads the escape after a backslash, at pos: a letter, "x" with one to four
// hex digits, or one to three octal digits. Returns the position after it,
// or npos with *error set.
size_t ParseEscape(std::string_view s, size_t pos, std::u16string* out, std::string* error) {
    char e = s[pos++];
    if (int value = LetterEscapeValue(e); value >= 0) {
        out->push_back(static_cast<char16_t>(value));
        return pos;
    }
    if (e == 'x') {
        unsigned value = 0;
        int digits = 0;
        while (digits < 4 && pos < s.size() && IsHexDigit(s[pos])) {
            value = value * 16 + HexDigitValue(s[pos++]);
            ++digits;
        }
        if (digits == 0) {
            *error = "bad escape \"\\x\" without hex digits";
            return std::string_view::npos;
        }
        out->push_back(static_cast<char16_t>(value));
        return pos;
    }
    if (e >= '0' && e <= '7') {
        unsigned value = e - '0';
        for (int i = 0; i < 2 && pos < s.size() && s[pos] >= '0' && s[pos] <= '7'; ++i)
            value = value * 8 + (s[pos++] - '0');
        out->push_back(static_cast<char16_t>(value));
        return pos;
    }
    *error = std::string("bad escape \"\\") + e + "\"";
    return std::string_view::npos;
}

// Reads an escaped string from s at pos up to the unescaped endChar. Returns
// the position after endChar, or npos with *error set.
size_t ParseEscaped(std::string_view s, size_t pos, char endChar, std::u16string* out,
                    std::string* error) {
    while (pos < s.size()) {
        char c = s[pos];
        if (c == endChar) return pos + 1;
        if (static_cast<unsigned char>(c) >= 0x80) {
            pos += DecodeHostChar(s, pos, out);
            continue;
        }
        if (c != '\\') {
            out->push_back(static_cast<char16_t>(c));
            ++pos;
            continue;
        }
        ++pos;
        if (pos >= s.size()) {
            *error = "truncated line (a backslash ends it)";
            return std::string_view::npos;
        }
        pos = ParseEscape(s, pos, out, error);
        if (pos == std::string_view::npos) return pos;
    }
    *error = std::string("truncated line (no closing ") + endChar + ")";
    return std::string_view::npos;
}

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
        char16_t x = HiveFoldUnit(a[i]), y = HiveFoldUnit(b[i]);
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
    std::string out;
    out.reserve(text.size() * 2);
    for (char16_t u : text) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
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

HiveKey* HiveKey::FindSubkey(std::u16string_view name) const {
    // Reading a file in Wine's order asks for the newest subkey most often.
    if (!subkeys.empty() && HiveNameEquals(subkeys.back()->name, name)) return subkeys.back().get();
    size_t i = LowerBound(subkeys, name, KeyName);
    if (i < subkeys.size() && HiveNameEquals(subkeys[i]->name, name)) return subkeys[i].get();
    return nullptr;
}

const HiveValue* HiveKey::FindValue(std::u16string_view name) const {
    size_t i = LowerBound(values, name, ValueName);
    if (i < values.size() && HiveNameEquals(values[i].name, name)) return &values[i];
    return nullptr;
}

HiveValue* HiveKey::FindValue(std::u16string_view name) {
    return const_cast<HiveValue*>(static_cast<const HiveKey*>(this)->FindValue(name));
}

HiveKey* HiveKey::AddSubkey(std::u16string_view name, FileTime time) {
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

void HiveKey::SetValue(std::u16string_view name, uint32_t type, std::string data) {
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
    size_t i = LowerBound(values, name, ValueName);
    if (i >= values.size() || !HiveNameEquals(values[i].name, name)) return false;
    values.erase(values.begin() + i);
    return true;
}

bool HiveKey::DeleteSubkey(std::u16string_view name) {
    size_t i = LowerBound(subkeys, name, KeyName);
    if (i >= subkeys.size() || !HiveNameEquals(subkeys[i]->name, name)) return false;
    subkeys.erase(subkeys.begin() + i);
    return true;
}

void HiveKey::Touch(FileTime now) {
    modified = now;
    hasOriginal = false;
    originalBlock.clear();
    originalGap.clear();
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
    return !key.values.empty() || key.subkeys.empty() || key.hasClass || key.isLink;
}

void AppendBlock(const HiveKey& key, std::string* out) {
    *out += '[';
    AppendKeyPath(key, out);
    int64_t seconds =
        (static_cast<int64_t>(key.modified) - static_cast<int64_t>(kTicks1601To1970)) /
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
    for (const HiveValue& value : key.values) *out += HiveFormatValue(value);
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
    for (const auto& sub : key.subkeys) SerializeKey(*sub, keepOriginal, out);
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

HiveKey* WineHive::Find(std::u16string_view path) const {
    HiveKey* key = root_.get();
    size_t pos = 0;
    while (key && pos <= path.size()) {
        size_t end = path.find(u'\\', pos);
        if (end == std::u16string_view::npos) end = path.size();
        if (end > pos) key = key->FindSubkey(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return key;
}

std::string WineHive::Serialize(bool keepOriginal) const {
    std::string out = preamble_;
    out.reserve(out.size() + 2 * 1024 * 1024);
    SerializeKey(*root_, keepOriginal, &out);
    out += trailer_;
    return out;
}

namespace {

// Reads a registry file's text line by line into a key tree: one small
// reader for each kind of line (header, key, comment, value), sharing where
// the file stands. What cannot be read is reported and skipped.
class HiveReader {
  public:
    HiveReader(std::string_view text, std::string_view label, std::vector<std::string>* problems,
               HiveKey* root)
        : text_(text), label_(label), problems_(problems), root_(root) {
        // Lines as views; each line's start offset, without its '\n'.
        lines_.reserve(std::count(text.begin(), text.end(), '\n') + 1);
        for (size_t pos = 0; pos < text.size();) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos) end = text.size();
            lines_.emplace_back(pos, text.substr(pos, end - pos));
            pos = end + 1;
        }
    }

    // Reads every line; false when the text is no Wine registry file.
    bool Read(std::string* preamble, std::string* relativeTo, std::string* trailer) {
        relativeTo_ = relativeTo;
        if (lines_[0].second != "WINE REGISTRY Version 2") {
            Report(0,
                   "not a Wine registry file (the first line is not \"WINE REGISTRY Version 2\")");
            return false;
        }
        for (size_t i = 0; i < lines_.size(); ++i) {
            std::string_view line = lines_[i].second;
            if (IsBlank(line)) continue;
            if (line[0] == '[') {
                if (!inBlocks_) {
                    *preamble = std::string(text_.substr(0, contentEnd_));
                    inBlocks_ = true;
                } else {
                    FinishBlock();
                }
                KeyLine(i);
            } else if (!inBlocks_) {
                HeaderLine(i);
            } else {
                contentEnd_ = LineEnd(i);
                if (line[0] == '#' || line[0] == ';')
                    CommentLine(i);
                else if (line[0] != '@' && line[0] != '"')
                    Report(i, "unrecognised line");
                else
                    ValueLine(&i);
            }
        }
        if (!inBlocks_) {
            *preamble = std::string(text_.substr(0, contentEnd_));
        } else {
            FinishBlock();
        }
        *trailer = std::string(text_.substr(contentEnd_));
        return true;
    }

  private:
    // How a value's data is written after its type.
    size_t LineEnd(size_t i) const {
        return std::min(text_.size(), lines_[i].first + lines_[i].second.size() + 1);
    }

    void Report(size_t i, const std::string& what) {
        if (problems_)
            problems_->push_back(std::string(label_) + ":" + std::to_string(i + 1) + ": " + what);
    }

    // The key just read keeps its text as written, to be saved unchanged
    // while nothing in it changes.
    void FinishBlock() {
        if (current_ && current_->hasOriginal && current_->originalBlock.empty() &&
            blockStart_ < contentEnd_) {
            current_->originalGap = currentGap_;
            current_->originalBlock =
                std::string(text_.substr(blockStart_, contentEnd_ - blockStart_));
        }
    }

    // Header lines before the first key: ";; All keys relative to ...",
    // other comments and "#arch=...".
    void HeaderLine(size_t i) {
        std::string_view line = lines_[i].second;
        contentEnd_ = LineEnd(i);
        static constexpr std::string_view kRelative = ";; All keys relative to ";
        if (line.substr(0, kRelative.size()) == kRelative) {
            std::u16string path;
            std::string error;
            std::string body(line.substr(kRelative.size()));
            body += '\x01';
            if (ParseEscaped(body, 0, '\x01', &path, &error) != std::string_view::npos)
                for (char16_t u : path) *relativeTo_ += u < 0x80 ? static_cast<char>(u) : '?';
        } else if (line[0] != '#' && line[0] != ';' && i > 0) {
            Report(i, "unrecognised line");
        }
    }

    // "[path] seconds": opens the key (made along its path when missing).
    void KeyLine(size_t i) {
        std::string_view line = lines_[i].second;
        currentGap_.assign(text_.substr(contentEnd_, lines_[i].first - contentEnd_));
        blockStart_ = lines_[i].first;
        contentEnd_ = LineEnd(i);
        current_ = nullptr;
        inBadBlock_ = false;

        std::u16string& path = keyPath_;
        path.clear();
        std::string error;
        size_t after = ParseEscaped(line, 1, ']', &path, &error);
        if (after == std::string_view::npos) {
            Report(i, "malformed key line: " + error);
            inBadBlock_ = true;
            return;
        }
        FileTime modified = FileTimeNow();
        size_t p = SkipSpaces(line, after);
        if (p < line.size() && line[p] >= '0' && line[p] <= '9') {
            uint64_t seconds = 0;
            while (p < line.size() && line[p] >= '0' && line[p] <= '9')
                seconds = seconds * 10 + (line[p++] - '0');
            modified = seconds * kTicksPerSecond + kTicks1601To1970;
        }
        current_ = OpenKey(path, modified);
    }

    HiveKey* OpenKey(const std::u16string& path, FileTime modified) {
        HiveKey* key = root_;
        bool existed = true;
        size_t pos = 0;
        while (pos <= path.size()) {
            size_t end = path.find(u'\\', pos);
            if (end == std::u16string::npos) end = path.size();
            if (end > pos) {
                std::u16string_view name(path.data() + pos, end - pos);
                HiveKey* sub = key->FindSubkey(name);
                existed = sub != nullptr;
                if (!sub) sub = key->AddSubkey(name, modified);
                key = sub;
            }
            pos = end + 1;
        }
        if (existed && key->hasOriginal) {
            // A key written twice: merged, and written anew.
            key->Touch(key->modified);
        } else {
            key->modified = modified;
            key->hasOriginal = true;
            key->originalBlock.clear();
        }
        return key;
    }

    // "#time=", "#class=", "#link" and other comments inside a key.
    void CommentLine(size_t i) {
        std::string_view line = lines_[i].second;
        if (!current_) return;
        if (line.substr(0, 6) == "#time=") {
            uint64_t t = 0;
            size_t p = 6;
            int digits = 0;
            while (p < line.size() && IsHexDigit(line[p]) && digits < 16)
                t = t * 16 + HexDigitValue(line[p++]), ++digits;
            if (digits == 0)
                Report(i, "bad #time line");
            else
                current_->modified = t;
        } else if (line.substr(0, 7) == "#class=") {
            std::u16string cls;
            std::string error;
            if (line.size() < 8 || line[7] != '"' ||
                ParseEscaped(line, 8, '"', &cls, &error) == std::string_view::npos) {
                Report(i, "bad #class line" + (error.empty() ? "" : ": " + error));
            } else {
                current_->hasClass = true;
                current_->className = cls;
            }
        } else if (line == "#link") {
            current_->isLink = true;
        } else {
            current_->extraLines.emplace_back(line);
        }
    }

    // '@' or "name", then '='; *p after the '=' and its spaces.
    bool ReadValueName(size_t i, std::u16string* name, size_t* p) {
        std::string_view line = lines_[i].second;
        std::string error;
        *p = 1;
        if (line[0] != '@') {
            *p = ParseEscaped(line, 1, '"', name, &error);
            if (*p == std::string_view::npos) {
                Report(i, error);
                return false;
            }
        }
        *p = SkipSpaces(line, *p);
        if (*p >= line.size() || line[*p] != '=') {
            Report(i, *p >= line.size() ? "truncated line (no \"=\")" : "no \"=\" after the name");
            return false;
        }
        *p = SkipSpaces(line, *p + 1);
        return true;
    }

    // The type written before the data ("str(2):\"", "dword:", "hex(7):" ...);
    // *skip is its length.
    bool ReadValueType(size_t i, std::string_view rest, uint32_t* type, ValueDataForm* form,
                       size_t* skip) {
        // Wine writes its types in lower case only.
        if (std::optional<ValueTypeText> read = ReadValueTypeText(rest, {false, true})) {
            *type = read->type, *form = read->form, *skip = read->length;
            return true;
        }
        if (rest.substr(0, 4) == "hex(") {
            size_t q = 4;
            while (q < rest.size() && IsHexDigit(rest[q]) && q < 12) ++q;
            Report(i, "unknown value type \"" + std::string(rest.substr(0, q + 2)) + "\"");
            return false;
        }
        // Name the type as far as its colon (or the first 20 characters).
        size_t colon = rest.find_first_of(":\"");
        size_t shown =
            colon == std::string_view::npos ? std::min<size_t>(rest.size(), 20) : colon + 1;
        Report(i, rest.empty()
                      ? std::string("truncated line (no data)")
                      : "unknown value type \"" + std::string(rest.substr(0, shown)) + "\"");
        return false;
    }

    bool ReadStringData(size_t i, size_t p, std::string* data) {
        std::string_view line = lines_[i].second;
        std::u16string& textValue = textValue_;
        textValue.clear();
        std::string error;
        size_t after = ParseEscaped(line, p, '"', &textValue, &error);
        if (after == std::string_view::npos) {
            Report(i, error);
            return false;
        }
        if (SkipSpaces(line, after) != line.size()) {
            Report(i, "text after the closing quote");
            return false;
        }
        textValue.push_back(0);
        *data = Utf16ToBytes(textValue);
        return true;
    }

    bool ReadDwordData(size_t i, size_t p, std::string* data) {
        std::string_view line = lines_[i].second;
        // The digits follow the colon at once; only blanks may come after them.
        size_t q = p;
        while (q < line.size() && IsHexDigit(line[q]) && q - p < 8) ++q;
        std::optional<std::string> dword = DwordDataFromDigits(line.substr(p, q - p));
        if (!dword || SkipSpaces(line, q) != line.size()) {
            Report(i, "bad dword data");
            return false;
        }
        *data = std::move(*dword);
        return true;
    }

    // Hex bytes, "xx,xx,...", continued on the next line after ",\"; *i
    // moves to the last line read.
    bool ReadHexData(size_t* i, size_t p, std::string* data) {
        size_t firstLine = *i;
        std::string_view cur = lines_[*i].second;
        size_t q = p;
        while (true) {
            q = SkipSpaces(cur, q);
            if (q >= cur.size()) return true;
            if (cur[q] == '\\' && SkipSpaces(cur, q + 1) == cur.size()) {
                if (*i + 1 >= lines_.size()) {
                    Report(firstLine, "truncated line (continued past the end of the file)");
                    return false;
                }
                ++*i;
                cur = lines_[*i].second;
                contentEnd_ = LineEnd(*i);
                q = 0;
                continue;
            }
            if (!IsHexDigit(cur[q])) {
                Report(*i, "bad hex data");
                return false;
            }
            int b = HexDigitValue(cur[q++]);
            if (q < cur.size() && IsHexDigit(cur[q])) b = b * 16 + HexDigitValue(cur[q++]);
            *data += static_cast<char>(b);
            q = SkipSpaces(cur, q);
            if (q < cur.size() && cur[q] == ',') ++q;
        }
    }

    // '@' or "name" '=' type and data, the data perhaps over several lines.
    void ValueLine(size_t* i) {
        size_t firstLine = *i;
        std::string_view line = lines_[*i].second;
        std::u16string& name = valueName_;
        name.clear();
        size_t p = 0;
        if (!ReadValueName(*i, &name, &p)) return;
        uint32_t type = 0;
        ValueDataForm form = ValueDataForm::HexBytes;
        size_t skip = 0;
        if (!ReadValueType(*i, line.substr(p), &type, &form, &skip)) return;
        p += skip;
        std::string data;
        bool ok = form == ValueDataForm::String  ? ReadStringData(*i, p, &data)
                  : form == ValueDataForm::Dword ? ReadDwordData(*i, p, &data)
                                                 : ReadHexData(i, p, &data);
        if (!ok) return;
        if (!current_) {
            if (!inBadBlock_) Report(firstLine, "value outside any key");
            return;
        }
        if (current_->FindValue(name) && current_->hasOriginal) current_->Touch(current_->modified);
        current_->SetValue(name, type, std::move(data));
    }

    std::string_view text_;
    std::string_view label_;
    std::vector<std::string>* problems_;
    HiveKey* root_;
    std::string* relativeTo_ = nullptr;
    std::vector<std::pair<size_t, std::string_view>> lines_;
    size_t contentEnd_ = 0;  // offset after the last non-blank line read
    HiveKey* current_ = nullptr;
    size_t blockStart_ = 0;
    bool inBlocks_ = false;
    std::string currentGap_;
    bool inBadBlock_ = false;  // values after a malformed key line are skipped
    // Scratch text reused from line to line (their buffers stay).
    std::u16string keyPath_;
    std::u16string valueName_;
    std::u16string textValue_;
};

}  // namespace

void WineHive::Parse(std::string_view text, std::string_view label,
                     std::vector<std::string>* problems) {
    root_ = std::make_unique<HiveKey>();
    root_->modified = FileTimeNow();
    preamble_.clear();
    trailer_.clear();
    relativeTo_.clear();
    if (text.empty()) return;
    HiveReader(text, label, problems, root_.get()).Read(&preamble_, &relativeTo_, &trailer_);
}

}  // namespace tolvane
