#include "machine/wine/wine_hive_reader.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>

#include "base/text.h"
#include "machine/value_text.h"

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
};

// A key of the last key line read, and where in that line's escaped path
// the separator after it ends (npos for the last key of the path).
struct OpenedKey {
    size_t separatorEnd;
    HiveKey* key;
};

// How many keys a path read with its separators names: empty names between
// separators name none.
size_t NamedKeys(std::u16string_view path,
                 const std::vector<std::pair<size_t, size_t>>& separators) {
    size_t named = 0, begin = 0;
    for (const auto& [escapedEnd, index] : separators) {
        if (index > begin) ++named;
        begin = index + 1;
    }
    return named + (path.size() > begin ? 1 : 0);
}

std::string TooDeepProblem() {
    return "key path deeper than " + std::to_string(kMaxHiveKeyDepth) + " keys";
}

// The time after a key line's path ("] seconds"), or now when it has none.
FileTime KeyLineTime(std::string_view text, size_t after) {
    size_t p = SkipSpaces(text, after);
    if (p >= text.size() || text[p] < '0' || text[p] > '9') return FileTimeNow();
    uint64_t seconds = 0;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9')
        seconds = seconds * 10 + (text[p++] - '0');
    return seconds * kTicksPerSecond + kTicks1601To1970;
}

// Where the last character before offset that is neither blank nor a line
// end stands, plus one (0 when there is none).
size_t AfterLastContent(std::string_view text, size_t offset) {
    size_t i = offset;
    while (i > 0 && (IsBlankChar(text[i - 1]) || text[i - 1] == '\n')) --i;
    return i;
}

// Where the text before offset stops being blank: after the '\n' of the last
// line with more than blanks (the text's end when that line has none).
size_t ContentEndBefore(std::string_view text, size_t offset) {
    size_t i = AfterLastContent(text, offset);
    if (i == 0) return 0;
    size_t newline = text.find('\n', i);
    return newline == std::string_view::npos ? text.size() : newline + 1;
}

// Whether the last line before offset with more than blanks asks for the
// next one: reading it takes lines that reading from offset would not.
bool ContinuedBefore(std::string_view text, size_t offset) {
    size_t i = AfterLastContent(text, offset);
    return i > 0 && text[i - 1] == '\\';
}

// One name of a key line's path, read from pos up to a separator (an escape
// that stands for a backslash) or the closing ']' (ended). next is where the
// path goes on, or npos with *error set.
struct PathStep {
    size_t next;
    bool ended;
};
PathStep ReadPathPart(std::string_view s, size_t pos, std::u16string* out, std::string* error) {
    while (pos < s.size()) {
        pos = AppendPlainRun(s, pos, ']', out);
        if (pos >= s.size()) break;
        char c = s[pos];
        if (c == ']') return {pos + 1, true};
        if (static_cast<unsigned char>(c) >= 0x80) {
            pos += DecodeHostChar(s, pos, out);
            continue;
        }
        if (++pos >= s.size()) {
            *error = "truncated line (a backslash ends it)";
            return {std::string_view::npos, false};
        }
        pos = ParseEscape(s, pos, out, error);
        if (pos == std::string_view::npos) return {pos, false};
        if (out->back() == u'\\') {
            out->pop_back();
            return {pos, false};
        }
    }
    *error = "truncated line (no closing ])";
    return {std::string_view::npos, false};
}

// The next name of the path that is not empty (as the reader line by line,
// which skips empty names); an empty one when the path ends first.
PathStep ReadPathName(std::string_view s, size_t pos, std::u16string* name, std::string* error) {
    for (;;) {
        name->clear();
        PathStep step = ReadPathPart(s, pos, name, error);
        if (step.next == std::string_view::npos || step.ended || !name->empty()) return step;
        pos = step.next;
    }
}

// Reads a registry file's text, or the value lines a key was left with, or
// the key lines below a key, line by line: one small reader for each kind of
// line (header, key, comment, value), sharing where the text stands.
class HiveReader {
  public:
    HiveReader(HiveSource* source, std::string_view text)
        : source_(source),
          text_(text),
          base_(static_cast<size_t>(text.data() - source->text.data())) {}

