#include "scan/percent_decode.h"

namespace tolvane {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string PercentDecode(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text[i] != '%') {
            out += text[i++];
        } else if (i + 1 == text.size()) {
            break;
        } else if (i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
                   HexDigit(text[i + 2]) >= 0) {
            char byte = static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            if (byte == '\0') break;
            out += byte;
            i += 3;
        } else {
            out += text[i + 1];
            i += 2;
        }
    }
    return out;
}

}  // namespace tolvane
