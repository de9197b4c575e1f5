#include "machine/windows/regf_hive.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "machine/hive_tree.h"
#include "testing/regf_builder.h"
#include "testing/run_command.h"
#include "testing/temp_folder.h"

namespace tolvane {
namespace {

using testing::ReadHostFile;

namespace fs = std::filesystem;
using testing::RegfBuilder;
using testing::RunCommand;
using testing::ShellQuote;

class RegfHiveTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folderFd_ = open(folder_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        hive_ = folder_ + "/SOFTWARE";
        RegfBuilder(hive_)
            .String("Microsoft\\Windows\\CurrentVersion\\Run", "Bad", "C:\\bad\\bad.exe")
            .String("Microsoft\\Windows\\CurrentVersion\\Run", "Good", "C:\\good.exe")
            .Dword("Bad Vendor\\Settings", "Level", 7)
            .String("Bad Vendor\\Settings", "", "caf\xc3\xa9", true)
            .Key("Classes\\CLSID\\{0000}")
            .Commit();
    }
    void TearDown() override { close(folderFd_); }
    // hivexget, a reader independent of ours: the value as it prints it.
    std::string Get(const std::string& key, const std::string& name) {
        std::string out;
        RunCommand("hivexget " + ShellQuote(hive_) + " " + ShellQuote(key) + " " +
                       ShellQuote(name) + " 2>&1",
                   &out);
        return out;
    }

    testing::TempFolder temp_{"tolvane-regf"};
    std::string folder_ = temp_.path().string();
    std::string hive_;
    int folderFd_ = -1;
};

TEST_F(RegfHiveTest, LoadsKeysAndValuesAsTheTreeKeepsThem) {
    RegfHiveFile file(folderFd_, "SOFTWARE", hive_);
    HiveTree tree;
    std::string problem;
    ASSERT_TRUE(file.Load(&tree, &problem)) << problem;
    EXPECT_FALSE(file.Dirty());
    EXPECT_EQ(file.WriteRefusal(), "");
    HiveKey* run = tree.Find(u"microsoft\\WINDOWS\\CurrentVersion\\Run");
    ASSERT_NE(run, nullptr);
    ASSERT_EQ(run->Values().size(), 2u);
    EXPECT_EQ(run->Values()[0].name, u"Bad");
    EXPECT_EQ(run->Values()[0].type, REG_SZ);
    EXPECT_EQ(BytesToUtf16(run->Values()[0].data), std::u16string(u"C:\\bad\\bad.exe\0", 15));
    HiveKey* settings = tree.Find(u"Bad Vendor\\Settings");
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->Values()[0].name, u"");
    EXPECT_EQ(settings->Values()[0].type, REG_EXPAND_SZ);
    EXPECT_EQ(BytesToUtf16(settings->Values()[0].data), std::u16string(u"caf\u00e9\0", 5));
    EXPECT_EQ(settings->Values()[1].data, std::string("\x07\0\0\0", 4));
    ASSERT_EQ(tree.root().Subkeys().size(), 3u);  // sorted without regard to case
    EXPECT_EQ(tree.root().Subkeys()[0]->name, u"Bad Vendor");
    EXPECT_EQ(tree.root().Subkeys()[2]->name, u"Microsoft");
    EXPECT_NE(tree.Find(u"Classes\\CLSID\\{0000}"), nullptr);
}

