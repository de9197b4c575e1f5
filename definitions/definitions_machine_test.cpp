// The definitions against real temporary prefixes: placeholder folders from
// the shell folders, lookups that ask the machine's files, loading from the
// machine's disk, and the shipped definitions.
#include <gtest/gtest.h>

#include "definitions/container.h"
#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "testing/source_tree.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::TempPrefix;

std::string Name(const ThreatDefinition* definition) {
    return definition ? std::string(definition->name) : "(none)";
}

std::string Encode(std::string_view text) {
    std::string stored;
    EXPECT_TRUE(EncodeContainer(text, &stored));
    return stored;
}

TEST(PlaceholderFolders, TakenFromTheShellFolders) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    PlaceholderFolders f = PlaceholderFolders::FromShell(machine->shell());
    EXPECT_EQ(f[Placeholder::WinDir], "C:\\windows");
    EXPECT_EQ(f[Placeholder::System], "C:\\windows\\system32");
    EXPECT_EQ(f[Placeholder::ProgramFiles], "C:\\Program Files");
    EXPECT_EQ(f[Placeholder::CommonProgramFiles], "C:\\Program Files\\Common Files");
    EXPECT_EQ(f[Placeholder::UserProfile], "C:\\users\\root");
    EXPECT_EQ(f[Placeholder::AppData], "C:\\users\\root\\AppData\\Roaming");
    EXPECT_EQ(f[Placeholder::Temp], "C:\\users\\root\\Temp");
    EXPECT_EQ(f[Placeholder::LocalAppData], "C:\\users\\root\\AppData\\Local");
    EXPECT_EQ(f[Placeholder::ProgramData], "C:\\ProgramData");
    EXPECT_EQ(f[Placeholder::Public], "C:\\users\\Public");
    EXPECT_EQ(f[Placeholder::ProgramFilesX86], "C:\\Program Files (x86)");
    EXPECT_EQ(f[Placeholder::SystemX86], "C:\\windows\\syswow64");
    for (int i = 0; i < kPlaceholderCount; ++i) {
        const std::string& folder = f.folders[i];
        EXPECT_FALSE(folder.empty()) << PlaceholderText(Placeholder(i));
        EXPECT_NE(folder.back(), '\\') << folder;
        EXPECT_EQ(folder.find('%'), std::string::npos) << folder;
    }
}

TEST(MachineLookups, SizesAndFoldersComeFromTheDisk) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine->shell());
    ThreatDatabase db;
    ASSERT_TRUE(LoadDefinitionsFromText(
        "<NA><SW NAME=\"any\"><FILES><FILE NAME=\"%system%\\spy.dll\"/></FILES></SW>"
        "<SW NAME=\"sized\"><DIRECTORIES><DIR NAME=\"%programfiles%\\Spy\"/></DIRECTORIES>"
        "<FILES><FILE PATH=\"%system%\\spy.dll\" SIZE=\"10\"/></FILES></SW>"
        "<SW NAME=\"root\"><FILES><FILE NAME=\"spy.exe\"/></FILES></SW></NA>",
        folders, &db));
    const FileSystem& files = machine->files();

    prefix.WriteFile("C:\\windows\\system32\\spy.dll", "0123456789");
    EXPECT_EQ(Name(db.MatchFile("C:\\windows\\system32\\SPY.DLL", files)), "sized");
    prefix.WriteFile("C:\\windows\\system32\\spy.dll", "01234");
    EXPECT_EQ(Name(db.MatchFile("C:\\windows\\system32\\spy.dll", files)), "any");
    // A file that cannot be read counts as size 0: only the any-size entry fits.
    ASSERT_TRUE(machine->files().DeleteFile("C:\\windows\\system32\\spy.dll"));
    EXPECT_EQ(Name(db.MatchFile("C:\\windows\\system32\\spy.dll", files)), "any");
    EXPECT_EQ(Name(db.MatchFile("C:\\spy.exe", files)), "root");
    EXPECT_EQ(db.MatchFile("C:\\windows\\spy.exe", files), nullptr);

    EXPECT_EQ(db.MatchFolder("C:\\Program Files\\Spy", files), nullptr);  // not there yet
    prefix.MakeFolder("C:\\Program Files\\Spy");
    EXPECT_EQ(Name(db.MatchFolder("c:\\program files\\spy", files)), "sized");
}

