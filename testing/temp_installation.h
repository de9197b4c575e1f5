// Test support: a small Windows installation made in a fresh temporary
// folder, with real regf hives built through hivex: SOFTWARE (SystemRoot,
// program folders, ProfileList with two users, a class and a CLSID), SYSTEM
// (Select naming ControlSet001, a service), SAM, DEFAULT, and for each user
// Users\NAME\NTUSER.DAT (shell folders, Environment, an empty Run key) and
// AppData\Local\Microsoft\Windows\UsrClass.dat. ProfileList says Windows
// loaded "alice" last, "bob" before her (their NTUSER.DAT times agree). Removed by the
// destructor; failures throw (test support only).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "machine/machine.h"

namespace tolvane::testing {

class TempInstallation {
  public:
    static constexpr const char* kAliceSid = "S-1-5-21-100-200-300-1001";
    static constexpr const char* kBobSid = "S-1-5-21-100-200-300-1002";

    TempInstallation();
    ~TempInstallation();
    TempInstallation(const TempInstallation&) = delete;
    TempInstallation& operator=(const TempInstallation&) = delete;

    const std::string& path() const { return path_; }
    // Host path of a path below the installation folder ("Windows/System32").
    std::string Host(std::string_view relative) const;
    // The hives' host paths.
    std::string Software() const { return Host("Windows/System32/config/SOFTWARE"); }
    std::string System() const { return Host("Windows/System32/config/SYSTEM"); }
    std::string UserHive(std::string_view user) const;
    std::string ClassesHive(std::string_view user) const;
    // Writes a file given a Windows path on C: (parents made).
    void WriteFile(std::string_view windowsPath, std::string_view content) const;
    // Opens it as a machine (options as OpenMachine takes them).
    std::unique_ptr<Machine> Open(const MachineOptions& options = {}) const;

  private:
    std::string path_;
};

}  // namespace tolvane::testing
