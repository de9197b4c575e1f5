#include "update/update_description.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <optional>
#include <vector>

#include "base/text.h"

namespace tolvane {

namespace {

// Blanks on both sides, and the '\r' of a CRLF line at its end.
std::string_view TrimLine(std::string_view text) {
    return TrimEnd(TrimStart(text), " \t\r");
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "3", "3.45", "16.05": digits, optionally a point and more digits. No sign,
// no exponent, at most 15 digits so the number is read exactly enough.
std::optional<double> ReadVersion(std::string_view text) {
    size_t digits = 0;
    size_t i = 0;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
    if (i == 0) return std::nullopt;
    if (i < text.size() && text[i] == '.') {
        ++i;
        size_t fraction = 0;
        while (i < text.size() && IsDigit(text[i])) ++i, ++fraction;
        if (fraction == 0) return std::nullopt;
        digits += fraction;
    }
    if (i != text.size() || digits > 15) return std::nullopt;
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<uint64_t> ReadSize(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    for (char c : text) {
        if (!IsDigit(c)) return std::nullopt;
    }
    uint64_t value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    if (value == 0 || value > kMaxUpdateDownloadBytes) return std::nullopt;
    return value;
}

std::optional<std::string> ReadSha256(std::string_view text) {
    if (text.size() != 64) return std::nullopt;
    std::string hex;
    for (char c : text) {
        if (IsDigit(c) || (c >= 'a' && c <= 'f')) {
            hex += c;
        } else if (c >= 'A' && c <= 'F') {
            hex += static_cast<char>(c - 'A' + 'a');
        } else {
            return std::nullopt;
        }
    }
    return hex;
}

bool IsNameChar(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' || c == '-' ||
           c == '_';
}

// A path on the update server: "/" then components of letters, digits, ".",
// "-" and "_", none of them "." or ".."; the last one becomes the file name
// of the download, so it must not start with a dot either. Anything that
// could reach another host or leave the Updates folder is refused.
bool ReadFilePath(std::string_view text, std::string* fileName) {
    if (text.size() < 2 || text.size() > 512 || text.front() != '/') return false;
    std::string_view rest = text.substr(1);
    std::string_view component;
    while (true) {
        size_t slash = rest.find('/');
        component = rest.substr(0, slash);
        if (component.empty() || component == "." || component == "..") return false;
        for (char c : component) {
            if (!IsNameChar(c)) return false;
        }
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    if (component.front() == '.' || component.size() > 100) return false;
    *fileName = std::string(component);
    return true;
}

}  // namespace

bool IsUpdateDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (!IsDigit(text[i])) return false;
    }
    auto number = [&](size_t at, size_t length) {
        int value = 0;
        std::from_chars(text.data() + at, text.data() + at + length, value);
        return value;
    };
    std::chrono::year_month_day day{std::chrono::year(number(0, 4)),
                                    std::chrono::month(static_cast<unsigned>(number(5, 2))),
                                    std::chrono::day(static_cast<unsigned>(number(8, 2)))};
    return day.ok();
}

namespace {

// Reads the value of field (0 version, 1 file, 2 size, 3 sha256, 4 date,
// 5 product) into the description; "" when it is good, else why not.
std::string ReadField(int field, std::string_view value, UpdateDescription* result) {
    switch (field) {
        case 0: {
            auto version = ReadVersion(value);
            if (!version) return "version is not a number like 3.45";
            result->version = *version;
            result->versionText = std::string(value);
            return "";
        }
        case 1:
            if (!ReadFilePath(value, &result->fileName))
                return "file is not a plain path on the server";
            result->file = std::string(value);
            return "";
        case 2: {
            auto size = ReadSize(value);
            if (!size) return "size is not a number of bytes from 1 to 1 GiB";
            result->size = *size;
            return "";
        }
        case 3: {
            auto hash = ReadSha256(value);
            if (!hash) return "sha256 is not 64 hexadecimal digits";
            result->sha256 = *hash;
            return "";
        }
        case 4:
            if (!IsUpdateDate(value)) return "date is not a day like 2026-12-09";
            result->date = std::string(value);
            return "";
        default:
            if (value != kProgramProduct && value != kDefinitionsProduct)
                return "product is not \"program\" or \"definitions\"";
            result->product = std::string(value);
            return "";
    }
}

}  // namespace

bool ParseUpdateDescription(std::string_view text, UpdateDescription* description,
                            std::string* error) {
    auto fail = [error](size_t line, const std::string& what) {
        if (error) *error = line ? "line " + std::to_string(line) + ": " + what : what;
        return false;
    };
    if (text.size() > kMaxUpdateDescriptionBytes) return fail(0, "too large");
    if (text.find('\0') != std::string_view::npos) return fail(0, "holds a zero byte");

    UpdateDescription result;
    constexpr int kFields = 6;
    bool seen[kFields] = {};
    const char* names[kFields] = {"version", "file", "size", "sha256", "date", "product"};
    size_t lineNumber = 0;
    bool first = true;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        ++lineNumber;
        line = TrimLine(line);
        if (first) {
            // The identifying first line keeps other files (an error page, a
            // file of another format) from being taken for a description.
            if (line != "tolvane-update 1") return fail(lineNumber, "not \"tolvane-update 1\"");
            first = false;
            continue;
        }
        if (line.empty() || line.front() == '#') continue;
        size_t colon = line.find(':');
        if (colon == std::string_view::npos) return fail(lineNumber, "no \"name: value\"");
        std::string_view name = TrimLine(line.substr(0, colon));
        std::string_view value = TrimLine(line.substr(colon + 1));
        int field = -1;
        for (int i = 0; i < kFields; ++i) {
            if (name == names[i]) field = i;
        }
        if (field < 0) continue;  // names of later formats are left to them
        if (seen[field]) return fail(lineNumber, std::string(name) + " given twice");
        seen[field] = true;
        if (std::string why = ReadField(field, value, &result); !why.empty())
            return fail(lineNumber, why);
    }
    if (first) return fail(0, "empty");
    for (int i = 0; i < kFields; ++i) {
        if (!seen[i]) return fail(0, std::string(names[i]) + " is missing");
    }
    *description = std::move(result);
    return true;
}

}  // namespace tolvane
