// The temporary file that stands beside a file while it is replaced (write,
// fsync, rename over the original).
//
// The temporary of FOLDER/NAME is FOLDER/.NAME.tolvane-tmp, one per file. Its
// writer holds an exclusive flock on it from opening it until it has been
// renamed over NAME (or removed); a second writer of the same file waits for
// the first. One that a killed writer left behind (killed, crashed, power
// lost) is taken over and emptied by the next write of the same file, so
// killed writes never pile up, and finding it costs no folder listing.
// The temporary is opened relative to the folder's descriptor without
// following a link, and renamed within that same folder, so a folder
// swapped for a link meanwhile changes nothing elsewhere. Linux only.
#pragma once

#include <functional>
#include <string>

namespace tolvane {

// The name of the temporary of `name`: ".NAME.tolvane-tmp".
std::string ReplacementTempName(const std::string& name);

// Opens the temporary of `name` in the held folder, empty and locked.
// Returns its descriptor (with its name in *tempName), or -1 with errno set;
// a temporary that is no plain file of one link is refused (EEXIST).
int OpenReplacementTemp(int folderFd, const std::string& name, std::string* tempName);

// The one atomic replace of a file: every durable file Tolvane changes (hive
// files of both kinds, hosts, its own settings and databases) goes through
// it. The locked temporary of `name` in the held folder gets `mode` and what
// `write` puts into its descriptor; it is fsynced, `beforeRename` (when
// given) may still refuse, then it is renamed over `name` and the folder is
// fsynced. False with errno set when a step fails (a writer or check that
// fails without setting errno gives EIO): the original is then untouched and
// the temporary gone. A crash at any point leaves the old or the new file,
// never a torn one.
bool ReplaceFileAt(int folderFd, const std::string& name, unsigned mode,
                   const std::function<bool(int tempFd)>& write,
                   const std::function<bool()>& beforeRename = {});

}  // namespace tolvane
