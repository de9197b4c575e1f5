// A file found by its content goes through the rows, the details, removal
// with a backup and the restore like any other file.
#include <gtest/gtest.h>

#include <random>

#include "app/app_test_fixture.h"
#include "app/views/details.h"
#include "definitions/threat_database.h"
#include "definitions/yara_compiler.h"

namespace tolvane::testing {
namespace {

TEST_F(AppTest, AFileFoundByItsContentIsListedRemovedWithABackupAndRestored) {
    std::random_device random;
    std::string name;
    for (int i = 0; i < 10; ++i) name += static_cast<char>('a' + random() % 26);
    const std::string planted = "C:\\users\\root\\AppData\\Local\\Temp\\" + name + ".exe";
    const std::string content = "MZ\x90 payload GREY-CONTENT-MARK";
    prefix_.WriteFile(planted, content);
    ASSERT_EQ(StartApp(), StartResult::Running);
    std::string errors;
    YaraRules rules;
    ASSERT_TRUE(CompileYaraRules(
        "rule GreyContent { strings: $a = \"GREY-CONTENT-MARK\" condition: $a }", &rules, &errors))
        << errors;
    app_->database().content().SetRules(std::move(rules), {{"GreyContent", 0}});
    static_cast<EngineScanSource&>(app_->scan()).engine().SetContentLimits(ContentLimits());

    controller().Execute(MainCommand::FilesScan);
    WaitForScan();
    ASSERT_EQ(RowObjects(), std::vector<std::string>{planted});
    const ListRow& row = controller().results().rows()[0];
    EXPECT_EQ(row.vendor, "Grey Lantern");
    EXPECT_EQ(row.category, "Adware");
    ObjectDetails details = MakeObjectDetails(row, app_->database(), false);
    EXPECT_NE(details.description.find(std::string(kFoundByContentLabel) +
                                       "YARA rule GreyContent, strings at 12"),
              std::string::npos)
        << details.description;

    views_.script.fallback = ScriptedViews::Fallback::Yes;
    views_.script.saveAs = {"C:\\content-backup.zip"};
    controller().Execute(MainCommand::RemoveAll);
    EXPECT_FALSE(machine_->files().PathFileExists(planted));
    ASSERT_TRUE(machine_->files().PathFileExists("C:\\content-backup.zip"));

    views_.script.open = {"C:\\content-backup.zip"};
    controller().Execute(MainCommand::RestoreBackup);
    EXPECT_EQ(prefix_.ReadFile(planted), content);
}

// While contents are read, the status line says how far the reading has
// come (files and bytes) ahead of the item being walked.
TEST_F(AppTest, TheStatusLineShowsHowFarTheContentCheckHasCome) {
    prefix_.WriteFile("C:\\users\\root\\AppData\\Local\\Temp\\one.exe",
                      "MZ" + std::string(3000, 'a'));
    prefix_.WriteFile("C:\\users\\root\\AppData\\Local\\Temp\\two.exe",
                      "MZ" + std::string(3000, 'b'));
    ASSERT_EQ(StartApp(), StartResult::Running);
    std::string errors;
    YaraRules rules;
    ASSERT_TRUE(CompileYaraRules("rule Never { condition: false }", &rules, &errors)) << errors;
    app_->database().content().SetRules(std::move(rules), {{"Never", 0}});
    static_cast<EngineScanSource&>(app_->scan()).engine().SetContentLimits(ContentLimits());

    controller().Execute(MainCommand::FilesScan);
    WaitForScan();
    const ContentCounts& counts = *app_->scan().ContentPhaseCounts();
    ASSERT_GE(counts.checked.load(), 2u);
    // The last message before the end shows the whole count.
    const std::string whole = "Contents checked: " + std::to_string(counts.checked.load()) +
                              " files, " + std::to_string(counts.bytes.load() >> 10) + " KiB  ";
    const std::vector<std::string> status = views_.StatusHistory();
    ASSERT_GE(status.size(), 2u);
    EXPECT_EQ(status.back(), "Finished scanning...");
    EXPECT_EQ(status[status.size() - 2].rfind(whole, 0), 0u) << status[status.size() - 2];
}

}  // namespace
}  // namespace tolvane::testing
