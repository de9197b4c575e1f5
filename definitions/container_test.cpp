#include "definitions/container.h"

#include <gtest/gtest.h>

#include <random>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"

namespace tolvane {
namespace {

std::string Encode(std::string_view text) {
    std::string stored;
    EXPECT_TRUE(EncodeContainer(text, &stored));
    return stored;
}

void SetDeclared(std::string* stored, uint32_t length) {
    for (int i = 0; i < 4; ++i) (*stored)[i] = static_cast<char>((length >> (8 * i)) & 0xFF);
}

LoadError DecodeError(std::string_view stored) {
    std::string text = "untouched";
    LoadError error = LoadError::None;
    EXPECT_FALSE(DecodeContainer(stored, &text, &error));
    EXPECT_EQ(text, "untouched");
    return error;
}

TEST(Container, RoundTripAndLayout) {
    const std::string text = "<NA VERSION=\"1\">\r\n</NA>\r\n";
    std::string stored = Encode(text);
    EXPECT_EQ(static_cast<unsigned char>(stored[0]), text.size());
    EXPECT_EQ(stored[1], 0);
    EXPECT_EQ(static_cast<unsigned char>(stored[4]), 0x78 ^ kContainerScramble);  // zlib header
    std::string back;
    ASSERT_TRUE(DecodeContainer(stored, &back));
    EXPECT_EQ(back, text);
}

TEST(Container, LengthLimit) {
    std::string text(kContainerTextLimit, 'x');
    std::string stored = Encode(text);
    std::string back;
    ASSERT_TRUE(DecodeContainer(stored, &back));
    EXPECT_EQ(back.size(), kContainerTextLimit);

    SetDeclared(&stored, kContainerTextLimit + 1);
    EXPECT_EQ(DecodeError(stored), LoadError::LengthOverLimit);
    SetDeclared(&stored, 0xFFFFFFFFu);
    EXPECT_EQ(DecodeError(stored), LoadError::LengthOverLimit);

    std::string tooLong;
    EXPECT_FALSE(EncodeContainer(std::string(kContainerTextLimit + 1, 'x'), &tooLong));
}

TEST(Container, LyingLengths) {
    const std::string text = "<NA>" + std::string(1000, ' ') + "</NA>";
    std::string stored = Encode(text);
    SetDeclared(&stored, static_cast<uint32_t>(text.size() - 1));
    EXPECT_EQ(DecodeError(stored), LoadError::Decompression);
    SetDeclared(&stored, 0);
    EXPECT_EQ(DecodeError(stored), LoadError::Decompression);

    // A declared length above the real one yields the real text, nothing more.
    SetDeclared(&stored, static_cast<uint32_t>(text.size() + 500));
    std::string back;
    ASSERT_TRUE(DecodeContainer(stored, &back));
    EXPECT_EQ(back, text);
}

TEST(Container, DamagedFiles) {
    const std::string text = "<NA><SW NAME=\"x\"/></NA>";
    std::string stored = Encode(text);
    EXPECT_EQ(DecodeError(""), LoadError::TooShort);
    EXPECT_EQ(DecodeError(stored.substr(0, 3)), LoadError::TooShort);
    EXPECT_EQ(DecodeError(stored.substr(0, 4)), LoadError::Decompression);
    EXPECT_EQ(DecodeError(stored.substr(0, stored.size() - 2)), LoadError::Decompression);

    std::string unscrambled = stored;
    for (size_t i = 4; i < unscrambled.size(); ++i) unscrambled[i] ^= kContainerScramble;
    EXPECT_EQ(DecodeError(unscrambled), LoadError::Decompression);

    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        std::string noise(4 + random() % 200, '\0');
        for (char& c : noise) c = static_cast<char>(random());
        noise[3] = 0;  // keep the declared length small
        std::string out;
        DecodeContainer(noise, &out);  // must fail or succeed, never crash
    }
}

TEST(Container, TextEndsAtItsFirstNul) {
    std::string text("<NA/>\0garbage", 13);
    std::string back;
    ASSERT_TRUE(DecodeContainer(Encode(text), &back));
    EXPECT_EQ(back, "<NA/>");
    ASSERT_TRUE(DecodeContainer(Encode(""), &back));
    EXPECT_EQ(back, "");
}

TEST(LoadDefinitions, LineEnds) {
    EXPECT_EQ(NormalizeLineEnds("a\r\nb\r\n"), "a\r\nb\r\n");
    EXPECT_EQ(NormalizeLineEnds("a\nb\n\n"), "a\r\nb\r\n\r\n");
    EXPECT_EQ(NormalizeLineEnds("a\rb\r"), "a\rb\r");
    EXPECT_EQ(NormalizeLineEnds("\n\r\r\n"), "\r\n\r\r\n");
    EXPECT_EQ(NormalizeLineEnds(""), "");
}

TEST(LoadDefinitions, ReportsTheFailedStepAndKeepsTheOldContent) {
    PlaceholderFolders folders;
    ThreatDatabase db;
    ASSERT_TRUE(LoadDefinitionsFromContainer(
        Encode(
            "<NA VERSION=\"1\">\n<SW NAME=\"kept\">\n<DESCRIPTION NAME=\"two\nlines\"/></SW></NA>"),
        folders, &db));
    ASSERT_EQ(db.definitions().size(), 1u);
    EXPECT_EQ(db.definitions()[0]->description, "two\r\nlines");

    LoadReport report;
    EXPECT_FALSE(LoadDefinitionsFromContainer("ab", folders, &db, &report));
    EXPECT_EQ(report.error, LoadError::TooShort);
    std::string over = Encode("<NA/>");
    SetDeclared(&over, kContainerTextLimit + 1);
    EXPECT_FALSE(LoadDefinitionsFromContainer(over, folders, &db, &report));
    EXPECT_EQ(report.error, LoadError::LengthOverLimit);
    EXPECT_FALSE(
        LoadDefinitionsFromContainer(std::string("\x10\0\0\0garbage", 11), folders, &db, &report));
    EXPECT_EQ(report.error, LoadError::Decompression);
    EXPECT_FALSE(LoadDefinitionsFromContainer(Encode("<NA><SW></NA>"), folders, &db, &report));
    EXPECT_EQ(report.error, LoadError::Parse);
    EXPECT_EQ(report.parseError, "End tag does not correspond to SW");

    ASSERT_EQ(db.definitions().size(), 1u);
    EXPECT_EQ(db.definitions()[0]->name, "kept");
    EXPECT_EQ(db.version(), "1");

    EXPECT_TRUE(
        LoadDefinitionsFromContainer(Encode("<XX><SW NAME=\"x\"/></XX>"), folders, &db, &report));
    EXPECT_EQ(report.error, LoadError::None);
    EXPECT_TRUE(db.definitions().empty());
    EXPECT_EQ(db.version(), "");
}

}  // namespace
}  // namespace tolvane
