#include "definitions/threat_database.h"

#include <gtest/gtest.h>

#include <random>

#include "definitions/load_definitions.h"
#include "definitions/markup_parser.h"
#include "definitions/pattern_match.h"

namespace tolvane {
namespace {

PlaceholderFolders TestFolders() {
    PlaceholderFolders f;
    f[Placeholder::AppData] = "C:\\users\\root\\AppData\\Roaming";
    f[Placeholder::AutoStart] = "C:\\users\\root\\Start Menu\\Programs\\Startup";
    f[Placeholder::CommonProgramFiles] = "C:\\Program Files\\Common Files";
    f[Placeholder::Desktop] = "C:\\users\\root\\Desktop";
    f[Placeholder::Favorites] = "C:\\users\\root\\Favorites";
    f[Placeholder::ProgramFiles] = "C:\\Program Files";
    f[Placeholder::StartMenu] = "C:\\users\\root\\Start Menu";
    f[Placeholder::StartupPrograms] = "C:\\users\\root\\Start Menu\\Programs";
    f[Placeholder::System] = "C:\\windows\\system32";
    f[Placeholder::Temp] = "C:\\users\\root\\Temp";
    f[Placeholder::UserProfile] = "C:\\users\\root";
    f[Placeholder::WinDir] = "C:\\windows";
    return f;
}

void Read(ThreatDatabase* db, const std::string& text,
          const PlaceholderFolders& folders = TestFolders()) {
    ASSERT_TRUE(LoadDefinitionsFromText(text, folders, db));
}

const uint64_t kNoFile = 0;
auto SizeIs(uint64_t size) {
    return [size] { return size; };
}
auto Exists(bool exists) {
    return [exists] { return exists; };
}

TEST(ReadDefinitions, EveryFieldOfADefinition) {
    ThreatDatabase db;
    Read(&db,
         "<NA VERSION=\"7.1\" DATE=\"2026-12-01\">\n"
         "<SW NAME=\"Grey Lantern\">\n"
         " <CATEGORY NAME=\"Adware\"/>\n"
         " <DIRECTORIES><DIR NAME=\"%programfiles%\\Grey Lantern\"/><DIR NAME=\"%temp%\\gl\"/>"
         "</DIRECTORIES>\n"
         " <FILES><FILE NAME=\"gl.exe\"/><FILE PATH=\"%system%\\gl.dll\" SIZE=\"4096\"/>"
         "</FILES>\n"
         " <REGKEYS><REGKEY NAME=\"SOFTWARE\\Grey Lantern\"/><REGKEY NAME=\"CLSID\\{1}\"/>"
         "</REGKEYS>\n"
         " <REGVALUES><REGVALUE NAME=\"Software\\Run\\gl\"/>"
         "<REGVALUE NAME=\"Software\\IE\\Main\\Start Page:@:%windir%\\home.htm\"/></REGVALUES>\n"
         " <HOSTS><HOST NAME=\"ads.grey.example\"/></HOSTS>\n"
         " <DANGER NAME=\"High\"/>\n"
         " <DESCRIPTION NAME=\"Shows &quot;offers&quot;.\" url=\"http://grey.example/\"/>\n"
         "</SW>\n"
         "</NA>\n");
    EXPECT_EQ(db.version(), "7.1");
    EXPECT_EQ(db.date(), "2026-12-01");
    ASSERT_EQ(db.definitions().size(), 1u);
    const ThreatDefinition& d = *db.definitions()[0];
    EXPECT_EQ(d.name, "Grey Lantern");
    EXPECT_EQ(d.category, "Adware");
    EXPECT_EQ(d.danger, "High");
    EXPECT_EQ(d.description, "Shows \"offers\".");
    EXPECT_EQ(d.url, "http://grey.example/");
    EXPECT_FALSE(d.found);
    ASSERT_EQ(d.directories.size(), 2u);
    EXPECT_EQ(d.directories[0].path, "C:\\Program Files\\Grey Lantern");
    EXPECT_EQ(d.directories[1].path, "C:\\users\\root\\Temp\\gl");
    ASSERT_EQ(d.files.size(), 2u);
    EXPECT_EQ(d.files[0].path, "gl.exe");
    EXPECT_EQ(d.files[0].size, 0);
    EXPECT_EQ(d.files[1].path, "C:\\windows\\system32\\gl.dll");
    EXPECT_EQ(d.files[1].size, 4096);
    ASSERT_EQ(d.registryKeys.size(), 2u);
    EXPECT_EQ(d.registryKeys[1].path, "CLSID\\{1}");
    ASSERT_EQ(d.registryValues.size(), 2u);
    EXPECT_EQ(d.registryValues[0].keyPath, "Software\\Run");
    EXPECT_EQ(d.registryValues[0].valueName, "gl");
    EXPECT_EQ(d.registryValues[0].dataPattern, "");
    EXPECT_EQ(d.registryValues[0].fullName, "Software\\Run\\gl");
    EXPECT_EQ(d.registryValues[1].keyPath, "Software\\IE\\Main");
    EXPECT_EQ(d.registryValues[1].valueName, "Start Page");
    EXPECT_EQ(d.registryValues[1].dataPattern, "C:\\windows\\home.htm");
    EXPECT_EQ(d.registryValues[1].fullName, "Software\\IE\\Main\\Start Page");
    ASSERT_EQ(d.hostEntries.size(), 1u);
    EXPECT_EQ(d.hostEntries[0].host, "ads.grey.example");
    EXPECT_EQ(db.registryEntryCount(), 4u);
}

TEST(ReadDefinitions, ChildrenAreReadInOneOrderOnly) {
    ThreatDatabase db;
    Read(&db,
         "<NA><SW NAME=\"A\"><DANGER NAME=\"Low\"/><HOSTS NAME=\"hosts-name\">"
         "<HOST NAME=\"a.example\"/></HOSTS><EXTRA/></SW>"
         "<OTHER/>"
         "<SW NAME=\"B\"><FILES><FILE NAME=\"b.exe\"/></FILES><CATEGORY NAME=\"late\"/>"
         "<JUNK NAME=\"x\"/><DANGER NAME=\"Medium\"/></SW>"
         "<SW NAME=\"C\"><DESCRIPTION NAME=\"d\"/><CATEGORY NAME=\"c\"/>"
         "<DANGER NAME=\"dd\" url=\"u\"/></SW></NA>");
    ASSERT_EQ(db.definitions().size(), 3u);
    const ThreatDefinition& a = *db.definitions()[0];
    ASSERT_EQ(a.hostEntries.size(), 1u);
    EXPECT_EQ(a.danger, "hosts-name");  // DANGER stood before HOSTS
    EXPECT_EQ(a.description, kNoDescription);
    const ThreatDefinition& b = *db.definitions()[1];
    EXPECT_EQ(b.category, "late");  // CATEGORY is looked for first...
    EXPECT_TRUE(b.files.empty());   // ...so FILES before it is not seen
    EXPECT_EQ(b.danger, "Medium");
    EXPECT_EQ(b.url, "");  // read from DANGER, which has none
    const ThreatDefinition& c = *db.definitions()[2];
    EXPECT_EQ(c.category, "c");
    EXPECT_EQ(c.danger, "dd");
    EXPECT_EQ(c.description, kNoDescription);  // DESCRIPTION stood first
    EXPECT_EQ(c.url, "u");                     // from the last child found, DANGER
}

TEST(ReadDefinitions, EmptyAndMissingParts) {
    ThreatDatabase db;
    Read(&db,
         "<NA><SW/><SW NAME=\"E\"><DIRECTORIES/><FILES></FILES><REGKEYS/>"
         "<DANGER NAME=\"Low\"/></SW></NA>");
    ASSERT_EQ(db.definitions().size(), 2u);
    EXPECT_EQ(db.definitions()[0]->name, "");
    EXPECT_EQ(db.definitions()[0]->category, "");
    EXPECT_EQ(db.definitions()[0]->danger, "");
    EXPECT_EQ(db.definitions()[0]->description, kNoDescription);
    EXPECT_EQ(db.definitions()[1]->danger, "Low");
    EXPECT_TRUE(db.definitions()[1]->directories.empty());
}

TEST(ReadDefinitions, FileAttributes) {
    ThreatDatabase db;
    Read(&db,
         "<NA><SW><FILES><FILE NAME=\"n.exe\" PATH=\"C:\\p.exe\" SIZE=\"5\"/>"
         "<FILE PATH=\"C:\\a\" SIZE=\"  +12kb\"/><FILE PATH=\"C:\\b\" SIZE=\"many\"/>"
         "<FILE PATH=\"C:\\c\" SIZE=\"-7\"/><FILE PATH=\"C:\\d\"/>"
         "<FILE PATH=\"C:\\e\" SIZE=\"99999999999999999999999\"/></FILES></SW></NA>");
    const auto& files = db.definitions()[0]->files;
    ASSERT_EQ(files.size(), 6u);
    EXPECT_EQ(files[0].path, "n.exe");  // NAME wins over PATH
    EXPECT_EQ(files[0].size, 0);
    EXPECT_EQ(files[1].size, 12);
    EXPECT_EQ(files[2].size, 0);
    EXPECT_EQ(files[3].size, -7);
    EXPECT_EQ(files[4].size, 0);
    EXPECT_EQ(files[5].size, INT64_MAX);
}

TEST(ReadDefinitions, RegistryValueNames) {
    ThreatDatabase db;
    Read(&db,
         "<NA><SW><REGVALUES><REGVALUE NAME=\":@:Software\\K\\V\"/>"
         "<REGVALUE NAME=\"NoBackslash:@:data\"/><REGVALUE NAME=\"\\Rooted\"/>"
         "<REGVALUE NAME=\"K\\V:@:a:@:b %system%\"/></REGVALUES></SW></NA>");
    const auto& values = db.definitions()[0]->registryValues;
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].fullName, ":@:Software\\K\\V");  // a separator at 0 is none
    EXPECT_EQ(values[0].dataPattern, "");
    EXPECT_EQ(values[0].keyPath, ":@:Software\\K");
    EXPECT_EQ(values[0].valueName, "V");
    EXPECT_EQ(values[1].fullName, "NoBackslash");
    EXPECT_EQ(values[1].dataPattern, "data");
    EXPECT_EQ(values[1].keyPath, "");
    EXPECT_EQ(values[1].valueName, "");
    EXPECT_EQ(values[2].keyPath, "");  // the only backslash stands at 0
    EXPECT_EQ(values[3].dataPattern, "a:@:b C:\\windows\\system32");
}

