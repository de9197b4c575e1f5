// The importer's translation tables and its handling of bad input.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "definitions/container.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "testing/as_nobody.h"
#include "tools/db/import/clean_list.h"
#include "tools/db/import/ioc_list.h"
#include "tools/db/import/mapping.h"
#include "tools/db/import/markup.h"
#include "tools/db/import/misp.h"
#include "tools/db/import/sigma.h"

namespace tolvane::import {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRefused = "(refused)";

std::string Key(std::string_view written) {
    return RegistryPathWithoutRoot(written, false, nullptr).value_or(kRefused);
}

std::string ValueText(std::string_view written) {
    auto path = RegistryPathWithoutRoot(written, true, nullptr);
    return path ? RegistryValueText(*path, nullptr).value_or(kRefused) : kRefused;
}

TEST(ImportMapping, RegistryPathsLoseTheirRootAndKeepTheirKeys) {
    const std::pair<const char*, const char*> keys[] = {
        {"HKLM\\SOFTWARE\\Foo", "SOFTWARE\\Foo"},
        {"HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\x\\",
         "SYSTEM\\CurrentControlSet\\Services\\x"},
        {"HKCU\\Software\\EpicNet Inc.\\CloudNet\\", "Software\\EpicNet Inc.\\CloudNet"},
        {"HKEY_CURRENT_USER\\Software\\Foo", "Software\\Foo"},
        {"HKU\\S-1-5-21-1-2-3-1000\\Software\\Foo", "Software\\Foo"},
        {"HKU\\S-1-5-21-1-2-3-1000_Classes\\CLSID\\{1}", "CLSID\\{1}"},
        {"\\REGISTRY\\MACHINE\\SOFTWARE\\Foo", "SOFTWARE\\Foo"},
        {"HKCR\\CLSID\\{1}\\InprocServer32", "CLSID\\{1}\\InprocServer32"},
        {"\\SOFTWARE\\Foo\\Bar", "SOFTWARE\\Foo\\Bar"},
        {"\\Control Panel\\Desktop", "Control Panel\\Desktop"},
        // Anything may stand before a key that is not a hive's top key.
        {"\\CurrentVersion\\Run\\Evil", kRefused},
        {"HKLM\\", kRefused},
        {"HKLM\\SOFTWARE\\*\\Run", kRefused},
        {"HKU\\", kRefused},
        {"", kRefused},
    };
    for (const auto& [written, expected] : keys) EXPECT_EQ(Key(written), expected) << written;

    // Values: HKCR moves below Software\Classes (values are looked for under
    // HKCU and HKLM), "(Default)" is the empty name after the last backslash.
    const std::pair<const char*, const char*> values[] = {
        {"HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\Evil",
         "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\Evil"},
        {"HKCR\\CLSID\\{1}\\InprocServer32\\(Default)",
         "Software\\Classes\\CLSID\\{1}\\InprocServer32\\"},
        {"\\CLSID\\{1}\\(Default)", "Software\\Classes\\CLSID\\{1}\\"},
        {"HKU\\S-1_Classes\\exefile\\x", "Software\\Classes\\exefile\\x"},
        {"HKLM\\SOFTWARE", kRefused},
        {"HKLM\\SOFTWARE\\a:@:b\\c", kRefused},
    };
    for (const auto& [written, expected] : values)
        EXPECT_EQ(ValueText(written), expected) << written;
}

TEST(ImportMapping, DataConditionsBecomeWhatTheRegistryPhaseCompares) {
    auto pattern = [](std::string_view details, DataMatch match) {
        return DataPattern(details, match, nullptr).value_or(kRefused);
    };
    // A DWORD is its little-endian bytes up to the first zero byte.
    EXPECT_EQ(pattern("DWORD (0x01020304)", DataMatch::Equals), "\x04\x03\x02\x01");
    EXPECT_EQ(pattern("DWORD (0x7f7e7d30)", DataMatch::Equals), "\x30\x7d\x7e\x7f");
    const std::pair<const char*, DataMatch> refused[] = {
        // DWORD 1 reads as one byte: 0x101 would contain it too.
        {"DWORD (0x00000001)", DataMatch::Equals},
        {"DWORD (0x00000000)", DataMatch::Equals},
        {"DWORD (0x41424344)", DataMatch::Equals},  // letters compare without case
        {"DWORD (0x0a0b0c0d)", DataMatch::Equals},  // a line feed
        {"DWORD (0x0000", DataMatch::Equals},
        {"DWORD (0x00000001)", DataMatch::Contains},
        {"QWORD (0x00000001-0x00000000)", DataMatch::Equals},
        {"Binary Data", DataMatch::Equals},
        // The scan tests containment: equality, start and end are narrower.
        {"C:\\evil.exe", DataMatch::Equals},
        {"C:\\evil", DataMatch::StartsWith},
        {"evil.exe", DataMatch::EndsWith},
        {"a*b", DataMatch::Contains},
        {"%APPDATA%\\x", DataMatch::Contains},
        {"", DataMatch::Contains},
    };
    for (const auto& [details, match] : refused)
        EXPECT_EQ(pattern(details, match), kRefused) << details;
    EXPECT_EQ(pattern("\\Temp\\evil.exe", DataMatch::Contains), "\\Temp\\evil.exe");
}

std::string Fragments(std::string_view regex) {
    auto fragments = RegexFragments(regex, nullptr);
    if (!fragments) return kRefused;
    std::string all;
    for (const PathFragment& f : *fragments) {
        if (!all.empty()) all += " | ";
        all += (f.anchoredStart ? "^" : "") + f.text + (f.anchoredEnd ? "$" : "");
    }
    return all;
}

TEST(ImportMapping, RegularExpressionsBecomeWildcardsOnlyWhereExact) {
    const std::pair<const char*, const char*> table[] = {
        {"\\\\usbclass\\.sys", "\\usbclass.sys"},
        {"(?i)C:\\\\TEMP\\\\MKATZ\\.EXE$", "C:\\TEMP\\MKATZ.EXE$"},
        {"^C:\\\\x\\.exe$", "^C:\\x.exe$"},
        {"(TEMP|TMP|Temp)\\\\DW20\\.dll", "TEMP\\DW20.dll | TMP\\DW20.dll | Temp\\DW20.dll"},
        {"\\\\procdump(64)?\\.exe", "\\procdump64.exe | \\procdump.exe"},
        {"\\\\[Ss]ystem32\\\\x\\.dll", "\\System32\\x.dll"},
        {"\\\\a[.]b", "\\a.b"},
        {"\\\\Temp\\\\.*\\.tmp$", "\\Temp\\*.tmp$"},
        {"\\\\x.y", "\\x?y"},
        {"\\\\x.+\\.exe", "\\x?*.exe"},
        {"(?:a|b)\\\\c", "a\\c | b\\c"},
        // Not exact: refused.
        {"\\\\dl_[0-9]{2}\\.exe", kRefused},
        {"\\\\[a-z]+\\.exe", kRefused},
        {"\\\\[^\\\\]+\\.exe", kRefused},
        {"\\\\\\d\\.exe", kRefused},
        {"\\\\a+\\.exe", kRefused},
        {"\\\\a\\s", kRefused},
        {"(a|b|c)(d|e|f)\\\\x", kRefused},  // nine alternatives
        {"\\\\a$b", kRefused},
        {"(a\\\\b", kRefused},
        {"a)", kRefused},
        {"", kRefused},
    };
    for (const auto& [regex, expected] : table) EXPECT_EQ(Fragments(regex), expected) << regex;
}

std::string EntryText(const PathFragment& f) {
    auto entry = PathEntry(f, nullptr);
    if (!entry) return kRefused;
    return (entry->kind == EntryKind::Directory ? "DIR " : "FILE ") + entry->text;
}

TEST(ImportMapping, PathsBecomePlaceholdersOrBareNamesOrAreRefused) {
    const PathFragment suffix{"", false, true};
    auto ends = [&](std::string text) { return PathFragment{std::move(text), false, true}; };
    auto full = [&](std::string text) { return PathFragment{std::move(text), true, true}; };
    (void)suffix;
    const std::pair<PathFragment, const char*> table[] = {
        {full("%APPDATA%\\Microsoft\\x.dat"), "FILE %appdata%\\Microsoft\\x.dat"},
        {full("%LocalAppData%\\Microsoft\\OneDrive\\dwmapi.dll"),
         "FILE %localappdata%\\Microsoft\\OneDrive\\dwmapi.dll"},
        {full("%ALLUSERSPROFILE%\\x\\"), "DIR %programdata%\\x"},
        {full("%ProgramFiles(x86)%\\x\\y.exe"), "FILE %programfilesx86%\\x\\y.exe"},
        {full("%PUBLIC%\\x.exe"), "FILE %public%\\x.exe"},
        {full("%tmp%\\winmail.dat"), "FILE %temp%\\winmail.dat"},
        {full("C:\\Intel\\~csrss.exe"), "FILE C:\\Intel\\~csrss.exe"},
        {ends("\\AppData\\Roaming\\x\\y.exe"), "FILE %appdata%\\x\\y.exe"},
        {ends("\\AppData\\Local\\Temp\\y.exe"), "FILE %localappdata%\\Temp\\y.exe"},
        {ends("\\Start Menu\\Programs\\Startup\\x.lnk"), "FILE %autostart%\\x.lnk"},
        {ends("\\Microsoft\\Windows\\Start Menu\\Programs\\Startup\\x.lnk"),
         "FILE %autostart%\\x.lnk"},
        {ends("ystem32\\winhttpc.dll"), "FILE %system%\\winhttpc.dll"},
        {ends("\\SysWow64\\wshnetc.dll"), "FILE %systemx86%\\wshnetc.dll"},
        {ends("\\Windows\\Temp\\x.exe"), "FILE %windir%\\Temp\\x.exe"},
        {ends("\\Program Files (x86)\\x\\y.exe"), "FILE %programfilesx86%\\x\\y.exe"},
        {ends("\\Users\\Public\\x.exe"), "FILE %public%\\x.exe"},
        {ends("ProgramData\\Mail\\MailAg\\"), "DIR %programdata%\\Mail\\MailAg"},
        {ends("\\usbclass.sys"), "FILE usbclass.sys"},
        {ends("svcstat.exe"), "FILE svcstat.exe"},
        {ends("\\Temp\\x*.tmp"), "FILE %temp%\\x*.tmp"},
        // Refused.
        {ends("\\config\\SystemAudit.Evt"), kRefused},  // below an unknown folder
        {ends("\\Temp\\"), kRefused},                   // a common folder itself
        {ends("\\AppData\\Roaming"), kRefused},
        {ends("\\Foo\\"), kRefused},  // a folder of that name anywhere
        {ends("\\*.exe"), kRefused},
        {ends("\\Temp\\*\\"), kRefused},
        {full("Windows\\814ad43"), kRefused},  // relative
        {full("/usr/bin/evil"), kRefused},
        {full("~/Library/x"), kRefused},
        {full("%TEMP%\\tmp%YEAR%.s"), kRefused},
        {full("C:\\a\\b[1].txt"), kRefused},
        {full("C:\\a\\\\b"), kRefused},
        {full("C:\\"), kRefused},
        {ends("::$index_allocation"), kRefused},  // an NTFS stream, not a file
        {full("C:\\x\\y.txt:evil.exe"), kRefused},
    };
    for (const auto& [fragment, expected] : table)
        EXPECT_EQ(EntryText(fragment), expected) << fragment.text;
}

// --- Whole sources ---

class ImportSources : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ =
            fs::temp_directory_path() /
            ("tolvane-import-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path Write(const std::string& name, const std::string& text) {
        fs::path p = dir_ / name;
        fs::create_directories(p.parent_path());
        std::ofstream(p, std::ios::binary) << text;
        return p;
    }
    static std::vector<std::string> Reasons(const Result& r) {
        std::vector<std::string> all;
        for (const LeftOut& l : r.report.leftOut) all.push_back(l.reason);
        return all;
    }
    fs::path dir_;
};

