#include "testing/temp_installation.h"

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "discovery/open_machine.h"
#include "testing/regf_builder.h"

namespace tolvane::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* kProfileList = "Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr const char* kShell =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
constexpr const char* kUserShell =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

void BuildSoftware(const std::string& path) {
    RegfBuilder(path)
        .String("Microsoft\\Windows NT\\CurrentVersion", "SystemRoot", "C:\\Windows")
        .String("Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", "6.3")
        .String("Microsoft\\Windows\\CurrentVersion", "ProgramFilesDir", "C:\\Program Files")
        .String("Microsoft\\Windows\\CurrentVersion", "CommonFilesDir",
                "C:\\Program Files\\Common Files")
        .Key("Microsoft\\Windows\\CurrentVersion\\Run")
        .String(kProfileList, "ProgramData", "%SystemDrive%\\ProgramData", true)
        .String(kProfileList, "Public", "%SystemDrive%\\Users\\Public", true)
        .String(std::string(kProfileList) + "\\S-1-5-18", "ProfileImagePath",
                "%systemroot%\\system32\\config\\systemprofile", true)
        .String(std::string(kProfileList) + "\\" + TempInstallation::kAliceSid, "ProfileImagePath",
                "C:\\Users\\alice", true)
        .String(std::string(kProfileList) + "\\" + TempInstallation::kBobSid, "ProfileImagePath",
                "%SystemDrive%\\Users\\bob", true)
        // Windows loaded alice's profile last (FILETIMEs of 2023 and 2020).
        .Dword(std::string(kProfileList) + "\\" + TempInstallation::kAliceSid,
               "LocalProfileLoadTimeHigh", 0x01d9e000)
        .Dword(std::string(kProfileList) + "\\" + TempInstallation::kAliceSid,
               "LocalProfileLoadTimeLow", 0)
        .Dword(std::string(kProfileList) + "\\" + TempInstallation::kBobSid,
               "LocalProfileLoadTimeHigh", 0x01d5f000)
        .Dword(std::string(kProfileList) + "\\" + TempInstallation::kBobSid,
               "LocalProfileLoadTimeLow", 0)
        .String("Classes\\.txt", "", "txtfile")
        .String("Classes\\CLSID\\{B}", "", "machine B")
        .Commit();
}

void BuildSystem(const std::string& path) {
    RegfBuilder(path)
        .Dword("Select", "Current", 1)
        .Dword("Select", "Default", 1)
        .Dword("Select", "LastKnownGood", 2)
        .String("ControlSet001\\Control\\Session Manager\\Environment", "windir", "%SystemRoot%",
                true)
        .String("ControlSet001\\Services\\Tcpip", "DisplayName", "TCP/IP")
        .String("ControlSet002\\Services\\Old", "DisplayName", "old")
        .Key("ControlSet001\\Hardware Profiles\\Current\\Software")
        .Commit();
}

void BuildUser(const std::string& folder, const std::string& user) {
    const std::string profile = "C:\\Users\\" + user;
    fs::create_directories(folder + "/AppData/Local/Microsoft/Windows");
    fs::create_directories(folder + "/AppData/Local/Temp");
    fs::create_directories(folder +
                           "/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Startup");
    fs::create_directories(folder + "/Desktop");
    RegfBuilder(folder + "/NTUSER.DAT")
        .String(kShell, "AppData", profile + "\\AppData\\Roaming")
        .String(kShell, "Local AppData", profile + "\\AppData\\Local")
        .String(kShell, "Desktop", profile + "\\Desktop")
        .String(kUserShell, "AppData", "%USERPROFILE%\\AppData\\Roaming", true)
        .String(
            kUserShell, "Startup",
            "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup",
            true)
        .String(kUserShell, "Programs",
                "%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs", true)
        .String("Environment", "TEMP", "%USERPROFILE%\\AppData\\Local\\Temp", true)
        .String("Environment", "TMP", "%USERPROFILE%\\AppData\\Local\\Temp", true)
        .Key("Software\\Microsoft\\Windows\\CurrentVersion\\Run")
        .Key("Software\\Classes")
        .Commit();
    RegfBuilder(folder + "/AppData/Local/Microsoft/Windows/UsrClass.dat")
        .String(".txt", "", user + "file")
        .String("CLSID\\{C}", "", user + " C")
        .Commit();
}

void SetModified(const std::string& path, time_t when) {
    timeval times[2] = {{when, 0}, {when, 0}};
    if (utimes(path.c_str(), times) != 0) throw std::runtime_error("cannot date " + path);
}

}  // namespace

TempInstallation::TempInstallation() {
    char pattern[] = "/tmp/tolvane-windows-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    const std::string config = Host("Windows/System32/config");
    fs::create_directories(config);
    fs::create_directories(Host("Program Files/Common Files"));
    fs::create_directories(Host("ProgramData"));
    fs::create_directories(Host("Users/Public"));
    fs::create_directories(Host("Windows/Temp"));
    BuildSoftware(config + "/SOFTWARE");
    BuildSystem(config + "/SYSTEM");
    WriteEmptyRegf(config + "/SAM");
    RegfBuilder(config + "/DEFAULT").Key("Control Panel\\Desktop").Commit();
    BuildUser(Host("Users/alice"), "alice");
    BuildUser(Host("Users/bob"), "bob");
    SetModified(UserHive("bob"), 1600000000);
    SetModified(UserHive("alice"), 1700000000);
}

TempInstallation::~TempInstallation() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

std::string TempInstallation::Host(std::string_view relative) const {
    return path_ + "/" + std::string(relative);
}

std::string TempInstallation::UserHive(std::string_view user) const {
    return Host("Users/" + std::string(user) + "/NTUSER.DAT");
}

std::string TempInstallation::ClassesHive(std::string_view user) const {
    return Host("Users/" + std::string(user) + "/AppData/Local/Microsoft/Windows/UsrClass.dat");
}

void TempInstallation::WriteFile(std::string_view windowsPath, std::string_view content) const {
    std::string relative(windowsPath.substr(3));
    for (char& c : relative)
        if (c == '\\') c = '/';
    fs::path host = Host(relative);
    fs::create_directories(host.parent_path());
    std::ofstream out(host, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + host.string());
}

std::unique_ptr<Machine> TempInstallation::Open(const MachineOptions& options) const {
    std::string error;
    std::unique_ptr<Machine> machine = OpenMachine(path_, options, &error);
    if (!machine) throw std::runtime_error("cannot open the installation: " + error);
    return machine;
}

}  // namespace tolvane::testing
