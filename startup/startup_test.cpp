// The start-up listing over real temporary machines: one entry planted in
// each family of location, on a Wine prefix and on a Windows installation;
// new-since-last; and what a hostile machine may hold.
#include <gtest/gtest.h>

#include <fstream>

#include "base/win_types.h"
#include "startup/location_table.h"
#include "startup/previous_listing.h"
#include "startup/shortcut_reader.h"
#include "startup/startup_entries.h"
#include "startup/task_reader.h"
#include "testing/pe_builder.h"
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

const char kBhoClsid[] = "{11111111-2222-3333-4444-555555555555}";
const char kSoftware[] = "Software\\Microsoft\\Windows\\CurrentVersion";
const char kWindowsNt[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";

StartupSources ShippedSources() {
    StartupSources sources;
    std::string error;
    EXPECT_TRUE(ParseLocationTable(testing::SourceTreeFile("data/startup-locations.json"),
                                   &sources.table, &error))
        << error;
    return sources;
}

std::string Dword(uint32_t value) {
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

std::string Utf16Task(const std::string& command, const std::string& arguments) {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-16\"?>\n<Task><Triggers><LogonTrigger/>"
        "</Triggers><Settings><Enabled>true</Enabled></Settings><Actions><Exec>"
        "<Command>" +
        command + "</Command><Arguments>" + arguments + "</Arguments></Exec></Actions></Task>";
    std::string out = "\xff\xfe";
    for (char c : xml) out += std::string{c, '\0'};
    return out;
}

// One entry in each family, files where the machine's own folders are.
struct Planted {
    std::string root, appData, startupFolder;
};

Planted Plant(Machine& machine) {
    Registry& reg = machine.registry();
    Planted at;
    at.root = machine.shell().ExpandEnvironmentStrings("%SystemRoot%");
    machine.shell().GetFolderPath(CSIDL_APPDATA, &at.appData);
    machine.shell().GetFolderPath(CSIDL_STARTUP, &at.startupFolder);
    FileSystem& files = machine.files();
    EXPECT_TRUE(files.CreateFolderPath(at.appData + "\\spy"));
    EXPECT_TRUE(files.WriteWholeFileAtomic(at.appData + "\\spy\\spy.exe", "MZ spy"));
    SetRegistryString(reg, RootKey::CurrentUser, std::string(kSoftware) + "\\Run", "Spy",
                      "\"" + at.appData + "\\spy\\spy.exe\" -quiet");
    SetRegistryString(reg, RootKey::LocalMachine, std::string(kSoftware) + "\\RunOnce", "Once",
                      "cmd.exe /c C:\\ProgramData\\once.bat");
    SetRegistryString(reg, RootKey::LocalMachine, std::string(kWindowsNt) + "\\Winlogon", "Shell",
                      at.root + "\\evilshell.exe");
    SetRegistryString(reg, RootKey::LocalMachine, std::string(kWindowsNt) + "\\Winlogon",
                      "Userinit", at.root + "\\system32\\userinit.exe, \"C:\\evil,x\\init.exe\"");
    std::string services = "System\\CurrentControlSet\\Services\\";
    SetRegistryString(reg, RootKey::LocalMachine, services + "EvilSvc", "ImagePath",
                      at.root + "\\system32\\evilsvc.exe -k");
    SetRegistryValue(reg, RootKey::LocalMachine, services + "EvilSvc", "Type", REG_DWORD,
                     Dword(0x10));
    SetRegistryString(reg, RootKey::LocalMachine, services + "EvilDrv", "ImagePath",
                      "\\SystemRoot\\System32\\drivers\\evildrv.sys");
    SetRegistryValue(reg, RootKey::LocalMachine, services + "EvilDrv", "Type", REG_DWORD, Dword(1));
    SetRegistryValue(reg, RootKey::LocalMachine, services + "EvilDrv", "Start", REG_DWORD,
                     Dword(4));
    EXPECT_TRUE(files.CreateFolderPath(at.root + "\\System32\\Tasks\\Vendor"));
    EXPECT_TRUE(files.WriteWholeFileAtomic(at.root + "\\System32\\Tasks\\Vendor\\Updater",
                                           Utf16Task("C:\\Updater\\upd.exe", "/silent")));
    EXPECT_TRUE(files.CreateFolderPath(at.startupFolder));
    EXPECT_TRUE(files.WriteWholeFileAtomic(at.startupFolder + "\\helper.lnk",
                                           testing::BuildShortcut("C:\\Temp\\helper.exe", "-x")));
    SetRegistryString(reg, RootKey::LocalMachine, std::string(kWindowsNt) + "\\Windows",
                      "AppInit_DLLs", "C:\\hook\\inject.dll");
    SetRegistryString(reg, RootKey::LocalMachine,
                      std::string(kWindowsNt) + "\\Image File Execution Options\\taskmgr.exe",
                      "Debugger", "C:\\dbg\\stop.exe");
    testing::MakeRegistryKey(
        reg, RootKey::LocalMachine,
        std::string(kSoftware) + "\\Explorer\\Browser Helper Objects\\" + kBhoClsid);
    SetRegistryString(reg, RootKey::LocalMachine,
                      std::string("Software\\Classes\\CLSID\\") + kBhoClsid + "\\InprocServer32",
                      "", "C:\\bho\\toolbar.dll");
    return at;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Value names compare as Windows compares them.
const StartupEntry* Find(const StartupListing& listing, const std::string& name) {
    for (const StartupEntry& entry : listing.entries)
        if (Lower(entry.name) == Lower(name)) return &entry;
    return nullptr;
}

void ExpectPlantedListed(Machine& machine) {
    Planted at = Plant(machine);
    StartupListing listing = ListStartupEntries(machine, ShippedSources());
    struct Want {
        const char* name;
        std::string file;
        bool missing, userWritable, scriptHost;
    };
    const Want wants[] = {
        {"Spy", at.appData + "\\spy\\spy.exe", false, true, false},
        {"Once", "C:\\ProgramData\\once.bat", true, true, true},
        {"Shell", at.root + "\\evilshell.exe", true, false, false},
        {"EvilSvc", at.root + "\\system32\\evilsvc.exe", true, false, false},
        {"EvilDrv", at.root + "\\System32\\drivers\\evildrv.sys", true, false, false},
        {"Vendor\\Updater", "C:\\Updater\\upd.exe", true, false, false},
        {"helper.lnk", "C:\\Temp\\helper.exe", true, true, false},
        {"AppInit_DLLs", "C:\\hook\\inject.dll", true, false, false},
        {"Debugger", "C:\\dbg\\stop.exe", true, false, false},
        {kBhoClsid, "C:\\bho\\toolbar.dll", true, false, false},
    };
    for (const Want& want : wants) {
        const StartupEntry* entry = Find(listing, want.name);
        ASSERT_NE(entry, nullptr) << want.name;
        EXPECT_EQ(Lower(entry->file), Lower(want.file)) << want.name;
        EXPECT_EQ(entry->facts.missing, want.missing) << want.name;
        EXPECT_EQ(entry->facts.userWritable, want.userWritable) << want.name;
        EXPECT_EQ(entry->scriptHost, want.scriptHost) << want.name;
        EXPECT_TRUE(IsFlagged(*entry) || !entry->facts.missing) << want.name;
    }
    const StartupEntry* spy = Find(listing, "Spy");
    EXPECT_EQ(spy->facts.size, 6u);
    EXPECT_EQ(spy->facts.sha256.size(), 64u);
    EXPECT_FALSE(Find(listing, "EvilDrv")->enabled);
    // Winlogon starts each program of a comma-separated Userinit.
    std::vector<std::string> userinit;
    for (const StartupEntry& entry : listing.entries)
        if (entry.name == "Userinit") userinit.push_back(Lower(entry.file));
    EXPECT_EQ(userinit, (std::vector<std::string>{Lower(at.root + "\\system32\\userinit.exe"),
                                                  "c:\\evil,x\\init.exe"}));
}

TEST(StartupEntries, EveryPlantedFamilyIsListedOnAPrefixAndAnInstallation) {
    testing::TempPrefix prefix;
    ExpectPlantedListed(*prefix.Open());
    testing::TempInstallation installation;
    ExpectPlantedListed(*installation.Open());
}

TEST(StartupEntries, ASecondListingMarksExactlyTheAddedEntryNew) {
    testing::TempPrefix prefix;
    testing::TempFolder state;
    auto machine = prefix.Open();
    Plant(*machine);
    StartupSources sources = ShippedSources();
    StartupListing first = ListStartupEntries(*machine, sources);
    EXPECT_TRUE(CompareWithPreviousListing(state.path().string(), first).first);
    SetRegistryString(machine->registry(), RootKey::CurrentUser, std::string(kSoftware) + "\\Run",
                      "Later", "C:\\later.exe");
    StartupListing second = ListStartupEntries(*machine, sources);
    PreviousListing previous = CompareWithPreviousListing(state.path().string(), second);
    EXPECT_FALSE(previous.first);
    EXPECT_EQ(previous.problem, "");
    for (const StartupEntry& entry : second.entries)
        EXPECT_EQ(entry.isNew, entry.name == "Later") << entry.name;
}

// PE facts on an installation, and which entries count as Windows' own: a
// signed file claiming Microsoft in the system folders, started plainly. The
// same file started as a program's debugger, through rundll32, or with a
// second program after it, and such a file in a user-writable folder, stay
// shown.
TEST(StartupEntries, WindowsOwnEntriesAreSignedMicrosoftSystemFilesStartedPlainly) {
    testing::TempInstallation installation;
    auto machine = installation.Open();
    Registry& reg = machine->registry();
    FileSystem& files = machine->files();
    const std::string root = machine->shell().ExpandEnvironmentStrings("%SystemRoot%");
    const std::string microsoft =
        testing::BuildPe({"Microsoft Corporation", "Windows", "Windows Update", true});
    std::string appData;
    machine->shell().GetFolderPath(CSIDL_APPDATA, &appData);
    for (const std::string& folder : {root + "\\System32", appData + "\\fake"})
        ASSERT_TRUE(files.CreateFolderPath(folder));
    for (const char* name : {"wuaueng.dll", "taskmgr.exe"})
        ASSERT_TRUE(files.WriteWholeFileAtomic(root + "\\System32\\" + name, microsoft));
    ASSERT_TRUE(files.WriteWholeFileAtomic(appData + "\\fake\\svc.exe", microsoft));
    ASSERT_TRUE(files.CreateFolderPath("C:\\Program Files\\Vendor"));
    ASSERT_TRUE(files.WriteWholeFileAtomic("C:\\Program Files\\Vendor\\agent.exe",
                                           testing::BuildPe({"Vendor", "Agent", "Tray", false})));
    const std::string service = "System\\CurrentControlSet\\Services\\wuauserv";
    SetRegistryString(reg, RootKey::LocalMachine, service, "ImagePath",
                      "%SystemRoot%\\system32\\svchost.exe -k netsvcs -p");
    SetRegistryString(reg, RootKey::LocalMachine, service + "\\Parameters", "ServiceDll",
                      "%SystemRoot%\\system32\\wuaueng.dll");
    const std::string run = std::string(kSoftware) + "\\Run";
    auto setRun = [&](const char* name, const std::string& command) {
        SetRegistryString(reg, RootKey::LocalMachine, run, name, command);
    };
    setRun("Plain", root + "\\System32\\taskmgr.exe");
    setRun("Agent", "\"C:\\Program Files\\Vendor\\agent.exe\" /tray");
    setRun("Fake", appData + "\\fake\\svc.exe");
    setRun("Hosted", "rundll32.exe " + root + "\\System32\\wuaueng.dll,Start");
    SetRegistryString(reg, RootKey::LocalMachine,
                      std::string(kWindowsNt) + "\\Image File Execution Options\\sethc.exe",
                      "Debugger", root + "\\System32\\taskmgr.exe");
    SetRegistryString(reg, RootKey::LocalMachine, std::string(kWindowsNt) + "\\Winlogon", "Shell",
                      root + "\\System32\\taskmgr.exe C:\\ProgramData\\evil.exe");
    StartupListing listing = ListStartupEntries(*machine, ShippedSources());

    const StartupEntry* wuauserv = Find(listing, "wuauserv");
    ASSERT_NE(wuauserv, nullptr);
    EXPECT_TRUE(wuauserv->facts.pe);
    EXPECT_EQ(wuauserv->facts.company, "Microsoft Corporation");
    EXPECT_EQ(wuauserv->facts.description, "Windows Update");
    EXPECT_TRUE(wuauserv->facts.signature);
    EXPECT_TRUE(wuauserv->windows);
    EXPECT_FALSE(IsFlagged(*wuauserv));
    ASSERT_NE(Find(listing, "Plain"), nullptr);
    EXPECT_TRUE(Find(listing, "Plain")->windows);
    const StartupEntry* agent = Find(listing, "Agent");
    ASSERT_NE(agent, nullptr);
    EXPECT_EQ(agent->facts.product, "Agent");
    EXPECT_TRUE(agent->facts.notSigned);
    EXPECT_FALSE(agent->windows);
    EXPECT_TRUE(IsFlagged(*agent));
    for (const char* shown : {"Fake", "Hosted", "Debugger", "Shell"}) {
        const StartupEntry* entry = Find(listing, shown);
        ASSERT_NE(entry, nullptr) << shown;
        EXPECT_TRUE(entry->facts.pe) << shown << " " << entry->file;
        EXPECT_FALSE(entry->windows) << shown;
    }
}

// A listing that hides Wine's rows reads a builtin file of Wine's no further
// than its marker: no digest, the size still known.
TEST(StartupEntries, WinesBuiltinFilesAreReadWholeOnlyWhenAsked) {
    testing::TempPrefix prefix;
    auto machine = prefix.Open();
    std::string builtin = "MZ";
    builtin.resize(0x40, '\0');
    builtin += "Wine builtin DLL";
    builtin.resize(200000, '\0');
    const std::string root = machine->shell().ExpandEnvironmentStrings("%SystemRoot%");
    ASSERT_TRUE(machine->files().WriteWholeFileAtomic(root + "\\system32\\winelib.dll", builtin));
    SetRegistryString(machine->registry(), RootKey::LocalMachine, std::string(kSoftware) + "\\Run",
                      "WineLib", root + "\\system32\\winelib.dll");
    StartupSources sources = ShippedSources();
    for (bool whole : {false, true}) {
        sources.readWineFiles = whole;
        StartupListing listing = ListStartupEntries(*machine, sources);
        const StartupEntry* entry = Find(listing, "WineLib");
        ASSERT_NE(entry, nullptr);
        EXPECT_TRUE(entry->wines);
        EXPECT_EQ(entry->facts.size, 200000u);
        EXPECT_EQ(entry->facts.sha256.size(), whole ? 64u : 0u);
    }
}

// What the machine holds may be the malware's: each of these gives a note
// or is passed over, and the listing goes on.
TEST(StartupEntries, HostileLocationsGiveNotesAndTheListingGoesOn) {
    testing::TempPrefix prefix;
    {
        std::string services;
        for (int i = 0; i < 100000; ++i)
            services += "[System\\\\CurrentControlSet\\\\Services\\\\S" + std::to_string(i) +
                        "] 0\n\"ImagePath\"=\"C:\\\\s.exe\"\n\n";
        std::ofstream(prefix.Host("system.reg"), std::ios::app) << "\n" << services;
    }
    auto machine = prefix.Open();
    Registry& reg = machine->registry();
    FileSystem& files = machine->files();
    std::string root = machine->shell().ExpandEnvironmentStrings("%SystemRoot%");
    std::string startup;
    machine->shell().GetFolderPath(CSIDL_STARTUP, &startup);
    ASSERT_TRUE(files.CreateFolderPath(root + "\\System32\\Tasks"));
    ASSERT_TRUE(files.WriteWholeFileAtomic(root + "\\System32\\Tasks\\Broken", "<Task><Actions"));
    ASSERT_TRUE(files.CreateFolderPath(startup));
    ASSERT_TRUE(files.WriteWholeFileAtomic(startup + "\\garbage.lnk", std::string(4096, '\x4c')));
    const std::string run = std::string(kSoftware) + "\\Run";
    SetRegistryValue(reg, RootKey::LocalMachine, run, "Binary", REG_BINARY, "\x01\x02");
    SetRegistryString(reg, RootKey::LocalMachine, run, "Long",
                      "C:\\a.exe " + std::string(1 << 20, 'x'));
    const std::string loop = "{99999999-2222-3333-4444-555555555555}";
    testing::MakeRegistryKey(
        reg, RootKey::LocalMachine,
        std::string(kSoftware) + "\\Explorer\\Browser Helper Objects\\" + loop);
    SetRegistryString(reg, RootKey::LocalMachine, "Software\\Classes\\CLSID\\" + loop + "\\TreatAs",
                      "", loop);
    StartupListing listing = ListStartupEntries(*machine, ShippedSources());
    auto noted = [&](const std::string& part) {
        for (const std::string& note : listing.notes)
            if (note.find(part) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(noted("Broken: the task's XML is damaged"));
    EXPECT_TRUE(noted("garbage.lnk: the file is not a shortcut"));
    EXPECT_TRUE(noted("the value \"Binary\" is of type 3"));
    EXPECT_TRUE(noted("more than Windows runs"));
    EXPECT_TRUE(noted("leads back to itself"));
    EXPECT_TRUE(noted("more than 10,000 subkeys"));
    const StartupEntry* longEntry = Find(listing, "Long");
    ASSERT_NE(longEntry, nullptr);
    EXPECT_EQ(longEntry->file, "C:\\a.exe");
}

// The readers alone, on bytes a machine may hold.
TEST(StartupEntries, ReadersTakeShortcutsAndTasksFromBytesAndRefuseGarbage) {
    ShortcutTarget target;
    std::string error;
    ASSERT_TRUE(ReadShortcut(testing::BuildShortcut("C:\\x\\y.exe", "-a b"), &target, &error))
        << error;
    EXPECT_EQ(target.path, "C:\\x\\y.exe");
    EXPECT_EQ(target.arguments, "-a b");
    EXPECT_FALSE(ReadShortcut(std::string(kShortcutFileLimit + 1, 'L'), &target, &error));
    // A LinkInfo that claims 4 GB: refused before liblnk allocates that much.
    std::string huge = testing::BuildShortcut("C:\\x\\y.exe", "");
    huge.replace(0x4C, 4, "\xfb\xff\xff\xff");
    EXPECT_FALSE(ReadShortcut(huge, &target, &error));
    TaskDefinition task;
    ASSERT_TRUE(
        ReadTaskDefinition("<Task><Settings><Enabled>false</Enabled></Settings><Actions>"
                           "<Exec><Command>a.exe</Command></Exec></Actions></Task>",
                           &task, &error));
    EXPECT_FALSE(task.enabled);
    ASSERT_EQ(task.actions.size(), 1u);
    EXPECT_FALSE(
        ReadTaskDefinition("<!DOCTYPE x [<!ENTITY a \"aaaa\">]><Task>&a;&a;</Task", &task, &error));
}

}  // namespace
}  // namespace tolvane
