#include "regfile/registry_import.h"

#include <cctype>
#include <vector>

#include "base/codepage.h"
#include "base/text.h"
#include "machine/file_system.h"
#include "machine/registry.h"
#include "machine/value_text.h"
#include "machine/wine/wine_hive.h"
#include "regfile/registry_export.h"

namespace tolvane {
namespace {

enum class OpKind { Key, SetValue, DeleteValue, BadKey };

struct Op {
    OpKind kind = OpKind::Key;
    RootKey root = RootKey::LocalMachine;
    std::string path;  // Key
    std::string name;  // SetValue, DeleteValue
    uint32_t type = REG_NONE;
    std::string data;
};

struct Parse {
    std::vector<Op> ops;
    size_t skippedLines = 0;
    bool needsUnescaped = false;  // seen a quoted text that is not in the escaped form
    bool utf16File = false;       // the file was UTF-16LE: string data in hex is too
};

bool IsStringType(uint32_t type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// String data written as hex bytes, in the registry's code page. A UTF-16
// file holds it as UTF-16LE (an odd last byte is dropped), an 8-bit file as
// the code page's bytes, whatever its header says: the registry editor
// writes version 5.00 files in UTF-16 and REGEDIT4 files in the code page,
// and reads them by their encoding, as our 8-bit backups need.
std::string StringDataFromHex(const std::string& bytes, bool utf16File) {
    return utf16File ? Utf16ToCp1252(BytesToUtf16(bytes)) : bytes;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// A quoted text in the escaped form, s beginning at its opening quote. *rest
// is what follows the closing quote. False when there is no closing quote;
// *lone is set when a backslash escapes nothing.
bool ReadEscaped(std::string_view s, std::string* text, std::string_view* rest, bool* lone) {
    text->clear();
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
            *text += s[++i];
        } else if (c == '\\') {
            *lone = true;
            *text += c;
        } else if (c == '"') {
            *rest = s.substr(i + 1);
            return true;
        } else {
            *text += c;
        }
    }
    return false;
}

// The data part of a value line (after "=" and blanks). lines/index give
// access to continuation lines, which are consumed.
bool ParseData(std::string_view data, const std::vector<std::string_view>& lines, size_t* index,
               bool escaped, Parse* parse, Op* op) {
    data = TrimEnd(data);
    if (data == "-") {
        op->kind = OpKind::DeleteValue;
        return true;
    }
    op->kind = OpKind::SetValue;
    if (!data.empty() && data.front() == '"') {
        std::string text;
        if (escaped) {
            std::string_view rest;
            bool lone = false;
            if (!ReadEscaped(data, &text, &rest, &lone) || !Trim(rest).empty()) {
                parse->needsUnescaped = true;
                return false;
            }
            if (lone) parse->needsUnescaped = true;
        } else {
            size_t last = data.rfind('"');
            if (last == 0) return false;
            text.assign(data.substr(1, last - 1));
        }
        op->type = REG_SZ;
        op->data = text;
        op->data += '\0';
        return true;
    }
    // Type words in any case; blanks around dword digits.
    std::optional<ValueTypeText> read = ReadValueTypeText(data, {true, false});
    if (!read || read->form == ValueDataForm::String) return false;
    op->type = read->type;
    if (read->form == ValueDataForm::Dword) {
        std::optional<std::string> dword = DwordDataFromDigits(Trim(data.substr(read->length)));
        if (!dword) return false;
        op->data = std::move(*dword);
        return true;
    }
    auto nextLine = [&]() -> std::optional<std::string_view> {
        if (*index + 1 >= lines.size()) return std::nullopt;
        return lines[++*index];
    };
    op->data.clear();
    if (ReadHexByteList(data.substr(read->length), nextLine, &op->data) != HexListStatus::Ok) {
        // The rest of a refused value's continued lines goes with it.
        while (*index + 1 < lines.size() && TrimEnd(lines[*index]).ends_with('\\')) ++*index;
        return false;
    }
    if (IsStringType(op->type)) op->data = StringDataFromHex(op->data, parse->utf16File);
    return true;
}

// A value line beginning with '"' or '@'.
bool ParseValueLine(std::string_view line, const std::vector<std::string_view>& lines,
                    size_t* index, bool escaped, Parse* parse, Op* op) {
    std::string_view rest;
    if (line.front() == '@') {
        op->name.clear();
        rest = line.substr(1);
    } else if (escaped) {
        bool lone = false;
        if (!ReadEscaped(line, &op->name, &rest, &lone)) {
            parse->needsUnescaped = true;
            return false;
        }
        if (lone) parse->needsUnescaped = true;
    } else {
        // The name ends at the first quote that "=" follows.
        size_t end = 1;
        for (;; ++end) {
            end = line.find('"', end);
            if (end == std::string_view::npos) return false;
            std::string_view after = TrimStart(line.substr(end + 1));
            if (!after.empty() && after.front() == '=') break;
        }
        op->name.assign(line.substr(1, end - 1));
        rest = line.substr(end + 1);
    }
    rest = TrimStart(rest);
    if (rest.empty() || rest.front() != '=') {
        if (escaped) parse->needsUnescaped = true;
        return false;
    }
    return ParseData(TrimStart(rest.substr(1)), lines, index, escaped, parse, op);
}

bool IsHeader(std::string_view line) {
    line = Trim(line);
    if (line.size() >= 3 && line.substr(0, 3) == "\xEF\xBB\xBF") line.remove_prefix(3);
    return line == kRegistryHeaderV4 || line == kRegistryHeaderV5;
}

// The file as 8-bit text: a UTF-16LE file (with its byte-order mark, as the
// registry editor writes version 5.00 files) converted to the code page.
std::string FileText(std::string_view raw, bool* utf16File) {
    *utf16File = raw.size() >= 2 && raw[0] == '\xFF' && raw[1] == '\xFE';
    if (!*utf16File) return std::string(raw);
    return Utf16ToCp1252(BytesToUtf16(raw.substr(2)));
}

void ParseLines(const std::vector<std::string_view>& lines, size_t first, bool escaped,
                Parse* parse) {
    bool inKey = false;
    for (size_t i = first; i < lines.size(); ++i) {
        std::string_view line = TrimStart(lines[i]);
        if (TrimEnd(line).empty()) continue;
        if (line.front() == '[') {
            size_t close = line.rfind(']');
            Op op;
            inKey = false;
            if (close == std::string_view::npos || close < 2 || line[1] == '-' ||
                !SplitRegistryPath(line.substr(1, close - 1), &op.root, &op.path)) {
                ++parse->skippedLines;
                op.kind = OpKind::BadKey;
                parse->ops.push_back(op);
                continue;
            }
            op.kind = OpKind::Key;
            parse->ops.push_back(op);
            inKey = true;
            continue;
        }
        if (line.front() == '"' || line.front() == '@') {
            Op op;
            if (inKey && ParseValueLine(line, lines, &i, escaped, parse, &op)) {
                parse->ops.push_back(op);
            } else {
                ++parse->skippedLines;
            }
            continue;
        }
        ++parse->skippedLines;
    }
}

}  // namespace

bool ImportRegistryText(Registry& registry, std::string_view raw, RegistryImportReport* report) {
    RegistryImportReport local;
    RegistryImportReport& out = report ? *report : local;
    out = RegistryImportReport{};
    bool utf16File = false;
    const std::string text = FileText(raw, &utf16File);
    std::vector<std::string_view> lines = SplitLines(text);
    size_t first = 0;
    while (first < lines.size() && Trim(lines[first]).empty()) ++first;
    if (first == lines.size() || !IsHeader(lines[first])) return false;

    Parse parse;
    parse.utf16File = utf16File;
    ParseLines(lines, first + 1, true, &parse);
    if (parse.needsUnescaped) {
        parse = Parse{};
        parse.utf16File = utf16File;
        ParseLines(lines, first + 1, false, &parse);
        out.escaped = false;
    }
    out.skippedLines = parse.skippedLines;

    RegKey key;
    for (const Op& op : parse.ops) {
        switch (op.kind) {
            case OpKind::BadKey:
                registry.CloseKey(key);
                break;
            case OpKind::Key:
                registry.CloseKey(key);
                if (registry.CreateKey(Registry::Root(op.root), op.path, KEY_ALL_ACCESS, &key) ==
                    ERROR_SUCCESS) {
                    ++out.keys;
                } else {
                    key.open = false;
                    ++out.failed;
                }
                break;
            case OpKind::SetValue:
            case OpKind::DeleteValue: {
                if (!key.open) {
                    ++out.failed;
                    break;
                }
                long rc = op.kind == OpKind::SetValue
                              ? registry.SetValue(key, op.name, op.type, op.data)
                              : registry.DeleteValue(key, op.name);
                if (rc == ERROR_SUCCESS ||
                    (op.kind == OpKind::DeleteValue && rc == ERROR_FILE_NOT_FOUND)) {
                    ++out.values;
                } else {
                    ++out.failed;
                }
                break;
            }
        }
    }
    registry.CloseKey(key);
    return true;
}

bool ImportRegistryFile(Registry& registry, const FileSystem& files, std::string_view path,
                        RegistryImportReport* report) {
    std::string text;
    if (!files.ReadWholeFile(path, &text)) return false;
    return ImportRegistryText(registry, text, report);
}

}  // namespace tolvane
