#include "testing/pe_builder.h"

#include <cstdint>
#include <string_view>

#include "testing/little_endian.h"

namespace tolvane::testing {
namespace {

void Pad4(std::string& out) {
    while (out.size() % 4) out += '\0';
}

void PutUtf16(std::string& out, std::string_view text) {
    for (char c : text) Append16(out, static_cast<unsigned char>(c));
    Append16(out, 0);
}

// A version resource node: length, value length, type, key, value, children.
std::string Node(std::string_view key, const std::string& value, uint16_t valueLength, bool text,
                 const std::string& children) {
    std::string node;
    Append16(node, 0);
    Append16(node, valueLength);
    Append16(node, text ? 1 : 0);
    PutUtf16(node, key);
    Pad4(node);
    node += value;
    Pad4(node);
    node += children;
    node[0] = static_cast<char>(node.size() & 0xff);
    node[1] = static_cast<char>(node.size() >> 8);
    return node;
}

std::string VersionResource(const PeParts& parts) {
    std::string strings;
    auto add = [&](std::string_view key, const std::string& value) {
        if (value.empty()) return;
        std::string text;
        PutUtf16(text, value);
        strings += Node(key, text, static_cast<uint16_t>(value.size() + 1), true, "");
        Pad4(strings);
    };
    add("CompanyName", parts.company);
    add("ProductName", parts.product);
    add("FileDescription", parts.description);
    std::string table = Node("040904b0", "", 0, true, strings);
    std::string info = Node("StringFileInfo", "", 0, true, table);
    std::string fixed;
    Append32(fixed, 0xfeef04bd);
    fixed.resize(52, '\0');
    return Node("VS_VERSION_INFO", fixed, 52, false, info);
}

// Resource directory: RT_VERSION, name 1, language 0x409, then the data.
std::string Resources(uint32_t sectionRva, const std::string& version) {
    std::string out;
    auto directory = [&](uint32_t id, uint32_t target) {
        Append32(out, 0);  // characteristics
        Append32(out, 0);  // time stamp
        Append32(out, 0);  // versions
        Append16(out, 0);  // named entries
        Append16(out, 1);  // id entries
        Append32(out, id);
        Append32(out, target);
    };
    directory(16, 0x80000000u | 0x18);
    directory(1, 0x80000000u | 0x30);
    directory(0x409, 0x48);
    Append32(out, sectionRva + 0x58);  // the data entry
    Append32(out, static_cast<uint32_t>(version.size()));
    Append32(out, 1200);
    Append32(out, 0);
    out.resize(0x58, '\0');
    return out + version;
}

}  // namespace

std::string BuildPe(const PeParts& parts) {
    const uint32_t sectionRva = 0x1000, rawOffset = 0x200;
    const uint16_t optionalSize = parts.pe32Plus ? 240 : 224;
    std::string pe = "MZ";
    pe.resize(0x3c, '\0');
    Append32(pe, 0x40);
    Append32(pe, 0x00004550);
    Append16(pe, parts.pe32Plus ? 0x8664 : 0x14c);
    Append16(pe, 1);  // sections
    pe.resize(pe.size() + 12, '\0');
    Append16(pe, optionalSize);
    Append16(pe, 0x2102);  // an executable DLL
    const size_t optional = pe.size();
    Append16(pe, parts.pe32Plus ? 0x20b : 0x10b);
    pe.resize(optional + optionalSize, '\0');
    const size_t directories = optional + (parts.pe32Plus ? 112 : 96);
    Set32(pe, directories - 4, 16);
    std::string resources = Resources(sectionRva, VersionResource(parts));
    Set32(pe, directories + 8 * 2, sectionRva);
    Set32(pe, directories + 8 * 2 + 4, static_cast<uint32_t>(resources.size()));
    pe += std::string(".rsrc\0\0\0", 8);
    Append32(pe, static_cast<uint32_t>(resources.size()));
    Append32(pe, sectionRva);
    Append32(pe, static_cast<uint32_t>(resources.size()));
    Append32(pe, rawOffset);
    pe.resize(rawOffset, '\0');
    pe += resources;
    Pad4(pe);
    if (parts.signature) {
        std::string certificate;
        Append32(certificate, 16);
        Append16(certificate, 0x0200);  // WIN_CERT_REVISION_2_0
        Append16(certificate, 0x0002);  // WIN_CERT_TYPE_PKCS_SIGNED_DATA
        certificate += std::string(8, '\x30');
        Set32(pe, directories + 8 * 4, static_cast<uint32_t>(pe.size()));
        Set32(pe, directories + 8 * 4 + 4, static_cast<uint32_t>(certificate.size()));
        pe += certificate;
    }
    return pe;
}

}  // namespace tolvane::testing