// An entry with a condition this reader does not understand is not read at
// all (skipping the condition would list more); a key's conditions are
// settled on its own path; placeholders in conditions are resolved.
TEST(ReadDefinitions, ConditionalEntriesAreReadOnlyWhenEveryConditionIsUnderstood) {
    ThreatDatabase db;
    Read(&db,
         "<NA><SW NAME=\"a\"><DANGER NAME=\"Low\" CHECKED=\"no\"/><CONDITIONAL>"
         "<FILE NAME=\"x.exe\"><IF HOW=\"matches\" TEXT=\"x\"/></FILE>"
         "<FILE NAME=\"y.exe\"><IF ON=\"data\" HOW=\"contains\" TEXT=\"x\"/></FILE>"
         "<FILE NAME=\"z.exe\"><UNLESS/></FILE>"
         "<FILE NAME=\"w.exe\"><ANY/></FILE>"
         "<FILE NAME=\"v.exe\"><IF HOW=\"contains\" TEXT=\"x\"/><NEWER/></FILE>"
         "<FILE NAME=\"u.exe\"><IF HOW=\"startswith\" TEXT=\"%appdata%\\\"/></FILE>"
         "<REGKEY NAME=\"Software\\Evil\"><IF HOW=\"endswith\" TEXT=\"\\evil\"/></REGKEY>"
         "<REGKEY NAME=\"Software\\Good\"><IF HOW=\"endswith\" TEXT=\"\\evil\"/></REGKEY>"
         "<REGVALUE NAME=\"Software\\Run\\v\"><IF ON=\"data\" HOW=\"endswith\" TEXT=\".exe\"/>"
         "</REGVALUE></CONDITIONAL></SW></NA>");
    const ThreatDefinition& d = *db.definitions()[0];
    EXPECT_FALSE(d.checkedByDefault);
    ASSERT_EQ(d.files.size(), 1u);
    EXPECT_TRUE(d.files[0].anywhere);
    EXPECT_EQ(db.MatchFile("C:\\users\\root\\AppData\\Roaming\\a\\u.exe", SizeIs(kNoFile)), &d);
    EXPECT_EQ(db.MatchFile("C:\\users\\root\\u.exe", SizeIs(kNoFile)), nullptr);
    ASSERT_EQ(d.registryKeys.size(), 1u);
    EXPECT_EQ(d.registryKeys[0].path, "Software\\Evil");
    ASSERT_EQ(d.registryValues.size(), 1u);
    EXPECT_TRUE(d.registryValues[0].conditions->ReadsData());
}

