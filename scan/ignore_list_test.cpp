#include "scan/ignore_list.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>

#include "definitions/load_definitions.h"
#include "definitions/threat_database.h"
#include "testing/as_nobody.h"
#include "testing/temp_folder.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

class IgnoreListTest : public ::testing::Test {
  protected:
    void SetUp() override {
        machine_ = prefix_.Open();
        ASSERT_TRUE(machine_);
        ASSERT_TRUE(
            LoadDefinitionsFromText("<NA VERSION=\"1\" DATE=\"d\">"
                                    "<SW NAME=\"Grey Lantern\"><CATEGORY NAME=\"Adware\"/></SW>"
                                    "<SW NAME=\"Blue Moth\"><CATEGORY NAME=\"Hijacker\"/></SW>"
                                    "</NA>",
                                    PlaceholderFolders(), &database_));
        prefix_.MakeFolder("C:\\work");
    }
    std::string FileText(const std::string& windowsPath) {
        std::string text;
        machine_->files().ReadWholeFile(windowsPath, &text);
        return text;
    }

    testing::TempPrefix prefix_;
    std::unique_ptr<Machine> machine_;
    ThreatDatabase database_;
};

TEST_F(IgnoreListTest, SavesInOrderAndLoadsBack) {
    IgnoreList list(machine_->files(), "C:\\work");
    EXPECT_EQ(list.FilePath(), "C:\\work\\Ignorelist.txt");
    const ThreatDefinition* grey = database_.definitions()[0].get();
    const ThreatDefinition* moth = database_.definitions()[1].get();
    list.Add(grey, "", "C:\\windows\\grey.exe", ObjectType::File);
    list.Add(moth, "", "Software\\Moth\\Main\\Start Page:@:a,b", ObjectType::RegistryValue);
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(FileText("C:\\work\\Ignorelist.txt"),
              "Grey Lantern,C:\\windows\\grey.exe,1\r\n"
              "Blue Moth,Software\\Moth\\Main\\Start Page:@:a,b,4\r\n");

    IgnoreList again(machine_->files(), "C:\\work\\");
    again.Load(database_);
    auto entries = again.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].definition, grey);
    EXPECT_EQ(entries[1].definition, moth);
    // A comma inside the object text survives the round trip.
    EXPECT_EQ(entries[1].objectText, "Software\\Moth\\Main\\Start Page:@:a,b");
    EXPECT_TRUE(
        again.IsIgnored(ObjectType::RegistryValue, "Software\\Moth\\Main\\Start Page:@:a,b"));
}

TEST_F(IgnoreListTest, MatchesTypeAndExactText) {
    IgnoreList list(machine_->files(), "C:\\work");
    list.Add(nullptr, "Grey Lantern", "Software\\Grey", ObjectType::RegistryKey);
    EXPECT_TRUE(list.IsIgnored(ObjectType::RegistryKey, "Software\\Grey"));
    EXPECT_FALSE(
        list.IsIgnored(ObjectType::RegistryValue, "Software\\Grey"));  // same text, other type
    EXPECT_FALSE(list.IsIgnored(ObjectType::RegistryKey, "software\\grey"));  // letter case counts
    EXPECT_FALSE(list.IsIgnored(ObjectType::RegistryKey, "Software\\Grey\\"));
    // A type and text that could be joined alike: the key keeps them apart.
    list.Add(nullptr, "Grey Lantern", "2,x", ObjectType::File);
    EXPECT_TRUE(list.IsIgnored(ObjectType::File, "2,x"));
    EXPECT_FALSE(list.IsIgnored(ObjectType{12}, "x"));
    EXPECT_FALSE(list.IsIgnored(ObjectType::File, "2"));
}

