// The shipped removal scripts (data/scripts.xml) against a machine with the
// traces of the demo threats they target.
#include <gtest/gtest.h>

#include <filesystem>

#include "definitions/container.h"
#include "machine/machine.h"
#include "machine/wine/proc_process_table.h"
#include "script/advanced_scan.h"
#include "script/script_test_support.h"
#include "testing/registry_values.h"
#include "testing/source_tree.h"

namespace tolvane {
namespace {

constexpr const char* kProgramFolder = "C:\\Program Files\\Tolvane\\";
const std::string kBho =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\";
const std::string kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";

class DemoScriptsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string text = testing::SourceTreeFile("data/scripts.xml");
        ASSERT_FALSE(text.empty()) << "data/scripts.xml is missing";
        std::string stored;
        ASSERT_TRUE(EncodeContainer(text, &stored));
        prefix.WriteFile(std::string(kProgramFolder) + "script.db", stored);
    }
    void Value(RootKey root, const std::string& path, const std::string& name,
               const std::string& data) {
        testing::SetRegistryString(registry(), root, path, name, data);
    }
    void Key(RootKey root, const std::string& path) {
        testing::MakeRegistryKey(registry(), root, path);
    }
    bool KeyExists(RootKey root, const std::string& path) {
        return testing::RegistryKeyExists(registry(), root, path);
    }
    bool ValueExists(RootKey root, const std::string& path, const std::string& name) {
        return testing::RegistryValueExists(registry(), root, path, name);
    }
    bool Exists(const std::string& path) { return machine->files().PathFileExists(path); }
    // A copy of sleep at a Windows path of the machine, so that a program
    // started from it maps its own file there.
    std::string PlantProgram(const std::string& windowsPath) {
        prefix.WriteFile(windowsPath, "");
        std::string host = *machine->files().ToHostPath(windowsPath);
        std::filesystem::copy_file("/bin/sleep", host,
                                   std::filesystem::copy_options::overwrite_existing);
        return host;
    }
    Registry& registry() { return machine->registry(); }

    testing::TempPrefix prefix;
    std::unique_ptr<Machine> machine = prefix.Open();
    testing::RecordingView view;
};

