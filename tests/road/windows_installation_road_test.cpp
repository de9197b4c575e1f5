// The road on a Windows installation built on disk: the road every machine
// takes (machine_road.h), the hives checked by hivexget (a reader
// independent of ours) after the removal and after the restore; and what a
// removal wrote as independent readers of regf hives see it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>

#include "definitions/load_definitions.h"
#include "testing/hivexget.h"
#include "testing/regf_builder.h"
#include "testing/run_command.h"
#include "testing/temp_folder.h"
#include "testing/temp_installation.h"
#include "tests/road/machine_road.h"

namespace tolvane::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRun = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const char* kDefinitions =
    "<NA VERSION=\"1\" DATE=\"d\"><SW NAME=\"Velvet Gazer\"><CATEGORY NAME=\"Spyware\"/>"
    "<DIRECTORIES><DIR NAME=\"%programfiles%\\Velvet Gazer\"/></DIRECTORIES>"
    "<FILES><FILE NAME=\"%programfiles%\\Velvet Gazer\\vgazer.exe\"/></FILES>"
    "<REGKEYS><REGKEY NAME=\"SOFTWARE\\Velvet Gazer\"/>"
    "<REGKEY NAME=\"SYSTEM\\CurrentControlSet\\Services\\CpSpy\"/></REGKEYS>"
    "<REGVALUES><REGVALUE NAME=\"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\VelvetGazer"
    ":@:%programfiles%\\Velvet Gazer\\vgazer.exe\"/></REGVALUES>"
    "<DANGER NAME=\"High\"/><DESCRIPTION NAME=\"Watches.\"/></SW></NA>";

// The planted traces as the hives hold them, read by hivexget.
std::string Traces(const TempInstallation& windows) {
    return HivexgetValue(windows.Software(), "\\Velvet Gazer", "Version") + "|" +
           HivexgetValue(windows.System(), "\\ControlSet001\\Services\\CpSpy", "ImagePath") + "|" +
           HivexgetValue(windows.UserHive("alice"), std::string("\\") + kRun, "VelvetGazer") + "|" +
           HivexgetValue(windows.UserHive("alice"), std::string("\\") + kRun, "Keep");
}

// The traces of Velvet Gazer in three hives and on C:, beside keys and
// values that are to stay.
void Plant(const TempInstallation& windows) {
    RegfBuilder(windows.Software())
        .String("Velvet Gazer", "Version", "2.1")
        .Raw("Velvet Gazer\\Parts", "Map", 3, std::string(70, '\x5a'))
        .String("Velvet Keep", "Version", "1.0")
        .Commit();
    RegfBuilder(windows.System())
        .String("ControlSet001\\Services\\CpSpy", "ImagePath", "system32\\drivers\\cpspy.sys")
        .Dword("ControlSet001\\Services\\CpSpy\\Parameters", "Start", 2)
        .Commit();
    RegfBuilder(windows.UserHive("alice"))
        .String(kRun, "VelvetGazer", "\"C:\\Program Files\\Velvet Gazer\\vgazer.exe\" /tray")
        .String(kRun, "Keep", "C:\\good.exe")
        .Commit();
    windows.WriteFile("C:\\Program Files\\Velvet Gazer\\vgazer.exe", "MZ gazer");
}

// A Smart scan of the machine with the definitions above; its rows.
void ScanSmart(Machine& machine, TestRows* rows) {
    ThreatDatabase database;
    ASSERT_TRUE(LoadDefinitionsFromText(kDefinitions,
                                        PlaceholderFolders::FromShell(machine.shell()), &database));
    SettingsStore settings(machine.registry());
    settings.WriteInt(setting::kLastScanMode, static_cast<int>(ScanMode::Smart));
    ScanEngine engine(machine, database);
    engine.SetRegistryKeyPause(std::chrono::milliseconds(0));
    engine.RunScan();
    for (const DetectedObject* object : engine.Results().listedObjects)
        rows->Add(object->type, object->objectText);
}

// A Windows installation built on disk with the traces of Velvet Gazer in
// three hives and on C:, scanned with the definition above; the hives are
// checked by hivexget, a reader independent of ours.
class PlantedWindowsInstallation {
  public:
    static constexpr const char* kName = "VelvetGazer";

    void Make() {
        Plant(windows_);
        planted_ = Traces(windows_);
        ASSERT_EQ(planted_,
                  "2.1\n|system32\\drivers\\cpspy.sys\n|\"C:\\Program Files\\Velvet "
                  "Gazer\\vgazer.exe\" /tray\n|C:\\good.exe\n");
        machine_ = windows_.Open();
        ASSERT_TRUE(machine_);
    }