TEST_F(IgnoreListTest, AnObjectStaysIgnoredWhileOneOfItsEntriesIsLeft) {
    IgnoreList list(machine_->files(), "C:\\work");
    list.Add(nullptr, "A", "C:\\twice.exe", ObjectType::File);
    list.Add(nullptr, "B", "C:\\other.exe", ObjectType::File);
    list.Add(nullptr, "C", "C:\\twice.exe", ObjectType::File);
    list.Add(nullptr, "D", "C:\\third.exe", ObjectType::File);
    ASSERT_TRUE(list.RemoveAt(0));
    EXPECT_TRUE(list.IsIgnored(ObjectType::File, "C:\\twice.exe"));
    list.RemoveIndexes({1, 2});  // "C" and "D"
    EXPECT_FALSE(list.IsIgnored(ObjectType::File, "C:\\twice.exe"));
    EXPECT_FALSE(list.IsIgnored(ObjectType::File, "C:\\third.exe"));
    EXPECT_TRUE(list.IsIgnored(ObjectType::File, "C:\\other.exe"));
    ASSERT_EQ(list.Size(), 1u);
    EXPECT_EQ(list.Entries()[0].name, "B");
    // A load replaces what the lookups know.
    prefix_.WriteFile("C:\\work\\Ignorelist.txt", "E,C:\\loaded.exe,1\r\n");
    list.Load(database_);
    EXPECT_TRUE(list.IsIgnored(ObjectType::File, "C:\\loaded.exe"));
    EXPECT_FALSE(list.IsIgnored(ObjectType::File, "C:\\other.exe"));
}

TEST_F(IgnoreListTest, LoadsOddLines) {
    prefix_.WriteFile("C:\\work\\Ignorelist.txt",
                      "Grey Lantern,C:\\a.exe,3xyz\n"     // more after the type digit
                      "no commas at all\r\n"              // skipped
                      "Blue Moth,only one comma\r\n"      // skipped
                      "\r\n"                              // blank: skipped
                      "Gone Threat,Software\\Gone,3\r\n"  // name left the database
                      "Blue Moth,C:\\b,x");               // no digit: type 0, no line end
    IgnoreList list(machine_->files(), "C:\\work");
    list.Load(database_);
    auto entries = list.Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].type, ObjectType::RegistryKey);
    EXPECT_EQ(entries[0].objectText, "C:\\a.exe");
    EXPECT_EQ(entries[1].definition, nullptr);
    EXPECT_EQ(entries[1].name, "Gone Threat");
    EXPECT_EQ(entries[2].type, ObjectType{0});

    // The entry without a definition keeps its name when saved.
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(FileText("C:\\work\\Ignorelist.txt"),
              "Grey Lantern,C:\\a.exe,3\r\nGone Threat,Software\\Gone,3\r\nBlue Moth,C:\\b,0\r\n");
}

TEST_F(IgnoreListTest, MissingFileAndEmptyListAndRemoval) {
    IgnoreList list(machine_->files(), "C:\\work");
    list.Load(database_);
    EXPECT_EQ(list.Size(), 0u);
    list.Add(nullptr, "A", "x", ObjectType::File);
    list.Add(nullptr, "B", "y", ObjectType::File);
    EXPECT_TRUE(list.RemoveAt(0));
    EXPECT_FALSE(list.RemoveAt(5));
    ASSERT_EQ(list.Size(), 1u);
    EXPECT_EQ(list.Entries()[0].name, "B");
    ASSERT_TRUE(list.RemoveAt(0));
    ASSERT_TRUE(list.Save());
    EXPECT_TRUE(machine_->files().PathFileExists("C:\\work\\Ignorelist.txt"));
    EXPECT_EQ(FileText("C:\\work\\Ignorelist.txt"), "");
}

TEST_F(IgnoreListTest, EachWorkingFolderHasItsOwnFile) {
    prefix_.MakeFolder("C:\\other");
    IgnoreList first(machine_->files(), "C:\\work");
    first.Add(nullptr, "A", "x", ObjectType::File);
    ASSERT_TRUE(first.Save());
    IgnoreList second(machine_->files(), "C:\\other");
    second.Load(database_);
    EXPECT_EQ(second.Size(), 0u);

    // The host folder maps through the drives; where none covers it the
    // application folder is used.
    std::string hostWork = prefix_.Host("drive_c/work");
    EXPECT_EQ(IgnoreList::CurrentFolder(machine_->files(), hostWork), "C:\\work");
    EXPECT_EQ(IgnoreList::CurrentFolder(machine_->files(), "/nowhere/covered"),
              "C:\\Program Files\\Tolvane\\");
}

