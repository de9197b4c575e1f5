#include "base/codepage.h"

#include <cstdint>

namespace tolvane {
namespace {

// Unicode code points of the bytes 0x80..0x9F in code page 1252; the five
// undefined bytes map to the C1 control of the same value, as Windows does.
constexpr char16_t kHighTable[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t ByteToUnit(unsigned char b) {
    if (b >= 0x80 && b < 0xA0) return kHighTable[b - 0x80];
    return b;
}

// Returns the 1252 byte for a code point, or -1.
int UnitToByte(char32_t u) {
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) return static_cast<int>(u);
    for (int i = 0; i < 32; ++i)
        if (kHighTable[i] == u) return 0x80 + i;
    return -1;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::u16string Cp1252ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (char c : text) out += ByteToUnit(static_cast<unsigned char>(c));
    return out;
}

std::string Utf16ToCp1252(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char16_t u : text) {
        int b = UnitToByte(u);
        out += b < 0 ? '?' : static_cast<char>(b);
    }
    return out;
}

std::string Cp1252ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) AppendUtf8(out, ByteToUnit(static_cast<unsigned char>(c)));
    return out;
}

std::string Utf8ToCp1252(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        char32_t cp = 0;
        size_t len = 0;
        if (c < 0x80) {
            cp = c, len = 1;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F, len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F, len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07, len = 4;
        } else {
            out += '?';
            ++i;
            continue;
        }
        bool ok = i + len <= text.size();
        for (size_t k = 1; ok && k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80) ok = false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!ok) {
            out += '?';
            ++i;
            continue;
        }
        int b = UnitToByte(cp);
        out += b < 0 ? '?' : static_cast<char>(b);
        i += len;
    }
    return out;
}

namespace {

constexpr char kNameEscape = '\xa4';  // the currency sign

// One UTF-8 character at text[i]: its code point and length; 0 when the
// bytes there are no valid character.
size_t DecodeUtf8(std::string_view text, size_t i, char32_t* cp) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t len = c < 0x80             ? 1
                 : (c & 0xE0) == 0xC0 ? 2
                 : (c & 0xF0) == 0xE0 ? 3
                 : (c & 0xF8) == 0xF0 ? 4
                                      : 0;
    if (len == 0 || i + len > text.size()) return 0;
    char32_t value = len == 1 ? c : c & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        unsigned char cc = static_cast<unsigned char>(text[i + k]);
        if ((cc & 0xC0) != 0x80) return 0;
        value = (value << 6) | (cc & 0x3F);
    }
    // Overlong forms and surrogates are no characters either.
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kLeast[len] || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
    *cp = value;
    return len;
}

// The 1252 byte a host character reads as in a name, or -1 when it cannot
// stand there.
int NameByte(char32_t cp) {
    if (cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0)) return -1;  // controls
    if (cp < 0x80 &&
        std::string_view("\\/\"*?|<>:").find(static_cast<char>(cp)) != std::string_view::npos)
        return -1;
    int b = UnitToByte(cp);
    if (b < 0 || static_cast<char>(b) == kNameEscape) return -1;
    return b;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

std::string HostNameToWindows(std::string_view hostName) {
    std::string out;
    out.reserve(hostName.size());
    size_t i = 0;
    while (i < hostName.size()) {
        char32_t cp = 0;
        size_t len = DecodeUtf8(hostName, i, &cp);
        int b = len ? NameByte(cp) : -1;
        if (b >= 0) {
            out += static_cast<char>(b);
            i += len;
            continue;
        }
        for (size_t k = 0; k < (len ? len : 1); ++k) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            unsigned char byte = static_cast<unsigned char>(hostName[i + k]);
            out += kNameEscape;
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
        i += len ? len : 1;
    }
    return out;
}

std::string WindowsNameToHost(std::string_view windowsName) {
    std::string out;
    out.reserve(windowsName.size());
    for (size_t i = 0; i < windowsName.size(); ++i) {
        if (windowsName[i] == kNameEscape && i + 2 < windowsName.size() + 0 &&
            HexValue(windowsName[i + 1]) >= 0 && HexValue(windowsName[i + 2]) >= 0) {
            out +=
                static_cast<char>(HexValue(windowsName[i + 1]) * 16 + HexValue(windowsName[i + 2]));
            i += 2;
            continue;
        }
        AppendUtf8(out, ByteToUnit(static_cast<unsigned char>(windowsName[i])));
    }
    return out;
}

char FoldCase(char c) {
    unsigned char b = static_cast<unsigned char>(c);
    if (b >= 'a' && b <= 'z') return static_cast<char>(b - 32);
    // Latin-1 lower-case letters, except the division sign and y-diaeresis.
    if (b >= 0xE0 && b <= 0xFE && b != 0xF7) return static_cast<char>(b - 32);
    if (b == 0x9A || b == 0x9C || b == 0x9E) return static_cast<char>(b - 16);  // s, oe, z caron
    if (b == 0xFF) return static_cast<char>(0x9F);
    return c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

int CompareNoCase(std::string_view a, std::string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned char x = static_cast<unsigned char>(FoldCase(a[i]));
        unsigned char y = static_cast<unsigned char>(FoldCase(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

std::string ToUpperCp1252(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = FoldCase(c);
    return out;
}

char LowerCp1252(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'A' && u <= 'Z') return static_cast<char>(u + 32);
    if (u >= 0xC0 && u <= 0xDE && u != 0xD7) return static_cast<char>(u + 32);
    return c;
}

std::string ToLowerCp1252(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = LowerCp1252(c);
    return out;
}

}  // namespace tolvane