constexpr const char* kGoodRule = R"(title: Evil Run Key
id: 11111111-2222-3333-4444-555555555555
description: A run key that Evil sets.
author: Jane Doe, John Roe
level: high
tags:
    - attack.persistence
logsource:
    category: registry_set
    product: windows
detection:
    selection:
        TargetObject|endswith: '\SOFTWARE\Microsoft\Windows\CurrentVersion\Run\EvilUpdate'
        Details|contains: '\AppData\Roaming\evil\'
    condition: selection
)";

TEST_F(ImportSources, SigmaRuleBecomesOneDefinitionWithItsAttribution) {
    Write("rules/a/good.yml", kGoodRule);
    Result r;
    ImportSigma(dir_ / "rules", {"https://x.example/sigma", "", "Under the DRL 1.1."}, &r);
    ASSERT_EQ(r.definitions.size(), 1u);
    const Definition& d = r.definitions[0];
    EXPECT_EQ(d.name, "Evil Run Key");
    EXPECT_EQ(d.category, "Persistence");
    EXPECT_EQ(d.danger, "High");
    EXPECT_EQ(d.url, "https://x.example/sigma/a/good.yml");
    EXPECT_NE(d.description.find("Author: Jane Doe, John Roe."), std::string::npos);
    EXPECT_NE(d.description.find("Under the DRL 1.1."), std::string::npos);
    ASSERT_EQ(d.entries.size(), 1u);
    EXPECT_EQ(d.entries[0].text,
              "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\EvilUpdate:@:"
              "\\AppData\\Roaming\\evil\\");
    EXPECT_EQ(d.description.rfind("A run key that Evil sets. Author: ", 0), 0u) << d.description;

    // A description without its full stop gets one before the author.
    std::string bare = kGoodRule;
    bare.replace(bare.find("Evil sets."), 10, "Evil sets");
    Write("rules/a/good.yml", bare);
    Result again;
    ImportSigma(dir_ / "rules", {"https://x.example/sigma", "", ""}, &again);
    ASSERT_EQ(again.definitions.size(), 1u);
    EXPECT_EQ(again.definitions[0].description.rfind("A run key that Evil sets. Author: ", 0), 0u)
        << again.definitions[0].description;
}

