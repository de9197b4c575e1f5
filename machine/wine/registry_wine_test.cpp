// The registry against a prefix made by Wine itself: what Wine wrote loads
// and saves byte for byte, Wine reads what tolvane-reg wrote, and registry
// files go both ways between Wine's regedit and tolvane-reg. Skipped where
// Wine is not installed.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "machine/registry.h"
#include "machine/wine/prefix_hive_set.h"
#include "machine/wine/wine_hive.h"
#include "testing/run_command.h"
#include "testing/temp_folder.h"

namespace tolvane {
namespace {

using testing::ReadHostFile;

namespace fs = std::filesystem;

// Runs a shell command; its exit status and everything it printed.
int RunShell(const std::string& command, std::string* output = nullptr) {
    return testing::RunCommand(command + " 2>&1", output);
}

bool WineInstalled() {
    return RunShell("command -v wine && command -v wineserver") == 0;
}

// The tool of this build: BUILD/tools/tolvane-reg, where this binary lies
// somewhere below BUILD (TOLVANE_BUILD_DIR names BUILD when set).
std::string ToolPath() {
    const char* build = std::getenv("TOLVANE_BUILD_DIR");
    if (build && *build) return std::string(build) + "/tools/tolvane-reg";
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    for (fs::path folder = self.parent_path(); folder.has_relative_path();
         folder = folder.parent_path())
        if (fs::exists(folder / "tools" / "tolvane-reg", ec))
            return (folder / "tools" / "tolvane-reg").string();
    return (self.parent_path().parent_path() / "tools" / "tolvane-reg").string();
}

class WinePrefixTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (!WineInstalled()) return;
        char pattern[] = "/tmp/tolvane-wineprefix-XXXXXX";
        prefix_ = mkdtemp(pattern);
        RunShell(Env() + "wine wineboot -i >/dev/null 2>&1; " + Env() + "wineserver -w");
        for (const char* name : {"system.reg", "user.reg", "userdef.reg"})
            pristine_[name] = ReadHostFile(prefix_ + "/" + name);
    }
    static void TearDownTestSuite() {
        if (prefix_.empty()) return;
        RunShell(Env() + "wineserver -k >/dev/null 2>&1; true");
        std::error_code ec;
        fs::remove_all(prefix_, ec);
        prefix_.clear();
    }
    void SetUp() override {
        if (prefix_.empty())
            GTEST_SKIP() << "Wine is not installed (no wine and wineserver on PATH)";
        ASSERT_FALSE(pristine_["system.reg"].empty()) << "wine wineboot made no system.reg";
    }
    static std::string Env() { return "WINEPREFIX='" + prefix_ + "' WINEDEBUG=-all "; }
    static std::string Tool() { return Env() + "'" + ToolPath() + "' "; }

    static std::string prefix_;
    static std::map<std::string, std::string> pristine_;
};
std::string WinePrefixTest::prefix_;
std::map<std::string, std::string> WinePrefixTest::pristine_;

TEST_F(WinePrefixTest, WinesFilesLoadAndSaveByteForByte) {
    for (const auto& [name, text] : pristine_) {
        SCOPED_TRACE(name);
        WineHive hive;
        std::vector<std::string> problems;
        hive.Parse(text, name, &problems);
        EXPECT_TRUE(problems.empty()) << problems.front();
        EXPECT_TRUE(hive.Serialize(true) == text);
        // Written anew from the tree, as Wine would write it: also the same.
        std::string regenerated = hive.Serialize(false);
        if (regenerated != text) {
            size_t at = 0;
            while (at < text.size() && at < regenerated.size() && text[at] == regenerated[at]) ++at;
            ADD_FAILURE() << "first difference at byte " << at << ": "
                          << text.substr(at > 80 ? at - 80 : 0, 160);
        }
    }
    Registry registry(MakePrefixHiveSet(prefix_));
    EXPECT_TRUE(registry.LoadProblems().empty());
    EXPECT_EQ(registry.UserSid(), "S-1-5-21-0-0-0-1000");
    std::string root;
    EXPECT_TRUE(ReadRegistryString(registry, RootKey::LocalMachine,
                                   "Software\\Microsoft\\Windows NT\\CurrentVersion", "SystemRoot",
                                   &root));
    EXPECT_EQ(root, "C:\\windows");
    // The deep scan's walk: every CLSID through the merged HKEY_CLASSES_ROOT.
    RegKey clsid;
    ASSERT_EQ(registry.OpenKey(Registry::Root(RootKey::ClassesRoot), "CLSID", KEY_READ, &clsid),
              ERROR_SUCCESS);
    RegKeyInfo info;
    ASSERT_EQ(registry.QueryInfoKey(clsid, &info), ERROR_SUCCESS);
    EXPECT_GT(info.subKeys, 500u);
    std::string name, previous;
    uint32_t count = 0;
    for (; registry.EnumKey(clsid, count, &name) == ERROR_SUCCESS; ++count) {
        EXPECT_LT(HiveNameCompare(Cp1252ToUtf16(previous), Cp1252ToUtf16(name)), 0)
            << previous << " / " << name;
        previous = name;
    }
    EXPECT_EQ(count, info.subKeys);
}

