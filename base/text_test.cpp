#include "base/text.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

TEST(Text, HexDigitsTrimAndPrefixesFollowOneRule) {
    EXPECT_EQ(HexDigitValue('0'), 0);
    EXPECT_EQ(HexDigitValue('f'), 15);
    EXPECT_EQ(HexDigitValue('F'), 15);
    EXPECT_EQ(HexDigitValue('g'), -1);
    EXPECT_FALSE(IsHexDigit(' '));

    EXPECT_EQ(Trim(" \tdword:1 \t"), "dword:1");
    EXPECT_EQ(Trim(" \t "), "");
    EXPECT_EQ(TrimStart("  a  "), "a  ");
    EXPECT_EQ(TrimEnd("name: x \r", " \t\r"), "name: x");

    EXPECT_TRUE(StartsWithNoCase("DWORD:00000001", "dword:"));
    EXPECT_FALSE(StartsWithNoCase("dw", "dword:"));
    // The code page's letters fold too: \xC9 is the capital of \xE9.
    EXPECT_TRUE(StartsWithNoCase("\xC9t\xC9.txt", "\xE9t\xE9"));
    EXPECT_TRUE(EndsWithNoCase("C:\\WINDOWS\\EXPLORER.EXE", "explorer.exe"));
    EXPECT_FALSE(EndsWithNoCase("exe", ".exe"));
}

}  // namespace
}  // namespace tolvane