// CONDITIONAL and EXPRESSIONS are found wherever they stand, the first of
// each only, and conditional entries come before expressions whatever the
// order of the two.
TEST(ReadDefinitions, FirstConditionalThenFirstExpressionsWhereverTheyStand) {
    ThreatDatabase db;
    Read(&db,
         "<NA><SW NAME=\"a\"><EXPRESSIONS><EXPRESSION FOR=\"regvalue\" "
         "MATCH=\"^Software\\\\Run\\\\x[0-9]$\"/></EXPRESSIONS>"
         "<CATEGORY NAME=\"c\"/><EXPRESSIONS><EXPRESSION FOR=\"file\" MATCH=\"y\"/></EXPRESSIONS>"
         "<CONDITIONAL><REGVALUE NAME=\"Software\\Run\\v\"><IF HOW=\"contains\" "
         "TEXT=\"Run\"/></REGVALUE></CONDITIONAL>"
         "<CONDITIONAL><REGKEY NAME=\"Software\\Evil\"/></CONDITIONAL></SW></NA>");
    const ThreatDefinition& d = *db.definitions()[0];
    EXPECT_EQ(d.category, "c");
    EXPECT_TRUE(d.registryKeys.empty());
    EXPECT_TRUE(d.fileExpressions.empty());
    ASSERT_EQ(d.registryValues.size(), 2u);
    EXPECT_EQ(d.registryValues[0].fullName, "Software\\Run\\v");
    EXPECT_TRUE(d.registryValues[1].nameExpression);
}

