#include "script/script_database.h"

#include <gtest/gtest.h>

#include "definitions/container.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

constexpr const char* kFolder = "C:\\Program Files\\Tolvane\\";

class ScriptDatabaseTest : public ::testing::Test {
  protected:
    void WriteDatabase(const std::string& markup) {
        std::string stored;
        ASSERT_TRUE(EncodeContainer(markup, &stored));
        prefix.WriteFile(std::string(kFolder) + "script.db", stored);
    }
    std::vector<ScriptRecord> Load() {
        std::vector<ScriptRecord> scripts;
        LoadScripts(machine->files(), kFolder, &scripts);
        return scripts;
    }

    testing::TempPrefix prefix;
    std::unique_ptr<Machine> machine = prefix.Open();
};

TEST_F(ScriptDatabaseTest, RecordsInDocumentOrderWithTheirParts) {
    WriteDatabase(
        "<NA VERSION=\"1\">\n"
        "  <SW NAME=\"First\"><SCRIPT>doit(1 &lt; 2)</SCRIPT>"
        "<DESCRIPTION NAME=\"one\">ignored content</DESCRIPTION></SW>\n"
        "  <OTHER NAME=\"skipped\"><SCRIPT>x</SCRIPT></OTHER>\n"
        "  <SW NAME=\"Second\"><SCRIPT><![CDATA[if (a < b && c) doit('&lt;');]]></SCRIPT></SW>\n"
        "  <SW NAME=\"First\"><DESCRIPTION NAME=\"before\"/><SCRIPT>late</SCRIPT></SW>\n"
        "  <SW><SCRIPT>no name</SCRIPT><DESCRIPTION>text only</DESCRIPTION></SW>\n"
        "  <SW NAME=\"Empty\"/>\n"
        "</NA>\n");
    std::vector<ScriptRecord> scripts = Load();
    ASSERT_EQ(scripts.size(), 5u);
    EXPECT_EQ(scripts[0].name, "First");
    EXPECT_EQ(scripts[0].script, "doit(1 < 2)");
    EXPECT_EQ(scripts[0].description, "one");
    EXPECT_EQ(scripts[1].script, "if (a < b && c) doit('&lt;');");  // CDATA is raw
    EXPECT_EQ(scripts[1].description, kNoScriptDescription);
    // DESCRIPTION before SCRIPT is not seen; duplicates are kept.
    EXPECT_EQ(scripts[2].name, "First");
    EXPECT_EQ(scripts[2].script, "late");
    EXPECT_EQ(scripts[2].description, kNoScriptDescription);
    EXPECT_EQ(scripts[3].name, "");
    EXPECT_EQ(scripts[3].description, "");  // its content is not read
    EXPECT_EQ(scripts[4].name, "Empty");
    EXPECT_EQ(scripts[4].script, "");
    EXPECT_EQ(scripts[4].description, kNoScriptDescription);
}

TEST_F(ScriptDatabaseTest, UnreadableDatabasesAddNothingAndLoadingAppends) {
    EXPECT_TRUE(Load().empty());  // no file

    WriteDatabase("<TOP><SW NAME=\"x\"><SCRIPT>1</SCRIPT></SW></TOP>");
    EXPECT_TRUE(Load().empty());  // top element is not NA

    WriteDatabase("<NA><SW NAME=\"x\"><SCRIPT>1</SCRIPT></NA>");
    EXPECT_TRUE(Load().empty());  // does not parse

    prefix.WriteFile(std::string(kFolder) + "script.db", "\x05\x00\x00\x00garbage");
    EXPECT_TRUE(Load().empty());  // does not decompress

    WriteDatabase("<NA><SW NAME=\"a\"/><SW NAME=\"b\"/></NA>");
    std::vector<ScriptRecord> scripts = {{"kept", "kept", "kept"}};
    LoadScripts(machine->files(), "C:\\Program Files\\Tolvane", &scripts);  // no trailing '\'
    ASSERT_EQ(scripts.size(), 3u);
    EXPECT_EQ(scripts[0].name, "kept");
    EXPECT_EQ(scripts[2].name, "b");
}

TEST_F(ScriptDatabaseTest, PathJoinsFolderAndFileNameWithOneBackslash) {
    EXPECT_EQ(ScriptDatabasePath("C:\\App\\"), "C:\\App\\script.db");
    EXPECT_EQ(ScriptDatabasePath("C:\\App"), "C:\\App\\script.db");
}

}  // namespace
}  // namespace tolvane
