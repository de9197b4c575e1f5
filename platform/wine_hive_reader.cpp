#include "platform/wine_hive_reader.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <unordered_set>

#include "platform/text.h"
#include "platform/value_text.h"

namespace tolvane {
namespace {

bool IsBlankChar(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}
bool IsBlank(std::string_view line) {
    for (char c : line)
        if (!IsBlankChar(c)) return false;
    return true;
}
size_t SkipSpaces(std::string_view s, size_t pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t' || s[pos] == '\r')) ++pos;
    return pos;
}
// Whether a line asks for the next one: a backslash, then only blanks.
bool ContinuesOnNextLine(std::string_view line) {
    size_t last = line.find_last_not_of(" \t\r");
    return last != std::string_view::npos && line[last] == '\\';
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

// Appends the ASCII characters from pos up to a backslash, endChar or a
// non-ASCII byte, at once; returns where they stop.
size_t AppendPlainRun(std::string_view s, size_t pos, char endChar, std::u16string* out) {
    size_t end = pos;
    while (end < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[end]);
        if (c >= 0x80 || c == '\\' || c == static_cast<unsigned char>(endChar)) break;
        ++end;
    }
    if (end == pos) return pos;
    size_t old = out->size();
    out->resize(old + (end - pos));
    char16_t* to = out->data() + old;
    for (size_t i = pos; i < end; ++i) *to++ = static_cast<unsigned char>(s[i]);
    return end;
}

// Reads an escaped string from s at pos up to the unescaped endChar. Returns
// the position after endChar, or npos with *error set. With separators, the
// position after each escape that stands for a backslash, and that
// backslash's index in out, are added to it.
size_t ParseEscaped(std::string_view s, size_t pos, char endChar, std::u16string* out,
                    std::string* error,
                    std::vector<std::pair<size_t, size_t>>* separators = nullptr) {
    while (pos < s.size()) {
        pos = AppendPlainRun(s, pos, endChar, out);
        if (pos >= s.size()) break;
        char c = s[pos];
        if (c == endChar) return pos + 1;
        if (static_cast<unsigned char>(c) >= 0x80) {
            pos += DecodeHostChar(s, pos, out);
            continue;
        }
        ++pos;  // the backslash
        if (pos >= s.size()) {
            *error = "truncated line (a backslash ends it)";
            return std::string_view::npos;
        }
        pos = ParseEscape(s, pos, out, error);
        if (pos == std::string_view::npos) return pos;
        if (separators && out->back() == u'\\') separators->emplace_back(pos, out->size() - 1);
    }
    *error = std::string("truncated line (no closing ") + endChar + ")";
    return std::string_view::npos;
}

// How many bytes a and b share at their start, compared eight at a time:
// key lines of a file in Wine's order share long paths.
size_t CommonPrefixLength(std::string_view a, std::string_view b) {
    size_t limit = std::min(a.size(), b.size()), same = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; same + 8 <= limit; same += 8) {
            uint64_t x, y;
            std::memcpy(&x, a.data() + same, 8);
            std::memcpy(&y, b.data() + same, 8);
            if (x != y) return same + std::countr_zero(x ^ y) / 8;
        }
    }
    while (same < limit && a[same] == b[same]) ++same;
    return same;
}

struct Line {
    size_t start = 0;       // offset in the text read
    std::string_view text;  // without its '\n'
    size_t number = 0;      // in the file, counted from 0
};

// A key of the last key line read, and where in that line's escaped path
// the separator after it ends (npos for the last key of the path).
struct OpenedKey {
    size_t separatorEnd;
    HiveKey* key;
};

// Reads a registry file's text, or the value lines a key was left with, line
// by line: one small reader for each kind of line (header, key, comment,
// value), sharing where the text stands.
class HiveReader {
  public:
    HiveReader(HiveSource* source, std::string_view text, size_t firstLine)
        : source_(source), text_(text), nextNumber_(firstLine) {}

