// Shell folders of the machine (SHGetFolderPathA, ExpandEnvironmentStringsA,
// GetModuleFileNameA), read from the prefix's own registry.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

class Registry;

// CSIDL values the program uses.
inline constexpr int CSIDL_PROGRAMS = 2;
inline constexpr int CSIDL_FAVORITES = 6;
inline constexpr int CSIDL_STARTUP = 7;
inline constexpr int CSIDL_STARTMENU = 11;
inline constexpr int CSIDL_DESKTOPDIRECTORY = 16;
inline constexpr int CSIDL_APPDATA = 26;
inline constexpr int CSIDL_LOCAL_APPDATA = 28;
inline constexpr int CSIDL_COOKIES = 33;
inline constexpr int CSIDL_COMMON_APPDATA = 35;
inline constexpr int CSIDL_WINDOWS = 36;
inline constexpr int CSIDL_SYSTEM = 37;
inline constexpr int CSIDL_PROGRAM_FILES = 38;
inline constexpr int CSIDL_PROFILE = 40;
inline constexpr int CSIDL_SYSTEMX86 = 41;
inline constexpr int CSIDL_PROGRAM_FILESX86 = 42;
inline constexpr int CSIDL_PROGRAM_FILES_COMMON = 43;

// Which of the user's two folder lists is asked first. Wine keeps the
// absolute "Shell Folders" current; Windows keeps "User Shell Folders" and
// leaves "Shell Folders" as a cache that may be stale ("!Do not use this
// registry key") after a profile was renamed or moved.
enum class UserFolderSource { ShellFoldersFirst, UserShellFoldersFirst };

class ShellFolders {
  public:
    // userSid: "" reads the user's keys from HKEY_CURRENT_USER; a SID reads
    // another profile's from HKEY_USERS\SID (its folders and environment).
    explicit ShellFolders(const Registry& registry,
                          UserFolderSource source = UserFolderSource::ShellFoldersFirst,
                          std::string userSid = "");

    // SHGetFolderPathA: the folder without a trailing backslash; false for an
    // unknown CSIDL or one the prefix does not record. User folders come from
    // HKCU ...\Explorer\Shell Folders (absolute), else from User Shell
    // Folders expanded (UserShellFoldersFirst: the other way round, with
    // %USERPROFILE% the profile's own folder); program files from HKLM ...\CurrentVersion
    // ProgramFilesDir / CommonFilesDir; Windows from HKLM
    // ...\Windows NT\CurrentVersion SystemRoot, System as its system32. Local
    // application data is a user folder ("Local AppData"), the common one
    // ProfileList's ProgramData (as %ProgramData%). The 32-bit program files
    // are "ProgramFilesDir (x86)" and the 32-bit system folder SysWOW64, both
    // only on a 64-bit Windows (one that records "ProgramFilesDir (x86)").
    // The profile is the
    // ProfileImagePath that ProfileList records for the user's SID, else the
    // parent of the desktop folder. Read afresh on every call.
    bool GetFolderPath(int csidl, std::string* path) const;
    // ExpandEnvironmentStringsA over the machine's environment: %TEMP%, %TMP%
    // (HKCU\Environment), %USERPROFILE%, %APPDATA%, %SystemRoot%, %windir%,
    // %ProgramFiles%, %CommonProgramFiles%, %SystemDrive%, %ALLUSERSPROFILE%,
    // %ProgramData% (ProfileList's ProgramData), %PUBLIC%, %LOCALAPPDATA%,
    // %USERNAME% (the profile folder's name); names without regard to case.
    // Other names come from HKCU\Environment, then from the machine's
    // Session Manager\Environment; an unknown %NAME% stays as written.
    std::string ExpandEnvironmentStrings(std::string_view text) const;
    // The value of one variable (name without the % signs), if defined.
    std::optional<std::string> Variable(std::string_view name) const;
    // %TEMP% without a trailing backslash; "" when the prefix defines none.
    std::string TempFolder() const;

    // "C:\Program Files\Tolvane\Tolvane.exe"
    static std::string ProgramPath();
    // The program path cut after its last backslash: "C:\Program Files\Tolvane\"
    static std::string ApplicationFolder();

  private:
    // A value of the user's own keys (HKEY_CURRENT_USER's, or HKEY_USERS\SID's).
    std::optional<std::string> UserValue(const std::string& path, std::string_view name) const;
    std::optional<std::string> UserFolder(std::string_view name) const;
    std::optional<std::string> ProfileFolder() const;

    const Registry& registry_;
    UserFolderSource source_;
    std::string userSid_;
};

}  // namespace tolvane