    // Reads a whole file into the tree under root; false when the text is no
    // Wine registry file.
    bool ReadFile(HiveKey* root, std::string* preamble, std::string* relativeTo,
                  std::string* trailer) {
        root_ = root;
        relativeTo_ = relativeTo;
        Line line;
        NextLine(&line);
        if (line.text != kHeader) {
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

    // Reads the header and finds the key lines, leaving them on root; false,
    // with nothing read, when the file must be read line by line.
    bool IndexFile(HiveKey* root, std::string* preamble, std::string* relativeTo,
                   std::string* trailer) {
        relativeTo_ = relativeTo;
        Line line;
        NextLine(&line);
        if (line.text != kHeader || !FindKeyLines()) return false;
        const std::vector<size_t>& blocks = source_->blocks;
        const std::string_view whole = text_;
        contentEnd_ = LineEnd(line);
        text_ = whole.substr(0, blocks.empty() ? whole.size() : blocks.front());
        while (NextLine(&line))
            if (!IsBlank(line.text)) HeaderLine(line);
        *preamble = std::string(whole.substr(0, contentEnd_));
        size_t trailerStart = blocks.empty() ? contentEnd_ : ContentEndBefore(whole, whole.size());
        *trailer = std::string(whole.substr(trailerStart));
        for (size_t i = 0; i < blocks.size(); ++i)
            AddPendingBlock(source_, root, {i, blocks[i] + 1});
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

    // Reads the key lines left on parent as far as the names of its subkeys.
    void ReadSubkeys(HiveKey* parent, const std::vector<HivePendingBlock>& pending) {
        inBlocks_ = true;
        // The text of the last name read with its "\\" separator: a line that
        // starts the same goes on below the same subkey, read no further.
        std::string_view lastPart;
        HiveKey* lastChild = nullptr;
        for (const HivePendingBlock& entry : pending) {
            Line keyLine = KeyLineOf(entry);
            size_t pos = entry.pathPos - keyLine.start;
            size_t pathEnd = entry.pathEnd;
            if (lastChild && keyLine.text.substr(pos, lastPart.size()) == lastPart) {
                BelowSubkey(lastChild, {entry.block, pos + lastPart.size(), pathEnd, 0}, keyLine);
                continue;
            }
            lastChild = nullptr;
            std::string error;
            PathStep step = ReadPathName(keyLine.text, pos, &keyPath_, &error);
            if (step.next == std::string_view::npos) {
                BadBlock(keyLine, "malformed key line: " + error);
            } else if (keyPath_.empty()) {
                OwnBlock(parent, keyLine, step.next);
            } else {
                // A last name read: every name before it was read below the
                // keys that lead here, so the whole line has been read.
                if (step.ended && pathEnd == 0) {
                    if (DepthOf(parent) >= kMaxHiveKeyDepth) {
                        BadBlock(keyLine, TooDeepProblem());
                        continue;
                    }
                    pathEnd = keyLine.start + step.next;
                }
                HiveKey* child = SubkeyFor(parent, keyLine, &pathEnd);
                if (!child) continue;
                if (step.ended) {
                    OwnBlock(child, keyLine, step.next);
                    continue;
                }
                std::string_view part = keyLine.text.substr(pos, step.next - pos);
                if (part.size() >= 2 && part.substr(part.size() - 2) == "\\\\")
                    lastPart = part, lastChild = child;
                BelowSubkey(child, {entry.block, step.next, pathEnd, 0}, keyLine);
            }
        }
    }

  private:
    static constexpr std::string_view kHeader = "WINE REGISTRY Version 2";

    bool NextLine(Line* line) {
        if (pos_ >= text_.size()) return false;
        const void* newline = std::memchr(text_.data() + pos_, '\n', text_.size() - pos_);
        size_t end = newline ? static_cast<const char*>(newline) - text_.data() : text_.size();
        *line = Line{pos_, text_.substr(pos_, end - pos_)};
        pos_ = end + 1;
        return true;
    }
    size_t LineEnd(const Line& line) const {
        return std::min(text_.size(), line.start + line.text.size() + 1);
    }

    void Report(size_t offset, std::string what) {
        source_->problems.emplace_back(base_ + offset, std::move(what));
    }
    void Report(const Line& line, std::string what) { Report(line.start, std::move(what)); }

    // Every line starting with '[' after the header: a key line, unless a
    // line continued onto it (or onto blank lines before it or the end)
    // could take it, which only reading line by line tells.
    bool FindKeyLines() {
        std::vector<size_t>& blocks = source_->blocks;
        const char* data = text_.data();
        for (size_t at = pos_; at < text_.size();) {
            const void* found = std::memchr(data + at, '[', text_.size() - at);
            if (!found) break;
            size_t offset = static_cast<size_t>(static_cast<const char*>(found) - data);
            if (data[offset - 1] == '\n') {
                if (ContinuedBefore(text_, offset)) {
                    blocks.clear();
                    return false;
                }
                blocks.push_back(offset);
            }
            at = offset + 1;
        }
        if (!blocks.empty() && ContinuedBefore(text_, text_.size())) {
            blocks.clear();
            return false;
        }
        return true;
    }

    // The key line of a block, with the text read up to the next block (its
    // end found once, for the first key it is read below).
    Line KeyLineOf(const HivePendingBlock& entry) {
        const std::vector<size_t>& blocks = source_->blocks;
        size_t start = blocks[entry.block];
        size_t end =
            entry.block + 1 < blocks.size() ? blocks[entry.block + 1] : source_->text.size();
        text_ = std::string_view(source_->text).substr(0, end);
        if (entry.lineEnd != 0) {
            pos_ = std::min(end, entry.lineEnd + 1);
            return Line{start, text_.substr(start, entry.lineEnd - start)};
        }
        pos_ = start;
        Line line;
        NextLine(&line);
        return line;
    }

    // How many keys lead from the root to key.
    static size_t DepthOf(const HiveKey* key) {
        size_t depth = 0;
        for (; key->parent; key = key->parent) ++depth;
        return depth;
    }

    // The subkey a key line names next (keyPath_), made when missing if the
    // whole line can be read: keys are made only along lines that are whole
    // (*pathEnd: where the path ends when the line was read whole before,
    // or is now; 0 when not).
    HiveKey* SubkeyFor(HiveKey* parent, const Line& keyLine, size_t* pathEnd) {
        if (HiveKey* found = parent->FindSubkey(keyPath_)) return found;
        if (*pathEnd != 0)
            return parent->AddSubkey(keyPath_, KeyLineTime(keyLine.text, *pathEnd - keyLine.start));
        scratchPath_.clear();
        separators_.clear();
        std::string error;
        size_t after = ParseEscaped(keyLine.text, 1, ']', &scratchPath_, &error, &separators_);
        if (after == std::string_view::npos) {
            BadBlock(keyLine, "malformed key line: " + error);
            return nullptr;
        }
        if (NamedKeys(scratchPath_, separators_) > kMaxHiveKeyDepth) {
            BadBlock(keyLine, TooDeepProblem());
            return nullptr;
        }
        *pathEnd = keyLine.start + after;
        return parent->AddSubkey(keyPath_, KeyLineTime(keyLine.text, after));
    }

    // A key line that goes on below child (rest.pathPos: in the line, just
    // past a separator): the child's own block when only separators follow,
    // else left on it.
    void BelowSubkey(HiveKey* child, HivePendingBlock rest, const Line& keyLine) {
        std::string_view text = keyLine.text;
        size_t pos = rest.pathPos;
        rest.pathPos += keyLine.start;
        rest.lineEnd = keyLine.start + text.size();
        if (pos < text.size() && text[pos] == ']') return OwnBlock(child, keyLine, pos + 1);
        if (pos < text.size() && text[pos] != '\\') return AddPendingBlock(source_, child, rest);
        std::string error;
        PathStep step = ReadPathName(text, pos, &scratchPath_, &error);
        if (step.next == std::string_view::npos)
            return BadBlock(keyLine, "malformed key line: " + error);
        if (scratchPath_.empty()) return OwnBlock(child, keyLine, step.next);
        AddPendingBlock(source_, child, rest);
    }

    // A key's block read from its key line (after: past the path's ']').
    void OwnBlock(HiveKey* key, const Line& keyLine, size_t after) {
        size_t gapStart = ContentEndBefore(text_, keyLine.start);
        currentGap_ = text_.substr(gapStart, keyLine.start - gapStart);
        blockStart_ = keyLine.start;
        contentEnd_ = LineEnd(keyLine);
        inBadBlock_ = false;
        current_ = key;
        StartBlockOf(key, KeyLineTime(keyLine.text, after));
        pos_ = LineEnd(keyLine);
        TakeBlockHead();
        ReadRestOfBlock();
        FinishBlock();
    }

    // A block whose key line cannot be read: its values are read for their
    // problems and kept nowhere.
    void BadBlock(const Line& keyLine, std::string problem) {
        Report(keyLine, std::move(problem));
        current_ = nullptr;
        inBadBlock_ = true;
        contentEnd_ = LineEnd(keyLine);
        pos_ = LineEnd(keyLine);
        ReadRestOfBlock();
    }

    void ReadRestOfBlock() {
        Line line;
        while (NextLine(&line))
            if (!IsBlank(line.text)) BlockLine(line);
    }

    // The key just read keeps its text as written, to be saved unchanged
    // while nothing in it changes.
    void FinishBlock() {
        if (!current_ || current_->changed || blockStart_ >= contentEnd_) return;
        WinePendingKey& kept = KeptFor(source_, current_);
        if (kept.originalBlock.empty()) {
            kept.originalGap = currentGap_;
            kept.originalBlock = text_.substr(blockStart_, contentEnd_ - blockStart_);
        }
    }

    // A line inside a key's block: a comment or a value.
    void BlockLine(const Line& line) {
        contentEnd_ = LineEnd(line);
        char first = line.text[0];
        if (first == '#' || first == ';')
            CommentLine(line);
        else if (first != '@' && first != '"')
            Report(line, "unrecognised line");
        else
            ValueLine(line);
    }

    // After a key line: its comments are read now; the value lines after
    // them are left on the key when reading them later takes the same lines
    // (no comment among them, the last not continued), else they are read
    // from the first of them line by line.
    void TakeBlockHead() {
        size_t valuesStart = std::string_view::npos, valuesEnd = 0;
        // A line continued on the next takes that line whatever it holds;
        // the reader line by line sees to one that ends the block.
        bool continuing = false;
        auto readLineByLine = [&] { pos_ = valuesStart; };
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
            }
            if (comment) return readLineByLine();
            continuing = ContinuesOnNextLine(line.text);
            valuesEnd = LineEnd(line);
        }
        if (valuesStart == std::string_view::npos) return;
        if (continuing) return readLineByLine();
        contentEnd_ = valuesEnd;
        SetPendingValues(source_, current_, text_.substr(valuesStart, valuesEnd - valuesStart));
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
            Report(line, "unrecognised line");
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
            Report(line, "malformed key line: " + error);
            inBadBlock_ = true;
            return;
        }
        // A tree of millions of levels would outgrow the stack of what walks it.
        if (reused + NamedKeys(keyPath_, separators_) > kMaxHiveKeyDepth) {
            Report(line, TooDeepProblem());
            inBadBlock_ = true;
            return;
        }
        FileTime modified = KeyLineTime(text, after);
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

    // Opens the path just read (keyPath_ below the key from) and starts its
    // block.
    HiveKey* OpenKey(HiveKey* from, FileTime modified) {
        HiveKey* key = from;
        size_t begin = 0;
        auto open = [&](size_t end, size_t separatorEnd) {
            if (end > begin) {
                std::u16string_view name(keyPath_.data() + begin, end - begin);
                bool added = false;
                key = key->OpenSubkey(name, modified, &added);
                openPath_.push_back({separatorEnd, key});
            }
        };
        for (const auto& [escapedEnd, index] : separators_) {
            open(index, escapedEnd - 1);
            begin = index + 1;
        }
        open(keyPath_.size(), std::string_view::npos);
        StartBlockOf(key, modified);
        return key;
    }

    // The block just met is the key's own text, or, when the key had one
    // before, merged into it: the key is then written anew.
    void StartBlockOf(HiveKey* key, FileTime modified) {
        if (key->ValuesPending()) key->DecodePendingValues();
        WinePendingKey& kept = KeptFor(source_, key);
        if (kept.hasBlock) {
            key->Touch(key->modified);
            return;
        }
        kept.hasBlock = true;
        key->modified = modified;
        key->changed = false;
        kept.originalBlock = {};
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
                Report(line, "bad #time line");
            else
                current_->modified = t;
        } else if (text.substr(0, 7) == "#class=") {
            std::u16string cls;
            std::string error;
            if (text.size() < 8 || text[7] != '"' ||
                ParseEscaped(text, 8, '"', &cls, &error) == std::string_view::npos) {
                Report(line, "bad #class line" + (error.empty() ? "" : ": " + error));
            } else {
                current_->hasClass = true;
                current_->className = cls;
            }
        } else if (text == "#link") {
            current_->isLink = true;
        } else {
            KeptFor(source_, current_).extraLines.emplace_back(text);
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
                Report(line, error);
                return false;
            }
        }
        *p = SkipSpaces(text, *p);
        if (*p >= text.size() || text[*p] != '=') {
            Report(line,
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
            Report(line, "unknown value type \"" + std::string(rest.substr(0, q + 2)) + "\"");
            return false;
        }
        // Name the type as far as its colon (or the first 20 characters).
        size_t colon = rest.find_first_of(":\"");
        size_t shown =
            colon == std::string_view::npos ? std::min<size_t>(rest.size(), 20) : colon + 1;
        Report(line, rest.empty()
                         ? std::string("truncated line (no data)")
                         : "unknown value type \"" + std::string(rest.substr(0, shown)) + "\"");
        return false;
    }

