// Removing, disabling and enabling start-up entries on real temporary
// machines: what a removal with backup takes comes back whole from the
// backup, and switching an entry off and on leaves it as it was.
#include "app/startup_actions.h"

#include <gtest/gtest.h>

#include "backup/restore.h"
#include "base/win_types.h"
#include "machine/machine.h"
#include "machine/shell_folders.h"
#include "removal/removal_test_support.h"
#include "settings/settings_store.h"
#include "startup/command_line.h"
#include "startup/location_table.h"
#include "testing/registry_values.h"
#include "testing/shortcut_builder.h"
#include "testing/source_tree.h"
#include "testing/temp_folder.h"
#include "testing/temp_installation.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::SetRegistryString;
using testing::SetRegistryValue;

const std::string kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kService = "System\\CurrentControlSet\\Services\\EvilSvc";
const std::string kTree =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Schedule\\TaskCache\\Tree\\Updater";
const std::string kTaskId = "{0D0D0D0D-1111-2222-3333-444444444444}";
const std::string kCachedTask =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\Schedule\\TaskCache\\Tasks\\" + kTaskId;

const std::string kBhoClsid = "{11111111-2222-3333-4444-555555555555}";
const std::string kBho =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Browser Helper Objects\\" + kBhoClsid;

std::string Dword(uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

// A task file as Windows writes it: UTF-16 with a byte-order mark, CR LF.
std::string Utf16Task() {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n<Task>\r\n  <Settings>\r\n"
        "    <Enabled>true</Enabled>\r\n  </Settings>\r\n  <Actions><Exec>"
        "<Command>C:\\Updater\\upd.exe</Command></Exec></Actions>\r\n</Task>\r\n";
    std::string out = "\xff\xfe";
    for (char c : xml) out += std::string{c, '\0'};
    return out;
}

struct Planted {
    std::string shortcut, task, spyFile;
};

// A Run value of the current user, a service with its parameters, a Startup
// folder shortcut, a task with its TaskCache keys, a Browser Helper Object
// (listed by its key); an HKLM Run value that stays.
Planted Plant(Machine& machine) {
    Registry& reg = machine.registry();
    FileSystem& files = machine.files();
    Planted at;
    std::string appData, startup;
    machine.shell().GetFolderPath(CSIDL_APPDATA, &appData);
    machine.shell().GetFolderPath(CSIDL_STARTUP, &startup);
    at.spyFile = appData + "\\spy.exe";
    EXPECT_TRUE(files.WriteWholeFileAtomic(at.spyFile, "MZ spy"));
    SetRegistryString(reg, RootKey::CurrentUser, kRun, "Spy", "\"" + at.spyFile + "\" -quiet");
    SetRegistryString(reg, RootKey::LocalMachine, kRun, "Keep", "C:\\keep.exe");
    SetRegistryString(reg, RootKey::LocalMachine, kService, "ImagePath", "C:\\evil\\svc.exe");
    SetRegistryValue(reg, RootKey::LocalMachine, kService, "Type", REG_DWORD, Dword(0x10));
    SetRegistryValue(reg, RootKey::LocalMachine, kService, "Start", REG_DWORD, Dword(2));
    SetRegistryString(reg, RootKey::LocalMachine, kService + "\\Parameters", "Mode", "stealth");
    EXPECT_TRUE(files.CreateFolderPath(startup));
    at.shortcut = startup + "\\helper.lnk";
    EXPECT_TRUE(files.WriteWholeFileAtomic(at.shortcut,
                                           testing::BuildShortcut("C:\\Temp\\helper.exe", "-x")));
    std::string root = machine.shell().ExpandEnvironmentStrings("%SystemRoot%");
    EXPECT_TRUE(files.CreateFolderPath(root + "\\System32\\Tasks"));
    at.task = root + "\\System32\\Tasks\\Updater";
    EXPECT_TRUE(files.WriteWholeFileAtomic(at.task, Utf16Task()));
    SetRegistryString(reg, RootKey::LocalMachine, kTree, "Id", kTaskId);
    SetRegistryString(reg, RootKey::LocalMachine, kCachedTask, "Path", "\\Updater");
    SetRegistryString(reg, RootKey::LocalMachine, kBho, "NoExplorer", "1");
    return at;
}

StartupListing List(Machine& machine) {
    StartupSources sources;
    std::string error;
    EXPECT_TRUE(ParseLocationTable(testing::SourceTreeFile("data/startup-locations.json"),
                                   &sources.table, &error))
        << error;
    return ListStartupEntries(machine, sources);
}

std::vector<StartupEntry> Chosen(Machine& machine, const std::vector<std::string>& names) {
    std::vector<StartupEntry> chosen;
    StartupListing listing = List(machine);
    for (const std::string& name : names) {
        bool found = false;
        for (const StartupEntry& entry : listing.entries)
            if (LowerAscii(entry.name) == LowerAscii(name)) chosen.push_back(entry), found = true;
        EXPECT_TRUE(found) << name;
    }
    return chosen;
}

std::string Value(Machine& machine, RootKey root, const std::string& key, const std::string& name) {
    RegKey opened;
    uint32_t type = 0;
    std::string data;
    if (machine.registry().OpenKey(Registry::Root(root), key, KEY_READ, &opened) != ERROR_SUCCESS ||
        machine.registry().QueryValue(opened, name, &type, &data) != ERROR_SUCCESS)
        return "<none>";
    return std::to_string(type) + ":" + data;
}

std::string File(Machine& machine, const std::string& path) {
    std::string bytes;
    return machine.files().ReadWholeFile(path, &bytes) ? bytes : "<none>";
}

// Every value and file the planted entries are made of, as bytes.
std::vector<std::string> State(Machine& machine, const Planted& at) {
    return {Value(machine, RootKey::CurrentUser, kRun, "Spy"),
            Value(machine, RootKey::LocalMachine, kRun, "Keep"),
            Value(machine, RootKey::LocalMachine, kService, "ImagePath"),
            Value(machine, RootKey::LocalMachine, kService, "Type"),
            Value(machine, RootKey::LocalMachine, kService, "Start"),
            Value(machine, RootKey::LocalMachine, kService + "\\Parameters", "Mode"),
            Value(machine, RootKey::LocalMachine, kTree, "Id"),
            Value(machine, RootKey::LocalMachine, kCachedTask, "Path"),
            Value(machine, RootKey::LocalMachine, kBho, "NoExplorer"),
            File(machine, at.shortcut),
            File(machine, at.task),
            File(machine, at.spyFile)};
}

void RemoveAndRestore(Machine& machine) {
    Planted at = Plant(machine);
    const std::vector<std::string> before = State(machine, at);
    SettingsStore settings = SettingsStore::OnHost(machine.registry(), "");
    testing::TestView view;
    view.savePaths = {"C:\\startup-backup.zip"};
    StartupActionOptions options;
    options.withFile = true;
    StartupActionResult result = RemoveStartupEntries(
        machine, settings, view,
        Chosen(machine, {"Spy", "EvilSvc", "helper.lnk", "Updater", kBhoClsid}), options);
    EXPECT_TRUE(result.ran);
    EXPECT_EQ(result.changed, 5u);
    EXPECT_TRUE(result.failures.empty()) << result.failures.front();
    const std::vector<std::string> removed = State(machine, at);
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(removed[i], i == 1 ? before[i] : "<none>") << i;  // "Keep" stays

    RestoreReport report = RestoreArchive(machine, "C:\\startup-backup.zip");
    EXPECT_EQ(report.skipped + report.registryNotRestored, 0u);
    EXPECT_EQ(State(machine, at), before);
}

TEST(StartupActions, RemovalWithBackupTakesTheEntriesAndTheRestoreBringsBackExactlyTheirBytes) {
    testing::TempPrefix prefix;
    RemoveAndRestore(*prefix.Open());
    testing::TempInstallation installation;
    RemoveAndRestore(*installation.Open());
}

// Deleting a value Windows needs to log on, or one that holds other
// entries too, would take more than the entry: such entries are refused by
// name and nothing is removed.
TEST(StartupActions, RemovalRefusesValuesWindowsNeedsAndValuesHoldingOtherEntries) {
    testing::TempPrefix prefix;
    auto machine = prefix.Open();
    const std::string windows = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows";
    const std::string winlogon = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
    SetRegistryString(machine->registry(), RootKey::LocalMachine, windows, "AppInit_DLLs",
                      "C:\\hook\\a.dll,C:\\hook\\b.dll");
    SetRegistryString(machine->registry(), RootKey::LocalMachine, winlogon, "Userinit",
                      "C:\\windows\\system32\\userinit.exe,C:\\evil.exe");
    const std::vector<std::string> before = {
        Value(*machine, RootKey::LocalMachine, windows, "AppInit_DLLs"),
        Value(*machine, RootKey::LocalMachine, winlogon, "Userinit")};
    SettingsStore settings = SettingsStore::OnHost(machine->registry(), "");
    testing::TestView view;
    StartupActionResult result = RemoveStartupEntries(
        *machine, settings, view, Chosen(*machine, {"AppInit_DLLs", "Userinit"}), {});
    EXPECT_FALSE(result.ran);
    // Two DLLs of AppInit_DLLs, two programs of Userinit (each a row).
    ASSERT_EQ(result.failures.size(), 4u);
    for (size_t i : {2, 3})
        EXPECT_NE(result.failures[i].find("Windows needs this value"), std::string::npos)
            << result.failures[i];
    EXPECT_EQ(before, (std::vector<std::string>{
                          Value(*machine, RootKey::LocalMachine, windows, "AppInit_DLLs"),
                          Value(*machine, RootKey::LocalMachine, winlogon, "Userinit")}));
}

void DisableAndEnable(Machine& machine) {
    Planted at = Plant(machine);
    const std::vector<std::string> before = State(machine, at);
    testing::TempFolder state;
    testing::TestView view;
    StartupActionOptions options;
    options.stateFolder = state.path().string();
    // Where log-on ignores StartupApproved (Wine), a Run entry or Startup
    // item is refused, never reported disabled while it still starts.
    const bool approval = machine.HonoursStartupApproval();
    std::vector<std::string> names = {"EvilSvc", "Updater"};
    if (approval) names.insert(names.end(), {"Spy", "helper.lnk"});
    StartupActionResult off =
        SwitchStartupEntries(machine, view, Chosen(machine, names), false, options);
    EXPECT_EQ(off.changed, names.size());
    if (!approval) {
        StartupActionResult refused = SwitchStartupEntries(
            machine, view, Chosen(machine, {"Spy", "helper.lnk"}), false, options);
        EXPECT_EQ(refused.changed, 0u);
        ASSERT_EQ(refused.failures.size(), 2u);
        EXPECT_NE(refused.failures[0].find("cannot be disabled here"), std::string::npos)
            << refused.failures[0];
    }
    for (const StartupEntry& entry : Chosen(machine, names))
        EXPECT_FALSE(entry.enabled) << entry.name;
    EXPECT_EQ(Value(machine, RootKey::LocalMachine, kService, "Start"), "4:" + Dword(4));

    StartupActionResult on =
        SwitchStartupEntries(machine, view, Chosen(machine, names), true, options);
    EXPECT_EQ(on.changed, names.size());
    for (const StartupEntry& entry : Chosen(machine, names))
        EXPECT_TRUE(entry.enabled) << entry.name;
    EXPECT_EQ(State(machine, at), before);
    // Entries with no way to be disabled are named, not switched.
    StartupEntry winlogon;
    winlogon.location = "HKLM\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";
    winlogon.name = "Shell";
    EXPECT_EQ(SwitchStartupEntries(machine, view, {winlogon}, false, options).failures.size(), 1u);
}

TEST(StartupActions, DisablingAndEnablingAgainLeavesEachEntryAsItWas) {
    testing::TempPrefix prefix;
    DisableAndEnable(*prefix.Open());
    testing::TempInstallation installation;
    DisableAndEnable(*installation.Open());
}

}  // namespace
}  // namespace tolvane
