// The PE reader over files the test builds: the names and the signature of
// both optional header forms, and damaged or hostile bytes.
#include "host/pe_facts.h"

#include <gtest/gtest.h>

#include "testing/pe_builder.h"

namespace tolvane {
namespace {

using testing::BuildPe;
using testing::PeParts;

TEST(PeFacts, ReadsTheVersionNamesAndSeesTheSignatureInBothForms) {
    for (bool wide : {false, true}) {
        PeParts parts{"Microsoft Corporation", "Windows", "Host Process", true, wide};
        std::string bytes = BuildPe(parts);
        PeFacts facts = ReadPeFacts(bytes, bytes.size());
        EXPECT_TRUE(facts.isPe);
        EXPECT_EQ(facts.company, "Microsoft Corporation");
        EXPECT_EQ(facts.product, "Windows");
        EXPECT_EQ(facts.description, "Host Process");
        EXPECT_TRUE(facts.signature);
        EXPECT_EQ(facts.problem, "");
        parts.signature = false;
        bytes = BuildPe(parts);
        EXPECT_FALSE(ReadPeFacts(bytes, bytes.size()).signature);
    }
    // Control characters cannot reach a terminal through the names.
    std::string bytes = BuildPe({"Evil\x1b[2J\nCorp", "", "", false});
    EXPECT_EQ(ReadPeFacts(bytes, bytes.size()).company, "Evil [2J Corp");
    EXPECT_FALSE(ReadPeFacts("MZ spy", 6).isPe);
}

// Offsets of the built file (testing/pe_builder.cpp).
constexpr size_t kSecurityEntry = 0x40 + 24 + 96 + 8 * 4;
constexpr size_t kResourceEntry = 0x40 + 24 + 96 + 8 * 2;
constexpr size_t kResources = 0x200;

void Set32(std::string& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

TEST(PeFacts, DamagedOrHostileBytesGiveNoNamesAndNoReadPastThem) {
    const std::string good = BuildPe({"Company", "Product", "Description", true});
    // Every truncation: never a read past the bytes (the fuzz target checks
    // the same under the address sanitizer).
    for (size_t size = 0; size < good.size(); ++size)
        ReadPeFacts(std::string_view(good).substr(0, size), good.size());
    // A certificate table past the end of the file is no signature.
    std::string bytes = good;
    Set32(bytes, kSecurityEntry, static_cast<uint32_t>(good.size() - 8));
    Set32(bytes, kSecurityEntry + 4, 0xfffffff0u);
    EXPECT_FALSE(ReadPeFacts(bytes, bytes.size()).signature);
    // The resource directory outside every section.
    bytes = good;
    Set32(bytes, kResourceEntry, 0x7ffff000u);
    PeFacts facts = ReadPeFacts(bytes, bytes.size());
    EXPECT_TRUE(facts.isPe);
    EXPECT_EQ(facts.company, "");
    EXPECT_NE(facts.problem, "");
    // A directory naming itself as its child: three levels are read, no more.
    bytes = good;
    Set32(bytes, kResources + 0x14, 0x80000000u);
    facts = ReadPeFacts(bytes, bytes.size());
    EXPECT_EQ(facts.company, "");
    EXPECT_NE(facts.problem, "");
    // A version node longer than the resource holding it.
    bytes = good;
    bytes[kResources + 0x58] = '\xff';
    bytes[kResources + 0x59] = '\xff';
    facts = ReadPeFacts(bytes, bytes.size());
    EXPECT_EQ(facts.company, "");
    EXPECT_EQ(facts.problem, "the version resource is damaged");
}

}  // namespace
}  // namespace tolvane
