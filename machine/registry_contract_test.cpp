// The registry's Windows semantics, the same over every back-end: a Wine
// prefix's registry files and a Windows installation's regf hives. What
// only one file format shows lives beside its back-end (wine/, windows/).
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

#include "machine/machine.h"
#include "machine/registry.h"
#include "testing/file_size_limit.h"
#include "testing/temp_installation.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

// A Wine prefix: HKEY_LOCAL_MACHINE\Software lies in system.reg,
// HKEY_CURRENT_USER in user.reg.
struct WinePrefixBackEnd {
    testing::TempPrefix prefix;
    std::unique_ptr<Machine> Open() const { return prefix.Open(); }
    std::string MachineSoftwareHive() const { return prefix.Host("system.reg"); }
};

// A Windows installation: HKEY_LOCAL_MACHINE\Software is the SOFTWARE hive,
// HKEY_CURRENT_USER alice's NTUSER.DAT.
struct WindowsInstallationBackEnd {
    testing::TempInstallation windows;
    std::unique_ptr<Machine> Open() const { return windows.Open(); }
    std::string MachineSoftwareHive() const { return windows.Software(); }
};

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Sz(std::string_view text) {
    return std::string(text) + '\0';
}

template <typename BackEnd>
class RegistryContract : public ::testing::Test {
  protected:
    // A machine, and so a Registry, of its own: as another program of the
    // same process sees the hives.
    std::unique_ptr<Machine> OpenMachine() {
        std::unique_ptr<Machine> machine = backEnd_.Open();
        EXPECT_NE(machine, nullptr);
        return machine;
    }
    Registry& registry() { return machine_->registry(); }
    std::string MachineSoftwareHive() const { return backEnd_.MachineSoftwareHive(); }

