// tolvane-reg run as users run it, on a prefix folder made for each test.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "machine/registry.h"
#include "machine/wine/prefix_hive_set.h"
#include "testing/run_command.h"
#include "testing/temp_folder.h"
#include "testing/temp_installation.h"

namespace tolvane {
namespace {

namespace fs = std::filesystem;

class RegToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::ofstream(prefix_ + "/system.reg")
            << "WINE REGISTRY Version 2\n"
               ";; All keys relative to REGISTRY\\\\Machine\n"
               "\n"
               "#arch=win64\n"
               "\n"
               "[Software\\\\Vendor\\\\App] 1796740557\n"
               "#time=1dd87216fed8f36\n"
               "@=\"default text\"\n"
               "\"Count\"=dword:0000002a\n"
               "\"Data\"=hex:01,ab\n"
               "\"List\"=str(7):\"a\\0b\\0\"\n"
               "\n"
               "[Software\\\\Vendor\\\\App\\\\Deep\\\\Deeper] 1796740557\n"
               "#time=1dd87216fed8f36\n"
               "\"x\"=\"1\"\n";
    }
    // Runs the tool with arguments (shell words); exit status, stdout and stderr.
    int Tool(const std::string& args, std::string* out = nullptr, std::string* err = nullptr) {
        std::string errFile = prefix_ + "/stderr.txt";
        std::string command = "'" TOLVANE_REG_TOOL "' --machine '" + prefix_ + "' " + args +
                              " </dev/null 2>'" + errFile + "'";
        std::string text;
        int status = testing::RunCommand(command, &text);
        if (out) *out = text;
        if (err) *err = testing::ReadHostFile(errFile);
        return status;
    }

    testing::TempFolder folder_{"tolvane-regtool"};
    std::string prefix_ = folder_.path().string();
};

TEST_F(RegToolTest, QueryPrintsLikeRegExe) {
    std::string out;
    ASSERT_EQ(Tool("query 'HKLM\\Software\\Vendor\\App'", &out), 0);
    EXPECT_EQ(out,
              "\nHKEY_LOCAL_MACHINE\\Software\\Vendor\\App\n"
              "    (Default)    REG_SZ    default text\n"
              "    Count    REG_DWORD    0x2a\n"
              "    Data    REG_BINARY    01AB\n"
              "    List    REG_MULTI_SZ    a\\0b\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\Software\\Vendor\\App\\Deep\n"
              "\n");
    ASSERT_EQ(Tool("query HKEY_LOCAL_MACHINE\\\\software\\\\vendor\\\\app /v COUNT", &out), 0);
    EXPECT_EQ(out,
              "\nHKEY_LOCAL_MACHINE\\software\\vendor\\app\n    Count    REG_DWORD    0x2a\n\n");
    ASSERT_EQ(Tool("query 'HKLM\\Software\\Vendor\\App' /ve", &out), 0);
    EXPECT_NE(out.find("(Default)    REG_SZ    default text"), std::string::npos);
    ASSERT_EQ(Tool("query 'HKLM\\Software\\Vendor' /s", &out), 0);
    EXPECT_NE(
        out.find("HKEY_LOCAL_MACHINE\\Software\\Vendor\\App\\Deep\\Deeper\n    x    REG_SZ    1"),
        std::string::npos)
        << out;
}