    Machine& machine() { return *machine_; }

    void LoadDatabase(ThreatDatabase* database) {
        ASSERT_TRUE(LoadDefinitionsFromText(
            kDefinitions, PlaceholderFolders::FromShell(machine_->shell()), database));
    }

    void CheckFound(const RoadRun& run) {
        std::vector<std::string> found;
        for (const auto& row : run.found.rows)
            found.push_back(std::to_string(StoredNumber(row.type)) + " " + row.text);
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, (std::vector<std::string>{
                             "1 C:\\Program Files\\Velvet Gazer\\vgazer.exe",
                             "2 C:\\Program Files\\Velvet Gazer",
                             "3 SOFTWARE\\Velvet Gazer",
                             "3 SYSTEM\\CurrentControlSet\\Services\\CpSpy",
                             std::string("4 ") + kRun +
                                 "\\VelvetGazer:@:C:\\Program Files\\Velvet Gazer\\vgazer.exe",
                         }));
    }

    void CheckRemoved(RoadRun& run) {
        EXPECT_TRUE(run.rows.rows.empty()) << run.rows.rows.front().text;
        EXPECT_EQ(Traces(windows_), "|||C:\\good.exe\n");
        EXPECT_FALSE(fs::exists(windows_.Host("Program Files/Velvet Gazer")));
        for (const std::string& hive :
             {windows_.Software(), windows_.System(), windows_.UserHive("alice")})
            EXPECT_TRUE(fs::exists(hive + ".tolvane-orig")) << hive;
    }

    void CheckRestored(const RoadRun&) {
        EXPECT_EQ(Traces(windows_), planted_);
        EXPECT_TRUE(fs::exists(windows_.Host("Program Files/Velvet Gazer/vgazer.exe")));
    }

  private:
    TempInstallation windows_;
    std::string planted_;
    std::unique_ptr<Machine> machine_;
};

INSTANTIATE_TYPED_TEST_SUITE_P(WindowsInstallation, MachineRoad, PlantedWindowsInstallation,
                               RoadKindName);

// A hive reader of its own (hivexregedit, chntpw's reged, libregf's
// regfexport): how it exports a whole hive, and the name it gives the root.
struct HiveReader {
    const char* program;
    std::string (*exportCommand)(const std::string& hive, const std::string& out);
    const char* root;
};

const HiveReader kReaders[] = {
    {"hivexregedit",
     [](const std::string& hive, const std::string& out) {
         return "hivexregedit --export " + testing::ShellQuote(hive) + " '\\' >" + out;
     },
     ""},
    {"reged",
     [](const std::string& hive, const std::string& out) {
         return "reged -x " + testing::ShellQuote(hive) + " HIVE '\\' " + out + " >/dev/null";
     },
     "HIVE"},
    {"regfexport",
     [](const std::string& hive, const std::string& out) {
         return "regfexport " + testing::ShellQuote(hive) + " >" + out;
     },
     "ROOT"},
};

// An export as a set of records "KEY|" (the key) and "KEY|VALUE" (one value
// with its type and data), KEY the path below the hive's root: the readers
// list keys and values in orders of their own, and regfexport numbers the
// values of a key.
std::set<std::string> ExportRecords(const std::string& text, const std::string& rootName) {
    std::set<std::string> records;
    std::string key, chunk;
    bool inKeys = false, continued = false;
    auto flush = [&] {
        if (!chunk.empty()) records.insert(key + "|" + chunk);
        chunk.clear();
    };
    auto enter = [&](std::string path) {
        flush();
        if (path.starts_with(rootName)) path.erase(0, rootName.size());
        if (path.starts_with("\\")) path.erase(0, 1);
        key = path;
        inKeys = true;
        records.insert(key + "|");
    };
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (continued) {
            continued = line.ends_with("\\");
            chunk += line.substr(line.find_first_not_of(' '), line.size() - continued);
            if (!continued) flush();
        } else if (line.empty()) {
            flush();
        } else if (line.front() == '[' && line.back() == ']') {
            enter(line.substr(1, line.size() - 2));
        } else if (line.starts_with("Key path: ")) {
            enter(line.substr(10));
        } else if (!inKeys || line.starts_with("Key: ")) {
            continue;
        } else if (line.starts_with("Value: ")) {
            flush();
            chunk = "Value: " + line.substr(line.find(' ', 7) + 1);  // without its number
        } else if (line.front() == '"' || line.front() == '@') {
            flush();
            continued = line.ends_with("\\");
            chunk = continued ? line.substr(0, line.size() - 1) : line;
            if (!continued) flush();
        } else {
            chunk += "\n" + line;
        }
    }
    flush();
    return records;
}

