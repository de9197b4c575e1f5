#include "update/version_text.h"

#include <charconv>
#include <cmath>

namespace tolvane {

namespace {
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
}  // namespace

double VersionNumberFromText(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                               text[i] == '\r' || text[i] == '\v' || text[i] == '\f')) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Decimal numbers only; "inf", "nan" and hexadecimal text read as 0.
    if (i >= text.size() || !(IsDigit(text[i]) || text[i] == '.')) return 0;
    double value = 0;
    auto result = std::from_chars(text.data() + i, text.data() + text.size(), value);
    if (result.ec != std::errc() || !std::isfinite(value)) return 0;
    return negative ? -value : value;
}

std::string FormatVersion(double version) {
    if (!std::isfinite(version)) version = 0;
    int decimals = 0;
    double number = std::fabs(version);
    // Counting multiplies a copy by ten while its first digit after the point
    // is not zero; the number itself is shown rounded to that many decimals.
    while (decimals <= 5 && std::floor((number - std::floor(number)) * 10) != 0) {
        ++decimals;
        number *= 10;
    }
    char buffer[400];
    auto result =
        std::to_chars(buffer, buffer + sizeof buffer, version, std::chars_format::fixed, decimals);
    if (result.ec != std::errc()) return "0";
    return std::string(buffer, result.ptr);
}

}  // namespace tolvane
