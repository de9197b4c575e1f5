#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "machine/registry.h"
#include "machine/wine/prefix_hive_set.h"
#include "testing/fake_wineserver.h"
#include "testing/file_size_limit.h"
#include "testing/temp_folder.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

const char kSystemReg[] =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\Machine\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Software\\\\Classes\\\\.txt] 1796740557\n"
    "#time=1dd87216fed8f36\n"
    "@=\"txtfile\"\n"
    "\"Content Type\"=\"text/plain\"\n"
    "\n"
    "[Software\\\\Classes\\\\CLSID\\\\{A}\\\\InprocServer32] 1796740557\n"
    "#time=1dd87216fed8f36\n"
    "@=\"C:\\\\windows\\\\a.dll\"\n"
    "\n"
    "[Software\\\\Classes\\\\CLSID\\\\{B}] 1796740557\n"
    "#time=1dd87216fed8f36\n"
    "@=\"machine B\"\n"
    "\"OnlyMachine\"=\"m\"\n"
    "\n"
    "[Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion] 1796740557\n"
    "#time=1dd87216fed8f36\n"
    "\"CurrentVersion\"=\"6.1\"\n"
    "\"SystemRoot\"=\"C:\\\\windows\"\n"
    "\n"
    "[System\\\\CurrentControlSet\\\\Hardware Profiles\\\\Current\\\\Software\\\\Fonts] "
    "1796740557\n"
    "#time=1dd87216fed8f36\n"
    "\"LogPixels\"=dword:00000060\n";

const char kUserReg[] =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-7-8-9-1001\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Environment] 1796740557\n"
    "#time=1dd87216fed8f36\n"
    "\"TEMP\"=\"C:\\\\users\\\\root\\\\Temp\"\n"
    "\n"
    "[Software\\\\Classes\\\\.txt] 1796740557\n"
    "#time=1dd87216fed8f36\n"
    "@=\"userfile\"\n"
    "\n"
    "[Software\\\\Classes\\\\CLSID\\\\{B}] 1796740557\n"
    "#time=1dd87216fed8f36\n"
    "@=\"user B\"\n"
    "\n"
    "[Software\\\\Classes\\\\CLSID\\\\{C}] 1796740557\n"
    "#time=1dd87216fed8f36\n"
    "\n"
    "[Software\\\\Classes\\\\UserOnly] 1796740557\n"
    "#time=1dd87216fed8f36\n";

const char kUserdefReg[] =
    "WINE REGISTRY Version 2\n"
    ";; All keys relative to REGISTRY\\\\User\\\\.Default\n"
    "\n"
    "#arch=win64\n"
    "\n"
    "[Control Panel\\\\Desktop] 1796740557\n"
    "#time=1dd87216fed8f36\n"
    "\"Wallpaper\"=\"\"\n";

