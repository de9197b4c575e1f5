#include "machine/launcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "machine/machine.h"
#include "testing/as_nobody.h"
#include "testing/scoped_env.h"
#include "testing/temp_prefix.h"

namespace tolvane {
namespace {

using testing::ScopedEnv;
using testing::TempPrefix;

// A folder holding stand-ins for `wine` and `xdg-open` that record how they
// were called (arguments and WINEPREFIX, one per line) in calls.txt.
class FakeTools {
  public:
    explicit FakeTools(const TempPrefix& prefix) : folder_(prefix.Host("bin")) {
        std::filesystem::create_directory(folder_);
        for (const char* tool : {"wine", "xdg-open"}) {
            std::string path = folder_ + "/" + tool;
            std::ofstream script(path);
            script << "#!/bin/sh\n{ echo \"" << tool
                   << "\"; for a in \"$@\"; do printf '%s\\n' \"$a\"; done; echo "
                      "\"prefix=$WINEPREFIX\"; } > "
                   << folder_ << "/calls.tmp\n/bin/mv " << folder_ << "/calls.tmp " << folder_
                   << "/calls.txt\n";
            script.close();
            std::filesystem::permissions(path, std::filesystem::perms::owner_all);
        }
    }
    const std::string& folder() const { return folder_; }
    // What the last call recorded, waiting for the detached tool to finish.
    std::string WaitForCall() const {
        for (int attempt = 0; attempt < 300; ++attempt) {
            std::ifstream in(folder_ + "/calls.txt");
            if (in) {
                std::stringstream s;
                s << in.rdbuf();
                return s.str();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return {};
    }

  private:
    std::string folder_;
};

TEST(LauncherTest, RunsWindowsProgramsUnderWineWithThePrefix) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    FakeTools tools(prefix);
    ScopedEnv path("PATH", (tools.folder() + ":/usr/bin:/bin").c_str());
    ASSERT_TRUE(Launcher::WineInstalled());  // the stand-in

    std::vector<std::vector<std::string>> seen;
    machine->launcher().SetObserver([&](const std::vector<std::string>& argv) {
        seen.push_back(argv);
        return true;
    });
    EXPECT_TRUE(machine->launcher().ShellExecute("open", "regsvr32.exe",
                                                 "/u /s \"C:\\Program Files\\Bad\\x y.dll\""));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (std::vector<std::string>{"wine", "regsvr32.exe", "/u", "/s",
                                                 "C:\\Program Files\\Bad\\x y.dll"}));

