#include "definitions/path_expressions.h"

#include <gtest/gtest.h>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"

namespace tolvane {
namespace {

TEST(PathExpressions, SearchedAnywhereCaseBlindNewestNotExcludedWins) {
    PathExpressions set;
    std::string why;
    ASSERT_TRUE(set.Add(R"(\\dl_[0-9]{2}\.exe$)", "", &why)) << why;
    ASSERT_TRUE(set.Add(R"(\\Temp\\~[a-z][a-z]~)", R"(\\Temp\\~df)", &why)) << why;
    ASSERT_TRUE(set.Add(R"(\\DL_)", R"(\\dl_99)", &why)) << why;
    set.Finish();
    EXPECT_EQ(set.FindNewest("C:\\users\\a\\Temp\\dl_42.exe"), 2);
    EXPECT_EQ(set.FindNewest("C:\\users\\a\\Temp\\dl_99.exe"), 0);  // excluded by the newest
    EXPECT_EQ(set.FindNewest("C:\\users\\a\\Temp\\dl_42.exe.txt"), 2);
    EXPECT_EQ(set.FindNewest("C:\\users\\a\\TEMP\\~AB~1.tmp"), 1);
    EXPECT_EQ(set.FindNewest("C:\\users\\a\\Temp\\~df~1.tmp"), -1);
    EXPECT_EQ(set.FindNewest("C:\\users\\a\\Temp\\d_42.exe"), -1);
    // Code page 1252 letters fold too.
    ASSERT_TRUE(set.Add("\xC9t\xC9\\.exe", "", &why)) << why;
    set.Finish();
    EXPECT_EQ(set.FindNewest("C:\\\xE9t\xE9.exe"), 3);
}

// A set over its memory leaves every path to the expressions one by one,
// with the same answers.
TEST(PathExpressions, ASetOverItsMemoryAnswersOneByOne) {
    PathExpressions set, starved(1 << 10);
    std::string why;
    for (PathExpressions* s : {&set, &starved}) {
        ASSERT_TRUE(s->Add(R"(\\av[0-9]+\.exe$)", "", &why)) << why;
        ASSERT_TRUE(s->Add(R"(\\Temp\\)", R"(\.log$)", &why)) << why;
        ASSERT_TRUE(s->Add("x{2,}", "", &why)) << why;
        // An alternative factored on a byte above 0x7F, which RE2 misses
        // when it searches for a single expression's literal start.
        ASSERT_TRUE(
            s->Add("\xFF"
                   "a|\xFF\xFF"
                   "b",
                   "\xFF"
                   "c|\xFF\xFF"
                   "d",
                   &why))
            << why;
        s->Finish();
    }
    ASSERT_TRUE(set.SetCompiled());
    ASSERT_FALSE(starved.SetCompiled());
    for (std::string path : {"C:\\AV12.exe", "C:\\Temp\\av1.exe", "C:\\temp\\a.log",
                             "C:\\Temp\\xx.log", "C:\\nothing", ""})
        EXPECT_EQ(starved.FindNewest(path), set.FindNewest(path)) << path;
    EXPECT_EQ(starved.FindNewest("C:\\temp\\a.log"), -1);
    EXPECT_EQ(starved.FindNewest("C:\\Temp\\xx.log"), 2);
    EXPECT_EQ(starved.FindNewest("C:\\\xFF\xFF"
                                 "b"),
              3);
    EXPECT_EQ(starved.FindNewest("C:\\\xFF\xFF"
                                 "b\xFF\xFF"
                                 "d"),
              -1);  // excluded
}

TEST(PathExpressions, HostileExpressionsAreRefusedOrBounded) {
    PathExpressions set;
    std::string why;
    EXPECT_FALSE(set.Add("(a", "", &why));
    EXPECT_NE(why.find("cannot compile"), std::string::npos) << why;
    EXPECT_FALSE(set.Add("a", "[z-a]", &why));  // a bad exclusion refuses the whole entry
    EXPECT_FALSE(set.Add(std::string(kExpressionLimit + 1, 'a'), "", &why));
    EXPECT_FALSE(set.Add("((((a{100}){100}){100}){100})", "", &why));
    EXPECT_FALSE(set.Add("(((a{999}){999}){999})", "", &why));  // over the memory budget
    EXPECT_EQ(set.Size(), 0u);
    // Backtracking's classic trap costs RE2 one linear pass.
    ASSERT_TRUE(set.Add("(x+x+)+y", "", &why));
    ASSERT_TRUE(set.Add("(a|aa)*b", "(.*.*)*c", &why));
    set.Finish();
    EXPECT_EQ(set.FindNewest(std::string(100000, 'x')), -1);
    EXPECT_EQ(set.FindNewest(std::string(100000, 'a')), -1);
}

TEST(PathExpressions, RegistryExpressionKeyIsTheRequiredLiteralStart) {
    EXPECT_EQ(RegistryExpressionKey(R"(^Software\\Run\\ntkd[0-9]+$)"), "Software\\Run");
    EXPECT_EQ(RegistryExpressionKey(R"(^(?i)Software\\Ru\.n\\x)"), "Software\\Ru.n");
    EXPECT_EQ(RegistryExpressionKey(R"(^Software\\Run\\?x)"), "Software");  // "\\?" is optional
    EXPECT_EQ(RegistryExpressionKey(R"(^Software\\A\\\d+)"), "Software\\A");
    EXPECT_EQ(RegistryExpressionKey(R"(^Software\\Run\\a|^System\\b)"), std::nullopt);
    // Only that key's values are searched: the others are missed, never listed.
    EXPECT_EQ(RegistryExpressionKey(R"(^Software\\(Run|Once)\\a)"), "Software");
    EXPECT_EQ(RegistryExpressionKey(R"(Software\\Run\\a)"), std::nullopt);
    EXPECT_EQ(RegistryExpressionKey(R"(^Soft.ware\\Run)"), std::nullopt);
    EXPECT_EQ(RegistryExpressionKey(R"(^[\\|]\\Run\\x)"), std::nullopt);
}

TEST(PathExpressions, DatabaseReadsThemWhereverTheyStandAndKeepsTheRest) {
    ThreatDatabase db;
    PlaceholderFolders folders;
    ASSERT_TRUE(LoadDefinitionsFromText(
        "<NA VERSION=\"1\" DATE=\"d\">"
        "<SW NAME=\"Early\"><EXPRESSIONS><EXPRESSION FOR=\"file\" MATCH=\"\\\\av[0-9]+\\.exe$\"/>"
        "</EXPRESSIONS><CATEGORY NAME=\"Trojan\"/><FILES><FILE NAME=\"early.exe\"/></FILES>"
        "<DANGER NAME=\"High\"/></SW>"
        "<SW NAME=\"Late\"><CATEGORY NAME=\"Trojan\"/><DANGER NAME=\"Low\"/>"
        "<DESCRIPTION NAME=\"d\"/><EXPRESSIONS>"
        "<EXPRESSION FOR=\"file\" MATCH=\"(\"/>"
        "<EXPRESSION FOR=\"regkey\" MATCH=\"x\"/>"
        "<EXPRESSION FOR=\"file\" MATCH=\"\\\\av1\\.exe$\" EXCEPT=\"\\\\Windows\\\\\"/>"
        "</EXPRESSIONS></SW></NA>",
        folders, &db));
    ASSERT_EQ(db.definitions().size(), 2u);
    const ThreatDefinition& early = *db.definitions()[0];
    EXPECT_EQ(early.category, "Trojan");
    EXPECT_EQ(early.danger, "High");
    ASSERT_EQ(early.files.size(), 1u);
    ASSERT_EQ(early.fileExpressions.size(), 1u);
    ASSERT_EQ(db.definitions()[1]->fileExpressions.size(), 1u);
    EXPECT_EQ(db.definitions()[1]->description, "d");
    EXPECT_EQ(db.MatchFileExpression("C:\\x\\AV1.exe"), db.definitions()[1].get());
    EXPECT_EQ(db.MatchFileExpression("C:\\Windows\\av1.exe"), &early);
    EXPECT_EQ(db.MatchFileExpression("C:\\x\\av.exe"), nullptr);
    db.Clear();
    EXPECT_EQ(db.MatchFileExpression("C:\\x\\AV1.exe"), nullptr);
}

}  // namespace
}  // namespace tolvane