TEST_F(RegToolTest, ExitStatusTellsMissingFromBadUsage) {
    std::string out, err;
    EXPECT_EQ(Tool("query 'HKLM\\Software\\Nope'", &out, &err), 1);
    EXPECT_NE(err.find("not found"), std::string::npos);
    EXPECT_EQ(Tool("query 'HKLM\\Software\\Vendor\\App' /v Nope"), 1);
    EXPECT_EQ(Tool("delete 'HKLM\\Software\\Vendor\\App' /v Nope /f"), 1);
    EXPECT_EQ(Tool("query 'HKXX\\Software'", &out, &err), 2);
    EXPECT_NE(err.find("Usage: tolvane-reg query"), std::string::npos);
    EXPECT_EQ(Tool("query"), 2);
    EXPECT_EQ(Tool("frobnicate HKLM"), 2);
    EXPECT_EQ(Tool("add 'HKLM\\Software\\X' /v a /t REG_WORD /d 1"), 2);
    EXPECT_EQ(Tool("add 'HKLM\\Software\\X' /v a /t REG_DWORD /d twelve"), 2);
    EXPECT_EQ(Tool("add 'HKLM\\Software\\X' /d lonely"), 2);
    EXPECT_EQ(Tool("--help", &out), 0);
    EXPECT_NE(out.find("Usage: tolvane-reg [--machine PREFIX] COMMAND"), std::string::npos);
    EXPECT_EQ(Tool("delete --help", &out), 0);
    EXPECT_NE(out.find("Usage: tolvane-reg delete"), std::string::npos);
    // Nothing of this changed the registry.
    Registry registry(MakePrefixHiveSet(prefix_));
    RegKey key;
    EXPECT_EQ(
        registry.OpenKey(Registry::Root(RootKey::LocalMachine), "Software\\X", KEY_READ, &key),
        ERROR_FILE_NOT_FOUND);
}

TEST_F(RegToolTest, AddAndDelete) {
    ASSERT_EQ(Tool("add 'HKLM\\Software\\New\\Key' /v Name /d 'some text'"), 0);
    ASSERT_EQ(Tool("add 'HKLM\\Software\\New\\Key' /v Num /t REG_DWORD /d 0x10"), 0);
    ASSERT_EQ(Tool("add 'HKLM\\Software\\New\\Key' /v Q /t REG_QWORD /d 5"), 0);
    ASSERT_EQ(Tool("add 'HKLM\\Software\\New\\Key' /v Bin /t REG_BINARY /d 00ff10"), 0);
    ASSERT_EQ(Tool("add 'HKLM\\Software\\New\\Key' /v Multi /t REG_MULTI_SZ /s , /d 'a,b'"), 0);
    ASSERT_EQ(Tool("add 'HKLM\\Software\\New\\Key' /ve /t REG_EXPAND_SZ /d '%TEMP%'"), 0);
    // Without /f an existing value is kept unless the user agrees (no terminal: no).
    EXPECT_EQ(Tool("add 'HKLM\\Software\\New\\Key' /v Name /d other"), 1);
    {
        Registry registry(MakePrefixHiveSet(prefix_));
        RegKey key;
        ASSERT_EQ(registry.OpenKey(Registry::Root(RootKey::LocalMachine), "Software\\New\\Key",
                                   KEY_READ, &key),
                  ERROR_SUCCESS);
        std::string data;
        uint32_t type = 0;
        ASSERT_EQ(registry.QueryValue(key, "Name", &type, &data), ERROR_SUCCESS);
        EXPECT_EQ(data, std::string("some text\0", 10));
        ASSERT_EQ(registry.QueryValue(key, "Num", &type, &data), ERROR_SUCCESS);
        EXPECT_EQ(data, std::string("\x10\0\0\0", 4));
        ASSERT_EQ(registry.QueryValue(key, "Q", &type, &data), ERROR_SUCCESS);
        EXPECT_EQ(type, REG_QWORD);
        EXPECT_EQ(data, std::string("\x05\0\0\0\0\0\0\0", 8));
        ASSERT_EQ(registry.QueryValue(key, "Bin", &type, &data), ERROR_SUCCESS);
        EXPECT_EQ(data, std::string("\0\xff\x10", 3));
        ASSERT_EQ(registry.QueryValue(key, "Multi", &type, &data), ERROR_SUCCESS);
        EXPECT_EQ(data, std::string("a\0b\0\0", 5));
        ASSERT_EQ(registry.QueryValue(key, "", &type, &data), ERROR_SUCCESS);
        EXPECT_EQ(type, REG_EXPAND_SZ);
    }
    EXPECT_EQ(Tool("add 'HKLM\\Software\\New\\Key' /v Name /d other /f"), 0);
    EXPECT_EQ(Tool("delete 'HKLM\\Software\\New\\Key' /va /f"), 0);
    std::string out;
    ASSERT_EQ(Tool("query 'HKLM\\Software\\New\\Key'", &out), 0);
    EXPECT_EQ(out, "\nHKEY_LOCAL_MACHINE\\Software\\New\\Key\n\n");

    // A key is deleted with its whole tree; without /f nothing happens.
    EXPECT_EQ(Tool("delete 'HKLM\\Software\\Vendor'"), 1);
    EXPECT_EQ(Tool("query 'HKLM\\Software\\Vendor\\App\\Deep\\Deeper'"), 0);
    EXPECT_EQ(Tool("delete 'HKLM\\Software\\Vendor' /f"), 0);
    EXPECT_EQ(Tool("query 'HKLM\\Software\\Vendor'"), 1);
    EXPECT_EQ(Tool("query 'HKLM\\Software\\New'"), 0);
    EXPECT_EQ(Tool("delete HKLM /f"), 1);

    // A class key in both the user's and the machine's classes goes from both.
    ASSERT_EQ(Tool("add 'HKLM\\Software\\Classes\\.both' /ve /d machine"), 0);
    ASSERT_EQ(Tool("add 'HKCU\\Software\\Classes\\.both\\Sub' /ve /d user"), 0);
    ASSERT_EQ(Tool("query 'HKCR\\.both' /ve", &out), 0);
    EXPECT_NE(out.find("REG_SZ    machine"), std::string::npos) << out;
    EXPECT_EQ(Tool("delete 'HKCR\\.both' /f"), 0);
    EXPECT_EQ(Tool("query 'HKCR\\.both'"), 1);
    EXPECT_EQ(Tool("query 'HKLM\\Software\\Classes\\.both'"), 1);
}

