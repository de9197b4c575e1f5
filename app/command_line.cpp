#include "app/command_line.h"

#include "settings/settings_store.h"

namespace tolvane {

StartSwitch FindStartSwitch(const std::string& line) {
    if (line.find("-s") != std::string::npos) return StartSwitch::StartUpScan;
    if (line.find("-b") != std::string::npos) return StartSwitch::StartUpDeletions;
    return StartSwitch::None;
}

std::string WindowsCommandLine(const std::vector<std::string>& arguments,
                               const std::set<std::string>& optionsWithValue) {
    std::string line = "\"" + SettingsStore::ProgramPath() + "\"";
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.rfind("--", 0) == 0) {
            if (argument.find('=') == std::string::npos && optionsWithValue.count(argument)) ++i;
            continue;
        }
        line += " " + argument;
    }
    return line;
}

}  // namespace tolvane
