// The host folder where Tolvane keeps its own state for a machine that keeps
// none of it inside (Machine::KeepsToolStateInside: a Windows installation
// is evidence): the settings, the scans' logs and the ignore list of that
// installation.
//
// One folder per installation, named by the first 32 hex digits of the
// SHA-256 of the installation's canonical host path:
// $XDG_STATE_HOME/tolvane/installations/HASH when XDG_STATE_HOME is an
// absolute path, else ~/.local/state/tolvane/installations/HASH (the home
// from $HOME, else the password database). The tolvane folders are made
// 0700; the installation's folder is opened without following a link and
// used only when it is a folder of the running user's that no one else may
// enter. Errors are values. Thread-safe.
#pragma once

#include <string>

namespace tolvane {

// The installation's settings file in its folder (SettingsStore::OnHost).
inline constexpr const char* kStateSettingsFileName = "settings";

// The folder (made when missing), or "" with *error saying why it cannot be
// used.
std::string InstallationStateFolder(const std::string& installationPath, std::string* error);

// The folder's name for an installation path (its canonical spelling when
// it can be had): the 32 hex digits.
std::string InstallationStateKey(const std::string& installationPath);

}  // namespace tolvane
