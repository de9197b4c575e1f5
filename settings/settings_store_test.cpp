#include "settings/settings_store.h"

#include <gtest/gtest.h>

#include "machine/machine.h"
#include "testing/fake_wineserver.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::FakeWineServer;
using testing::TempPrefix;

class SettingsStoreTest : public ::testing::Test {
  protected:
    TempPrefix prefix;
    std::unique_ptr<Machine> machine = prefix.Open();
    SettingsStore store{machine->registry()};

    // The raw value as the registry holds it.
    bool Raw(const std::string& keyPath, const std::string& name, uint32_t* type,
             std::string* data) {
        RegKey key;
        if (machine->registry().OpenKey(Registry::Root(RootKey::LocalMachine), keyPath, KEY_READ,
                                        &key) != ERROR_SUCCESS)
            return false;
        return machine->registry().QueryValue(key, name, type, data) == ERROR_SUCCESS;
    }
    void SetRaw(const std::string& name, uint32_t type, const std::string& data) {
        RegKey key;
        ASSERT_EQ(machine->registry().CreateKey(Registry::Root(RootKey::LocalMachine),
                                                "SOFTWARE\\Tolvane", KEY_ALL_ACCESS, &key),
                  ERROR_SUCCESS);
        ASSERT_EQ(machine->registry().SetValue(key, name, type, data), ERROR_SUCCESS);
    }
};

TEST_F(SettingsStoreTest, AFreshMachineReadsEveryDefaultAndGetsTheKey) {
    RegKey key;
    EXPECT_NE(machine->registry().OpenKey(Registry::Root(RootKey::LocalMachine),
                                          "SOFTWARE\\Tolvane", KEY_READ, &key),
              ERROR_SUCCESS);
    for (const SettingInfo& info : SettingsTable()) {
        if (info.kind == SettingKind::Integer)
            EXPECT_EQ(store.ReadInt(info.name), 0) << info.name;
        else
            EXPECT_EQ(store.ReadString(info.name), info.defaultValue) << info.name;
    }
    EXPECT_EQ(store.ReadString("Scan_Drives_1"), "");
    EXPECT_EQ(store.ReadString(setting::kUpdateServer), "https://tolvane.example.org/update/");
    EXPECT_EQ(store.ReadString("updateserver"), "https://tolvane.example.org/update/");
    EXPECT_TRUE(store.ReadFolderList(kDrivesAndFoldersList).empty());
    EXPECT_TRUE(store.ReadStartUpDeleteQueue().empty());
    // The first read made the key.
    EXPECT_EQ(machine->registry().OpenKey(Registry::Root(RootKey::LocalMachine),
                                          "SOFTWARE\\Tolvane", KEY_READ, &key),
              ERROR_SUCCESS);
}