TEST_F(RegfHiveTest, SavesChangesThatAnotherReaderSeesAndKeepsTheOriginalOnce) {
    const std::string untouched = ReadHostFile(hive_);
    RegfHiveFile file(folderFd_, "SOFTWARE", hive_);
    HiveTree tree;
    std::string problem, error;
    ASSERT_TRUE(file.Load(&tree, &problem)) << problem;
    HiveKey* run = tree.Find(u"Microsoft\\Windows\\CurrentVersion\\Run");
    run->DeleteValue(u"Bad");
    run->Touch(FileTimeNow());
    tree.root().DeleteSubkey(u"bad vendor");
    tree.root().Touch(FileTimeNow());
    HiveKey* added = tree.root().AddSubkey(u"New", FileTimeNow());
    HiveKey* deeper = added->AddSubkey(u"Deeper", FileTimeNow());
    deeper->SetValue(u"x", REG_DWORD, std::string("\1\0\0\0", 4));
    // A type beyond hivex's own (Wine stores such), kept as the number it is.
    deeper->SetValue(u"w", 0xffff0007u, std::string("\2\0", 2));
    ASSERT_TRUE(file.Save(&tree, &error)) << error;

    EXPECT_EQ(ReadHostFile(folder_ + "/SOFTWARE.tolvane-orig"), untouched);
    EXPECT_NE(Get("\\Microsoft\\Windows\\CurrentVersion\\Run", "Bad").find("not found"),
              std::string::npos);
    EXPECT_EQ(Get("\\Microsoft\\Windows\\CurrentVersion\\Run", "Good"), "C:\\good.exe\n");
    EXPECT_EQ(Get("\\New\\Deeper", "x"), "1\n");
    std::string out;
    EXPECT_NE(RunCommand("hivexget " + ShellQuote(hive_) + " '\\Bad Vendor' >/dev/null 2>&1"), 0);
    EXPECT_FALSE(fs::exists(folder_ + "/.SOFTWARE.tolvane-tmp"));

    // A second change, and a later run: the copy stays the untouched hive.
    tree.Find(u"New")->SetValue(u"y", REG_SZ, Utf16ToBytes(std::u16string(u"y\0", 2)));
    tree.Find(u"New")->Touch(FileTimeNow());
    ASSERT_TRUE(file.Save(&tree, &error)) << error;
    RegfHiveFile later(folderFd_, "SOFTWARE", hive_);
    HiveTree reread;
    ASSERT_TRUE(later.Load(&reread, &problem)) << problem;
    ASSERT_NE(reread.Find(u"New"), nullptr);
    EXPECT_EQ(reread.Find(u"New")->Values().size(), 1u);
    const HiveValue* wine = reread.Find(u"New\\Deeper")->FindValue(u"w");
    ASSERT_NE(wine, nullptr);
    EXPECT_EQ(wine->type, 0xffff0007u);
    reread.Find(u"New")->DeleteValue(u"y");
    reread.Find(u"New")->Touch(FileTimeNow());
    ASSERT_TRUE(later.Save(&reread, &error)) << error;
    EXPECT_EQ(ReadHostFile(folder_ + "/SOFTWARE.tolvane-orig"), untouched);
    EXPECT_EQ(Get("\\New\\Deeper", "x"), "1\n");
}

// A hive is read whole: one far over any real hive's size, or mostly holes,
// is refused before it is read, and the rest of the file is never touched.
TEST_F(RegfHiveTest, OversizedAndSparseHivesAreRefusedUnread) {
    for (uint64_t size : {kMaxRegfHiveBytes + 1, kSparseCheckFromBytes * 4}) {
        ASSERT_EQ(truncate(hive_.c_str(), static_cast<off_t>(size)), 0);
        RegfHiveFile file(folderFd_, "SOFTWARE", hive_);
        HiveTree tree;
        std::string problem;
        EXPECT_FALSE(file.Load(&tree, &problem)) << size;
        EXPECT_NE(problem.find(hive_ + ": is damaged and was not loaded ("), std::string::npos)
            << problem;
        EXPECT_NE(problem.find(size > kMaxRegfHiveBytes ? "1 GiB" : "mostly holes"),
                  std::string::npos)
            << problem;
        EXPECT_EQ(tree.Find(u"Microsoft"), nullptr);
    }
}

// A copy name planted as a link (to a file of root's or to nothing) or as a
// pipe is no way back: the hive stays unchanged, the refusal says why, and
// nothing is written where the link leads.
TEST_F(RegfHiveTest, PlantedOriginalCopyRefusesTheChange) {
    const std::string untouched = ReadHostFile(hive_);
    const std::string copy = folder_ + "/SOFTWARE.tolvane-orig";
    const std::string target = folder_ + "-target";
    struct Plant {
        const char* what;
        std::function<void()> make;
    };
    const std::vector<Plant> plants = {
        {"a link", [&] { ASSERT_EQ(symlink(target.c_str(), copy.c_str()), 0); }},
        {"not a plain file", [&] { ASSERT_EQ(mkfifo(copy.c_str(), 0600), 0); }},
    };
    for (const Plant& plant : plants) {
        plant.make();
        RegfHiveFile file(folderFd_, "SOFTWARE", hive_);
        HiveTree tree;
        std::string problem, error;
        ASSERT_TRUE(file.Load(&tree, &problem)) << problem;
        tree.root().AddSubkey(u"New", FileTimeNow());
        tree.root().Touch(FileTimeNow());
        EXPECT_FALSE(file.Save(&tree, &error));
        EXPECT_EQ(error, "The registry hive " + hive_ +
                             " was not changed: its untouched copy SOFTWARE.tolvane-orig beside "
                             "it is " +
                             plant.what +
                             ", so no way back to the hive as it was could be kept. Remove "
                             "SOFTWARE.tolvane-orig and try again.");
        EXPECT_EQ(ReadHostFile(hive_), untouched) << plant.what;
        EXPECT_FALSE(fs::exists(target)) << plant.what;
        fs::remove(copy);
    }
}

