#include "machine/wine/wine_hive.h"

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

// ---- What the reader left ---------------------------------------------------

WinePendingKey& KeptFor(HiveSource* source, HiveKey* key) {
    // Only this reader leaves parts on the keys of its own trees.
    if (auto* pending = static_cast<WinePendingKey*>(key->Pending())) return *pending;
    WinePendingKey& made = source->pendingParts.emplace_back(source);
    key->SetPending(&made);
    return made;
}

const WinePendingKey* KeptOf(const HiveKey& key) {
    return static_cast<const WinePendingKey*>(key.Pending());
}

void WinePendingKey::SetValues(std::string_view lines) {
    valuesPending_ = true;
    lines_ = lines;
    ++source_->pendingKeys;
}

void WinePendingKey::ReadValues(HiveKey& key) {
    if (!valuesPending_) return;
    valuesPending_ = false;
    if (source_->pendingKeys > 0) --source_->pendingKeys;
    ReadHiveValueLines(source_, &key, lines_);
}

void WinePendingKey::AddBlock(HivePendingBlock block) {
    if (!subkeysPending_) {
        subkeysPending_ = true;
        ++source_->pendingSubtrees;
    }
    blocks_.push_back(block);
}

void WinePendingKey::ReadSubkeys(HiveKey& key) {
    if (!subkeysPending_) return;
    subkeysPending_ = false;
    if (source_->pendingSubtrees > 0) --source_->pendingSubtrees;
    std::vector<HivePendingBlock> blocks = std::move(blocks_);
    blocks_ = {};
    ReadHiveSubkeys(source_, &key, blocks);
}

void SetPendingValues(HiveSource* source, HiveKey* key, std::string_view lines) {
    key->DecodePendingValues();
    KeptFor(source, key).SetValues(lines);
}

void AddPendingBlock(HiveSource* source, HiveKey* key, HivePendingBlock block) {
    KeptFor(source, key).AddBlock(block);
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
    if (const WinePendingKey* kept = KeptOf(key)) {
        for (const std::string& line : kept->extraLines) {
            *out += line;
            *out += '\n';
        }
    }
    for (const HiveValue& value : key.Values()) *out += HiveFormatValue(value);
}

void SerializeKey(const HiveKey& key, bool keepOriginal, std::string* out) {
    // Text read from a file that ended inside a line gets its line end
    // before anything follows it.
    const WinePendingKey* kept = keepOriginal && !key.changed ? KeptOf(key) : nullptr;
    bool writes = kept || WineWritesBlock(key);
    if (writes && !out->empty() && out->back() != '\n') *out += '\n';
    if (kept) {
        *out += kept->originalGap;
        *out += kept->originalBlock;
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
    return FindHiveKey(root_.get(), path);
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
