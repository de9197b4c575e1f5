#include "testing/shortcut_builder.h"

#include <cstdint>

#include "testing/little_endian.h"

namespace tolvane::testing {
namespace {

// LinkInfo: header, a VolumeID of a fixed disk without label, the local
// base path and an empty common path suffix.
std::string LinkInfo(std::string_view target) {
    const uint32_t headerSize = 0x1C, volumeSize = 0x11;
    const uint32_t basePathOffset = headerSize + volumeSize;
    const uint32_t suffixOffset = basePathOffset + static_cast<uint32_t>(target.size()) + 1;
    std::string info;
    Append32(info, suffixOffset + 1);  // LinkInfoSize
    Append32(info, headerSize);
    Append32(info, 1);  // VolumeIDAndLocalBasePath
    Append32(info, headerSize);
    Append32(info, basePathOffset);
    Append32(info, 0);  // no network location
    Append32(info, suffixOffset);
    Append32(info, volumeSize);
    Append32(info, 3);           // DRIVE_FIXED
    Append32(info, 0x12345678);  // serial number
    Append32(info, 0x10);        // label offset: the empty label below
    info += '\0';
    info.append(target);
    info += '\0';
    info += '\0';  // common path suffix
    return info;
}

}  // namespace

std::string BuildShortcut(std::string_view target, std::string_view arguments) {
    const uint32_t kHasLinkInfo = 0x2, kHasArguments = 0x20, kIsUnicode = 0x80;
    std::string out;
    Append32(out, 0x4C);
    const unsigned char clsid[16] = {0x01, 0x14, 0x02, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    out.append(reinterpret_cast<const char*>(clsid), sizeof clsid);
    Append32(out, kHasLinkInfo | kIsUnicode | (arguments.empty() ? 0 : kHasArguments));
    Append32(out, 0x20);              // FILE_ATTRIBUTE_ARCHIVE
    out.append(24, '\0');             // creation, access, write times
    Append32(out, 0);                 // file size
    Append32(out, 0);                 // icon index
    Append32(out, 1);                 // SW_SHOWNORMAL
    out.append(2 + 2 + 4 + 4, '\0');  // hot key, reserved
    out += LinkInfo(target);
    if (!arguments.empty()) {
        Append16(out, static_cast<uint16_t>(arguments.size()));
        for (char c : arguments) Append16(out, static_cast<unsigned char>(c));
    }
    Append32(out, 0);  // terminal block
    return out;
}

}  // namespace tolvane::testing