TEST_F(RegfHiveTest, DirtyHivesAreReadButNeverChanged) {
    auto refusedAfterLoad = [&](const char* why) {
        const std::string before = ReadHostFile(hive_);
        RegfHiveFile file(folderFd_, "SOFTWARE", hive_);
        HiveTree tree;
        std::string problem, error;
        EXPECT_TRUE(file.Load(&tree, &problem)) << problem;
        EXPECT_TRUE(file.Dirty()) << why;
        EXPECT_NE(tree.Find(u"Microsoft\\Windows\\CurrentVersion\\Run"), nullptr) << why;
        tree.root().Touch(FileTimeNow());
        tree.root().SetValue(u"x", REG_SZ, "");
        EXPECT_FALSE(file.Save(&tree, &error)) << why;
        EXPECT_NE(error.find("shut it down fully"), std::string::npos) << error;
        EXPECT_NE(error.find(hive_), std::string::npos) << error;
        EXPECT_TRUE(ReadHostFile(hive_) == before) << why;
    };
    std::ofstream(folder_ + "/software.LOG1") << "pending";
    refusedAfterLoad("a log beside it, in another case");
    fs::remove(folder_ + "/software.LOG1");
    std::ofstream(folder_ + "/SOFTWARE.LOG2");  // empty logs are no pending change
    testing::SetRegfSequenceNumbers(hive_, 5, 4);
    refusedAfterLoad("sequence numbers that differ");
    EXPECT_FALSE(fs::exists(folder_ + "/SOFTWARE.tolvane-orig"));
}

TEST_F(RegfHiveTest, DamagedOrLinkedHivesLoadNothing) {
    std::ofstream(folder_ + "/SYSTEM") << "regf but nothing a hive holds";
    fs::create_symlink(hive_, folder_ + "/SAM");
    for (const char* name : {"SYSTEM", "SAM", "SECURITY"}) {
        RegfHiveFile file(folderFd_, name, folder_ + "/" + name);
        HiveTree tree;
        tree.root().AddSubkey(u"Stale", 0);
        std::string problem;
        EXPECT_FALSE(file.Load(&tree, &problem)) << name;
        EXPECT_EQ(problem.rfind(folder_ + "/" + name + ": ", 0), 0u) << problem;
        EXPECT_TRUE(tree.root().Subkeys().empty()) << name;
        EXPECT_NE(file.WriteRefusal(), "") << name;
    }
}

// The benchmarks' big hives are written without hivex; hivex, our loader and
// chntpw's reader must all take them as Windows would.
TEST_F(RegfHiveTest, CompactlyWrittenHivesReadBackWhole) {
    testing::RegfTreeKey tree = testing::ReadRegfTree(hive_);
    testing::RegfTreeKey& wide = tree.Child("Classes").Child("Wide");
    for (int i = 0; i < 3000; ++i) {
        testing::RegfTreeKey& key = wide.subkeys.emplace_back();
        key.name = "k" + std::to_string(i);
        key.values.push_back({"v", REG_SZ, testing::RegfString(std::string(i % 300, 'x'))});
    }
    const std::string compact = folder_ + "/COMPACT";
    testing::WriteRegfTree(compact, tree);

    testing::RegfTreeKey back = testing::ReadRegfTree(compact);
    ASSERT_EQ(back.Child("Classes").Child("Wide").subkeys.size(), 3000u);
    EXPECT_EQ(back.Child("Bad Vendor").Child("Settings").values.size(), 2u);
    RegfHiveFile file(folderFd_, "COMPACT", compact);
    HiveTree loaded;
    std::string problem;
    ASSERT_TRUE(file.Load(&loaded, &problem)) << problem;
    HiveKey* key = loaded.Find(u"Classes\\Wide\\K2999");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->Values().size(), 1u);
    EXPECT_EQ(file.WriteRefusal(), "");
    if (RunCommand("command -v reged >/dev/null") == 0) {
        RunCommand("cd " + ShellQuote(folder_) +
                   " && reged -x COMPACT 'HKEY_LOCAL_MACHINE\\X' '\\Classes\\Wide' wide.reg"
                   " >/dev/null 2>&1");
        std::string exported = ReadHostFile(folder_ + "/wide.reg");
        EXPECT_EQ(std::count(exported.begin(), exported.end(), '['), 3001)
            << exported.substr(0, 300);
    }
}

}  // namespace
}  // namespace tolvane
