// The two rules for naming host files that every layer shares: the
// canonical spelling of a host path, and finding a folder entry by its
// Windows name without regard to case.
//
// FindEntryNoCase works on a held folder descriptor and never follows a
// link: it looks at the folder's own entries only (fstatat with
// AT_SYMLINK_NOFOLLOW, then a listing of that folder), so what it names is
// an entry of the folder the caller holds, whatever it is (a link included;
// the caller opens it with O_NOFOLLOW when it must not be one).
//
// The case rule is Wine's and Windows': the exact spelling first, then the
// first entry in the folder's listing order whose Windows name
// (HostNameToWindows) equals the wanted one under code page 1252's case
// folding (EqualsNoCase: ASCII and the Latin-1 letters), never under the
// host's locale. For ASCII names this is plain ASCII case folding. Linux
// only; errors are values (errno set).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tolvane {

// The host path with every link, "." and ".." resolved (realpath); nullopt
// with errno set when some part of it is missing or unreadable. A spelling
// to compare and to show: a path checked this way and then opened again may
// meanwhile lead elsewhere, so act on descriptors.
std::optional<std::string> CanonicalPath(const std::string& hostPath);

// The host name of the entry of the held folder (any descriptor of it, an
// O_PATH one included) whose Windows name is `windowsName`: the name as it
// is spelled on the host when that entry exists (WindowsNameToHost), else
// the first entry that matches without regard to case. False when there is
// none ("." and ".." are never found) or the folder cannot be listed.
bool FindEntryNoCase(int folderFd, std::string_view windowsName, std::string* hostName);

}  // namespace tolvane
