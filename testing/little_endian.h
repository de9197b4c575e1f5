// Little-endian numbers written into the byte strings the test builders make
// (hives, shortcuts, PE files): appended at the end, or set at an offset the
// string already holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tolvane::testing {

inline void Append16(std::string& out, uint16_t value) {
    out += static_cast<char>(value & 0xff);
    out += static_cast<char>(value >> 8);
}

inline void Append32(std::string& out, uint32_t value) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xff);
}

inline void Set16(std::string& out, size_t at, uint16_t value) {
    out[at] = static_cast<char>(value & 0xff);
    out[at + 1] = static_cast<char>(value >> 8);
}

inline void Set32(std::string& out, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

}  // namespace tolvane::testing