// A registry path that ends inside a name names values by the start of
// their name (the Sigma snapshot's Leviathan rule); the markup marks the
// pattern so that the reader takes it as one, and the default value stays
// exact.
TEST_F(ImportSources, SigmaPathEndingInsideANameBecomesAValueNamePattern) {
    Write("rules/leviathan.yml", R"(title: Leviathan Registry Key Activity
logsource:
    category: registry_event
    product: windows
detection:
    selection:
        TargetObject|contains:
            - '\Software\Microsoft\Windows\CurrentVersion\Run\ntkd'
            - 'HKCU\Software\Classes\exefile\shell\open\command\(Default)'
    condition: selection
level: critical
)");
    Result r;
    ImportSigma(dir_ / "rules", {}, &r);
    ASSERT_EQ(r.definitions.size(), 1u);
    const std::vector<Entry> expected = {
        {EntryKind::RegistryValue, "Software\\Microsoft\\Windows\\CurrentVersion\\Run\\ntkd*",
         true},
        {EntryKind::RegistryValue, "Software\\Classes\\exefile\\shell\\open\\command\\", true}};
    EXPECT_EQ(r.definitions[0].entries, expected);
    EXPECT_TRUE(Reasons(r).empty());

    std::string stored;
    ASSERT_TRUE(EncodeContainer(DefinitionsMarkup(r.definitions, "", "1", "d", ""), &stored));
    ThreatDatabase db;
    LoadReport report;
    ASSERT_TRUE(LoadDefinitionsFromContainer(stored, {}, &db, &report)) << report.parseError;
    const RegistryValueEntry& v = db.definitions()[0]->registryValues[0];
    EXPECT_TRUE(v.nameIsPattern);
    EXPECT_EQ(v.valueName, "ntkd*");
}

// A partial path below a folder no placeholder names becomes an expression
// tied where the rule ties it, and a |re on the file's path that very
// expression; they load and find their files, and a list's exclusion keeps
// the file it names out.
TEST_F(ImportSources, PartialPathsAndListExpressionsLoadAsPathExpressions) {
    Write("rules/sam.yml", R"(title: SAM Dump
logsource:
    category: file_event
    product: windows
detection:
    selection:
        TargetFilename|endswith:
            - '\Perflogs\sam'
            - '\Bin\Screen?onnect.exe'
    wmiexec:
        TargetFilename|re: '\\Windows\\__1\d{9}\.\d{1,7}$'
    anydrive:
        TargetFilename|endswith:
            - ':\Windows\System32\oci.dll'
            - '.docm:Zone'
    belowroot:
        TargetFilename|contains:
            - ':\Windows\apppatch\Custom\'
            - ':\Windows\System32\Tasks\'
    condition: selection or wmiexec or anydrive or belowroot
level: high
)");
    // ":\" is a drive's colon, its letter left out: a full path looks on the
    // system drive, a contained one is an expression for every drive unless
    // it names a stock folder. A ':' after a name is still a stream's.
    CleanWindows stock;
    stock.AddEntries("%system%\\Tasks\n");
    Result r;
    ImportSigma(dir_ / "rules", {}, &r, &stock);
    ASSERT_EQ(r.definitions.size(), 1u);
    // A plain name is found by name in any folder, its path's end a condition.
    ASSERT_EQ(r.definitions[0].entries.size(), 5u);
    EXPECT_EQ(r.definitions[0].entries[0].kind, EntryKind::File);
    EXPECT_EQ(r.definitions[0].entries[0].text, "sam");
    EXPECT_EQ(
        std::vector<Entry>(r.definitions[0].entries.begin() + 1, r.definitions[0].entries.end()),
        (std::vector<Entry>{
            {EntryKind::FileExpression, "\\\\Bin\\\\Screen[^\\\\]onnect\\.exe$"},
            {EntryKind::FileExpression, "\\\\Windows\\\\__1\\d{9}\\.\\d{1,7}$"},
            {EntryKind::File, "C:\\Windows\\System32\\oci.dll"},
            {EntryKind::FileExpression, "\\:\\\\Windows\\\\apppatch\\\\Custom\\\\"}}));
    EXPECT_NE(r.definitions[0].description.find("on the system drive only"), std::string::npos);
    EXPECT_EQ(Reasons(r), (std::vector<std::string>{"':' in a name (an NTFS stream)",
                                                    std::string(kCleanWindowsReason)}));
    ImportFilenameIocs(Write("iocs.txt",
                             "# Dropper\n\\\\av[0-9]+\\.exe$;80;\\\\Windows\\\\\n"
                             ":\\\\ProgramData\\\\Intel\\\\cache\\.exe;75\n"
                             "\\\\evil\\.exe:Zone\\.Identifier;70\n"),
                       {}, &r);
    ASSERT_EQ(r.definitions.size(), 2u);
    EXPECT_EQ(Reasons(r).back(), "':' in a name (an NTFS stream)");

    ThreatDatabase db;
    ASSERT_TRUE(
        LoadDefinitionsFromText(DefinitionsMarkup(r.definitions, "", "1", "d", ""), {}, &db));
    EXPECT_EQ(db.MatchFile("C:\\PerfLogs\\SAM", [] { return uint64_t{0}; }),
              db.definitions()[0].get());
    EXPECT_EQ(db.MatchFileExpression("C:\\windows\\__1234567890.12"), db.definitions()[0].get());
    EXPECT_EQ(db.MatchFile("C:\\Other\\sam", [] { return uint64_t{0}; }), nullptr);
    EXPECT_EQ(db.MatchFileExpression("C:\\x\\AV12.exe"), db.definitions()[1].get());
    EXPECT_EQ(db.MatchFileExpression("C:\\Windows\\av12.exe"), nullptr);
    EXPECT_EQ(db.MatchFile("C:\\Windows\\System32\\OCI.dll", [] { return uint64_t{0}; }),
              db.definitions()[0].get());
    EXPECT_EQ(db.MatchFileExpression("D:\\Windows\\AppPatch\\Custom\\Custom64\\x.sdb"),
              db.definitions()[0].get());
    EXPECT_EQ(db.MatchFileExpression("E:\\programdata\\intel\\cache.exe"),
              db.definitions()[1].get());
}

