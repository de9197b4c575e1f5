#include "definitions/pattern_match.h"

#include <gtest/gtest.h>

namespace tolvane {
namespace {

TEST(PatternMatch, StarStopsAtDotsAndSeparators) {
    EXPECT_TRUE(PatternMatch("c:\\windows\\*.exe", "C:\\Windows\\bad.exe"));
    EXPECT_TRUE(PatternMatch("c:\\windows\\*.exe", "C:/WINDOWS/BAD.EXE"));
    EXPECT_FALSE(PatternMatch("c:\\windows\\*.exe", "c:\\windows\\sub\\bad.exe"));
    EXPECT_FALSE(PatternMatch("*.exe", "a.b.exe"));
    EXPECT_TRUE(PatternMatch("*.*.exe", "a.b.exe"));
    EXPECT_TRUE(PatternMatch("a*", "a"));
    EXPECT_TRUE(PatternMatch("a*b*c", "aXbYbZc"));
    EXPECT_TRUE(
        PatternMatch("a\x1A"
                     "c",
                     "abbc"));
    EXPECT_FALSE(PatternMatch("a\x1A", "a.c"));
}

TEST(PatternMatch, BareNamePatternOnlyInADriveRoot) {
    EXPECT_TRUE(PatternMatch("*\\bad.exe", "C:\\bad.exe"));
    EXPECT_TRUE(PatternMatch("*\\bad.exe", "c:/BAD.exe"));
    EXPECT_FALSE(PatternMatch("*\\bad.exe", "C:\\Program Files\\bad.exe"));
    EXPECT_FALSE(PatternMatch("*\\bad.exe", "bad.exe"));
    EXPECT_TRUE(PatternMatch("*\\bad.exe", "\\bad.exe"));
}

TEST(PatternMatch, QuestionMark) {
    EXPECT_TRUE(PatternMatch("b?d.exe", "bad.exe"));
    EXPECT_TRUE(PatternMatch("b?d", "b.d"));
    EXPECT_FALSE(PatternMatch("a?b", "a\\b"));
    EXPECT_FALSE(PatternMatch("a?b", "a/b"));
    EXPECT_FALSE(PatternMatch("ab?", "ab"));
}

TEST(PatternMatch, SlashesMatchEitherSeparator) {
    EXPECT_TRUE(PatternMatch("a/b\\c", "a\\b/c"));
    EXPECT_FALSE(PatternMatch("a/b", "a.b"));
}

TEST(PatternMatch, BackquoteEscapes) {
    EXPECT_TRUE(PatternMatch("a`*b", "a*b"));
    EXPECT_FALSE(PatternMatch("a`*b", "axb"));
    EXPECT_TRUE(PatternMatch("a`?", "A?"));
    EXPECT_FALSE(PatternMatch("a`?", "ab"));
    EXPECT_TRUE(PatternMatch("`A", "a"));  // still without regard to case
    EXPECT_FALSE(PatternMatch("a`/b", "a\\b"));
    EXPECT_FALSE(PatternMatch("ab`c", "ab"));
    EXPECT_FALSE(PatternMatch("ab`", "ab`"));  // a trailing backquote is malformed
}

TEST(PatternMatch, BracketsAreCheckedButLiteral) {
    EXPECT_TRUE(PatternMatch("[ab]", "[AB]"));
    EXPECT_FALSE(PatternMatch("[ab]", "a"));
    EXPECT_TRUE(PatternMatch("x[!a-z]", "x[!a-z]"));
    EXPECT_FALSE(PatternMatch("x[ab", "x[ab"));
    EXPECT_FALSE(PatternMatch("x[a`]", "x[a`]"));  // the escaped ']' does not close
    EXPECT_TRUE(PatternMatch("x[a`]]", "x[a]]"));  // the backquote still escapes
    EXPECT_TRUE(PatternMatch("a!b", "A!B"));
    EXPECT_FALSE(PatternMatch("ab!", "ab!"));
    EXPECT_FALSE(IsWellFormedPattern("[!"));
    EXPECT_TRUE(IsWellFormedPattern("[]"));
}

TEST(PatternMatch, CaseAndEmptyText) {
    EXPECT_TRUE(PatternMatch("ABC", "abc"));
    EXPECT_TRUE(PatternMatch("\xC9t\xE9", "\xE9T\xC9"));  // Latin-1 letters fold too
    EXPECT_FALSE(PatternMatch("abc", "abcd"));
    EXPECT_FALSE(PatternMatch("abcd", "abc"));
    EXPECT_TRUE(PatternMatch("", ""));
    EXPECT_FALSE(PatternMatch("*", ""));
    EXPECT_FALSE(PatternMatch("", "a"));
}

TEST(PatternMatch, ManyStarsStayFast) {
    std::string pattern;
    for (int i = 0; i < 2000; ++i) pattern += "*a";
    pattern += "b";
    std::string text(5000, 'a');
    EXPECT_FALSE(PatternMatch(pattern, text));
    EXPECT_TRUE(PatternMatch(pattern, text + "b"));
}

}  // namespace
}  // namespace tolvane
