// The registry against a prefix made by Wine itself: what Wine wrote loads
// and saves byte for byte, and Wine reads what tolvane-reg wrote. Skipped
// where Wine is not installed.
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

#include "platform/codepage.h"
#include "platform/registry.h"
#include "platform/testing/run_command.h"
#include "platform/wine_hive.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs a shell command; its exit status and everything it printed.
int RunShell(const std::string& command, std::string* output = nullptr) {
    return testing::RunCommand(command + " 2>&1", output);
}

bool WineInstalled() {
    return RunShell("command -v wine && command -v wineserver") == 0;
}

// The tool beside this test: BUILD/tools/tolvane-reg, where this binary is
// BUILD/platform/platform_tests (TOLVANE_BUILD_DIR names BUILD when set).
std::string ToolPath() {
    const char* build = std::getenv("TOLVANE_BUILD_DIR");
    if (build && *build) return std::string(build) + "/tools/tolvane-reg";
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
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
            pristine_[name] = ReadFile(prefix_ + "/" + name);
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
    Registry registry(prefix_);
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
    std::string user = ReadFile(prefix_ + "/user.reg");
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
    Registry registry(prefix_);
    for (int i = 0; i < 50 && !registry.WineServerRunning(); ++i) usleep(100000);
    EXPECT_TRUE(registry.WineServerRunning());
    EXPECT_EQ(RunShell(Tool() + "add 'HKCU\\Software\\TolvaneTest' /v Refused /d x /f", &out), 1);
    EXPECT_NE(out.find("wineserver -k"), std::string::npos) << out;
    RunShell(Env() + "wineserver -k; " + Env() + "wineserver -w");
    for (int i = 0; i < 50 && registry.WineServerRunning(); ++i) usleep(100000);
    EXPECT_FALSE(registry.WineServerRunning());

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

}  // namespace
}  // namespace tolvane
