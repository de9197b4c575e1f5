// The shipped definitions find what they describe: the traces of every
// generated definition (taken from the markup itself: a key, a value with
// data its pattern is in, a file, a folder) are planted on a temporary
// prefix, and the scans list each under its own definition: a Smart Scan the
// registry and the definitions' folders, a Drives & Folders scan of C: the
// files wherever they lie. The Object Details of such a row name the
// source's author and link.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <string_view>

#include "app/views/check_list.h"
#include "app/views/details.h"
#include "base/codepage.h"
#include "definitions/load_definitions.h"
#include "definitions/placeholders.h"
#include "definitions/threat_database.h"
#include "machine/registry.h"
#include "scan/scan_engine.h"
#include "settings/settings_store.h"
#include "testing/source_tree.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using namespace std::chrono_literals;

std::string ShippedMarkup() {
    return testing::SourceTreeFile("data/definitions.xml");
}

bool IsGenerated(const ThreatDefinition& d) {
    return d.url.rfind("https://github.com/", 0) == 0;
}

bool HasWildcard(std::string_view path) {
    return path.find_first_of("*?") != std::string::npos;
}

// A trace to plant and the row that must show it.
struct Trace {
    const ThreatDefinition* definition;
    ObjectType type;
    std::string object;     // the row's object text
    std::string valueData;  // for a value: the data planted
};

// The traces of every generated definition, leaving out
// what another definition names too (the file and folder lookups give such
// a trace to one of them only) and files below a definition's folder (whose
// walk reports them for the folder's definition).
class TraceSample {
  public:
    explicit TraceSample(const ThreatDatabase& db) {
        for (const auto& d : db.definitions()) {
            for (const auto& e : d->files) ++fileUses_[Lower(e.path)];
            for (const auto& e : d->directories) {
                ++folderUses_[Lower(e.path)];
                folders_.push_back(Lower(e.path) + "\\");
            }
        }
        for (const auto& d : db.definitions())
            if (IsGenerated(*d)) Take(*d);
    }
    std::vector<Trace> traces;
    std::set<const ThreatDefinition*> definitions;
    std::map<ObjectType, int> kinds;

  private:
    static std::string Lower(std::string_view s) {
        std::string out;
        for (char c : s) out += FoldCase(c);
        return out;
    }
    bool BelowAFolder(std::string_view path) const {
        std::string lower = Lower(path);
        return std::any_of(folders_.begin(), folders_.end(),
                           [&](const std::string& f) { return lower.rfind(f, 0) == 0; });
    }
    void Add(const ThreatDefinition& d, ObjectType type, std::string object,
             std::string data = {}) {
        traces.push_back({&d, type, std::move(object), std::move(data)});
        definitions.insert(&d);
        ++kinds[type];
    }
    // Every registry entry and folder, the first file.
    void Take(const ThreatDefinition& d) {
        for (const auto& k : d.registryKeys) Add(d, ObjectType::RegistryKey, std::string(k.path));
        for (const auto& v : d.registryValues)
            // Their conditions ask more than the pattern: the test below.
            if (!v.conditions)
                Add(d, ObjectType::RegistryValue,
                    std::string(v.fullName) +
                        (v.dataPattern.empty() ? ""
                                               : kValueDataSeparator + std::string(v.dataPattern)),
                    std::string(v.dataPattern));
        for (const auto& e : d.directories)
            if (folderUses_[Lower(e.path)] == 1) Add(d, ObjectType::Folder, std::string(e.path));
        for (const auto& e : d.files) {
            const bool bare = e.path.find('\\') == std::string::npos;
            if (fileUses_[Lower(e.path)] > 1 || HasWildcard(e.path) || e.size != 0 ||
                e.conditions || (!bare && (e.path.rfind("C:\\", 0) != 0 || BelowAFolder(e.path))))
                continue;
            Add(d, ObjectType::File, bare ? "C:\\" + std::string(e.path) : std::string(e.path));
            break;
        }
    }
    std::map<std::string, int> fileUses_, folderUses_;
    std::vector<std::string> folders_;
};

