#include "host/pe_facts.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "base/codepage.h"

namespace tolvane {
namespace {

// The PE/COFF format's numbers (Microsoft, "PE Format").
constexpr uint32_t kPeSignature = 0x00004550;  // "PE\0\0"
constexpr uint16_t kPe32 = 0x10b;
constexpr uint16_t kPe32Plus = 0x20b;
constexpr uint32_t kResourceDirectory = 2;
constexpr uint32_t kSecurityDirectory = 4;
constexpr uint32_t kVersionResource = 16;  // RT_VERSION
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kSectionLimit = 96;  // what the Windows loader accepts
// Entries looked at in one resource directory: a real file has a few dozen.
constexpr size_t kResourceEntryLimit = 4096;
// Nodes looked at below one node of the version resource.
constexpr size_t kVersionChildLimit = 512;

// Overflow-safe: whether [offset, offset + size) lies within total.
bool Within(uint64_t offset, uint64_t size, uint64_t total) {
    return offset <= total && size <= total - offset;
}

bool Read16(std::string_view bytes, uint64_t offset, uint16_t* value) {
    if (!Within(offset, 2, bytes.size())) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    *value = static_cast<uint16_t>(p[0] | p[1] << 8);
    return true;
}

bool Read32(std::string_view bytes, uint64_t offset, uint32_t* value) {
    if (!Within(offset, 4, bytes.size())) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + offset);
    *value = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    return true;
}

struct Section {
    uint32_t virtualAddress = 0, virtualSize = 0, rawSize = 0, rawOffset = 0;
};

struct Image {
    std::string_view bytes;
    std::vector<Section> sections;
    uint32_t resourceRva = 0, resourceSize = 0;