// A prefix folder with the three registry files, removed afterwards.
class RegPrefix {
  public:
    explicit RegPrefix(bool withFiles = true) {
        if (withFiles) {
            Write("system.reg", kSystemReg);
            Write("user.reg", kUserReg);
            Write("userdef.reg", kUserdefReg);
        }
    }
    ~RegPrefix() {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    }
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& text) const {
        std::ofstream(File(name), std::ios::binary) << text;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(File(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

  private:
    testing::TempFolder folder_{"tolvane-registry"};
    std::string path_ = folder_.path().string();
};

RegKey Open(const Registry& r, RootKey root, std::string_view path,
            uint32_t access = KEY_ALL_ACCESS) {
    RegKey key;
    EXPECT_EQ(r.OpenKey(Registry::Root(root), path, access, &key), ERROR_SUCCESS) << path;
    return key;
}

RegKey Create(Registry& r, RootKey root, std::string_view path) {
    RegKey key;
    EXPECT_EQ(r.CreateKey(Registry::Root(root), path, KEY_ALL_ACCESS, &key), ERROR_SUCCESS)
        << path << ": " << r.LastErrorMessage();
    return key;
}

std::string Sz(std::string_view text) {
    return std::string(text) + '\0';
}

std::vector<std::string> SubkeyNames(const Registry& r, const RegKey& key) {
    std::vector<std::string> names;
    std::string name;
    uint32_t i = 0;
    for (; r.EnumKey(key, i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
    EXPECT_EQ(r.EnumKey(key, i, &name), ERROR_NO_MORE_ITEMS);
    return names;
}

std::string Query(const Registry& r, const RegKey& key, std::string_view name,
                  uint32_t* type = nullptr) {
    std::string data;
    uint32_t t = 0;
    long rc = r.QueryValue(key, name, &t, &data);
    if (type) *type = t;
    return rc == ERROR_SUCCESS ? data : "<error " + std::to_string(rc) + ">";
}

// ---- Names, values, enumeration ---------------------------------------------------

// What the contract suite (registry_contract_test.cpp) asks of names and
// values, as Wine's file spells it.
TEST(RegistryKeys, NamesKeepTheirCaseInTheFile) {
    RegPrefix prefix;
    Registry r(MakePrefixHiveSet(prefix.path()));
    RegKey key = Create(r, RootKey::LocalMachine, "SOFTWARE\\Tolvane");
    EXPECT_EQ(r.SetValue(key, "Scan_Drives_Num", REG_SZ, "2"), ERROR_SUCCESS);
    // The existing "Software" keeps its case; the new key has the case it was made with.
    std::string text = prefix.Read("system.reg");
    EXPECT_NE(text.find("[Software\\\\Tolvane] "), std::string::npos) << text;
    EXPECT_NE(text.find("\"Scan_Drives_Num\"=\"2\"\n"), std::string::npos);
}

TEST(RegistryKeys, ValueTypesAndText) {
    RegPrefix prefix;
    Registry r(MakePrefixHiveSet(prefix.path()));
    RegKey key = Create(r, RootKey::CurrentUser, "Software\\Types");
    EXPECT_EQ(r.SetValue(key, "", REG_SZ, "caf\xe9 \x80"), ERROR_SUCCESS);
    EXPECT_EQ(r.SetValue(key, "na\"me\\x", REG_SZ, Sz("tab\there")), ERROR_SUCCESS);
    EXPECT_EQ(r.SetValue(key, "exp", REG_EXPAND_SZ, "%USERPROFILE%\\x"), ERROR_SUCCESS);
    EXPECT_EQ(r.SetValue(key, "multi", REG_MULTI_SZ, std::string("a\0b", 3)), ERROR_SUCCESS);
    EXPECT_EQ(r.SetValue(key, "dw", REG_DWORD, std::string("\x2a\0\0\0", 4)), ERROR_SUCCESS);
    EXPECT_EQ(r.SetValue(key, "bin", REG_BINARY, std::string("\0\xff", 2)), ERROR_SUCCESS);

    // The key keeps the time of its change in the file.
    Registry fresh(MakePrefixHiveSet(prefix.path()));
    RegKeyInfo info;
    ASSERT_EQ(fresh.QueryInfoKey(Open(fresh, RootKey::CurrentUser, "Software\\Types"), &info),
              ERROR_SUCCESS);
    EXPECT_GT(info.lastWriteTime, 0u);

    // Wine's own spelling of the values.
    std::string text = prefix.Read("user.reg");
    EXPECT_NE(text.find("@=\"caf\\xe9 \\x20ac\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"na\\\"me\\\\x\"=\"tab\\there\"\n"), std::string::npos);
    EXPECT_NE(text.find("\"exp\"=str(2):\"%USERPROFILE%\\\\x\"\n"), std::string::npos);
    EXPECT_NE(text.find("\"multi\"=str(7):\"a\\0b\\0\"\n"), std::string::npos);
    EXPECT_NE(text.find("\"dw\"=dword:0000002a\n"), std::string::npos);
    EXPECT_NE(text.find("\"bin\"=hex:00,ff\n"), std::string::npos);
}

// ---- Roots --------------------------------------------------------------------------

TEST(RegistryRoots, UsersCurrentConfigAndEmptyRoots) {
    RegPrefix prefix;
    Registry r(MakePrefixHiveSet(prefix.path()));
    EXPECT_EQ(r.UserSid(), "S-1-5-21-7-8-9-1001");
    std::vector<std::string> users = {".Default", "S-1-5-21-7-8-9-1001"};
    EXPECT_EQ(SubkeyNames(r, Registry::Root(RootKey::Users)), users);

    RegKey desk = Open(r, RootKey::Users, ".DEFAULT\\Control Panel\\Desktop");
    EXPECT_EQ(Query(r, desk, "Wallpaper"), Sz(""));
    RegKey env = Open(r, RootKey::Users, "S-1-5-21-7-8-9-1001\\Environment");
    EXPECT_EQ(Query(r, env, "TEMP"), Sz("C:\\users\\root\\Temp"));
    ASSERT_EQ(r.SetValue(env, "Via", REG_SZ, "HKU"), ERROR_SUCCESS);
    RegKey same = Open(r, RootKey::CurrentUser, "Environment");
    EXPECT_EQ(Query(r, same, "via"), Sz("HKU"));
    RegKey key;
    EXPECT_EQ(r.CreateKey(Registry::Root(RootKey::Users), "S-1-5-18", KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(r.OpenKey(Registry::Root(RootKey::Users), "S-1-5-18", KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(r.DeleteKey(Registry::Root(RootKey::Users), ".Default"), ERROR_ACCESS_DENIED);

    RegKey fonts = Open(r, RootKey::CurrentConfig, "Software\\Fonts");
    EXPECT_EQ(Query(r, fonts, "LogPixels"), std::string("\x60\0\0\0", 4));

    EXPECT_TRUE(SubkeyNames(r, Registry::Root(RootKey::DynData)).empty());
    EXPECT_EQ(r.OpenKey(Registry::Root(RootKey::PerformanceData), "X", KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);

    RootKey root;
    std::string path;
    ASSERT_TRUE(SplitRegistryPath("hkcr\\CLSID\\{A}\\", &root, &path));
    EXPECT_EQ(root, RootKey::ClassesRoot);
    EXPECT_EQ(path, "CLSID\\{A}");
    ASSERT_TRUE(SplitRegistryPath("HKEY_USERS", &root, &path));
    EXPECT_EQ(root, RootKey::Users);
    EXPECT_EQ(path, "");
    EXPECT_FALSE(SplitRegistryPath("HKEY_NOWHERE\\x", &root, &path));
    EXPECT_STREQ(RootKeyName(RootKey::CurrentConfig), "HKEY_CURRENT_CONFIG");
}

TEST(RegistryRoots, MissingFilesAreEmptyHivesCreatedOnTheFirstChange) {
    RegPrefix prefix(false);
    Registry r(MakePrefixHiveSet(prefix.path()));
    EXPECT_TRUE(r.LoadProblems().empty());
    EXPECT_EQ(r.UserSid(), "S-1-5-21-0-0-0-1000");
    // The predefined roots are there, empty.
    for (RootKey root : {RootKey::ClassesRoot, RootKey::CurrentConfig, RootKey::LocalMachine}) {
        EXPECT_TRUE(SubkeyNames(r, Registry::Root(root)).empty());
        RegKeyInfo info;
        EXPECT_EQ(r.QueryInfoKey(Registry::Root(root), &info), ERROR_SUCCESS);
        EXPECT_EQ(r.QueryValue(Registry::Root(root), "", nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    }
    RegKey key = Create(r, RootKey::CurrentUser, "Software\\Tolvane");
    ASSERT_EQ(r.SetValue(key, "v", REG_SZ, "1"), ERROR_SUCCESS);
    std::string text = prefix.Read("user.reg");
    EXPECT_EQ(
        text.rfind(
            "WINE REGISTRY Version 2\n;; All keys relative to "
            "REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n\n[Software\\\\Tolvane] ",
            0),
        0u)
        << text;
    EXPECT_FALSE(fs::exists(prefix.File("system.reg")));
}

// ---- Saving ---------------------------------------------------------------------------

TEST(RegistrySaving, AnInterruptedSaveLeavesTheOldFile) {
    RegPrefix prefix;
    // The temporary file of a killed save is ignored when loading; a file
    // of the older naming too.
    prefix.Write(".system.reg.tolvane-tmp", "WINE REGISTRY Version 2\n\n[Junk] 1\n");
    prefix.Write("system.reg.tolvane-1.tmp", "WINE REGISTRY Version 2\n\n[Junk] 1\n");
    Registry r(MakePrefixHiveSet(prefix.path()));
    RegKey key = Open(r, RootKey::LocalMachine, "Software\\Classes\\.txt");
    EXPECT_EQ(Query(r, key, ""), Sz("txtfile"));

    // The save cannot write its temporary file (a file size limit makes the
    // writes fail): nothing changes, on disk or in memory, and the failed
    // temporary does not stay.
    long failed, failedValueDelete, failedKeyDelete;
    std::string failedMessage;
    {
        testing::FileSizeLimit limit(16);
        ASSERT_TRUE(limit.set());
        failed = r.SetValue(key, "New", REG_SZ, "1");
        failedMessage = r.LastErrorMessage();
        // Deleting a value or a key fails alike and keeps both.
        failedValueDelete = r.DeleteValue(key, "Content Type");
        failedKeyDelete =
            r.DeleteKey(Registry::Root(RootKey::LocalMachine), "Software\\Classes\\.txt");
    }
    EXPECT_EQ(failed, ERROR_CANTWRITE);
    EXPECT_FALSE(failedMessage.empty());
    EXPECT_EQ(r.QueryValue(key, "New", nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(failedValueDelete, ERROR_CANTWRITE);
    EXPECT_EQ(Query(r, key, "Content Type"), Sz("text/plain"));
    EXPECT_EQ(failedKeyDelete, ERROR_CANTWRITE);
    EXPECT_EQ(Query(r, key, ""), Sz("txtfile"));
    EXPECT_EQ(prefix.Read("system.reg"), kSystemReg);
    EXPECT_FALSE(fs::exists(prefix.File(".system.reg.tolvane-tmp")));

    // A writer still at work holds the temporary: the save waits for it and
    // then takes its own.
    prefix.Write(".system.reg.tolvane-tmp", "WINE REGISTRY Version 2\n\n[Busy] 1\n");
    int held = open(prefix.File(".system.reg.tolvane-tmp").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        unlink(prefix.File(".system.reg.tolvane-tmp").c_str());  // its write failed
        close(held);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(r.SetValue(key, "New", REG_SZ, "1"), ERROR_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    writer.join();
    std::string text = prefix.Read("system.reg");
    EXPECT_NE(text.find("\"New\"=\"1\""), std::string::npos);
    EXPECT_EQ(text.find("Junk"), std::string::npos);
    EXPECT_EQ(text.find("Busy"), std::string::npos);
    std::vector<std::string> temporaries;
    for (const auto& entry : fs::directory_iterator(prefix.path())) {
        std::string name = entry.path().filename().string();
        if (name.find(".tolvane-") != std::string::npos) temporaries.push_back(name);
    }
    EXPECT_EQ(temporaries, (std::vector<std::string>{"system.reg.tolvane-1.tmp"}));
}

TEST(RegistrySaving, UnchangedBlocksKeepTheirText) {
    RegPrefix prefix;
    Registry r(MakePrefixHiveSet(prefix.path()));
    RegKey key = Open(r, RootKey::LocalMachine, "Software\\Microsoft\\Windows NT\\CurrentVersion");
    ASSERT_EQ(r.SetValue(key, "CurrentVersion", REG_SZ, "6.1"), ERROR_SUCCESS);
    std::string text = prefix.Read("system.reg");
    // Only the block of the changed key differs (its two time lines).
    std::istringstream a(kSystemReg), b(text);
    std::string la, lb;
    int differing = 0, lines = 0;
    while (std::getline(a, la) && std::getline(b, lb)) {
        ++lines;
        if (la != lb) ++differing;
    }
    EXPECT_EQ(differing, 2) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
              std::count(kSystemReg, kSystemReg + sizeof kSystemReg - 1, '\n'));
}

// ---- Refused writes --------------------------------------------------------------------

using testing::FakeWineServer;

TEST(RegistryRefusals, WritesRefusedWhileTheWineServerRuns) {
    for (bool withNameFile : {true, false}) {
        SCOPED_TRACE(withNameFile ? "server folder named by the prefix" : "server folder by uid");
        RegPrefix prefix;
        Registry r(MakePrefixHiveSet(prefix.path()));
        RegKey key = Open(r, RootKey::LocalMachine, "Software\\Classes\\.txt");
        EXPECT_EQ(r.ChangesRefusal(), "");
        FakeWineServer server(prefix.path(), withNameFile);
        ASSERT_TRUE(server.locked());
        EXPECT_NE(r.ChangesRefusal().find("wineserver -k"), std::string::npos);

        EXPECT_EQ(r.SetValue(key, "x", REG_SZ, "1"), ERROR_ACCESS_DENIED);
        std::string message = r.LastErrorMessage();
        EXPECT_NE(message.find(prefix.path()), std::string::npos) << message;
        EXPECT_NE(message.find("wineserver -k"), std::string::npos) << message;
        RegKey created;
        EXPECT_EQ(r.CreateKey(Registry::Root(RootKey::CurrentUser), "Software\\X", KEY_ALL_ACCESS,
                              &created),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(r.DeleteValue(key, ""), ERROR_ACCESS_DENIED);
        EXPECT_EQ(r.DeleteKey(Registry::Root(RootKey::ClassesRoot), "CLSID\\{C}"),
                  ERROR_ACCESS_DENIED);
        EXPECT_EQ(prefix.Read("system.reg"), kSystemReg);
        EXPECT_EQ(prefix.Read("user.reg"), kUserReg);
        // Reading goes on, also with full access.
        EXPECT_EQ(Query(r, Open(r, RootKey::ClassesRoot, ".txt", KEY_ALL_ACCESS), ""),
                  Sz("userfile"));

        server.Stop();
        EXPECT_EQ(r.ChangesRefusal(), "");
        EXPECT_EQ(r.SetValue(key, "x", REG_SZ, "1"), ERROR_SUCCESS);
    }
}

TEST(RegistryRefusals, KeysDeeperThanWindowsAllowsAreNotMade) {
    // 512 levels are made and read back; the file would be damaged beyond.
    RegPrefix prefix;
    Registry r(MakePrefixHiveSet(prefix.path()));
    std::string deepest = "Software";
    for (int level = 2; level <= 512; ++level) deepest += "\\k";
    RegKey key = Create(r, RootKey::LocalMachine, deepest);
    RegKey deeper;
    EXPECT_EQ(r.CreateKey(key, "k", KEY_ALL_ACCESS, &deeper), ERROR_BADKEY);
    EXPECT_NE(r.LastErrorMessage().find("512"), std::string::npos) << r.LastErrorMessage();
    Registry again(MakePrefixHiveSet(prefix.path()));
    EXPECT_TRUE(again.LoadProblems().empty());
    Open(again, RootKey::LocalMachine, deepest);
}

TEST(RegistryRefusals, DamagedFileLoadsWhatItCanAndIsNotRewritten) {
    RegPrefix prefix;
    std::string damaged = std::string(kSystemReg) +
                          "\n[Software\\\\Damaged] 1796740557\n"
                          "\"ok\"=\"kept\"\n"
                          "\"bad\"=\"unterminated\n";
    prefix.Write("system.reg", damaged);
    {
        // Refused even where nothing has asked for the damaged key's values.
        Registry fresh(MakePrefixHiveSet(prefix.path()));
        RegKey software = Open(fresh, RootKey::LocalMachine, "Software");
        EXPECT_EQ(fresh.SetValue(software, "new", REG_SZ, "1"), ERROR_ACCESS_DENIED);
    }
    Registry r(MakePrefixHiveSet(prefix.path()));
    std::vector<std::string> problems = r.LoadProblems();
    ASSERT_EQ(problems.size(), 1u);
    // The unterminated value is the fourth line after the original text.
    int badLine = static_cast<int>(std::count(damaged.begin(), damaged.end(), '\n'));
    EXPECT_EQ(
        problems[0].rfind(
            prefix.File("system.reg") + ":" + std::to_string(badLine) + ": truncated line", 0),
        0u)
        << problems[0];

    RegKey key = Open(r, RootKey::LocalMachine, "Software\\Damaged");
    EXPECT_EQ(Query(r, key, "ok"), Sz("kept"));
    EXPECT_EQ(r.SetValue(key, "new", REG_SZ, "1"), ERROR_ACCESS_DENIED);
    EXPECT_NE(r.LastErrorMessage().find(problems[0]), std::string::npos) << r.LastErrorMessage();
    EXPECT_EQ(prefix.Read("system.reg"), damaged);
    // HKEY_CLASSES_ROOT keys living in the user's file can still change.
    RegKey c = Open(r, RootKey::ClassesRoot, "CLSID\\{C}");
    EXPECT_EQ(r.SetValue(c, "x", REG_SZ, "1"), ERROR_SUCCESS);

    // Once repaired on disk, the file is read again and may change.
    prefix.Write("system.reg", kSystemReg);
    EXPECT_TRUE(r.LoadProblems().empty());
    RegKey txt = Open(r, RootKey::LocalMachine, "Software\\Classes\\.txt");
    EXPECT_EQ(r.SetValue(txt, "new", REG_SZ, "1"), ERROR_SUCCESS);
}

}  // namespace
}  // namespace tolvane