    // Without the observer the program really starts, detached, with this
    // machine's WINEPREFIX.
    machine->launcher().SetObserver(nullptr);
    EXPECT_TRUE(machine->launcher().ShellExecute("open", "regedit.exe", "/s C:\\x.reg"));
    EXPECT_EQ(tools.WaitForCall(),
              "wine\nregedit.exe\n/s\nC:\\x.reg\nprefix=" + machine->PrefixPath() + "\n");
}

// `wine` is often a shell script that starts the Windows program a moment
// later; whoever waits for a started program must wait for it, not for what
// the process table shows of Wine.
TEST(LauncherTest, WaitsForTheWineProgramsItStarted) {
    TempPrefix prefix;
    auto machine = prefix.Open();
    machine->launcher().SetObserver(nullptr);
    FakeTools tools(prefix);
    ScopedEnv path("PATH", (tools.folder() + ":/usr/bin:/bin").c_str());
    ScopedEnv display("DISPLAY", ":0");
    const std::string ended = tools.folder() + "/ended";
    {
        std::ofstream script(tools.folder() + "/wine");
        script << "#!/bin/sh\nsleep 0.4\necho \"$1\" >> " << ended << "\n";
    }
    // xdg-open is no Wine program: a stand-in that runs on is not waited for.
    std::ofstream(tools.folder() + "/xdg-open") << "#!/bin/sh\nexec sleep 3\n";
    EXPECT_TRUE(machine->launcher().WaitForWinePrograms(std::chrono::milliseconds(0)));
    ASSERT_TRUE(machine->launcher().ShellExecute("open", "https://tolvane.example.org/", ""));
    ASSERT_TRUE(machine->launcher().ShellExecute("", "setup.exe", "/u /s a.dll"));
    ASSERT_TRUE(machine->launcher().ShellExecute("", "setup.exe", "/u /s b.dll"));
    EXPECT_FALSE(machine->launcher().WaitForWinePrograms(std::chrono::milliseconds(50)));
    EXPECT_FALSE(std::filesystem::exists(ended));
    EXPECT_TRUE(machine->launcher().WaitForWinePrograms(std::chrono::seconds(20)));
    std::ifstream in(ended);
    std::stringstream both;
    both << in.rdbuf();
    EXPECT_EQ(both.str(), "setup.exe\nsetup.exe\n");
}

TEST(LauncherTest, WithoutWineOrADesktopNothingStarts) {
    TempPrefix prefix;
    prefix.WriteFile("C:\\readme.txt", "x");
    auto machine = prefix.Open();
    machine->launcher().SetObserver(nullptr);
    FakeTools tools(prefix);
    std::filesystem::remove(tools.folder() + "/wine");
    ScopedEnv path("PATH", tools.folder().c_str());
    ScopedEnv display("DISPLAY", nullptr);
    ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    EXPECT_FALSE(Launcher::WineInstalled());
    EXPECT_FALSE(machine->launcher().ShellExecute("open", "regsvr32.exe", "/s x.dll"));
    EXPECT_FALSE(machine->launcher().ShellExecute("open", "https://tolvane.example.org/", ""));
    EXPECT_FALSE(machine->launcher().ShellExecute("open", "C:\\readme.txt", ""));
    EXPECT_FALSE(std::filesystem::exists(tools.folder() + "/calls.txt"));

    // With a desktop, xdg-open shows the document.
    ScopedEnv x11("DISPLAY", ":0");
    EXPECT_TRUE(machine->launcher().ShellExecute("open", "c:\\README.TXT", ""));
    EXPECT_EQ(tools.WaitForCall(),
              "xdg-open\n" + machine->PrefixPath() + "/drive_c/readme.txt\nprefix=\n");
}

TEST(LauncherTest, TestPrefixesRecordLaunchesOfFoldersFilesAndAddresses) {
    TempPrefix prefix;
    prefix.WriteFile("C:\\Program Files\\Tolvane\\Logs\\TolvaneLog.txt", "log");
    auto machine = prefix.Open();
    EXPECT_TRUE(machine->launcher().ShellExecute("open", "https://tolvane.example.org/", ""));
    // The application folder ends in a backslash, so "%s\\Logs" holds two.
    EXPECT_TRUE(machine->launcher().ShellExecute("open", "c:\\program files\\tolvane\\\\logs", ""));
    EXPECT_TRUE(machine->launcher().ShellExecute(
        "", "C:\\Program Files\\Tolvane\\Logs\\tolvanelog.txt", ""));
    EXPECT_FALSE(machine->launcher().ShellExecute("open", "C:\\nothing\\here.txt", ""));
    EXPECT_TRUE(machine->launcher().ShellExecute("", "regsvr32.exe", "/u /s \"C:\\a b.dll\""));
    auto seen = prefix.Launches();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[0], (std::vector<std::string>{"xdg-open", "https://tolvane.example.org/"}));
    EXPECT_EQ(seen[1],
              (std::vector<std::string>{
                  "xdg-open", machine->PrefixPath() + "/drive_c/Program Files/Tolvane/Logs"}));
    EXPECT_EQ(seen[2][1],
              machine->PrefixPath() + "/drive_c/Program Files/Tolvane/Logs/TolvaneLog.txt");
    EXPECT_EQ(seen[3],
              (std::vector<std::string>{"wine", "regsvr32.exe", "/u", "/s", "C:\\a b.dll"}));
}

// Each argument reaches the Windows program exactly: quoted for its command
// line, split back by the same rules (Wine quotes each argument it is given
// again), so a quote in a file name cannot split the line into more
// arguments.
TEST(LauncherTest, ArgumentsArriveExactlyWhateverTheyHold) {
    const std::vector<std::string> arguments = {
        "plain",
        "two words",
        "",
        "C:\\dir\\",
        "C:\\my dir\\",
        "a\"b",
        "x\\\"y",
        "C:\\Bad\\x\" /i:evil.dll",
        "\\\\server\\share",
        "tab\there",
        "\"",
    };
    std::string line;
    for (const std::string& a : arguments)
        line += (line.empty() ? "" : " ") + QuoteWindowsArgument(a);
    EXPECT_EQ(SplitWindowsCommandLine(line), arguments) << line;
    EXPECT_EQ(QuoteWindowsArgument("C:\\Bad\\x\" /i:evil.dll"), "\"C:\\Bad\\x\\\" /i:evil.dll\"");
    // The CRT's rules on lines written by others.
    EXPECT_EQ(SplitWindowsCommandLine("/u /s \"C:\\a b.dll\""),
              (std::vector<std::string>{"/u", "/s", "C:\\a b.dll"}));
    EXPECT_EQ(SplitWindowsCommandLine("a\\\\\"b c\" d\\e"),
              (std::vector<std::string>{"a\\b c", "d\\e"}));

    // Through the launcher to a stand-in program, one argument a line.
    TempPrefix prefix;
    auto machine = prefix.Open();
    machine->launcher().SetObserver(nullptr);
    FakeTools tools(prefix);
    ScopedEnv path("PATH", (tools.folder() + ":/usr/bin:/bin").c_str());
    ASSERT_TRUE(machine->launcher().ShellExecute("", "setup.exe", line));
    std::string expected = "wine\nsetup.exe\n";
    for (const std::string& a : arguments) expected += a + "\n";
    EXPECT_EQ(tools.WaitForCall(), expected + "prefix=" + machine->PrefixPath() + "\n");
}

// regsvr32 runs code of the machine's own DLLs: run as root, it is never
// started, and the launcher says why.
TEST(LauncherTest, Regsvr32NeverRunsAsRoot) {
    SKIP_UNLESS_ROOT();
    TempPrefix prefix;
    auto machine = prefix.Open();
    machine->launcher().SetObserver(nullptr);
    FakeTools tools(prefix);
    ScopedEnv path("PATH", (tools.folder() + ":/usr/bin:/bin").c_str());
    for (const char* program :
         {"regsvr32.exe", "REGSVR32", "C:\\windows\\system32\\regsvr32.exe"}) {
        EXPECT_FALSE(machine->launcher().ShellExecute("", program, "/u /s C:\\x.dll")) << program;
        EXPECT_TRUE(machine->launcher().RefusedAsRoot());
    }
    EXPECT_TRUE(machine->launcher().WaitForWinePrograms(std::chrono::milliseconds(0)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(std::filesystem::exists(tools.folder() + "/calls.txt"));
    // Other programs still start.
    EXPECT_TRUE(machine->launcher().ShellExecute("", "setup.exe", "/s"));
    EXPECT_FALSE(machine->launcher().RefusedAsRoot());
}

// A support page or link written into the machine's registry or database
// by malware opens only as a web page, never as a program or a local file.
TEST(LauncherTest, OpensOnlyWebPagesForAddressesOfTheMachine) {
    TempPrefix prefix;
    prefix.WriteFile("C:\\windows\\evil.exe", "MZ");
    prefix.WriteFile("C:\\readme.txt", "text");
    auto machine = prefix.Open();
    const struct {
        const char* address;
        bool opens;
    } cases[] = {
        {"https://tolvane.example.org/support/", true},
        {"HTTP://tolvane.example.org:8080/a?b=c#d", true},
        {"C:\\windows\\evil.exe", false},
        {"regedit", false},
        {"C:\\readme.txt", false},
        {"file:///etc/shadow", false},
        {"ftp://tolvane.example.org/", false},
        {"mailto:x@example.org", false},
        {"www.example.org", false},
        {"javascript:alert(1)", false},
        {"https://", false},
        {"https:///etc/passwd", false},
        {"https://user@evil.example/", false},
        {"https://a.example/ --help", false},
        {"https://a.example/\"x", false},
        {"https://a.example/\nx", false},
        {"-https://a.example/", false},
        {"", false},
    };
    for (const auto& row : cases) {
        EXPECT_EQ(machine->launcher().OpenWebAddress(row.address), row.opens) << row.address;
    }
    EXPECT_EQ(prefix.Launches(), (std::vector<std::vector<std::string>>{
                                     {"xdg-open", "https://tolvane.example.org/support/"},
                                     {"xdg-open", "HTTP://tolvane.example.org:8080/a?b=c#d"}}));
}

}  // namespace
}  // namespace tolvane