TEST(ReadDefinitions, NotNaGivesAnEmptyDatabaseAndReadsStartAfresh) {
    ThreatDatabase db;
    Read(&db, "<NA VERSION=\"1\"><SW><REGKEYS><REGKEY NAME=\"K\"/></REGKEYS></SW></NA>");
    EXPECT_EQ(db.registryEntryCount(), 1u);
    Read(&db, "<NA VERSION=\"2\"><SW><REGKEYS><REGKEY NAME=\"K\"/></REGKEYS></SW></NA>");
    EXPECT_EQ(db.registryEntryCount(), 1u);
    EXPECT_EQ(db.version(), "2");
    Read(&db, "<DB VERSION=\"3\"><SW NAME=\"x\"/></DB>");
    EXPECT_TRUE(db.definitions().empty());
    EXPECT_EQ(db.version(), "");
    EXPECT_EQ(db.date(), "");
    EXPECT_EQ(db.registryEntryCount(), 0u);
}

TEST(ReadDefinitions, ClearKeepsVersionAndCount) {
    ThreatDatabase db;
    Read(&db,
         "<NA VERSION=\"1\"><SW><FILES><FILE NAME=\"a.exe\"/></FILES>"
         "<REGKEYS><REGKEY NAME=\"K\"/></REGKEYS></SW></NA>");
    db.Clear();
    EXPECT_TRUE(db.definitions().empty());
    EXPECT_EQ(db.fileIndex().Size(), 0u);
    EXPECT_EQ(db.version(), "1");
    EXPECT_EQ(db.registryEntryCount(), 1u);
    EXPECT_EQ(db.MatchFile("C:\\a.exe", SizeIs(kNoFile)), nullptr);
}

TEST(Placeholders, ResolutionRules) {
    PlaceholderFolders f;
    f[Placeholder::AppData] = "%windir%\\app";
    f[Placeholder::WinDir] = "W";
    f[Placeholder::Temp] = "%appdata%";
    EXPECT_EQ(ResolvePlaceholders("%appdata%|%windir%|%windir%", f), "W\\app|W|W");
    EXPECT_EQ(ResolvePlaceholders("%temp%", f), "%appdata%");  // appdata came earlier
    EXPECT_EQ(ResolvePlaceholders("%SYSTEM%\\x %Windir%", f), "%SYSTEM%\\x %Windir%");
    EXPECT_EQ(ResolvePlaceholders("%system%\\x", f), "\\x");  // a folder not given
    EXPECT_EQ(ResolvePlaceholders("%%windir%%", f), "%W%");
    for (int i = 0; i < kPlaceholderCount; ++i) {
        PlaceholderFolders one;
        one.folders[i] = "F";
        EXPECT_EQ(ResolvePlaceholders(std::string(PlaceholderText(Placeholder(i))) + "\\x", one),
                  "F\\x");
    }
}

