// Wine's own files in a prefix: what the runner that made the prefix (Wine,
// Proton, Lutris' wine, with the wine-mono, wine-gecko, DXVK and vkd3d it
// brought) copied into it. A file of the prefix is Wine's own only when its
// size and SHA-256 equal those of the runner's own file of the same name;
// the "Wine builtin DLL" marker after the DOS header proves nothing, since
// any program can copy it.
//
// Which runner made the prefix is read from the prefix's config_info and
// version files (Proton), from Lutris' game settings that name the prefix
// (~/.config/lutris/games/*.yml, *.yml beside the prefix) and from the
// `wine` on $PATH. Those files are written by programs that run as the
// prefix's owner, malware of the prefix included, so a folder they name
// vouches for nothing until it passes TrustedRunnerFolder:
//   - it is neither inside the prefix nor holding it;
//   - no path to it, itself included, is writable by the owner (owned by
//     root or another user, not writable by a group of the owner's or by
//     everyone): the system's Wine, a Proton of another user's;
//   - or it lies where the owner's own tools install runners: Lutris'
//     ~/.local/share/lutris/runners/ (and ~/.local/share/lutris/runtime/),
//     Steam's compatibilitytools.d/, and the steamapps/common/ of the Steam
//     library that holds the prefix itself (or of the owner's home
//     library). A program running as the owner can change those folders, as
//     it can change the prefix: a match there is as sound as the owner's
//     account, and no file outside them ever becomes Wine's own.
// Runner folders are walked without following any link, and their files
// are opened with O_NOFOLLOW, so a runner folder cannot point back at the
// prefix's files to vouch for them.
//
// Threads: RunnerFiles may be asked from any thread. Its index of names is
// made on the first question, each runner file's digest on the first
// question that needs it, each once. Errors are values: an unreadable runner
// file vouches for nothing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// The host facts the runner search starts from; none come from the prefix.
struct RunnerSearch {
    std::string prefix;     // the prefix folder, canonical
    uid_t owner = 0;        // the prefix's owner
    std::string ownerHome;  // the owner's home from the host's user database
    std::string path;       // $PATH of this run
};

// The search for the prefix at prefix (canonical): its owner and home from
// the host, $PATH from the environment.
RunnerSearch RunnerSearchFor(const std::string& prefix);

// Whether the host folder folder may vouch for the prefix's files (see the
// rules above). folder need not be canonical.
bool TrustedRunnerFolder(const std::string& folder, const RunnerSearch& search);

// The trusted folders holding the Windows side of the runners that made the
// prefix (lib/wine/, lib64/wine/, share/wine/mono, share/wine/gecko, a
// runner's dxvk/ and vkd3d folders), canonical, each once.
std::vector<std::string> FindRunnerFolders(const RunnerSearch& search);

class RunnerFiles {
  public:
    explicit RunnerFiles(std::vector<std::string> folders);
    ~RunnerFiles();
    RunnerFiles(const RunnerFiles&) = delete;
    RunnerFiles& operator=(const RunnerFiles&) = delete;

    // Whether a runner folder holds a file named name (a base name, case
    // ignored) of size bytes whose SHA-256 is sha256Hex (64 hex digits, case
    // ignored).
    bool Contains(std::string_view name, uint64_t size, std::string_view sha256Hex) const;

  private:
    struct Index;
    std::vector<std::string> folders_;
    std::unique_ptr<Index> index_;
};

}  // namespace tolvane
