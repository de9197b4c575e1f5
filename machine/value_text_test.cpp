#include "machine/value_text.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "base/win_types.h"

namespace tolvane {
namespace {

TEST(ValueTypeText, EachReaderKeepsItsOwnSpellings) {
    const ValueTypeRules hive{false, true}, regFile{true, false};
    for (ValueTypeRules rules : {hive, regFile}) {
        auto text = ReadValueTypeText("\"x\"", rules);
        ASSERT_TRUE(text);
        EXPECT_EQ(text->form, ValueDataForm::String);
        EXPECT_EQ(text->length, 1u);
        auto numbered = ReadValueTypeText("hex(7):00", rules);
        ASSERT_TRUE(numbered);
        EXPECT_EQ(numbered->type, REG_MULTI_SZ);
        EXPECT_EQ(numbered->length, 7u);
        EXPECT_EQ(ReadValueTypeText("hex(ffffffff):", rules)->type, 0xffffffffu);
        EXPECT_FALSE(ReadValueTypeText("hex(100000000):", rules));
        EXPECT_FALSE(ReadValueTypeText("hex():", rules));
        EXPECT_FALSE(ReadValueTypeText("hex(2)", rules));
        EXPECT_EQ(ReadValueTypeText("dword:1", rules)->form, ValueDataForm::Dword);
    }
    EXPECT_EQ(ReadValueTypeText("str(2):\"%a%\"", hive)->type, REG_EXPAND_SZ);
    EXPECT_FALSE(ReadValueTypeText("str(2):\"%a%\"", regFile));
    EXPECT_FALSE(ReadValueTypeText("DWORD:1", hive));
    EXPECT_EQ(ReadValueTypeText("DWORD:1", regFile)->type, REG_DWORD);
    EXPECT_EQ(ReadValueTypeText("Hex(2):00", regFile)->type, REG_EXPAND_SZ);
}

TEST(ValueTypeText, DwordDigitsGiveFourLittleEndianBytes) {
    EXPECT_EQ(DwordDataFromDigits("1"), std::string("\x01\x00\x00\x00", 4));
    EXPECT_EQ(DwordDataFromDigits("DeadBeef"), std::string("\xef\xbe\xad\xde", 4));
    for (const char* bad : {"", "123456789", "12 ", "0x1", "g"})
        EXPECT_FALSE(DwordDataFromDigits(bad)) << bad;
}

// The byte list of a value over its lines; the status and the bytes read.
std::pair<HexListStatus, std::string> HexList(std::vector<std::string_view> lines) {
    size_t next = 1;
    std::string bytes;
    HexListStatus status = ReadHexByteList(
        lines[0],
        [&]() -> std::optional<std::string_view> {
            if (next >= lines.size()) return std::nullopt;
            return lines[next++];
        },
        &bytes);
    return {status, bytes};
}

TEST(HexByteList, CommaSeparatedBytesOverContinuedLines) {
    using Result = std::pair<HexListStatus, std::string>;
    const HexListStatus ok = HexListStatus::Ok;
    EXPECT_EQ(HexList({""}), Result(ok, ""));
    EXPECT_EQ(HexList({" 1, ab ,\t0F,"}), Result(ok, "\x01\xab\x0f"));
    EXPECT_EQ(HexList({"01,02,\\ ", "  03\r"}), Result(ok, "\x01\x02\x03"));
    EXPECT_EQ(HexList({"\\", "01,\\", "", "ignored"}), Result(ok, "\x01"));
    for (const char* bad : {"0102", "01,,02", ",01", "1 2", "zz", "01;02", "01,\\x"})
        EXPECT_EQ(HexList({bad}).first, HexListStatus::BadData) << bad;
    // A continuation stands only where a byte may.
    EXPECT_EQ(HexList({"01\\", "02"}).first, HexListStatus::BadData);
    EXPECT_EQ(HexList({"01,\\"}), Result(HexListStatus::Truncated, "\x01"));
}

}  // namespace
}  // namespace tolvane