TEST(MatchFile, IndexOrderAndTies) {
    ThreatDatabase db;
    Read(&db,
         "<NA><SW NAME=\"first\"><FILES><FILE NAME=\"same.exe\"/><FILE NAME=\"one.exe\"/>"
         "</FILES></SW>"
         "<SW NAME=\"second\"><FILES><FILE NAME=\"same.exe\"/></FILES></SW>"
         "<SW NAME=\"third\"><FILES><FILE NAME=\"C:\\dir\\*.exe\"/><FILE NAME=\"C:\\dir\\t.exe\"/>"
         "</FILES></SW></NA>");
    ThreatDefinition* hit = db.MatchFile("C:\\same.exe", SizeIs(kNoFile));
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->name, "second");
    hit = db.MatchFile("d:/ONE.EXE", SizeIs(kNoFile));
    ASSERT_NE(hit, nullptr);
    EXPECT_EQ(hit->name, "first");
    EXPECT_EQ(db.MatchFile("C:\\Program Files\\same.exe", SizeIs(kNoFile)), nullptr);
    EXPECT_EQ(db.MatchFile("same.exe", SizeIs(kNoFile)), nullptr);
    EXPECT_EQ(db.MatchFile("C:\\dir\\t.exe", SizeIs(kNoFile))->name, "third");
    EXPECT_EQ(db.MatchFile("C:\\dir\\u.exe", SizeIs(kNoFile))->name, "third");
    EXPECT_EQ(db.MatchFile("C:\\dir\\sub\\u.exe", SizeIs(kNoFile)), nullptr);
    const auto& entries = db.fileIndexEntries();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(db.fileIndex().Pattern(0), "*\\same.exe");
    EXPECT_EQ(db.fileIndex().Pattern(3), "C:\\dir\\*.exe");
    EXPECT_EQ(entries[4].file->path, "C:\\dir\\t.exe");
}

TEST(MatchFile, SizeRule) {
    ThreatDatabase db;
    Read(&db,
         "<NA><SW NAME=\"any\"><FILES><FILE NAME=\"C:\\x\\bad.dll\"/></FILES></SW>"
         "<SW NAME=\"sized\"><FILES><FILE PATH=\"C:\\x\\bad.dll\" SIZE=\"100\"/></FILES></SW>"
         "<SW NAME=\"negative\"><FILES><FILE PATH=\"C:\\x\\neg.dll\" SIZE=\"-1\"/></FILES></SW>"
         "</NA>");
    EXPECT_EQ(db.MatchFile("C:\\x\\bad.dll", SizeIs(100))->name, "sized");
    EXPECT_EQ(db.MatchFile("C:\\x\\bad.dll", SizeIs(101))->name, "any");
    EXPECT_EQ(db.MatchFile("C:\\x\\neg.dll", SizeIs(UINT64_MAX)), nullptr);
    int asked = 0;
    db.MatchFile("C:\\x\\other.dll", [&] {
        ++asked;
        return uint64_t{0};
    });
    EXPECT_EQ(asked, 0);  // no entry matched the path
}

TEST(MatchFile, LongPatternsAreCut) {
    std::string longPath = "C:\\" + std::string(300, 'a') + "\\b.exe";
    ThreatDatabase db;
    Read(&db, "<NA><SW NAME=\"long\"><FILES><FILE NAME=\"" + longPath + "\"/></FILES></SW></NA>");
    EXPECT_EQ(db.fileIndex().Pattern(0).size(), kIndexPatternLimit);
    EXPECT_EQ(db.MatchFile(longPath, SizeIs(0)), nullptr);
    EXPECT_NE(db.MatchFile(longPath.substr(0, kIndexPatternLimit), SizeIs(0)), nullptr);
}