TEST_F(RegToolTest, RefusedChangesSayWhy) {
    // A damaged registry file is listed and kept as it is.
    std::ofstream(prefix_ + "/user.reg", std::ios::app)
        << "WINE REGISTRY Version 2\n\n[Software\\\\Bad] 1\n\"v\"=\"no end\n";
    std::string out, err;
    EXPECT_EQ(Tool("add 'HKCU\\Software\\Bad' /v w /d 1 /f", &out, &err), 1);
    EXPECT_NE(err.find("user.reg:4: truncated line"), std::string::npos) << err;
    EXPECT_NE(err.find("damaged"), std::string::npos) << err;
}

// On a Windows installation: the hives read and changed, the user chosen.
TEST(RegToolOnWindows, ReadsAndChangesTheHives) {
    testing::TempInstallation windows;
    auto tool = [&](const std::string& args, std::string* out) {
        return testing::RunCommand("'" TOLVANE_REG_TOOL "' --machine '" + windows.path() + "' " +
                                       args + " </dev/null 2>&1",
                                   out);
    };
    std::string out;
    EXPECT_EQ(tool("--user bob query 'HKCR\\.txt' /ve", &out), 0);
    EXPECT_NE(out.find("bobfile"), std::string::npos) << out;
    EXPECT_EQ(tool("add 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\X' /v Start /t REG_DWORD "
                   "/d 4 /f",
                   &out),
              0)
        << out;
    EXPECT_EQ(tool("query 'HKLM\\SYSTEM\\ControlSet001\\Services\\X' /v Start", &out), 0);
    EXPECT_NE(out.find("0x4"), std::string::npos) << out;
    EXPECT_TRUE(fs::exists(windows.System() + ".tolvane-orig"));
    EXPECT_EQ(tool("--user carol query HKCU", &out), 2);
    EXPECT_NE(out.find("no user profile named \"carol\""), std::string::npos) << out;
}

}  // namespace
}  // namespace tolvane
