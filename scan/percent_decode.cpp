#include "scan/percent_decode.h"

#include "base/text.h"

namespace tolvane {

std::string PercentDecode(std::string_view text) {
    text = text.substr(0, text.find('\0'));
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text[i] != '%') {
            out += text[i++];
        } else if (i + 1 == text.size()) {
            break;
        } else if (i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
                   HexDigitValue(text[i + 2]) >= 0) {
            char byte =
                static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2]));
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
