// The placeholder folders taken from the machine's shell folders.
#include "definitions/placeholders.h"
#include "machine/shell_folders.h"

namespace tolvane {

PlaceholderFolders PlaceholderFolders::FromShell(const ShellFolders& shell) {
    // Windows hands these back in buffers of 260 characters: a longer folder
    // does not fit and is not given.
    constexpr size_t kPathBuffer = 260;
    struct Source {
        Placeholder placeholder;
        int csidl;
    };
    constexpr Source kSources[] = {
        {Placeholder::AppData, CSIDL_APPDATA},
        {Placeholder::AutoStart, CSIDL_STARTUP},
        {Placeholder::CommonProgramFiles, CSIDL_PROGRAM_FILES_COMMON},
        {Placeholder::Desktop, CSIDL_DESKTOPDIRECTORY},
        {Placeholder::Favorites, CSIDL_FAVORITES},
        {Placeholder::ProgramFiles, CSIDL_PROGRAM_FILES},
        {Placeholder::StartMenu, CSIDL_STARTMENU},
        {Placeholder::StartupPrograms, CSIDL_PROGRAMS},
        {Placeholder::System, CSIDL_SYSTEM},
        {Placeholder::UserProfile, CSIDL_PROFILE},
        {Placeholder::WinDir, CSIDL_WINDOWS},
        {Placeholder::LocalAppData, CSIDL_LOCAL_APPDATA},
        {Placeholder::ProgramData, CSIDL_COMMON_APPDATA},
        {Placeholder::ProgramFilesX86, CSIDL_PROGRAM_FILESX86},
        {Placeholder::SystemX86, CSIDL_SYSTEMX86},
    };
    PlaceholderFolders result;
    for (const Source& source : kSources) {
        std::string path;
        if (shell.GetFolderPath(source.csidl, &path) && path.size() < kPathBuffer)
            result[source.placeholder] = path;
    }
    if (auto publicProfile = shell.Variable("PUBLIC");
        publicProfile && publicProfile->size() < kPathBuffer)
        result[Placeholder::Public] = *publicProfile;
    std::string temp = shell.ExpandEnvironmentStrings("%temp%");
    if (temp.size() < kPathBuffer) result[Placeholder::Temp] = temp;
    return result;
}

}  // namespace tolvane