TEST_F(WinePrefixTest, WineReadsWhatTolvaneRegWrote) {
    ASSERT_TRUE(fs::exists(ToolPath())) << ToolPath() << " is not built";
    std::string out;
    // The shell gets the text as UTF-8 with a real tab.
    ASSERT_EQ(RunShell(Tool() + "add 'HKCU\\Software\\TolvaneTest\\Sub' /v 'na\"me\\x' /d "
                                "'caf\xc3\xa9\ttab \"q\" back\\slash' /f",
                       &out),
              0)
        << out;
    ASSERT_EQ(
        RunShell(Tool() + "add 'HKCU\\Software\\TolvaneTest' /v Count /t REG_DWORD /d 42 /f", &out),
        0)
        << out;
    ASSERT_EQ(
        RunShell(Tool() + "add 'HKLM\\Software\\TolvaneTest' /v List /t REG_MULTI_SZ /d 'a\\0b' /f",
                 &out),
        0)
        << out;
    // Wine's own spelling of the text.
    std::string user = ReadHostFile(prefix_ + "/user.reg");
    EXPECT_NE(user.find("\"na\\\"me\\\\x\"=\"caf\\xe9\\ttab \\\"q\\\" back\\\\slash\"\n"),
              std::string::npos);

    ASSERT_EQ(
        RunShell(Env() + "wine reg query 'HKCU\\Software\\TolvaneTest\\Sub' /v 'na\"me\\x'", &out),
        0)
        << out;
    EXPECT_NE(out.find("tab \"q\" back\\slash"), std::string::npos) << out;
    ASSERT_EQ(RunShell(Env() + "wine reg query 'HKCU\\Software\\TolvaneTest' /v Count", &out), 0)
        << out;
    EXPECT_NE(out.find("0x2a"), std::string::npos) << out;
    ASSERT_EQ(RunShell(Env() + "wine reg query 'HKLM\\Software\\TolvaneTest' /v List", &out), 0)
        << out;
    EXPECT_NE(out.find("REG_MULTI_SZ"), std::string::npos) << out;
    EXPECT_NE(out.find("a\\0b"), std::string::npos) << out;

    // While Wine's server runs, tolvane-reg refuses changes and says why.
    ASSERT_EQ(RunShell(Env() + "wineserver -p30 </dev/null >/dev/null 2>&1", &out), 0) << out;
    Registry registry(MakePrefixHiveSet(prefix_));
    for (int i = 0; i < 50 && registry.ChangesRefusal().empty(); ++i) usleep(100000);
    EXPECT_FALSE(registry.ChangesRefusal().empty());
    EXPECT_EQ(RunShell(Tool() + "add 'HKCU\\Software\\TolvaneTest' /v Refused /d x /f", &out), 1);
    EXPECT_NE(out.find("wineserver -k"), std::string::npos) << out;
    RunShell(Env() + "wineserver -k; " + Env() + "wineserver -w");
    for (int i = 0; i < 50 && !registry.ChangesRefusal().empty(); ++i) usleep(100000);
    EXPECT_TRUE(registry.ChangesRefusal().empty());

    // Wine wrote the files again on exit; our values came through its hands.
    std::string data;
    EXPECT_TRUE(ReadRegistryString(registry, RootKey::CurrentUser, "Software\\TolvaneTest\\Sub",
                                   "NA\"ME\\X", &data));
    EXPECT_EQ(data, "caf\xe9\ttab \"q\" back\\slash");
    EXPECT_FALSE(ReadRegistryString(registry, RootKey::CurrentUser, "Software\\TolvaneTest",
                                    "Refused", &data));

    ASSERT_EQ(RunShell(Tool() + "delete 'HKCU\\Software\\TolvaneTest' /f", &out), 0) << out;
    EXPECT_EQ(RunShell(Tool() + "query 'HKCU\\Software\\TolvaneTest'", &out), 1);
    EXPECT_EQ(RunShell(Env() + "wine reg query 'HKCU\\Software\\TolvaneTest'", &out), 1) << out;
    RunShell(Env() + "wineserver -w");
}

// The values of HKCU\Software\TolvaneRoundTrip: name, type, data.
struct PlantedValue {
    std::string name;
    uint32_t type;
    std::string data;
};
std::vector<PlantedValue> RoundTripValues() {
    std::string bin22, bin43;
    for (int i = 0; i < 22; ++i) bin22 += static_cast<char>(i);
    for (int i = 0; i < 43; ++i) bin43 += static_cast<char>(0xff - i);
    return {
        {"", REG_SZ, std::string("caf\xe9 default\0", 13)},
        {"Path \"q\" \\x", REG_SZ, std::string("C:\\dir\\ \"q\"\0", 12)},
        {"Expand", REG_EXPAND_SZ, std::string("%PATH%;x\xe9\0", 10)},
        {"Multi", REG_MULTI_SZ, std::string("one\0two\0caf\xe9\0\0", 14)},
        {"Count", REG_DWORD, std::string("\xff\0\0\0", 4)},
        {"Empty", REG_SZ, std::string("\0", 1)},
        {"Quad", REG_QWORD, std::string("\x01\x02\x03\x04\x05\x06\x07\x08", 8)},
        {"Bin43", REG_BINARY, bin43},
        // Last in Wine's order, so the subkey's block follows its bytes.
        {"zBin22", REG_BINARY, bin22},
    };
}