class ShippedDefinitions : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = prefix_.Open();
        LoadReport report;
        ASSERT_TRUE(LoadDefinitionsFromText(
            ShippedMarkup(), PlaceholderFolders::FromShell(machine_->shell()), &db_, &report))
            << report.parseError;
    }

    void Plant(const Trace& t) {
        Registry& registry = machine_->registry();
        RegKey key;
        switch (t.type) {
            case ObjectType::RegistryKey:
                ASSERT_EQ(registry.CreateKey(Registry::Root(RootKey::CurrentUser), t.object,
                                             KEY_ALL_ACCESS, &key),
                          ERROR_SUCCESS)
                    << t.object;
                registry.CloseKey(key);
                break;
            case ObjectType::RegistryValue: {
                const RegistryValueEntry* v = nullptr;
                for (const auto& e : t.definition->registryValues)
                    if (t.object.rfind(e.fullName, 0) == 0) v = &e;
                ASSERT_NE(v, nullptr);
                // Several definitions may name one value: its data holds
                // every pattern.
                std::string& data =
                    valueData_[std::string(v->keyPath) + "\\" + std::string(v->valueName)];
                data += "|" + t.valueData;
                ASSERT_EQ(registry.CreateKey(Registry::Root(RootKey::LocalMachine), v->keyPath,
                                             KEY_ALL_ACCESS, &key),
                          ERROR_SUCCESS)
                    << v->keyPath;
                EXPECT_EQ(registry.SetValue(key, v->valueName, REG_SZ, data + "|"), ERROR_SUCCESS);
                registry.CloseKey(key);
                break;
            }
            case ObjectType::Folder:
                prefix_.MakeFolder(t.object);
                break;
            default:
                prefix_.WriteFile(t.object, "planted");
        }
    }

    Registry& registry() { return machine_->registry(); }

    // The scan's rows as "definition|type|object".
    std::set<std::string> Scan(ScanMode mode) {
        SettingsStore settings(machine_->registry());
        settings.WriteInt(setting::kLastScanMode, static_cast<int>(mode));
        settings.WriteInt(setting::kScanDrivesNumRead, 1);
        settings.WriteString(std::string(kDrivesAndFoldersList) + "1", "C:\\");
        ScanEngine engine(*machine_, db_);
        engine.SetRegistryKeyPause(0ms);
        engine.RunScan();
        std::set<std::string> rows;
        for (const DetectedObject* o : engine.Results().listedObjects) {
            rows.insert(std::string(o->definition->name) + "|" +
                        std::to_string(StoredNumber(o->type)) + "|" + o->objectText);
            if (!detailsChecked_ && IsGenerated(*o->definition)) CheckDetails(*o);
        }
        return rows;
    }

    void CheckDetails(const DetectedObject& o) {
        detailsChecked_ = true;
        ListRow row{std::string(o.definition->name), ObjectTypeText(o.type),
                    std::string(o.definition->category), o.objectText,
                    std::string(o.definition->danger)};
        ObjectDetails details = MakeObjectDetails(row, db_, false);
        EXPECT_NE(details.description.find("Author: "), std::string::npos) << details.description;
        EXPECT_NE(details.description.find(o.definition->url), std::string::npos)
            << details.description;
    }

    testing::TempPrefix prefix_;
    std::unique_ptr<Machine> machine_;
    ThreatDatabase db_;
    bool detailsChecked_ = false;
    std::map<std::string, std::string> valueData_;
};

TEST_F(ShippedDefinitions, EveryPlantedTraceIsListedUnderItsOwnDefinition) {
    TraceSample sample(db_);
    std::cout << "[ sample   ] " << sample.definitions.size()
              << " definitions: " << sample.kinds[ObjectType::RegistryKey] << " keys, "
              << sample.kinds[ObjectType::RegistryValue] << " values, "
              << sample.kinds[ObjectType::Folder] << " folders, " << sample.kinds[ObjectType::File]
              << " files\n";
    ASSERT_GE(sample.definitions.size(), 100u);
    for (ObjectType kind :
         {ObjectType::RegistryKey, ObjectType::RegistryValue, ObjectType::Folder, ObjectType::File})
        EXPECT_GE(sample.kinds[kind], 10) << static_cast<int>(kind);
    for (const Trace& t : sample.traces) Plant(t);

    std::set<std::string> smart = Scan(ScanMode::Smart);
    std::set<std::string> drives = Scan(ScanMode::DrivesAndFolders);
    int missing = 0;
    for (const Trace& t : sample.traces) {
        const std::string row = std::string(t.definition->name) + "|" +
                                std::to_string(StoredNumber(t.type)) + "|" + t.object;
        // Files lie anywhere: the Drives & Folders walk of C: meets them.
        const std::set<std::string>& rows = t.type == ObjectType::File ? drives : smart;
        if (!rows.count(row)) {
            ++missing;
            ADD_FAILURE() << "not listed: " << Cp1252ToUtf8(row);
        }
    }
    EXPECT_EQ(missing, 0);
    EXPECT_TRUE(detailsChecked_);
}

// The Leviathan rule names its Run value by the start of its name: a value
// planted under HKCU as the malware names it is listed under that rule.
TEST_F(ShippedDefinitions, APlantedRunValueNamedNtkdIsListedUnderItsRule) {
    RegKey key;
    const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    ASSERT_EQ(registry().CreateKey(Registry::Root(RootKey::CurrentUser), run, KEY_ALL_ACCESS, &key),
              ERROR_SUCCESS);
    ASSERT_EQ(registry().SetValue(key, "ntkd", REG_SZ, "C:\\ProgramData\\ntkd.exe"), ERROR_SUCCESS);
    registry().CloseKey(key);
    EXPECT_EQ(
        Scan(ScanMode::Smart)
            .count("Leviathan Registry Key Activity|" +
                   std::to_string(StoredNumber(ObjectType::RegistryValue)) + "|" + run + "\\ntkd"),
        1u);
}

// A rule's several conditions and its exclusion, as shipped: a file that
// meets all of them is listed under it; one its exclusion matches, or one
// meeting one condition of two, is not.
TEST_F(ShippedDefinitions, AFileIsListedUnderARuleOnlyWhenItMeetsAllConditionsAndNoExclusion) {
    const std::string rule = "Suspicious File Creation In Uncommon AppData Folder|" +
                             std::to_string(StoredNumber(ObjectType::File)) + "|";
    const std::string all = "C:\\Users\\tester\\AppData\\Evil\\upd.exe";
    const std::string excluded = "C:\\Users\\tester\\AppData\\Roaming\\Evil\\upd.exe";
    const std::string oneOfTwo = "C:\\ProgramData\\AppData\\upd.exe";
    for (const std::string& path : {all, excluded, oneOfTwo}) prefix_.WriteFile(path, "x");
    std::set<std::string> rows = Scan(ScanMode::DrivesAndFolders);
    EXPECT_EQ(rows.count(rule + all), 1u);
    EXPECT_EQ(rows.count(rule + excluded), 0u);
    EXPECT_EQ(rows.count(rule + oneOfTwo), 0u);
}

}  // namespace
}  // namespace tolvane