    // The file offset of size bytes at rva, when one section's raw data holds them.
    bool Offset(uint32_t rva, uint32_t size, uint64_t* offset) const {
        for (const Section& section : sections) {
            if (rva < section.virtualAddress) continue;
            uint64_t into = rva - section.virtualAddress;
            if (!Within(into, size, section.rawSize)) continue;
            *offset = uint64_t{section.rawOffset} + into;
            return true;
        }
        return false;
    }
};

// The headers: false when the bytes are no PE file.
bool ReadHeaders(std::string_view bytes, uint64_t fileSize, Image* image, PeFacts* facts) {
    uint16_t mz = 0, sectionCount = 0, optionalSize = 0, magic = 0;
    uint32_t peOffset = 0, signature = 0;
    if (!Read16(bytes, 0, &mz) || mz != 0x5a4d || !Read32(bytes, 0x3c, &peOffset) ||
        !Read32(bytes, peOffset, &signature) || signature != kPeSignature)
        return false;
    const uint64_t fileHeader = uint64_t{peOffset} + 4;
    const uint64_t optional = fileHeader + 20;
    if (!Read16(bytes, fileHeader + 2, &sectionCount) ||
        !Read16(bytes, fileHeader + 16, &optionalSize) || !Read16(bytes, optional, &magic) ||
        (magic != kPe32 && magic != kPe32Plus))
        return false;
    const uint64_t countAt = optional + (magic == kPe32 ? 92 : 108);
    const uint64_t directories = countAt + 4;
    uint32_t directoryCount = 0;
    if (!Read32(bytes, countAt, &directoryCount) || directories > optional + optionalSize)
        return false;
    facts->isPe = true;
    // Only the directories the optional header both counts and holds.
    uint64_t held = (optional + optionalSize - directories) / 8;
    directoryCount = static_cast<uint32_t>(std::min<uint64_t>(directoryCount, held));
    uint32_t certificates = 0, certificatesSize = 0;
    // The security directory gives a file offset, not an address in memory.
    if (directoryCount > kSecurityDirectory &&
        Read32(bytes, directories + 8 * kSecurityDirectory, &certificates) &&
        Read32(bytes, directories + 8 * kSecurityDirectory + 4, &certificatesSize))
        facts->signature = certificates != 0 && certificatesSize >= 8 &&
                           Within(certificates, certificatesSize, fileSize);
    if (directoryCount > kResourceDirectory) {
        Read32(bytes, directories + 8 * kResourceDirectory, &image->resourceRva);
        Read32(bytes, directories + 8 * kResourceDirectory + 4, &image->resourceSize);
    }
    const uint64_t table = optional + optionalSize;
    for (size_t i = 0; i < std::min<size_t>(sectionCount, kSectionLimit); ++i) {
        Section section;
        uint64_t at = table + i * kSectionHeaderSize;
        if (!Read32(bytes, at + 8, &section.virtualSize) ||
            !Read32(bytes, at + 12, &section.virtualAddress) ||
            !Read32(bytes, at + 16, &section.rawSize) ||
            !Read32(bytes, at + 20, &section.rawOffset))
            break;
        image->sections.push_back(section);
    }
    return true;
}

// One step down the resource tree: the entry of the directory at offset
// (relative to the resource section) whose id is wanted, or its first entry
// when wanted is negative. *child is relative to the resource section too;
// *isDirectory says whether it is another directory or the data entry.
bool ResourceChild(std::string_view bytes, uint64_t base, uint32_t directory, int64_t wanted,
                   uint32_t* child, bool* isDirectory) {
    uint16_t named = 0, ids = 0;
    const uint64_t at = base + directory;
    if (!Read16(bytes, at + 12, &named) || !Read16(bytes, at + 14, &ids)) return false;
    size_t count = std::min<size_t>(size_t{named} + ids, kResourceEntryLimit);
    for (size_t i = 0; i < count; ++i) {
        uint32_t name = 0, target = 0;
        if (!Read32(bytes, at + 16 + 8 * i, &name) || !Read32(bytes, at + 20 + 8 * i, &target))
            return false;
        if (wanted >= 0 && ((name & 0x80000000u) || name != wanted)) continue;
        *isDirectory = (target & 0x80000000u) != 0;
        *child = target & 0x7fffffffu;
        return true;
    }
    return false;
}

// The version resource's bytes, or "" with *problem said.
std::string_view VersionResource(const Image& image, std::string* problem) {
    uint64_t base = 0;
    if (image.resourceRva == 0) return {};
    if (!image.Offset(image.resourceRva, 16, &base)) {
        *problem = "the resource directory lies outside the file's sections or the bytes read";
        return {};
    }
    uint32_t node = 0;
    bool isDirectory = true;
    // Type, then name, then language: always three levels.
    for (int level = 0; level < 3; ++level) {
        if (!isDirectory || !ResourceChild(image.bytes, base, node,
                                           level == 0 ? int64_t{kVersionResource} : int64_t{-1},
                                           &node, &isDirectory)) {
            if (level > 0) *problem = "the version resource's directory is damaged";
            return {};
        }
    }
    uint32_t rva = 0, size = 0;
    uint64_t offset = 0;
    if (isDirectory || !Read32(image.bytes, base + node, &rva) ||
        !Read32(image.bytes, base + node + 4, &size) || !image.Offset(rva, size, &offset) ||
        !Within(offset, size, image.bytes.size())) {
        *problem = "the version resource lies outside the file's sections or the bytes read";
        return {};
    }
    return image.bytes.substr(offset, size);
}

// One node of the version resource (VS_VERSIONINFO, StringFileInfo,
// StringTable, String): its key, its value's offset, where its children
// start and where it ends, all within the resource's bytes.
struct VersionNode {
    std::u16string key;
    uint64_t value = 0, children = 0, end = 0;
    uint16_t valueLength = 0;
};

uint64_t Align4(uint64_t offset) {
    return (offset + 3) & ~uint64_t{3};
}

// A UTF-16 text from offset up to its NUL or limit, at most maxChars long.
std::u16string Utf16At(std::string_view bytes, uint64_t offset, uint64_t limit, size_t maxChars) {
    std::u16string text;
    uint16_t c = 0;
    while (offset + 2 <= limit && text.size() < maxChars && Read16(bytes, offset, &c) && c != 0) {
        text += static_cast<char16_t>(c);
        offset += 2;
    }
    return text;
}

bool ReadNode(std::string_view bytes, uint64_t at, uint64_t limit, VersionNode* node) {
    uint16_t length = 0;
    if (!Read16(bytes, at, &length) || length < 6 || at + length > limit ||
        !Read16(bytes, at + 2, &node->valueLength))
        return false;
    node->end = at + length;
    node->key = Utf16At(bytes, at + 6, node->end, 64);
    node->value = Align4(at + 6 + 2 * (node->key.size() + 1));
    return node->value <= node->end;
}

// The children of the node, each read; stops at the first damaged one.
template <typename Visit>
void EachChild(std::string_view bytes, uint64_t from, uint64_t end, Visit visit) {
    uint64_t at = Align4(from);
    for (size_t i = 0; i < kVersionChildLimit && at + 6 <= end; ++i) {
        VersionNode child;
        if (!ReadNode(bytes, at, end, &child)) return;
        visit(child);
        at = Align4(child.end);
    }
}

std::string Clean(const std::u16string& text) {
    std::string out = Utf16ToCp1252(text);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return out;
}

struct Names {
    std::string company, product, description;
};

Names TableNames(std::string_view bytes, const VersionNode& table) {
    Names names;
    EachChild(bytes, table.value, table.end, [&](const VersionNode& text) {
        std::string value = Clean(Utf16At(bytes, text.value, text.end, kPeTextLimit));
        if (text.key == u"CompanyName") names.company = value;
        if (text.key == u"ProductName") names.product = value;
        if (text.key == u"FileDescription") names.description = value;
    });
    return names;
}

void ReadVersionNames(std::string_view bytes, PeFacts* facts) {
    VersionNode root;
    if (!ReadNode(bytes, 0, bytes.size(), &root) || root.key != u"VS_VERSION_INFO") {
        facts->problem = "the version resource is damaged";
        return;
    }
    // The fixed file information comes first; the string tables follow it.
    uint64_t children = root.value + root.valueLength;
    if (children > root.end) {
        facts->problem = "the version resource is damaged";
        return;
    }
    bool haveFirst = false, haveEnglish = false;
    Names first, english;
    EachChild(bytes, children, root.end, [&](const VersionNode& info) {
        if (info.key != u"StringFileInfo") return;
        EachChild(bytes, info.value, info.end, [&](const VersionNode& table) {
            if (!haveFirst) first = TableNames(bytes, table), haveFirst = true;
            if (!haveEnglish && table.key.rfind(u"0409", 0) == 0)
                english = TableNames(bytes, table), haveEnglish = true;
        });
    });
    const Names& names = haveEnglish ? english : first;
    facts->company = names.company;
    facts->product = names.product;
    facts->description = names.description;
}

}  // namespace

PeFacts ReadPeFacts(std::string_view bytes, uint64_t fileSize) {
    PeFacts facts;
    Image image;
    image.bytes = bytes;
    if (!ReadHeaders(bytes, std::max<uint64_t>(fileSize, bytes.size()), &image, &facts))
        return facts;
    std::string_view version = VersionResource(image, &facts.problem);
    if (!version.empty()) ReadVersionNames(version, &facts);
    return facts;
}

}  // namespace tolvane