// Several conditions on one object, |all, "and not" filters and the
// writing program's condition: entries with conditions that the reader
// applies as the rule meant them.
TEST_F(ImportSources, SigmaConditionsAndExclusionsBecomeEntryConditions) {
    const char* head = "logsource: {category: file_event, product: windows}\ndetection:\n";
    Write("r/dump.yml", std::string("title: Sam Dump\nlevel: high\n") + head + R"(    selection:
        TargetFilename|contains|all: ['\AppData\Local\Temp\', '\SAM-']
        TargetFilename|endswith: '.dmp'
    filter_main:
        TargetFilename|startswith: 'C:\Windows\'
    filter_other:
        TargetFilename|contains: '\Keep\'
        Image|endswith: '\backup.exe'
    condition: selection and not 1 of filter_*
)");
    Write("r/dropper.yml", std::string("title: Dropper\nlevel: low\n") + head + R"(    selection:
        TargetFilename|endswith: '\Vendor\evilupd.exe'
        Image|endswith: '\powershell.exe'
    condition: selection
)");
    Write("r/stock.yml", std::string("title: Stock Name\nlevel: high\n") + head + R"(    selection:
        TargetFilename|endswith: '\Vendor\svchost.exe'
        Image|endswith: '\powershell.exe'
    condition: selection
)");
    Write("r/run.yml", R"(title: Run Rundll
level: high
logsource: {category: registry_set, product: windows}
detection:
    selection:
        TargetObject|endswith: '\SOFTWARE\Microsoft\Windows\CurrentVersion\Run\Updater'
        Details|startswith: 'rundll32.exe '
        Details|endswith: ',Start'
    condition: selection
)");
    CleanWindows stock;
    stock.AddStockNames("# names\nSVCHOST.EXE\nexplorer.exe\n");
    Result r;
    ImportSigma(dir_ / "r", {}, &r, &stock);
    ASSERT_EQ(r.definitions.size(), 3u);
    EXPECT_EQ(Reasons(r), std::vector<std::string>{"condition on Image cannot be expressed"});

    using Any = std::vector<Condition>;
    const Entry dump = {
        EntryKind::File,
        "*.dmp",
        false,
        {Any{{false, "contains", "\\AppData\\Local\\Temp\\"}}, Any{{false, "contains", "\\SAM-"}}},
        {{Any{{false, "startswith", "C:\\Windows\\"}}}, {Any{{false, "contains", "\\Keep\\"}}}}};
    // In the order of the rule files' paths.
    const Definition& dropper = r.definitions[0];
    EXPECT_EQ(r.definitions[1].entries, std::vector<Entry>{dump});
    EXPECT_NE(dropper.description.find("without its conditions on the program"), std::string::npos);
    EXPECT_EQ(dropper.entries[0].text, "evilupd.exe");
    const Entry run = {
        EntryKind::RegistryValue,
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run\\Updater",
        false,
        {Any{{true, "startswith", "rundll32.exe "}}, Any{{true, "endswith", ",Start"}}}};
    EXPECT_EQ(r.definitions[2].entries, std::vector<Entry>{run});

    // As the scan's reader takes them: all conditions, no exclusion.
    std::string markup = DefinitionsMarkup(r.definitions, "", "1", "d", "");
    ThreatDatabase db;
    ASSERT_TRUE(LoadDefinitionsFromText(markup, {}, &db));
    auto match = [&](const char* path) {
        const ThreatDefinition* d = db.MatchFile(path, [] { return uint64_t{0}; });
        return std::string(d ? d->name : "none");
    };
    EXPECT_EQ(match("C:\\users\\u\\AppData\\Local\\Temp\\SAM-1.dmp"), "Sam Dump");
    EXPECT_EQ(match("C:\\users\\u\\AppData\\Local\\Temp\\other.dmp"), "none");
    EXPECT_EQ(match("C:\\Windows\\AppData\\Local\\Temp\\SAM-1.dmp"), "none");
    EXPECT_EQ(match("C:\\users\\u\\AppData\\Local\\Temp\\Keep\\SAM-1.dmp"), "none");
    EXPECT_EQ(match("D:\\Vendor\\EvilUpd.exe"), "Dropper");
    EXPECT_EQ(match("D:\\Other\\evilupd.exe"), "none");
    // Low danger: listed, not checked.
    EXPECT_FALSE(db.definitions()[0]->checkedByDefault);
    EXPECT_TRUE(db.definitions()[1]->checkedByDefault);
    ASSERT_EQ(db.definitions()[2]->registryValues.size(), 1u);
    EXPECT_TRUE(db.definitions()[2]->registryValues[0].conditions);
}

TEST_F(ImportSources, RegistryPathsWithoutARootAreLookedForWhereTheirSubtreeLives) {
    Write("r/defender.yml", R"(title: Defender Threat Action
level: high
logsource: {category: registry_set, product: windows}
detection:
    selection:
        TargetObject|contains: '\Microsoft\Windows Defender\Threats\ThreatSeverityDefaultAction\'
        TargetObject|endswith: ['\1', '\2']
    svc:
        TargetObject|endswith: '\Services\EvilSvc\ImagePath'
    sam:
        TargetObject|contains: '\SAM\'
    unknown:
        TargetObject|endswith: '\AppX82a6gwre\Shell\open\command'
    condition: 1 of them
)");
    Result r;
    ImportSigma(dir_ / "r", {}, &r);
    ASSERT_EQ(r.definitions.size(), 1u);
    std::vector<std::string> texts;
    for (const Entry& e : r.definitions[0].entries) texts.push_back(e.text);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "SOFTWARE\\Microsoft\\Windows Defender\\Threats\\"
                         "ThreatSeverityDefaultAction\\*",
                         "SOFTWARE\\Wow6432Node\\Microsoft\\Windows Defender\\Threats\\"
                         "ThreatSeverityDefaultAction\\*",
                         "SYSTEM\\CurrentControlSet\\Services\\EvilSvc\\ImagePath"}));
    EXPECT_EQ(r.definitions[0].entries[0].conditions.size(), 1u);
    // A subtree's first key alone lies on every machine; an unknown first
    // key names no place.
    EXPECT_EQ(Reasons(r),
              (std::vector<std::string>{std::string(kNoRootReason), std::string(kNoRootReason)}));
    EXPECT_NE(
        r.definitions[0].description.find("below any key; it is looked for below HKLM\\SOFTWARE, "
                                          "HKLM\\SOFTWARE\\Wow6432Node and each user's Software; "
                                          "HKLM\\SYSTEM\\CurrentControlSet only."),
        std::string::npos);
}