// What a removal wrote into the hives, as each reader installed here sees
// it: the removed keys (with everything below them) and values are gone,
// nothing else of any hive differs, and the hives nothing was removed from
// are the same bytes.
TEST(WindowsInstallationRoad, IndependentReadersSeeTheRemovalsAndNothingElse) {
    TempInstallation windows;
    Plant(windows);
    struct Changed {
        std::string hive;
        std::vector<std::string> keys;  // removed, below the hive's root
        std::string valueKey, value;    // a removed value, if any
    };
    const std::vector<Changed> changed = {
        {windows.Software(), {"Velvet Gazer"}, "", ""},
        {windows.System(), {"ControlSet001\\Services\\CpSpy"}, "", ""},
        {windows.UserHive("alice"), {}, kRun, "VelvetGazer"},
    };
    const std::vector<std::string> untouched = {windows.UserHive("bob"),
                                                windows.ClassesHive("alice"),
                                                windows.Host("Windows/System32/config/DEFAULT"),
                                                windows.Host("Windows/System32/config/SAM")};
    std::vector<std::string> untouchedBytes;
    for (const std::string& hive : untouched) untouchedBytes.push_back(ReadHostFile(hive));
    const std::string out = testing::ShellQuote(windows.Host("export.txt"));
    auto exportOf = [&](const HiveReader& reader, const std::string& hive) {
        EXPECT_EQ(testing::RunCommand(reader.exportCommand(hive, out) + " 2>/dev/null"), 0)
            << reader.program << " " << hive;
        std::string text = ReadHostFile(windows.Host("export.txt"));
        fs::remove(windows.Host("export.txt"));
        return ExportRecords(text, reader.root);
    };
    // The scan writes the settings (LastScanMode): the hives are read after it.
    auto machine = windows.Open();
    TestRows rows;
    ScanSmart(*machine, &rows);
    ASSERT_EQ(rows.rows.size(), 5u);
    std::vector<const HiveReader*> readers;
    std::vector<std::vector<std::set<std::string>>> before;
    for (const HiveReader& reader : kReaders) {
        if (testing::RunCommand(std::string("command -v ") + reader.program + " >/dev/null") != 0)
            continue;
        readers.push_back(&reader);
        before.emplace_back();
        for (const Changed& c : changed) before.back().push_back(exportOf(reader, c.hive));
    }
    ASSERT_FALSE(readers.empty()) << "no hive reader is installed";
    ObjectRemover remover(*machine);
    for (const auto& row : rows.rows) {
        bool removed = remover.RemoveObject(row.type, row.text);
        // (The file goes with its folder, whichever comes first.)
        if (row.type == ObjectType::RegistryKey || row.type == ObjectType::RegistryValue) {
            EXPECT_TRUE(removed) << row.text;
        }
    }
    EXPECT_FALSE(fs::exists(windows.Host("Program Files/Velvet Gazer")));

    for (size_t r = 0; r < readers.size(); ++r) {
        for (size_t h = 0; h < changed.size(); ++h) {
            const Changed& c = changed[h];
            std::set<std::string> after = exportOf(*readers[r], c.hive);
            const std::set<std::string>& was = before[r][h];
            std::vector<std::string> gone, added;
            std::set_difference(was.begin(), was.end(), after.begin(), after.end(),
                                std::back_inserter(gone));
            std::set_difference(after.begin(), after.end(), was.begin(), was.end(),
                                std::back_inserter(added));
            const std::string where = std::string(readers[r]->program) + " on " + c.hive;
            EXPECT_TRUE(added.empty()) << where << " shows new: " << added.front();
            size_t expectedGone = 0;
            for (const std::string& record : gone) {
                const std::string key = record.substr(0, record.find('|'));
                bool removedKey = false;
                for (const std::string& k : c.keys)
                    removedKey = removedKey || key == k || key.starts_with(k + "\\");
                bool removedValue = !c.value.empty() && key == c.valueKey &&
                                    (record.find("\"" + c.value + "\"=") != std::string::npos ||
                                     record.find("Value: " + c.value + "\n") != std::string::npos);
                EXPECT_TRUE(removedKey || removedValue) << where << " lost: " << record;
                if (record == key + "|" || removedValue) ++expectedGone;
            }
            // Each removed key (and its subkey) and the removed value are among the losses.
            EXPECT_EQ(expectedGone, c.keys.size() * 2 + (c.value.empty() ? 0 : 1)) << where;
        }
    }
    for (size_t i = 0; i < untouched.size(); ++i)
        EXPECT_EQ(ReadHostFile(untouched[i]), untouchedBytes[i]) << untouched[i];
}