    RegKey Open(const Registry& r, RootKey root, std::string_view path,
                uint32_t access = KEY_ALL_ACCESS) {
        RegKey key;
        EXPECT_EQ(r.OpenKey(Registry::Root(root), path, access, &key), ERROR_SUCCESS)
            << path << ": " << r.LastErrorMessage();
        return key;
    }
    RegKey Create(Registry& r, RootKey root, std::string_view path) {
        RegKey key;
        EXPECT_EQ(r.CreateKey(Registry::Root(root), path, KEY_ALL_ACCESS, &key), ERROR_SUCCESS)
            << path << ": " << r.LastErrorMessage();
        return key;
    }
    void Set(Registry& r, RootKey root, std::string_view path, std::string_view name,
             std::string_view text) {
        RegKey key = Create(r, root, path);
        EXPECT_EQ(r.SetValue(key, name, REG_SZ, text), ERROR_SUCCESS) << r.LastErrorMessage();
    }
    static std::string Query(const Registry& r, const RegKey& key, std::string_view name,
                             uint32_t* type = nullptr) {
        std::string data;
        uint32_t t = 0;
        long rc = r.QueryValue(key, name, &t, &data);
        if (type) *type = t;
        return rc == ERROR_SUCCESS ? data : "<error " + std::to_string(rc) + ">";
    }
    std::string Query(const Registry& r, RootKey root, std::string_view path,
                      std::string_view name) {
        RegKey key;
        if (r.OpenKey(Registry::Root(root), path, KEY_READ, &key) != ERROR_SUCCESS)
            return "<no key>";
        return Query(r, key, name);
    }
    static std::vector<std::string> SubkeyNames(const Registry& r, const RegKey& key) {
        std::vector<std::string> names;
        std::string name;
        uint32_t i = 0;
        for (; r.EnumKey(key, i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
        EXPECT_EQ(r.EnumKey(key, i, &name), ERROR_NO_MORE_ITEMS);
        return names;
    }
    static std::vector<std::string> ValueNames(const Registry& r, const RegKey& key) {
        std::vector<std::string> names;
        std::string name;
        uint32_t i = 0;
        for (; r.EnumValue(key, i, &name, nullptr, nullptr) == ERROR_SUCCESS; ++i)
            names.push_back(name);
        EXPECT_EQ(r.EnumValue(key, i, &name, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
        return names;
    }

    // The subkeys of HKCU\path and HKLM\path as one list in Wine's order
    // (ASCII names here), each name once and spelled as the user's has it.
    std::vector<std::string> Union(const Registry& r, std::string_view path) {
        std::vector<std::string> all;
        for (RootKey root : {RootKey::CurrentUser, RootKey::LocalMachine}) {
            RegKey key;
            if (r.OpenKey(Registry::Root(root), path, KEY_READ, &key) != ERROR_SUCCESS) continue;
            for (const std::string& name : SubkeyNames(r, key)) all.push_back(name);
        }
        auto lower = [](std::string text) {
            for (char& c : text) c = (c >= 'A' && c <= 'Z') ? c + 32 : c;
            return text;
        };
        std::stable_sort(all.begin(), all.end(),
                         [&](const auto& a, const auto& b) { return lower(a) < lower(b); });
        all.erase(std::unique(all.begin(), all.end(),
                              [&](const auto& a, const auto& b) { return lower(a) == lower(b); }),
                  all.end());
        return all;
    }

    BackEnd backEnd_;
    std::unique_ptr<Machine> machine_ = OpenMachine();
};

using BackEnds = ::testing::Types<WinePrefixBackEnd, WindowsInstallationBackEnd>;
class BackEndNames {
  public:
    template <typename T>
    static std::string GetName(int) {
        return std::is_same_v<T, WinePrefixBackEnd> ? "WinePrefix" : "WindowsInstallation";
    }
};
TYPED_TEST_SUITE(RegistryContract, BackEnds, BackEndNames);

TYPED_TEST(RegistryContract, NamesCompareWithoutCaseAndKeepTheirCase) {
    Registry& r = this->registry();
    bool created = false;
    RegKey key;
    ASSERT_EQ(r.CreateKey(Registry::Root(RootKey::LocalMachine), "SOFTWARE\\Tolvane",
                          KEY_ALL_ACCESS, &key, &created),
              ERROR_SUCCESS)
        << r.LastErrorMessage();
    EXPECT_TRUE(created);
    ASSERT_EQ(r.CreateKey(Registry::Root(RootKey::LocalMachine), "software\\TOLVANE",
                          KEY_ALL_ACCESS, &key, &created),
              ERROR_SUCCESS);
    EXPECT_FALSE(created);
    EXPECT_EQ(r.SetValue(key, "Scan_Drives_Num", REG_SZ, "2"), ERROR_SUCCESS);
    RegKey again = this->Open(r, RootKey::LocalMachine, "Software\\tolvane");
    EXPECT_EQ(this->Query(r, again, "Scan_Drives_NUM"), Sz("2"));
    EXPECT_EQ(this->ValueNames(r, again), std::vector<std::string>{"Scan_Drives_Num"});
    RegKey software = this->Open(r, RootKey::LocalMachine, "Software");
    std::vector<std::string> names = this->SubkeyNames(r, software);
    EXPECT_NE(std::find(names.begin(), names.end(), "Tolvane"), names.end());

    // Setting under another case replaces the value, keeping the first name.
    EXPECT_EQ(r.SetValue(again, "SCAN_DRIVES_NUM", REG_SZ, "3"), ERROR_SUCCESS);
    auto fresh = this->OpenMachine();
    RegKey k = this->Open(fresh->registry(), RootKey::LocalMachine, "SOFTWARE\\TOLVANE");
    EXPECT_EQ(this->ValueNames(fresh->registry(), k), std::vector<std::string>{"Scan_Drives_Num"});
    EXPECT_EQ(this->Query(fresh->registry(), k, "scan_drives_num"), Sz("3"));
}

TYPED_TEST(RegistryContract, EnumerationIsSortedAsWineSortsAndStable) {
    Registry& r = this->registry();
    RegKey key = this->Create(r, RootKey::CurrentUser, "Software\\Order");
    for (const char* name : {"Zeta", "b", "A_", "Aa", "a"})
        ASSERT_EQ(r.SetValue(key, name, REG_SZ, "x"), ERROR_SUCCESS);
    for (const char* name : {"Zeta", "b", "A_", "Aa"})
        this->Create(r, RootKey::CurrentUser, std::string("Software\\Order\\") + name);
    std::vector<std::string> sorted = {"a", "A_", "Aa", "b", "Zeta"};
    EXPECT_EQ(this->ValueNames(r, key), sorted);
    EXPECT_EQ(this->ValueNames(r, key), sorted);  // asking again gives the same order
    std::vector<std::string> sortedKeys = {"A_", "Aa", "b", "Zeta"};
    EXPECT_EQ(this->SubkeyNames(r, key), sortedKeys);
    auto fresh = this->OpenMachine();
    Registry& f = fresh->registry();
    RegKey k = this->Open(f, RootKey::CurrentUser, "software\\order");
    EXPECT_EQ(this->ValueNames(f, k), sorted);
    EXPECT_EQ(this->SubkeyNames(f, k), sortedKeys);

    RegKeyInfo info;
    ASSERT_EQ(f.QueryInfoKey(k, &info), ERROR_SUCCESS);
    EXPECT_EQ(info.subKeys, 4u);
    EXPECT_EQ(info.values, 5u);
    EXPECT_EQ(info.maxSubKeyLen, 4u);
    EXPECT_EQ(info.maxValueNameLen, 4u);
    EXPECT_EQ(info.maxValueLen, 2u);  // "x" and its terminator
    // The time of the change (a regf hive changed through hivex keeps none).
    ASSERT_EQ(r.QueryInfoKey(key, &info), ERROR_SUCCESS);
    EXPECT_GT(info.lastWriteTime, 0u);
}

TYPED_TEST(RegistryContract, ValuesOfEveryTypeSaveAndReadBack) {
    Registry& r = this->registry();
    RegKey key = this->Create(r, RootKey::CurrentUser, "Software\\Types");
    EXPECT_EQ(r.SetValue(key, "", REG_SZ, "caf\xe9 \x80"), ERROR_SUCCESS);
    EXPECT_EQ(r.SetValue(key, "na\"me\\x", REG_SZ, Sz("tab\there")), ERROR_SUCCESS);
    EXPECT_EQ(r.SetValue(key, "exp", REG_EXPAND_SZ, "%USERPROFILE%\\x"), ERROR_SUCCESS);
    EXPECT_EQ(r.SetValue(key, "multi", REG_MULTI_SZ, std::string("a\0b", 3)), ERROR_SUCCESS);
    EXPECT_EQ(r.SetValue(key, "dw", REG_DWORD, std::string("\x2a\0\0\0", 4)), ERROR_SUCCESS);
    EXPECT_EQ(r.SetValue(key, "bin", REG_BINARY, std::string("\0\xff", 2)), ERROR_SUCCESS);

    auto fresh = this->OpenMachine();
    Registry& f = fresh->registry();
    RegKey k = this->Open(f, RootKey::CurrentUser, "Software\\Types");
    uint32_t type = 0;
    EXPECT_EQ(this->Query(f, k, "", &type), Sz("caf\xe9 \x80"));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(this->Query(f, k, "NA\"ME\\X"), Sz("tab\there"));
    EXPECT_EQ(this->Query(f, k, "exp", &type), Sz("%USERPROFILE%\\x"));
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(this->Query(f, k, "multi", &type), std::string("a\0b\0\0", 5));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(this->Query(f, k, "dw", &type), std::string("\x2a\0\0\0", 4));
    EXPECT_EQ(this->Query(f, k, "bin", &type), std::string("\0\xff", 2));
    EXPECT_EQ(type, REG_BINARY);
    std::string name, data;
    ASSERT_EQ(f.EnumValue(k, 0, &name, &type, &data), ERROR_SUCCESS);
    EXPECT_EQ(name, "");  // the default value sorts first

    EXPECT_EQ(f.QueryValue(k, "missing", &type, &data), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(f.DeleteValue(k, "DW"), ERROR_SUCCESS);
    EXPECT_EQ(f.DeleteValue(k, "dw"), ERROR_FILE_NOT_FOUND);
    RegKey none;
    EXPECT_EQ(f.OpenKey(Registry::Root(RootKey::CurrentUser), "Software\\Nope", KEY_READ, &none),
              ERROR_FILE_NOT_FOUND);
    std::string s;
    EXPECT_TRUE(ReadRegistryString(f, RootKey::CurrentUser, "Software\\Types", "exp", &s));
    EXPECT_EQ(s, "%USERPROFILE%\\x");
    EXPECT_FALSE(ReadRegistryString(f, RootKey::CurrentUser, "Software\\Types", "bin", &s));
    auto third = this->OpenMachine();
    EXPECT_EQ(this->Query(third->registry(), RootKey::CurrentUser, "Software\\Types", "dw"),
              "<error 2>");
}

TYPED_TEST(RegistryContract, DeleteKeyRefusesKeysWithSubkeys) {
    Registry& r = this->registry();
    RegKey parent = this->Create(r, RootKey::LocalMachine, "Software\\Vendor\\Thing");
    RegKey vendor = this->Open(r, RootKey::LocalMachine, "Software\\Vendor");
    EXPECT_EQ(r.DeleteKey(Registry::Root(RootKey::LocalMachine), "Software\\Vendor"),
              ERROR_ACCESS_DENIED);
    EXPECT_NE(r.LastErrorMessage().find("subkeys"), std::string::npos);
    EXPECT_EQ(r.DeleteKey(vendor, "thing"), ERROR_SUCCESS);
    EXPECT_EQ(r.DeleteKey(vendor, "thing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(r.QueryValue(parent, "", nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(r.DeleteKey(Registry::Root(RootKey::LocalMachine), "Software\\Vendor"),
              ERROR_SUCCESS);
    EXPECT_EQ(r.DeleteKey(Registry::Root(RootKey::LocalMachine), ""), ERROR_ACCESS_DENIED);
    auto fresh = this->OpenMachine();
    RegKey gone;
    EXPECT_EQ(fresh->registry().OpenKey(Registry::Root(RootKey::LocalMachine), "Software\\Vendor",
                                        KEY_READ, &gone),
              ERROR_FILE_NOT_FOUND);
}

TYPED_TEST(RegistryContract, AccessRightsAndAHiveTheHostKeepsReadOnly) {
    Registry& r = this->registry();
    this->Set(r, RootKey::LocalMachine, "Software\\Classes\\.tst", "", "tstfile");
    RegKey readOnly = this->Open(r, RootKey::LocalMachine, "Software\\Classes\\.tst", KEY_READ);
    EXPECT_EQ(r.SetValue(readOnly, "x", REG_SZ, "y"), ERROR_ACCESS_DENIED);
    RegKey enumOnly =
        this->Open(r, RootKey::LocalMachine, "Software\\Classes", KEY_ENUMERATE_SUB_KEYS);
    RegKeyInfo info;
    EXPECT_EQ(r.QueryInfoKey(enumOnly, &info), ERROR_ACCESS_DENIED);
    EXPECT_EQ(r.EnumKey(enumOnly, 0, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(r.ChangesRefusal(), "");

    // A hive file the host keeps read-only: keys open for reading only.
    RegKey openedBefore = this->Open(r, RootKey::LocalMachine, "Software\\Classes\\.tst");
    const std::string before = FileBytes(this->MachineSoftwareHive());
    chmod(this->MachineSoftwareHive().c_str(), 0444);
    RegKey key;
    EXPECT_EQ(r.OpenKey(Registry::Root(RootKey::LocalMachine), "Software\\Classes\\.tst",
                        KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_NE(r.LastErrorMessage().find("read-only"), std::string::npos) << r.LastErrorMessage();
    EXPECT_EQ(
        r.OpenKey(Registry::Root(RootKey::LocalMachine), "Software\\Classes\\.tst", KEY_READ, &key),
        ERROR_SUCCESS);
    EXPECT_EQ(
        r.CreateKey(Registry::Root(RootKey::LocalMachine), "Software\\New", KEY_ALL_ACCESS, &key),
        ERROR_ACCESS_DENIED);
    EXPECT_EQ(r.SetValue(openedBefore, "x", REG_SZ, "1"), ERROR_ACCESS_DENIED);
    EXPECT_NE(r.LastErrorMessage().find("read-only"), std::string::npos) << r.LastErrorMessage();
    EXPECT_EQ(FileBytes(this->MachineSoftwareHive()), before);
    // The other hives are not affected.
    this->Create(r, RootKey::CurrentUser, "Software\\New");
    chmod(this->MachineSoftwareHive().c_str(), 0644);
}

TYPED_TEST(RegistryContract, ClassesRootMergesUserOverMachine) {
    {
        Registry& r = this->registry();
        const RootKey m = RootKey::LocalMachine, u = RootKey::CurrentUser;
        this->Set(r, m, "Software\\Classes\\.tst", "", "tstfile");
        this->Set(r, m, "Software\\Classes\\.tst", "Content Type", "text/plain");
        this->Set(r, m, "Software\\Classes\\CLSID\\{TA}\\InprocServer32", "", "a.dll");
        this->Set(r, m, "Software\\Classes\\CLSID\\{TB}", "", "machine B");
        this->Set(r, m, "Software\\Classes\\CLSID\\{TB}", "OnlyMachine", "m");
        this->Set(r, u, "Software\\Classes\\.tst", "", "userfile");
        this->Set(r, u, "Software\\Classes\\CLSID\\{TB}", "", "user B");
        this->Create(r, u, "Software\\Classes\\CLSID\\{TC}");
        this->Create(r, u, "Software\\Classes\\TolvaneUserOnly");
    }
    auto machine = this->OpenMachine();
    Registry& r = machine->registry();
    RegKey tst = this->Open(r, RootKey::ClassesRoot, ".TST");
    EXPECT_EQ(this->Query(r, tst, ""), Sz("userfile"));                // the user's value first
    EXPECT_EQ(this->Query(r, tst, "Content Type"), Sz("text/plain"));  // else the machine's
    EXPECT_EQ(this->ValueNames(r, tst), (std::vector<std::string>{"", "Content Type"}));

    // Enumeration is the union (the user's spelling first) in Wine's order.
    RegKey clsid = this->Open(r, RootKey::ClassesRoot, "CLSID");
    std::vector<std::string> names = this->SubkeyNames(r, clsid);
    EXPECT_EQ(names, this->Union(r, "Software\\Classes\\CLSID"));
    for (const char* name : {"{TA}", "{TB}", "{TC}"})
        EXPECT_EQ(std::count(names.begin(), names.end(), name), 1) << name;
    RegKeyInfo info;
    ASSERT_EQ(r.QueryInfoKey(clsid, &info), ERROR_SUCCESS);
    EXPECT_EQ(info.subKeys, names.size());
    std::vector<std::string> top = this->SubkeyNames(r, Registry::Root(RootKey::ClassesRoot));
    EXPECT_EQ(top, this->Union(r, "Software\\Classes"));
    for (const char* name : {".tst", "CLSID", "TolvaneUserOnly"})
        EXPECT_EQ(std::count(top.begin(), top.end(), name), 1) << name;

    // Writes go where the key lives.
    ASSERT_EQ(
        r.SetValue(this->Open(r, RootKey::ClassesRoot, "CLSID\\{TA}"), "Written", REG_SZ, "1"),
        ERROR_SUCCESS);
    ASSERT_EQ(
        r.SetValue(this->Open(r, RootKey::ClassesRoot, "CLSID\\{TB}"), "Written", REG_SZ, "2"),
        ERROR_SUCCESS);
    const std::string machineClsid = "Software\\Classes\\CLSID\\";
    EXPECT_EQ(this->Query(r, RootKey::LocalMachine, machineClsid + "{TA}", "Written"), Sz("1"));
    EXPECT_EQ(this->Query(r, RootKey::CurrentUser, machineClsid + "{TA}", "Written"), "<no key>");
    EXPECT_EQ(this->Query(r, RootKey::CurrentUser, machineClsid + "{TB}", "Written"), Sz("2"));
    EXPECT_EQ(this->Query(r, RootKey::LocalMachine, machineClsid + "{TB}", "Written"), "<error 2>");

    // New keys go to the machine, unless their parent is the user's only.
    this->Create(r, RootKey::ClassesRoot, "TolvaneNew\\Sub");
    this->Create(r, RootKey::ClassesRoot, "TolvaneUserOnly\\Sub");
    RegKey found;
    EXPECT_EQ(r.OpenKey(Registry::Root(RootKey::LocalMachine), "Software\\Classes\\TolvaneNew\\Sub",
                        KEY_READ, &found),
              ERROR_SUCCESS);
    EXPECT_EQ(r.OpenKey(Registry::Root(RootKey::CurrentUser), "Software\\Classes\\TolvaneNew",
                        KEY_READ, &found),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(r.OpenKey(Registry::Root(RootKey::CurrentUser),
                        "Software\\Classes\\TolvaneUserOnly\\Sub", KEY_READ, &found),
              ERROR_SUCCESS);
    EXPECT_EQ(r.OpenKey(Registry::Root(RootKey::LocalMachine), "Software\\Classes\\TolvaneUserOnly",
                        KEY_READ, &found),
              ERROR_FILE_NOT_FOUND);

    // Deletes too: {TB} leaves the user's classes, the machine's {TB} shows again.
    ASSERT_EQ(r.DeleteKey(Registry::Root(RootKey::ClassesRoot), "CLSID\\{TB}"), ERROR_SUCCESS);
    EXPECT_EQ(this->Query(r, RootKey::CurrentUser, machineClsid + "{TB}", ""), "<no key>");
    EXPECT_EQ(this->Query(r, this->Open(r, RootKey::ClassesRoot, "CLSID\\{TB}"), ""),
              Sz("machine B"));
    EXPECT_EQ(r.DeleteKey(Registry::Root(RootKey::ClassesRoot), "CLSID\\{TA}"),
              ERROR_ACCESS_DENIED);
}

TYPED_TEST(RegistryContract, UsersCurrentConfigAndEmptyRoots) {
    Registry& r = this->registry();
    const std::string sid = r.UserSid();
    ASSERT_EQ(sid.rfind("S-1-5-21-", 0), 0u) << sid;
    std::vector<std::string> users = this->SubkeyNames(r, Registry::Root(RootKey::Users));
    EXPECT_EQ(std::count(users.begin(), users.end(), sid), 1);
    RegKey env = this->Create(r, RootKey::Users, sid + "\\Environment");
    ASSERT_EQ(r.SetValue(env, "Via", REG_SZ, "HKU"), ERROR_SUCCESS);
    EXPECT_EQ(this->Query(r, RootKey::CurrentUser, "Environment", "via"), Sz("HKU"));
    RegKey key;
    EXPECT_EQ(r.CreateKey(Registry::Root(RootKey::Users), "S-1-5-18", KEY_ALL_ACCESS, &key),
              ERROR_ACCESS_DENIED);
    EXPECT_EQ(r.OpenKey(Registry::Root(RootKey::Users), "S-1-5-18", KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(r.DeleteKey(Registry::Root(RootKey::Users), ".Default"), ERROR_ACCESS_DENIED);

    RegKey fonts = this->Create(
        r, RootKey::LocalMachine,
        "System\\CurrentControlSet\\Hardware Profiles\\Current\\Software\\TolvaneFonts");
    ASSERT_EQ(r.SetValue(fonts, "LogPixels", REG_DWORD, std::string("\x60\0\0\0", 4)),
              ERROR_SUCCESS);
    EXPECT_EQ(this->Query(r, RootKey::CurrentConfig, "Software\\TolvaneFonts", "LogPixels"),
              std::string("\x60\0\0\0", 4));

    EXPECT_TRUE(this->SubkeyNames(r, Registry::Root(RootKey::DynData)).empty());
    EXPECT_EQ(r.OpenKey(Registry::Root(RootKey::PerformanceData), "X", KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(r.LoadProblems().empty());
}

TYPED_TEST(RegistryContract, ChangesOnDiskAreReadAgainNotOverwritten) {
    Registry& first = this->registry();
    this->Set(first, RootKey::LocalMachine, "Software\\Tolvane", "v", "1");
    RegKey key = this->Open(first, RootKey::LocalMachine, "Software\\Tolvane");

    // Another Registry of this process: its saves are seen at once.
    auto second = this->OpenMachine();
    this->Set(second->registry(), RootKey::LocalMachine, "Software\\Tolvane", "v", "2");
    EXPECT_EQ(this->Query(first, key, "v"), Sz("2"));
    const std::string withTwo = FileBytes(this->MachineSoftwareHive());
    this->Set(second->registry(), RootKey::LocalMachine, "Software\\Tolvane", "v", "3");
    this->Set(second->registry(), RootKey::LocalMachine, "Software\\Tolvane", "ext", "e");
    const std::string withExt = FileBytes(this->MachineSoftwareHive());
    RegKey secondKey = this->Open(second->registry(), RootKey::LocalMachine, "Software\\Tolvane");
    ASSERT_EQ(second->registry().DeleteValue(secondKey, "ext"), ERROR_SUCCESS);
    EXPECT_EQ(this->Query(first, key, "v"), Sz("3"));
    EXPECT_EQ(first.QueryValue(key, "ext", nullptr, nullptr), ERROR_FILE_NOT_FOUND);

    // Another program rewrites the file: reads see it after a short while.
    WriteBytes(this->MachineSoftwareHive(), withTwo);
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_EQ(this->Query(first, key, "v"), Sz("2"));

    // It rewrites it again; a change made at once afterwards keeps theirs.
    WriteBytes(this->MachineSoftwareHive(), withExt);
    ASSERT_EQ(first.SetValue(key, "Mine", REG_SZ, "2"), ERROR_SUCCESS) << first.LastErrorMessage();
    auto fresh = this->OpenMachine();
    RegKey after = this->Open(fresh->registry(), RootKey::LocalMachine, "Software\\Tolvane");
    EXPECT_EQ(this->Query(fresh->registry(), after, "ext"), Sz("e"));
    EXPECT_EQ(this->Query(fresh->registry(), after, "v"), Sz("3"));
    EXPECT_EQ(this->Query(fresh->registry(), after, "Mine"), Sz("2"));
}

TYPED_TEST(RegistryContract, AFailedSaveChangesNothingOnDiskOrInMemory) {
    Registry& r = this->registry();
    this->Set(r, RootKey::LocalMachine, "Software\\Tolvane", "", "kept");
    this->Set(r, RootKey::LocalMachine, "Software\\Tolvane", "Content Type", "text/plain");
    RegKey key = this->Open(r, RootKey::LocalMachine, "Software\\Tolvane");
    const std::string before = FileBytes(this->MachineSoftwareHive());

    // The save cannot write its temporary file (a file size limit makes the
    // writes fail).
    long failed, failedValueDelete, failedKeyDelete;
    std::string failedMessage;
    {
        testing::FileSizeLimit limit(16);
        ASSERT_TRUE(limit.set());
        failed = r.SetValue(key, "New", REG_SZ, "1");
        failedMessage = r.LastErrorMessage();
        // Deleting a value or a key fails alike and keeps both.
        failedValueDelete = r.DeleteValue(key, "Content Type");
        failedKeyDelete = r.DeleteKey(Registry::Root(RootKey::LocalMachine), "Software\\Tolvane");
    }
    EXPECT_EQ(failed, ERROR_CANTWRITE);
    EXPECT_FALSE(failedMessage.empty());
    EXPECT_EQ(r.QueryValue(key, "New", nullptr, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(failedValueDelete, ERROR_CANTWRITE);
    EXPECT_EQ(this->Query(r, key, "Content Type"), Sz("text/plain"));
    EXPECT_EQ(failedKeyDelete, ERROR_CANTWRITE);
    EXPECT_EQ(this->Query(r, key, ""), Sz("kept"));
    EXPECT_EQ(FileBytes(this->MachineSoftwareHive()), before);

    EXPECT_EQ(r.SetValue(key, "New", REG_SZ, "1"), ERROR_SUCCESS) << r.LastErrorMessage();
    auto fresh = this->OpenMachine();
    EXPECT_EQ(this->Query(fresh->registry(), RootKey::LocalMachine, "Software\\Tolvane", "New"),
              Sz("1"));
}

TYPED_TEST(RegistryContract, RegistriesAndThreadsOfOneProcessNeverLoseChanges) {
    // Saves follow each other faster than the file system's clock ticks.
    auto other = this->OpenMachine();
    Registry &a = this->registry(), &b = other->registry();
    RegKey ka = this->Create(a, RootKey::LocalMachine, "Software\\Both");
    RegKey kb = this->Open(b, RootKey::LocalMachine, "Software\\Both");
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(a.SetValue(ka, "a" + std::to_string(i), REG_SZ, "1"), ERROR_SUCCESS);
        ASSERT_EQ(b.SetValue(kb, "b" + std::to_string(i), REG_SZ, "1"), ERROR_SUCCESS);
    }
    EXPECT_EQ(this->ValueNames(a, ka).size(), 80u);
    EXPECT_EQ(this->ValueNames(b, kb).size(), 80u);

    auto worker = [&](int id) {
        RegKey key =
            this->Create(a, RootKey::LocalMachine, "Software\\Tolvane\\T" + std::to_string(id));
        for (int i = 0; i < 20; ++i) {
            EXPECT_EQ(a.SetValue(key, "v" + std::to_string(i), REG_SZ, std::to_string(i)),
                      ERROR_SUCCESS);
            EXPECT_EQ(this->Query(a, key, "v" + std::to_string(i)), Sz(std::to_string(i)));
        }
    };
    std::thread t1(worker, 1), t2(worker, 2);
    t1.join();
    t2.join();
    auto fresh = this->OpenMachine();
    Registry& f = fresh->registry();
    EXPECT_TRUE(f.LoadProblems().empty());
    EXPECT_EQ(this->ValueNames(f, this->Open(f, RootKey::LocalMachine, "Software\\Both")).size(),
              80u);
    for (const char* path : {"Software\\Tolvane\\T1", "Software\\Tolvane\\T2"})
        EXPECT_EQ(this->ValueNames(f, this->Open(f, RootKey::LocalMachine, path)).size(), 20u);
}

}  // namespace
}  // namespace tolvane