// Conditions without a root that together name a key where its subtree
// lives and a value of it: a value of a condition that names no place is
// left out alone, and parts that all must hold hang on the key one of them
// names, so long as its values can hold the others.
TEST_F(ImportSources, SeveralRootlessConditionsNameAKeyAndItsValue) {
    Write("r/rdp.yml", R"(title: RDP Settings
level: high
logsource: {category: registry_set, product: windows}
detection:
    a_shadow:
        TargetObject|contains: ['\Control\Terminal Server\', '\Windows NT\Terminal Services\']
        TargetObject|endswith: '\Shadow'
        Details: 'DWORD (0x00000001)'
    b_lsa:
        TargetObject|contains|all: ['SYSTEM\', 'ControlSet', '\Control\Lsa']
        TargetObject|endswith: '\RestrictSendingNTLMTraffic'
    c_office:
        TargetObject|contains|all: ['\SOFTWARE\', '\Microsoft\Office\', '\Common\Security']
        TargetObject|endswith: '\MacroRuntimeScanScope'
    condition: 1 of them
)");
    Result r;
    ImportSigma(dir_ / "r", {}, &r);
    ASSERT_EQ(r.definitions.size(), 1u);
    using Any = std::vector<Condition>;
    Condition one{true, "equals", "1"};
    one.dword = true;
    const std::vector<Entry> expected = {
        {EntryKind::RegistryValue,
         "SYSTEM\\CurrentControlSet\\Control\\Terminal Server\\*",
         true,
         {Any{{false, "endswith", "\\Shadow"}}, Any{one}}},
        {EntryKind::RegistryValue,
         "SYSTEM\\CurrentControlSet\\Control\\Lsa\\*",
         true,
         {Any{{false, "contains", "SYSTEM\\"}}, Any{{false, "contains", "ControlSet"}},
          Any{{false, "contains", "\\Control\\Lsa"}},
          Any{{false, "endswith", "\\RestrictSendingNTLMTraffic"}}}}};
    EXPECT_EQ(r.definitions[0].entries, expected);
    // The Office key's values cannot hold "\Common\Security", which lies
    // below a version's key.
    EXPECT_EQ(Reasons(r), std::vector<std::string>(5, std::string(kNoRootReason)));
    EXPECT_EQ(r.report.indicatorsRead, 11);
    EXPECT_EQ(r.report.indicatorsConverted, 6);
}

TEST_F(ImportSources, AllPartsOfAFilePathBecomeAnExpressionOfEveryOrder) {
    const char* head = "logsource: {category: file_event, product: windows}\ndetection:\n";
    Write("r/dump.yml", std::string("title: Lsass Dump\nlevel: high\n") + head + R"(    selection:
        TargetFilename|contains|all: ['\AppData\Local\Temp\', '\lsass', '.dmp']
    condition: selection
)");
    Write("r/many.yml", std::string("title: Many\nlevel: high\n") + head + R"(    selection:
        TargetFilename|contains|all: ['\a\', '\b\', '\c\', '\d\', '\e\']
        TargetFilename|endswith: '.exe'
    condition: selection
)");
    Write("r/rclone.yml", std::string("title: Rclone\nlevel: high\n") + head + R"(    selection:
        TargetFilename|contains|all: [':\Users\', '\.config\rclone\']
    condition: selection
)");
    Result r;
    ImportSigma(dir_ / "r", {}, &r);
    ASSERT_EQ(r.definitions.size(), 2u);
    ASSERT_EQ(r.report.leftOut.size(), 6u);
    EXPECT_NE(r.report.leftOut[0].reason.find("more than 4 parts"), std::string::npos);
    ThreatDatabase db;
    ASSERT_TRUE(
        LoadDefinitionsFromText(DefinitionsMarkup(r.definitions, "", "1", "d", ""), {}, &db));
    const ThreatDefinition* dump = db.definitions()[0].get();
    EXPECT_EQ(db.MatchFileExpression("C:\\users\\u\\AppData\\Local\\Temp\\lsass.DMP"), dump);
    EXPECT_EQ(db.MatchFileExpression("C:\\lsass\\x\\AppData\\Local\\Temp\\a.dmp"), dump);
    EXPECT_EQ(db.MatchFileExpression("C:\\users\\u\\AppData\\Local\\Temp\\lsass.dmp.txt"), nullptr);
    EXPECT_EQ(db.MatchFileExpression("C:\\users\\u\\AppData\\Local\\Temp\\other.dmp"), nullptr);
    // Parts without an end: anywhere in the path.
    const ThreatDefinition* rclone = db.definitions()[1].get();
    EXPECT_EQ(db.MatchFileExpression("C:\\Users\\u\\.config\\rclone\\rclone.conf"), rclone);
    EXPECT_EQ(db.MatchFileExpression("C:\\Users\\u\\.config\\other\\rclone.conf"), nullptr);
}

// An exclusion only a Linux path meets never holds for a Windows path: the
// rule stands without it rather than being left out.
TEST_F(ImportSources, AnExclusionOnlyALinuxPathMeetsExcludesNothing) {
    Write("r/double.yml", R"(title: Double Extension
level: high
logsource: {category: file_event, product: windows}
detection:
    selection:
        TargetFilename|endswith: '\Vendor\invoice.pdf.exe'
    filter_linux:
        TargetFilename|startswith: '/usr/share/icons/'
    filter_windows:
        TargetFilename|startswith: 'C:\Keep\'
    condition: selection and not 1 of filter_*
)");
    Result r;
    ImportSigma(dir_ / "r", {}, &r);
    EXPECT_TRUE(Reasons(r).empty());
    ASSERT_EQ(r.definitions.size(), 1u);
    ASSERT_EQ(r.definitions[0].entries.size(), 1u);
    using Any = std::vector<Condition>;
    EXPECT_EQ(r.definitions[0].entries[0].exclusions,
              (std::vector<std::vector<Any>>{{Any{{false, "startswith", "C:\\Keep\\"}}}}));
}

// DWORD equality and data that must hold several texts at once: conditions
// that hold only as the rule means them.
TEST_F(ImportSources, DwordEqualityAndAllDataPartsAreExactConditions) {
    const char* head = "logsource: {category: registry_set, product: windows}\ndetection:\n";
    Write("r/av.yml", std::string("title: AV Off\nlevel: medium\n") + head + R"(    selection:
        TargetObject|endswith: '\SOFTWARE\Policies\Microsoft\Windows Defender\DisableAntiSpyware'
        Details: 'DWORD (0x00000001)'
    condition: selection
)");
    Write("r/lsa.yml", std::string("title: Lsa Level\nlevel: high\n") + head + R"(    selection:
        TargetObject|contains: '\Control\Lsa\'
        TargetObject|endswith: '\LmCompatibilityLevel'
        Details: ['DWORD (0x00000000)', 'DWORD (0x00000001)']
    condition: selection
)");
    // Each text alone used to be an entry: "explorer.exe" is every
    // Windows's shell.
    Write("r/shell.yml", std::string("title: Shell\nlevel: high\n") + head + R"(    selection:
        TargetObject|endswith: '\SOFTWARE\Microsoft\Windows NT\CurrentVersion\Winlogon\Shell'
        Details|contains|all: ['explorer.exe', '-nop -w h']
    condition: selection
)");
    // Sysmon prints the data's '%' doubled: the stock program is excluded
    // by its path alone rather than listed for a text it never holds.
    Write("r/viewer.yml", std::string("title: Viewer\nlevel: high\n") + head + R"(    selection:
        TargetObject|endswith: '\SOFTWARE\Microsoft\Event Viewer\RedirectionProgram'
    filter:
        TargetObject|endswith: '\Event Viewer\RedirectionProgram'
        Details: '%%SystemRoot%%\HelpCtr.exe'
    condition: selection and not filter
)");
    Result r;
    ImportSigma(dir_ / "r", {}, &r);
    EXPECT_TRUE(Reasons(r).empty());
    ThreatDatabase db;
    ASSERT_TRUE(
        LoadDefinitionsFromText(DefinitionsMarkup(r.definitions, "", "1", "d", ""), {}, &db));
    ASSERT_EQ(db.definitions().size(), 4u);
    const auto& viewer = db.definitions()[3]->registryValues.at(0).conditions;
    ASSERT_TRUE(viewer);
    EXPECT_FALSE(viewer->Accepts("\\SOFTWARE\\Microsoft\\Event Viewer\\RedirectionProgram",
                                 "%SystemRoot%\\HelpCtr.exe"));
    ASSERT_EQ(db.definitions()[2]->registryValues.size(), 1u);
    const auto& shell = db.definitions()[2]->registryValues[0].conditions;
    ASSERT_TRUE(shell);
    const std::string shellPath =
        "\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon\\Shell";
    EXPECT_FALSE(shell->Accepts(shellPath, "explorer.exe"));
    EXPECT_TRUE(shell->Accepts(shellPath, "explorer.exe; powershell -nop -w hidden"));
    EXPECT_FALSE(db.definitions()[0]->checkedByDefault);
    EXPECT_TRUE(db.definitions()[1]->checkedByDefault);
    for (size_t i = 0; i < 2; ++i) {
        const ThreatDefinition* d = db.definitions()[i].get();
        ASSERT_EQ(d->registryValues.size(), 1u);
        const auto& conditions = d->registryValues[0].conditions;
        ASSERT_TRUE(conditions);
        const bool lsa = d->name == "Lsa Level";
        const std::string path =
            lsa ? "\\SYSTEM\\CurrentControlSet\\Control\\Lsa\\LmCompatibilityLevel"
                : "\\SOFTWARE\\Policies\\Microsoft\\Windows Defender\\DisableAntiSpyware";
        EXPECT_TRUE(conditions->Accepts(path, "\x01", 1u)) << d->name;
        EXPECT_EQ(conditions->Accepts(path, "", 0u), lsa) << d->name;
        // Another number, or the same bytes as another type, is not the DWORD.
        EXPECT_FALSE(conditions->Accepts(path, "\x01", 257u)) << d->name;
        EXPECT_FALSE(conditions->Accepts(path, "\x01")) << d->name;
    }
}

TEST_F(ImportSources, BadRulesAndFilesAreReportedAndSkippedWhole) {
    Write("r/broken.yml", "title: [unclosed\n  - : :\n");
    Write("r/nodetection.yml",
          "title: No Detection\nid: n1\nlogsource: {product: windows, category: file_event}\n");
    std::string unknown = kGoodRule;
    unknown.replace(unknown.find("Details|contains"), 16, "Details|sparkles");
    Write("r/unknown.yml", unknown);
    std::string excluded = kGoodRule;
    excluded.replace(excluded.find("condition: selection"), 20,
                     "filter:\n        User: 'x'\n    condition: selection and not filter");
    Write("r/excluded.yml", excluded);
    // A value named by the start of its name is no specific trace alone.
    std::string image = kGoodRule;
    image.replace(image.find("        Details"), 0, "        Image|endswith: '\\reg.exe'\n");
    image.replace(image.find("TargetObject|endswith"), 21, "TargetObject|contains");
    image.replace(image.find("EvilUpdate"), 10, "Evil");
    Write("r/image.yml", image);
    Write("r/notrule.yml", "- just\n- a list\n");
    Result r;
    ImportSigma(dir_ / "r", {}, &r);
    EXPECT_TRUE(r.definitions.empty());
    EXPECT_EQ(r.report.filesSkipped, 1);
    std::vector<std::string> reasons = Reasons(r);
    for (const char* want :
         {"rule without a detection", "unknown modifier |sparkles",
          "exclusion on User cannot be checked", "condition on Image cannot be expressed",
          "a document that is no rule"})
        EXPECT_NE(std::find(reasons.begin(), reasons.end(), want), reasons.end()) << want;
    bool malformed = false;
    for (const LeftOut& l : r.report.leftOut)
        malformed |= l.where == "broken.yml" && l.reason.rfind("malformed YAML", 0) == 0;
    EXPECT_TRUE(malformed);
}

// A folder of rules that cannot be listed is reported; the rules beside it
// are still read. (Root lists every folder, so nobody reads them.)
TEST_F(ImportSources, AFolderThatCannotBeListedIsReportedAndTheOthersRead) {
    SKIP_UNLESS_ROOT();
    Write("s/a/good.yml", kGoodRule);
    Write("s/locked/other.yml", kGoodRule);
    Write("s/z/good.yml", kGoodRule);
    fs::permissions(dir_ / "s" / "locked", fs::perms::owner_all);
    const std::string locked = (dir_ / "s" / "locked").string();
    EXPECT_TRUE(testing::AsNobody([&] {
        Result r;
        ImportSigma(dir_ / "s", {}, &r);
        return r.definitions.size() == 2 && r.report.filesRead == 2 && r.report.filesSkipped == 1 &&
               r.report.leftOut.size() == 1 && r.report.leftOut[0].where == locked &&
               r.report.leftOut[0].reason.rfind("cannot list: ", 0) == 0;
    }));
}

TEST_F(ImportSources, FilenameIocBlocksAreThreatsAndExpressionsKeepTheirExclusions) {
    fs::path list = Write("iocs.txt",
                          "# header\n#\n# Evil Group http://x.example/report\n"
                          "\\\\evilsvc\\.exe;80\n"
                          "ystem32\\\\evil\\.dll;95\n"
                          "\\\\procdump\\.exe;50;(?i)SysInternals\n"
                          "\\\\[a-z]{5}\\.exe;60\n"
                          "/tmp/evil;70\n"
                          "no score here\n"
                          "\n# Other\n\\\\other\\.exe;40\n");
    Result r;
    ImportFilenameIocs(list, {"https://x.example/iocs.txt", "A. Author", ""}, &r);
    ASSERT_EQ(r.definitions.size(), 2u);
    const Definition& evil = r.definitions[0];
    EXPECT_EQ(evil.name, "Evil Group");
    EXPECT_EQ(evil.danger, "Critical");
    EXPECT_EQ(evil.url, "https://x.example/iocs.txt#L4");
    // What no wildcard states exactly stays the list's own expression,
    // with its false-positive expression as the exclusion.
    Entry procdump{EntryKind::FileExpression, "\\\\procdump\\.exe"};
    procdump.exclusion = "(?i)SysInternals";
    EXPECT_EQ(evil.entries,
              (std::vector<Entry>{{EntryKind::File, "evilsvc.exe"},
                                  {EntryKind::File, "%system%\\evil.dll"},
                                  procdump,
                                  {EntryKind::FileExpression, "\\\\[a-z]{5}\\.exe"}}));
    EXPECT_EQ(r.definitions[1].danger, "Low");
    EXPECT_EQ(r.report.indicatorsRead, 7);
    EXPECT_EQ(r.report.indicatorsConverted, 5);
    std::vector<std::string> where;
    for (const LeftOut& l : r.report.leftOut) where.push_back(l.where + " " + l.reason);
    EXPECT_EQ(where, (std::vector<std::string>{"iocs.txt:8 Linux or macOS path",
                                               "iocs.txt:9 line without a score"}));
}

TEST_F(ImportSources, MispEventsAndMalformedJson) {
    fs::path good = Write("evilfam/event.json", R"({"response":[{"Event":{
        "info":"Evil campaign","threat_level_id":"1","uuid":"u-1","date":"2020-01-01",
        "Orgc":{"name":"ESET"},
        "Attribute":[
          {"id":"1","type":"regkey","value":"HKCU\\Software\\Evil\\"},
          {"id":"2","type":"regkey|value","value":"HKEY_CURRENT_USER\\Software\\Microsoft\\Direct3D|BSKS"},
          {"id":"3","type":"filename","value":"%APPDATA%\\Evil\\evil.exe"},
          {"id":"4","type":"filename|sha1","value":"csrss.exe|abc"},
          {"id":"5","type":"regkey","value":"(HKLM|HKCU)\\Software\\Evil2\\"},
          {"id":"6","type":"filename","value":"Windows\\abc"},
          {"id":"7","type":"domain","value":"evil.example"}]}}]})");
    fs::path bad = Write("evilfam/bad.json", "{\"response\": [");
    Result r;
    ImportMisp({good, bad}, {"https://x.example/ioc", "", "BSD."}, &r);
    ASSERT_EQ(r.definitions.size(), 1u);
    const Definition& d = r.definitions[0];
    EXPECT_EQ(d.name, "Evilfam - Evil campaign");
    EXPECT_EQ(d.danger, "High");
    EXPECT_EQ(d.url, "https://x.example/ioc/evilfam/event.json");
    EXPECT_NE(d.description.find("Author: ESET."), std::string::npos);
    EXPECT_EQ(d.entries,
              (std::vector<Entry>{{EntryKind::RegistryKey, "Software\\Evil"},
                                  {EntryKind::RegistryValue, "Software\\Microsoft\\Direct3D\\BSKS"},
                                  {EntryKind::File, "%appdata%\\Evil\\evil.exe"},
                                  {EntryKind::RegistryKey, "Software\\Evil2"}}));
    EXPECT_EQ(r.report.indicatorsRead, 6);
    EXPECT_EQ(r.report.indicatorsConverted, 4);
    EXPECT_EQ(r.report.filesSkipped, 1);
    EXPECT_EQ(Reasons(r), (std::vector<std::string>{"not a sha1 digest in hex", "relative path",
                                                    "malformed JSON"}));
}

// Hostile sources: deep nesting, control bytes, a megabyte in one
// indicator or heading, many headings, a condition whose ways multiply.
// Each is refused with its place or read as usual; none crashes, and the
// markup written of them loads.
TEST_F(ImportSources, HostileIndicatorsAreRefusedWithTheirPlace) {
    std::string list = "# Evil";
    for (int i = 0; i < 100000; ++i) list += " http://x.example/";
    list += "\n" + std::string(20000, '(') + "a" + std::string(20000, ')') + ";90\n";
    list += std::string("\\\\evil\0.exe;90\n", 15);
    list += "\\\\" + std::string(1 << 20, 'a') + "\\.exe;90\n";
    list += "\\\\good\\.exe;80\n";
    for (int i = 0; i < 20000; ++i)
        list += "# T" + std::to_string(i) + "\n\\\\t" + std::to_string(i) + "\\.exe;50\n";
    Result iocs;
    ImportFilenameIocs(Write("iocs.txt", list), {}, &iocs);
    ASSERT_EQ(iocs.definitions.size(), 20001u);
    EXPECT_EQ(iocs.definitions[0].name, "Evil");
    EXPECT_EQ(iocs.definitions[0].entries, (std::vector<Entry>{{EntryKind::File, "good.exe"}}));
    std::vector<std::string> where;
    for (const LeftOut& l : iocs.report.leftOut) where.push_back(l.where + " " + l.reason);
    EXPECT_EQ(where, (std::vector<std::string>{"iocs.txt:2 expression longer than 4096 bytes",
                                               "iocs.txt:3 " + std::string(kControlCharacterReason),
                                               "iocs.txt:4 expression longer than 4096 bytes"}));

    Result misp;
    ImportMisp({Write("fam/nul.json", R"({"Event":{"info":"Evil\u0000 title",
        "threat_level_id":1e300, "Attribute":[
          {"id":"1","type":"filename","value":"%APPDATA%\\evil\u0000.exe"},
          {"id":"2","type":"regkey","value":"HKCU\\Software\\Evil\u0001"},
          {"id":"3","type":"regkey|value","value":"HKCU\\Software\\Run|Evil\u001b"},
          {"id":"4","type":"filename","value":"%APPDATA%\\evil.exe"}]}})"),
                Write("fam/deep.json", std::string(100000, '[') + std::string(100000, ']'))},
               {}, &misp);
    ASSERT_EQ(misp.definitions.size(), 1u);
    EXPECT_EQ(misp.definitions[0].entries,
              (std::vector<Entry>{{EntryKind::File, "%appdata%\\evil.exe"}}));
    const std::string control(kControlCharacterReason);
    EXPECT_EQ(Reasons(misp),
              (std::vector<std::string>{control, control, control, "no MISP event"}));
    // The zero byte of the title is not written: the markup would end there.
    std::string stored;
    ASSERT_TRUE(EncodeContainer(DefinitionsMarkup(misp.definitions, "", "1", "d", ""), &stored));
    PlaceholderFolders folders;
    folders[Placeholder::AppData] = "C:\\users\\a\\AppData\\Roaming";
    ThreatDatabase db;
    LoadReport report;
    ASSERT_TRUE(LoadDefinitionsFromContainer(stored, folders, &db, &report)) << report.parseError;
    EXPECT_EQ(db.definitions()[0]->name, "Fam - Evil title");

    std::string rule =
        "title: Many\nid: m1\nlogsource: {product: windows, category: file_event}\n"
        "detection:\n";
    for (int i = 0; i < 24; ++i)
        rule += "    s" + std::to_string(i) + ":\n        - TargetFilename: 'C:\\a" +
                std::to_string(i) + ".exe'\n        - TargetFilename: 'C:\\b.exe'\n";
    rule += "    condition: all of them\n";
    Write("r/many.yml", rule);
    // A character the code page has not would read as a wildcard.
    Write("r/spoof.yml", R"(title: Spoof
logsource: {product: windows, category: file_event}
detection:
    selection:
        TargetFilename|endswith: ["\\invoice\u202Efdp.exe", "\\\u0410pp.exe"]
    condition: selection
)");
    Result sigma;
    ImportSigma(dir_ / "r", {}, &sigma);
    EXPECT_TRUE(sigma.definitions.empty());
    const std::string outside =
        "a character outside code page 1252 (it would read as the "
        "wildcard '?')";
    // Each value, then the clause that holds no condition left to name a file.
    EXPECT_EQ(Reasons(sigma),
              (std::vector<std::string>{"condition too large", outside, outside, outside}));
}