// Every planted value, read from the hive files as they are now; "" when
// all match, else what differs.
std::string RoundTripDifferences(const std::string& prefix) {
    Registry registry(MakePrefixHiveSet(prefix));
    std::string differences;
    RegKey key;
    if (registry.OpenKey(Registry::Root(RootKey::CurrentUser), "Software\\TolvaneRoundTrip",
                         KEY_READ, &key) != ERROR_SUCCESS)
        return "no key";
    for (const PlantedValue& value : RoundTripValues()) {
        uint32_t type = 0;
        std::string data;
        if (registry.QueryValue(key, value.name, &type, &data) != ERROR_SUCCESS)
            differences += "[" + value.name + "] missing\n";
        else if (type != value.type || data != value.data)
            differences += "[" + value.name + "] type " + std::to_string(type) + " data " +
                           Cp1252ToUtf8(data) + "\n";
    }
    std::string sub;
    if (!ReadRegistryString(registry, RootKey::CurrentUser, "Software\\TolvaneRoundTrip\\Sub", "x",
                            &sub) ||
        sub != "1")
        differences += "[Sub\\x] missing\n";
    return differences;
}

TEST_F(WinePrefixTest, RegistryFilesGoBothWaysBetweenWinesRegeditAndTolvaneReg) {
    ASSERT_TRUE(fs::exists(ToolPath())) << ToolPath() << " is not built";
    RunShell(Env() + "wineserver -k; " + Env() + "wineserver -w");
    {
        Registry registry(MakePrefixHiveSet(prefix_));
        RegKey key, sub;
        ASSERT_EQ(registry.CreateKey(Registry::Root(RootKey::CurrentUser),
                                     "Software\\TolvaneRoundTrip\\Sub", KEY_ALL_ACCESS, &sub),
                  ERROR_SUCCESS);
        ASSERT_EQ(registry.SetValue(sub, "x", REG_SZ, "1"), ERROR_SUCCESS);
        ASSERT_EQ(registry.OpenKey(Registry::Root(RootKey::CurrentUser),
                                   "Software\\TolvaneRoundTrip", KEY_ALL_ACCESS, &key),
                  ERROR_SUCCESS);
        for (const PlantedValue& value : RoundTripValues())
            ASSERT_EQ(registry.SetValue(key, value.name, value.type, value.data), ERROR_SUCCESS);
    }
    ASSERT_EQ(RoundTripDifferences(prefix_), "");
    const std::string key = "'HKEY_CURRENT_USER\\Software\\TolvaneRoundTrip'";
    auto windowsPath = [](std::string path) {
        for (char& c : path) c = c == '/' ? '\\' : c;
        return "'Z:" + path + "'";
    };
    std::string out;

    // Wine exports (UTF-16 with a byte-order mark); tolvane-reg imports.
    const std::string wineFile = prefix_ + "/wine-export.reg";
    ASSERT_EQ(RunShell(Env() + "wine regedit /e " + windowsPath(wineFile) + " " + key + "; " +
                           Env() + "wineserver -w",
                       &out),
              0)
        << out;
    ASSERT_EQ(ReadHostFile(wineFile).substr(0, 2), "\xFF\xFE");
    ASSERT_EQ(RunShell(Tool() + "delete " + key + " /f", &out), 0) << out;
    ASSERT_EQ(RunShell(Tool() + "import '" + wineFile + "'", &out), 0) << out;
    EXPECT_EQ(RoundTripDifferences(prefix_), "") << ReadHostFile(wineFile);

    // tolvane-reg exports (8-bit, under either header); Wine imports.
    const std::string ours = prefix_ + "/tolvane-export.reg";
    ASSERT_EQ(RunShell(Tool() + "export " + key + " '" + ours + "' /y", &out), 0) << out;
    std::string text = ReadHostFile(ours);
    const std::string body = text.substr(text.find("\r\n"));
    for (const char* header : {"REGEDIT4", "Windows Registry Editor Version 5.00"}) {
        std::ofstream(ours, std::ios::binary | std::ios::trunc) << header << body;
        ASSERT_EQ(RunShell(Tool() + "delete " + key + " /f", &out), 0) << out;
        ASSERT_EQ(RunShell(Env() + "wine regedit /s " + windowsPath(ours) + "; " + Env() +
                               "wineserver -w",
                           &out),
                  0)
            << out;
        EXPECT_EQ(RoundTripDifferences(prefix_), "") << header << "\n" << header << body;
    }
    RunShell(Tool() + "delete " + key + " /f");
}

}  // namespace
}  // namespace tolvane
