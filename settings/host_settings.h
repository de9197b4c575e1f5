// Tolvane's own settings kept on this computer, outside every machine: what
// must not be chosen by a machine being cleaned (the update server). A
// Windows program of the machine may write the machine's registry, so these
// are read only from the host:
//   1. the user's own file, $XDG_CONFIG_HOME/tolvane/settings.conf (else
//      ~/.config/tolvane/settings.conf), used only when it is a regular file
//      of the running user that no one else may write (ReadOwnFile);
//   2. the system's file, /etc/tolvane/settings.conf, used only when it is a
//      regular file of root's that no one else may write;
//   3. the built-in value.
// File format: one "Name=value" a line; names match without regard to case;
// blank lines and lines starting with "#" are skipped; the last line of a
// name wins. Errors are values; nothing throws. Reads and writes are each
// one open of the file; thread-safe as far as the environment is not changed
// meanwhile.
#pragma once

#include <string>
#include <string_view>

#include "host/host_files.h"

namespace tolvane {

inline constexpr char kSystemHostSettingsPath[] = "/etc/tolvane/settings.conf";

// The user's settings file ("" when neither $XDG_CONFIG_HOME nor a home
// folder is known).
std::string UserHostSettingsPath();

// A host setting's value and where it came from.
struct HostSettingValue {
    std::string value;   // "" when no file names it
    std::string source;  // the file it came from, "" for none
    // Files passed over, with why ("...: it is a link"); "" when none.
    std::string refused;
};

// The value of name from the user's file, else the system's file.
HostSettingValue ReadHostSetting(std::string_view name);
// The same from the given files (tests; the system file's owner must be root).
HostSettingValue ReadHostSettingFrom(std::string_view name, const std::string& userFile,
                                     const std::string& systemFile);

// Sets name to value in the user's file (made 0644, its folders 0700 when
// missing; an empty value removes the line), keeping the file's other lines.
// Not Usable: the file was left untouched, the state says why.
OwnFileState WriteUserHostSetting(std::string_view name, std::string_view value);

// The update server the update client asks: the host setting "UpdateServer",
// else "" (the update library's built-in server).
HostSettingValue HostUpdateServer();

// The Unix socket of the user's clamd: the host setting "ClamdSocket"
// (ClamdSocket=/run/clamav/clamd.ctl), else "" (clamd.conf then decides).
HostSettingValue HostClamdSocket();

}  // namespace tolvane
