#include "machine/value_text.h"

#include <algorithm>

#include "base/text.h"
#include "base/win_types.h"

namespace tolvane {
namespace {

bool StartsWith(std::string_view text, std::string_view head, bool anyCase) {
    if (anyCase) return StartsWithNoCase(text, head);
    return text.substr(0, head.size()) == head;
}

// "(N):" after "hex": N in 1 to 8 hex digits.
std::optional<ValueTypeText> ReadNumberedHexType(std::string_view text) {
    size_t q = 4;  // after "hex("
    uint32_t type = 0;
    while (q < text.size() && q < 12 && IsHexDigit(text[q]))
        type = type * 16 + static_cast<uint32_t>(HexDigitValue(text[q++]));
    if (q == 4 || text.substr(q, 2) != "):") return std::nullopt;
    return ValueTypeText{type, ValueDataForm::HexBytes, q + 2};
}

}  // namespace

std::optional<ValueTypeText> ReadValueTypeText(std::string_view text, ValueTypeRules rules) {
    struct Prefix {
        std::string_view text;
        uint32_t type;
        ValueDataForm form;
        bool wineOnly;
    };
    static constexpr Prefix kPrefixes[] = {
        {"\"", REG_SZ, ValueDataForm::String, false},
        {"str:\"", REG_SZ, ValueDataForm::String, true},
        {"str(2):\"", REG_EXPAND_SZ, ValueDataForm::String, true},
        {"str(7):\"", REG_MULTI_SZ, ValueDataForm::String, true},
        {"dword:", REG_DWORD, ValueDataForm::Dword, false},
        {"hex:", REG_BINARY, ValueDataForm::HexBytes, false},
    };
    for (const Prefix& prefix : kPrefixes) {
        if (prefix.wineOnly && !rules.wineStrings) continue;
        if (StartsWith(text, prefix.text, rules.anyCase))
            return ValueTypeText{prefix.type, prefix.form, prefix.text.size()};
    }
    if (StartsWith(text, "hex(", rules.anyCase)) return ReadNumberedHexType(text);
    return std::nullopt;
}

std::optional<std::string> DwordDataFromDigits(std::string_view digits) {
    if (digits.empty() || digits.size() > 8) return std::nullopt;
    uint32_t value = 0;
    for (char c : digits) {
        if (!IsHexDigit(c)) return std::nullopt;
        value = value * 16 + static_cast<uint32_t>(HexDigitValue(c));
    }
    return std::string{static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                       static_cast<char>((value >> 16) & 0xFF),
                       static_cast<char>((value >> 24) & 0xFF)};
}

HexListStatus ReadHexByteList(std::string_view text,
                              const std::function<std::optional<std::string_view>()>& nextLine,
                              std::string* bytes) {
    constexpr std::string_view kBlanks = " \t\r";
    bool byteMayStand = true;  // at the start or after a comma
    size_t pos = 0;
    while (true) {
        pos = std::min(text.find_first_not_of(kBlanks, pos), text.size());
        if (pos == text.size()) return HexListStatus::Ok;
        char c = text[pos];
        if (c == '\\' && text.find_first_not_of(kBlanks, pos + 1) == std::string_view::npos) {
            if (!byteMayStand) return HexListStatus::BadData;
            std::optional<std::string_view> next = nextLine();
            if (!next) return HexListStatus::Truncated;
            text = *next;
            pos = 0;
            continue;
        }
        if (!byteMayStand) {
            if (c != ',') return HexListStatus::BadData;
            byteMayStand = true;
            ++pos;
            continue;
        }
        if (!IsHexDigit(c)) return HexListStatus::BadData;
        int byte = HexDigitValue(text[pos++]);
        if (pos < text.size() && IsHexDigit(text[pos]))
            byte = byte * 16 + HexDigitValue(text[pos++]);
        if (pos < text.size() && IsHexDigit(text[pos])) return HexListStatus::BadData;
        *bytes += static_cast<char>(byte);
        byteMayStand = false;
    }
}

}  // namespace tolvane