// Every profile's own keys and folders are checked, not the current user's
// alone; a row names the profile it was found in, and removing a row of
// another profile changes that profile's hive and nothing of the current
// user's.
TEST(WindowsInstallationRoad, EveryProfileIsScannedAndItsRowsAreRemovedFromItsOwnHive) {
    TempInstallation windows;
    const std::string bob = TempInstallation::kBobSid;
    RegfBuilder(windows.UserHive("alice")).String("Software\\Ash Vendor", "Id", "a").Commit();
    RegfBuilder(windows.UserHive("bob"))
        .String("Software\\Ash Vendor", "Id", "b")
        .String(kRun, "AshRun", "C:\\Users\\bob\\ash.exe /q")
        .Commit();
    windows.WriteFile("C:\\Users\\bob\\AppData\\Roaming\\Microsoft\\AddIns\\infocardadd.cpl", "1");
    windows.WriteFile("C:\\Users\\bob\\AppData\\Roaming\\Ash\\a.dat", "1");
    auto machine = windows.Open();
    ThreatDatabase database;
    ASSERT_TRUE(LoadDefinitionsFromText(
        "<NA><SW NAME=\"Ash\"><DIRECTORIES><DIR NAME=\"%appdata%\\Ash\"/></DIRECTORIES>"
        "<FILES><FILE PATH=\"%appdata%\\Microsoft\\AddIns\\infocardadd.cpl\"/></FILES>"
        "<REGKEYS><REGKEY NAME=\"Software\\Ash Vendor\"/></REGKEYS>"
        "<REGVALUES><REGVALUE NAME=\"Software\\Microsoft\\Windows\\CurrentVersion\\Run\\AshRun"
        ":@:ash.exe\"/></REGVALUES></SW></NA>",
        PlaceholderFolders::FromShell(machine->shell()), &database));
    SettingsStore(machine->registry())
        .WriteInt(setting::kLastScanMode, static_cast<int>(ScanMode::Smart));
    ScanEngine engine(*machine, database);
    engine.SetRegistryKeyPause(std::chrono::milliseconds(0));
    engine.RunScan();
    std::set<std::string> found;
    TestRows bobsRegistryRows;
    for (const DetectedObject* object : engine.Results().listedObjects) {
        found.insert(std::string(ObjectTypeText(object->type)) + " " + object->objectText +
                     ProfileSuffix(*object));
        if (object->profile == "bob" && object->type != ObjectType::File &&
            object->type != ObjectType::Folder)
            bobsRegistryRows.Add(object->type, object->objectText);
    }
    EXPECT_EQ(found,
              (std::set<std::string>{
                  "Registry Key Software\\Ash Vendor (profile alice)",
                  "Registry Key " + bob + "\\Software\\Ash Vendor (profile bob)",
                  "Registry Value " + bob + "\\" + kRun + "\\AshRun:@:ash.exe (profile bob)",
                  "Folder C:\\Users\\bob\\AppData\\Roaming\\Ash (profile bob)",
                  "File C:\\Users\\bob\\AppData\\Roaming\\Ash\\a.dat (profile bob)",
                  "File C:\\Users\\bob\\AppData\\Roaming\\Microsoft\\AddIns\\infocardadd.cpl "
                  "(profile bob)",
              }));

    const std::string aliceBefore = ReadHostFile(windows.UserHive("alice"));
    ObjectRemover remover(*machine);
    for (const auto& row : bobsRegistryRows.rows)
        EXPECT_TRUE(remover.RemoveObject(row.type, row.text)) << row.text;
    EXPECT_EQ(ReadHostFile(windows.UserHive("alice")), aliceBefore);
    EXPECT_EQ(HivexgetValue(windows.UserHive("alice"), "\\Software\\Ash Vendor", "Id"), "a\n");
    EXPECT_EQ(HivexgetValue(windows.UserHive("bob"), "\\Software\\Ash Vendor", "Id"), "");
    EXPECT_EQ(HivexgetValue(windows.UserHive("bob"), std::string("\\") + kRun, "AshRun"), "");
}

}  // namespace
}  // namespace tolvane::testing