    bool ReadStringData(const Line& line, size_t p, std::string* data) {
        std::u16string& textValue = textValue_;
        textValue.clear();
        std::string error;
        size_t after = ParseEscaped(line.text, p, '"', &textValue, &error);
        if (after == std::string_view::npos) {
            Report(line, error);
            return false;
        }
        if (SkipSpaces(line.text, after) != line.text.size()) {
            Report(line, "text after the closing quote");
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
            Report(line, "bad dword data");
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
                Report(first, "truncated line (continued past the end of the file)");
                return false;
            case HexListStatus::BadData:
                break;
        }
        Report(last, "bad hex data");
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
            if (!inBadBlock_) Report(line, "value outside any key");
            return;
        }
        // A value given twice makes the key written anew. Values come in
        // order, so a name after the last one is new without a search.
        const std::vector<HiveValue>& values = current_->Values();
        bool mayRepeat = !values.empty() && HiveNameCompare(values.back().name, name) >= 0;
        if (mayRepeat && current_->FindValue(name) && !current_->changed)
            current_->Touch(current_->modified);
        current_->SetValue(name, type, std::move(data));
    }

    HiveSource* source_;
    std::string_view text_;
    size_t base_;  // where text_ starts in source_->text
    size_t pos_ = 0;
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
    // Scratch text reused from line to line (their buffers stay).
    std::u16string keyPath_;
    std::u16string scratchPath_;
    std::vector<std::pair<size_t, size_t>> separators_;
    std::u16string valueName_;
    std::u16string textValue_;
};

}  // namespace

bool IndexHiveText(HiveSource* source, HiveKey* root, std::string* preamble,
                   std::string* relativeTo, std::string* trailer) {
    return HiveReader(source, source->text).IndexFile(root, preamble, relativeTo, trailer);
}

void ReadHiveText(HiveSource* source, HiveKey* root, std::string* preamble, std::string* relativeTo,
                  std::string* trailer) {
    HiveReader(source, source->text).ReadFile(root, preamble, relativeTo, trailer);
}

void ReadHiveValueLines(HiveSource* source, HiveKey* key, std::string_view lines) {
    HiveReader(source, lines).ReadValueLines(key);
}

void ReadHiveSubkeys(HiveSource* source, HiveKey* key,
                     const std::vector<HivePendingBlock>& blocks) {
    HiveReader(source, source->text).ReadSubkeys(key, blocks);
}

}  // namespace tolvane