    // Reads a whole file into the tree under root; false when the text is no
    // Wine registry file.
    bool ReadFile(HiveKey* root, std::string* preamble, std::string* relativeTo,
                  std::string* trailer) {
        root_ = root;
        relativeTo_ = relativeTo;
        implicitKeys_.insert(root);
        Line line;
        NextLine(&line);
        if (line.text != "WINE REGISTRY Version 2") {
            Report(0,
                   "not a Wine registry file (the first line is not \"WINE REGISTRY Version 2\")");
            return false;
        }
        contentEnd_ = LineEnd(line);
        while (NextLine(&line)) {
            if (IsBlank(line.text)) continue;
            if (line.text[0] == '[') {
                if (!inBlocks_) {
                    *preamble = std::string(text_.substr(0, contentEnd_));
                    inBlocks_ = true;
                } else {
                    FinishBlock();
                }
                KeyLine(line);
                if (current_) TakeBlockHead();
            } else if (!inBlocks_) {
                HeaderLine(line);
            } else {
                BlockLine(line);
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

    // Reads value and comment lines into key.
    void ReadValueLines(HiveKey* key) {
        current_ = key;
        inBlocks_ = true;
        Line line;
        while (NextLine(&line))
            if (!IsBlank(line.text)) BlockLine(line);
    }

  private:
    bool NextLine(Line* line) {
        if (pos_ >= text_.size()) return false;
        const void* newline = std::memchr(text_.data() + pos_, '\n', text_.size() - pos_);
        size_t end = newline ? static_cast<const char*>(newline) - text_.data() : text_.size();
        *line = Line{pos_, text_.substr(pos_, end - pos_), nextNumber_++};
        pos_ = end + 1;
        return true;
    }
    size_t LineEnd(const Line& line) const {
        return std::min(text_.size(), line.start + line.text.size() + 1);
    }

    void Report(size_t number, const std::string& what) {
        source_->problems.emplace_back(
            number, source_->label + ":" + std::to_string(number + 1) + ": " + what);
    }

    // The key just read keeps its text as written, to be saved unchanged
    // while nothing in it changes.
    void FinishBlock() {
        if (current_ && current_->hasOriginal && current_->originalBlock.empty() &&
            blockStart_ < contentEnd_) {
            current_->originalGap = currentGap_;
            current_->originalBlock = text_.substr(blockStart_, contentEnd_ - blockStart_);
        }
    }

    // A line inside a key's block: a comment or a value.
    void BlockLine(const Line& line) {
        contentEnd_ = LineEnd(line);
        char first = line.text[0];
        if (first == '#' || first == ';')
            CommentLine(line);
        else if (first != '@' && first != '"')
            Report(line.number, "unrecognised line");
        else
            ValueLine(line);
    }

    // After a key line: its comments are read now; the value lines after
    // them are left on the key when reading them later takes the same lines
    // (no comment among them, the last not continued), else they are read
    // from the first of them line by line.
    void TakeBlockHead() {
        size_t valuesStart = std::string_view::npos, valuesLine = 0, valuesEnd = 0;
        // A line continued on the next takes that line whatever it holds;
        // the reader line by line sees to one that ends the block.
        bool continuing = false;
        auto readLineByLine = [&] {
            pos_ = valuesStart;
            nextNumber_ = valuesLine;
        };
        Line line;
        while (pos_ < text_.size() && text_[pos_] != '[') {
            NextLine(&line);
            if (IsBlank(line.text)) {
                continuing = false;
                continue;
            }
            bool comment = line.text[0] == '#' || line.text[0] == ';';
            if (valuesStart == std::string_view::npos) {
                if (comment) {
                    BlockLine(line);
                    continue;
                }
                valuesStart = line.start;
                valuesLine = line.number;
            }
            if (comment) return readLineByLine();
            continuing = ContinuesOnNextLine(line.text);
            valuesEnd = LineEnd(line);
        }
        if (valuesStart == std::string_view::npos) return;
        if (continuing) return readLineByLine();
        contentEnd_ = valuesEnd;
        current_->SetPendingValues(source_, text_.substr(valuesStart, valuesEnd - valuesStart),
                                   valuesLine);
    }

    // Header lines before the first key: ";; All keys relative to ...",
    // other comments and "#arch=...".
    void HeaderLine(const Line& line) {
        contentEnd_ = LineEnd(line);
        static constexpr std::string_view kRelative = ";; All keys relative to ";
        if (line.text.substr(0, kRelative.size()) == kRelative) {
            std::u16string path;
            std::string error;
            std::string body(line.text.substr(kRelative.size()));
            body += '\x01';
            if (ParseEscaped(body, 0, '\x01', &path, &error) != std::string_view::npos)
                for (char16_t u : path) *relativeTo_ += u < 0x80 ? static_cast<char>(u) : '?';
        } else if (line.text[0] != '#' && line.text[0] != ';') {
            Report(line.number, "unrecognised line");
        }
    }

    // "[path] seconds": opens the key (made along its path when missing).
    void KeyLine(const Line& line) {
        currentGap_ = text_.substr(contentEnd_, line.start - contentEnd_);
        blockStart_ = line.start;
        contentEnd_ = LineEnd(line);
        current_ = nullptr;
        inBadBlock_ = false;

        std::string_view text = line.text;
        size_t reused = ReusableKeys(text);
        size_t from = reused == 0 ? 1 : openPath_[reused - 1].separatorEnd + 1;
        keyPath_.clear();
        separators_.clear();
        std::string error;
        size_t after = ParseEscaped(text, from, ']', &keyPath_, &error, &separators_);
        if (after == std::string_view::npos) {
            Report(line.number, "malformed key line: " + error);
            inBadBlock_ = true;
            return;
        }
        // A tree of millions of levels would outgrow the stack of what walks it.
        if (reused + separators_.size() >= kMaxHiveKeyDepth) {
            Report(line.number,
                   "key path deeper than " + std::to_string(kMaxHiveKeyDepth) + " keys");
            inBadBlock_ = true;
            return;
        }
        FileTime modified = 0;
        size_t p = SkipSpaces(text, after);
        if (p < text.size() && text[p] >= '0' && text[p] <= '9') {
            uint64_t seconds = 0;
            while (p < text.size() && text[p] >= '0' && text[p] <= '9')
                seconds = seconds * 10 + (text[p++] - '0');
            modified = seconds * kTicksPerSecond + kTicks1601To1970;
        } else {
            modified = FileTimeNow();
        }
        openPath_.resize(reused);
        openPathText_ = text.substr(1, after - 2);
        current_ = OpenKey(reused == 0 ? root_ : openPath_[reused - 1].key, modified);
    }

    // How many keys of the last key line's path this line shares: its
    // escaped text up to and with the separator after them is the same.
    size_t ReusableKeys(std::string_view line) const {
        std::string_view path = line.substr(1);
        size_t same = CommonPrefixLength(path, openPathText_);
        size_t reused = 0;
        while (reused < openPath_.size() && openPath_[reused].separatorEnd <= same) ++reused;
        return reused;
    }

    // Opens the path just read (keyPath_ below the key from) and marks the
    // block as the key's own text, or as a second block of a key met before.
    HiveKey* OpenKey(HiveKey* from, FileTime modified) {
        HiveKey* key = from;
        bool existed = true;
        size_t begin = 0;
        auto open = [&](size_t end, size_t separatorEnd, bool last) {
            if (end > begin) {
                std::u16string_view name(keyPath_.data() + begin, end - begin);
                bool added = false;
                key = key->OpenSubkey(name, modified, &added);
                existed = !added;
                if (added && !last) implicitKeys_.insert(key);
                openPath_.push_back({separatorEnd, key});
            }
        };
        for (const auto& [escapedEnd, index] : separators_) {
            open(index, escapedEnd - 1, false);
            begin = index + 1;
        }
        open(keyPath_.size(), std::string_view::npos, true);
        if (key->ValuesPending()) key->DecodePendingValues();
        if (existed && !implicitKeys_.erase(key)) {
            // A key written twice: merged, and written anew.
            key->Touch(key->modified);
        } else {
            key->modified = modified;
            key->hasOriginal = true;
            key->originalBlock = {};
        }
        return key;
    }

    // "#time=", "#class=", "#link" and other comments inside a key.
    void CommentLine(const Line& line) {
        std::string_view text = line.text;
        if (!current_) return;
        if (text.size() >= 6 && std::memcmp(text.data(), "#time=", 6) == 0) {
            uint64_t t = 0;
            size_t end = std::min<size_t>(text.size(), 6 + 16), p = 6;
            for (int digit; p < end && (digit = HexDigitValue(text[p])) >= 0; ++p)
                t = t * 16 + static_cast<unsigned>(digit);
            if (p == 6)
                Report(line.number, "bad #time line");
            else
                current_->modified = t;
        } else if (text.substr(0, 7) == "#class=") {
            std::u16string cls;
            std::string error;
            if (text.size() < 8 || text[7] != '"' ||
                ParseEscaped(text, 8, '"', &cls, &error) == std::string_view::npos) {
                Report(line.number, "bad #class line" + (error.empty() ? "" : ": " + error));
            } else {
                current_->hasClass = true;
                current_->className = cls;
            }
        } else if (text == "#link") {
            current_->isLink = true;
        } else {
            current_->extraLines.emplace_back(text);
        }
    }

    // '@' or "name", then '='; *p after the '=' and its spaces.
    bool ReadValueName(const Line& line, std::u16string* name, size_t* p) {
        std::string_view text = line.text;
        std::string error;
        *p = 1;
        if (text[0] != '@') {
            *p = ParseEscaped(text, 1, '"', name, &error);
            if (*p == std::string_view::npos) {
                Report(line.number, error);
                return false;
            }
        }
        *p = SkipSpaces(text, *p);
        if (*p >= text.size() || text[*p] != '=') {
            Report(line.number,
                   *p >= text.size() ? "truncated line (no \"=\")" : "no \"=\" after the name");
            return false;
        }
        *p = SkipSpaces(text, *p + 1);
        return true;
    }

    // The type written before the data ("str(2):\"", "dword:", "hex(7):" ...);
    // *skip is its length.
    bool ReadValueType(const Line& line, std::string_view rest, uint32_t* type, ValueDataForm* form,
                       size_t* skip) {
        // Wine writes its types in lower case only.
        if (std::optional<ValueTypeText> read = ReadValueTypeText(rest, {false, true})) {
            *type = read->type, *form = read->form, *skip = read->length;
            return true;
        }
        if (rest.substr(0, 4) == "hex(") {
            size_t q = 4;
            while (q < rest.size() && IsHexDigit(rest[q]) && q < 12) ++q;
            Report(line.number,
                   "unknown value type \"" + std::string(rest.substr(0, q + 2)) + "\"");
            return false;
        }
        // Name the type as far as its colon (or the first 20 characters).
        size_t colon = rest.find_first_of(":\"");
        size_t shown =
            colon == std::string_view::npos ? std::min<size_t>(rest.size(), 20) : colon + 1;
        Report(line.number,
               rest.empty() ? std::string("truncated line (no data)")
                            : "unknown value type \"" + std::string(rest.substr(0, shown)) + "\"");
        return false;
    }

    bool ReadStringData(const Line& line, size_t p, std::string* data) {
        std::u16string& textValue = textValue_;
        textValue.clear();
        std::string error;
        size_t after = ParseEscaped(line.text, p, '"', &textValue, &error);
        if (after == std::string_view::npos) {
            Report(line.number, error);
            return false;
        }
        if (SkipSpaces(line.text, after) != line.text.size()) {
            Report(line.number, "text after the closing quote");
            return false;
        }
        textValue.push_back(0);
        *data = Utf16ToBytes(textValue);
        return true;
    }

    bool ReadDwordData(const Line& line, size_t p, std::string* data) {
        std::string_view text = line.text;
        // The digits follow the colon at once; only blanks may come after them.
        size_t q = p;
        while (q < text.size() && IsHexDigit(text[q]) && q - p < 8) ++q;
        std::optional<std::string> dword = DwordDataFromDigits(text.substr(p, q - p));
        if (!dword || SkipSpaces(text, q) != text.size()) {
            Report(line.number, "bad dword data");
            return false;
        }
        *data = std::move(*dword);
        return true;
    }

    // Hex bytes, "xx,xx,...", continued on the next line after ",\".
    bool ReadHexData(const Line& first, size_t p, std::string* data) {
        Line last = first;
        auto nextLine = [&]() -> std::optional<std::string_view> {
            if (!NextLine(&last)) return std::nullopt;
            contentEnd_ = LineEnd(last);
            return last.text;
        };
        switch (ReadHexByteList(first.text.substr(p), nextLine, data)) {
            case HexListStatus::Ok:
                return true;
            case HexListStatus::Truncated:
                Report(first.number, "truncated line (continued past the end of the file)");
                return false;
            case HexListStatus::BadData:
                break;
        }
        Report(last.number, "bad hex data");
        return false;
    }

    // '@' or "name" '=' type and data, the data perhaps over several lines.
    void ValueLine(const Line& line) {
        std::u16string& name = valueName_;
        name.clear();
        size_t p = 0;
        if (!ReadValueName(line, &name, &p)) return;
        uint32_t type = 0;
        ValueDataForm form = ValueDataForm::HexBytes;
        size_t skip = 0;
        if (!ReadValueType(line, line.text.substr(p), &type, &form, &skip)) return;
        p += skip;
        std::string data;
        bool ok = form == ValueDataForm::String  ? ReadStringData(line, p, &data)
                  : form == ValueDataForm::Dword ? ReadDwordData(line, p, &data)
                                                 : ReadHexData(line, p, &data);
        if (!ok) return;
        if (!current_) {
            if (!inBadBlock_) Report(line.number, "value outside any key");
            return;
        }
        // A value given twice makes the key written anew. Values come in
        // order, so a name after the last one is new without a search.
        const std::vector<HiveValue>& values = current_->Values();
        bool mayRepeat = !values.empty() && HiveNameCompare(values.back().name, name) >= 0;
        if (mayRepeat && current_->FindValue(name) && current_->hasOriginal)
            current_->Touch(current_->modified);
        current_->SetValue(name, type, std::move(data));
    }

    HiveSource* source_;
    std::string_view text_;
    size_t pos_ = 0;
    size_t nextNumber_;
    HiveKey* root_ = nullptr;
    std::string* relativeTo_ = nullptr;
    size_t contentEnd_ = 0;  // offset after the last non-blank line read
    HiveKey* current_ = nullptr;
    size_t blockStart_ = 0;
    bool inBlocks_ = false;
    std::string_view currentGap_;
    bool inBadBlock_ = false;  // values after a malformed key line are skipped
    // The keys of the last key line's path, for the next line to start from.
    std::string_view openPathText_;
    std::vector<OpenedKey> openPath_;
    // Keys made only as the parents of others (and the root), not yet given
    // a block: the first block of any other key met again is its second.
    std::unordered_set<HiveKey*> implicitKeys_;
    // Scratch text reused from line to line (their buffers stay).
    std::u16string keyPath_;
    std::vector<std::pair<size_t, size_t>> separators_;
    std::u16string valueName_;
    std::u16string textValue_;
};

}  // namespace

void ReadHiveText(HiveSource* source, HiveKey* root, std::string* preamble, std::string* relativeTo,
                  std::string* trailer) {
    HiveReader(source, source->text, 0).ReadFile(root, preamble, relativeTo, trailer);
}

void ReadHiveValueLines(HiveSource* source, HiveKey* key, std::string_view lines,
                        size_t firstLine) {
    HiveReader(source, lines, firstLine).ReadValueLines(key);
}

}  // namespace tolvane
