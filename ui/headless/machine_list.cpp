// tolvane --list-machines: the Windows machines of this user, one a line.
#include <filesystem>
#include <nlohmann/json.hpp>
#include <ostream>
#include <sstream>

#include "discovery/machine_discovery.h"
#include "ui/headless/headless.h"

namespace tolvane {

std::vector<FoundMachine> FindUserMachines(const std::vector<std::string>& windowsFolders) {
    DiscoveryPlaces places = DiscoveryPlaces::FromEnvironment();
    places.windowsFolders.insert(places.windowsFolders.end(), windowsFolders.begin(),
                                 windowsFolders.end());
    return FindMachines(places);
}

int ListMachines(const std::vector<FoundMachine>& machines, bool json, std::ostream& out) {
    if (json) {
        nlohmann::json list = nlohmann::json::array();
        for (const FoundMachine& m : machines)
            list.push_back({{"path", m.path},
                            {"kind", MachineKindName(m.kind)},
                            {"foundIn", m.foundIn},
                            {"damage", m.damage},
                            {"linkTarget", m.linkTarget},
                            {"notOpened", m.notOpened}});
        // Folder names need not be UTF-8: bytes that are not are replaced.
        out << nlohmann::json({{"machines", list}})
                   .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
            << "\n";
        return kExitOk;
    }
    for (const FoundMachine& m : machines) {
        out << m.path << "\t" << MachineKindName(m.kind) << "\t" << m.foundIn;
        if (!m.damage.empty()) out << "\tdamaged: " << m.damage;
        if (!m.linkTarget.empty()) out << "\tlink to " << m.linkTarget;
        if (!m.notOpened.empty()) out << "\tnot opened: " << m.notOpened;
        out << "\n";
    }
    return kExitOk;
}

}  // namespace tolvane

namespace tolvane {
namespace {

std::string Describe(const FoundMachine& m) {
    return m.path + " (" + MachineKindName(m.kind) + ", found in " + m.foundIn +
           (m.linkTarget.empty() ? "" : ", link to " + m.linkTarget) + ")";
}

// Whether the user named this installation with --mount. A scan writes
// Tolvane's settings into the installation's registry (and keeps the untouched
// hives beside it), so a Windows disk merely found mounted is not scanned
// unasked, least of all by the weekly timer.
bool GivenByTheUser(const FoundMachine& machine, const std::vector<std::string>& mounts) {
    for (const std::string& mount : mounts) {
        std::error_code error;
        if (mount == machine.path || std::filesystem::equivalent(mount, machine.path, error))
            return true;
    }
    return false;
}

}  // namespace

int ScanAllMachines(const HeadlessOptions& options, const std::vector<FoundMachine>& machines,
                    std::ostream& out, std::ostream& err) {
    nlohmann::json sections = nlohmann::json::array();
    int scanned = 0, withObjects = 0, failed = 0, skipped = 0;
    size_t objects = 0;
    for (const FoundMachine& machine : machines) {
        nlohmann::json section = {{"path", machine.path},
                                  {"kind", MachineKindName(machine.kind)},
                                  {"foundIn", machine.foundIn}};
        auto report = [&](const std::string& state, const std::string& why) {
            section["state"] = state;
            section["reason"] = why;
            if (!options.json)
                out << "== " << Describe(machine) << ": " << state << ": " << why << "\n";
        };
        if (machine.kind == MachineKind::Windows && !GivenByTheUser(machine, options.mounts)) {
            ++skipped;
            report("skipped", "found mounted; give it with --mount FOLDER to scan it");
        } else if (!machine.notOpened.empty()) {
            ++skipped;
            report("skipped", machine.notOpened + ": not scanned");
        } else if (!machine.damage.empty()) {
            ++failed;
            report("failed", "damaged: " + machine.damage);
            err << "tolvane: " << machine.path << ": damaged: " << machine.damage << "\n";
        } else {
            HeadlessOptions one = options;
            one.machinePath = machine.path;
            size_t listed = 0;
            one.listedRows = &listed;
            std::ostringstream document;
            if (!options.json) out << "== " << Describe(machine) << "\n" << std::flush;
            int status = RunHeadless(one, options.json ? document : out, err);
            if (options.json) {
                nlohmann::json result = nlohmann::json::parse(document.str(), nullptr, false);
                if (!result.is_discarded()) section["result"] = result;
            }
            if (status == kExitScanError) {
                ++failed;
                report("failed", "could not be opened or started (see the messages above)");
            } else {
                ++scanned;
                withObjects += listed > 0 ? 1 : 0;
                objects += listed;
                section["state"] = "scanned";
                section["listed"] = listed;
            }
        }
        sections.push_back(section);
    }
    const std::string total = std::to_string(scanned) + " machines scanned, " +
                              std::to_string(withObjects) + " with objects listed (" +
                              std::to_string(objects) + " objects), " + std::to_string(failed) +
                              " could not be scanned, " + std::to_string(skipped) + " skipped";
    if (options.json) {
        nlohmann::json document = {{"machines", sections},
                                   {"total",
                                    {{"scanned", scanned},
                                     {"withObjects", withObjects},
                                     {"objects", objects},
                                     {"failed", failed},
                                     {"skipped", skipped}}}};
        out << document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    } else {
        out << "== Total: " << total << "\n";
    }
    if (failed > 0) return kExitScanError;
    return objects > 0 ? kExitScanListed : kExitScanClean;
}

}  // namespace tolvane
