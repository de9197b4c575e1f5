// tolvane --list-machines: the Windows machines of this user, one a line.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
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

// The owner of another user's prefix, for a run not started as root: such a
// run cannot take that owner's rights and must not scan it with its own.
// "" when the machine is the running user's (or the run is root's).
std::string OtherUsersPrefix(const FoundMachine& machine) {
    struct stat st;
    if (geteuid() == 0 || machine.kind == MachineKind::Windows ||
        stat(machine.path.c_str(), &st) != 0 || st.st_uid == geteuid())
        return "";
    const passwd* user = getpwuid(st.st_uid);
    return user && user->pw_name ? user->pw_name : "uid " + std::to_string(st.st_uid);
}

struct MachineRun {
    int status = kExitScanError;
    size_t listed = 0;
    std::string out;
    std::string err;
};

bool WriteAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The child's end: runs the scan, which takes the machine owner's rights
// for good, and hands back "status listed outSize\n" out err.
[[noreturn]] void RunInChild(const HeadlessOptions& one, int fd) {
    HeadlessOptions mine = one;
    size_t listed = 0;
    mine.listedRows = &listed;
    std::ostringstream out, err;
    int status = RunHeadless(mine, out, err);
    std::cout.flush();
    std::cerr.flush();
    const std::string message = std::to_string(status) + " " + std::to_string(listed) + " " +
                                std::to_string(out.str().size()) + "\n" + out.str() + err.str();
    _exit(WriteAll(fd, message) ? 0 : 1);
}

bool ParseRun(const std::string& received, MachineRun* run) {
    const size_t header = received.find('\n');
    if (header == std::string::npos) return false;
    std::istringstream fields(received.substr(0, header));
    size_t outSize = 0;
    if (!(fields >> run->status >> run->listed >> outSize)) return false;
    if (outSize > received.size() - header - 1) return false;
    run->out = received.substr(header + 1, outSize);
    run->err = received.substr(header + 1 + outSize);
    return true;
}

// Each machine in a process of its own, so that its owner is decided afresh
// from the rights the run started with, and nothing given up for one machine
// is kept for the next.
MachineRun ScanInChild(const HeadlessOptions& one) {
    MachineRun run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        run.err = "tolvane: " + one.machinePath + ": " + std::strerror(errno) + "\n";
        return run;
    }
    std::cout.flush();
    std::cerr.flush();
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        RunInChild(one, fds[1]);
    }
    close(fds[1]);
    std::string received;
    char buffer[65536];
    for (ssize_t n; pid > 0 && (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        received.append(buffer, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (pid < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !ParseRun(received, &run)) {
        run = MachineRun{};
        run.err = "tolvane: " + one.machinePath + ": the scan ended without a result\n";
    }
    return run;
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
        } else if (const std::string owner = OtherUsersPrefix(machine); !owner.empty()) {
            ++skipped;
            report("skipped", "owned by " + owner + ": not scanned");
        } else if (!machine.damage.empty()) {
            ++failed;
            report("failed", "damaged: " + machine.damage);
            err << "tolvane: " << machine.path << ": damaged: " << machine.damage << "\n";
        } else {
            HeadlessOptions one = options;
            one.machinePath = machine.path;
            if (!options.json) out << "== " << Describe(machine) << "\n" << std::flush;
            const MachineRun run = ScanInChild(one);
            const int status = run.status;
            const size_t listed = run.listed;
            err << run.err << std::flush;
            if (options.json) {
                nlohmann::json result = nlohmann::json::parse(run.out, nullptr, false);
                if (!result.is_discarded()) section["result"] = result;
            } else {
                out << run.out << std::flush;
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