// The markup loads as the program reads it, with every entry where the
// reader puts it, names made unique, and the clean list applied.
TEST_F(ImportSources, MarkupLoadsAsWrittenAndTheCleanListLeavesEntriesOut) {
    Result r;
    r.definitions.push_back(
        {"Evil & Co \"x\"",
         "Trojan",
         "High",
         "Says <this>.",
         "https://e.example/a",
         {{EntryKind::Directory, "%programdata%\\Evil"},
          {EntryKind::File, "%system%\\evil.dll"},
          {EntryKind::File, "%system%\\wine_own.dll"},
          {EntryKind::RegistryKey, "Software\\Evil"},
          {EntryKind::RegistryValue, "Software\\Run\\Evil:@:\x04\x03\x02\x01"}}});
    r.definitions.push_back(
        {"Evil & Co \"x\"", "Trojan", "Low", "", "", {{EntryKind::File, "b.exe"}}});
    r.definitions.push_back(
        {"Only Clean", "Trojan", "Low", "", "", {{EntryKind::File, "C:\\windows\\notepad.exe"}}});
    r.report.threatsConverted = 3;
    ApplyCleanList(
        ReadCleanList("# Wine's own files\n%SYSTEM%\\WINE_OWN.DLL\nc:\\windows\\notepad.exe\n"),
        &r);
    ASSERT_EQ(r.definitions.size(), 2u);
    EXPECT_EQ(r.report.entriesOnCleanMachines, 2);
    EXPECT_EQ(r.report.threatsConverted, 2);
    EXPECT_EQ(r.report.leftOut[0].reason, "on a clean machine: Wine's own files");

    std::string markup = DefinitionsMarkup(r.definitions, "", "2.0", "2026-12-09", "comment");
    std::string stored;
    ASSERT_TRUE(EncodeContainer(markup, &stored));
    PlaceholderFolders folders;
    folders[Placeholder::System] = "C:\\windows\\system32";
    folders[Placeholder::ProgramData] = "C:\\ProgramData";
    ThreatDatabase db;
    LoadReport report;
    ASSERT_TRUE(LoadDefinitionsFromContainer(stored, folders, &db, &report)) << report.parseError;
    ASSERT_EQ(db.definitions().size(), 2u);
    const ThreatDefinition& d = *db.definitions()[0];
    EXPECT_EQ(d.name, "Evil & Co \"x\"");
    EXPECT_EQ(db.definitions()[1]->name, "Evil & Co \"x\" (2)");
    EXPECT_EQ(d.danger, "High");
    EXPECT_EQ(d.description, "Says <this>.");
    EXPECT_EQ(d.url, "https://e.example/a");
    ASSERT_EQ(d.directories.size(), 1u);
    EXPECT_EQ(d.directories[0].path, "C:\\ProgramData\\Evil");
    ASSERT_EQ(d.files.size(), 1u);
    EXPECT_EQ(d.files[0].path, "C:\\windows\\system32\\evil.dll");
    ASSERT_EQ(d.registryKeys.size(), 1u);
    ASSERT_EQ(d.registryValues.size(), 1u);
    EXPECT_EQ(d.registryValues[0].valueName, "Evil");
    EXPECT_EQ(d.registryValues[0].dataPattern, "\x04\x03\x02\x01");

    std::string version, date, inner;
    ASSERT_TRUE(ReadIncludedMarkup(
        "<!-- <NA no> -->\n<NA VERSION=\"1.2\" DATE=\"d\">\n<SW NAME=\"a\"/>\n</NA>\n", &version,
        &date, &inner));
    EXPECT_EQ(version, "1.2");
    EXPECT_EQ(inner, "<SW NAME=\"a\"/>");
}