TEST_F(DemoScriptsTest, AdvancedScanRemovesWhatTheScriptsTarget) {
    const RootKey hklm = RootKey::LocalMachine, hkcu = RootKey::CurrentUser;
    const std::string pf = "C:\\Program Files", cf = pf + "\\Common Files";
    const std::string profile = "C:\\users\\root", appData = profile + "\\AppData\\Roaming";
    const std::string sys = "C:\\windows\\system32";

    // Velvet Gazer, running.
    std::string vgazer = PlantProgram(pf + "\\Velvet Gazer\\vgazer.exe");
    prefix.WriteFile(sys + "\\vgzhook.dll", std::string(24576, 'v'));
    Key(hklm, "SOFTWARE\\Velvet Gazer");
    Value(hkcu, kRun, "VelvetGazer", "\"" + pf + "\\Velvet Gazer\\vgazer.exe\" /tray");
    Value(hkcu, kRun, "Harmless", "C:\\windows\\notepad.exe");
    // Hollow Compass and Foxglove: browser helper objects with server files.
    const std::string hollow = "{5F1C2A7E-3B9D-4E61-A0C4-7D2E9B18F3A6}";
    Key(hklm, kBho + hollow);
    Value(hklm, "Software\\Classes\\CLSID\\" + hollow + "\\InprocServer32", "",
          pf + "\\Hollow Compass\\hcbar.dll");
    prefix.WriteFile(pf + "\\Hollow Compass\\hcbar.dll", "MZ toolbar\r\n");
    const std::string foxglove = "{0D4B8E27-C915-4A3F-B6E2-58F1A9C07D3B}";
    Key(hklm, kBho + foxglove);
    Value(hklm, "Software\\Classes\\CLSID\\" + foxglove + "\\InprocServer32", "",
          cf + "\\Foxglove\\fgshop.dll");
    prefix.WriteFile(cf + "\\Foxglove\\fgshop.dll", "MZ shopper\r\n");
    const std::string keptHelper = "{11111111-2222-3333-4444-555555555555}";
    Key(hklm, kBho + keptHelper);
    // Pebble Search Assistant.
    const std::string pebble = "{A3E0B6D1-72C4-4F5B-9E8A-1C6D0F2B7E94}";
    Key(hklm, kBho + pebble);
    Key(hklm, "Software\\Classes\\CLSID\\" + pebble);
    prefix.WriteFile(cf + "\\Pebble\\pebsrch.dll", "MZ search\r\n");
    // Thimble Miner, running.
    PlantProgram(appData + "\\Thimble\\thmb.exe");
    Key(hkcu, "Software\\Thimble");
    // Murmur Dialer.
    prefix.WriteFile("C:\\windows\\murmur.exe", std::string(53248, 'm'));
    prefix.WriteFile(profile + "\\Desktop\\Free Minutes.lnk", "L link\r\n");
    Key(hkcu, "Software\\Murmur Dial");
    // Quillfeather Keylogger.
    prefix.WriteFile(appData + "\\Quillfeather\\keys.dat", "h e l l o\r\n");
    prefix.WriteFile(sys + "\\qf2hook.dll", "MZ hook\r\n");
    prefix.WriteFile(sys + "\\kernel32.dll", "MZ kernel\r\n");
    Value(hklm, kRun, "QfHelper", sys + "\\qf2hook.dll,Start");
    // Ember Clicker and Gilded Ticker.
    prefix.WriteFile(profile + "\\Temp\\emb4031.tmp", "clicks\r\n");
    prefix.WriteFile(profile + "\\Temp\\other.tmp", "kept\r\n");
    Value(hkcu, "Software\\Ember\\Clicker", "Installed", "1");
    Value(hkcu, "Software\\Gilded Ticker\\Settings", "Symbols", "GLD");

    machine->SetProcessTable(MakeProcProcessTable(prefix.path(), machine->files()));
    testing::FakeWindowsProgram gazer(prefix.path(), pf + "\\Velvet Gazer\\vgazer.exe", vgazer);
    testing::FakeWindowsProgram miner(
        prefix.path(), appData + "\\Thimble\\thmb.exe",
        *machine->files().ToHostPath(appData + "\\Thimble\\thmb.exe"));
    ASSERT_GT(gazer.pid(), 0);
    ASSERT_GT(miner.pid(), 0);
    ASSERT_FALSE(machine->files().DeleteFile(pf + "\\Velvet Gazer\\vgazer.exe"));  // in use

    AdvancedScan scan(*machine, view, kProgramFolder);
    scan.Open();
    ASSERT_GE(scan.rows().size(), 6u);
    bool someWithoutDescription = false;
    for (const ScriptRecord& record : scan.scripts())
        someWithoutDescription |= record.description == kNoScriptDescription;
    EXPECT_TRUE(someWithoutDescription);
    scan.Scan();
    for (ScriptOutcome outcome : scan.outcomes()) EXPECT_EQ(outcome, ScriptOutcome::Completed);
    EXPECT_EQ(view.shown.size(), 1u);  // only the final message

    EXPECT_TRUE(gazer.Ended());
    EXPECT_TRUE(miner.Ended());
    for (const std::string& gone :
         {pf + "\\Velvet Gazer", sys + "\\vgzhook.dll", pf + "\\Hollow Compass", cf + "\\Foxglove",
          cf + "\\Pebble", appData + "\\Thimble", std::string("C:\\windows\\murmur.exe"),
          profile + "\\Desktop\\Free Minutes.lnk", appData + "\\Quillfeather",
          sys + "\\qf2hook.dll", profile + "\\Temp\\emb4031.tmp"}) {
        EXPECT_FALSE(Exists(gone)) << gone;
    }
    for (const std::string& kept : {sys + "\\kernel32.dll", profile + "\\Temp\\other.tmp"})
        EXPECT_TRUE(Exists(kept)) << kept;

    for (const std::string& gone :
         {kBho + hollow, kBho + foxglove, kBho + pebble, "Software\\Classes\\CLSID\\" + hollow,
          "Software\\Classes\\CLSID\\" + foxglove, "Software\\Classes\\CLSID\\" + pebble,
          std::string("SOFTWARE\\Velvet Gazer")}) {
        EXPECT_FALSE(KeyExists(hklm, gone)) << gone;
    }
    EXPECT_TRUE(KeyExists(hklm, kBho + keptHelper));
    for (const char* gone : {"Software\\Thimble", "Software\\Murmur Dial", "Software\\Ember",
                             "Software\\Gilded Ticker"}) {
        EXPECT_FALSE(KeyExists(hkcu, gone)) << gone;
    }
    EXPECT_FALSE(ValueExists(hkcu, kRun, "VelvetGazer"));
    EXPECT_TRUE(ValueExists(hkcu, kRun, "Harmless"));
    EXPECT_FALSE(ValueExists(hklm, kRun, "QfHelper"));
}

}  // namespace
}  // namespace tolvane