TEST(MatchFolder, NewestMatchingExistingFolder) {
    ThreatDatabase db;
    Read(&db,
         "<NA><SW NAME=\"a\"><DIRECTORIES><DIR NAME=\"%programfiles%\\Bad\"/></DIRECTORIES></SW>"
         "<SW NAME=\"b\"><DIRECTORIES><DIR NAME=\"%programfiles%\\B?d\"/></DIRECTORIES></SW>"
         "</NA>");
    EXPECT_EQ(db.MatchFolder("c:/program files/BAD", Exists(true))->name, "b");
    EXPECT_EQ(db.MatchFolder("C:\\Program Files\\Bed", Exists(true))->name, "b");
    EXPECT_EQ(db.MatchFolder("C:\\Program Files\\Bad", Exists(false)), nullptr);
    EXPECT_EQ(db.MatchFolder("C:\\Program Files\\Bad\\sub", Exists(true)), nullptr);
    EXPECT_EQ(db.MatchFolder("C:\\Program Files", Exists(true)), nullptr);
}

// The indexed lookup gives exactly what a walk over every entry from the
// newest gives, on a generated database with literal and wildcard names,
// duplicates, sizes and malformed patterns.
TEST(MatchFile, IndexedLookupEqualsTheLinearWalk) {
    std::mt19937 random(20261208);
    auto pick = [&](std::initializer_list<const char*> options) {
        auto it = options.begin();
        std::advance(it, random() % options.size());
        return std::string(*it);
    };
    auto name = [&] {
        return pick({"bad", "BAD", "evil", "tool", "a", "x1", "svc"}) +
               pick({".exe", ".dll", ".EXE", "", ".tmp"});
    };
    auto folder = [&] {
        return pick({"C:\\", "C:\\windows\\", "c:/Windows/System32/", "D:\\x\\"});
    };
    std::string text = "<NA>";
    for (int d = 0; d < 300; ++d) {
        text += "<SW NAME=\"d" + std::to_string(d) + "\"><FILES>";
        for (int f = 0; f < 4; ++f) {
            std::string path;
            switch (random() % 7) {
                case 0:
                    path = name();
                    break;
                case 1:
                    path = folder() + name();
                    break;
                case 2:
                    path = folder() + "*" + pick({".exe", ".dll", ""});
                    break;
                case 3:
                    path = folder() + pick({"b?d", "?vil", "t??l", "e*l", "*d", "b*", "*"}) +
                           pick({".exe", ".dll"});
                    break;
                case 4:
                    path = folder() + name() + pick({"`", "[", "!"});
                    break;
                case 5:
                    path = "*\\" + name();
                    break;
                default:
                    path = folder() +
                           pick({"b`ad.exe", "[x].dll", "a\x1A", "bad.*", "x`?.exe", "*.E`XE"});
                    break;
            }
            if (random() % 3 == 0)
                text +=
                    "<FILE PATH=\"" + path + "\" SIZE=\"" + std::to_string(random() % 3) + "\"/>";
            else
                text += "<FILE NAME=\"" + path + "\"/>";
        }
        text += "</FILES></SW>";
    }
    text += "</NA>";
    ThreatDatabase db;
    Read(&db, text);
    ASSERT_EQ(db.fileIndexEntries().size(), 1200u);

    auto linear = [&](const std::string& path, uint64_t size) -> ThreatDefinition* {
        const auto& entries = db.fileIndexEntries();
        for (size_t i = entries.size(); i-- > 0;) {
            std::string pattern(db.fileIndex().Pattern(static_cast<uint32_t>(i)));
            if (!PatternMatch(pattern, path)) continue;
            int64_t wanted = entries[i].file->size;
            if (wanted != 0 && (wanted < 0 || static_cast<uint64_t>(wanted) != size)) continue;
            return entries[i].definition;
        }
        return nullptr;
    };
    int found = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string path = folder() + pick({"", "sub\\"}) + name();
        if (i % 5 == 0) path = pick({"b`ad.exe", "[x].dll", "a", "x1", "C:\\a\x1A"});
        uint64_t size = random() % 3;
        ThreatDefinition* fast = db.MatchFile(path, SizeIs(size));
        ASSERT_EQ(fast, linear(path, size)) << path << " size " << size;
        if (fast) ++found;
    }
    EXPECT_GT(found, 1000);
}

}  // namespace
}  // namespace tolvane