TEST(MachineLoad, FromTheMachinesDisk) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    PlaceholderFolders folders = PlaceholderFolders::FromShell(machine->shell());
    const std::string path = "C:\\Program Files\\Tolvane\\database.db";
    ThreatDatabase db;
    LoadReport report;
    EXPECT_FALSE(LoadDefinitions(machine->files(), path, folders, &db, &report));
    EXPECT_EQ(report.error, LoadError::CannotRead);
    std::string text;
    LoadError error = LoadError::None;
    EXPECT_FALSE(ReadContainer(machine->files(), path, &text, &error));
    EXPECT_EQ(error, LoadError::CannotRead);

    prefix.WriteFile(path, Encode("<NA VERSION=\"5\"><SW NAME=\"t\"><DIRECTORIES>"
                                  "<DIR NAME=\"%temp%\\t\"/></DIRECTORIES></SW></NA>"));
    ASSERT_TRUE(LoadDefinitions(machine->files(), path, folders, &db, &report));
    EXPECT_EQ(db.version(), "5");
    EXPECT_EQ(db.definitions()[0]->directories[0].path, "C:\\users\\root\\Temp\\t");
    ASSERT_TRUE(ReadContainer(machine->files(), path, &text));
    EXPECT_EQ(text.substr(0, 4), "<NA ");
}

// The shipped definitions: enough of them, every placeholder resolved, and
// each kind of entry present.
TEST(ShippedDefinitions, LoadAgainstAMachine) {
    const std::string text = testing::SourceTreeFile("data/definitions.xml");
    ASSERT_FALSE(text.empty());
    for (int i = 0; i < kPlaceholderCount; ++i)
        EXPECT_NE(text.find(PlaceholderText(Placeholder(i))), std::string::npos)
            << PlaceholderText(Placeholder(i));

    TempPrefix prefix;
    auto machine = prefix.Open();
    ThreatDatabase db;
    LoadReport report;
    ASSERT_TRUE(LoadDefinitionsFromContainer(
        Encode(text), PlaceholderFolders::FromShell(machine->shell()), &db, &report))
        << report.parseError;
    EXPECT_GE(db.definitions().size(), 25u);
    size_t sized = 0, bare = 0, patterns = 0, hosts = 0, described = 0, dirs = 0, keys = 0;
    for (const auto& d : db.definitions()) {
        EXPECT_FALSE(d->name.empty());
        EXPECT_FALSE(d->category.empty()) << d->name;
        EXPECT_FALSE(d->danger.empty()) << d->name;
        if (d->description != kNoDescription) ++described;
        dirs += d->directories.size();
        keys += d->registryKeys.size();
        hosts += d->hostEntries.size();
        for (const auto& dir : d->directories) EXPECT_EQ(dir.path.find('%'), std::string::npos);
        for (const auto& file : d->files) {
            EXPECT_EQ(file.path.find('%'), std::string::npos) << file.path;
            if (file.size) ++sized;
            if (file.path.find('\\') == std::string::npos) ++bare;
        }
        for (const auto& value : d->registryValues) {
            EXPECT_FALSE(value.keyPath.empty()) << value.fullName;
            EXPECT_EQ(value.dataPattern.find('%'), std::string::npos);
            if (!value.dataPattern.empty()) ++patterns;
        }
    }
    EXPECT_GT(sized, 0u);
    EXPECT_GT(bare, 0u);
    EXPECT_GT(patterns, 0u);
    EXPECT_GT(hosts, 0u);
    EXPECT_GT(dirs, 0u);
    EXPECT_GT(keys, 0u);
    EXPECT_GT(described, 0u);
    EXPECT_LT(described, db.definitions().size());

    // A few planted traces are recognised as the comment at the top lists them.
    const FileSystem& files = machine->files();
    EXPECT_EQ(Name(db.MatchFile("C:\\Program Files\\Velvet Gazer\\vgazer.exe", files)),
              "Velvet Gazer");
    EXPECT_EQ(Name(db.MatchFile("C:\\users\\root\\AppData\\Local\\Microsoft\\Windows\\INetCookies\\"
                                "root@sable-ads[1].txt",
                                files)),
              "Sable Ads Cookie");
    EXPECT_EQ(Name(db.MatchFile("C:\\windows\\system32\\qf2hook.dll", files)),
              "Quillfeather Keylogger");
    EXPECT_EQ(Name(db.MatchFile("C:\\nightjar.exe", files)), "Nightjar Downloader");
    EXPECT_EQ(db.MatchFile("C:\\windows\\system32\\rookd.exe", files), nullptr);  // size differs
    prefix.WriteFile("C:\\windows\\system32\\rookd.exe", std::string(40960, 'r'));
    EXPECT_EQ(Name(db.MatchFile("C:\\windows\\system32\\rookd.exe", files)), "Rook Remote Admin");
    prefix.MakeFolder("C:\\Program Files\\Common Files\\Obsidian Update");
    EXPECT_EQ(Name(db.MatchFolder("C:\\Program Files\\Common Files\\Obsidian Update", files)),
              "Obsidian Updater");
}

}  // namespace
}  // namespace tolvane
