#include "script/interim_adapters.h"

#include "platform/codepage.h"
#include "platform/process_table.h"

namespace tolvane {

namespace {

std::string_view FileNamePart(std::string_view path) {
    size_t slash = path.find_last_of('\\');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string FirstModule(const ProcessSnapshot& process) {
    if (!process.modules.empty()) return process.modules.front();
    return process.exePath.empty() ? "-" : process.exePath;
}

}  // namespace

bool KillProcessByNameInterim(ProcessTable& processes, std::string_view path) {
    std::string_view target = FileNamePart(path);
    std::vector<ProcessSnapshot> list;
    if (!processes.List(&list)) return false;
    bool found = false;
    for (const ProcessSnapshot& process : list) {
        std::string name = FirstModule(process);
        if (name == "-" || !EqualsNoCase(FileNamePart(name), target)) continue;
        found = true;
        processes.Terminate(process.pid);  // a refusal is silent
    }
    return found;
}

std::vector<std::string> ProcessNamesInterim(ProcessTable& processes) {
    std::vector<ProcessSnapshot> list;
    std::vector<std::string> names;
    if (!processes.List(&list)) return names;
    for (const ProcessSnapshot& process : list) names.push_back(FirstModule(process));
    return names;
}

}  // namespace tolvane