TEST_F(IgnoreListTest, FailedSaveKeepsTheOldFileAndTheNewEntries) {
    IgnoreList list(machine_->files(), "C:\\work");
    list.Add(nullptr, "A", "x", ObjectType::File);
    ASSERT_TRUE(list.Save());
    // The new file cannot be written whole: the system refuses files above
    // 8 bytes (even to root).
    auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous;
    getrlimit(RLIMIT_FSIZE, &previous);
    rlimit small = previous;
    small.rlim_cur = 8;
    setrlimit(RLIMIT_FSIZE, &small);
    list.Add(nullptr, "B", "y", ObjectType::Folder);
    EXPECT_FALSE(list.Save());
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousSignal);
    EXPECT_EQ(FileText("C:\\work\\Ignorelist.txt"), "A,x,1\r\n");
    EXPECT_EQ(list.Size(), 2u);
}

// Ignorelist.txt lies in a folder others may write to; one planted there
// would hide threats, and a link named so would steer the rewrite. Each such
// file is neither read nor written, and the list says why.
TEST_F(IgnoreListTest, PlantedFilesAreNeitherReadNorOverwritten) {
    SKIP_UNLESS_ROOT();
    namespace fs = std::filesystem;
    const std::string work = prefix_.Host("drive_c/work");
    const std::string file = work + "/Ignorelist.txt";
    const std::string planted = "Grey Lantern,C:\\windows\\grey.exe,1\r\n";
    const std::string outside = prefix_.Host("victim.txt");
    auto write = [](const std::string& path, const std::string& content) {
        std::ofstream(path, std::ios::binary) << content;
    };
    struct Case {
        const char* reason;
        std::function<void()> plant;
        std::string untouched;  // the file that must keep the planted text
    };
    const Case cases[] = {
        {"other users may write to it", [&] { write(file, planted), chmod(file.c_str(), 0666); },
         file},
        {"it belongs to another user",
         [&] {
             ASSERT_TRUE(testing::AsNobody([&] {
                 std::ofstream(file, std::ios::binary) << planted;
                 return chmod(file.c_str(), 0644) == 0;
             }));
         },
         file},
        {"it is a link", [&] { write(outside, planted), fs::create_symlink(outside, file); },
         outside},
    };
    // A shared folder, which nobody can reach.
    for (const std::string& folder : {prefix_.path(), prefix_.Host("drive_c")})
        chmod(folder.c_str(), 0755);
    fs::permissions(work, fs::perms::all);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        fs::remove(file);
        c.plant();
        // Both ways of naming the folder: through the drives and on the host.
        for (const std::string& host : {std::string(), work}) {
            IgnoreList list(machine_->files(), "C:\\work", host);
            list.Load(database_);
            EXPECT_EQ(list.Size(), 0u);
            EXPECT_FALSE(list.IsIgnored(ObjectType::File, "C:\\windows\\grey.exe"));
            EXPECT_EQ(list.Refusal(), std::string("Ignorelist.txt is not used: ") + c.reason + ".");
            list.Add(nullptr, "Blue Moth", "x", ObjectType::File);
            EXPECT_FALSE(list.Save());
            EXPECT_EQ(testing::ReadHostFile(c.untouched), planted);
        }
    }
    // A file of the running user that only it may write is used again.
    fs::remove(file);
    write(file, planted);
    chmod(file.c_str(), 0644);
    IgnoreList list(machine_->files(), "C:\\work", work);
    list.Load(database_);
    EXPECT_TRUE(list.IsIgnored(ObjectType::File, "C:\\windows\\grey.exe"));
    EXPECT_EQ(list.Refusal(), "");
    list.Add(nullptr, "Blue Moth", "x", ObjectType::File);
    EXPECT_TRUE(list.Save());
    struct stat st;
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(st.st_uid, geteuid());
}

}  // namespace
}  // namespace tolvane
