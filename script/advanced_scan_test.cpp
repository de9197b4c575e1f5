#include "script/advanced_scan.h"

#include <gtest/gtest.h>

#include "definitions/container.h"
#include "machine/machine.h"
#include "script/script_test_support.h"
#include "settings/settings_store.h"
#include "testing/fake_wineserver.h"

namespace tolvane {
namespace {

constexpr const char* kFolder = "C:\\Program Files\\Tolvane\\";

class AdvancedScanTest : public ::testing::Test {
  protected:
    void WriteScripts(const std::string& markup) {
        std::string stored;
        ASSERT_TRUE(EncodeContainer(markup, &stored));
        prefix.WriteFile(std::string(kFolder) + "script.db", stored);
    }
    std::vector<std::string> Statuses(const AdvancedScan& scan) {
        std::vector<std::string> statuses;
        for (const AdvancedScan::Row& row : scan.rows()) statuses.push_back(row.status);
        return statuses;
    }

    testing::TempPrefix prefix;
    std::unique_ptr<Machine> machine = prefix.Open();
    testing::RecordingView view;
};

TEST_F(AdvancedScanTest, ScanRunsEveryScriptInOrderOnceAndFinishes) {
    WriteScripts(
        "<NA>"
        "<SW NAME=\"Alpha\"><SCRIPT>var order = ['a'];</SCRIPT>"
        "<DESCRIPTION NAME=\"Alpha's text\"/></SW>"
        "<SW NAME=\"Broken\"><SCRIPT>order.push('b'); IsFileExists(); "
        "order.push('x');</SCRIPT></SW>"
        "<SW NAME=\"Gamma\"><SCRIPT>order.push('c'); doit(order.join());</SCRIPT></SW>"
        "</NA>");
    AdvancedScan scan(*machine, view, kFolder);
    scan.Open();
    ASSERT_EQ(scan.rows().size(), 3u);
    EXPECT_EQ(scan.rows()[0].vendor, "Alpha");
    EXPECT_EQ(Statuses(scan), (std::vector<std::string>(3, kNotScannedStatus)));
    EXPECT_TRUE(scan.scanEnabled());
    EXPECT_EQ(scan.closeCaption(), "Cancel");

    scan.ClickRow(1);
    EXPECT_EQ(scan.description(), kNoScriptDescription);
    scan.ClickRow(0);
    EXPECT_EQ(scan.description(), "Alpha's text");
    scan.ClickRow(std::nullopt);  // empty space
    scan.ClickRow(7);
    EXPECT_EQ(scan.description(), "Alpha's text");

    scan.Scan();
    EXPECT_EQ(Statuses(scan), (std::vector<std::string>(3, kFinishedStatus)));
    EXPECT_EQ(view.changedRows, (std::vector<size_t>{0, 1, 2}));
    ASSERT_EQ(view.shown.size(), 2u);
    EXPECT_EQ(view.shown[0].text, "a,b,c");
    EXPECT_EQ(view.shown[1].text,
              "Finished cleaning all supported spyware.\nClick \"Finish\" and perform \"Smart "
              "Scan\" now.");
    EXPECT_EQ(view.shown[1].caption, "Tolvane");
    EXPECT_EQ(scan.outcomes()[1], ScriptOutcome::Stopped);
    EXPECT_FALSE(scan.scanEnabled());
    EXPECT_EQ(scan.closeCaption(), "Finish");

    scan.Scan();  // disabled: nothing runs again
    EXPECT_EQ(view.shown.size(), 2u);

    // Opening again reads the file afresh, with a new engine.
    WriteScripts("<NA><SW NAME=\"Only\"><SCRIPT>doit(typeof order)</SCRIPT></SW></NA>");
    scan.Open();
    EXPECT_EQ(Statuses(scan), (std::vector<std::string>{kNotScannedStatus}));
    EXPECT_TRUE(scan.scanEnabled());
    EXPECT_EQ(scan.closeCaption(), "Cancel");
    EXPECT_EQ(scan.description(), "");
    scan.Scan();
    EXPECT_EQ(view.shown[2].text, "undefined");
}

TEST_F(AdvancedScanTest, WithoutScriptsScanShowsTheFinalMessageAtOnce) {
    AdvancedScan scan(*machine, view, kFolder);
    scan.Open();
    EXPECT_TRUE(scan.rows().empty());
    scan.Scan();
    ASSERT_EQ(view.shown.size(), 1u);
    EXPECT_EQ(view.shown[0].caption, "Tolvane");
    EXPECT_FALSE(scan.scanEnabled());
}

// A wineserver that holds the prefix while the scripts run refuses their
// registry changes: the final message names the scripts and says why.
TEST_F(AdvancedScanTest, ScriptsWhoseChangesWereRefusedAreNamed) {
    WriteScripts(
        "<NA><SW NAME=\"Alpha\"><SCRIPT>SetRegValue('HKCU', 'Software\\\\Gossamer', 'x', "
        "'y');</SCRIPT></SW><SW NAME=\"Beta\"><SCRIPT>var b = 1;</SCRIPT></SW></NA>");
    AdvancedScan scan(*machine, view, kFolder);
    scan.Open();
    testing::FakeWineServer server(prefix.path());
    ASSERT_TRUE(server.locked());
    scan.Scan();
    EXPECT_EQ(scan.refusedScripts(), (std::vector<std::string>{"Alpha", "Beta"}));
    ASSERT_EQ(view.shown.size(), 1u);
    EXPECT_EQ(view.shown[0].text.find("The machine refused the registry changes of these "
                                      "scripts, so they did not finish cleaning: Alpha, Beta."),
              0u)
        << view.shown[0].text;
    EXPECT_NE(view.shown[0].text.find("wineserver -k"), std::string::npos) << view.shown[0].text;
}

TEST_F(AdvancedScanTest, BrowserWarningOnlyWhileInternetExplorerRuns) {
    EXPECT_TRUE(ConfirmBrowserClosedForAdvancedScan(*machine, view));
    EXPECT_TRUE(view.shown.empty());

    ProcessSnapshot browser;
    browser.pid = 10;
    browser.exePath = "C:\\Program Files\\Internet Explorer\\IEXPLORE.EXE";
    browser.modules = {browser.exePath};
    machine->SetProcessTable(MakeFixedProcessTable({browser}));
    view.answers = {PromptAnswer::Cancel, PromptAnswer::Ok};
    EXPECT_FALSE(ConfirmBrowserClosedForAdvancedScan(*machine, view));
    ASSERT_EQ(view.shown.size(), 1u);
    EXPECT_EQ(view.shown[0].caption, "Warning");
    EXPECT_EQ(view.shown[0].buttons, PromptButtons::OkCancel);
    EXPECT_EQ(view.shown[0].text.substr(0, 39), "Internet Explorer is currently running.");
    EXPECT_TRUE(ConfirmBrowserClosedForAdvancedScan(*machine, view));
}

TEST_F(AdvancedScanTest, ScriptTimeLimitComesFromTheSettings) {
    SettingsStore settings(machine->registry());
    EXPECT_EQ(AdvancedScanLimits(settings).timeLimit, std::chrono::seconds(10));
    settings.WriteString(kScriptTimeLimitSetting, "3");
    EXPECT_EQ(AdvancedScanLimits(settings).timeLimit, std::chrono::seconds(3));
    settings.WriteString(kScriptTimeLimitSetting, "-5");
    EXPECT_EQ(AdvancedScanLimits(settings).timeLimit, std::chrono::seconds(10));
    settings.WriteString(kScriptTimeLimitSetting, "999999");
    EXPECT_EQ(AdvancedScanLimits(settings).timeLimit, std::chrono::seconds(3600));
}

}  // namespace
}  // namespace tolvane
