// The path placeholders of the definitions ("%windir%", "%temp%" ...) and
// the folders of the machine's current user that replace them: the twelve
// of the first Windows versions, then five for the folders newer Windows
// keeps programs and their data in. On a 32-bit Windows the two 32-bit
// folders of a 64-bit one do not exist: those placeholders stay empty.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

class ShellFolders;

// In the order replacement applies them.
enum class Placeholder {
    AppData,             // "%appdata%"            CSIDL_APPDATA
    AutoStart,           // "%autostart%"          CSIDL_STARTUP
    CommonProgramFiles,  // "%commonprogramfiles%" CSIDL_PROGRAM_FILES_COMMON
    Desktop,             // "%desktop%"            CSIDL_DESKTOPDIRECTORY
    Favorites,           // "%favorites%"          CSIDL_FAVORITES
    ProgramFiles,        // "%programfiles%"       CSIDL_PROGRAM_FILES
    StartMenu,           // "%startmenu%"          CSIDL_STARTMENU
    StartupPrograms,     // "%startupprograms%"    CSIDL_PROGRAMS
    System,              // "%system%"             CSIDL_SYSTEM
    Temp,                // "%temp%"               environment text "%temp%" expanded
    UserProfile,         // "%userprofile%"        CSIDL_PROFILE
    WinDir,              // "%windir%"             CSIDL_WINDOWS
    LocalAppData,        // "%localappdata%"       CSIDL_LOCAL_APPDATA
    ProgramData,         // "%programdata%"        CSIDL_COMMON_APPDATA
    Public,              // "%public%"             the public profile (ProfileList "Public")
    ProgramFilesX86,     // "%programfilesx86%"    CSIDL_PROGRAM_FILESX86 (64-bit Windows)
    SystemX86,           // "%systemx86%"          CSIDL_SYSTEMX86 (64-bit Windows: SysWOW64)
};
inline constexpr int kPlaceholderCount = 17;

// The placeholder's text, e.g. "%windir%".
std::string_view PlaceholderText(Placeholder placeholder);

// The folders (without a trailing backslash) that replace the placeholders;
// a folder the machine does not give is empty.
struct PlaceholderFolders {
    std::array<std::string, kPlaceholderCount> folders;

    std::string& operator[](Placeholder p) { return folders[static_cast<int>(p)]; }
    const std::string& operator[](Placeholder p) const { return folders[static_cast<int>(p)]; }

    // Takes the folders from the machine once. A folder of 260 characters or
    // more counts as not given (it would not fit the Windows buffer).
    static PlaceholderFolders FromShell(const ShellFolders& shell);
};

// Replaces every occurrence of each placeholder (case-sensitive), one
// placeholder after the other in the order above.
std::string ResolvePlaceholders(std::string text, const PlaceholderFolders& folders);
// The same into a string the caller reuses, which then needs no allocation
// once it has room; false, leaving it alone, for a text that cannot hold a
// placeholder (fewer than two '%'), which resolves to itself.
bool ResolvePlaceholders(std::string_view text, const PlaceholderFolders& folders,
                         std::string* resolved);

// Whether the placeholder is one of a user's own folders (application data,
// desktop, start menu, temporary folder, profile ...), which every user
// profile of a machine has of its own.
bool IsUserPlaceholder(Placeholder placeholder);

// A path resolved with one user's folders (`from`) as it lies for another
// user (`to`): the longest of from's user folders that the path is or lies
// below (names without regard to case) replaced by to's same folder.
// nullopt when the path lies in none of from's user folders, or `to` lacks
// that folder.
std::optional<std::string> MoveToUser(std::string_view path, const PlaceholderFolders& from,
                                      const PlaceholderFolders& to);

}  // namespace tolvane