// The two stock keys a generated Turla definition named (one from a real
// user's Software key, one from the checked-in list) are left out with the
// stock reason, in their HKEY_CLASSES_ROOT form too; a planted key below a
// stock one and a stock value holding planted data stay.
TEST_F(ImportSources, EntriesNamingStockWindowsObjectsAreLeftOut) {
    CleanWindows stock;
    stock.AddSoftwareKeys(
        "Microsoft\\Windows\\CurrentVersion\\Explorer\\CLSID\n"
        "Classes\\CLSID\\{20D04FE0-3AEA-1069-A2D8-08002B30309D}\n");
    stock.AddEntries(
        "# CEIP\nSOFTWARE\\Microsoft\\SQMClient\\Windows.WSqmCons\n"
        "%appdata%\\Microsoft\\Windows\\Start Menu\n"
        "Software\\Microsoft\\Windows\\CurrentVersion\\Run\\SecurityHealth\n"
        "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System\\EnableLUA\n");
    // Which number a stock value holds is not known (Wine's EnableLUA is 0);
    // its 32-bit twin below Wow6432Node is as stock.
    Entry lua{
        EntryKind::RegistryValue,
        "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Policies\\System\\EnableLUA*",
        true};
    Condition zero{true, "equals", "0"};
    zero.dword = true;
    lua.conditions = {{zero}};
    Result r;
    r.definitions.push_back(
        {"Turla",
         "Trojan",
         "High",
         "",
         "",
         {{EntryKind::RegistryKey, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\CLSID"},
          {EntryKind::RegistryKey, "SOFTWARE\\Microsoft\\SQMClient\\Windows.WSqmCons\\"},
          {EntryKind::RegistryKey, "clsid\\{20d04fe0-3aea-1069-a2d8-08002b30309d}"},
          {EntryKind::Directory, "%APPDATA%\\Microsoft\\Windows\\Start Menu"},
          {EntryKind::RegistryKey,
           "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\CLSID\\{Planted}"},
          {EntryKind::RegistryValue,
           "Software\\Microsoft\\Windows\\CurrentVersion\\Run\\SecurityHealth:@:evil.exe"},
          lua}});
    r.definitions.push_back({"Only Stock",
                             "Trojan",
                             "High",
                             "",
                             "",
                             {{EntryKind::RegistryKey,
                               "Software\\Classes\\CLSID\\"
                               "{20D04FE0-3AEA-1069-A2D8-08002B30309D}"}}});
    r.report.threatsConverted = 2;
    ApplyCleanWindows(stock, &r);
    ASSERT_EQ(r.definitions.size(), 1u);
    EXPECT_EQ(r.report.threatsConverted, 1);
    EXPECT_EQ(r.report.entriesOnCleanMachines, 6);
    for (const LeftOut& l : r.report.leftOut) EXPECT_EQ(l.reason, kCleanWindowsReason);
    const std::vector<Entry> kept = {
        {EntryKind::RegistryKey,
         "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\CLSID\\{Planted}"},
        {EntryKind::RegistryValue,
         "Software\\Microsoft\\Windows\\CurrentVersion\\Run\\SecurityHealth:@:evil.exe"}};
    EXPECT_EQ(r.definitions[0].entries, kept);
}

}  // namespace
}  // namespace tolvane::import