TEST_F(SettingsStoreTest, NumbersAreTextReadTheWayAtoiReads) {
    store.WriteInt(setting::kLastScanMode, -1);
    uint32_t type = 0;
    std::string data;
    ASSERT_TRUE(Raw("SOFTWARE\\Tolvane", "LastScanMode", &type, &data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data.substr(0, data.find('\0')), "-1");
    EXPECT_EQ(store.ReadInt(setting::kLastScanMode), -1);

    store.WriteString("StartUpScanMode", "12abc");
    EXPECT_EQ(store.ReadInt("StartUpScanMode"), 12);
    store.WriteString("StartUpScanMode", "abc");
    EXPECT_EQ(store.ReadInt("StartUpScanMode"), 0);
    store.WriteString("StartUpScanMode", "");
    EXPECT_EQ(store.ReadInt("StartUpScanMode"), 0);

    EXPECT_EQ(ParseSettingInt("  \t+42x"), 42);
    EXPECT_EQ(ParseSettingInt("- 3"), 0);
    EXPECT_EQ(ParseSettingInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(ParseSettingInt("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(ParseSettingInt("-99999999999999999999"), INT32_MIN);
}

TEST_F(SettingsStoreTest, NamesMatchWithoutRegardToCase) {
    store.WriteInt(setting::kScanDrivesNum, 3);
    EXPECT_EQ(store.ReadInt(setting::kScanDrivesNumRead), 3);
    store.WriteInt(setting::kCustScanDrivesNum, 7);
    EXPECT_EQ(store.ReadInt(setting::kCustScanDrivesNumRead), 7);
    store.WriteString("remove_me", "x");
    EXPECT_EQ(store.ReadString("REMOVE_ME"), "x");
}

TEST_F(SettingsStoreTest, DataBeyondTheReadBuffersReadsAsMissing) {
    store.WriteString("Long", std::string(1023, 'a'));
    EXPECT_EQ(store.ReadString("Long").size(), 1023u);
    store.WriteString("Long", std::string(1024, 'a'));
    EXPECT_EQ(store.ReadString("Long"), "");
    store.WriteString(setting::kWebSite, std::string(2000, 'w'));
    EXPECT_EQ(store.ReadString(setting::kWebSite), "https://tolvane.example.org/");

    store.WriteString("Big", std::string(199, '7'));
    EXPECT_EQ(store.ReadInt("Big"), INT32_MAX);
    store.WriteString("Big", std::string(200, '7'));
    EXPECT_EQ(store.ReadInt("Big"), 0);

    // A value of another type is no setting.
    SetRaw("AtStartUp", REG_DWORD, std::string("\x01\x00\x00\x00", 4));
    EXPECT_EQ(store.ReadInt(setting::kAtStartUp), 0);
}

TEST_F(SettingsStoreTest, AShorterListLeavesTheOldTailUnread) {
    store.WriteFolderList(kDrivesAndFoldersList, {"C:\\", "D:\\", "C:\\a", "C:\\b", "C:\\c"});
    store.WriteFolderList(kDrivesAndFoldersList, {"C:\\windows", "C:\\users"});
    EXPECT_EQ(store.ReadFolderList(kDrivesAndFoldersList),
              (std::vector<std::string>{"C:\\windows", "C:\\users"}));
    for (int n = 3; n <= 5; ++n)
        EXPECT_FALSE(store.ReadString("Scan_Drives_" + std::to_string(n)).empty()) << n;
    EXPECT_EQ(store.ReadInt("Scan_Drives_Num"), 2);
    EXPECT_TRUE(store.ReadFolderList(kCustomScanFolderList).empty());

    // A damaged count does not make the reader walk for ever.
    store.WriteString("Cust_Scan_Drives_Num", "2000000000");
    EXPECT_EQ(store.ReadFolderList(kCustomScanFolderList).size(), 10000u);
    store.WriteInt("Cust_Scan_Drives_Num", -4);
    EXPECT_TRUE(store.ReadFolderList(kCustomScanFolderList).empty());
}

TEST_F(SettingsStoreTest, TheDeletionQueueCountsFromZero) {
    store.WriteStartUpDeleteQueue({"C:\\a.exe", "C:\\b.dll", "C:\\c.sys"});
    store.WriteStartUpDeleteQueue({"C:\\x.exe"});
    EXPECT_EQ(store.ReadString("StartUpDelete0"), "C:\\x.exe");
    EXPECT_EQ(store.ReadString("StartUpDelete2"), "C:\\c.sys");
    EXPECT_EQ(store.ReadStartUpDeleteQueue(), std::vector<std::string>{"C:\\x.exe"});
}

TEST_F(SettingsStoreTest, StartUpEntriesAreWrittenOnlyWhereTheKeysExist) {
    const std::string program = SettingsStore::ProgramPath();
    EXPECT_EQ(program, "C:\\Program Files\\Tolvane\\Tolvane.exe");
    EXPECT_EQ(SettingsStore::ApplicationFolder(), "C:\\Program Files\\Tolvane\\");

    ASSERT_TRUE(store.WriteRunEntry(program));
    uint32_t type = 0;
    std::string data;
    const std::string run = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
    const std::string runOnce = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
    ASSERT_TRUE(Raw(run, "Tolvane", &type, &data));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data.substr(0, data.find('\0')), "C:\\Program Files\\Tolvane\\Tolvane.exe -s");
    EXPECT_TRUE(store.RemoveRunEntry());
    EXPECT_FALSE(Raw(run, "Tolvane", &type, &data));

    ASSERT_TRUE(store.WriteRunOnceEntry(program));
    ASSERT_TRUE(Raw(runOnce, "Tolvane", &type, &data));
    EXPECT_EQ(data.substr(0, data.find('\0')), "\"C:\\Program Files\\Tolvane\\Tolvane.exe\" -b");

    // Missing start-up keys are not made.
    RegKey cv;
    ASSERT_EQ(machine->registry().OpenKey(Registry::Root(RootKey::LocalMachine),
                                          "SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
                                          KEY_ALL_ACCESS, &cv),
              ERROR_SUCCESS);
    ASSERT_EQ(machine->registry().DeleteKey(cv, "RunOnce"), ERROR_SUCCESS);
    EXPECT_FALSE(store.WriteRunOnceEntry(program));
    RegKey gone;
    EXPECT_NE(machine->registry().OpenKey(Registry::Root(RootKey::LocalMachine), runOnce, KEY_READ,
                                          &gone),
              ERROR_SUCCESS);
}

TEST_F(SettingsStoreTest, AWriteIsSeenByAnotherMachineOnTheSamePrefix) {
    store.WriteInt(setting::kRemoveAfterScan, 1);
    auto other = prefix.Open();
    SettingsStore second(other->registry());
    EXPECT_EQ(second.ReadInt("removeafterscan"), 1);
}

// While the prefix's wineserver runs the registry refuses every change; a
// fresh prefix has no settings key yet, so not even the key can be made. A
// scan command's mode must still reach the scan, which reads it through a
// store of its own over the same registry.
TEST_F(SettingsStoreTest, WritesRefusedWhileTheWineServerRunsHoldForTheRun) {
    FakeWineServer server(prefix.path());
    ASSERT_TRUE(server.locked());
    store.WriteInt(setting::kLastScanMode, 1);
    store.WriteString("Scan_Drives_1", "C:\\Games");
    uint32_t type = 0;
    std::string data;
    EXPECT_FALSE(Raw("SOFTWARE\\Tolvane", setting::kLastScanMode, &type, &data));

    SettingsStore scans(machine->registry());
    EXPECT_EQ(scans.ReadInt("lastscanmode"), 1);
    EXPECT_EQ(scans.ReadString("SCAN_DRIVES_1"), "C:\\Games");
    store.WriteInt(setting::kLastScanMode, 3);
    EXPECT_EQ(scans.ReadInt(setting::kLastScanMode), 3);
    // The buffer limits hold for such values too.
    store.WriteString(setting::kLastScanMode, std::string(SettingsStore::kIntBufferSize, '7'));
    EXPECT_EQ(scans.ReadInt(setting::kLastScanMode), 0);
    store.WriteInt(setting::kLastScanMode, 3);

    // Another program on the prefix reads the registry only.
    auto other = prefix.Open();
    EXPECT_EQ(SettingsStore(other->registry()).ReadInt(setting::kLastScanMode), 0);

    // Once the server has gone, writes land in the registry again, and the
    // value held for the run gives way to the stored one.
    server.Stop();
    store.WriteInt(setting::kLastScanMode, 2);
    ASSERT_TRUE(Raw("SOFTWARE\\Tolvane", setting::kLastScanMode, &type, &data));
    EXPECT_EQ(data, std::string("2\0", 2));
    EXPECT_EQ(scans.ReadInt(setting::kLastScanMode), 2);
    EXPECT_EQ(SettingsStore(other->registry()).ReadInt(setting::kLastScanMode), 2);
}

// The same with the key and an older value already in the registry: the
// run's newer value wins over the stored one, and a value never written in
// this run is read from the registry as before.
TEST_F(SettingsStoreTest, ARefusedWriteWinsOverTheStoredValue) {
    store.WriteInt(setting::kLastScanMode, 4);
    store.WriteInt(setting::kRemoveAfterScan, 1);
    FakeWineServer server(prefix.path());
    ASSERT_TRUE(server.locked());
    store.WriteInt(setting::kLastScanMode, 1);
    uint32_t type = 0;
    std::string data;
    ASSERT_TRUE(Raw("SOFTWARE\\Tolvane", setting::kLastScanMode, &type, &data));
    EXPECT_EQ(data, std::string("4\0", 2));
    EXPECT_EQ(store.ReadInt(setting::kLastScanMode), 1);
    EXPECT_EQ(store.ReadInt(setting::kRemoveAfterScan), 1);
}

}  // namespace
}  // namespace tolvane
